// Who references each node of a HeapGraph: its references turned around,
// 4 bytes per reference and about 1.3 per node for where each node's begin
// (RunOffsets). A node's referrers ascend; one that references it twice is
// listed twice, one after the other. Building it takes a byte per node more.
//
// Read-only once built; safe to read from several threads.
#pragma once

#include <cstddef>
#include <vector>

#include "heap/HeapGraph.h"
#include "heap/RunOffsets.h"

namespace vesk {

class ReferrerIndex {
public:
    explicit ReferrerIndex(const HeapGraph& graph);

    const NodeId* Begin(NodeId node) const { return referrers.data() + offsets.Start(node); }
    const NodeId* End(NodeId node) const { return Begin(node) + offsets.Length(node); }
    size_t MemoryBytes() const { return offsets.MemoryBytes() + referrers.capacity() * sizeof(NodeId); }

private:
    RunOffsets offsets;
    std::vector<NodeId> referrers;
};

}  // namespace vesk
