// Dominators and retained sizes of a HeapGraph, from a virtual root whose
// successors are all the graph's roots (every class object among them).
//
// Conventions: a node's retained size is the sum of the shallow sizes of the
// nodes it dominates, itself included; a class's retained size is the sum of
// the retained sizes of its instances that no other instance of the same
// class dominates. All references count, weak ones included, unless
// followWeak is false. Nodes no root reaches have no dominator and retain
// nothing; they are counted, not dropped silently.
//
// Semi-NCA over an iterative depth-first search: no recursion, so chains of
// millions of objects are fine. Besides the graph it keeps 8 bytes per node
// (a retained size is 4 bytes in 8-byte units; one that is no whole number
// of them or passes 32 GiB is kept apart, with 12 more); computing it takes
// up to 16 bytes per node and 8 per reference to a node the depth-first
// search numbered earlier.
//
// Threads: the constructor numbers the nodes a second time on a thread of
// its own, joined before it returns (its failure rethrown); read-only
// afterwards, safe to read from several threads. The graph must outlive
// the tree. Failure: std::bad_alloc.
#pragma once

#include <cstdint>
#include <vector>

#include "heap/HeapGraph.h"
#include "base/WorkProgress.h"

namespace vesk {

class DominatorTree {
public:
    // The dominator of a root's node: the virtual root.
    static constexpr NodeId VIRTUAL_ROOT = NO_NODE - 1;

    // progress: the phases "dominators" and "retained sizes", while constructing.
    explicit DominatorTree(const HeapGraph& graph, bool followWeak = true, WorkProgress& progress = NoProgress());
    // An empty tree over graph, for a reader of a stored copy to fill
    // through Members (load/HeapIndex stores the followWeak one).
    struct Stored {};
    DominatorTree(const HeapGraph& graph, Stored) : graph(graph), progress(NoProgress()) {}

    // VIRTUAL_ROOT for nodes only the virtual root dominates, NO_NODE for
    // unreachable nodes.
    NodeId Dominator(NodeId node) const { return idom[node]; }
    bool Reachable(NodeId node) const { return idom[node] != NO_NODE; }
    uint64_t Retained(NodeId node) const {
        uint32_t units = retained[node];
        return units != APART ? uint64_t{units} * RETAINED_UNIT : RetainedApart(node);
    }

    uint64_t ReachableCount() const { return reachable; }
    uint64_t UnreachableCount() const { return idom.size() - reachable; }
    uint64_t UnreachableBytes() const { return unreachableBytes; }
    // Shallow bytes of all reachable nodes: what the virtual root retains.
    uint64_t ReachableBytes() const { return reachableBytes; }

    // The n nodes of largest retained size, largest first (ties: lower node first).
    std::vector<NodeId> Largest(size_t n) const;
    // The n instances of classIndex of largest retained size, largest first.
    std::vector<NodeId> LargestOf(uint32_t classIndex, size_t n) const;
    // The nodes node immediately dominates (VIRTUAL_ROOT: the top level), by
    // retained size, largest first. Scans every node: for a few calls, not a walk.
    std::vector<NodeId> Children(NodeId node) const;
    // Per class: instances, shallow and retained bytes, by retained size
    // descending, then by name; classes without instances left out.
    std::vector<ClassTotals> ByClass() const;

    size_t MemoryBytes() const;
    // A stored copy's arrays agree with each other and with the graph.
    bool Consistent() const;

    // Every data member but the graph, once, for a stored copy.
    template <class Archive>
    void Members(Archive& archive) {
        archive(idom, retained, apartNodes, apartBytes, classRetained, reachable, reachableBytes, unreachableBytes);
    }

private:
    // Dense numbers in depth-first preorder: 1 is the virtual root, 0 "unvisited".
    typedef uint32_t Num;
    static constexpr uint64_t RETAINED_UNIT = 8;
    // A retained size kept apart, in apartNodes and apartBytes.
    static constexpr uint32_t APART = UINT32_MAX;

    // Computing takes four arrays of 32-bit entries, with room for
    // NodeCount() + 2 each, whose fresh pages (which the kernel first
    // zeroes) are faulted in once: each step names the room an earlier step
    // is done with, as follows (by number: indexed by depth-first number).
    //
    //   room  numbering       semi-dominators     nearest ancestors     retained sizes
    //   a     pre (by node)   label (by number)   pre, numbered anew    nextSibling, freed
    //   b     parent          parent, as forest   vertex (the node      retained (kept)
    //         (by number)     links compressed    of each number)
    //   c     -               semi (by number)    semi                  idom (kept)
    //   d     -               idomNum (by number) idomNum               firstChild, freed
    //
    // Room a is given up before the semi-dominators when the sort of the
    // back references would otherwise peak higher; label then takes new room.
    struct Rooms {
        std::vector<Num> a, b, c, d;
    };

    void Compute(bool followWeak);
    void Semi(bool followWeak, Num count, Rooms& rooms, std::vector<uint64_t>& later);
    // firstChild, nextSibling: room it fills and leaves behind.
    std::vector<bool> TopOfClass(std::vector<NodeId>& firstChild, std::vector<NodeId>& nextSibling) const;
    std::vector<NodeId> Ranked(size_t n, uint32_t classIndex) const;
    uint64_t RetainedApart(NodeId node) const;
    // Stores sizes (by node) in retained, which takes over room (resident
    // already), and in the arrays apart.
    void KeepRetained(const std::vector<uint64_t>& sizes, std::vector<uint32_t> room);

    const HeapGraph& graph;
    WorkProgress& progress;  // while constructing
    std::vector<NodeId> idom;
    std::vector<uint32_t> retained;  // in RETAINED_UNITs, or APART
    std::vector<NodeId> apartNodes;   // ascending
    std::vector<uint64_t> apartBytes;
    std::vector<int64_t> classRetained;
    uint64_t reachable = 0;
    uint64_t reachableBytes = 0;
    uint64_t unreachableBytes = 0;
};

}  // namespace vesk
