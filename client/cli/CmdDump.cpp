// vesk dump: asks the agent for a heap dump and saves the redacted HPROF it
// streams (base64 in the frames' <hprof> elements, each frame's bytes one
// zstd frame when compressed) to a file; Ctrl-C stops the streaming. A
// FILE.zst gets the zstd frames as they come (a frame's bytes that came plain
// are compressed here), which decode to what FILE would hold. --oom fetches
// the heap the agent kept at an OutOfMemoryError (oom-dump=DIR) instead.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cli/Commands.h"
#include "protocol/KeptDumps.h"
#include "term/OutputFile.h"
#include "protocol/HeapDumpReceiver.h"

namespace vesk {

static std::string Find(const std::vector<Prop>& props, const std::string& name) {
    for (const Prop& prop : props)
        if (prop.name == name) return prop.value;
    return "?";
}

static void OpenOutput(OutputFile& output, const std::string& path) {
    if (!output.Open()) throw ClientError(ErrorKind::File, "cannot create " + path + ".part: " + strerror(errno));
}

// HEAPDUMP on client (of the kept capture keptName, unless empty) into output, opened at path.
static void Receive(VeskClient& client, OutputFile& output, const Options& options, const std::string& path,
                    const std::string& keptName) {
    SnapshotSession session(client, options.timeoutMs, true, true, options.compress);
    if (!keptName.empty()) session.SetKeptDump(keptName);
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

void SaveHeapDump(const Options& options, const std::string& path) {
    OutputFile output(path);
    OpenOutput(output, path);
    VeskClient client = ConnectClient(options);
    Receive(client, output, options, path, "");
}

struct DumpArgs {
    std::string path;
    bool oom = false;
    std::string name;
};

// The newest capture the agent lists.
static std::string NewestKept(VeskClient& client) {
    KeptCaptures kept = RequestKeptCaptures(client);
    if (kept.captures.empty())
        throw ClientError(ErrorKind::AgentReported,
                          kept.armed ? "the agent has kept no heap at an OutOfMemoryError yet (" +
                                           std::to_string(kept.events) + " seen)"
                                     : "the agent keeps no heaps at OutOfMemoryErrors: start it with oom-dump=DIR");
    return kept.captures.back().name;
}

static void RunDump(const Options& options, const DumpArgs& args) {
    if (!args.oom && args.name.empty()) {
        if (args.path.empty()) throw UsageError("vesk dump needs -o FILE");
        SaveHeapDump(options, args.path);
        return;
    }
    // One connection for both requests: a second one might find the first still being let go.
    VeskClient client = ConnectClient(options);
    std::string name = args.name.empty() ? NewestKept(client) : args.name;
    std::string path = args.path.empty() ? name : args.path;
    OutputFile output(path);
    OpenOutput(output, path);
    Receive(client, output, options, path, name);
}

static CommandRun DefineDump(CLI::App& command) {
    auto args = std::make_shared<DumpArgs>();
    command.add_option("-o", args->path,
                       "save the redacted HPROF to FILE ('-': standard output); FILE.zst: zstd-compressed, as it "
                       "arrives (with --oom, default: the capture's own name here)")
        ->option_text("FILE")
        ->check(NonEmpty);
    command.add_flag("--oom", args->oom,
                     "the heap the agent kept at the newest OutOfMemoryError (oom-dump=DIR), not a new dump");
    command.add_option("--name", args->name, "with --oom: the kept heap of this name (vesk dumps lists them)")
        ->option_text("NAME")
        ->check(NonEmpty);
    return [args](const Options& options) { RunDump(options, *args); };
}

static CommandRegistration registration(
    "dump",
    "save a redacted HPROF heap dump (for vesk histo/top, VisualVM, Eclipse MAT), or with --oom the one kept at an "
    "OutOfMemoryError; Ctrl-C cancels",
    DefineDump);

}  // namespace vesk
