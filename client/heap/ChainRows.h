// The largest objects of a dominator tree as `vesk top` lists them: a chain
// in which each object retains at least 90 % of the one that dominates it
// (a B-tree's levels, a collection and its array, as MAT folds them) is one
// row, its top and where it ends.
#pragma once

#include <cstddef>
#include <vector>

#include "heap/DominatorTree.h"

namespace vesk {

struct ChainRow {
    NodeId top;
    NodeId end;  // top itself for an object alone
    int depth;   // levels from top to end
};

// The count largest rows, by the top's retained size, largest first.
std::vector<ChainRow> ChainRows(const DominatorTree& tree, size_t count);

}  // namespace vesk
