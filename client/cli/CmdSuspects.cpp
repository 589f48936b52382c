// vesk suspects: what is wrong with a heap, without knowing what to ask:
// leak suspects, wasted memory and classes loaded more than once; given two
// snapshots, first the holders that grew.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "cli/Commands.h"
#include "load/HeapInput.h"
#include "heap/DominatorTree.h"
#include "heap/HeapFindings.h"
#include "heap/HeapText.h"
#include "heap/HolderGrowth.h"
#include "term/InterruptGuard.h"
#include "term/ProgressDisplay.h"

namespace vesk {

static const char RULES[] =
    "Leak suspects (Eclipse MAT's rule): the top-level dominators (objects only the virtual root\n"
    "dominates, class objects with their statics included) that retain more than --threshold of\n"
    "the reachable heap, kind \"object\"; and the classes whose other top-level instances together\n"
    "do, kind \"class\". Each is described by its accumulation point: from the suspect, down the\n"
    "dominator tree while one child retains at least 70 % of its parent; by the shortest path\n"
    "from a GC root to that point (weak, soft and phantom references not followed); and by the\n"
    "classes of what the point dominates, with retained bytes by the rule of top --by-class.\n"
    "\n"
    "Waste, per concrete class, among reachable objects:\n"
    "  empty-collection   ArrayList, HashMap, HashSet, ConcurrentHashMap, ArrayDeque, Vector,\n"
    "                     Hashtable, TreeMap, LinkedList... and subclasses with no element:\n"
    "                     bytes and saved are their retained bytes\n"
    "  sparse-collection  hash tables with under a quarter of their slots used: bytes are the\n"
    "                     tables', saved the slots beyond a table sized for the entries\n"
    "  empty-array        object arrays of length 0; null-array: object arrays with every slot\n"
    "                     null (arrays of collections are counted with the collection)\n"
    "  boxed              Integer, Long, Double... instances: saved is what exceeds the value\n"
    "  duplicate-class    a class name defined by several class loaders: instances are copies\n"
    "Duplicate strings need the strings' characters, which vesk does not read: they are\n"
    "reported as skipped (\"values\": false in --json).\n"
    "\n"
    "Given FILE and a later NEW, growth suspects come first (MAT's rule for comparing snapshots):\n"
    "the holders whose retained bytes grew by at least --growth-threshold of NEW's reachable heap\n"
    "and by at least --min-growth, each with both sizes and NEW's path. Every object retaining at\n"
    "least 1 KiB in a snapshot is a candidate; an object of NEW is matched to one of OLD by, in\n"
    "order: its shortest path from a GC root (root kind, thread, classes, fields, array indices\n"
    "where the array's size is the same in both, else those below 16, none inside a hash table's\n"
    "array); its own chain (the last 3 steps of that path, whatever root is above); its class and\n"
    "shallow size; its class and shallow size among OLD's objects under 1 KiB. Objects sharing a\n"
    "key are paired by rank of retained size, never summed; one left unmatched (no object of its\n"
    "class and shallow size left in OLD) is new and grew from 0. A chain of holders each retaining at least 90 % of the one above\n"
    "is one row, named by its topmost holder, shown when each of them grew; a row whose growth one\n"
    "below it accounts for (90 %) is left to that one. diff --retained and report OLD NEW match\n"
    "the same way. Then NEW's leak suspects and waste as above. With --json the document\n"
    "adds \"growth\": [{\"class\", \"tag\", \"retainedBefore\", \"retainedAfter\", \"share\" (of the\n"
    "growth), \"holder\" (the path matched), \"path\"}] and \"reachableBefore\".";

struct SuspectsArgs {
    std::string file;
    std::string newer;  // given: file is the older of two snapshots compared
    size_t count = 20;
    double threshold = 10;
    bool json = false;
    bool bytes = false;
    double growthThreshold = GROWTH_SUSPECT_PERCENT;
    uint64_t minGrowth = 0;
};

static std::string Percent(double share) {
    char text[16];
    snprintf(text, sizeof text, "%.1f %%", share * 100);
    return text;
}

static double Share(uint64_t bytes, uint64_t reachable) {
    return reachable ? static_cast<double>(bytes) / static_cast<double>(reachable) : 0;
}

static std::string SuspectLabel(const HeapGraph& graph, const LeakSuspect& suspect) {
    return suspect.byClass ? graph.Classes()[suspect.cls].name : NodeLabel(graph, suspect.node);
}

static uint64_t SuspectTag(const HeapGraph& graph, const LeakSuspect& suspect) {
    return suspect.byClass ? graph.Classes()[suspect.cls].tag : graph.Tag(suspect.node);
}

static std::string LoaderText(const HeapGraph& graph, const std::pair<NodeId, uint32_t>& loader) {
    std::string name = loader.first == NO_NODE ? "bootstrap loader"
                                               : NodeLabel(graph, loader.first) + " " + HexTag(graph.Tag(loader.first));
    return name + " (" + std::to_string(loader.second) + " classes)";
}

// What comparing with an older snapshot adds to the findings of the newer.
struct Growth {
    uint64_t reachableBefore = 0;
    std::vector<HolderChange> suspects;  // paths in the newer snapshot's graph
};

// The holder's object in the newer snapshot: the end of its path.
static NodeId HolderNode(const HolderChange& holder) { return holder.afterPath.steps.back().node; }

static nlohmann::ordered_json GrowthJson(const HeapGraph& graph, const Growth& growth, uint64_t reachable) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const HolderChange& holder : growth.suspects)
        out.push_back({{"class", NodeLabel(graph, HolderNode(holder))},
                       {"tag", HexTag(graph.Tag(HolderNode(holder)))},
                       {"retainedBefore", holder.before},
                       {"retainedAfter", holder.after},
                       {"share", Share(static_cast<uint64_t>(holder.Growth()), reachable)},
                       {"holder", holder.path},
                       {"path", PathAsPrinted(graph, holder.afterPath)}});
    return out;
}

