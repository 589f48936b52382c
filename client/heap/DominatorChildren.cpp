#include "heap/DominatorChildren.h"

namespace vesk {

DominatorChildren::DominatorChildren(const DominatorTree& tree, NodeId count)
    : top(count), first(static_cast<size_t>(count) + 3, 0) {
    auto slot = [&](NodeId node) -> size_t {
        NodeId d = tree.Dominator(node);
        return d == NO_NODE ? SIZE_MAX : d == DominatorTree::VIRTUAL_ROOT ? top : d;
    };
    for (NodeId node = 0; node < count; node++) {
        size_t parent = slot(node);
        if (parent != SIZE_MAX) first[parent + 2]++;
    }
    for (size_t i = 2; i < first.size(); i++) first[i] += first[i - 1];
    kids.resize(first.back());
    // Placing moves each start one slot down, to where it belongs: no copy of the starts.
    for (NodeId node = 0; node < count; node++) {
        size_t parent = slot(node);
        if (parent != SIZE_MAX) kids[first[parent + 1]++] = node;
    }
}

}  // namespace vesk
