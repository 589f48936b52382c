// Which classes keep growing across a series of class histograms taken one
// after another (vesk watch). A class is flagged as growing when, over the
// window (the last K samples, fewer while fewer have come, at least
// MIN_SAMPLES), its bytes rose in at least RISE_SHARE of the intervals and
// by at least HEAP_SHARE of the heap used at the window's first sample.
// Classes of the same name (other class loaders) count as one; a class
// absent from a sample counts 0 bytes there. Memory stays bounded: per class
// only the last max(K, HISTORY) samples and the first one are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "heap/HeapGraph.h"

namespace vesk {

class ClassGrowth {
public:
    static constexpr size_t DEFAULT_WINDOW = 10;
    static constexpr size_t MIN_SAMPLES = 3;
    static constexpr double RISE_SHARE = 0.8;
    static constexpr double HEAP_SHARE = 0.01;
    // Samples kept for a trend line.
    static constexpr size_t HISTORY = 20;

    // window: K, at least 2.
    explicit ClassGrowth(size_t window = DEFAULT_WINDOW);

    // classes: instances and bytes per class (retained is not read).
    void Add(int64_t heapUsed, const std::vector<ClassTotals>& classes);
    size_t Samples() const { return samples; }

    struct Row {
        std::string name;
        int64_t instances = 0;  // in the last sample
        int64_t bytes = 0;      // in the last sample
        int64_t change = 0;     // bytes since the first sample (0 there for a class that came later)
        int64_t windowRise = 0; // bytes since the window's first sample
        bool growing = false;
        std::vector<int64_t> recent;  // bytes in the last HISTORY samples at most, oldest first
    };
    // Every class seen so far: the growing ones first, by their rise over the
    // window, then by change since the first sample, largest first, then by name.
    std::vector<Row> Rows() const;
    // The growing classes' names, in Rows' order.
    std::vector<std::string> Growing() const;

private:
    struct Series {
        int64_t first = 0;
        int64_t instances = 0;
        std::deque<int64_t> bytes;  // one per kept sample
    };
    bool IsGrowing(const Series& series) const;

    size_t window;
    size_t keep;
    size_t samples = 0;
    std::deque<int64_t> heapUsed;  // one per kept sample
    std::map<std::string, Series> classes;
};

}  // namespace vesk
