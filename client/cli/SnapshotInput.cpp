#include "cli/SnapshotInput.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "load/HprofFile.h"
#include "load/HprofLoader.h"
#include "load/SnapshotLoader.h"
#include "protocol/SnapshotSession.h"

namespace vesk {

// "reading FILE: 41% of 2.3 GiB, 3.2 s" on a terminal, at most twice a second.
class FileProgress {
public:
    explicit FileProgress(const std::string& path) : path(path), shown(isatty(2)) {}
    ~FileProgress() {
        if (drawn) fprintf(stderr, "\r%*s\r", 70, "");
    }
    void operator()(uint64_t done, uint64_t total) {
        auto now = std::chrono::steady_clock::now();
        if (!shown || total == 0 || now - last < std::chrono::milliseconds(500)) return;
        last = now;
        drawn = true;
        fprintf(stderr, "\rreading %s: %.0f%% of %.1f MiB, %.1f s   ", path.c_str(), 100.0 * done / total,
                total / 1048576.0, std::chrono::duration<double>(now - start).count());
    }

private:
    std::string path;
    bool shown;
    bool drawn = false;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last = start;
};

static int ReadLive(const Options& options, SnapshotReader& reader) {
    VeskClient client = ConnectClient(options);
    SnapshotSession session(client, options.timeoutMs, true);
    SnapshotSession::Outcome outcome = session.Run([&](const Frame& frame) {
        if (!reader.Feed(frame.bytes)) session.Cancel();
    });
    bool stoppedEarly = reader.HeaderDone() && !reader.Complete() && !reader.Failed();
    if (outcome == SnapshotSession::Outcome::Cancelled && !stoppedEarly)
        return Fail(EXIT_CANCELLED, "snapshot cancelled (" + session.Error() + ")");
    if (!reader.Finish())
        return Fail(reader.AgentError().empty() ? EXIT_DROPPED : EXIT_AGENT_ERROR, reader.Error());
    return EXIT_OK;
}

int ReadSnapshot(const Options& options, const std::string& path, SnapshotReader& reader) {
    if (path.empty()) return ReadLive(options, reader);
    std::string error;
    {
        FileProgress progress(path);
        if (!FeedFile(path, reader, &error, std::ref(progress))) return Fail(EXIT_FILE, error);
    }
    if (!reader.Finish()) return Fail(EXIT_FILE, path + ": " + reader.Error());
    return EXIT_OK;
}

int LoadGraph(const Options& options, const std::string& path, HeapGraph* graph) {
    if (!path.empty() && HprofFile::IsHprof(path)) {
        std::string error;
        return LoadHprofFile(path, graph, &error) ? EXIT_OK : Fail(EXIT_FILE, error);
    }
    SnapshotLoader loader;
    SnapshotReader reader(loader);
    int status = ReadSnapshot(options, path, reader);
    if (status == EXIT_OK) *graph = loader.Finish();
    return status;
}

int ChooseInput(const Options& options, const std::string& file, bool fileRequired, std::string* path) {
    if (file.empty() && fileRequired && !options.portGiven) return UsageError("give FILE, or --port to take a new snapshot");
    *path = file;
    return EXIT_OK;
}

}  // namespace vesk
