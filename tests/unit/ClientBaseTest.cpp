// The client's shared pieces: helper threads hand their failure to the
// waiting caller, the queue ends from either side, and a file written
// atomically is whole or absent.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "TempDir.h"
#include "base/AtomicFile.h"
#include "base/BoundedQueue.h"
#include "base/Parallel.h"

using namespace vesk;
using vesktest::FileExists;
using vesktest::ReadFile;
using vesktest::TempDir;

TEST(Parallel, BesideHandsOverItsResultOrItsExceptionToTheWaiter) {
    Beside<int> answer([] { return 42; });
    EXPECT_EQ(answer.Get(), 42);
    Beside<> failing([] { throw std::runtime_error("helper failed"); });
    EXPECT_THROW(failing.Wait(), std::runtime_error);
    EXPECT_NO_THROW(failing.Wait());  // thrown once
    // Restarted, it runs the new task.
    std::atomic<int> runs{0};
    failing.Start([&] { runs++; });
    failing.Wait();
    EXPECT_EQ(runs.load(), 1);
}

TEST(Parallel, ForRunsCoversTheRangeOnceAndThrowsTheEarliestRunsFailure) {
    std::vector<std::atomic<int>> seen(1000);
    ForRuns(seen.size(), 4, [](size_t i) { return i % 7 + 1; }, [&](size_t first, size_t last) {
        for (size_t i = first; i < last; i++) seen[i]++;
    });
    for (size_t i = 0; i < seen.size(); i++) ASSERT_EQ(seen[i].load(), 1) << i;

    try {
        ForRuns(100, 4, [](size_t) { return 1; }, [](size_t first, size_t) {
            if (first > 0) throw std::runtime_error("run at " + std::to_string(first));
        });
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "run at 25");
    }
}

TEST(BoundedQueue, TheConsumerDrainsAClosedQueueAndACancelledOneRefusesTheProducer) {
    BoundedQueue<int> queue(2);
    Beside<std::vector<int>> consumer([&] {
        std::vector<int> got;
        for (int item; queue.Pop(item);) got.push_back(item);
        return got;
    });
    for (int i = 0; i < 100; i++) ASSERT_TRUE(queue.Push(i));
    queue.Close();
    std::vector<int> got = consumer.Get();
    ASSERT_EQ(got.size(), 100u);
    for (int i = 0; i < 100; i++) EXPECT_EQ(got[i], i);

    BoundedQueue<int> cancelled(1);
    EXPECT_TRUE(cancelled.Push(1));
    // The producer waits for room until the consumer goes.
    Beside<bool> producer([&] { return cancelled.Push(2); });
    cancelled.Cancel();
    EXPECT_FALSE(producer.Get());
    int item = 0;
    EXPECT_FALSE(cancelled.Pop(item));
}

TEST(AtomicFile, ThePathHoldsTheWholeFileOrNothingNew) {
    TempDir dir;
    std::string path = dir.File("out.txt");
    {
        AtomicFile abandoned(path, ".part");
        ASSERT_TRUE(abandoned.Create());
        fputs("half", abandoned.Get());
    }
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(FileExists(path + ".part"));

    AtomicFile written(path, ".part");
    ASSERT_TRUE(written.Create());
    fputs("whole", written.Get());
    EXPECT_FALSE(FileExists(path));
    ASSERT_TRUE(written.Commit());
    EXPECT_EQ(ReadFile(path), "whole");
    EXPECT_FALSE(FileExists(path + ".part"));

    AtomicFile nowhere(dir.File("no/such/dir/out.txt"), ".part");
    EXPECT_FALSE(nowhere.Create());
}
