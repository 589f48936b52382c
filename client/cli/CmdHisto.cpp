// vesk histo: class histogram of a saved snapshot, or of a fresh one taken
// from the agent, in the columns of the JDK's own class histogram, with what
// no root reaches and the JVM's fillers left out.
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "cli/Commands.h"
#include "load/HeapInput.h"
#include "load/SnapshotHistogram.h"
#include "term/InterruptGuard.h"
#include "term/ProgressDisplay.h"

namespace vesk {

struct HistoArgs {
    std::string file;
    size_t count = SIZE_MAX;
    bool json = false;
    bool bytes = false;
};

static void PrintJson(const std::vector<ClassCount>& rows, const HeapSummary& summary, size_t count) {
    int64_t instances = 0, bytes = 0;
    for (const ClassCount& row : rows) {
        instances += row.instances;
        bytes += row.bytes;
    }
    nlohmann::ordered_json out = {{"instances", instances}, {"bytes", bytes}};
    AddUnreachableJson(out, summary);
    nlohmann::ordered_json& classes = out["classes"] = nlohmann::ordered_json::array();
    for (size_t i = 0; i < rows.size() && i < count; i++)
        classes.push_back({{"name", rows[i].name}, {"instances", rows[i].instances}, {"bytes", rows[i].bytes}});
    printf("%s\n", out.dump(2).c_str());
}

static void RunHisto(const Options& options, const HistoArgs& args) {
    InterruptExit cancel("histo cancelled (Ctrl-C)", EXIT_CANCELLED);
    ProgressDisplay progress("histo");
    HeapSummary summary;
    std::vector<ClassCount> rows = HeapInput(InputOf(options), args.file, false, progress).Histogram(&summary);
    progress.Stop();
    if (args.json) {
        PrintJson(rows, summary, args.count);
    } else {
        PrintHistogram(stdout, rows, args.count, args.bytes);
        printf("%s", UnreachableText(summary, args.bytes, true).c_str());
    }
}

static CommandRun DefineHisto(CLI::App& command) {
    auto args = std::make_shared<HistoArgs>();
    command.add_option("FILE", args->file,
                       "a saved snapshot stream or HPROF file; none: take a new snapshot from the agent")
        ->check(NonEmpty);
    AddRowOptions(command, args->count, "how many classes (default all; the totals count them all)", args->json,
                  args->bytes);
    command.footer(
        "Counts every object of the heap, class and thread objects included (java.lang.Class,\n"
        "java.lang.Thread...), as top --by-class, diff and report do; objects no root reaches are\n"
        "counted too (a heap dump leaves out references the JVM keeps) and named below the total,\n"
        "the five classes with the most bytes first. The JVM's filler objects in an HPROF file\n"
        "(dead space, JDK 19 and later) are left out and their count given.");
    return [args](const Options& options) { RunHisto(options, *args); };
}

static CommandRegistration registration(
    "histo", "class histogram of a saved snapshot, or of a new one from the agent", DefineHisto);

}  // namespace vesk
