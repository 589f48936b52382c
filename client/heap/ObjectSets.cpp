#include "heap/ObjectSets.h"

#include <algorithm>
#include <unordered_map>

#include "base/ZeroedArray.h"
#include "heap/HeapText.h"
#include "heap/MarkedNodes.h"

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
    // A skipped dominator's answer plus one, for the members below it that
    // follow; 0 not known yet.
    ZeroedArray<NodeId> past(graph.NodeCount());
    std::vector<bool> counted(graph.NodeCount());
    std::unordered_map<uint64_t, DominatorGroup> groups;
    std::vector<NodeId> way;
    for (NodeId node : members) {
        if (!tree.Reachable(node)) continue;
        NodeId at = tree.Dominator(node);
        way.clear();
        while (at != ROOT && skip(at)) {
            if (past[at] != 0) {
                at = past[at] - 1;
                break;
            }
            way.push_back(at);
            at = tree.Dominator(at);
        }
        for (NodeId skipped : way) past[skipped] = at + 1;
        uint64_t key = at == ROOT ? UINT64_MAX : ClassKey(graph, at);
        DominatorGroup& group = groups[key];
        if (group.label.empty()) group.label = at == ROOT ? "(root)" : ClassLabel(graph, at);
        group.dominated++;
        if (at != ROOT && !counted[at]) {
            counted[at] = true;
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

// The last step of a path into node from the object above, from: see MergedVia.
static int32_t StepVia(const HeapGraph& graph, NodeId from, NodeId node, const std::function<RootKind()>& rootKind) {
    if (from == NO_NODE) return static_cast<int32_t>(rootKind());
    // Any element of an array: no need to find which (a long array's scan).
    uint32_t cls = graph.ClassOf(from);
    if (cls != NO_CLASS && graph.Classes()[cls].IsArray()) return MergedNode::ELEMENT;
    return EdgeTo(graph, from, node).index;
}

int32_t MergedVia(const HeapGraph& graph, const PathFinder& finder, NodeId example) {
    return StepVia(graph, finder.Parent(example), example, [&] {
        for (const HeapRoot& root : graph.Roots())
            if (root.node == example) return root.kind;
        return RootKind::Other;
    });
}

namespace {

// The merged nodes by their place: below which node, of which class,
// through which field. The keys are worked out again from the nodes'
// examples (no room for them in millions of nodes). A node's children are a
// list, the one found moved to its front (members in node order meet the
// same few again and again); those of a node with many, such as the tops or
// an array of class objects, are found by key.
class PlaceFinder {
public:
    PlaceFinder(const HeapGraph& graph, const PathFinder& finder)
        : graph(graph), finder(finder), describing(graph.Classes().size() + 1) {
        for (const HeapRoot& root : graph.Roots()) rootOf.emplace(root.node, root.kind);
        for (const HeapClass& cls : graph.Classes())
            if (cls.node != NO_NODE) describing[Slot(graph.ClassOf(cls.node))] = true;
    }
    // The node below parent (NONE: at the top) where node, reached from
    // from, belongs, added with node as its example when there is none.
    uint32_t Find(uint32_t parent, NodeId from, NodeId node, MergedPaths& merged) {
        std::vector<MergedNode>& nodes = merged.nodes;
        const uint64_t key = KeyOf(from, node);
        auto keyed = wide.find(parent);
        if (keyed != wide.end()) {
            auto found = keyed->second.emplace(key, static_cast<uint32_t>(nodes.size()));
            return found.second ? Add(parent, node, merged) : found.first->second;
        }
        size_t seen = 0;
        for (uint32_t at = First(parent, merged), before = MergedNode::NONE; at != MergedNode::NONE;
             before = at, at = nodes[at].sibling, seen++) {
            NodeId example = nodes[at].example;
            if (ClassOf(example) != key >> 32 || KeyOf(finder.Parent(example), example) != key) continue;
            if (before != MergedNode::NONE) {
                nodes[before].sibling = nodes[at].sibling;
                nodes[at].sibling = First(parent, merged);
                First(parent, merged) = at;
            }
            return at;
        }
        uint32_t added = Add(parent, node, merged);
        if (seen >= MANY) {
            std::unordered_map<uint64_t, uint32_t>& byKey = wide[parent];
            for (uint32_t at = added; at != MergedNode::NONE; at = nodes[at].sibling)
                byKey.emplace(KeyOf(finder.Parent(nodes[at].example), nodes[at].example), at);
        }
        return added;
    }

private:
    // Children a list is searched through before they are found by key.
    static constexpr size_t MANY = 16;

    static uint32_t& First(uint32_t parent, MergedPaths& merged) {
        return parent == MergedNode::NONE ? merged.top : merged.nodes[parent].child;
    }
    static uint32_t Add(uint32_t parent, NodeId node, MergedPaths& merged) {
        const uint32_t added = static_cast<uint32_t>(merged.nodes.size());
        merged.nodes.push_back({node, 0, MergedNode::NONE, First(parent, merged)});
        return First(parent, merged) = added;
    }
    // The class, or a class object's own class with the top bit, and the field.
    uint64_t KeyOf(NodeId from, NodeId node) const {
        return uint64_t{ClassOf(node)} << 32 | static_cast<uint32_t>(Via(from, node));
    }
    uint32_t ClassOf(NodeId node) const {
        uint32_t cls = graph.ClassOf(node);
        // The look-up of class objects only for the classes they have.
        if (!describing[Slot(cls)]) return cls;
        uint64_t key = ClassKey(graph, node);
        return static_cast<uint32_t>(key) | (key >> 32 ? 0x80000000u : 0);
    }
    size_t Slot(uint32_t cls) const { return cls == NO_CLASS ? describing.size() - 1 : cls; }
    int32_t Via(NodeId from, NodeId node) const {
        return StepVia(graph, from, node, [&] {
            auto root = rootOf.find(node);
            return root != rootOf.end() ? root->second : RootKind::Other;
        });
    }

    const HeapGraph& graph;
    const PathFinder& finder;
    std::unordered_map<NodeId, RootKind> rootOf;
    std::vector<bool> describing;  // by class (NO_CLASS last): its objects may be class objects
    std::unordered_map<uint32_t, std::unordered_map<uint64_t, uint32_t>> wide;  // by parent, its children by key
};

}  // namespace

MergedPaths MergeShortestPaths(const HeapGraph& graph, const PathFinder& finder, const MarkedNodes& members) {
    MergedPaths merged;
    // The objects above the members: only they are looked up as placed.
    MarkedNodes above(graph.NodeCount());
    size_t count = 0;
    members.ForEach([&](NodeId member) {
        count++;
        if (!finder.Reachable(member)) return;
        // Up to the first one marked already: what is above it is too.
        for (NodeId node = finder.Parent(member); node != NO_NODE && !above.Has(node); node = finder.Parent(node))
            above.Mark(node);
    });
    const uint32_t ancestors = above.Count();
    std::vector<uint32_t> placed(ancestors, 0);  // by rank, an ancestor's node plus one; 0 none yet
    // Each walk adds at most its member's node and the ancestors it places
    // first: reserved, never copied to grow, and only what is used is touched.
    merged.nodes.reserve(size_t{ancestors} + count);
    PlaceFinder places(graph, finder);
    std::vector<std::pair<NodeId, NodeId>> way;  // objects and their parents
    members.ForEach([&](NodeId member) {
        if (!finder.Reachable(member)) {
            merged.unreachable++;
            return;
        }
        // Up the path to the first object placed already, or to the root.
        uint32_t at = MergedNode::NONE;
        way.clear();
        for (NodeId node = member, from; node != NO_NODE; node = from) {
            if (above.Has(node) && placed[above.Rank(node)] != 0) {
                at = placed[above.Rank(node)] - 1;
                break;
            }
            from = finder.Parent(node);
            way.push_back({node, from});
        }
        for (size_t i = way.size(); i-- > 0;) {
            auto [node, from] = way[i];
            at = places.Find(at, from, node, merged);
            // Members are mostly leaves: only the objects above them are worth remembering.
            if (i > 0) placed[above.Rank(node)] = at + 1;
        }
        merged.nodes[at].objects++;
    });
    // Each node after the one above it: its children are summed up by then.
    for (size_t i = merged.nodes.size(); i-- > 0;)
        for (uint32_t at = merged.nodes[i].child; at != MergedNode::NONE; at = merged.nodes[at].sibling)
            merged.nodes[i].objects += merged.nodes[at].objects;
    return merged;
}

}  // namespace vesk
