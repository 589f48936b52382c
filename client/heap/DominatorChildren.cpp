#include "heap/DominatorChildren.h"

namespace vesk {

DominatorChildren::DominatorChildren(const DominatorTree& tree, NodeId count)
    : top(count), offsets(static_cast<size_t>(count) + 1) {
    auto each = [&](auto with) {
        for (NodeId node = 0; node < count; node++) {
            NodeId d = tree.Dominator(node);
            if (d != NO_NODE) with(d == DominatorTree::VIRTUAL_ROOT ? top : d, node);
        }
    };
    each([&](size_t parent, NodeId) { offsets.Lengthen(parent); });
    kids.resize(offsets.Seal());
    RunOffsets::Placer placer(offsets);
    each([&](size_t parent, NodeId node) { kids[placer.Place(parent)] = node; });
}

}  // namespace vesk
