// vesk diff: what grew between two snapshots, class by class.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "heap/DominatorTree.h"
#include "heap/HeapDiff.h"
#include "heap/HolderGrowth.h"
#include "load/HeapInput.h"
#include "heap/HeapText.h"
#include "term/InterruptGuard.h"
#include "term/ProgressDisplay.h"

namespace vesk {

struct DiffArgs {
    std::string before;
    std::string after;
    size_t count = 50;
    bool retained = false;
    bool holders = false;
    bool json = false;
    bool bytes = false;
    double failAbove = -1;  // percent; -1: no gate
    int64_t minBytes = 1 << 20;
};

// The whole heap as one more row: its instances and bytes, and with
// retained sizes, the reachable bytes.
static const char HEAP_ROW[] = "(heap)";

struct Side {
    std::vector<ClassTotals> classes;
    ClassTotals heap{HEAP_ROW};
    HolderBaseline holders;  // the earlier, with retained sizes
    std::vector<HolderChange> grown;  // the later, with retained sizes: paths in its graph
    std::vector<std::string> labels, tags;  // of grown, read while its graph is held
    std::vector<std::vector<std::string>> paths;
};

static const size_t HOLDER_ROWS = 10;

// Instances and bytes per class, as histo counts them; with retained sizes,
// the dominator tree's too, and the holders: earlier given, those that grew
// since then (earlier's holders are used up).
static Side Totals(const HeapInput& input, bool retained, Side* earlier = nullptr) {
    Side side;
    if (retained) {
        HeapGraph graph = input.Graph();
        std::unique_ptr<DominatorTree> tree = input.Tree(graph);
        side.classes = tree->ByClass();
        side.heap.retained = static_cast<int64_t>(tree->ReachableBytes());
        if (!earlier) side.holders = HolderKeys(graph, *tree);
        else side.grown = GrownHolders(std::move(earlier->holders), graph, *tree, HOLDER_ROWS);
        for (const HolderChange& holder : side.grown) {
            NodeId node = holder.afterPath.steps.back().node;
            side.labels.push_back(NodeLabel(graph, node));
            side.tags.push_back(HexTag(graph.Tag(node)));
            side.paths.push_back(PathAsPrinted(graph, holder.afterPath));
        }
    } else {
        for (const ClassTotals& count : input.Histogram())
            side.classes.push_back({count.name, count.instances, count.bytes, -1});
    }
    for (const ClassTotals& row : side.classes) {
        side.heap.instances += row.instances;
        side.heap.bytes += row.bytes;
    }
    return side;
}

// Grew by more than percent and by more than minBytes: by retained bytes
// when computed, else by bytes.
static bool Over(const ClassDelta& row, const DiffArgs& args) {
    int64_t before = args.retained ? row.before.retained : row.before.bytes;
    int64_t growth = args.retained ? row.RetainedGrowth() : row.ByteGrowth();
    if (growth <= args.minBytes) return false;
    return before <= 0 || static_cast<double>(growth) * 100 > args.failAbove * static_cast<double>(before);
}

static nlohmann::ordered_json HoldersJson(const Side& after) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (size_t i = 0; i < after.grown.size(); i++)
        out.push_back({{"class", after.labels[i]},
                       {"tag", after.tags[i]},
                       {"retainedBefore", after.grown[i].before},
                       {"retainedAfter", after.grown[i].after},
                       {"path", after.paths[i]}});
    return out;
}

static nlohmann::ordered_json RowJson(const ClassDelta& row, bool retained) {
    nlohmann::ordered_json entry = {{"name", row.name},
                                    {"instancesBefore", row.before.instances},
                                    {"instancesAfter", row.after.instances},
                                    {"bytesBefore", row.before.bytes},
                                    {"bytesAfter", row.after.bytes}};
    if (retained) {
        entry["retainedBefore"] = row.before.retained;
        entry["retainedAfter"] = row.after.retained;
    }
    return entry;
}

// -1: not computed (never expected with --retained), printed as the number.
static std::string Size(int64_t bytes, bool exact) {
    return bytes < 0 ? std::to_string(bytes) : SizeText(static_cast<uint64_t>(bytes), exact);
}

static void PrintRows(const std::vector<ClassDelta>& rows, const DiffArgs& args) {
    printf("    #inst old     #inst new   #inst +/-      bytes old      bytes new      bytes +/-");
    if (args.retained) printf("   retained old   retained new   retained +/-");
    printf("  class name\n");
    for (const ClassDelta& row : rows) {
        printf("%13" PRId64 " %13" PRId64 " %+11" PRId64 " %14s %14s %14s", row.before.instances, row.after.instances,
               row.InstanceGrowth(), Size(row.before.bytes, args.bytes).c_str(),
               Size(row.after.bytes, args.bytes).c_str(), SizeChangeText(row.ByteGrowth(), args.bytes).c_str());
        if (args.retained)
            printf(" %14s %14s %14s", Size(row.before.retained, args.bytes).c_str(),
                   Size(row.after.retained, args.bytes).c_str(),
                   SizeChangeText(row.RetainedGrowth(), args.bytes).c_str());
        printf("  %s\n", row.name.c_str());
    }
}

