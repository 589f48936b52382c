#include "heap/ReferrerIndex.h"

namespace vesk {

ReferrerIndex::ReferrerIndex(const HeapGraph& graph) : offsets(graph.NodeCount()) {
    NodeId count = graph.NodeCount();
    for (NodeId node = 0; node < count; node++)
        for (const HeapEdge* e = graph.EdgesBegin(node); e != graph.EdgesEnd(node); ++e) offsets.Lengthen(e->target);
    referrers.resize(offsets.Seal());
    // Referrers placed in ascending order of node: each node's ascend.
    RunOffsets::Placer placer(offsets);
    for (NodeId node = 0; node < count; node++)
        for (const HeapEdge* e = graph.EdgesBegin(node); e != graph.EdgesEnd(node); ++e)
            referrers[placer.Place(e->target)] = node;
}

}  // namespace vesk
