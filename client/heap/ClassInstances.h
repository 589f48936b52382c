// Every class's instances, largest retained size first (ties: lower node
// first): a class's row of a histogram opens on them, and the analyses of a
// set of objects start from them. 4 bytes per node and 8 per class.
//
// Read-only once built; safe to read from several threads. The tree is
// needed only while it is built.
#pragma once

#include <cstdint>
#include <vector>

#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"

namespace vesk {

class ClassInstances {
public:
    ClassInstances(const HeapGraph& graph, const DominatorTree& tree);

    const NodeId* Begin(uint32_t classIndex) const { return nodes.data() + starts[classIndex]; }
    const NodeId* End(uint32_t classIndex) const { return nodes.data() + starts[classIndex + 1]; }
    uint64_t Count(uint32_t classIndex) const { return starts[classIndex + 1] - starts[classIndex]; }

private:
    std::vector<uint64_t> starts;  // by class, one more at the end
    std::vector<NodeId> nodes;
};

}  // namespace vesk
