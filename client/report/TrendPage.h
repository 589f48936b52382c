// The page of vesk watch --report: for each class flagged as growing, its
// bytes over the samples as an inline SVG chart, and the heap used beside
// them; self-contained, in the style of the report page, with no script.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vesk {

struct TrendLine {
    std::string name;
    std::vector<int64_t> values;  // one per sample
};

struct TrendContent {
    std::string title;
    std::vector<int64_t> times;     // ms since the epoch, one per sample
    std::vector<int64_t> heapUsed;  // one per sample
    std::vector<TrendLine> classes; // the flagged classes' bytes, most grown first
};

std::string RenderTrendPage(const TrendContent& content);

}  // namespace vesk
