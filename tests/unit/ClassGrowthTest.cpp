// Growth flagging over a series of class histograms, and the OpenMetrics
// text made from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "heap/ClassGrowth.h"
#include "report/OpenMetricsText.h"

using vesk::ClassGrowth;
using vesk::ClassTotals;

namespace {

constexpr int64_t HEAP = 100 << 20;

// Samples where "Grows" gains step bytes each time (but for the flat
// intervals listed), "Flat" stays, and "Noisy" goes up and down.
ClassGrowth Series(size_t samples, int64_t step, std::vector<size_t> flatAt = {}, size_t window = 10) {
    ClassGrowth growth(window);
    int64_t grows = 1 << 20;
    for (size_t i = 0; i < samples; i++) {
        bool flat = std::find(flatAt.begin(), flatAt.end(), i) != flatAt.end();
        if (i > 0 && !flat) grows += step;
        growth.Add(HEAP, {{"Grows", grows / 32, grows},
                          {"Flat", 10, 4096},
                          {"Noisy", 100, (i % 2 ? 3 : 1) * int64_t(4 << 20)}});
    }
    return growth;
}

TEST(ClassGrowthTest, SteadyGrowthAboveOnePercentOfTheHeapIsFlaggedAlone) {
    ClassGrowth growth = Series(12, 200 << 10);
    EXPECT_EQ(growth.Growing(), std::vector<std::string>{"Grows"});
    std::vector<ClassGrowth::Row> rows = growth.Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].name, "Grows");
    EXPECT_TRUE(rows[0].growing);
    EXPECT_EQ(rows[0].change, 11 * (200 << 10));
    EXPECT_EQ(rows[0].windowRise, 9 * (200 << 10));
    EXPECT_EQ(rows[0].recent.size(), 12u);
}

TEST(ClassGrowthTest, TooFewRisesTooLittleOrTooFewSamplesAreNotGrowth) {
    // Rose in 7 of 9 intervals: below 80 %.
    EXPECT_TRUE(Series(10, 200 << 10, {3, 6}).Growing().empty());
    // Rose in 8 of 9: enough.
    EXPECT_EQ(Series(10, 200 << 10, {3}).Growing().size(), 1u);
    // Every interval, but 9 × 100 KiB is below 1 % of 100 MiB.
    EXPECT_TRUE(Series(10, 100 << 10).Growing().empty());
    EXPECT_TRUE(Series(2, 10 << 20).Growing().empty());
    EXPECT_EQ(Series(3, 10 << 20).Growing().size(), 1u);
    // Only the window counts: the flat start has gone out of a window of 4.
    EXPECT_EQ(Series(12, 1 << 20, {1, 2, 3, 4, 5, 6}, 4).Growing().size(), 1u);
}

TEST(ClassGrowthTest, SameNamesAddUpAndLateClassesStartFromZero) {
    ClassGrowth growth(3);
    growth.Add(HEAP, {{"A", 1, 100}});
    growth.Add(HEAP, {{"A", 1, 100}, {"A", 2, 300}, {"B", 5, 2 << 20}});
    std::vector<ClassGrowth::Row> rows = growth.Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "B");
    EXPECT_EQ(rows[0].change, 2 << 20);
    EXPECT_EQ(rows[0].recent, (std::vector<int64_t>{0, 2 << 20}));
    EXPECT_EQ(rows[1].bytes, 400);
    EXPECT_EQ(rows[1].instances, 3);
}

TEST(OpenMetricsTextTest, FamiliesLabelsAndTheTopClassesPlusTheGrowingOnes) {
    ClassGrowth growth(3);
    for (int i = 0; i < 3; i++)
        growth.Add(HEAP, {{"Big\"One\\", 1, 50 << 20}, {"Mid", 1, 10 << 20}, {"Small", 1 + i, (1 + i) << 20}});
    std::string text = vesk::OpenMetricsText(HEAP, 1234, growth, 1);
    EXPECT_NE(text.find("# TYPE vesk_heap_used_bytes gauge\n# UNIT vesk_heap_used_bytes bytes\n# HELP "),
              std::string::npos);
    EXPECT_NE(text.find("\nvesk_heap_used_bytes 104857600\n"), std::string::npos);
    EXPECT_NE(text.find("\nvesk_sample_pause_seconds 1.234\n"), std::string::npos);
    EXPECT_NE(text.find("\nvesk_class_bytes{class=\"Big\\\"One\\\\\"} 52428800\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nvesk_class_growing{class=\"Small\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nvesk_class_instances{class=\"Small\"} 3\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\"Mid\""), std::string::npos) << text;
    for (const char* family : {"vesk_class_bytes", "vesk_class_instances", "vesk_class_growing"})
        EXPECT_NE(text.find(std::string("# HELP ") + family + " "), std::string::npos) << family;
    EXPECT_EQ(text.substr(text.size() - 6), "# EOF\n");
}

}  // namespace