// growth: given when two snapshots were compared (graph is the newer).
static nlohmann::ordered_json FindingsJson(const HeapGraph& graph, const HeapFindings& findings,
                                           const Growth* growth) {
    nlohmann::ordered_json out;
    if (growth) out["growth"] = GrowthJson(graph, *growth, findings.reachable);
    nlohmann::ordered_json& suspects = out["suspects"] = nlohmann::ordered_json::array();
    for (const LeakSuspect& suspect : findings.suspects) {
        nlohmann::ordered_json holds = nlohmann::ordered_json::array();
        for (const HeldClass& held : suspect.holds)
            holds.push_back({{"class", held.name}, {"instances", held.instances}, {"retained", held.retained}});
        suspects.push_back({{"kind", suspect.byClass ? "class" : "object"},
                            {"class", SuspectLabel(graph, suspect)},
                            {"tag", HexTag(SuspectTag(graph, suspect))},
                            {"instances", suspect.instances},
                            {"retained", suspect.retained},
                            {"share", Share(suspect.retained, findings.reachable)},
                            {"accumulation",
                             {{"class", NodeLabel(graph, suspect.point)},
                              {"tag", HexTag(graph.Tag(suspect.point))},
                              {"retained", suspect.pointRetained}}},
                            {"path", PathAsPrinted(graph, suspect.path)},
                            {"holds", holds}});
    }
    nlohmann::ordered_json& waste = out["waste"] = nlohmann::ordered_json::array();
    for (const WasteRow& row : findings.waste)
        waste.push_back({{"kind", WasteKindName(row.kind)},
                         {"class", row.className},
                         {"instances", row.instances},
                         {"bytes", row.bytes},
                         {"saved", row.saved}});
    if (growth) out["reachableBefore"] = growth->reachableBefore;
    out["reachable"] = findings.reachable;
    out["values"] = findings.values;
    return out;
}

// As vesk path prints it: indented, or numbered when long.
static void PrintPath(const HeapGraph& graph, const HeapPath& path) {
    std::vector<std::string> lines = PathAsPrinted(graph, path);
    if (lines.empty()) printf("   no GC root reaches it without weak, soft or phantom references\n");
    bool numbered = lines.size() > 11;
    for (size_t i = 0; i < lines.size(); i++) {
        if (i == 0) printf("     %s\n", lines[i].c_str());
        else if (numbered) printf("     %*zu  %s\n", static_cast<int>(std::to_string(lines.size()).size()), i,
                                  lines[i].c_str());
        else printf("     %*s%s\n", static_cast<int>(i - 1) * 2, "", lines[i].c_str());
    }
}

