#include "heap/ClassGrowth.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>

namespace vesk {

ClassGrowth::ClassGrowth(size_t window) : window(window), keep(std::max(window, HISTORY)) {
    if (window < 2) throw std::invalid_argument("a growth window needs two samples");
}

void ClassGrowth::Add(int64_t used, const std::vector<ClassTotals>& sample) {
    std::map<std::string, ClassTotals> now;
    for (const ClassTotals& cls : sample) {
        ClassTotals& sum = now[cls.name];
        sum.instances += cls.instances;
        sum.bytes += cls.bytes;
    }
    size_t kept = heapUsed.size();
    for (const auto& [name, cls] : now) {
        auto [it, added] = classes.try_emplace(name);
        // A class first seen now had no bytes in the samples before.
        if (added) it->second.bytes.assign(kept, 0);
    }
    for (auto& [name, series] : classes) {
        auto found = now.find(name);
        int64_t bytes = found == now.end() ? 0 : found->second.bytes;
        series.instances = found == now.end() ? 0 : found->second.instances;
        if (samples == 0) series.first = bytes;
        series.bytes.push_back(bytes);
        if (series.bytes.size() > keep) series.bytes.pop_front();
    }
    heapUsed.push_back(used);
    if (heapUsed.size() > keep) heapUsed.pop_front();
    samples++;
}

bool ClassGrowth::IsGrowing(const Series& series) const {
    size_t n = std::min(window, series.bytes.size());
    if (n < MIN_SAMPLES) return false;
    size_t start = series.bytes.size() - n;
    size_t rises = 0;
    for (size_t i = start + 1; i < series.bytes.size(); i++)
        if (series.bytes[i] > series.bytes[i - 1]) rises++;
    double intervals = static_cast<double>(n - 1);
    int64_t rise = series.bytes.back() - series.bytes[start];
    int64_t used = heapUsed[heapUsed.size() - n];
    return static_cast<double>(rises) >= RISE_SHARE * intervals && rise > 0 &&
           static_cast<double>(rise) >= HEAP_SHARE * static_cast<double>(used);
}

std::vector<ClassGrowth::Row> ClassGrowth::Rows() const {
    std::vector<Row> rows;
    rows.reserve(classes.size());
    for (const auto& [name, series] : classes) {
        Row row;
        row.name = name;
        row.instances = series.instances;
        row.bytes = series.bytes.empty() ? 0 : series.bytes.back();
        row.change = row.bytes - series.first;
        size_t n = std::min(window, series.bytes.size());
        row.windowRise = n ? row.bytes - series.bytes[series.bytes.size() - n] : 0;
        row.growing = IsGrowing(series);
        size_t from = series.bytes.size() > HISTORY ? series.bytes.size() - HISTORY : 0;
        row.recent.assign(series.bytes.begin() + static_cast<std::ptrdiff_t>(from), series.bytes.end());
        rows.push_back(std::move(row));
    }
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        if (a.growing != b.growing) return a.growing;
        if (a.growing && a.windowRise != b.windowRise) return a.windowRise > b.windowRise;
        return std::tie(b.change, a.name) < std::tie(a.change, b.name);
    });
    return rows;
}

std::vector<std::string> ClassGrowth::Growing() const {
    std::vector<std::string> names;
    for (const Row& row : Rows())
        if (row.growing) names.push_back(row.name);
    return names;
}

}  // namespace vesk
