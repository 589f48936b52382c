// vesk histo: class histogram of a saved snapshot, or of a fresh one taken
// from the agent, in the columns of the JDK's own class histogram.
#include <memory>
#include <vector>

#include "cli/Commands.h"
#include "load/HprofFile.h"
#include "load/HprofLoader.h"
#include "load/SnapshotHistogram.h"
#include "cli/SnapshotInput.h"

namespace vesk {

// An HPROF file's histogram, from its objects and their derived sizes.
static int HprofHistogram(const std::string& path) {
    HeapGraph graph;
    std::string error;
    if (!LoadHprofFile(path, &graph, &error)) return Fail(EXIT_FILE, error);
    std::vector<ClassCount> rows;
    for (const ClassTotals& totals : graph.Histogram()) rows.push_back({totals.name, totals.instances, totals.bytes});
    PrintHistogram(stdout, SortHistogram(std::move(rows)));
    return EXIT_OK;
}

// The histogram needs the header frame only: the reader stops there, and a
// live snapshot is cancelled rather than received.
static int RunHisto(const Options& options, const std::string& path) {
    if (!path.empty() && HprofFile::IsHprof(path)) return HprofHistogram(path);
    HistogramReader reader;
    int status = ReadSnapshot(options, path, reader.Reader());
    if (status != EXIT_OK) return status;
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
