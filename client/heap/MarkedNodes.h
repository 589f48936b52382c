// A set of a heap's nodes as a bit each, and once complete a dense number
// for each member, its rank: the members before it in node order. 4 bytes
// per 64 nodes more for the ranks; what is kept per member then takes room
// per member rather than per node of the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "heap/NodeId.h"

namespace vesk {

class MarkedNodes {
public:
    explicit MarkedNodes(NodeId count) : bits((size_t{count} + 63) / 64) {}
    bool Has(NodeId node) const { return bits[node / 64] >> (node % 64) & 1; }
    void Mark(NodeId node) { bits[node / 64] |= uint64_t{1} << (node % 64); }
    // Once every node is marked: counts them.
    uint32_t Count() {
        before.resize(bits.size());
        uint32_t count = 0;
        for (size_t i = 0; i < bits.size(); i++) {
            before[i] = count;
            count += static_cast<uint32_t>(__builtin_popcountll(bits[i]));
        }
        return count;
    }
    uint32_t Rank(NodeId node) const {
        uint64_t lower = bits[node / 64] & ((uint64_t{1} << (node % 64)) - 1);
        return before[node / 64] + static_cast<uint32_t>(__builtin_popcountll(lower));
    }
    template <class Visit>
    void ForEach(Visit visit) const {
        for (size_t i = 0; i < bits.size(); i++)
            for (uint64_t word = bits[i]; word; word &= word - 1)
                visit(static_cast<NodeId>(i * 64 + __builtin_ctzll(word)));
    }

private:
    std::vector<uint64_t> bits;
    std::vector<uint32_t> before;  // per word
};

}  // namespace vesk
