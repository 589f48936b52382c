// Nested squarified treemap of a tree whose nodes carry sizes (a dominator
// tree with retained bytes): rectangles whose areas are proportional to the
// sizes of siblings, children drawn inside their parent below a label band.
// Small siblings are merged into one "other" cell per parent, split by class
// when it would outweigh every sibling drawn or be over solidShare of the
// map; the number of cells is capped,
// so the drawing stays small whatever the tree's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace vesk {

struct TreemapRect {
    double x = 0, y = 0, width = 0, height = 0;
    double Area() const { return width * height; }
};

struct TreemapNode {
    static constexpr uint32_t NO_GROUP = UINT32_MAX;

    int64_t node;   // the caller's identifier
    uint64_t size;  // includes the sizes of the node's children
    uint32_t group = NO_GROUP;  // the caller's class of the node; merged siblings are split by it
};

struct TreemapCell {
    static constexpr int64_t OTHER = -1;
    static constexpr int64_t GROUP = -2;

    TreemapRect rect;
    // OTHER for a cell standing for merged siblings, GROUP for merged
    // siblings of one group, drawn with their children inside.
    int64_t node = OTHER;
    uint32_t group = TreemapNode::NO_GROUP;  // a GROUP cell's
    uint64_t size = 0;
    size_t merged = 0;     // siblings an OTHER or GROUP cell stands for
    int parent = -1;       // index of the enclosing cell; -1 at the top level
    int depth = 0;         // 0 at the top level
};

struct TreemapOptions {
    double width = 1200, height = 640;
    int maxDepth = 5;          // levels drawn, the top level included...
    double solidShare = 0.05;  // ...but a cell over this share of the map is opened at any depth
    size_t maxCells = 1500;
    size_t maxChildren = 24;   // kept per parent before the rest is merged
    double minArea = 300;      // smaller siblings are merged into "other"
    double labelBand = 15;     // kept at the top of a cell that shows children
    double padding = 2;
};

// Children of a node, in any order.
typedef std::function<std::vector<TreemapNode>(int64_t node)> TreemapChildren;

// Lays out the top-level nodes in the whole area, then their children,
// larger cells first, until maxDepth (but for cells over solidShare) or
// maxCells. A GROUP cell holds the children of all its nodes. A node's own
// share (its size minus its children's) stays empty inside it. Cells come
// parent before child; nodes of size 0 are left out.
std::vector<TreemapCell> LayoutTreemap(const std::vector<TreemapNode>& top, const TreemapChildren& children,
                                       const TreemapOptions& options);

// Squarified layout (Bruls, Huizing, van Wijk) of sizes sorted in descending
// order into bounds: one rectangle per size, areas proportional to the sizes
// and filling bounds.
std::vector<TreemapRect> Squarify(const std::vector<double>& sizes, const TreemapRect& bounds);

}  // namespace vesk
