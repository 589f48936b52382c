#include "heap/ReferrerIndex.h"

#include <cstdint>

namespace vesk {

ReferrerIndex::ReferrerIndex(const HeapGraph& graph) {
    NodeId count = graph.NodeCount();
    std::vector<uint32_t> seen(static_cast<size_t>(count) + 1, 0);
    for (NodeId node = 0; node < count; node++)
        for (const HeapEdge* e = graph.EdgesBegin(node); e != graph.EdgesEnd(node); ++e) seen[e->target]++;
    if (graph.ReferenceCount() <= UINT32_MAX) {
        // The counts summed up to each node's end; placing from the last
        // referrer down leaves each sum at its node's start, and a node's
        // referrers ascending, without a second array of nodes.
        uint32_t sum = 0;
        for (uint32_t& at : seen) at = sum += at;
        referrers.resize(sum);
        for (NodeId node = count; node-- > 0;)
            for (const HeapEdge* e = graph.EdgesEnd(node); e-- != graph.EdgesBegin(node);)
                referrers[--seen[e->target]] = node;
        offsets.Take(std::move(seen));
        return;
    }
    offsets.Zero(seen.size());
    for (NodeId node = 0; node < count; node++) offsets.SetCount(node, seen[node]);
    referrers.resize(offsets.Sum());
    // Now how many of each node's referrers are placed.
    std::fill(seen.begin(), seen.end(), 0);
    for (NodeId node = 0; node < count; node++)
        for (const HeapEdge* e = graph.EdgesBegin(node); e != graph.EdgesEnd(node); ++e)
            referrers[offsets[e->target] + seen[e->target]++] = node;
}

}  // namespace vesk
