// Analyses of a set of objects (a class's instances, a histogram group's),
// the ones heap analysers offer for leak hunting, and the per-group totals
// of dominator subtrees that grouped histograms and retained sets rest on.
// Each call reads the graph and tree only: safe from several threads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "heap/DominatorChildren.h"
#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"
#include "heap/HeapPaths.h"
#include "heap/MarkedNodes.h"

namespace vesk {

struct GroupTotals {
    int64_t instances = 0;
    int64_t shallow = 0;
    int64_t retained = 0;
};

// Per group, the nodes of the dominator subtrees of tops (VIRTUAL_ROOT: the
// whole reachable heap, the virtual root not counted itself): instances,
// shallow bytes, and retained bytes by top --by-class's rule (the retained
// sizes of the nodes that no other node of their group dominates).
// groupOfClass: a group below groups for each class index; nodes of unknown
// class count nowhere. The subtrees of tops must not overlap.
std::vector<GroupTotals> SubtreeTotals(const HeapGraph& graph, const DominatorTree& tree,
                                       const DominatorChildren& children, const std::vector<NodeId>& tops,
                                       const std::vector<uint32_t>& groupOfClass, size_t groups);

// Of members, those a root reaches and no other member dominates: whose
// subtrees hold everything the set retains, each node once.
std::vector<NodeId> TopMembers(const DominatorTree& tree, NodeId nodeCount, const std::vector<NodeId>& members);

// The nearest dominators of a set's members, grouped by class: objects of
// that class dominate dominated members and retain retained bytes together.
struct DominatorGroup {
    std::string label;  // the class; "class NAME" for class objects; "(root)" for the virtual root
    int64_t objects = 0;
    int64_t dominated = 0;
    uint64_t retained = 0;
};
// skip: dominators to look past, to the next one up. By retained bytes,
// largest first, then by label.
std::vector<DominatorGroup> ImmediateDominators(const HeapGraph& graph, const DominatorTree& tree,
                                                const std::vector<NodeId>& members,
                                                const std::function<bool(NodeId)>& skip);

// The shortest paths from the GC roots to a set's members merged into one
// tree from the roots down: a node for each class reached through the same
// field (array elements all as one) from the same node above, counting the
// members whose path passes through it. Weak references as finder follows
// them. 16 bytes a node, and while merging 4 per object above a member and
// two bits per object of the heap (a deep tree of members makes a node for
// each object in it): the class and field are read from the example.
struct MergedNode {
    static constexpr int32_t ELEMENT = INT32_MIN;  // MergedVia: any element of an array
    static constexpr uint32_t NONE = UINT32_MAX;
    NodeId example;    // an object at this place: its class names the node, its path's last step the field
    uint32_t objects;  // members whose path passes through here
    uint32_t child;    // the first node below, or NONE
    uint32_t sibling;  // the next node below the same one (or at the top), or NONE
};
struct MergedPaths {
    std::vector<MergedNode> nodes;  // each after the one above it
    uint32_t top = MergedNode::NONE;  // the first node at the top
    int64_t unreachable = 0;          // members no path reaches
};
// How a node's example is reached from the object above on its path: the
// field's index (as HeapEdge's), MergedNode::ELEMENT, or at the top the RootKind.
int32_t MergedVia(const HeapGraph& graph, const PathFinder& finder, NodeId example);
MergedPaths MergeShortestPaths(const HeapGraph& graph, const PathFinder& finder, const MarkedNodes& members);

}  // namespace vesk
