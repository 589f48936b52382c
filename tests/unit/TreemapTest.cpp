#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "report/Treemap.h"

using vesk::LayoutTreemap;
using vesk::TreemapCell;
using vesk::TreemapNode;
using vesk::TreemapOptions;
using vesk::TreemapRect;

namespace {

bool Inside(const TreemapRect& inner, const TreemapRect& outer) {
    const double e = 1e-6;
    return inner.x >= outer.x - e && inner.y >= outer.y - e && inner.x + inner.width <= outer.x + outer.width + e &&
           inner.y + inner.height <= outer.y + outer.height + e;
}

bool Overlap(const TreemapRect& a, const TreemapRect& b) {
    const double e = 1e-6;
    return a.x + e < b.x + b.width && b.x + e < a.x + a.width && a.y + e < b.y + b.height && b.y + e < a.y + a.height;
}

// A tree given as parent -> children.
struct Tree {
    std::map<int64_t, std::vector<TreemapNode>> children;
    std::vector<TreemapNode> Children(int64_t node) const {
        auto it = children.find(node);
        return it == children.end() ? std::vector<TreemapNode>() : it->second;
    }
};

}  // namespace

TEST(Treemap, SquarifyFillsTheBoundsWithAreasProportionalToSizesAndNoOverlap) {
    std::vector<double> sizes = {6, 6, 4, 3, 2, 2, 1};  // the sizes of the squarified-treemap paper
    TreemapRect bounds{10, 20, 6, 4};
    std::vector<TreemapRect> rects = vesk::Squarify(sizes, bounds);
    ASSERT_EQ(rects.size(), sizes.size());
    for (size_t i = 0; i < rects.size(); i++) {
        EXPECT_NEAR(rects[i].Area(), sizes[i], 1e-9) << i;
        EXPECT_TRUE(Inside(rects[i], bounds)) << i;
        for (size_t j = 0; j < i; j++) EXPECT_FALSE(Overlap(rects[i], rects[j])) << i << " " << j;
    }
    // Squarified: no rectangle of this set is worse than 3:1.
    for (const TreemapRect& r : rects) EXPECT_LE(std::max(r.width / r.height, r.height / r.width), 3.0);
}

TEST(Treemap, NestedCellsProportionalWithinTheirParentAndTheParentsOwnShareLeftEmpty) {
    Tree tree;
    // Node 1 retains 1000: children of 500 and 300, 200 of its own.
    tree.children[1] = {{11, 300}, {10, 500}};
    TreemapOptions options;
    options.width = 400, options.height = 300, options.minArea = 1, options.labelBand = 10, options.padding = 2;
    std::vector<TreemapCell> cells =
        LayoutTreemap({{1, 1000}, {2, 1000}}, [&](int64_t n) { return tree.Children(n); }, options);
    ASSERT_EQ(cells.size(), 4u);
    EXPECT_NEAR(cells[0].rect.Area() + cells[1].rect.Area(), 400.0 * 300, 1e-6);
    EXPECT_NEAR(cells[0].rect.Area(), cells[1].rect.Area(), 1e-6);
    const TreemapCell& parent = cells[0].node == 1 ? cells[0] : cells[1];
    double inner = (parent.rect.width - 4) * (parent.rect.height - 12);
    std::map<int64_t, const TreemapCell*> byNode;
    for (const TreemapCell& c : cells) byNode[c.node] = &c;
    ASSERT_TRUE(byNode.count(10) && byNode.count(11));
    for (int64_t child : {10, 11}) {
        const TreemapCell& c = *byNode[child];
        EXPECT_EQ(c.depth, 1);
        EXPECT_EQ(&cells[c.parent], &parent);
        EXPECT_NEAR(c.rect.Area(), inner * static_cast<double>(c.size) / 1000, 1e-6);
        EXPECT_TRUE(Inside(c.rect, parent.rect));
        EXPECT_GE(c.rect.y, parent.rect.y + 10 - 1e-9);  // below the label band
    }
    EXPECT_FALSE(Overlap(byNode[10]->rect, byNode[11]->rect));
}

