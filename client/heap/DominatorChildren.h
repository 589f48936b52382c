// The children of every node of a dominator tree, for walks down it: CSR
// arrays of 8 bytes per node (4 of them per reachable node), each node's
// children in ascending order, the virtual root's after all the nodes'.
// Built in two passes over the tree; read-only afterwards, safe to read from
// several threads. The tree must outlive it only while it is being built.
#pragma once

#include <cstdint>
#include <vector>

#include "heap/DominatorTree.h"

namespace vesk {

class DominatorChildren {
public:
    DominatorChildren(const DominatorTree& tree, NodeId count);

    // node: a graph's node, or DominatorTree::VIRTUAL_ROOT.
    const NodeId* Begin(NodeId node) const { return kids.data() + first[Slot(node)]; }
    const NodeId* End(NodeId node) const { return kids.data() + first[Slot(node) + 1]; }

private:
    size_t Slot(NodeId node) const { return node == DominatorTree::VIRTUAL_ROOT ? top : node; }

    size_t top;  // the virtual root's slot
    std::vector<uint32_t> first;
    std::vector<NodeId> kids;
};

}  // namespace vesk
