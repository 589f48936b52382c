// The tag tests of the heap walk, on plain arrays standing in for the records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "TagRange.h"

using Orlo::TagOf;

namespace {

struct ClassStub {
    char bytes[48];
};
struct ThreadStub {
    char bytes[24];
};

class TagRangeTest : public ::testing::Test {
protected:
    TagRangeTest() {
        range.classes = classes;
        range.classCount = 3;
        range.threads = threads;
        range.threadCount = 2;
        range.firstObject = range.nextObject = range.PastRecords();
    }

    ClassStub classes[3] = {};
    ThreadStub threads[2] = {};
    Orlo::TagRange<ClassStub, ThreadStub> range;
};

TEST_F(TagRangeTest, RecordsAreFoundAtTheirStartOnly) {
    EXPECT_EQ(range.ClassIndex(TagOf(&classes[0])), 0);
    EXPECT_EQ(range.ClassIndex(TagOf(&classes[2])), 2);
    EXPECT_EQ(range.ClassIndex(TagOf(&classes[1]) + 8), -1);
    EXPECT_EQ(range.ClassIndex(TagOf(classes + 3)), -1);
    EXPECT_EQ(range.ClassIndex(TagOf(&threads[0])), -1);
    EXPECT_EQ(range.ThreadIndex(TagOf(&threads[1])), 1);
    EXPECT_EQ(range.ThreadIndex(TagOf(&classes[0])), -1);
    EXPECT_EQ(range.ClassIndex(0), -1);
    // Inside a record is still in the class range: the referrer's cheap test.
    EXPECT_TRUE(range.InClassRange(TagOf(&classes[1]) + 8));
    EXPECT_FALSE(range.InClassRange(TagOf(classes + 3)));
    EXPECT_FALSE(range.InClassRange(TagOf(classes) - 1));
}

TEST_F(TagRangeTest, ObjectNumbersBeginPastEveryRecord) {
    const jlong past = std::max(TagOf(classes + 3), TagOf(threads + 2));
    EXPECT_EQ(range.firstObject, past);
    EXPECT_FALSE(range.IsCurrent(range.firstObject));  // none given yet
    range.nextObject += 2;
    EXPECT_TRUE(range.IsCurrent(range.firstObject));
    EXPECT_TRUE(range.IsCurrent(range.firstObject + 1));
    EXPECT_FALSE(range.IsCurrent(range.nextObject));
}

// Tags of an earlier pass: small numbers, huge numbers, inside a record.
TEST_F(TagRangeTest, TagsOfAnEarlierPassAreNotCurrent) {
    range.nextObject += 5;
    EXPECT_TRUE(range.IsCurrent(TagOf(&classes[1])));
    EXPECT_TRUE(range.IsCurrent(TagOf(&threads[0])));
    EXPECT_FALSE(range.IsCurrent(0));
    EXPECT_FALSE(range.IsCurrent(1));
    EXPECT_FALSE(range.IsCurrent(INT64_MAX - 7));
    EXPECT_FALSE(range.IsCurrent(TagOf(&classes[1]) + 1));

    // A stack root's thread tag of an earlier pass is dropped from a copy.
    jvmtiHeapReferenceInfo info{}, copy{};
    info.stack_local.thread_tag = TagOf(&threads[1]);
    info.stack_local.slot = 3;
    EXPECT_EQ(range.WithCurrentThread(JVMTI_HEAP_REFERENCE_STACK_LOCAL, &info, copy), &info);
    info.stack_local.thread_tag = 1;
    const jvmtiHeapReferenceInfo* shown = range.WithCurrentThread(JVMTI_HEAP_REFERENCE_STACK_LOCAL, &info, copy);
    ASSERT_EQ(shown, &copy);
    EXPECT_EQ(shown->stack_local.thread_tag, 0);
    EXPECT_EQ(shown->stack_local.slot, 3);
    EXPECT_EQ(range.WithCurrentThread(JVMTI_HEAP_REFERENCE_FIELD, &info, copy), &info);
}

TEST(TagRangeEmptyTest, NoPassGivesNoTag) {
    Orlo::TagRange<ClassStub, ThreadStub> none;
    EXPECT_EQ(none.PastRecords(), 0);
    EXPECT_FALSE(none.IsCurrent(0));
    EXPECT_FALSE(none.IsCurrent(64));
    EXPECT_FALSE(none.InClassRange(64));
    EXPECT_EQ(none.ClassIndex(64), -1);
}

}  // namespace
