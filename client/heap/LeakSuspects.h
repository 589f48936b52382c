// Leak suspects by Eclipse MAT's rule: top-level dominators (objects only
// the virtual root dominates, class objects with their statics included)
// retaining more than a share of the reachable heap, and classes whose
// top-level instances together do; each described by its accumulation
// point, the shortest path to it from a GC root (weak references excluded)
// and the classes of what it dominates.
//
// Memory: besides the graph and the tree, an index of the dominator tree's
// children (about 5 bytes a node) while suspects are described, freed
// before the search for paths (4 bytes a node and its queue), unless the
// caller lends both. The result owns no reference to the graph.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "heap/DominatorChildren.h"
#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"
#include "heap/HeapPaths.h"

namespace vesk {

// Instances and retained bytes of one class within a subtree, retained by the
// per-class rule of DominatorTree::ByClass.
struct HeldClass {
    std::string name;
    int64_t instances = 0;
    uint64_t retained = 0;
};

struct LeakSuspect {
    bool byClass = false;     // many top-level instances of one class together
    NodeId node = NO_NODE;    // the object; for a class, its largest top-level instance
    uint32_t cls = NO_CLASS;  // for a class: which
    int64_t instances = 1;
    uint64_t retained = 0;    // for a class: all its top-level instances'
    // Where the memory accumulates below node: the dominator tree walked
    // down while one child retains at least 70 % of its parent.
    NodeId point = NO_NODE;
    uint64_t pointRetained = 0;
    HeapPath path;                  // from a GC root to point, weak references not followed
    std::vector<HeldClass> holds;   // below the point(s), by retained bytes, largest first
};

// Where node's memory accumulates: down the dominator tree from node while
// one child retains at least 70 % of its parent (MAT's rule); node itself
// when none does.
NodeId AccumulationPoint(const DominatorTree& tree, const DominatorChildren& children, NodeId node);

// At most maxSuspects, by retained bytes, largest first; threshold: the
// share of the reachable heap a suspect exceeds; holds: classes listed per
// suspect.
// children, paths: built already (paths not following weak references), or
// null to build them for the call.
std::vector<LeakSuspect> FindSuspects(const HeapGraph& graph, const DominatorTree& tree, double threshold,
                                      size_t maxSuspects, size_t holds, const DominatorChildren* children = nullptr,
                                      const PathFinder* paths = nullptr);

}  // namespace vesk
