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
    std::string Redact(const std::string& path) {
        Orlo::HprofRedactor redactor(sink);
        std::string error;
        bool done = redactor.Redact(path.c_str(), error);
        EXPECT_EQ(done, error.empty()) << error;
        if (done) {
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

INSTANTIATE_TEST_SUITE_P(IdSizes, HprofRedactorTest, ::testing::Values(4, 8));

}  // namespace
