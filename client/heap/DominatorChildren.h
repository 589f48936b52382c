// The children of every node of a dominator tree, for walks down it: each
// node's children in ascending order, the virtual root's after all the
// nodes'. About 5.3 bytes per node: the children (4 bytes each) and where
// each node's begin (RunOffsets). Building it takes a byte per node more.
// Read-only once built, safe to read from several threads; the tree is
// needed only while it is built.
#pragma once

#include <cstdint>
#include <vector>

#include "heap/DominatorTree.h"
#include "heap/RunOffsets.h"

namespace vesk {

class DominatorChildren {
public:
    DominatorChildren(const DominatorTree& tree, NodeId count);

    // node: a graph's node, or DominatorTree::VIRTUAL_ROOT.
    const NodeId* Begin(NodeId node) const { return kids.data() + offsets.Start(Slot(node)); }
    const NodeId* End(NodeId node) const {
        size_t slot = Slot(node);
        return kids.data() + offsets.Start(slot) + offsets.Length(slot);
    }

private:
    size_t Slot(NodeId node) const { return node == DominatorTree::VIRTUAL_ROOT ? top : node; }

    size_t top;  // the virtual root's slot
    RunOffsets offsets;  // by slot
    std::vector<NodeId> kids;
};

}  // namespace vesk