TEST(Treemap, SmallSiblingsMergeIntoOneOtherPerParentAndTheCellCapHolds) {
    Tree tree;
    std::vector<TreemapNode> top = {{1, 50000}};
    for (int64_t i = 0; i < 2000; i++) top.push_back({100 + i, 10});  // far too small to draw
    for (int64_t i = 0; i < 60; i++) tree.children[1].push_back({1000 + i, 800});
    TreemapOptions options;
    options.width = 800, options.height = 600, options.maxChildren = 24;
    std::vector<TreemapCell> cells = LayoutTreemap(top, [&](int64_t n) { return tree.Children(n); }, options);

    std::map<int, std::vector<const TreemapCell*>> byParent;
    for (const TreemapCell& c : cells) byParent[c.parent].push_back(&c);
    // Top level: node 1 and one "other" for the 2000 small nodes, sized by their sum.
    ASSERT_EQ(byParent[-1].size(), 2u);
    const TreemapCell& other = *byParent[-1][1];
    EXPECT_EQ(other.node, TreemapCell::OTHER);
    EXPECT_EQ(other.merged, 2000u);
    EXPECT_EQ(other.size, 20000u);
    EXPECT_NEAR(other.rect.Area() / byParent[-1][0]->rect.Area(), 20000.0 / 50000, 1e-6);
    // Inside node 1: at most maxChildren children, then one "other" for the rest.
    const std::vector<const TreemapCell*>& inner = byParent[0];
    ASSERT_EQ(inner.size(), 25u);
    size_t others = 0;
    for (const TreemapCell* c : inner) {
        if (c->node == TreemapCell::OTHER) {
            others++;
            EXPECT_EQ(c->merged, 36u);
            EXPECT_EQ(c->size, 36u * 800);
        }
    }
    EXPECT_EQ(others, 1u);

    options.maxCells = 10;
    cells = LayoutTreemap(top, [&](int64_t n) { return tree.Children(n); }, options);
    EXPECT_LE(cells.size(), 10u);
    uint64_t shown = 0;  // the top level still accounts for every byte
    for (const TreemapCell& c : cells)
        if (c.parent < 0) shown += c.size;
    EXPECT_EQ(shown, 70000u);
}

TEST(Treemap, DepthIsLimitedAndEmptyNodesAreLeftOut) {
    Tree tree;
    for (int64_t i = 1; i < 10; i++) tree.children[i] = {{i + 1, 1000 - 10 * static_cast<uint64_t>(i)}, {99, 0}};
    TreemapOptions options;
    options.maxDepth = 3, options.minArea = 1, options.solidShare = 1;
    std::vector<TreemapCell> cells = LayoutTreemap({{1, 1000}}, [&](int64_t n) { return tree.Children(n); }, options);
    ASSERT_EQ(cells.size(), 3u);
    for (size_t i = 0; i < cells.size(); i++) {
        EXPECT_EQ(cells[i].depth, static_cast<int>(i));
        EXPECT_EQ(cells[i].node, static_cast<int64_t>(i) + 1);
        EXPECT_EQ(cells[i].parent, static_cast<int>(i) - 1);
    }
}

