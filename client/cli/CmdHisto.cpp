// vesk histo: class histogram of a saved snapshot, or of a fresh one taken
// from the agent, in the columns of the JDK's own class histogram.
#include <memory>
#include <vector>

#include "cli/Commands.h"
#include "cli/SnapshotInput.h"
#include "load/SnapshotHistogram.h"

namespace vesk {

// A snapshot's histogram needs its header frame only: a live snapshot is
// cancelled rather than received.
static void RunHisto(const Options& options, const std::string& path) {
    PrintHistogram(stdout, SnapshotInput(options, path, false).Histogram());
}

static CommandRun DefineHisto(CLI::App& command) {
    auto path = std::make_shared<std::string>();
    command.add_option("FILE", *path, "a saved snapshot stream or HPROF file; none: take a new snapshot from the agent")
        ->check(NonEmpty);
    return [path](const Options& options) { RunHisto(options, *path); };
}

static CommandRegistration registration(
    "histo", "class histogram of a saved snapshot, or of a new one from the agent", DefineHisto);

}  // namespace vesk
