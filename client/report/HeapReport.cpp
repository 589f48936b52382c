#include "report/HeapReport.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>

#include "heap/DominatorChildren.h"
#include "heap/HeapDiff.h"
#include "heap/HeapFindings.h"
#include "heap/HeapPaths.h"
#include "heap/HeapSummary.h"
#include "heap/HeapText.h"
#include "heap/HolderGrowth.h"
#include "report/HtmlText.h"

namespace vesk {

namespace {

const size_t LARGEST_OBJECTS = 10;
const size_t GROWN_HOLDERS = 10;

// JVMTI thread state bits.
enum : int32_t {
    STATE_ALIVE = 0x0001,
    STATE_TERMINATED = 0x0002,
    STATE_RUNNABLE = 0x0004,
    STATE_WAITING_INDEFINITELY = 0x0010,
    STATE_WAITING_WITH_TIMEOUT = 0x0020,
    STATE_SLEEPING = 0x0040,
    STATE_IN_OBJECT_WAIT = 0x0100,
    STATE_PARKED = 0x0200,
    STATE_BLOCKED_ON_MONITOR_ENTER = 0x0400,
    STATE_SUSPENDED = 0x100000,
    STATE_IN_NATIVE = 0x400000,
};

// The children of node (VIRTUAL_ROOT: the top level) with their retained
// sizes, grouped by class.
std::vector<TreemapNode> ChildrenOf(const HeapGraph& graph, const DominatorChildren& children, NodeId node,
                                    const DominatorTree& tree) {
    std::vector<TreemapNode> nodes;
    nodes.reserve(static_cast<size_t>(children.End(node) - children.Begin(node)));
    for (const NodeId* c = children.Begin(node); c < children.End(node); c++) {
        uint32_t cls = graph.ClassOf(*c);
        nodes.push_back({*c, tree.Retained(*c), cls == NO_CLASS ? TreemapNode::NO_GROUP : cls});
    }
    return nodes;
}

std::string Property(const StreamProperties& properties, const std::string& command, const std::string& name) {
    auto c = properties.find(command);
    if (c == properties.end()) return "";
    auto p = c->second.find(name);
    return p == c->second.end() ? "" : p->second;
}

int64_t Number(const std::string& text) { return text.empty() ? -1 : strtoll(text.c_str(), nullptr, 10); }

std::string Time(const std::string& millis) {
    int64_t ms = Number(millis);
    if (ms < 0) return "";
    time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm utc;
    char text[64];
    if (!gmtime_r(&seconds, &utc) || !strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc)) return "";
    return text;
}

std::string ObjectName(const HeapGraph& graph, NodeId node) {
    return NodeLabel(graph, node) + " @" + HexTag(graph.Tag(node));
}

// The lines vesk path prints: the root, then each step and how it is reached.
std::vector<std::string> PathLines(const HeapGraph& graph, const HeapPath& path) {
    std::vector<std::string> lines;
    if (path.steps.empty()) return {"no GC root reaches it"};
    lines.push_back("root: " + RootText(graph, path.root));
    lines.push_back(ObjectName(graph, path.steps[0].node));
    for (size_t i = 1; i < path.steps.size(); i++) {
        std::string edge = graph.EdgeName(path.steps[i - 1].node, path.steps[i].edge);
        if (!edge.empty() && edge[0] != '[') edge = "." + edge;
        lines.push_back(edge + " \xE2\x86\x92 " + ObjectName(graph, path.steps[i].node));
    }
    return lines;
}

// A class's name for a sentence: "AppCache" for class AppCache's object too.
std::string Named(const HeapGraph& graph, NodeId node) {
    uint32_t cls = graph.DescribedClass(node);
    return cls != NO_CLASS ? graph.Classes()[cls].name : NodeLabel(graph, node);
}

// What the suspect's memory is mostly made of: the first class held that is
// no JDK collection's inner part, else the first.
const HeldClass* MadeOf(const LeakSuspect& suspect) {
    for (const HeldClass& held : suspect.holds) {
        const std::string& name = held.name;
        bool internal = name.rfind("java.", 0) == 0 || name.rfind("jdk.", 0) == 0 || name.rfind("sun.", 0) == 0 ||
                        (name.size() > 2 && name.compare(name.size() - 2, 2, "[]") == 0);
        if (!internal) return &held;
    }
    return suspect.holds.empty() ? nullptr : &suspect.holds[0];
}

// "One java.util.HashMap held by AppCache.SESSIONS retains 412.0 MiB (61 %);
// it holds 50,000 Session objects." A class object stands for its statics:
// the object a static field holds is the one named.
std::string SuspectSentence(const HeapGraph& graph, const DominatorTree& tree, const LeakSuspect& suspect,
                            uint64_t reachable) {
    char share[16];
    snprintf(share, sizeof share, "%.0f %%", reachable ? 100.0 * static_cast<double>(suspect.retained) / reachable : 0.0);
    std::string text;
    if (suspect.byClass) {
        text = FormatGrouped(suspect.instances) + " " + graph.Classes()[suspect.cls].name +
               " objects, each held on its own, retain " + FormatBytes(static_cast<int64_t>(suspect.retained)) +
               " (" + share + ")";
    } else {
        const std::vector<PathStep>& steps = suspect.path.steps;
        size_t at = 0;
        while (at < steps.size() && steps[at].node != suspect.node) at++;
        NodeId subject = suspect.node;
        std::string holder;
        if (at + 1 < steps.size() && graph.DescribedClass(suspect.node) != NO_CLASS) {
            subject = steps[at + 1].node;
            holder = Named(graph, suspect.node) + "." + graph.EdgeName(suspect.node, steps[at + 1].edge);
        } else if (at < steps.size() && at > 0) {
            holder = Named(graph, steps[at - 1].node) + "." + graph.EdgeName(steps[at - 1].node, steps[at].edge);
        } else if (at == 0 && !steps.empty()) {
            holder = "a GC root (" + RootText(graph, suspect.path.root) + ")";
        }
        uint64_t retained = subject == suspect.node ? suspect.retained : tree.Retained(subject);
        snprintf(share, sizeof share, "%.0f %%", reachable ? 100.0 * static_cast<double>(retained) / reachable : 0.0);
        text = "One " + NodeLabel(graph, subject) + (holder.empty() ? "" : " held by " + holder) + " retains " +
               FormatBytes(static_cast<int64_t>(retained)) + " (" + share + ")";
    }
    if (const HeldClass* held = MadeOf(suspect))
        text += std::string(suspect.byClass ? "; they hold " : "; it holds ") + FormatGrouped(held->instances) + " " +
                held->name + " objects";
    return text + ".";
}

void AddFindings(const HeapGraph& graph, const DominatorTree& tree, ReportContent& content) {
    FindingsOptions options;
    HeapFindings findings = FindProblems(graph, tree, options);
    content.findings = true;
    content.suspectThreshold = options.threshold;
    for (const LeakSuspect& suspect : findings.suspects)
        content.suspects.push_back({SuspectSentence(graph, tree, suspect, findings.reachable),
                                    PathLines(graph, suspect.path), static_cast<int64_t>(suspect.retained)});
    for (const WasteRow& row : findings.waste)
        content.waste.push_back({WasteKindName(row.kind), row.className, row.instances,
                                 static_cast<int64_t>(row.bytes), static_cast<int64_t>(row.saved)});
    std::stable_sort(content.waste.begin(), content.waste.end(),
                     [](const ReportWaste& a, const ReportWaste& b) { return a.saved > b.saved; });
    if (!findings.values)
        content.findingNotes.push_back(
            "Duplicate strings were not looked for: string values were not read (the analysis uses the heap's "
            "structure only).");
}

// The program the JVM runs (the main class or jar), else where the snapshot came from.
std::string Program(const ReportSnapshot& snapshot) {
    std::string command = Property(snapshot.properties, "SYSTEM_PROPS", "sun.java.command");
    return command.empty() ? snapshot.source : command.substr(0, command.find(' '));
}

// The facts of the header that a snapshot's source gives.
std::vector<ReportFact> Facts(const ReportSnapshot& snapshot, const DominatorTree* tree) {
    const StreamProperties& p = snapshot.properties;
    const HeapGraph& graph = snapshot.graph;
    std::vector<ReportFact> facts;
    auto add = [&facts](const std::string& name, const std::string& value, const std::string& exact = "") {
        facts.push_back({name, value, exact});
    };
    auto exact = [](int64_t bytes) { return FormatGrouped(bytes) + " bytes"; };
    add("Source", snapshot.source);
    add("Taken", Time(Property(p, "SNAPSHOT", "ss-time")));
    int64_t total = Number(Property(p, "RUNTIME", "total-heap")), free = Number(Property(p, "RUNTIME", "free-heap"));
    int64_t max = Number(Property(p, "RUNTIME", "max-heap"));
    if (total < 0)
        add("Heap", "");
    else
        add("Heap",
            "total " + FormatBytes(total) + ", max " + FormatBytes(max) + ", free " + FormatBytes(free) + " (" +
                FormatBytes(total - free) + " used)",
            "total " + exact(total) + ", max " + exact(max) + ", free " + exact(free) + " (" + exact(total - free) +
                " used)");
    int64_t classes = Number(Property(p, "RUNTIME", "total-classes"));
    int64_t threads = Number(Property(p, "RUNTIME", "total-threads"));
    add("Classes loaded", classes < 0 ? "" : FormatGrouped(classes));
    add("Live threads", threads < 0 ? "" : FormatGrouped(threads));
    std::string vm = Property(p, "SYSTEM_PROPS", "java.vm.name");
    add("java.version", Property(p, "SYSTEM_PROPS", "java.version") + (vm.empty() ? "" : " (" + vm + ")"));
    add("Command line", Property(p, "SYSTEM_PROPS", "sun.java.command"));
    add("Objects", FormatGrouped(static_cast<int64_t>(graph.ObjectCount())));
    add("References", FormatGrouped(static_cast<int64_t>(graph.ReferenceCount())));
    add("GC roots", Property(p, "SNAPSHOT", "total-roots").empty()
                        ? FormatGrouped(static_cast<int64_t>(graph.Roots().size()))
                        : FormatGrouped(Number(Property(p, "SNAPSHOT", "total-roots"))));
    int64_t shallow = 0;
    for (NodeId n = 0; n < graph.NodeCount(); n++) shallow += static_cast<int64_t>(graph.ShallowSize(n));
    add("Shallow bytes", FormatBytes(shallow), exact(shallow));
    if (tree) {
        int64_t reachable = static_cast<int64_t>(tree->ReachableBytes());
        add("Reachable from roots", FormatBytes(reachable), exact(reachable));
    }
    return facts;
}

}  // namespace

