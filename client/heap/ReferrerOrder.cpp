#include "heap/ReferrerOrder.h"

#include <algorithm>
#include <new>

#include "base/Parallel.h"

namespace vesk {

namespace {

// Progress from a thread that shares the phase: one Add a chunk.
class Ticks {
public:
    explicit Ticks(WorkProgress& progress) : progress(progress) {}
    ~Ticks() { progress.Add(count & (CHUNK - 1)); }
    void Tick() {
        if ((++count & (CHUNK - 1)) == 0) progress.Add(CHUNK);
    }

private:
    static constexpr uint64_t CHUNK = 1 << 16;
    WorkProgress& progress;
    uint64_t count = 0;
};

}  // namespace

template <class Offset>
ReferrerOrder<Offset>::ReferrerOrder(NodeId nodes, uint64_t secondThreadFrom)
    : nodes(nodes), secondThreadFrom(secondThreadFrom), fresh({Reserved(offsets, static_cast<size_t>(nodes) + 1), Reserved(cursors, nodes)}) {}

// Each referrer's room fills from its front: placing an edge there takes
// the place of the edge that lay there, which moves on to its own
// referrer's room, until one belongs where the cycle began. The pass waits
// on memory: each room's cursor keeps the referrer of the edge it points at
// beside it, so that a move waits on one load rather than two in a row.
template <class Offset>
template <class CursorOf>
void ReferrerOrder<Offset>::Fill(std::vector<HeapEdge>& edges, const std::vector<NodeId>& referrers, NodeId first,
                                 NodeId last, CursorOf cursorOf, WorkProgress& progress) const {
    const Offset total = static_cast<Offset>(referrers.size());
    auto advance = [&](Cursor& cursor) {
        Offset at = cursor.next++;
        if (at + 1 < total) cursor.owner = referrers[at + 1];
    };
    Ticks ticks(progress);
    for (NodeId bucket = first; bucket < last; bucket++) {
        Offset end = offsets[bucket + 1];
        Cursor& own = cursorOf(bucket);
        while (own.next < end) {
            ticks.Tick();
            if (own.owner == bucket) {
                advance(own);
                continue;
            }
            const Offset start = own.next;
            HeapEdge moving = edges[start];
            NodeId owner = own.owner;
            for (;;) {
                ticks.Tick();
                Cursor& cursor = cursorOf(owner);
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
}

// How far the pass over the rooms before split fills each later room. It
// fills all of those, and a cycle ends where it began, so every later room
// it enters it also leaves, each time by the room's next place: the places
// it fills in a later room are the fewest from the room's front that match
// the edges for that room in the filled places (these and all places before
// split's room). Counted rather than followed, so that the loads overlap;
// in the cursors of the later rooms: next counts the filled places, owner
// those already counted on (a room holds fewer than 2^32 edges: an array
// has below 2^31 elements).
template <class Offset>
void ReferrerOrder<Offset>::CountFirstShare(const std::vector<NodeId>& referrers, NodeId split) {
    for (NodeId room = split; room < nodes; room++) cursors[room] = {0, 0};
    for (Offset at = 0; at < offsets[split]; at++)
        if (referrers[at] >= split) cursors[referrers[at]].next++;
    // Rooms before the sweep's with places to count on wait in pending.
    std::vector<NodeId> pending;
    for (NodeId sweep = split; sweep < nodes; sweep++) {
        pending.push_back(sweep);
        while (!pending.empty()) {
            NodeId room = pending.back();
            pending.pop_back();
            Cursor& from = cursors[room];
            while (from.owner < from.next) {
                NodeId to = referrers[offsets[room] + from.owner++];
                if (to < split) continue;
                Cursor& into = cursors[to];
                if (into.owner == into.next++ && to <= sweep) pending.push_back(to);
            }
        }
    }
    const Offset total = static_cast<Offset>(referrers.size());
    touched.assign(nodes - split, false);
    for (NodeId room = split; room < nodes; room++) {
        Offset filled = cursors[room].next;
        if (filled == 0) continue;
        touched[room - split] = true;
        Offset next = offsets[room] + filled;
        if (next < offsets[room + 1]) shared.push_back({room, {next, next < total ? referrers[next] : 0}});
    }
}

template <class Offset>
std::vector<Offset> ReferrerOrder<Offset>::Place(std::vector<HeapEdge>& edges, const std::vector<NodeId>& referrers,
                                                 WorkProgress& progress) {
    offsets.assign(static_cast<size_t>(nodes) + 1, 0);
    for (size_t i = 0; i < referrers.size(); i++) {
        progress.Tick(i);
        offsets[referrers[i] + 1]++;
    }
    for (NodeId n = 0; n < nodes; n++) offsets[n + 1] += offsets[n];
    progress.Set(referrers.size());
    const Offset total = static_cast<Offset>(referrers.size());
    fresh.Wait();
    cursors.resize(nodes);
    // The second thread's share: what the cycles from the rooms that hold
    // the first places leave (they may run through most of the heap).
    NodeId split = nodes;
    if (total >= secondThreadFrom && total > 0) {
        split = 1;
        while (split < nodes && offsets[split] < total / 64) split++;
        CountFirstShare(referrers, split);
    }
    for (NodeId n = 0; n < nodes; n++) cursors[n] = {offsets[n], offsets[n] < total ? referrers[offsets[n]] : 0};
    auto own = [&](NodeId room) -> Cursor& { return cursors[room]; };
    // Both threads move edges of their own places only, and keep their own
    // cursors: the second one those of the rooms the first never enters,
    // and its own copies of those it leaves partly filled. Without a thread
    // for the second share, its task runs once the first share is done:
    // where it begins is then where the first thread's cursors stand.
    Beside<> second;
    if (split < nodes) {
        second.Start([&] {
            Cursor filled{0, 0};  // a room the first thread fills: nothing left
            auto cursorOf = [&](NodeId room) -> Cursor& {
                if (!touched[room - split]) return cursors[room];
                auto at = std::lower_bound(shared.begin(), shared.end(), room,
                                           [](const std::pair<NodeId, Cursor>& entry, NodeId r) { return entry.first < r; });
                if (at != shared.end() && at->first == room) return at->second;
                filled.next = offsets[room + 1];
                return filled;
            };
            Fill(edges, referrers, split, nodes, cursorOf, progress);
        });
    }
    Fill(edges, referrers, 0, split, own, progress);
    second.Wait();
    std::vector<Cursor>().swap(cursors);
    std::vector<bool>().swap(touched);
    std::vector<std::pair<NodeId, Cursor>>().swap(shared);
    return std::move(offsets);
}

template class ReferrerOrder<uint32_t>;
template class ReferrerOrder<uint64_t>;

}  // namespace vesk
