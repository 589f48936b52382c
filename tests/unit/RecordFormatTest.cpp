// The heap-walk records: hand-written conversions must give exactly what the
// printf formats of the record layout give.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "HeapRecord.h"

using Orlo::HeapRecord;

namespace {

std::string Hex(uint64_t value) {
    char out[32];
    return std::string(out, HeapRecord::Hex(out, value));
}

std::string Dec(int64_t value) {
    char out[32];
    return std::string(out, HeapRecord::Decimal(out, value));
}

std::string Object(jlong tag, jlong classTag, jlong size, jint length) {
    char out[HeapRecord::MAX_SIZE];
    return std::string(out, HeapRecord::FormatObject(out, tag, classTag, size, length));
}

std::string Reference(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info, jlong tag, jlong classTag,
                      jlong size, jlong referrerTag, jint length) {
    char out[HeapRecord::MAX_SIZE];
    return std::string(out, HeapRecord::FormatReference(out, kind, info, tag, classTag, size, referrerTag, length));
}

TEST(RecordFormatTest, NumbersMatchPrintfAtTheEdges) {
    const uint64_t hexValues[] = {0, 1, 9, 10, 15, 16, 0xabcdef, 0x7fffffffffffffffULL, 0x8000000000000000ULL,
                                  UINT64_MAX};
    for (uint64_t value : hexValues) {
        char expected[32];
        snprintf(expected, sizeof expected, "%" PRIx64, value);
        EXPECT_EQ(Hex(value), expected);
    }
    const int64_t decValues[] = {0, 1, -1, 9, 10, -10, 99, 100, INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN};
    for (int64_t value : decValues) {
        char expected[32];
        snprintf(expected, sizeof expected, "%" PRId64, value);
        EXPECT_EQ(Dec(value), expected);
    }
}

TEST(RecordFormatTest, ObjectRecords) {
    EXPECT_EQ(Object(0x7f001, 0x55aa, 24, -1), "<obj tag=\"7f001\" clstag=\"55aa\" size=\"24\"/>");
    EXPECT_EQ(Object(-1, 0, -8, 0), "<arrayobj tag=\"ffffffffffffffff\" clstag=\"0\" size=\"-8\" len=\"0\"/>");
    EXPECT_EQ(Object(1, 2, INT64_MAX, INT32_MAX),
              "<arrayobj tag=\"1\" clstag=\"2\" size=\"9223372036854775807\" len=\"2147483647\"/>");
}

TEST(RecordFormatTest, ReferenceRecordsByKind) {
    jvmtiHeapReferenceInfo info = {};
    info.field.index = 7;
    EXPECT_EQ(Reference(JVMTI_HEAP_REFERENCE_FIELD, &info, 0x10, 0x20, 16, 0x30, -1),
              "<ref kind=\"2\" tag=\"10\" clstag=\"20\" size=\"16\" reftag=\"30\" index=\"7\"/>");
    info.array.index = 3;
    EXPECT_EQ(Reference(JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT, &info, 0x10, 0x20, 32, 0x30, 5),
              "<ref kind=\"3\" tag=\"10\" clstag=\"20\" size=\"32\" reftag=\"30\" len=\"5\" index=\"3\"/>");
    // A root: no referrer, the local's frame, heaproot.
    info = {};
    info.stack_local.thread_tag = 0xbeef;
    info.stack_local.thread_id = -2;
    info.stack_local.depth = 4;
    info.stack_local.method = reinterpret_cast<jmethodID>(static_cast<uintptr_t>(0xfade));
    info.stack_local.location = 99;
    info.stack_local.slot = 1;
    EXPECT_EQ(Reference(JVMTI_HEAP_REFERENCE_STACK_LOCAL, &info, 0x10, 0x20, 16, 0, -1),
              "<ref kind=\"24\" tag=\"10\" clstag=\"20\" size=\"16\" thrdtag=\"beef\" tid=\"-2\" depth=\"4\" "
              "mthdtag=\"fade\" slot=\"1\" heaproot=\"1\"/>");
    info = {};
    info.jni_local.thread_tag = 0xbeef;
    info.jni_local.thread_id = 12;
    info.jni_local.depth = 0;
    info.jni_local.method = nullptr;
    EXPECT_EQ(Reference(JVMTI_HEAP_REFERENCE_JNI_LOCAL, &info, 0x10, 0x20, 16, 0, -1),
              "<ref kind=\"25\" tag=\"10\" clstag=\"20\" size=\"16\" thrdtag=\"beef\" tid=\"12\" depth=\"0\" "
              "mthdtag=\"0\" heaproot=\"1\"/>");
    for (jvmtiHeapReferenceKind kind : {JVMTI_HEAP_REFERENCE_JNI_GLOBAL, JVMTI_HEAP_REFERENCE_MONITOR,
                                        JVMTI_HEAP_REFERENCE_THREAD, JVMTI_HEAP_REFERENCE_OTHER}) {
        EXPECT_EQ(Reference(kind, nullptr, UINT64_MAX, 1, 0, 0, -1),
                  "<ref kind=\"" + std::to_string(kind) +
                      "\" tag=\"ffffffffffffffff\" clstag=\"1\" size=\"0\" heaproot=\"1\"/>");
        EXPECT_TRUE(HeapRecord::IsRootKind(kind));
    }
    // An unknown kind carries no extra attributes and is not a root.
    auto unknown = static_cast<jvmtiHeapReferenceKind>(15);
    EXPECT_EQ(Reference(unknown, &info, 1, 2, 3, 4, -1),
              "<ref kind=\"15\" tag=\"1\" clstag=\"2\" size=\"3\" reftag=\"4\"/>");
    EXPECT_FALSE(HeapRecord::IsRootKind(unknown));
}

TEST(RecordFormatTest, LongestRecordsFit) {
    jvmtiHeapReferenceInfo info = {};
    info.stack_local.thread_tag = -1;
    info.stack_local.thread_id = INT64_MIN;
    info.stack_local.depth = INT32_MIN;
    info.stack_local.method = reinterpret_cast<jmethodID>(UINTPTR_MAX);
    info.stack_local.slot = INT32_MIN;
    size_t longest = Object(-1, -1, INT64_MIN, INT32_MIN).size() +
                     Reference(JVMTI_HEAP_REFERENCE_STACK_LOCAL, &info, -1, -1, INT64_MIN, -1, INT32_MAX).size();
    EXPECT_LT(longest, HeapRecord::MAX_SIZE);
}

// The walk captures values and the writer thread formats them: the text
// must be what formatting at the callback gave, for every kind (unknown
// ones too), with and without reference information, for new and known
// objects and arrays, at the edges of every value.
TEST(RecordFormatTest, CapturedRecordsFormatAsTheCallbackDid) {
    struct Values {
        jlong tag, classTag, size, referrerTag;
        jint length;
    };
    const Values values[] = {{1, 2, 3, 0, -1},
                             {0x7f0012345678, 0x55aa00, 24, 0x7f0012340000, 0},
                             {-1, -1, INT64_MIN, -1, INT32_MAX},
                             {INT64_MAX, INT64_MIN, INT64_MAX, INT64_MIN, INT32_MIN},
                             {0, 0, 0, 0, 5}};
    jvmtiHeapReferenceInfo infos[3];
    memset(infos, 0, sizeof infos);
    infos[0].stack_local = {0xbeef, -2, 4, reinterpret_cast<jmethodID>(static_cast<uintptr_t>(0xfade)), 99, 1};
    infos[1].stack_local = {-1, INT64_MIN, INT32_MIN, reinterpret_cast<jmethodID>(UINTPTR_MAX), -1, INT32_MIN};
    infos[2].stack_local = {0, INT64_MAX, INT32_MAX, nullptr, 0, INT32_MAX};
    int compared = 0;
    // Up to 31: the enum's range, unknown kinds included; beyond it a value is no kind at all.
    for (int kind = 0; kind <= 31; kind++) {
        const auto k = static_cast<jvmtiHeapReferenceKind>(kind);
        for (const Values& v : values) {
            for (int which = -1; which < 3; which++) {
                // Field, array and constant-pool indexes share the place of a local's thread tag.
                jvmtiHeapReferenceInfo info = which < 0 ? jvmtiHeapReferenceInfo() : infos[which];
                if (which >= 0 && kind != JVMTI_HEAP_REFERENCE_STACK_LOCAL && kind != JVMTI_HEAP_REFERENCE_JNI_LOCAL)
                    info.field.index = static_cast<jint>(info.stack_local.depth);
                const jvmtiHeapReferenceInfo* given = which < 0 ? nullptr : &info;
                for (bool newObject : {false, true}) {
                    const std::string expected =
                        (newObject ? Object(v.tag, v.classTag, v.size, v.length) : std::string()) +
                        Reference(k, given, v.tag, v.classTag, v.size, v.referrerTag, v.length);
                    HeapRecord::Captured captured;
                    memset(&captured, 0xA5, sizeof captured);  // what the walk leaves unset reads as noise
                    HeapRecord::Capture(captured, k, given, v.tag, v.classTag, v.size, v.referrerTag, v.length,
                                        newObject);
                    char out[HeapRecord::MAX_SIZE];
                    size_t used = HeapRecord::FormatCaptured(out, captured);
                    ASSERT_LE(used, HeapRecord::MAX_SIZE);
                    EXPECT_EQ(std::string(out, used), expected) << "kind " << kind << " info " << which;
                    compared++;
                }
            }
        }
    }
    EXPECT_EQ(compared, 32 * 5 * 4 * 2);
}

TEST(RecordFormatTest, SkippedKindsFollowTheMask) {
    const int skipped[] = {1, 4, 5, 6, 7, 9, 10, 22};
    for (int kind = 0; kind <= 30; kind++) {
        bool expected = std::find(std::begin(skipped), std::end(skipped), kind) != std::end(skipped);
        EXPECT_EQ(HeapRecord::IsSkippedKind(static_cast<jvmtiHeapReferenceKind>(kind)), expected) << kind;
    }
}

}  // namespace
