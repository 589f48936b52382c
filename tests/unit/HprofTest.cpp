// The client's HPROF reader on hand-made files of both identifier sizes:
// classes, names and instance layouts; truncated and foreign files.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "HprofBuilder.h"
#include "HprofCounts.h"
#include "load/HprofFile.h"
#include "TempDir.h"

using namespace vesktest;

namespace {

using F = vesk::HprofFormat;

class HprofTest : public ::testing::TestWithParam<int> {
protected:
    std::string Save(const std::string& name, const std::string& bytes) {
        std::string path = dir.File(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    TempDir dir;
};

TEST_P(HprofTest, ReadsClassesNamesAndEveryObjectOfARedactedDump) {
    std::string original = Save("in.hprof", SampleHprof(GetParam(), false));
    std::string redacted = Save("out.hprof", SampleHprof(GetParam(), true));
    HprofCounts before = CountHprof(original), after = CountHprof(redacted);
    EXPECT_EQ(before, after);
    EXPECT_EQ(after.instances, 2);
    EXPECT_EQ(after.roots, 2);
    EXPECT_EQ(after.references, 3);  // 0x1000.next and the array's two

    vesk::HprofFile file(redacted);
    EXPECT_EQ(file.IdSize(), static_cast<size_t>(GetParam()));
    const vesk::HprofClass* secret = file.FindClass(0x100);
    ASSERT_NE(secret, nullptr);
    EXPECT_EQ(secret->name, "Secret");
    EXPECT_EQ(secret->super, 0x200u);
    ASSERT_EQ(secret->fields.size(), 2u);
    EXPECT_EQ(secret->fields[1].name, "next");
    ASSERT_EQ(secret->statics.size(), 1u);
    EXPECT_EQ(secret->statics[0].value, 0u);
    EXPECT_EQ(file.InstanceLayout(0x100), (std::vector<uint8_t>{F::LONG, F::OBJECT, F::INT}));
}

TEST_P(HprofTest, TruncatedAndForeignFilesAreRefusedWithTheOffset) {
    std::string original = SampleHprof(GetParam(), false);
    // Inside the second segment's last sub-record, inside a segment, inside a
    // record header, inside the header's numbers.
    for (size_t cut : {original.size() - 3, original.size() - original.size() / 2, size_t(40), size_t(25)}) {
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
    }
    std::string foreign = Save("foreign.vsnap", "<vesk-resp tag=\"1\">");
    EXPECT_FALSE(vesk::HprofFile::IsHprof(foreign));
    EXPECT_TRUE(vesk::HprofFile::IsHprof(Save("ok.hprof", original)));
    EXPECT_THROW(vesk::HprofFile file(foreign), vesk::HprofError);
}

INSTANTIATE_TEST_SUITE_P(IdSizes, HprofTest, ::testing::Values(4, 8));

}  // namespace
