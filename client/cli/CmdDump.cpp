// vesk dump: asks the agent for a heap dump and saves the redacted HPROF it
// streams (base64 in the frames' <hprof> elements) to a file; Ctrl-C stops
// the streaming.
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cli/Commands.h"
#include "term/OutputFile.h"
#include "protocol/SnapshotSession.h"

namespace vesk {

// Appends the bytes of one frame's base64 text; false on a character outside
// the alphabet. Each frame's text is padded on its own.
static bool DecodeBase64(std::string_view text, std::string& out) {
    static const std::array<int8_t, 256> values = [] {
        std::array<int8_t, 256> table;
        table.fill(-1);
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; i++) table[static_cast<uint8_t>(alphabet[i])] = static_cast<int8_t>(i);
        return table;
    }();
    uint32_t bits = 0;
    int held = 0;
    for (char c : text) {
        if (c == '=') break;
        int8_t value = values[static_cast<uint8_t>(c)];
        if (value < 0) return false;
        bits = bits << 6 | static_cast<uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<char>(bits >> held & 0xFF));
        }
    }
    return true;
}

static std::string Find(const std::vector<Prop>& props, const std::string& name) {
    for (const Prop& prop : props)
        if (prop.name == name) return prop.value;
    return "?";
}

static void RunDump(const Options& options, const std::string& path) {
    OutputFile output(path);
    if (!output.Open()) throw ClientError(ErrorKind::File, "cannot create " + path + ".part: " + strerror(errno));

    VeskClient client = ConnectClient(options);
    SnapshotSession session(client, options.timeoutMs, true, true);
    std::vector<Prop> figures;
    std::string bytes;
    bool writeFailed = false, garbled = false;
    int writeErrno = 0;
    SnapshotSession::Outcome outcome = session.Run([&](const Frame& frame) {
        std::string_view body = frame.Body();
        size_t start = body.find("<hprof>"), end = body.find("</hprof>");
        if (start == std::string_view::npos || end == std::string_view::npos) return;
        bytes.clear();
        garbled = garbled || !DecodeBase64(body.substr(start + 7, end - start - 7), bytes);
        if (!writeFailed && !garbled && !output.Write(bytes)) {
            writeFailed = true;
            writeErrno = errno;
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
    if (!output.Commit()) throw ClientError(ErrorKind::File, "cannot write " + path + ": " + strerror(errno));
    if (path != "-")
        fprintf(stderr, "vesk: heap dump saved to %s: %.1f MiB (JVM dump %s ms, redaction %s ms, streaming %s ms)\n",
                path.c_str(), atof(Find(figures, "dump-bytes").c_str()) / 1048576.0,
                Find(figures, "dump-msec").c_str(), Find(figures, "redact-msec").c_str(),
                Find(figures, "stream-msec").c_str());
}

static CommandRun DefineDump(CLI::App& command) {
    auto path = std::make_shared<std::string>();
    command.add_option("-o", *path, "save the redacted HPROF to FILE ('-': standard output)")
        ->option_text("FILE")
        ->required()
        ->check(NonEmpty);
    return [path](const Options& options) { RunDump(options, *path); };
}

static CommandRegistration registration(
    "dump", "save a redacted HPROF heap dump (for vesk histo/top, VisualVM, Eclipse MAT); Ctrl-C cancels", DefineDump);

}  // namespace vesk
