// Who references each node of a HeapGraph: its references turned around, in
// CSR arrays of 4 bytes per reference and 4 per node (EdgeOffsets). A node's
// referrers ascend; one that references it twice is listed twice, one after
// the other. Building it takes 4 bytes per node more, for the time it runs,
// only when the graph has 2^32 references or more.
//
// Read-only once built; safe to read from several threads.
#pragma once

#include <cstddef>
#include <vector>

#include "heap/EdgeOffsets.h"
#include "heap/HeapGraph.h"

namespace vesk {

class ReferrerIndex {
public:
    explicit ReferrerIndex(const HeapGraph& graph);

    const NodeId* Begin(NodeId node) const { return referrers.data() + offsets[node]; }
    const NodeId* End(NodeId node) const { return referrers.data() + offsets[node + 1]; }
    size_t MemoryBytes() const { return offsets.MemoryBytes() + referrers.capacity() * sizeof(NodeId); }

private:
    EdgeOffsets offsets;
    std::vector<NodeId> referrers;
};

}  // namespace vesk
