// The dump converter on a hand-made HPROF file of both identifier sizes: the
// records a heap walk would write, each referrer recorded before what it
// names, also when the dump holds objects before whatever names them; and
// files it must refuse (cancelling is polled every ten thousand objects:
// the end-to-end tests cancel). Portable: also run on Windows, where the file is read
// again through the C library's seeks.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DumpConverter.h"
#include "HprofBuilder.h"
#include "TempDir.h"

using namespace vesktest;
using Orlo::DumpConverter;
using Orlo::DumpPlan;
using Orlo::HeapRecord;

namespace {

enum : uint8_t { OBJECT = 2, INT = 10 };
enum : jlong { OBJECT_TAG = 1000, LINK_TAG = 1001, ARRAY_TAG = 1002, INTS_TAG = 1003, FIRST = 5000 };
constexpr jint NEXT_INDEX = 7;
constexpr jint HEAD_INDEX = 3;
constexpr int64_t LINK_SIZE = 24;

class RecordList : public Orlo::DumpRecordSink {
public:
    bool Add(const HeapRecord::Captured& record) override {
        records.push_back(record);
        return true;
    }
    bool Cancelled() override { return cancel; }
    std::vector<HeapRecord::Captured> records;
    bool cancel = false;
};

// Classes Object (0x10), Link (0x20, next:Object, static head) and Object[]
// (0x30). Links 0x101 -> 0x102 -> 0x103 stored back to front, 0x104 -> 0x101
// named by nothing, 0x105 held by Link.head; the holder 0x200 lists the
// three class objects and the root object 0x101.
std::string ChainDump(int idSize, bool withHolder) {
    HprofBuilder b(idSize);
    using Field = HprofBuilder::Field;
    b.Utf8(1, "next").Utf8(2, "head");
    auto link = [&](uint64_t id, uint64_t next) { return b.Instance(id, 0x20, b.Id(next)); };
    std::string classes = b.ClassDump(0x10, 0, 0, {}, {}, {}) +
                          b.ClassDump(0x20, 0x10, 8, {}, {Field{2, OBJECT, b.Id(0x105)}}, {Field{1, OBJECT, ""}}) +
                          b.ClassDump(0x30, 0x10, 0, {}, {}, {}) + b.Root(0xFF, 0x101);
    std::string objects = link(0x103, 0) + link(0x102, 0x103) + link(0x101, 0x102) + link(0x104, 0x101) +
                          link(0x105, 0) + b.PrimitiveArray(0x106, INT, 1, std::string(4, '\0'));
    if (withHolder) objects += b.ObjectArray(0x200, 0x30, {0x200, 0x10, 0x20, 0x30, 0x101});
    b.Segment(classes).Segment(objects);
    return b.Bytes();
}

DumpPlan ChainPlan() {
    DumpPlan plan;
    plan.classes = {{OBJECT_TAG, 16}, {LINK_TAG, 16}, {ARRAY_TAG, 16}};
    plan.rootObjects = 1;
    HeapRecord::Captured root{};
    HeapRecord::Capture(root, JVMTI_HEAP_REFERENCE_JNI_GLOBAL, nullptr, DumpPlan::ROOT_TAG, LINK_TAG, LINK_SIZE, 0,
                        -1, false);
    plan.roots.push_back(root);
    plan.javaLangClassTag = 999;
    plan.primitiveArrayTags[INT] = INTS_TAG;
    plan.arrays.base[INT] = 16;
    plan.arrays.element[INT] = 4;
    plan.firstObjectTag = FIRST;
    plan.instanceSize = [](uint32_t slot) { return slot == 1 ? LINK_SIZE : int64_t(-1); };
    plan.fieldIndex = [](uint32_t slot, uint32_t declaring, const std::string& name, bool isStatic) {
        if (slot != 1 || declaring != 1) return jint(-1);
        if (name == "next" && !isStatic) return NEXT_INDEX;
        if (name == "head" && isStatic) return HEAD_INDEX;
        return jint(-1);
    };
    return plan;
}

struct Expected {
    jint kind;
    jlong tag;
    jlong referrer;
    jint index;
    bool newObject;
};

class DumpConverterTest : public ::testing::TestWithParam<int> {
protected:
    DumpConverter::Result Convert(const std::string& bytes, std::string& error,
                                  size_t keptValues = DumpConverter::KEPT_VALUES_MAX) {
        const std::string path = dir.File("dump.hprof");
        std::ofstream(path, std::ios::binary) << bytes;
        sink.records.clear();
        converter.reset(new DumpConverter(plan, sink, keptValues));
        return converter->Convert(path.c_str(), error);
    }
    TempDir dir;
    DumpPlan plan = ChainPlan();
    RecordList sink;
    std::unique_ptr<DumpConverter> converter;
};

TEST_P(DumpConverterTest, WritesTheWalksRecordsWithEveryReferrerFirst) {
    // Ranks by id: 0x101 .. 0x106, the holder last.
    const std::vector<Expected> expected = {
        // Object numbers rise in the order the records name the objects.
        {JVMTI_HEAP_REFERENCE_JNI_GLOBAL, FIRST, 0, -1, true},
        {JVMTI_HEAP_REFERENCE_STATIC_FIELD, FIRST + 1, LINK_TAG, HEAD_INDEX, true},
        {JVMTI_HEAP_REFERENCE_FIELD, FIRST + 2, FIRST, NEXT_INDEX, true},
        {JVMTI_HEAP_REFERENCE_FIELD, FIRST + 3, FIRST + 2, NEXT_INDEX, true},
        // Named by nothing: a root of kind other, then its reference.
        {JVMTI_HEAP_REFERENCE_OTHER, FIRST + 4, 0, -1, true},
        {JVMTI_HEAP_REFERENCE_FIELD, FIRST, FIRST + 4, NEXT_INDEX, false},
        {JVMTI_HEAP_REFERENCE_OTHER, FIRST + 5, 0, -1, true},
    };
    // The objects stored before what names them (0x102, 0x103, 0x104) kept
    // in memory, or, with no room to keep them, read again from the file.
    for (size_t keptValues : {DumpConverter::KEPT_VALUES_MAX, size_t(0)}) {
        SCOPED_TRACE("kept references " + std::to_string(keptValues));
        std::string error;
        ASSERT_EQ(Convert(ChainDump(GetParam(), true), error, keptValues), DumpConverter::Result::DONE) << error;
        EXPECT_EQ(converter->ReadAgain(), keptValues ? 0u : 3u);
        ASSERT_EQ(sink.records.size(), expected.size());
        for (size_t i = 0; i < expected.size(); i++) {
            const HeapRecord::Captured& r = sink.records[i];
            SCOPED_TRACE("record " + std::to_string(i));
            EXPECT_EQ(r.kind & HeapRecord::KIND_MASK, expected[i].kind);
            EXPECT_EQ(r.tag, expected[i].tag);
            EXPECT_EQ(r.referrerTag, expected[i].referrer);
            EXPECT_EQ((r.kind & HeapRecord::NEW_OBJECT) != 0, expected[i].newObject);
            if (expected[i].index >= 0) {
                EXPECT_EQ(r.index, expected[i].index);
            }
            if (r.tag == FIRST + 5) {
                EXPECT_EQ(r.classTag, INTS_TAG);
                EXPECT_EQ(r.size, 24) << "16 + 4, aligned to 8";
                EXPECT_EQ(r.length, 1);
            } else {
                EXPECT_EQ(r.classTag, LINK_TAG);
                EXPECT_EQ(r.size, LINK_SIZE);
                EXPECT_EQ(r.length, -1);
            }
        }
        EXPECT_EQ(converter->ExtraRoots(), 2u);
        EXPECT_EQ(converter->IndexedObjects(), 7u);
    }
}

TEST_P(DumpConverterTest, RefusesDumpsItCannotName) {
    std::string error;
    EXPECT_EQ(Convert(ChainDump(GetParam(), false), error), DumpConverter::Result::FAILED);
    EXPECT_NE(error.find("holder"), std::string::npos) << error;
    const std::string whole = ChainDump(GetParam(), true);
    EXPECT_EQ(Convert(whole.substr(0, whole.size() - 3), error), DumpConverter::Result::FAILED);
    EXPECT_EQ(Convert("not a heap dump at all", error), DumpConverter::Result::FAILED);
    EXPECT_NE(error.find("HPROF"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(IdSizes, DumpConverterTest, ::testing::Values(4, 8));

}  // namespace
