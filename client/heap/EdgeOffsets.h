// Where each node's references begin in a graph's one array of them: one
// offset per node and one more where the last node's end. An offset keeps
// its low 32 bits, 4 bytes a node; a graph of 2^32 references or more also
// notes the first node at or past each multiple of 2^32 (a node's high part
// counts those at or before it). A node has fewer than 2^32 references (an
// array fewer than 2^31 elements), so its count is the difference of its
// own and the next node's low parts, past a wrap too.
//
// Read-only once filled; safe to read from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "heap/NodeId.h"

namespace vesk {

class EdgeOffsets {
public:
    uint64_t operator[](NodeId node) const { return wraps.empty() ? low[node] : Wrapped(node); }
    // Nodes + 1.
    size_t Size() const { return low.size(); }
    uint32_t Count(NodeId node) const { return low[node + 1] - low[node]; }

    // Filled from counts: Zero for nodes + 1 entries, SetCount for each
    // node (from several threads for distinct nodes), then Sum, which turns
    // the counts into offsets and returns their total.
    void Zero(size_t entries) { low.assign(entries, 0); }
    void SetCount(NodeId node, uint32_t count) { low[node] = count; }
    uint64_t Sum();

    // Filled anew in ascending order of node from 0, after Restart. Count
    // reads the former offsets of the nodes not yet put.
    void Restart() { wraps.clear(); }
    void Put(size_t node, uint64_t offset) {
        low[node] = static_cast<uint32_t>(offset);
        while (wraps.size() < offset >> 32) wraps.push_back(static_cast<NodeId>(node));
    }

    // From offsets computed elsewhere: fewer than 2^32, or any.
    void Take(std::vector<uint32_t> offsets);
    void Take(const std::vector<uint64_t>& offsets);

    size_t MemoryBytes() const { return low.capacity() * sizeof(uint32_t) + wraps.capacity() * sizeof(NodeId); }
    // Every data member, once, for a stored copy (load/HeapIndex).
    template <class Archive>
    void Members(Archive& archive) {
        archive(low, wraps);
    }

private:
    uint64_t Wrapped(NodeId node) const;

    std::vector<uint32_t> low;
    std::vector<NodeId> wraps;  // ascending
};

}  // namespace vesk