// "10 % and 1.0 MiB (retained)".
static std::string GateText(const DiffArgs& args) {
    char percent[32];
    snprintf(percent, sizeof percent, "%g %%", args.failAbove);
    return std::string(percent) + " and " + SizeText(static_cast<uint64_t>(args.minBytes), args.bytes) +
           (args.bytes ? " bytes" : "") + (args.retained ? " (retained)" : "");
}

static void RunDiff(const Options& options, const DiffArgs& args) {
    // With --port the new snapshot is taken now.
    if (args.after.empty() && !options.portGiven) throw UsageError("give OLD and NEW, or OLD and --port");
    if (args.holders && !args.retained) throw UsageError("--holders needs --retained");
    InterruptExit cancel("diff cancelled (Ctrl-C)", EXIT_CANCELLED);
    // Both inputs are looked at before the first is read: a wrong second
    // file is reported at once.
    ProgressDisplay progress("diff");
    HeapInput first(InputOf(options), args.before, true, progress), second(InputOf(options), args.after, false, progress);
    Side before = Totals(first, args.retained);
    Side after = Totals(second, args.retained, &before);
    progress.Stop();

    std::vector<ClassDelta> rows = DiffClasses(before.classes, after.classes);
    bool gate = args.failAbove >= 0;
    std::vector<ClassDelta> over;
    if (gate) {
        ClassDelta heap{HEAP_ROW, before.heap, after.heap};
        if (Over(heap, args)) over.push_back(heap);
        for (const ClassDelta& row : rows)
            if (Over(row, args)) over.push_back(row);
    }
    if (rows.size() > args.count) rows.resize(args.count);
    if (args.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        for (const ClassDelta& row : rows) out.push_back(RowJson(row, args.retained));
        if (gate) {
            nlohmann::ordered_json offending = nlohmann::ordered_json::array();
            for (const ClassDelta& row : over) offending.push_back(RowJson(row, args.retained));
            out = {{"rows", out}, {"failed", !over.empty()}, {"over", offending}};
        }
        if (args.holders) {
            if (!gate) out = {{"rows", out}};
            out["holders"] = HoldersJson(after);
        }
        printf("%s\n", out.dump(2).c_str());
    } else {
        PrintRows(rows, args);
        if (args.retained) {
            const std::vector<HolderChange>& grown = after.grown;
            printf("\nHolders that grew most%s (matched by path from a GC root, own chain, or class and size):\n",
                   grown.empty() ? ": none" : "");
            if (!grown.empty()) printf("   retained old   retained new   retained +/-  path\n");
            for (const HolderChange& holder : grown)
                printf("%15s %14s %14s  %s\n", SizeText(holder.before, args.bytes).c_str(),
                       SizeText(holder.after, args.bytes).c_str(), SizeChangeText(holder.Growth(), args.bytes).c_str(),
                       holder.path.c_str());
        }
        if (gate) {
            std::string limit = GateText(args);
            if (over.empty()) {
                printf("\nGrowth gate passed: nothing grew by more than %s.\n", limit.c_str());
            } else {
                printf("\nGrowth gate failed: grew by more than %s:\n", limit.c_str());
                PrintRows(over, args);
            }
        }
    }
    if (!over.empty()) {
        // The documented status a CI step fails on; nothing went wrong in vesk.
        fflush(stdout);
        std::exit(EXIT_GROWTH);
    }
}

static CommandRun DefineDiff(CLI::App& command) {
    auto args = std::make_shared<DiffArgs>();
    command.add_option("OLD", args->before, "the earlier saved snapshot stream or HPROF file")
        ->required()
        ->check(NonEmpty);
    command.add_option("NEW", args->after, "the later one (or --port for the live heap: " LIVE_ROUTE ")")->check(NonEmpty);
    command.add_flag("--retained", args->retained, "add retained sizes, and the holders that grew most");
    command.add_flag("--holders", args->holders,
                     "with --retained and --json: add \"holders\", the holders that grew most (the text shows\n"
                     "them with --retained alone); matched as suspects OLD NEW matches them");
    command.add_option("--fail-above", args->failAbove,
                       "a growth gate for CI: exit with status 1 when the heap, or any class's bytes (retained\n"
                       "bytes with --retained), grew by more than PCT % and by more than --min-bytes")
        ->option_text("PCT")
        ->check(CLI::Range(0.0, 1000000.0));
    command.add_option("--min-bytes", args->minBytes, "growth at most this large never fails the gate (default 1 MiB)")
        ->option_text("B")
        ->check(DecimalRange(0, 4000000000000000000L));
    AddRowOptions(command, args->count, "how many classes (default 50)", args->json, args->bytes);
    return [args](const Options& options) { RunDiff(options, *args); };
}

static CommandRegistration registration("diff", "per class, what grew between two snapshots", DefineDiff);

}  // namespace vesk