static void PrintSuspect(const HeapGraph& graph, const HeapFindings& findings, const LeakSuspect& suspect,
                         size_t rank, bool exact) {
    std::string share = Percent(Share(suspect.retained, findings.reachable));
    std::string size = SizeText(suspect.retained, exact) + (exact ? " bytes" : "");
    if (suspect.byClass)
        printf("%zu. %" PRId64 " top-level instances of %s retain %s (%s); the largest:\n", rank, suspect.instances,
               SuspectLabel(graph, suspect).c_str(), size.c_str(), share.c_str());
    else
        printf("%zu. %s %s retains %s (%s)\n", rank, NodeLabel(graph, suspect.node).c_str(),
               HexTag(graph.Tag(suspect.node)).c_str(), size.c_str(), share.c_str());
    if (suspect.point != suspect.node)
        printf("   accumulates in %s %s, retaining %s%s\n", NodeLabel(graph, suspect.point).c_str(),
               HexTag(graph.Tag(suspect.point)).c_str(), SizeText(suspect.pointRetained, exact).c_str(),
               exact ? " bytes" : "");
    PrintPath(graph, suspect.path);
    if (suspect.holds.empty()) return;
    printf("   holding%s:\n", suspect.byClass ? " (all instances)" : "");
    printf("       #instances       retained  class name\n");
    for (const HeldClass& held : suspect.holds)
        printf("   %14" PRId64 " %14s  %s\n", held.instances, SizeText(held.retained, exact).c_str(), held.name.c_str());
}

static void PrintFindings(const HeapGraph& graph, const HeapFindings& findings, const SuspectsArgs& args) {
    bool exact = args.bytes;
    printf("%s%s reachable from the roots\n\n", SizeText(findings.reachable, exact).c_str(), exact ? " bytes" : "");
    char threshold[32];
    snprintf(threshold, sizeof threshold, "%g %%", args.threshold);
    if (findings.suspects.empty())
        printf("Leak suspects: none (no top-level object or class retains more than %s)\n", threshold);
    else
        printf("Leak suspects (top-level objects or classes retaining more than %s)\n", threshold);
    for (size_t i = 0; i < findings.suspects.size(); i++) {
        printf("\n");
        PrintSuspect(graph, findings, findings.suspects[i], i + 1, exact);
    }

    printf("\nWaste%s\n", findings.waste.empty() ? ": none found" : "");
    if (!findings.waste.empty())
        printf("kind                 #instances          bytes          saved  class name\n");
    for (const WasteRow& row : findings.waste) {
        printf("%-18s %12" PRId64 " %14s %14s  %s\n", WasteKindName(row.kind), row.instances,
               SizeText(row.bytes, exact).c_str(), SizeText(row.saved, exact).c_str(), row.className.c_str());
        if (row.kind != WasteKind::DuplicateClass) continue;
        if (!findings.loadersKnown) printf("%50s  (the input names no class loaders)\n", "");
        else for (const auto& loader : row.loaders) printf("%50s  - %s\n", "", LoaderText(graph, loader).c_str());
    }
    if (!findings.values)
        printf("\nDuplicate strings: skipped; string values were not read (this analysis uses the heap's\n"
               "structure only).\n");
}

static void PrintGrowth(const HeapGraph& graph, const Growth& growth, uint64_t reachable, const SuspectsArgs& args) {
    bool exact = args.bytes;
    const char* unit = exact ? " bytes" : "";
    printf("Reachable from the roots: %s%s before, %s%s after (%s%s)\n\n", SizeText(growth.reachableBefore, exact).c_str(),
           unit, SizeText(reachable, exact).c_str(), unit,
           SizeChangeText(static_cast<int64_t>(reachable) - static_cast<int64_t>(growth.reachableBefore), exact).c_str(),
           unit);
    std::string line =
        SizeText(static_cast<uint64_t>(args.growthThreshold / 100 * static_cast<double>(reachable)), exact) + unit;
    if (args.minGrowth > 0) line += ", and at least " + SizeText(args.minGrowth, exact) + unit;
    char percent[32];
    snprintf(percent, sizeof percent, "%g %%", args.growthThreshold);
    if (growth.suspects.empty())
        printf("Growth suspects: none (no holder's retained bytes grew by %s of the later reachable heap, %s)\n",
               percent, line.c_str());
    else
        printf("Growth suspects (retained bytes grown by at least %s of the later reachable heap, %s;\n"
               "holders matched by their path from a GC root, else their own chain, else class and size)\n",
               percent, line.c_str());
    for (size_t i = 0; i < growth.suspects.size(); i++) {
        const HolderChange& holder = growth.suspects[i];
        NodeId node = HolderNode(holder);
        printf("\n%zu. %s %s grew by %s%s (%s), from %s%s to %s%s\n", i + 1, NodeLabel(graph, node).c_str(),
               HexTag(graph.Tag(node)).c_str(), SizeText(static_cast<uint64_t>(holder.Growth()), exact).c_str(), unit,
               Percent(Share(static_cast<uint64_t>(holder.Growth()), reachable)).c_str(),
               SizeText(holder.before, exact).c_str(), unit, SizeText(holder.after, exact).c_str(), unit);
        PrintPath(graph, holder.afterPath);
    }
    printf("\nIn the later snapshot, %s:\n", args.newer.c_str());
}

