// vesk dump: asks the agent for a heap dump and saves the redacted HPROF it
// streams (base64 in the frames' <hprof> elements, each frame's bytes one
// zstd frame when compressed) to a file; Ctrl-C stops the streaming. A
// FILE.zst gets the zstd frames as they come (a frame's bytes that came plain
// are compressed here), which decode to what FILE would hold.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cli/Commands.h"
#include "term/OutputFile.h"
#include "protocol/SnapshotSession.h"
#include "base/ZstdDecoder.h"

namespace vesk {

static std::string Find(const std::vector<Prop>& props, const std::string& name) {
    for (const Prop& prop : props)
        if (prop.name == name) return prop.value;
    return "?";
}

static void RunDump(const Options& options, const std::string& path) {
    OutputFile output(path);
    if (!output.Open()) throw ClientError(ErrorKind::File, "cannot create " + path + ".part: " + strerror(errno));

    VeskClient client = ConnectClient(options);
    SnapshotSession session(client, options.timeoutMs, true, true, options.compress);
    std::vector<Prop> figures;
    std::string bytes;
    bool writeFailed = false, garbled = false;
    int writeErrno = 0;
    bool zstd = IsZstdName(path);
    // Compressed bytes for a plain file are decoded as they come.
    struct Decoded : ZstdDecoder::Sink {
        OutputFile& output;
        bool failed = false;
        explicit Decoded(OutputFile& output) : output(output) {}
        void Plain(const char* data, size_t size) override {
            failed = failed || !output.Write(std::string_view(data, size));
        }
    } decoded(output);
    ZstdDecoder decoder(ErrorKind::Protocol, "the agent's compressed dump");
    SnapshotSession::Outcome outcome = session.Run([&](const Frame& frame) {
        std::string_view body = frame.Body();
        size_t start = body.find("<hprof>"), end = body.find("</hprof>");
        if (start == std::string_view::npos || end == std::string_view::npos) return;
        bytes.clear();
        garbled = garbled || !DecodeBase64(body.substr(start + 7, end - start - 7), bytes);
        if (!writeFailed && !garbled) {
            if (frame.marked && !zstd) {
                decoder.Feed(bytes.data(), bytes.size(), decoded);
                writeFailed = decoded.failed;
            } else {
                writeFailed = !output.Write(zstd && !frame.marked ? ZstdFrame(bytes) : bytes);
            }
            if (writeFailed) writeErrno = errno;
        }
        if (writeFailed || garbled) session.Cancel();
        if (frame.last) figures = CommandProps(body, "HEAPDUMP");
    });

    if (writeFailed) throw ClientError(ErrorKind::File, "cannot write " + path + ": " + strerror(writeErrno));
    if (garbled) throw ClientError(ErrorKind::Dropped, "the agent sent a frame that is not base64; nothing saved");
    if (outcome == SnapshotSession::Outcome::Cancelled)
        throw ClientError(ErrorKind::Cancelled, "heap dump cancelled (" + session.Error() + "); nothing saved");
    if (outcome == SnapshotSession::Outcome::Failed)
        throw ClientError(ErrorKind::AgentReported, "the agent reported: " + session.Error() + "; nothing saved");
    decoder.Finish();
    if (!output.Commit()) throw ClientError(ErrorKind::File, "cannot write " + path + ": " + strerror(errno));
    char wire[64] = "";
    if (session.Compressed()) snprintf(wire, sizeof wire, ", %.1f MiB on the wire", session.Bytes() / 1048576.0);
    if (path != "-")
        fprintf(stderr, "vesk: heap dump saved to %s: %.1f MiB%s (JVM dump %s ms, redaction %s ms, streaming %s ms)\n",
                path.c_str(), atof(Find(figures, "dump-bytes").c_str()) / 1048576.0, wire,
                Find(figures, "dump-msec").c_str(), Find(figures, "redact-msec").c_str(),
                Find(figures, "stream-msec").c_str());
}

static CommandRun DefineDump(CLI::App& command) {
    auto path = std::make_shared<std::string>();
    command.add_option("-o", *path,
                       "save the redacted HPROF to FILE ('-': standard output); FILE.zst: zstd-compressed, as it "
                       "arrives")
        ->option_text("FILE")
        ->required()
        ->check(NonEmpty);
    return [path](const Options& options) { RunDump(options, *path); };
}

static CommandRegistration registration(
    "dump", "save a redacted HPROF heap dump (for vesk histo/top, VisualVM, Eclipse MAT); Ctrl-C cancels", DefineDump);

}  // namespace vesk
