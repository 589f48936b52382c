// The children of every node of a dominator tree, for walks down it: each
// node's children in ascending order, the virtual root's after all the
// nodes'. About 5 bytes per node: the children (4 bytes each), a byte per
// node for how many it has (a few hundred thousand and more kept apart), and
// where each run of 32 nodes' children starts. Building it takes a byte per
// node more. Read-only once built, safe to read from several threads; the
// tree is needed only while it is built.
#pragma once

#include <cstdint>
#include <vector>

#include "heap/DominatorTree.h"

namespace vesk {

class DominatorChildren {
public:
    DominatorChildren(const DominatorTree& tree, NodeId count);

    // node: a graph's node, or DominatorTree::VIRTUAL_ROOT.
    const NodeId* Begin(NodeId node) const { return kids.data() + Start(Slot(node)); }
    const NodeId* End(NodeId node) const {
        size_t slot = Slot(node);
        return kids.data() + Start(slot) + Count(slot);
    }

private:
    static constexpr size_t BLOCK = 32;
    // A count of this or more is kept in many.
    static constexpr uint8_t MANY = UINT8_MAX;
    struct Many {
        uint32_t slot;
        uint32_t count;
    };

    size_t Slot(NodeId node) const { return node == DominatorTree::VIRTUAL_ROOT ? top : node; }
    size_t Count(size_t slot) const { return counts[slot] != MANY ? counts[slot] : ManyOf(slot).count; }
    size_t Start(size_t slot) const {
        size_t start = blockStarts[slot / BLOCK];
        for (size_t s = slot - slot % BLOCK; s < slot; s++) start += Count(s);
        return start;
    }
    const Many& ManyOf(size_t slot) const;

    size_t top;                    // the virtual root's slot
    std::vector<uint8_t> counts;   // by slot
    std::vector<Many> many;        // by slot
    std::vector<uint32_t> blockStarts;
    std::vector<NodeId> kids;
};

}  // namespace vesk