std::vector<uint64_t> ThreadRetained(const HeapGraph& graph, const DominatorTree& tree) {
    const NodeId count = graph.NodeCount();
    const uint32_t SHARED = NO_THREAD - 1;
    // The thread that alone holds each root object through its locals, by
    // root object; a bit per node marks those a thread still holds alone.
    std::vector<std::pair<NodeId, uint32_t>> holders;
    holders.reserve(graph.Roots().size());
    for (const HeapRoot& root : graph.Roots()) {
        bool local = (root.kind == RootKind::StackLocal || root.kind == RootKind::JniLocal) && root.thread != NO_THREAD;
        holders.push_back({root.node, local ? root.thread : SHARED});
    }
    std::sort(holders.begin(), holders.end());
    size_t kept = 0;
    for (size_t i = 0; i < holders.size(); i++) {
        if (kept > 0 && holders[kept - 1].first == holders[i].first) {
            if (holders[kept - 1].second != holders[i].second) holders[kept - 1].second = SHARED;
        } else {
            holders[kept++] = holders[i];
        }
    }
    holders.resize(kept);
    std::vector<bool> alone(count, false);
    for (const auto& holder : holders)
        if (holder.second != SHARED) alone[holder.first] = true;
    // The top of each node's dominator chain: the root object it hangs
    // from. Each chain is walked twice (find the top, then mark it), so no
    // chain is kept.
    std::vector<NodeId> top(count, NO_NODE);
    for (NodeId n = 0; n < count; n++) {
        if (!tree.Reachable(n) || top[n] != NO_NODE) continue;
        NodeId at = n;
        while (top[at] == NO_NODE && tree.Dominator(at) != DominatorTree::VIRTUAL_ROOT) at = tree.Dominator(at);
        NodeId found = top[at] == NO_NODE ? at : top[at];
        for (NodeId x = n; top[x] == NO_NODE; x = tree.Dominator(x)) {
            top[x] = found;
            if (x == at) break;
        }
    }
    // A reference from outside what the root object dominates keeps it alive
    // without the thread.
    for (NodeId from = 0; from < count; from++) {
        if (!tree.Reachable(from)) continue;
        for (const HeapEdge* e = graph.EdgesBegin(from); e != graph.EdgesEnd(from); ++e) {
            NodeId to = e->target;
            if (!alone[to] || top[from] == to) continue;
            alone[to] = false;
            std::lower_bound(holders.begin(), holders.end(), std::make_pair(to, uint32_t{0}))->second = SHARED;
        }
    }
    std::vector<uint64_t> retained(graph.Threads().size(), 0);
    for (const auto& holder : holders)
        if (holder.second != SHARED && tree.Reachable(holder.first)) retained[holder.second] += tree.Retained(holder.first);
    return retained;
}

