#include "heap/EdgeOffsets.h"

#include <algorithm>
#include <utility>

namespace vesk {

uint64_t EdgeOffsets::Wrapped(NodeId node) const {
    uint64_t high = static_cast<uint64_t>(std::upper_bound(wraps.begin(), wraps.end(), node) - wraps.begin());
    return high << 32 | low[node];
}

uint64_t EdgeOffsets::Sum() {
    uint64_t sum = 0;
    Restart();
    for (size_t n = 0; n < low.size(); n++) {
        uint32_t count = low[n];
        Put(n, sum);
        sum += count;
    }
    return sum;
}

void EdgeOffsets::Take(std::vector<uint32_t> offsets) {
    low = std::move(offsets);
    Restart();
}

void EdgeOffsets::Take(const std::vector<uint64_t>& offsets) {
    low.resize(offsets.size());
    Restart();
    for (size_t n = 0; n < offsets.size(); n++) Put(n, offsets[n]);
}

}  // namespace vesk
