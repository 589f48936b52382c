// Run starts kept as a byte a run: runs of 254, 255 and more elements, in
// blocks with and without them, agree with plain sums, and the placer fills
// each run in the order its elements come.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "heap/RunOffsets.h"

using vesk::RunOffsets;

TEST(RunOffsets, StartsAndLengthsMatchPlainSumsAroundLongRuns) {
    // Block 0 short runs only (the word sums); block 1 with long runs
    // among short ones; block 2 a partial block; an empty run last.
    std::vector<uint64_t> lengths;
    for (size_t run = 0; run < 32; run++) lengths.push_back(run * 7 % 254);
    for (size_t run = 0; run < 32; run++) lengths.push_back(run % 5 == 0 ? 250 + run : run);
    lengths.insert(lengths.end(), {254, 255, 256, 100000, 3, 0});
    RunOffsets offsets(lengths.size());
    for (size_t run = 0; run < lengths.size(); run++)
        for (uint64_t i = 0; i < lengths[run]; i++) offsets.Lengthen(run);
    uint64_t total = 0;
    for (uint64_t length : lengths) total += length;
    ASSERT_EQ(offsets.Seal(), total);

    uint64_t start = 0;
    for (size_t run = 0; run < lengths.size(); run++) {
        EXPECT_EQ(offsets.Start(run), start) << "run " << run;
        EXPECT_EQ(offsets.Length(run), lengths[run]) << "run " << run;
        start += lengths[run];
    }

    // Elements of all runs interleaved: each run's come out in order, packed.
    RunOffsets::Placer placer(offsets);
    std::vector<uint64_t> next(lengths.size(), 0);
    for (bool more = true; more;) {
        more = false;
        for (size_t run = 0; run < lengths.size(); run++) {
            if (next[run] == lengths[run]) continue;
            more = true;
            ASSERT_EQ(placer.Place(run), offsets.Start(run) + next[run]++) << "run " << run;
        }
    }
}
