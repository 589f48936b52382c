// Orders a graph's references by referrer, in place (no second copy of the
// references), in the placement the graph has always had: among paths of
// equal length the first found by edge order is the one shown, so it must
// not change. Within a referrer's room the references do not keep their
// arrival order; they lie in the order of a cycle-following pass.
//
// The pass waits on a cache miss a reference, and a single cycle can run
// through most of a heap, so it cannot be cut in two. What the cycles from
// the first rooms leave (a fifth of a large heap, say) a second thread
// places meanwhile, once a count that does not wait on misses has told
// where the first thread's pass will stop in each room; neither moves the
// other's references. The page faults of the fresh arrays are taken on
// another thread while the caller prepares the references.
//
// Threads: Place starts and joins the second one; without a thread to
// spare, one does all. Failure: std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/FreshPages.h"
#include "heap/HeapGraph.h"
#include "base/WorkProgress.h"

namespace vesk {

// Offset: uint32_t when the references are fewer than 2^32, else uint64_t.
template <class Offset>
class ReferrerOrder {
public:
    // Room for the offsets and cursors of nodes rooms, faulted in from now
    // on, in that order (the offsets may be filled meanwhile). Fewer
    // references than secondThreadFrom are placed by one thread.
    explicit ReferrerOrder(NodeId nodes, uint64_t secondThreadFrom = 1 << 20);

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

    template <class CursorOf>
    void Fill(std::vector<HeapEdge>& edges, const std::vector<NodeId>& referrers, NodeId first, NodeId last,
              CursorOf cursorOf, WorkProgress& progress) const;
    void CountFirstShare(const std::vector<NodeId>& referrers, NodeId split);
    template <class T>
    static std::pair<void*, size_t> Reserved(std::vector<T>& values, size_t count) {
        values.reserve(count);
        return FreshPages::RoomOf(values);
    }

    NodeId nodes;
    uint64_t secondThreadFrom;
    std::vector<Offset> offsets;
    std::vector<Cursor> cursors;
    // Rooms from the split on that the first thread enters, and the second
    // thread's cursors of those it leaves partly filled, by room.
    std::vector<bool> touched;
    std::vector<std::pair<NodeId, Cursor>> shared;
    FreshPages fresh;  // last: it starts on the room reserved above
};

extern template class ReferrerOrder<uint32_t>;
extern template class ReferrerOrder<uint64_t>;

}  // namespace vesk
