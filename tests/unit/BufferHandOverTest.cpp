// The hand-over between the heap walk and the snapshot writer thread: two
// batches take turns, the walk waits only for a writer a whole buffer
// behind, and gives up on one that does not come back.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "BufferHandOver.h"
#include "ReferenceBatch.h"

namespace {

using Orlo::BufferHandOver;
using Orlo::ReferenceBatch;
using std::chrono::milliseconds;

TEST(BufferHandOverTest, BuffersTakeTurnsAndTheWalkWaitsForTheWriter) {
    ReferenceBatch a(4), b(4);
    BufferHandOver handOver(milliseconds(10000), &b);
    EXPECT_EQ(handOver.Give(&a), &b) << "the writer holds nothing yet: no wait";
    ReferenceBatch* taken = handOver.Take();
    ASSERT_EQ(taken, &a);
    std::thread writer([&] {
        std::this_thread::sleep_for(milliseconds(200));
        handOver.Return(taken);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(handOver.Give(&b), &a) << "the written buffer comes back";
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(150));
    writer.join();
    EXPECT_FALSE(handOver.Stalled());

    // Closing: what is pending is still written, then Take ends.
    handOver.Close(false);
    EXPECT_EQ(handOver.Take(), &b);
    EXPECT_EQ(handOver.Take(), nullptr);
    handOver.Stop();
    EXPECT_TRUE(handOver.WaitStopped());
}

TEST(BufferHandOverTest, StuckWriterIsGivenUpAfterTheLimit) {
    ReferenceBatch a(4), b(4);
    BufferHandOver handOver(milliseconds(100), &b);
    ASSERT_EQ(handOver.Give(&a), &b);
    ASSERT_EQ(handOver.Take(), &a);  // and never returned
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(handOver.Give(&b), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(100));
    EXPECT_TRUE(handOver.Stalled());
    handOver.Close(true);
    EXPECT_FALSE(handOver.WaitStopped()) << "the writer never stopped";
}

TEST(BufferHandOverTest, StoppedWriterEndsTheWalkAndDiscardDropsThePending) {
    ReferenceBatch a(4), b(4);
    BufferHandOver stopped(milliseconds(10000), &b);
    stopped.Stop();
    EXPECT_TRUE(stopped.Stopped());
    EXPECT_EQ(stopped.Give(&a), nullptr) << "at once, not after the limit";
    EXPECT_FALSE(stopped.Stalled());

    BufferHandOver dropping(milliseconds(10000), &b);
    ASSERT_EQ(dropping.Give(&a), &b);
    dropping.Close(true);
    EXPECT_EQ(dropping.Take(), nullptr);
}

}  // namespace
