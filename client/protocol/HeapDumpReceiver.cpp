#include "protocol/HeapDumpReceiver.h"

#include <cerrno>
#include <cstring>

#include "VeskProtocol.h"
#include "base/ZstdDecoder.h"

namespace wire = Orlo::Protocol;

namespace vesk {

HeapDumpReceipt ReceiveHeapDump(SnapshotSession& session, bool keepZstd, const std::string& name,
                                const std::function<bool(std::string_view)>& write) {
    HeapDumpReceipt receipt{};
    std::string bytes;
    bool writeFailed = false, garbled = false;
    int writeErrno = 0;
    struct Decoded : ZstdDecoder::Sink {
        const std::function<bool(std::string_view)>& write;
        bool failed = false;
        explicit Decoded(const std::function<bool(std::string_view)>& write) : write(write) {}
        void Plain(const char* data, size_t size) override { failed = failed || !write(std::string_view(data, size)); }
    } decoded(write);
    ZstdDecoder decoder(ErrorKind::Protocol, "the agent's compressed dump");
    receipt.outcome = session.Run([&](const Frame& frame) {
        std::string_view body = frame.Body();
        size_t start = body.find("<hprof>"), end = body.find("</hprof>");
        if (start == std::string_view::npos || end == std::string_view::npos) return;
        bytes.clear();
        garbled = garbled || !DecodeBase64(body.substr(start + 7, end - start - 7), bytes);
        if (!writeFailed && !garbled) {
            if (frame.marked && !keepZstd) {
                decoder.Feed(bytes.data(), bytes.size(), decoded);
                writeFailed = decoded.failed;
            } else {
                writeFailed = !write(keepZstd && !frame.marked ? ZstdFrame(bytes) : bytes);
            }
            if (writeFailed) writeErrno = errno;
        }
        if (writeFailed || garbled) session.Cancel();
        if (frame.last) receipt.figures = CommandProps(body, wire::CMD_HEAPDUMP);
    });
    if (writeFailed) throw ClientError(ErrorKind::File, "cannot write " + name + ": " + strerror(writeErrno));
    if (garbled) throw ClientError(ErrorKind::Dropped, "the agent sent a frame that is not base64; nothing saved");
    if (receipt.outcome == SnapshotSession::Outcome::Complete) decoder.Finish();
    return receipt;
}

bool HeapDumpRefused(const std::string& error) {
    return error == std::string(wire::UNKNOWN_COMMAND_MESSAGE) + wire::CMD_HEAPDUMP || HeapDumpDisabled(error);
}

bool HeapDumpDisabled(const std::string& error) { return error == wire::HEAPDUMP_DISABLED_MESSAGE; }

}  // namespace vesk
