// Reading the JVM's class histogram text into rows named as a snapshot's
// class records are, and refusing text that is not a whole histogram.
#include <gtest/gtest.h>

#include <string>

#include "JvmClassHistogram.h"

using Orlo::JvmClassHistogram;

namespace {

// As JDK 17 and 25 print it: a heading, a rule, rows with the module, a total.
const char HISTOGRAM[] =
    " num     #instances         #bytes  class name (module)\n"
    "-------------------------------------------------------\n"
    "   1:        200000        4800000  snap.Bulk\n"
    "   2:          3080         250592  [B (java.base@17.0.9)\n"
    "   3:            12            480  [[I (java.base@17.0.9)\n"
    "   4:             2             64  [Ljava.lang.String; (java.base@17.0.9)\n"
    "   5:             1             16  snap.Fixture$$Lambda$14/0x0000000800c03000\n"
    "Total        203095        5051152\n";

TEST(JvmClassHistogramTest, RowsNamedAsASnapshotNamesThemWithTheTotals) {
    JvmClassHistogram histogram;
    ASSERT_FALSE(histogram.Read(HISTOGRAM));
    ASSERT_EQ(histogram.Rows().size(), 5u);
    EXPECT_EQ(histogram.Rows()[0].name, "snap.Bulk");
    EXPECT_EQ(histogram.Rows()[0].instances, 200000);
    EXPECT_EQ(histogram.Rows()[0].bytes, 4800000);
    EXPECT_EQ(histogram.Rows()[1].name, "byte[]");
    EXPECT_EQ(histogram.Rows()[2].name, "int[][]");
    EXPECT_EQ(histogram.Rows()[3].name, "java.lang.String[]");
    EXPECT_EQ(histogram.Rows()[4].name, "snap.Fixture$$Lambda$14.0x0000000800c03000");
    for (size_t i = 0; i < histogram.Rows().size(); i++) EXPECT_EQ(histogram.Rows()[i].tag, static_cast<jlong>(i + 1));
    EXPECT_EQ(histogram.TotalInstances(), 203095);
    EXPECT_EQ(histogram.TotalBytes(), 5051152);
}

TEST(JvmClassHistogramTest, TextThatIsNoWholeHistogramIsAnError) {
    std::string text(HISTOGRAM);
    // Cut before its total, as a truncated answer would be.
    EXPECT_TRUE(JvmClassHistogram().Read(text.substr(0, text.find("Total"))));
    // Rows that do not add up to the total.
    std::string mismatched = text;
    mismatched.replace(mismatched.find("203095"), 6, "203096");
    EXPECT_TRUE(JvmClassHistogram().Read(mismatched));
    // A row without its name, and an answer that is an error message.
    EXPECT_TRUE(JvmClassHistogram().Read("   1:   10   160\nTotal 10 160\n"));
    EXPECT_TRUE(JvmClassHistogram().Read("Unknown diagnostic command\n"));
}

}  // namespace
