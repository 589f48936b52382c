// References placed by referrer: the placement paths depend on (which of
// equal-length paths is shown), pinned on a small case; on random ones
// every reference once, in its referrer's room, two threads placing them
// as one does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "heap/ReferrerOrder.h"

using vesk::HeapEdge;
using vesk::NodeId;
using vesk::ReferrerOrder;

namespace {

// Edges numbered by arrival: target i for the i-th.
std::vector<HeapEdge> Arrivals(size_t count) {
    std::vector<HeapEdge> edges;
    for (size_t i = 0; i < count; i++) edges.push_back({static_cast<NodeId>(i), 0});
    return edges;
}

}  // namespace

TEST(ReferrerOrder, PlacementIsTheCycleOrderNotTheArrivalOrder) {
    const std::vector<NodeId> referrers{2, 1, 0, 2, 1, 0, 2, 1};
    for (uint64_t secondThreadFrom : {uint64_t(0), UINT64_MAX}) {
        std::vector<HeapEdge> edges = Arrivals(referrers.size());
        std::vector<uint32_t> offsets = ReferrerOrder<uint32_t>(3, secondThreadFrom).Place(edges, referrers);
        EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 2, 5, 8}));
        std::vector<NodeId> placed;
        for (const HeapEdge& edge : edges) placed.push_back(edge.target);
        EXPECT_EQ(placed, (std::vector<NodeId>{5, 2, 1, 7, 4, 0, 3, 6}));
    }
}

TEST(ReferrerOrder, RandomReferencesEachOnceInTheirRoom) {
    std::mt19937 random(18);
    for (int round = 0; round < 200; round++) {
        const NodeId nodes = 1 + random() % 300;
        std::vector<NodeId> referrers(random() % 2000);
        // Half the rounds as a stream brings them: referrers mostly a little before the arrival's place.
        for (size_t i = 0; i < referrers.size(); i++) {
            NodeId near = static_cast<NodeId>(i * nodes / referrers.size());
            referrers[i] = round % 2 ? random() % nodes : near - std::min<NodeId>(near, random() % 4);
        }
        std::vector<HeapEdge> edges = Arrivals(referrers.size()), wide = edges;
        std::vector<uint32_t> offsets = ReferrerOrder<uint32_t>(nodes, UINT64_MAX).Place(edges, referrers);
        std::vector<uint64_t> wideOffsets = ReferrerOrder<uint64_t>(nodes, 0).Place(wide, referrers);
        ASSERT_EQ(offsets.size(), size_t(nodes) + 1);
        std::vector<bool> seen(referrers.size(), false);
        for (NodeId node = 0; node < nodes; node++) {
            ASSERT_EQ(wideOffsets[node], offsets[node]);
            for (uint32_t at = offsets[node]; at < offsets[node + 1]; at++) {
                NodeId arrival = edges[at].target;
                ASSERT_EQ(referrers[arrival], node);
                ASSERT_FALSE(seen[arrival]);
                seen[arrival] = true;
                ASSERT_EQ(wide[at].target, arrival);
            }
        }
        ASSERT_EQ(offsets[nodes], referrers.size());
    }
}
