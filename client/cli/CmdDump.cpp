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
#include "protocol/HeapDumpReceiver.h"

namespace vesk {

static std::string Find(const std::vector<Prop>& props, const std::string& name) {
    for (const Prop& prop : props)
        if (prop.name == name) return prop.value;
    return "?";
}

void SaveHeapDump(const Options& options, const std::string& path) {
    OutputFile output(path);
    if (!output.Open()) throw ClientError(ErrorKind::File, "cannot create " + path + ".part: " + strerror(errno));

    VeskClient client = ConnectClient(options);
    SnapshotSession session(client, options.timeoutMs, true, true, options.compress);
    HeapDumpReceipt receipt = ReceiveHeapDump(session, IsZstdName(path), path,
                                              [&](std::string_view bytes) { return output.Write(bytes); });
    SnapshotSession::Outcome outcome = receipt.outcome;
    const std::vector<Prop>& figures = receipt.figures;
    if (outcome == SnapshotSession::Outcome::Cancelled)
        throw ClientError(ErrorKind::Cancelled, "heap dump cancelled (" + session.Error() + "); nothing saved");
    if (outcome == SnapshotSession::Outcome::Failed)
        throw ClientError(ErrorKind::AgentReported, "the agent reported: " + session.Error() + "; nothing saved");
    if (!output.Commit()) throw ClientError(ErrorKind::File, "cannot write " + path + ": " + strerror(errno));
    char wire[64] = "";
    if (session.Compressed()) snprintf(wire, sizeof wire, ", %.1f MiB on the wire", session.Bytes() / 1048576.0);
    if (path != "-")
        fprintf(stderr, "vesk: heap dump saved to %s: %s%s (JVM dump %s ms, redaction %s ms, streaming %s ms)\n",
                path.c_str(), SavedSize(path, static_cast<uint64_t>(atof(Find(figures, "dump-bytes").c_str()))).c_str(),
                wire,
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
    return [path](const Options& options) { SaveHeapDump(options, *path); };
}

static CommandRegistration registration(
    "dump", "save a redacted HPROF heap dump (for vesk histo/top, VisualVM, Eclipse MAT); Ctrl-C cancels", DefineDump);

}  // namespace vesk
