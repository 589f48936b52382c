#include "heap/ObjectSets.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "heap/HeapText.h"

namespace vesk {

std::vector<GroupTotals> SubtreeTotals(const HeapGraph& graph, const DominatorTree& tree,
                                       const DominatorChildren& children, const std::vector<NodeId>& tops,
                                       const std::vector<uint32_t>& groupOfClass, size_t groups) {
    const uint32_t NONE = UINT32_MAX;
    std::vector<GroupTotals> totals(groups);
    std::vector<uint32_t> above(groups, 0);  // nodes of each group on the way down to here
    struct Frame {
        const NodeId* next;
        const NodeId* end;
        uint32_t group;
    };
    std::vector<Frame> stack;
    auto enter = [&](NodeId node) {
        uint32_t cls = node == DominatorTree::VIRTUAL_ROOT ? NO_CLASS : graph.ClassOf(node);
        uint32_t group = cls == NO_CLASS ? NONE : groupOfClass[cls];
        if (group != NONE) {
            GroupTotals& total = totals[group];
            total.instances++;
            total.shallow += static_cast<int64_t>(graph.ShallowSize(node));
            if (above[group]++ == 0) total.retained += static_cast<int64_t>(tree.Retained(node));
        }
        stack.push_back({children.Begin(node), children.End(node), group});
    };
    for (NodeId top : tops) {
        enter(top);
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next == frame.end) {
                if (frame.group != NONE) above[frame.group]--;
                stack.pop_back();
            } else {
                enter(*frame.next++);
            }
        }
    }
    return totals;
}

std::vector<NodeId> TopMembers(const DominatorTree& tree, NodeId nodeCount, const std::vector<NodeId>& members) {
    std::vector<bool> member(nodeCount), known(nodeCount), memberAbove(nodeCount);
    for (NodeId node : members) member[node] = true;
    std::vector<NodeId> way;
    std::vector<NodeId> tops;
    for (NodeId node : members) {
        if (!tree.Reachable(node)) continue;
        // Up the tree to a member, the root, or a node already answered for.
        bool found = false;
        way.clear();
        for (NodeId at = tree.Dominator(node); at != DominatorTree::VIRTUAL_ROOT; at = tree.Dominator(at)) {
            if (member[at] || known[at]) {
                found = member[at] || memberAbove[at];
                break;
            }
            way.push_back(at);
        }
        for (NodeId at : way) {
            known[at] = true;
            memberAbove[at] = found;
        }
        if (!found) tops.push_back(node);
    }
    return tops;
}

// What names a node's class in the set analyses: a class object stands for
// its own class, apart from the instances.
static uint64_t ClassKey(const HeapGraph& graph, NodeId node) {
    uint32_t described = graph.DescribedClass(node);
    return described != NO_CLASS ? (uint64_t{1} << 32) | described : graph.ClassOf(node);
}

static std::string ClassLabel(const HeapGraph& graph, NodeId node) {
    return graph.DescribedClass(node) != NO_CLASS ? NodeLabel(graph, node) : graph.ClassName(node);
}

std::vector<DominatorGroup> ImmediateDominators(const HeapGraph& graph, const DominatorTree& tree,
                                                const std::vector<NodeId>& members,
                                                const std::function<bool(NodeId)>& skip) {
    const NodeId ROOT = DominatorTree::VIRTUAL_ROOT;
    // A skipped dominator's answer, for the members below it that follow.
    std::unordered_map<NodeId, NodeId> past;
    std::unordered_set<NodeId> counted;
    std::unordered_map<uint64_t, DominatorGroup> groups;
    std::vector<NodeId> way;
    for (NodeId node : members) {
        if (!tree.Reachable(node)) continue;
        NodeId at = tree.Dominator(node);
        way.clear();
        while (at != ROOT && skip(at)) {
            auto known = past.find(at);
            if (known != past.end()) {
                at = known->second;
                break;
            }
            way.push_back(at);
            at = tree.Dominator(at);
        }
        for (NodeId skipped : way) past[skipped] = at;
        uint64_t key = at == ROOT ? UINT64_MAX : ClassKey(graph, at);
        DominatorGroup& group = groups[key];
        if (group.label.empty()) group.label = at == ROOT ? "(root)" : ClassLabel(graph, at);
        group.dominated++;
        if (at != ROOT && counted.insert(at).second) {
            group.objects++;
            group.retained += tree.Retained(at);
        }
    }
    std::vector<DominatorGroup> rows;
    for (auto& entry : groups) rows.push_back(std::move(entry.second));
    std::sort(rows.begin(), rows.end(), [](const DominatorGroup& a, const DominatorGroup& b) {
        return a.retained != b.retained ? a.retained > b.retained : a.label < b.label;
    });
    return rows;
}

