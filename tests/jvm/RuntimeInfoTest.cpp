// Runtime figures and system properties read through the class model.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "JvmHarness.h"
#include "JvmInfo.h"
#include "StringBuffer.h"

using namespace Orlo;

namespace vesktest {
namespace {

TEST(RuntimeInfoTest, SevenPlausibleFigures) {
    JvmInfo info;
    info.GatherRuntimeInfo(HarnessJvmti(), HarnessJni());
    StringBuffer buffer;
    info.AddRuntimeToResult(buffer);
    std::vector<Record> props = ParseRecords(BufferText(buffer));
    const std::vector<std::string> names = {"rt-time",   "cpus",          "total-heap",   "max-heap",
                                            "free-heap", "total-classes", "total-threads"};
    ASSERT_EQ(props.size(), names.size());
    std::vector<long long> values;
    for (size_t i = 0; i < props.size(); i++) {
        EXPECT_EQ(props[i].name, "prop");
        EXPECT_EQ(props[i]["name"], names[i]);
        values.push_back(std::stoll(props[i]["value"]));
    }
    EXPECT_LE(std::llabs(values[0] / 1000 - static_cast<long long>(time(nullptr))), 60);
    EXPECT_GE(values[1], 1);
    EXPECT_GT(values[2], 0);
    EXPECT_GE(values[3], values[2]);
    EXPECT_LE(values[4], values[2]);
    EXPECT_GT(values[4], 0);
    EXPECT_EQ(values[5], info.GetClassCount());
    EXPECT_GT(values[5], 100);
    EXPECT_EQ(values[6], info.GetThreadCount());
    EXPECT_GE(values[6], 2);

    // The pass ran once: a second gathering keeps its records.
    const void* records = info.GetClassInfos();
    info.GatherRuntimeInfo(HarnessJvmti(), HarnessJni());
    EXPECT_EQ(info.GetClassInfos(), records);
    info.Clear();
}

TEST(RuntimeInfoTest, PropertiesAreEscaped) {
    JvmInfo info;
    StringBuffer buffer;
    info.GetSystemProperties(buffer);
    std::string text = BufferText(buffer);
    EXPECT_NE(text.find("<prop name=\"model.tricky\" value=\"a&lt;b&amp;c&#10;d\"/>"), std::string::npos);
    std::vector<Record> props = ParseRecords(text);
    EXPECT_GT(props.size(), 20u);
    bool sawVersion = false;
    for (const Record& prop : props) {
        EXPECT_EQ(prop.name, "prop");
        if (prop["name"] == "java.version") sawVersion = !prop["value"].empty();
    }
    EXPECT_TRUE(sawVersion);
    // No exception and no reference is left behind for the caller.
    EXPECT_FALSE(HarnessJni()->ExceptionCheck());
    info.Clear();
}

}  // namespace
}  // namespace vesktest
