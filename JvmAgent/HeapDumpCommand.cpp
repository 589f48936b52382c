#include "HeapDumpCommand.h"

#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <vector>

#include "ClientConnection.h"
#include "HeapDumper.h"
#include "JvmAgent.h"
#include "OomCapture.h"
#include "Orlo.h"
#include "VeskLogger.h"
#include "XmlUtils.h"

namespace Orlo {

namespace {

// One frame's base64 text and its markup, in one segment.
constexpr uint64_t RESPONSE_SIZE = HeapDumpCommand::FRAME_DUMP_BYTES / 3 * 4 + 8192;

int64_t MillisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

struct DContextFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

}  // namespace

HeapDumpCommand::HeapDumpCommand(ClientConnection& connection, const char* tag, bool last, int compressLevel,
                                 std::string keptName)
    : StreamedResponse(connection, NAME, tag, last, RESPONSE_SIZE, false), keptName(std::move(keptName)) {
    if (compressLevel > 0) CompressContent(compressLevel);
}

bool HeapDumpCommand::Run() {
    if (!keptName.empty()) return SendKept();
    HeapDumper dumper;
    // The directory goes before the last frame: once the client has the
    // answer, no dump file exists any more.
    if (Error refused = agent->DumpHeap(dumper)) {
        dumper.Remove();
        SendCommandError(refused.What());
        return false;
    }
    try {
        ThrowIfCancelled(nullptr);
        auto start = std::chrono::steady_clock::now();
        HprofRedactor redactor(*this, dumper.HolderLength());
        StartFrame();
        Error failed = redactor.Redact(dumper.DumpPath().c_str());
        dumper.Remove();
        if (failed) {
            VeskLogger::LogError(false, "Heap dump redaction failed: %s", failed.What());
            SendError(failed.What());
            return false;
        }
        EndText();
        int64_t redactMillis = MillisSince(start) - streamMillis;
        XmlUtils::EndXmlElement(response, Protocol::HPROF_ELEMENT);
        XmlUtils::AddPropElement(response, Protocol::PROP_HPROF_BYTES, static_cast<int64_t>(redactor.InputBytes()));
        XmlUtils::AddPropElement(response, Protocol::PROP_DUMP_BYTES, static_cast<int64_t>(redactor.OutputBytes()));
        XmlUtils::AddPropElement(response, Protocol::PROP_DUMP_MSEC, dumper.DumpMillis());
        XmlUtils::AddPropElement(response, Protocol::PROP_REDACT_MSEC, redactMillis);
        XmlUtils::AddPropElement(response, Protocol::PROP_STREAM_MSEC, streamMillis);
        SendFrame(true);
        VeskLogger::LogDebug("Heap dump sent, hprof.bytes=%llu, sent.bytes=%llu, dump.msec=%lld",
                             static_cast<unsigned long long>(redactor.InputBytes()),
                             static_cast<unsigned long long>(redactor.OutputBytes()),
                             static_cast<long long>(dumper.DumpMillis()));
    } catch (const std::exception& e) {
        dumper.Remove();
        SendError(e.what());
        return false;
    }
    return true;
}

bool HeapDumpCommand::SendKept() {
    if (!agent->IsHeapDumpEnabled()) {
        SendCommandError(Protocol::HEAPDUMP_DISABLED_MESSAGE);
        return false;
    }
    const OomCapture* capture = agent->GetOomCapture();
    KeptDump record;
    std::string path = capture ? capture->Find(keptName, record) : std::string();
    if (path.empty()) {
        SendCommandError(("No kept heap dump named " + keptName + "; DUMPS lists them").c_str());
        return false;
    }
    UniqueFile file(fopen(path.c_str(), "rb"));
    if (!file) {
        SendCommandError(("Cannot open " + path + ": " + strerror(errno)).c_str());
        return false;
    }
    try {
        // Room for one whole zstd frame of FRAME_DUMP_BYTES, however little it packed.
        std::vector<uint8_t> input(ZSTD_compressBound(FRAME_DUMP_BYTES) + (64 << 10));
        size_t held = 0;
        bool ended = false;
        auto fill = [&] {
            while (!ended && held < input.size()) {
                size_t read = fread(input.data() + held, 1, input.size() - held, file.get());
                if (read == 0) {
                    if (ferror(file.get())) throw std::runtime_error("cannot read " + path);
                    ended = true;
                }
                held += read;
            }
        };
        fill();
        if (held == 0) throw std::runtime_error(path + " is empty");
        while (held > 0) {
            size_t frame = ZSTD_findFrameCompressedSize(input.data(), held);
            if (ZSTD_isError(frame)) throw std::runtime_error(path + " holds no zstd frame here");
            response.Clear(false);
            XmlUtils::StartCommandElement(response, NAME);
            XmlUtils::StartXmlElement(response, Protocol::HPROF_ELEMENT);
            AddKeptFrame(input.data(), frame);
            XmlUtils::EndXmlElement(response, Protocol::HPROF_ELEMENT);
            memmove(input.data(), input.data() + frame, held - frame);
            held -= frame;
            fill();
            if (held == 0) {
                XmlUtils::AddPropElement(response, Protocol::PROP_HPROF_BYTES, static_cast<int64_t>(record.hprofBytes));
                XmlUtils::AddPropElement(response, Protocol::PROP_DUMP_BYTES, static_cast<int64_t>(record.dumpBytes));
                XmlUtils::AddPropElement(response, Protocol::PROP_DUMP_MSEC, record.dumpMillis);
                XmlUtils::AddPropElement(response, Protocol::PROP_REDACT_MSEC, record.redactMillis);
                XmlUtils::AddPropElement(response, Protocol::PROP_STREAM_MSEC, streamMillis);
            }
            SendFrame(held == 0);
            if (held > 0) ThrowIfCancelled("Aborting kept heap dump sending");
        }
    } catch (const std::exception& e) {
        SendError(e.what());
        return false;
    }
    return true;
}

void HeapDumpCommand::AddKeptFrame(const uint8_t* frame, size_t length) {
    base64 = Base64Text();
    if (compressor) {
        base64.Append(response, frame, length);
        base64.Finish(response);
        return;
    }
    std::unique_ptr<ZSTD_DCtx, DContextFree> context(ZSTD_createDCtx());
    if (!context) throw std::bad_alloc();
    std::vector<uint8_t> plain(ZSTD_DStreamOutSize());
    ZSTD_inBuffer in{frame, length, 0};
    size_t left = 1;
    while (in.pos < in.size || left != 0) {
        ZSTD_outBuffer out{plain.data(), plain.size(), 0};
        left = ZSTD_decompressStream(context.get(), &out, &in);
        if (ZSTD_isError(left)) throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(left));
        base64.Append(response, plain.data(), out.pos);
        if (out.pos == 0 && in.pos == in.size) {
            if (left != 0) throw std::runtime_error("a kept heap dump's zstd frame ends early");
            break;
        }
    }
    base64.Finish(response);
}