static void RunSuspects(const Options& options, const SuspectsArgs& args) {
    InterruptExit cancel("suspects cancelled (Ctrl-C)", EXIT_CANCELLED);
    ProgressDisplay progress("suspects");
    bool compare = !args.newer.empty();
    // Both inputs are looked at before the first is read: a wrong second
    // file is reported at once.
    std::optional<HeapInput> older;
    if (compare) older.emplace(InputOf(options), args.file, true, progress);
    HeapInput input(InputOf(options), compare ? args.newer : args.file, false, progress);
    Growth growth;
    HolderBaseline before;
    if (compare) {
        // Freed before the newer snapshot is read: one graph at a time.
        HeapGraph graph = older->Graph();
        std::unique_ptr<DominatorTree> tree = older->Tree(graph);
        progress.Phase("holders");
        growth.reachableBefore = tree->ReachableBytes();
        before = HolderKeys(graph, *tree);
    }
    HeapGraph graph = input.Graph();
    std::unique_ptr<DominatorTree> tree = input.Tree(graph);
    if (compare) {
        progress.Phase("holders");
        growth.suspects = GrowthSuspects(std::move(before), graph, *tree, args.growthThreshold, args.minGrowth, args.count);
    }
    FindingsOptions settings;
    settings.threshold = args.threshold / 100;
    settings.maxSuspects = args.count;
    settings.maxWaste = args.count;
    progress.Phase("findings");
    HeapFindings findings = FindProblems(graph, *tree, settings);
    progress.Stop();
    if (args.json) {
        printf("%s\n", FindingsJson(graph, findings, compare ? &growth : nullptr).dump(2).c_str());
        return;
    }
    if (compare) PrintGrowth(graph, growth, findings.reachable, args);
    PrintFindings(graph, findings, args);
}

static CommandRun DefineSuspects(CLI::App& command) {
    auto args = std::make_shared<SuspectsArgs>();
    command.add_option("FILE", args->file,
                       "a saved snapshot stream or HPROF file; none: the live heap from the agent (" LIVE_ROUTE ")")
        ->check(NonEmpty);
    command.add_option("NEW", args->newer,
                       "a later snapshot of the same JVM: FILE is then the earlier, and the holders that grew\n"
                       "come first")
        ->check(NonEmpty);
    command.add_option("--threshold", args->threshold,
                       "share of the reachable heap, in percent, a suspect retains more than (default 10)")
        ->option_text("PCT")
        ->check(CLI::Range(0.0, 100.0));
    command.add_option("--growth-threshold", args->growthThreshold,
                       "with NEW: share of NEW's reachable heap, in percent, a growth suspect grew by at least\n"
                       "(default 2)")
        ->option_text("PCT")
        ->check(CLI::Range(0.0, 100.0));
    command.add_option("--min-growth", args->minGrowth, "with NEW: bytes a growth suspect grew by at least (default 0)")
        ->option_text("BYTES")
        ->check(DecimalRange(0, 4000000000000000000L));
    AddRowOptions(command, args->count,
                  "at most N suspects (and growth suspects) and N rows of each kind of waste (default 20)",
                  args->json, args->bytes);
    command.footer(RULES);
    return [args](const Options& options) { RunSuspects(options, *args); };
}

static CommandRegistration registration("suspects", "leak suspects, wasted memory and classes loaded twice",
                                        DefineSuspects);

}  // namespace vesk