std::string ThreadStateName(int32_t state) {
    std::string name;
    if (state & STATE_TERMINATED) return "TERMINATED";
    if (!(state & STATE_ALIVE)) return "NEW";
    if (state & STATE_BLOCKED_ON_MONITOR_ENTER) {
        name = "BLOCKED";
    } else if (state & (STATE_WAITING_INDEFINITELY | STATE_WAITING_WITH_TIMEOUT)) {
        name = state & STATE_WAITING_WITH_TIMEOUT ? "TIMED_WAITING" : "WAITING";
        if (state & STATE_SLEEPING) name += " (sleeping)";
        else if (state & STATE_IN_OBJECT_WAIT) name += " (Object.wait)";
        else if (state & STATE_PARKED) name += " (parked)";
    } else {
        name = state & STATE_RUNNABLE ? "RUNNABLE" : "ALIVE";
        if (state & STATE_IN_NATIVE) name += " (in native)";
    }
    if (state & STATE_SUSPENDED) name += ", suspended";
    return name;
}

ReportContent SnapshotReport(const ReportSnapshot& snapshot, WorkProgress& progress) {
    const HeapGraph& graph = snapshot.graph;
    std::unique_ptr<DominatorTree> computed;
    if (!snapshot.tree) computed = std::make_unique<DominatorTree>(graph, true, progress);
    const DominatorTree& tree = snapshot.tree ? *snapshot.tree : *computed;
    ReportContent content;
    content.title = "Heap snapshot of " + Program(snapshot);
    content.factColumns = {snapshot.source};
    content.facts = {Facts(snapshot, &tree)};
    HeapSummary summary = SummarizeHeap(graph, tree);
    if (summary.unreachableObjects) {
        std::string classes;
        for (const ClassTotals& row : summary.unreachableClasses)
            classes += (classes.empty() ? " Most bytes: " : ", ") + FormatGrouped(row.instances) + " " + row.name +
                       " (" + FormatBytes(row.bytes) + ")";
        content.notes.push_back(FormatGrouped(static_cast<int64_t>(summary.unreachableObjects)) + " objects (" +
                                FormatBytes(static_cast<int64_t>(summary.unreachableBytes)) +
                                ") are reached by no GC root and left out of retained sizes (the histogram counts "
                                "them)." + classes + (classes.empty() ? "" : "."));
    }
    if (summary.fillers)
        content.notes.push_back(FormatGrouped(static_cast<int64_t>(summary.fillers)) + " filler objects of the JVM (" +
                                FormatBytes(static_cast<int64_t>(summary.fillerBytes)) + ") are left out.");

    {
        progress.Phase("treemap");
        DominatorChildren children(tree, graph.NodeCount());
        for (const TreemapCell& cell : LayoutTreemap(
                 ChildrenOf(graph, children, DominatorTree::VIRTUAL_ROOT, tree),
                 [&](int64_t node) { return ChildrenOf(graph, children, static_cast<NodeId>(node), tree); },
                 content.treemapOptions)) {
            ReportCell shown{cell, "", 0};
            if (cell.node == TreemapCell::GROUP) {
                shown.label = graph.Classes()[cell.group].name;
            } else if (cell.node != TreemapCell::OTHER) {
                NodeId node = static_cast<NodeId>(cell.node);
                shown.label = NodeLabel(graph, node);
                shown.shallow = static_cast<int64_t>(graph.ShallowSize(node));
            }
            content.treemap.push_back(std::move(shown));
        }
    }

    AddFindings(graph, tree, content);

    content.histogram = tree.ByClass();

    {
        PathFinder paths(graph, false, progress);
        for (NodeId node : tree.Largest(LARGEST_OBJECTS))
            content.paths.push_back({ObjectName(graph, node), static_cast<int64_t>(tree.Retained(node)),
                                     PathLines(graph, paths.ShortestPath(node))});
    }

    progress.Phase("threads");
    std::vector<uint64_t> retained = ThreadRetained(graph, tree);
    for (size_t i = 0; i < graph.Threads().size(); i++) {
        const HeapThread& t = graph.Threads()[i];
        content.threads.push_back({t.name, ThreadStateName(t.state), static_cast<int64_t>(retained[i])});
    }
    std::stable_sort(content.threads.begin(), content.threads.end(),
                     [](const ReportThread& a, const ReportThread& b) { return a.retained > b.retained; });
    return content;
}