// A deep tree: a chain of holders 12 levels down, each also holding a few
// mid-sized objects, and at the bottom a table of 20,000 small entries of two
// classes, each entry holding a leaf of its own.
TEST(Treemap, ALargeBlockIsSubdividedAtAnyDepthAndOthersSplitByClass) {
    Tree tree;
    const int64_t LEVELS = 12, ENTRIES = 20000, ENTRY = 100, LEAF = 60;
    const uint32_t ENTRY_A = 1, ENTRY_B = 2, LEAF_CLASS = 3, HOLDER = 4;
    uint64_t bottom = ENTRIES * (ENTRY + LEAF);
    std::vector<TreemapNode>& table = tree.children[1000];
    for (int64_t e = 0; e < ENTRIES; e++) {
        int64_t entry = 100000 + e;
        table.push_back({entry, ENTRY + LEAF, e % 4 == 0 ? ENTRY_B : ENTRY_A});
        tree.children[entry] = {{200000 + e, LEAF, LEAF_CLASS}};
    }
    uint64_t below = bottom + 16;  // the table's own array
    for (int64_t level = LEVELS; level >= 1; level--) {
        std::vector<TreemapNode>& held = tree.children[level];
        held.push_back({level == LEVELS ? 1000 : level + 1, below, HOLDER});
        for (int64_t k = 0; k < 3; k++) held.push_back({level * 10000 + k, below / 200, HOLDER});
        below = below + 3 * (below / 200) + 24;
    }
    TreemapOptions options;
    std::vector<TreemapCell> cells = LayoutTreemap({{1, below, HOLDER}}, [&](int64_t n) { return tree.Children(n); },
                                                   options);
    ASSERT_LE(cells.size(), options.maxCells);
    std::vector<bool> opened(cells.size(), false);
    for (const TreemapCell& c : cells)
        if (c.parent >= 0) opened[static_cast<size_t>(c.parent)] = true;
    // Past maxDepth, down to the table and into its entries.
    int deepest = 0;
    for (const TreemapCell& c : cells) deepest = std::max(deepest, c.depth);
    EXPECT_GT(deepest, options.maxDepth);
    // The entries outweigh every sibling: drawn as one cell per class, the
    // larger class first, each holding its entries' leaves.
    std::map<uint32_t, const TreemapCell*> groups;
    for (const TreemapCell& c : cells)
        if (c.node == TreemapCell::GROUP) groups[c.group] = &c;
    ASSERT_TRUE(groups.count(ENTRY_A) && groups.count(ENTRY_B));
    EXPECT_EQ(groups[ENTRY_A]->merged, 15000u);
    EXPECT_EQ(groups[ENTRY_A]->size, 15000u * (ENTRY + LEAF));
    EXPECT_EQ(groups[ENTRY_B]->merged, 5000u);
    bool leavesInside = false;
    for (const TreemapCell& c : cells)
        leavesInside |= c.node == TreemapCell::GROUP && c.group == LEAF_CLASS && cells[c.parent].group == ENTRY_A;
    EXPECT_TRUE(leavesInside);
    // No cell that could be subdivided is left solid over 5 % of the map:
    // only the leaves' cells are solid, and what is left over.
    double map = options.width * options.height, largest = 0;
    for (size_t i = 0; i < cells.size(); i++) {
        const TreemapCell& c = cells[i];
        if (opened[i] || (c.node == TreemapCell::GROUP && c.group == LEAF_CLASS)) continue;
        largest = std::max(largest, c.rect.Area() / map);
    }
    EXPECT_LE(largest, 0.05);
}

TEST(Treemap, OthersTooLargeToLeaveSolidAreSplitByClassThoughASiblingOutweighsThem) {
    std::vector<TreemapNode> top = {{1, 50000}};
    for (int64_t i = 0; i < 2000; i++) top.push_back({100 + i, 10, static_cast<uint32_t>(i % 2)});
    TreemapOptions options;
    options.width = 800, options.height = 600;
    std::vector<TreemapCell> cells = LayoutTreemap(top, [](int64_t) { return std::vector<TreemapNode>(); }, options);
    ASSERT_EQ(cells.size(), 3u);
    for (const TreemapCell& c : cells) {
        if (c.node == 1) continue;
        EXPECT_EQ(c.node, TreemapCell::GROUP);
        EXPECT_EQ(c.merged, 1000u);
        EXPECT_EQ(c.size, 10000u);
    }

    // Leaves large enough to draw are drawn inside their group, not nested in it again.
    top = {{1, 50000}};
    for (int64_t i = 0; i < 60; i++) top.push_back({100 + i, 500, 7});
    cells = LayoutTreemap(top, [](int64_t) { return std::vector<TreemapNode>(); }, options);
    int group = -1;
    size_t inside = 0;
    for (size_t i = 0; i < cells.size(); i++) {
        if (cells[i].node == TreemapCell::GROUP) group = static_cast<int>(i);
        if (group >= 0 && cells[i].parent == group) {
            EXPECT_NE(cells[i].node, TreemapCell::GROUP);
            inside += cells[i].node >= 0;
        }
    }
    ASSERT_GE(group, 0);
    EXPECT_EQ(cells[group].merged, 37u);  // node 1 and 23 leaves are kept
    EXPECT_GT(inside, 0u);
}
