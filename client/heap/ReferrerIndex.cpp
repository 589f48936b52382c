#include "heap/ReferrerIndex.h"

namespace vesk {

ReferrerIndex::ReferrerIndex(const HeapGraph& graph) {
    NodeId count = graph.NodeCount();
    std::vector<uint32_t> seen(static_cast<size_t>(count) + 1, 0);
    for (NodeId node = 0; node < count; node++)
        for (const HeapEdge* e = graph.EdgesBegin(node); e != graph.EdgesEnd(node); ++e) seen[e->target]++;
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
