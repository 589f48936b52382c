// vesk path: why an object is alive. The shortest reference paths from GC
// roots to an object, or to the largest instances of a class.
#include <cinttypes>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "heap/DominatorTree.h"
#include "heap/HeapPaths.h"
#include "heap/HeapText.h"
#include "load/HeapInput.h"
#include "report/HeapJson.h"
#include "term/InterruptGuard.h"
#include "term/ProgressDisplay.h"

namespace vesk {

struct PathArgs {
    std::string file;
    std::string tag;
    std::string className;
    size_t count = 3;
    bool allRefs = false;
    bool json = false;
    bool bytes = false;
};

// Longer paths number their steps instead of indenting them off the screen.
static const size_t MAX_INDENTED_STEPS = 10;

static void PrintPath(const HeapGraph& graph, const HeapPath& path, NodeId target, uint64_t retained,
                      const PathArgs& args) {
    printf("%s %s, retained %s%s\n", NodeLabel(graph, target).c_str(), HexTag(graph.Tag(target)).c_str(),
           SizeText(retained, args.bytes).c_str(), args.bytes ? " bytes" : "");
    if (path.steps.empty()) {
        printf(args.allRefs
                   ? "  no GC root reaches it\n"
                   : "  no GC root reaches it without weak, soft or phantom references (--all-refs follows them)\n");
        return;
    }
    printf("  root: %s\n", RootText(graph, path.root).c_str());
    bool numbered = path.steps.size() > MAX_INDENTED_STEPS;
    int digits = static_cast<int>(std::to_string(path.steps.size()).size());
    for (size_t i = 0; i < path.steps.size(); i++) {
        NodeId node = path.steps[i].node;
        std::string via = i > 0 ? ViaText(graph, path.steps[i - 1].node, path.steps[i].edge) : "";
        if (numbered) printf("  %*zu  ", digits, i + 1);
        else printf("  %*s", static_cast<int>(i) * 2, "");
        printf("%s%s%s %s\n", via.c_str(), via.empty() ? "" : " -> ", NodeLabel(graph, node).c_str(),
               HexTag(graph.Tag(node)).c_str());
    }
}

// "no class X in the snapshot", and the names of instances' classes the user
// may have meant.
static std::string NoSuchClass(const HeapGraph& graph, const std::string& name) {
    std::vector<std::string> names;
    for (const ClassTotals& totals : graph.Histogram())
        if (totals.instances > 0) names.push_back(totals.name);
    std::vector<std::string> nearest = NearestNames(name, names);
    std::string text = "no class " + name + " in the snapshot";
    for (size_t i = 0; i < nearest.size(); i++)
        text += (i == 0 ? "; did you mean " : i + 1 < nearest.size() ? ", " : " or ") + nearest[i];
    return nearest.empty() ? text : text + "?";
}

static void RunPath(const Options& options, PathArgs args) {
    InterruptExit cancel("path cancelled (Ctrl-C)", EXIT_CANCELLED);
    // With --port and no --class, a lone positional is the tag.
    if (options.portGiven && args.tag.empty() && args.className.empty()) std::swap(args.tag, args.file);
    if (args.tag.empty() == args.className.empty()) throw UsageError("give either TAG or --class NAME");
    uint64_t tag = 0;
    if (!args.tag.empty() && !ParseTag(args.tag, &tag)) throw UsageError("not a tag (hexadecimal): " + args.tag);
    ProgressDisplay progress("path");
    HeapInput input(InputOf(options), args.file, true, progress);
    HeapGraph graph = input.Graph();
    std::unique_ptr<DominatorTree> stored = input.Tree(graph);
    const DominatorTree& tree = *stored;
    std::vector<NodeId> targets;
    std::vector<uint64_t> retained;
    if (!args.tag.empty()) {
        NodeId node = graph.FindTag(tag);
        if (node == NO_NODE) throw ClientError(ErrorKind::Usage, "no object with tag " + args.tag + " in the snapshot");
        targets.push_back(node);
    } else {
        std::vector<uint32_t> classes = graph.FindClasses(args.className);
        if (classes.empty()) throw ClientError(ErrorKind::Usage, NoSuchClass(graph, args.className));
        for (uint32_t cls : classes)
            for (NodeId node : tree.LargestOf(cls, args.count)) targets.push_back(node);
        std::sort(targets.begin(), targets.end(),
                  [&tree](NodeId a, NodeId b) { return tree.Retained(a) > tree.Retained(b); });
        if (targets.size() > args.count) targets.resize(args.count);
        if (targets.empty())
            throw ClientError(ErrorKind::Usage, "no instance of " + args.className + " that a root reaches");
    }
    for (NodeId node : targets) retained.push_back(tree.Retained(node));
    // The search takes the tree's room.
    stored.reset();

    PathFinder finder(graph, args.allRefs, progress);
    progress.Stop();
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (size_t i = 0; i < targets.size(); i++) {
        HeapPath found = finder.ShortestPath(targets[i]);
        if (args.json) {
            out.push_back(PathJson(graph, found, targets[i], retained[i]));
        } else {
            if (i > 0) printf("\n");
            PrintPath(graph, found, targets[i], retained[i], args);
        }
    }
    if (args.json) printf("%s\n", out.dump(2).c_str());
}

static CommandRun DefinePath(CLI::App& command) {
    auto args = std::make_shared<PathArgs>();
    command.add_option("FILE", args->file, "a saved snapshot stream or HPROF file (or --port for the live heap: " LIVE_ROUTE ")")
        ->check(NonEmpty);
    command.add_option("TAG", args->tag, "the object's tag, as vesk top prints it");
    command.add_option("--class", args->className, "the largest instances of this class instead of one object")
        ->option_text("NAME");
    command.add_flag("--all-refs", args->allRefs,
                     "follow java.lang.ref.Reference.referent too (weak, soft and phantom references)");
    AddRowOptions(command, args->count, "how many instances of --class (default 3)", args->json, args->bytes, 10000);
    return [args](const Options& options) { RunPath(options, *args); };
}

static CommandRegistration registration("path", "shortest paths from GC roots to an object or a class's largest instances",
                                        DefinePath);

}  // namespace vesk
