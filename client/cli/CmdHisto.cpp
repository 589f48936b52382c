// vesk histo: class histogram of a saved snapshot, or of the live heap, in
// the columns of the JDK's own class histogram. A live heap is counted by the
// agent's HISTOGRAM (one pass, no walk) where it has it; an older agent
// gives its heap dump or a snapshot, read as a file's would be, with what
// no root reaches and the JVM's fillers left out.
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "cli/Commands.h"
#include "heap/ClassGroups.h"
#include "heap/ClassHistogram.h"
#include "heap/HeapSummary.h"
#include "load/HeapInput.h"
#include "report/HeapJson.h"
#include "protocol/HistogramRequest.h"
#include "term/InterruptGuard.h"
#include "term/ProgressDisplay.h"

namespace vesk {

struct HistoArgs {
    std::string file;
    size_t count = SIZE_MAX;
    bool json = false;
    bool bytes = false;
    bool live = false;
    std::string group = "class";
};

// summary: null for the agent's histogram, which knows nothing of reachability.
static void PrintJson(const std::vector<ClassTotals>& rows, const HeapSummary* summary, size_t count,
                      const std::string& group) {
    int64_t instances = 0, bytes = 0;
    for (const ClassTotals& row : rows) {
        instances += row.instances;
        bytes += row.bytes;
    }
    nlohmann::ordered_json out = {{"instances", instances}, {"bytes", bytes}};
    if (summary) AddUnreachableJson(out, *summary);
    bool byClass = group == "class";
    nlohmann::ordered_json& classes = out[byClass ? "classes" : "groups"] = nlohmann::ordered_json::array();
    for (size_t i = 0; i < rows.size() && i < count; i++)
        classes.push_back({{byClass ? "name" : group, rows[i].name}, {"instances", rows[i].instances},
                           {"bytes", rows[i].bytes}});
    printf("%s\n", out.dump(2).c_str());
}

// The agent's HISTOGRAM; false for an agent without it.
static bool RunAgentHistogram(const Options& options, const HistoArgs& args) {
    VeskClient client = ConnectClient(options);
    HistogramSample sample;
    if (!RequestHistogram(client, args.live, sample)) return false;
    std::vector<ClassTotals> rows;
    rows.reserve(sample.classes.size());
    for (HistogramClass& cls : sample.classes) rows.push_back({std::move(cls.name), cls.instances, cls.bytes});
    rows = SortHistogram(std::move(rows));
    if (args.json) {
        PrintJson(rows, nullptr, args.count, args.group);
    } else {
        PrintHistogram(stdout, rows, args.count, args.bytes);
    }
    return true;
}

// Per package or class loader: the whole graph, for the loaders.
static std::vector<ClassTotals> GroupedHistogram(HeapInput& input, const std::string& group, HeapSummary* summary) {
    HeapGraph graph = input.Graph();
    *summary = SummarizeHeap(graph, *input.Tree(graph));
    return GroupedClassTotals(
        graph, GroupClasses(graph, group == "package" ? ClassGrouping::Package : ClassGrouping::Loader));
}

static void RunHisto(const Options& options, const HistoArgs& args) {
    InterruptExit cancel("histo cancelled (Ctrl-C)", EXIT_CANCELLED);
    bool byClass = args.group == "class";
    // The agent's histogram names no loaders.
    if (args.file.empty() && byClass && RunAgentHistogram(options, args)) return;
    ProgressDisplay progress("histo");
    HeapSummary summary;
    HeapInput input(InputOf(options), args.file, false, progress);
    std::vector<ClassTotals> rows = byClass ? input.Histogram(&summary) : GroupedHistogram(input, args.group, &summary);
    progress.Stop();
    if (args.json) {
        PrintJson(rows, &summary, args.count, args.group);
    } else {
        PrintHistogram(stdout, rows, args.count, args.bytes,
                       byClass ? "class name" : args.group == "package" ? "package" : "class loader");
        printf("%s", UnreachableText(summary, args.bytes, true).c_str());
    }
}

static CommandRun DefineHisto(CLI::App& command) {
    auto args = std::make_shared<HistoArgs>();
    command.add_option("FILE", args->file,
                       "a saved snapshot stream or HPROF file; none: the live heap from the agent")
        ->check(NonEmpty);
    command.add_flag("--live", args->live, "a live heap: the agent runs a full collection first (as jcmd GC.class_histogram does)");
    command.add_option("--group", args->group, "per package or class loader (as top --by-class --group names them)")
        ->check(CLI::IsMember({"class", "package", "loader"}));
    AddRowOptions(command, args->count, "how many classes (default all; the totals count them all)", args->json,
                  args->bytes);
    command.footer(
        "A live heap is counted by the agent in one pass over it (HISTOGRAM), one short pause;\n"
        "an agent without it gives its heap dump (or, --snapshot, a snapshot), counted as a file's.\n"
        "A file: counts every object of the heap, class and thread objects included (java.lang.Class,\n"
        "java.lang.Thread...), as top --by-class, diff and report do; objects no root reaches are\n"
        "counted too (a heap dump leaves out references the JVM keeps) and named below the total,\n"
        "the five classes with the most bytes first. The JVM's filler objects in an HPROF file\n"
        "(dead space, JDK 19 and later) are left out and their count given. --group package or\n"
        "loader reads the whole heap (the live one by its heap dump), to name each class's loader.");
    return [args](const Options& options) { RunHisto(options, *args); };
}

static CommandRegistration registration(
    "histo", "class histogram of a saved snapshot or heap dump, or of the live heap", DefineHisto);

}  // namespace vesk
