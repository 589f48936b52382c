// Shortest reference paths from the GC roots to objects of a HeapGraph: one
// breadth-first search from all roots at once, after which any number of
// paths are read off. References through java.lang.ref.Reference.referent
// are not followed unless followWeak is set, the way heap analysers leave out
// weak, soft and phantom references. Keeps 4 bytes per node (1 beside a
// referrer index); the search takes 4 more per node of the two widest
// consecutive levels, and up to 8 MiB.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "heap/HeapGraph.h"
#include "heap/ReferrerIndex.h"
#include "base/WorkProgress.h"

namespace vesk {

struct PathStep {
    NodeId node;
    // The edge that leads to this node from the previous step; for the
    // first step (the root's object) target is the node and index NO_INDEX.
    HeapEdge edge;
};

struct HeapPath {
    HeapRoot root;                // how the first step is held
    std::vector<PathStep> steps;  // from the root's object to the target; empty: unreachable
};

class PathFinder {
public:
    // progress: the phase "paths", the search from the roots.
    explicit PathFinder(const HeapGraph& graph, bool followWeak = false, WorkProgress& progress = NoProgress());
    // Keeps each parent as its place among the node's referrers: a byte a
    // node rather than 4, from the start. referrers (of the same graph) must
    // outlive this.
    PathFinder(const HeapGraph& graph, const ReferrerIndex& referrers, bool followWeak = false);

    bool Reachable(NodeId node) const { return ParentOf(node) != NO_NODE; }
    // The number of references from a root to node (0: node is a root's
    // object), or -1 when no root reaches it.
    int64_t Distance(NodeId node) const;
    // One shortest path; the root is the first the graph lists for that object.
    HeapPath ShortestPath(NodeId node) const;
    // The object before node on its shortest path; NO_NODE for a root's
    // object (and for an object no root reaches).
    NodeId Parent(NodeId node) const {
        NodeId above = ParentOf(node);
        return above == ROOT ? NO_NODE : above;
    }
private:
    // Breadth first from all roots at once: reached(node) tells whether node
    // has its parent already, reach(node, above) records it.
    template <typename Reached, typename Reach>
    void Search(Reached reached, Reach reach, WorkProgress& progress);

    static constexpr NodeId ROOT = NO_NODE - 1;
    // Places beside referrers: the referrer's index below FAR.
    static constexpr uint8_t UNREACHED = 255, AT_ROOT = 254, FAR = 253;

    // ROOT for roots' objects, NO_NODE unreached.
    NodeId ParentOf(NodeId node) const {
        if (!referrers) return parent[node];
        uint8_t place = places[node];
        if (place == UNREACHED) return NO_NODE;
        if (place == AT_ROOT) return ROOT;
        return referrers->Begin(node)[place == FAR ? farPlaces.at(node) : place];
    }

    const HeapGraph& graph;
    bool followWeak;
    std::vector<NodeId> parent;  // without referrers
    const ReferrerIndex* referrers = nullptr;
    std::vector<uint8_t> places;  // beside referrers
    std::unordered_map<NodeId, uint32_t> farPlaces;  // places from FAR on
};

}  // namespace vesk
