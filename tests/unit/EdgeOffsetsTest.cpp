// Offsets past 2^32 references, which no test heap reaches: every way of
// filling them agrees on the full offsets and on each node's count.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "heap/EdgeOffsets.h"

using vesk::EdgeOffsets;
using vesk::NodeId;

namespace {

constexpr uint64_t WRAP = uint64_t{1} << 32;

// Counts that pass two multiples of 2^32, one within a node and one exactly
// at a node's start, with empty nodes on either side.
const std::vector<uint32_t> COUNTS{5, UINT32_MAX, 0, 7, UINT32_MAX - 10, 0, 3, 0};

std::vector<uint64_t> Expected() {
    std::vector<uint64_t> offsets{0};
    for (uint32_t count : COUNTS) offsets.push_back(offsets.back() + count);
    return offsets;
}

void ExpectOffsets(const EdgeOffsets& offsets) {
    const std::vector<uint64_t> expected = Expected();
    ASSERT_EQ(offsets.Size(), expected.size());
    for (NodeId n = 0; n < expected.size(); n++) EXPECT_EQ(offsets[n], expected[n]) << "node " << n;
    for (NodeId n = 0; n < COUNTS.size(); n++) EXPECT_EQ(offsets.Count(n), COUNTS[n]) << "node " << n;
}

}  // namespace

TEST(EdgeOffsets, CountsSummedTakenOrPutGiveTheSameOffsetsPastEachWrap) {
    ASSERT_GT(Expected().back(), Expected()[5]);
    ASSERT_EQ(Expected()[5], 2 * WRAP);

    EdgeOffsets summed;
    summed.Zero(COUNTS.size() + 1);
    for (NodeId n = 0; n < COUNTS.size(); n++) summed.SetCount(n, COUNTS[n]);
    EXPECT_EQ(summed.Sum(), Expected().back());
    ExpectOffsets(summed);

    EdgeOffsets taken;
    taken.Take(Expected());
    ExpectOffsets(taken);

    // Put anew over other offsets: counts are read before each node is put.
    EdgeOffsets rewritten;
    rewritten.Take(std::vector<uint64_t>(COUNTS.size() + 1, 3 * WRAP));
    rewritten.Restart();
    for (NodeId n = 0; n < Expected().size(); n++) rewritten.Put(n, Expected()[n]);
    ExpectOffsets(rewritten);
}

TEST(EdgeOffsets, BelowTheFirstWrapOffsetsAreTheLowParts) {
    EdgeOffsets offsets;
    offsets.Take(std::vector<uint32_t>{0, 2, 2, 9});
    EXPECT_EQ(offsets[3], 9u);
    EXPECT_EQ(offsets.Count(1), 0u);
    EXPECT_EQ(offsets.Count(2), 7u);
}
