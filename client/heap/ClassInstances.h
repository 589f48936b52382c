// The instances of classes, found by a scan of the heap's classes rather
// than kept for all (that would take 4 bytes per node): a set of classes'
// instances in node order, for the analyses of a set of objects, and one
// class's largest retained size first (ties: lower node first), for its
// histogram row's pages: the first pages kept for the few classes asked for
// last (4 bytes an instance for all would stay with a class of millions).
//
// Safe to call from several threads. graph and tree must outlive it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"
#include "heap/MarkedNodes.h"

namespace vesk {

class ClassInstances {
public:
    ClassInstances(const HeapGraph& graph, const DominatorTree& tree) : graph(graph), tree(tree) {}

    // The instances of the classes named by index, in node order.
    std::vector<NodeId> Of(const std::vector<uint32_t>& classes) const;
    // The same as a bit a node: far less than a list of millions.
    MarkedNodes Marked(const std::vector<uint32_t>& classes) const;
    // The largest of a class's instances, in that order.
    struct Largest {
        std::vector<NodeId> nodes;
        uint64_t instances = 0;  // in all
    };
    // classIndex's count largest instances (all when it has fewer).
    std::shared_ptr<const Largest> Ordered(uint32_t classIndex, uint64_t count) const;

private:
    static constexpr size_t KEPT = 4;
    static constexpr uint64_t KEPT_NODES = uint64_t{1} << 16;  // at most, of each class kept

    const HeapGraph& graph;
    const DominatorTree& tree;
    mutable std::mutex lock;
    mutable std::vector<std::pair<uint32_t, std::shared_ptr<const Largest>>> recent;  // latest last
};

}  // namespace vesk
