// vesk snapshot: takes a heap snapshot and saves the whole stream, every frame
// as received, to a file; Ctrl-C cancels the walk. A FILE.zst gets the zstd
// frames the agent sent (a frame that came plain is compressed here), which
// decode to what FILE would hold.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/Commands.h"
#include "term/InterruptGuard.h"
#include "term/OutputFile.h"
#include "protocol/SnapshotSession.h"
#include "base/ZstdDecoder.h"

namespace vesk {

static std::string Find(const std::vector<Prop>& props, const std::string& name) {
    for (const Prop& prop : props)
        if (prop.name == name) return prop.value;
    return "?";
}

// Objects as every analysis counts them: the heap walk's, and the class and
// thread objects the snapshot describes apart.
static std::string Objects(const std::vector<Prop>& counts, const std::vector<Prop>& metrics) {
    const char* prefix = "$L$last.snapshot.";
    std::string walked = Find(counts, "total-objs"), classes = Find(metrics, prefix + std::string("classtag.class.count")),
                threads = Find(metrics, prefix + std::string("classtag.thread.count"));
    if (walked == "?" || classes == "?" || threads == "?") return walked;
    return std::to_string(std::stoull(walked) + std::stoull(classes) + std::stoull(threads));
}

static void PrintSummary(FILE* out, const SnapshotSession& session, const std::vector<Prop>& counts,
                         const std::vector<Prop>& metrics) {
    const char* prefix = "$L$last.snapshot.";
    fprintf(out, "objects       %s\nreferences    %s\nroots         %s\n", Objects(counts, metrics).c_str(),
            Find(counts, "total-refs").c_str(), Find(counts, "total-roots").c_str());
    fprintf(out, "classes       %s\nthreads       %s\n", Find(metrics, prefix + std::string("classtag.class.count")).c_str(),
            Find(metrics, prefix + std::string("classtag.thread.count")).c_str());
    fprintf(out, "tagging       %s ms\nheap walk     %s ms\nuntag         %s ms\nsnapshot      %s ms\n",
            Find(metrics, prefix + std::string("classtag.duration.msec")).c_str(),
            Find(metrics, prefix + std::string("heapwalk.duration.msec")).c_str(),
            Find(metrics, prefix + std::string("untag.duration.msec")).c_str(),
            Find(metrics, prefix + std::string("overall.duration.msec")).c_str());
    fprintf(out, "received      %" PRIu64 " frames, %.1f MiB in %.1f s\n", session.Frames(),
            session.Bytes() / 1048576.0, session.Seconds());
    if (session.Compressed())
        fprintf(out, "compressed    %.1fx, %.1f MiB plain\n", static_cast<double>(session.PlainBytes()) / session.Bytes(),
                session.PlainBytes() / 1048576.0);
}

void SaveSnapshot(const Options& options, std::string path) {
    if (path.empty() && options.raw) path = "-";
    OutputFile output(path);
    if (!output.Open()) throw ClientError(ErrorKind::File, "cannot create " + path + ".part: " + strerror(errno));

    // Ctrl-C while connecting (and proving the key) also ends cleanly, the
    // partial file removed.
    VeskClient client = [&] {
        InterruptGuard guard;
        VeskClient connected = ConnectClient(options);
        if (guard.Presses() > 0) throw ClientError(ErrorKind::Cancelled, "snapshot cancelled (Ctrl-C); nothing saved");
        return connected;
    }();
    SnapshotSession session(client, options.timeoutMs, true, false, options.compress, options.walk);
    std::vector<Prop> counts, metrics;
    bool writeFailed = false;
    int writeErrno = 0;
    bool zstd = IsZstdName(path);
    SnapshotSession::Outcome outcome = session.Run([&](const Frame& frame) {
        if (!writeFailed && !(zstd ? output.Write(frame.zstd.empty() ? ZstdFrame(frame.bytes) : frame.zstd)
                                   : output.Write(frame.bytes))) {
            writeFailed = true;
            writeErrno = errno;
            session.Cancel();
        }
        if (session.Frames() == 1) counts = CommandProps(frame.Body(), "SNAPSHOT");
        if (frame.last) metrics = CommandProps(frame.Body(), "");
    });

    if (writeFailed) throw ClientError(ErrorKind::File, "cannot write " + path + ": " + strerror(writeErrno));
    if (outcome == SnapshotSession::Outcome::Cancelled)
        throw ClientError(ErrorKind::Cancelled, "snapshot cancelled (" + session.Error() + "); nothing saved");
    if (outcome == SnapshotSession::Outcome::Failed)
        throw ClientError(ErrorKind::AgentReported, "the agent reported: " + session.Error() + "; nothing saved");
    if (!output.Commit()) throw ClientError(ErrorKind::File, "cannot write " + path + ": " + strerror(errno));

    if (path.empty()) {
        PrintSummary(stdout, session, counts, metrics);
    } else if (path != "-") {
        char wire[64] = "";
        if (session.Compressed()) snprintf(wire, sizeof wire, ", %.1f MiB on the wire", session.Bytes() / 1048576.0);
        fprintf(stderr, "vesk: snapshot saved to %s: %s objects, %s%s\n", path.c_str(),
                Objects(counts, metrics).c_str(), SavedSize(path, session.PlainBytes()).c_str(), wire);
    }
}

static CommandRun DefineSnapshot(CLI::App& command) {
    auto path = std::make_shared<std::string>();
    command.add_option("-o", *path,
                       "save the stream to FILE ('-': standard output, as --raw does); FILE.zst: zstd-compressed, "
                       "as it arrives")
        ->option_text("FILE")
        ->check(NonEmpty);
    return [path](const Options& options) { SaveSnapshot(options, *path); };
}

static CommandRegistration registration(
    "snapshot", "take a heap snapshot: save its stream to a file, or print a summary; Ctrl-C cancels", DefineSnapshot);

}  // namespace vesk
