#include "heap/DominatorChildren.h"

#include <algorithm>
#include <unordered_map>

namespace vesk {

DominatorChildren::DominatorChildren(const DominatorTree& tree, NodeId count)
    : top(count), counts(static_cast<size_t>(count) + 1, 0) {
    const size_t NONE = SIZE_MAX;
    auto slot = [&](NodeId node) -> size_t {
        NodeId d = tree.Dominator(node);
        return d == NO_NODE ? NONE : d == DominatorTree::VIRTUAL_ROOT ? top : d;
    };
    std::unordered_map<uint32_t, uint32_t> large;
    for (NodeId node = 0; node < count; node++) {
        size_t parent = slot(node);
        if (parent == NONE) continue;
        if (counts[parent] != MANY) {
            if (++counts[parent] == MANY) large[static_cast<uint32_t>(parent)] = MANY;
        } else {
            large[static_cast<uint32_t>(parent)]++;
        }
    }
    for (const auto& entry : large) many.push_back({entry.first, entry.second});
    std::sort(many.begin(), many.end(), [](const Many& a, const Many& b) { return a.slot < b.slot; });
    blockStarts.assign(counts.size() / BLOCK + 1, 0);
    uint32_t total = 0;
    for (size_t s = 0; s < counts.size(); s++) {
        if (s % BLOCK == 0) blockStarts[s / BLOCK] = total;
        total += static_cast<uint32_t>(Count(s));
    }
    kids.resize(total);
    // How many of each slot's children are placed, counted the same way.
    std::vector<uint8_t> placed(counts.size(), 0);
    std::unordered_map<uint32_t, uint32_t> placedMany;
    for (NodeId node = 0; node < count; node++) {
        size_t parent = slot(node);
        if (parent == NONE) continue;
        size_t at = Start(parent);
        if (placed[parent] != MANY) {
            at += placed[parent]++;
        } else {
            at += placedMany[static_cast<uint32_t>(parent)]++;
        }
        kids[at] = node;
        if (placed[parent] == MANY) placedMany.emplace(static_cast<uint32_t>(parent), MANY);
    }
}

const DominatorChildren::Many& DominatorChildren::ManyOf(size_t slot) const {
    return *std::lower_bound(many.begin(), many.end(), slot,
                             [](const Many& m, size_t s) { return m.slot < s; });
}

}  // namespace vesk
