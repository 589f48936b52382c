#include "report/HeapJson.h"

#include "heap/HeapText.h"

namespace vesk {

std::string ViaText(const HeapGraph& graph, NodeId from, const HeapEdge& edge) {
    std::string name = graph.EdgeName(from, edge);
    return name.empty() || name[0] == '[' ? name : "." + name;
}

nlohmann::ordered_json PathJson(const HeapGraph& graph, const HeapPath& path, NodeId target, uint64_t retained) {
    nlohmann::ordered_json out = {{"tag", HexTag(graph.Tag(target))},
                                  {"class", NodeLabel(graph, target)},
                                  {"retained", retained},
                                  {"reachable", !path.steps.empty()}};
    if (path.steps.empty()) return out;
    nlohmann::ordered_json root = {{"kind", RootKindName(path.root.kind)}};
    if (path.root.thread != NO_THREAD) root["thread"] = graph.Threads()[path.root.thread].name;
    if (path.root.depth >= 0) root["frame"] = path.root.depth;
    out["root"] = root;
    nlohmann::ordered_json& steps = out["steps"] = nlohmann::ordered_json::array();
    for (size_t i = 0; i < path.steps.size(); i++) {
        NodeId node = path.steps[i].node;
        nlohmann::ordered_json step = {{"class", NodeLabel(graph, node)}, {"tag", HexTag(graph.Tag(node))}};
        if (i > 0) step["via"] = ViaText(graph, path.steps[i - 1].node, path.steps[i].edge);
        steps.push_back(step);
    }
    return out;
}

void AddUnreachableJson(nlohmann::ordered_json& out, const HeapSummary& summary, bool counts) {
    if (counts) {
        out["unreachableObjects"] = summary.unreachableObjects;
        out["unreachableBytes"] = summary.unreachableBytes;
    }
    nlohmann::ordered_json& classes = out["unreachableClasses"] = nlohmann::ordered_json::array();
    for (const ClassTotals& row : summary.unreachableClasses)
        classes.push_back({{"name", row.name}, {"instances", row.instances}, {"bytes", row.bytes}});
    out["fillers"] = summary.fillers;
    out["fillerBytes"] = summary.fillerBytes;
}

nlohmann::ordered_json SummaryJson(const HeapSummary& summary) {
    nlohmann::ordered_json out = {{"objects", summary.objects},
                                  {"references", summary.references},
                                  {"reachableBytes", summary.reachableBytes},
                                  {"unreachableObjects", summary.unreachableObjects},
                                  {"unreachableBytes", summary.unreachableBytes}};
    AddUnreachableJson(out, summary, false);
    return out;
}

double ShareOf(uint64_t bytes, uint64_t reachable) {
    return reachable ? static_cast<double>(bytes) / static_cast<double>(reachable) : 0;
}

std::string SuspectLabel(const HeapGraph& graph, const LeakSuspect& suspect) {
    return suspect.byClass ? graph.Classes()[suspect.cls].name : NodeLabel(graph, suspect.node);
}

uint64_t SuspectTag(const HeapGraph& graph, const LeakSuspect& suspect) {
    return suspect.byClass ? graph.Classes()[suspect.cls].tag : graph.Tag(suspect.node);
}

static nlohmann::ordered_json GrowthJson(const HeapGraph& graph, const Growth& growth, uint64_t reachable) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const HolderChange& holder : growth.suspects)
        out.push_back({{"class", NodeLabel(graph, HolderNode(holder))},
                       {"tag", HexTag(graph.Tag(HolderNode(holder)))},
                       {"retainedBefore", holder.before},
                       {"retainedAfter", holder.after},
                       {"share", ShareOf(static_cast<uint64_t>(holder.Growth()), reachable)},
                       {"holder", holder.path},
                       {"path", PathAsPrinted(graph, holder.afterPath)}});
    return out;
}

nlohmann::ordered_json FindingsJson(const HeapGraph& graph, const HeapFindings& findings, const Growth* growth) {
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
                            {"share", ShareOf(suspect.retained, findings.reachable)},
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

nlohmann::ordered_json GrownHolderJson(const HeapGraph& graph, const HolderChange& holder) {
    NodeId node = HolderNode(holder);
    return {{"class", NodeLabel(graph, node)},
            {"tag", HexTag(graph.Tag(node))},
            {"retainedBefore", holder.before},
            {"retainedAfter", holder.after},
            {"path", PathAsPrinted(graph, holder.afterPath)}};
}

nlohmann::ordered_json ClassDeltaJson(const ClassDelta& row, bool retained) {
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

}  // namespace vesk