namespace {

struct PlaceKey {
    uint32_t parent;
    uint64_t cls;
    int64_t via;
    bool operator==(const PlaceKey& o) const { return parent == o.parent && cls == o.cls && via == o.via; }
};
struct PlaceHash {
    size_t operator()(const PlaceKey& k) const {
        uint64_t h = k.cls * 0x9E3779B97F4A7C15ull ^ (uint64_t{k.parent} << 1) ^ static_cast<uint64_t>(k.via) * 31;
        return static_cast<size_t>(h ^ (h >> 29));
    }
};

}  // namespace

// The reference a path takes from one object to the next: a strong one when
// there is one.
static HeapEdge EdgeTo(const HeapGraph& graph, NodeId from, NodeId to) {
    const HeapEdge* any = nullptr;
    for (const HeapEdge* e = graph.EdgesBegin(from); e != graph.EdgesEnd(from); ++e) {
        if (e->target != to) continue;
        if (!graph.IsWeak(from, *e)) return *e;
        if (!any) any = e;
    }
    return any ? *any : HeapEdge{to, NO_INDEX};
}

MergedPaths MergeShortestPaths(const HeapGraph& graph, const PathFinder& finder, const std::vector<NodeId>& members) {
    const int64_t ELEMENT = INT64_MIN;  // any element of an array
    MergedPaths merged;
    std::unordered_map<NodeId, RootKind> rootOf;
    for (const HeapRoot& root : graph.Roots()) rootOf.emplace(root.node, root.kind);
    std::unordered_map<NodeId, uint32_t> placed;  // an object on some path -> its node
    std::unordered_map<PlaceKey, uint32_t, PlaceHash> places;
    std::vector<NodeId> way;
    for (NodeId member : members) {
        if (!finder.Reachable(member)) {
            merged.unreachable++;
            continue;
        }
        // Up the path to the first object placed already, or to the root.
        uint32_t at = MergedPaths::NO_PARENT;
        way.clear();
        for (NodeId node = member; node != NO_NODE; node = finder.Parent(node)) {
            auto known = placed.find(node);
            if (known != placed.end()) {
                at = known->second;
                break;
            }
            way.push_back(node);
        }
        for (size_t i = way.size(); i-- > 0;) {
            NodeId node = way[i], from = finder.Parent(node);
            MergedNode place{at, node, from, {node, NO_INDEX}, RootKind::Other, 0};
            int64_t via;
            if (from == NO_NODE) {
                auto root = rootOf.find(node);
                place.root = root != rootOf.end() ? root->second : RootKind::Other;
                via = static_cast<int64_t>(place.root);
            } else {
                // Any element of an array: no need to find which (a long array's scan).
                uint32_t cls = graph.ClassOf(from);
                bool element = cls != NO_CLASS && graph.Classes()[cls].IsArray();
                if (!element) place.edge = EdgeTo(graph, from, node);
                via = element ? ELEMENT : place.edge.index;
            }
            auto found = places.emplace(PlaceKey{at, ClassKey(graph, node), via},
                                        static_cast<uint32_t>(merged.nodes.size()));
            if (found.second) merged.nodes.push_back(place);
            at = found.first->second;
            // Members are mostly leaves: only the objects above them are worth remembering.
            if (i > 0) placed.emplace(node, at);
        }
        merged.nodes[at].objects++;
    }
    for (size_t i = merged.nodes.size(); i-- > 0;)
        if (merged.nodes[i].parent != MergedPaths::NO_PARENT)
            merged.nodes[merged.nodes[i].parent].objects += merged.nodes[i].objects;
    return merged;
}

}  // namespace vesk