ReportBaseline ComparisonBaseline(const ReportSnapshot& before) {
    ReportBaseline baseline;
    baseline.source = before.source;
    std::unique_ptr<DominatorTree> computed;
    if (!before.tree) computed = std::make_unique<DominatorTree>(before.graph, true);
    const DominatorTree& tree = before.tree ? *before.tree : *computed;
    baseline.facts = Facts(before, &tree);
    baseline.holders = HolderKeys(before.graph, tree);
    baseline.histogram = before.graph.Histogram();
    return baseline;
}

ReportContent ComparisonReport(ReportBaseline before, const ReportSnapshot& after) {
    ReportContent content;
    content.title = "Heap growth of " + Program(after);
    content.factColumns = {"before: " + before.source, "after: " + after.source};
    content.facts.push_back(before.facts);
    std::unique_ptr<DominatorTree> computed;
    if (!after.tree) computed = std::make_unique<DominatorTree>(after.graph, true);
    const DominatorTree& tree = after.tree ? *after.tree : *computed;
    content.facts.push_back(Facts(after, &tree));
    for (const HolderChange& holder : GrownHolders(std::move(before.holders), after.graph, tree, GROWN_HOLDERS))
        content.holders.push_back({ObjectName(after.graph, holder.afterPath.steps.back().node),
                                   static_cast<int64_t>(holder.before), static_cast<int64_t>(holder.after),
                                   PathLines(after.graph, holder.afterPath)});
    for (const ClassDelta& d : DiffClasses(before.histogram, after.graph.Histogram())) {
        if (d.before.instances == 0 && d.after.instances == 0) continue;
        content.diff.push_back({d.name, d.before.instances, d.after.instances, d.before.bytes, d.after.bytes});
    }
    return content;
}

}  // namespace vesk
