// Orders a graph's references by referrer, in place (no second copy of the
// references), in the placement the graph has always had: among paths of
// equal length the first found by edge order is the one shown, so it must
// not change. Within a referrer's room the references do not keep their
// arrival order; they lie in the order of a cycle-following pass.
//
// The pass waits on a cache miss a reference, and on one thread: a single
// cycle can run through most of a heap. What it can be spared is the page
// faults of its fresh arrays, which a made ReferrerOrder takes on another
// thread while the caller prepares the references.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "heap/FreshPages.h"
#include "heap/HeapGraph.h"
#include "heap/WorkProgress.h"

namespace vesk {

// Offset: uint32_t when the references are fewer than 2^32, else uint64_t.
template <class Offset>
class ReferrerOrder {
public:
    // Room for the offsets and cursors of nodes rooms, faulted in from now
    // on, in that order (the offsets may be filled meanwhile).
    explicit ReferrerOrder(NodeId nodes);

    // Places edges[i], from referrers[i] (below nodes), in its referrer's
    // room; once. Returns the offsets of nodes + 1 rooms. progress: one
    // tick a reference counted, one a reference placed.
    std::vector<Offset> Place(std::vector<HeapEdge>& edges, const std::vector<NodeId>& referrers,
                              WorkProgress& progress = NoProgress());

private:
    struct Cursor {
        Offset next;   // the first place not yet filled
        NodeId owner;  // the referrer of the edge lying there, while next is in the room
    };
    template <class T>
    static std::pair<void*, size_t> Reserved(std::vector<T>& values, size_t count) {
        values.reserve(count);
        return FreshPages::RoomOf(values);
    }

    NodeId nodes;
    std::vector<Offset> offsets;
    std::vector<Cursor> cursors;
    FreshPages fresh;  // last: it starts on the room reserved above
};

extern template class ReferrerOrder<uint32_t>;
extern template class ReferrerOrder<uint64_t>;

}  // namespace vesk
