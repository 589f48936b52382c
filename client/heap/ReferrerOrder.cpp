#include "heap/ReferrerOrder.h"

namespace vesk {

template <class Offset>
ReferrerOrder<Offset>::ReferrerOrder(NodeId nodes)
    : nodes(nodes), fresh({Reserved(offsets, static_cast<size_t>(nodes) + 1), Reserved(cursors, nodes)}) {}

// Counting, then one cycle-following pass, referrers only read. Each
// referrer's room fills from its front: placing an edge there takes the
// place of the edge that lay there, which moves on to its own referrer's
// room, until one belongs where the cycle began. The pass waits on memory:
// each room's cursor keeps the referrer of the edge it points at beside it,
// so that a move waits on one load rather than two in a row.
template <class Offset>
std::vector<Offset> ReferrerOrder<Offset>::Place(std::vector<HeapEdge>& edges, const std::vector<NodeId>& referrers,
                                                 WorkProgress& progress) {
    offsets.assign(static_cast<size_t>(nodes) + 1, 0);
    for (size_t i = 0; i < referrers.size(); i++) {
        progress.Tick(i);
        offsets[referrers[i] + 1]++;
    }
    for (NodeId n = 0; n < nodes; n++) offsets[n + 1] += offsets[n];
    const Offset total = static_cast<Offset>(referrers.size());
    fresh.Wait();
    cursors.clear();
    for (NodeId n = 0; n < nodes; n++) cursors.push_back({offsets[n], offsets[n] < total ? referrers[offsets[n]] : 0});
    // Moves the cursor past the place it points at.
    auto advance = [&](Cursor& cursor) {
        Offset at = cursor.next++;
        if (at + 1 < total) cursor.owner = referrers[at + 1];
    };
    uint64_t step = referrers.size();
    for (NodeId bucket = 0; bucket < nodes; bucket++) {
        Offset end = offsets[bucket + 1];
        Cursor& own = cursors[bucket];
        while (own.next < end) {
            progress.Tick(step++);
            if (own.owner == bucket) {
                advance(own);
                continue;
            }
            const Offset start = own.next;
            HeapEdge moving = edges[start];
            NodeId owner = own.owner;
            for (;;) {
                progress.Tick(step++);
                Cursor& cursor = cursors[owner];
                Offset to = cursor.next;
                NodeId displaced = cursor.owner;
                advance(cursor);
                std::swap(moving, edges[to]);
                if (displaced == bucket) break;
                owner = displaced;
            }
            edges[start] = moving;
            advance(own);
        }
    }
    std::vector<Cursor>().swap(cursors);
    return std::move(offsets);
}

template class ReferrerOrder<uint32_t>;
template class ReferrerOrder<uint64_t>;

}  // namespace vesk
