// The histogram's pass against a fake JVM: one heap iteration in an
// environment of its own, disposed of on every way out, and the cancel poll.
#include <gtest/gtest.h>

#include "FakeJvm.h"
#include "HeapHistogram.h"
#include "VeskProtocol.h"

using namespace Orlo;
using vesktest::FakeJvm;

namespace {

// Says "cancelled" from its given poll on, counting the polls.
class CancelAfter : public CancelCheck {
public:
    explicit CancelAfter(int polls) : left(polls) {}
    bool Cancelled() override {
        polls++;
        return --left < 0;
    }
    int polls = 0;

private:
    int left;
};

// The fake gives its agent environment first, as the JVM gave it to the agent.
void TakeAgentEnvironment(FakeJvm& jvm) {
    void* env = nullptr;
    jvm.Vm()->GetEnv(&env, JVMTI_VERSION_1_1);
}

TEST(HeapHistogramTest, OnePassInItsOwnEnvironmentWhichIsDisposedOf) {
    FakeJvm jvm;
    TakeAgentEnvironment(jvm);
    HeapHistogram histogram;
    EXPECT_FALSE(histogram.Count(jvm.Jvmti(), jvm.Jni()));
    ASSERT_EQ(jvm.walks.size(), 1u);
    EXPECT_EQ(jvm.walks[0].env, jvm.TagJvmti());
    EXPECT_EQ(jvm.walks[0].filter, 0);
    EXPECT_NE(jvm.walks[0].iteration, nullptr);
    EXPECT_EQ(jvm.walks[0].callback, nullptr);
    ASSERT_EQ(jvm.disposed.size(), 1u);
    EXPECT_EQ(jvm.disposed[0], jvm.TagJvmti());
}

TEST(HeapHistogramTest, CancelBeforeThePassSkipsItAndStillDisposes) {
    FakeJvm jvm;
    CancelAfter cancel(0);
    HeapHistogram histogram(&cancel);
    Error error = histogram.Count(jvm.Jvmti(), jvm.Jni());
    EXPECT_EQ(error.Message(), Protocol::CANCELLED_MESSAGE);
    EXPECT_TRUE(jvm.walks.empty());
    EXPECT_EQ(jvm.disposed.size(), 1u);
}

TEST(HeapHistogramTest, FailedPassIsAnError) {
    FakeJvm jvm;
    jvm.failing.insert("IterateThroughHeap");
    HeapHistogram histogram;
    EXPECT_TRUE(histogram.Count(jvm.Jvmti(), jvm.Jni()));
    EXPECT_EQ(jvm.disposed.size(), 1u);
}

TEST(HeapHistogramTest, CallbackPollsOncePerBatchAndStopsWhenCancelled) {
    CancelAfter cancel(1);
    HeapHistogram histogram(&cancel);
    int64_t counted = 0;
    while (histogram.CountObject(0, 16)) counted++;
    EXPECT_EQ(cancel.polls, 2);
    EXPECT_EQ(counted, 2 * HeapHistogram::CANCEL_POLL_OBJECTS - 1);
    // Objects of classes loaded after the tagging count in the totals only.
    EXPECT_EQ(histogram.TotalInstances(), counted + 1);
    EXPECT_EQ(histogram.TotalBytes(), 16 * (counted + 1));
    EXPECT_EQ(histogram.UntaggedInstances(), counted + 1);
    EXPECT_TRUE(histogram.Rows().empty());
}

}  // namespace
