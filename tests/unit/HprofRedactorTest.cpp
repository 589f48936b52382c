// The agent's redactor on hand-made HPROF files of both identifier sizes:
// the exact bytes it leaves, and truncated and foreign files. Portable: also
// run on Windows.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "HprofBuilder.h"
#include "HprofRedactor.h"
#include "TempDir.h"

using namespace vesktest;

namespace {

class StringSink : public Orlo::HprofSink {
public:
    void Write(const uint8_t* data, size_t length) override { bytes.append(reinterpret_cast<const char*>(data), length); }
    std::string bytes;
};

class HprofRedactorTest : public ::testing::TestWithParam<int> {
protected:
    std::string Save(const std::string& name, const std::string& bytes) {
        std::string path = dir.File(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    // The redactor's error, empty when it succeeded.
    std::string Redact(const std::string& path, uint32_t holderLength = 0) {
        Orlo::HprofRedactor redactor(sink, holderLength);
        const std::string error = redactor.Redact(path.c_str()).Message();
        if (error.empty()) {
            EXPECT_EQ(redactor.OutputBytes(), sink.bytes.size());
            inputBytes = redactor.InputBytes();
        }
        return error;
    }
    TempDir dir;
    StringSink sink;
    uint64_t inputBytes = 0;
};

TEST_P(HprofRedactorTest, ZeroesEveryValueAndDropsOnlyUnusedNames) {
    std::string original = SampleHprof(GetParam(), false);
    ASSERT_EQ(Redact(Save("in.hprof", original)), "");
    EXPECT_EQ(inputBytes, original.size());
    EXPECT_EQ(sink.bytes, SampleHprof(GetParam(), true));
    EXPECT_EQ(sink.bytes.find(UNUSED_NAME), std::string::npos);
}

TEST_P(HprofRedactorTest, TruncatedAndForeignFilesAreRefusedWithTheOffset) {
    std::string original = SampleHprof(GetParam(), false);
    // Inside the second segment's last sub-record, inside a segment, inside a
    // record header, inside the header's numbers.
    for (size_t cut : {original.size() - 3, original.size() - original.size() / 2, size_t(40), size_t(25)}) {
        sink.bytes.clear();
        std::string error = Redact(Save("cut.hprof", original.substr(0, cut)));
        EXPECT_NE(error.find("Malformed heap dump at offset"), std::string::npos) << cut << ": " << error;
    }
    EXPECT_NE(Redact(Save("foreign.vsnap", "<vesk-resp tag=\"1\">")).find("no HPROF header"), std::string::npos);
}

// The agent's holder of class field values (0x4000: an Object[] whose first
// slot is itself) named by a JNI local root ahead of it, as JDK 21 and later
// order a dump; out: as the redactor should leave it, without the holder or
// its root and with a segment of ROOT UNKNOWN records, one per value, after
// the holder's segment.
std::string HolderHprof(int idSize, bool out) {
    HprofBuilder b(idSize);
    b.Utf8(1, "Thing").LoadClass(1, 0x100, 1);
    std::string jniLocal = HprofBuilder::U1(0x02) + b.Id(0x4000) + HprofBuilder::U4(1) + HprofBuilder::U4(0);
    std::string first = b.ClassDump(0x100, 0, 0, {}, {}, {}) + b.Root(0x05, 0x100) + (out ? "" : jniLocal);
    std::string second = b.Instance(0x1000, 0x100, "") + b.Instance(0x1001, 0x100, "") +
                         (out ? "" : b.ObjectArray(0x4000, 0x100, {0x4000, 0x1001, 0, 0x1001, 0x1000})) +
                         b.Instance(0x1002, 0x100, "");
    b.Segment(first).Segment(second);
    if (out) b.Segment(b.Root(0xFF, 0x1001) + b.Root(0xFF, 0x1000));
    return b.Bytes();
}

TEST_P(HprofRedactorTest, ClassFieldHolderBecomesRootsOfItsValues) {
    std::string path = Save("holder.hprof", HolderHprof(GetParam(), false));
    ASSERT_EQ(Redact(path, 5), "");
    EXPECT_EQ(sink.bytes, HolderHprof(GetParam(), true));
    // Of another length it is the application's array: kept as it is.
    sink.bytes.clear();
    ASSERT_EQ(Redact(path, 4), "");
    EXPECT_EQ(sink.bytes, HolderHprof(GetParam(), false));
}

INSTANTIATE_TEST_SUITE_P(IdSizes, HprofRedactorTest, ::testing::Values(4, 8));

}  // namespace
