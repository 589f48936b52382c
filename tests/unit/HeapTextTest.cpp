#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "heap/HeapText.h"

using vesk::NearestNames;
using vesk::SizeChangeText;
using vesk::SizeText;

TEST(HeapText, SizesInBinaryUnitsOrExact) {
    EXPECT_EQ(SizeText(0), "0 B");
    EXPECT_EQ(SizeText(1023), "1023 B");
    EXPECT_EQ(SizeText(1024), "1.0 KiB");
    EXPECT_EQ(SizeText(1536), "1.5 KiB");
    EXPECT_EQ(SizeText(12897484), "12.3 MiB");
    // Rounding up to the next unit, not to "1024.0 KiB".
    EXPECT_EQ(SizeText(1024 * 1024 - 1), "1.0 MiB");
    EXPECT_EQ(SizeText(5ull << 30), "5.0 GiB");
    EXPECT_EQ(SizeText(UINT64_MAX), "16.0 EiB");
    EXPECT_EQ(SizeText(12897484, true), "12897484");

    EXPECT_EQ(SizeChangeText(0), "+0 B");
    EXPECT_EQ(SizeChangeText(-40), "-40 B");
    EXPECT_EQ(SizeChangeText(3 << 20), "+3.0 MiB");
    EXPECT_EQ(SizeChangeText(INT64_MIN), "-8.0 EiB");
    EXPECT_EQ(SizeChangeText(-1536, true), "-1536");
    EXPECT_EQ(SizeChangeText(0, true), "+0");
}

TEST(HeapText, NearestNamesForAClassThatMatchesNothing) {
    const std::vector<std::string> names = {"SampleApp",        "SampleApp$Order", "SampleApp$OrderLine",
                                            "java.util.HashMap", "java.lang.String", "com.shop.Order",
                                            "byte[]",           "SampleApp$Order"};
    // Separators and case: the source form of a nested class.
    EXPECT_EQ(NearestNames("sampleapp.order", names),
              (std::vector<std::string>{"SampleApp$Order", "SampleApp$OrderLine"}));
    // A simple name: the classes it ends, shortest first, then those holding it; no duplicates.
    EXPECT_EQ(NearestNames("Order", names),
              (std::vector<std::string>{"com.shop.Order", "SampleApp$Order", "SampleApp$OrderLine"}));
    EXPECT_EQ(NearestNames("Order", names, 1), (std::vector<std::string>{"com.shop.Order"}));
    // Typing errors, in the whole name or its last part.
    EXPECT_EQ(NearestNames("java.util.HahsMap", names), (std::vector<std::string>{"java.util.HashMap"}));
    EXPECT_EQ(NearestNames("Strnig", names), (std::vector<std::string>{"java.lang.String"}));
    EXPECT_EQ(NearestNames("java/lang/Strng", names), (std::vector<std::string>{"java.lang.String"}));
    // Nothing close.
    EXPECT_TRUE(NearestNames("no.such.Class", names).empty());
    EXPECT_TRUE(NearestNames("", names).empty());
}
