#include "heap/RunOffsets.h"

#include <algorithm>
#include <cstring>

namespace vesk {

RunOffsets::RunOffsets(size_t runs) : lengths((runs + BLOCK - 1) / BLOCK * BLOCK, 0) {}

uint64_t RunOffsets::Seal() {
    for (const auto& entry : counting) longs.push_back({entry.first, entry.second});
    counting = {};
    std::sort(longs.begin(), longs.end(), [](const Long& a, const Long& b) { return a.run < b.run; });
    blockStarts.assign(lengths.size() / BLOCK + 1, 0);
    uint64_t total = 0;
    for (size_t block = 0; block < lengths.size() / BLOCK; block++) {
        blockStarts[block] = total;
        bool hasLong = false;
        for (size_t run = block * BLOCK; run < (block + 1) * BLOCK; run++) {
            hasLong |= lengths[run] == LONG;
            total += Length(run);
        }
        if (hasLong) blockStarts[block] |= HAS_LONG;
    }
    blockStarts.back() = total;
    return total;
}

uint64_t RunOffsets::ShortSum(const uint8_t* bytes, size_t count) {
    const uint64_t EVEN = 0x00FF00FF00FF00FFull;
    uint64_t lanes = 0;  // four lanes of at most 4 * 510
    for (size_t at = 0; at < count; at += 8) {
        uint64_t word;
        memcpy(&word, bytes + at, sizeof word);
        if (count - at < 8) word &= (uint64_t{1} << (8 * (count - at))) - 1;  // little-endian: the first bytes low
        lanes += (word & EVEN) + (word >> 8 & EVEN);
    }
    return lanes * 0x0001000100010001ull >> 48;
}

uint64_t RunOffsets::SlowSum(size_t first, size_t end) const {
    uint64_t sum = 0;
    for (size_t run = first; run < end; run++) sum += Length(run);
    return sum;
}

uint64_t RunOffsets::LongLength(size_t run) const {
    return std::lower_bound(longs.begin(), longs.end(), run, [](const Long& l, size_t r) { return l.run < r; })->length;
}

}  // namespace vesk