void HeapDumpCommand::Write(const uint8_t* data, size_t length) {
    while (length > 0) {
        if (frameBytes == FRAME_DUMP_BYTES) {
            EndText();
            XmlUtils::EndXmlElement(response, Protocol::HPROF_ELEMENT);
            SendFrame(false);
            ThrowIfCancelled("Aborting heap dump sending");
            StartFrame();
        }
        size_t take = static_cast<size_t>(std::min<uint64_t>(length, FRAME_DUMP_BYTES - frameBytes));
        if (compressor)
            compressor->Add(data, take);
        else
            base64.Append(response, data, take);
        frameBytes += take;
        data += take;
        length -= take;
    }
}

void HeapDumpCommand::StartFrame() {
    response.Clear(false);
    frameBytes = 0;
    XmlUtils::StartCommandElement(response, NAME);
    XmlUtils::StartXmlElement(response, Protocol::HPROF_ELEMENT);
    if (compressor) compressor->Begin(response);
}

// Each frame's text decodes on its own: its last group is padded.
void HeapDumpCommand::EndText() {
    if (compressor)
        compressor->End();
    else
        base64.Finish(response);
}

void HeapDumpCommand::SendFrame(bool final) {
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
    XmlUtils::AddLastElement(response, final && last ? 1 : 0);
    auto start = std::chrono::steady_clock::now();
    Send(response, true);
    streamMillis += MillisSince(start);
}

}  // namespace Orlo
