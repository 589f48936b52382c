// vesk histo: class histogram of a saved snapshot, or of a fresh one taken
// from the agent, in the columns of the JDK's own class histogram.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Commands.h"
#include "HprofFile.h"
#include "HprofLoader.h"
#include "SnapshotHistogram.h"
#include "SnapshotSession.h"

namespace vesk {

static bool ReadFile(const std::string& path, HistogramReader& reader, std::string* error) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    std::vector<char> chunk(1 << 20);
    size_t n;
    while (!reader.Done() && (n = fread(chunk.data(), 1, chunk.size(), file)) > 0)
        reader.Feed(std::string_view(chunk.data(), n));
    bool ok = !ferror(file);
    if (!ok) *error = "cannot read " + path + ": " + strerror(errno);
    fclose(file);
    return ok;
}

// The histogram needs the header frame only: once it is in, the rest of the
// stream is cancelled rather than received. False when Ctrl-C ended it first.
static bool ReadLive(const Options& options, HistogramReader& reader, std::string* error) {
    VeskClient client = ConnectClient(options);
    SnapshotSession session(client, options.timeoutMs, true);
    SnapshotSession::Outcome outcome = session.Run([&](const Frame& frame) {
        reader.Feed(frame.bytes);
        if (reader.HeaderDone()) session.Cancel();
    });
    if (outcome == SnapshotSession::Outcome::Cancelled && !reader.HeaderDone()) {
        *error = "snapshot cancelled (" + session.Error() + ")";
        return false;
    }
    return true;
}

// An HPROF file's histogram, from its objects and their derived sizes.
static int HprofHistogram(const std::string& path) {
    HeapGraph graph;
    std::string error;
    if (!LoadHprofFile(path, &graph, &error)) return Fail(EXIT_FILE, error);
    std::vector<ClassCount> rows;
    for (const ClassTotals& totals : graph.Histogram())
        if (totals.instances > 0) rows.push_back({totals.name, totals.instances, totals.bytes});
    std::sort(rows.begin(), rows.end(), [](const ClassCount& a, const ClassCount& b) {
        if (a.bytes != b.bytes) return a.bytes > b.bytes;
        if (a.instances != b.instances) return a.instances > b.instances;
        return a.name < b.name;
    });
    PrintHistogram(stdout, rows);
    return EXIT_OK;
}

static int RunHisto(const Options& options, const std::string& path) {
    bool live = path.empty();
    if (!live && HprofFile::IsHprof(path)) return HprofHistogram(path);
    HistogramReader reader;
    std::string error;
    if (live) {
        if (!ReadLive(options, reader, &error)) return Fail(EXIT_CANCELLED, error);
    } else if (!ReadFile(path, reader, &error)) {
        return Fail(EXIT_FILE, error);
    }
    // A saved stream that fails holds no snapshot; a live one failed at the agent.
    int failure = live ? EXIT_AGENT_ERROR : EXIT_FILE;
    if (reader.Failed(&error)) return Fail(failure, live ? error : path + ": " + error);
    if (!reader.HeaderDone()) return Fail(failure, "no snapshot header found" + (live ? "" : " in " + path));
    PrintHistogram(stdout, reader.Histogram());
    return EXIT_OK;
}

static CommandRun DefineHisto(CLI::App& command) {
    auto path = std::make_shared<std::string>();
    command.add_option("FILE", *path, "a saved snapshot stream or HPROF file; none: take a new snapshot from the agent")
        ->check(NonEmpty);
    return [path](const Options& options) { return RunHisto(options, *path); };
}

static CommandRegistration registration(
    "histo", "class histogram of a saved snapshot, or of a new one from the agent", DefineHisto);

}  // namespace vesk
