// Hand-made HPROF files of both identifier sizes through the agent's
// redactor and the client's reader; truncated and foreign files.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "HprofBuilder.h"
#include "HprofCounts.h"
#include "load/HprofFile.h"
#include "HprofRedactor.h"
#include "TempDir.h"

using namespace vesktest;

namespace {

enum : uint8_t { OBJECT = 2, CHAR = 5, INT = 10, LONG = 11 };

const std::string UNUSED_NAME = "unused-secret-text";

// Class Secret (0x100) extends Base (0x200): fields value:long, next:Object,
// then Base's base:int; two instances, an Object[] and a char[], two roots.
std::string SampleDump(int idSize) {
    HprofBuilder b(idSize);
    using F = HprofBuilder::Field;
    b.Utf8(1, "Secret").Utf8(2, "value").Utf8(3, "next").Utf8(4, "counter").Utf8(5, UNUSED_NAME);
    b.Utf8(6, "run").Utf8(7, "()V").Utf8(8, "Secret.java").Utf8(9, "Base").Utf8(10, "base");
    b.LoadClass(1, 0x100, 1).LoadClass(2, 0x200, 9).Frame(0x300, 6, 7, 8);
    std::string first = b.ClassDump(0x200, 0, 4, {}, {}, {F{10, INT, ""}}) +
                        b.ClassDump(0x100, 0x200, 16, {F{1, LONG, HprofBuilder::Big(0x1122334455667788, 8)}},
                                    {F{4, INT, HprofBuilder::U4(0xCAFEBABE)}}, {F{2, LONG, ""}, F{3, OBJECT, ""}}) +
                        b.Root(0x05, 0x100) + b.Root(0x03, 0x1000);
    std::string second =
        b.Instance(0x1000, 0x100, HprofBuilder::Big(0xDEADBEEF01020304, 8) + b.Id(0x1001) + HprofBuilder::U4(0x0BADF00D)) +
        b.Instance(0x1001, 0x100, HprofBuilder::Big(0x7E57DA7A7E57DA7A, 8) + b.Id(0) + HprofBuilder::U4(0x0BADF00D)) +
        b.ObjectArray(0x2000, 0x200, {0x1000, 0, 0x1001}) + b.PrimitiveArray(0x3000, CHAR, 2, std::string("\0h\0i", 4));
    b.Segment(first).Segment(second);
    return b.Bytes();
}

class StringSink : public Orlo::HprofSink {
public:
    void Write(const uint8_t* data, size_t length) override { bytes.append(reinterpret_cast<const char*>(data), length); }
    std::string bytes;
};

class HprofTest : public ::testing::TestWithParam<int> {
protected:
    std::string Save(const std::string& name, const std::string& bytes) {
        std::string path = dir.File(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    TempDir dir;
};

TEST_P(HprofTest, RedactionZeroesValuesDropsUnusedNamesAndKeepsStructure) {
    std::string original = SampleDump(GetParam());
    std::string input = Save("in.hprof", original);
    StringSink sink;
    Orlo::HprofRedactor redactor(sink);
    std::string error;
    ASSERT_TRUE(redactor.Redact(input.c_str(), error)) << error;
    const std::string& out = sink.bytes;

    for (const std::string& value : {HprofBuilder::Big(0x1122334455667788, 8), HprofBuilder::U4(0xCAFEBABE),
                                     HprofBuilder::Big(0xDEADBEEF01020304, 8), HprofBuilder::Big(0x7E57DA7A7E57DA7A, 8),
                                     HprofBuilder::U4(0x0BADF00D), std::string("\0h\0i", 4), UNUSED_NAME})
        EXPECT_EQ(out.find(value), std::string::npos) << "value of " << value.size() << " bytes left";
    for (const char* name : {"Secret", "value", "next", "counter", "run", "()V", "Secret.java", "Base", "base"})
        EXPECT_NE(out.find(name), std::string::npos) << name;
    // Only the unused name's record went; everything else kept its size.
    EXPECT_EQ(out.size(), original.size() - (9 + GetParam() + UNUSED_NAME.size()));

    std::string output = Save("out.hprof", out);
    HprofCounts before = CountHprof(input), after = CountHprof(output);
    EXPECT_EQ(before, after);
    EXPECT_EQ(after.instances, 2);
    EXPECT_EQ(after.roots, 2);
    EXPECT_EQ(after.references, 3);  // 0x1000.next and the array's two

    vesk::HprofFile file(output);
    EXPECT_EQ(file.IdSize(), static_cast<size_t>(GetParam()));
    const vesk::HprofClass* secret = file.FindClass(0x100);
    ASSERT_NE(secret, nullptr);
    EXPECT_EQ(secret->name, "Secret");
    EXPECT_EQ(secret->super, 0x200u);
    ASSERT_EQ(secret->fields.size(), 2u);
    EXPECT_EQ(secret->fields[1].name, "next");
    ASSERT_EQ(secret->statics.size(), 1u);
    EXPECT_EQ(secret->statics[0].value, 0u);
    EXPECT_EQ(file.InstanceLayout(0x100), (std::vector<uint8_t>{LONG, OBJECT, INT}));
}

TEST_P(HprofTest, TruncatedAndForeignFilesAreRefusedWithTheOffset) {
    std::string original = SampleDump(GetParam());
    // Cut inside the second segment's last sub-record, and inside a record header.
    for (size_t cut : {original.size() - 3, original.size() - original.size() / 2, size_t(40)}) {
        std::string path = Save("cut.hprof", original.substr(0, cut));
        EXPECT_THROW(
            {
                try {
                    vesk::HprofFile file(path);
                } catch (const vesk::HprofError& e) {
                    EXPECT_NE(std::string(e.what()).find("offset"), std::string::npos) << e.what();
                    throw;
                }
            },
            vesk::HprofError)
            << cut;
        StringSink sink;
        Orlo::HprofRedactor redactor(sink);
        std::string error;
        EXPECT_FALSE(redactor.Redact(path.c_str(), error)) << cut;
        EXPECT_NE(error.find("Malformed heap dump at offset"), std::string::npos) << error;
    }
    std::string foreign = Save("foreign.vsnap", "<vesk-resp tag=\"1\">");
    EXPECT_FALSE(vesk::HprofFile::IsHprof(foreign));
    EXPECT_TRUE(vesk::HprofFile::IsHprof(Save("ok.hprof", original)));
    EXPECT_THROW(vesk::HprofFile file(foreign), vesk::HprofError);
}

INSTANTIATE_TEST_SUITE_P(IdSizes, HprofTest, ::testing::Values(4, 8));

}  // namespace
