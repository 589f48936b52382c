// vesk top: what holds the memory. The objects (or, --by-class, the classes)
// of largest retained size in a snapshot.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "heap/ChainRows.h"
#include "heap/ClassGroups.h"
#include "heap/DominatorTree.h"
#include "heap/HeapText.h"
#include "heap/LeakSuspects.h"
#include "load/HeapInput.h"
#include "report/HeapJson.h"
#include "term/InterruptGuard.h"
#include "term/ProgressDisplay.h"

namespace vesk {

static const char CONVENTIONS[] =
    "Retained size: the shallow sizes of everything an object dominates, itself included,\n"
    "from a virtual root over all GC roots. The roots are the objects that the snapshot's\n"
    "heap-root references name, plus every class object (statics hang from class objects,\n"
    "and the stream leaves out the system-class roots). Shallow size: an object record's\n"
    "size; a class or thread object's is the size of the references naming it (0 if none).\n"
    "All references count, weak ones included. A class's retained size is the sum over its\n"
    "instances that no other instance of the same class dominates. Objects no root reaches\n"
    "are counted as unreachable (and in --by-class all the same), the five classes with the most\n"
    "bytes named. Class and thread objects are counted as instances of their classes, as histo,\n"
    "diff and report count them; the JVM's filler objects in an HPROF file are left out.\n"
    "\n"
    "The table of objects shows a chain in which each object retains at least 90 % of the one\n"
    "that dominates it as one row: its top, and after \"->\" how many levels below it ends and\n"
    "where. --all lists every object; --json always does. --roots lists only the top-level\n"
    "holders (objects only the virtual root dominates, class objects with their statics\n"
    "included), each with its accumulation point as suspects finds it: down the dominator\n"
    "tree while one child retains at least 70 % of its parent.\n"
    "\n"
    "--by-class --group package sums the classes of a package (arrays with their elements'),\n"
    "--group loader those of a class loader: named by its class and the reference that holds it\n"
    "on its shortest path from a GC root; the JDK's own loaders by name (bootstrap, platform,\n"
    "app). Retained bytes of a group by the rule for classes.";

struct TopArgs {
    std::string file;
    size_t count = 20;
    bool byClass = false;
    bool json = false;
    bool bytes = false;
    bool all = false;
    bool roots = false;
    std::string group = "class";
};

// "6412000 bytes" with --bytes, else "6.1 MiB".
static std::string Amount(uint64_t bytes, bool exact) { return SizeText(bytes, exact) + (exact ? " bytes" : ""); }

static void PrintSummary(const HeapSummary& summary, bool exact) {
    printf("%" PRIu64 " objects, %" PRIu64 " references; %s reachable from the roots", summary.objects,
           summary.references, Amount(summary.reachableBytes, exact).c_str());
    if (summary.unreachableObjects > 0)
        printf("; %" PRIu64 " objects (%s) unreachable", summary.unreachableObjects,
               Amount(summary.unreachableBytes, exact).c_str());
    printf("\n%s\n", UnreachableText(summary, exact, false).c_str());
}

// The top-level holders, each with where its memory accumulates.
static void PrintRoots(const HeapGraph& graph, const DominatorTree& tree, const HeapSummary& summary,
                       nlohmann::ordered_json& out, const TopArgs& args) {
    DominatorChildren children(tree, graph.NodeCount());
    std::vector<NodeId> holders = tree.Children(DominatorTree::VIRTUAL_ROOT);
    size_t all = holders.size();
    if (holders.size() > args.count) holders.resize(args.count);
    if (args.json) {
        nlohmann::ordered_json& rows = out["roots"] = nlohmann::ordered_json::array();
        size_t rank = 0;
        for (NodeId node : holders) {
            NodeId point = AccumulationPoint(tree, children, node);
            rows.push_back({{"rank", ++rank}, {"retained", tree.Retained(node)}, {"shallow", graph.ShallowSize(node)},
                            {"class", NodeLabel(graph, node)}, {"tag", HexTag(graph.Tag(node))},
                            {"point", {{"class", NodeLabel(graph, point)}, {"tag", HexTag(graph.Tag(point))},
                                       {"retained", tree.Retained(point)}}}});
        }
        return;
    }
    PrintSummary(summary, args.bytes);
    printf("%zu top-level holders\n", all);
    printf("rank       retained     shallow  class  tag\n");
    size_t rank = 0;
    for (NodeId node : holders) {
        printf("%4zu %14s %11s  %s  %s", ++rank, SizeText(tree.Retained(node), args.bytes).c_str(),
               SizeText(graph.ShallowSize(node), args.bytes).c_str(), NodeLabel(graph, node).c_str(),
               HexTag(graph.Tag(node)).c_str());
        NodeId point = AccumulationPoint(tree, children, node);
        if (point != node)
            printf("  -> accumulates in %s  %s  %s", NodeLabel(graph, point).c_str(), HexTag(graph.Tag(point)).c_str(),
                   SizeText(tree.Retained(point), args.bytes).c_str());
        printf("\n");
    }
}

// Retained size per package or class loader.
static void PrintGroups(const HeapGraph& graph, const DominatorTree& tree, const HeapSummary& summary,
                        nlohmann::ordered_json& out, const TopArgs& args) {
    ClassGrouping grouping = args.group == "package" ? ClassGrouping::Package : ClassGrouping::Loader;
    DominatorChildren children(tree, graph.NodeCount());
    std::vector<GroupRow> rows = GroupHistogram(graph, tree, children, GroupClasses(graph, grouping));
    std::sort(rows.begin(), rows.end(), [](const GroupRow& a, const GroupRow& b) {
        return a.totals.retained != b.totals.retained ? a.totals.retained > b.totals.retained : a.name < b.name;
    });
    if (rows.size() > args.count) rows.resize(args.count);
    if (args.json) {
        nlohmann::ordered_json& groups = out["groups"] = nlohmann::ordered_json::array();
        for (const GroupRow& row : rows)
            groups.push_back({{args.group, row.name}, {"instances", row.totals.instances},
                              {"bytes", row.totals.shallow}, {"retained", row.totals.retained}});
        return;
    }
    PrintSummary(summary, args.bytes);
    printf(" num     #instances         #bytes      #retained  %s\n",
           grouping == ClassGrouping::Package ? "package" : "class loader");
    printf("-------------------------------------------------------------\n");
    size_t rank = 0;
    for (const GroupRow& row : rows)
        printf("%4zu:%14" PRId64 " %14s %14s  %s\n", ++rank, row.totals.instances,
               SizeText(static_cast<uint64_t>(row.totals.shallow), args.bytes).c_str(),
               SizeText(static_cast<uint64_t>(row.totals.retained), args.bytes).c_str(), row.name.c_str());
}

static void RunTop(const Options& options, const TopArgs& args) {
    InterruptExit cancel("top cancelled (Ctrl-C)", EXIT_CANCELLED);
    ProgressDisplay progress("top");
    HeapInput input(InputOf(options), args.file, false, progress);
    HeapGraph graph = input.Graph();
    std::unique_ptr<DominatorTree> stored = input.Tree(graph);
    const DominatorTree& tree = *stored;
    progress.Stop();

    HeapSummary summary = SummarizeHeap(graph, tree);
    nlohmann::ordered_json out = SummaryJson(summary);
    if (args.byClass && args.group != "class") {
        PrintGroups(graph, tree, summary, out, args);
    } else if (args.roots) {
        PrintRoots(graph, tree, summary, out, args);
    } else if (args.byClass) {
        std::vector<ClassTotals> rows = tree.ByClass();
        if (rows.size() > args.count) rows.resize(args.count);
        if (args.json) {
            nlohmann::ordered_json& classes = out["classes"] = nlohmann::ordered_json::array();
            for (const ClassTotals& row : rows)
                classes.push_back({{"name", row.name}, {"instances", row.instances}, {"bytes", row.bytes},
                                   {"retained", row.retained}});
        } else {
            PrintSummary(summary, args.bytes);
            printf(" num     #instances         #bytes      #retained  class name\n");
            printf("-------------------------------------------------------------\n");
            size_t rank = 0;
            for (const ClassTotals& row : rows)
                printf("%4zu:%14" PRId64 " %14s %14s  %s\n", ++rank, row.instances,
                       SizeText(static_cast<uint64_t>(row.bytes), args.bytes).c_str(),
                       SizeText(static_cast<uint64_t>(row.retained), args.bytes).c_str(),
                       row.name.c_str());
        }
    } else {
        if (args.json) {
            std::vector<NodeId> largest = tree.Largest(args.count);
            nlohmann::ordered_json& objects = out["top"] = nlohmann::ordered_json::array();
            size_t rank = 0;
            for (NodeId node : largest)
                objects.push_back({{"rank", ++rank}, {"retained", tree.Retained(node)},
                                   {"shallow", graph.ShallowSize(node)}, {"class", NodeLabel(graph, node)},
                                   {"tag", HexTag(graph.Tag(node))}});
        } else {
            PrintSummary(summary, args.bytes);
            printf("rank       retained     shallow  class  tag\n");
            std::vector<ChainRow> rows;
            if (args.all)
                for (NodeId node : tree.Largest(args.count)) rows.push_back({node, node, 0});
            else
                rows = ChainRows(tree, args.count);
            size_t rank = 0;
            for (const ChainRow& row : rows) {
                NodeId node = row.top;
                printf("%4zu %14s %11s  %s  %s", ++rank, SizeText(tree.Retained(node), args.bytes).c_str(),
                       SizeText(graph.ShallowSize(node), args.bytes).c_str(), NodeLabel(graph, node).c_str(),
                       HexTag(graph.Tag(node)).c_str());
                if (row.depth > 0)
                    printf("  -> %d level%s down: %s  %s  %s", row.depth, row.depth > 1 ? "s" : "",
                           NodeLabel(graph, row.end).c_str(), HexTag(graph.Tag(row.end)).c_str(),
                           SizeText(tree.Retained(row.end), args.bytes).c_str());
                printf("\n");
            }
        }
    }
    if (args.json) printf("%s\n", out.dump(2).c_str());
}

static CommandRun DefineTop(CLI::App& command) {
    auto args = std::make_shared<TopArgs>();
    command.add_option("FILE", args->file,
                       "a saved snapshot stream or HPROF file; none: the live heap from the agent (" LIVE_ROUTE ")")
        ->check(NonEmpty);
    CLI::Option* byClass =
        command.add_flag("--by-class", args->byClass, "retained size per class, beside instances and shallow bytes");
    CLI::Option* all = command.add_flag("--all", args->all,
                                        "every object on a row of its own, chains not folded (as --json lists them)");
    CLI::Option* roots = command.add_flag("--roots", args->roots,
                                          "only the top-level holders, each with its accumulation point");
    CLI::Option* group = command.add_option("--group", args->group, "with --by-class: per package or class loader")
                             ->check(CLI::IsMember({"class", "package", "loader"}));
    roots->excludes(all)->excludes(byClass);
    group->needs(byClass);
    AddRowOptions(command, args->count, "how many rows (default 20)", args->json, args->bytes);
    command.footer(CONVENTIONS);
    return [args](const Options& options) { RunTop(options, *args); };
}

static CommandRegistration registration("top", "the objects (or classes) that retain the most memory", DefineTop);

}  // namespace vesk
