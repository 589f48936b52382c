#include "report/Treemap.h"

#include <algorithm>
#include <map>
#include <queue>

namespace vesk {

namespace {

// The worst aspect ratio of a row of areas (sum, extremes) laid along a side.
double WorstRatio(double sum, double smallest, double largest, double side) {
    double side2 = side * side, sum2 = sum * sum;
    return std::max(side2 * largest / sum2, sum2 / (side2 * smallest));
}

// What a GROUP cell stands for, by cell index (empty for other cells).
typedef std::vector<std::vector<TreemapNode>> GroupMembers;

// Lays out a parent's children inside inner; emits the kept children, the
// groups that "other" is split into (unless split is false), and one OTHER
// cell for the rest, each with the parent's index.
void LayoutSiblings(std::vector<TreemapNode> nodes, uint64_t total, const TreemapRect& inner, int parent,
                    int depth, const TreemapOptions& options, std::vector<TreemapCell>& cells, GroupMembers& members,
                    bool split = true) {
    nodes.erase(std::remove_if(nodes.begin(), nodes.end(), [](const TreemapNode& n) { return n.size == 0; }),
                nodes.end());
    std::sort(nodes.begin(), nodes.end(), [](const TreemapNode& a, const TreemapNode& b) { return a.size > b.size; });
    uint64_t childSum = 0;
    for (const TreemapNode& n : nodes) childSum += n.size;
    total = std::max(total, childSum);
    if (total == 0 || inner.Area() <= 0) return;

    double perByte = inner.Area() / static_cast<double>(total);
    size_t room = options.maxCells > cells.size() + 1 ? options.maxCells - cells.size() - 1 : 0;
    auto drawable = [&](uint64_t size) { return static_cast<double>(size) * perByte >= options.minArea; };
    size_t kept = 0;
    while (kept < nodes.size() && kept < options.maxChildren && kept < room && drawable(nodes[kept].size)) kept++;
    uint64_t keptSum = 0;
    for (size_t i = 0; i < kept; i++) keptSum += nodes[i].size;
    // A lone leftover is shown as itself rather than as "other".
    if (nodes.size() == kept + 1 && room > kept) kept++, keptSum += nodes.back().size;
    uint64_t otherSum = childSum - keptSum;

    // "Other" outweighing every sibling drawn, or too large to leave solid,
    // is split by group: the groups large enough to draw become cells of their own.
    struct Group {
        uint32_t group;
        uint64_t size = 0;
        std::vector<TreemapNode> nodes;
    };
    std::vector<Group> groups;
    double solid = options.solidShare * options.width * options.height;
    if (split && (otherSum > (kept > 0 ? nodes[0].size : 0) || static_cast<double>(otherSum) * perByte > solid)) {
        std::map<uint32_t, size_t> at;
        for (size_t i = kept; i < nodes.size(); i++) {
            if (nodes[i].group == TreemapNode::NO_GROUP) continue;
            auto found = at.emplace(nodes[i].group, groups.size());
            if (found.second) groups.push_back({nodes[i].group, 0, {}});
            groups[found.first->second].size += nodes[i].size;
            groups[found.first->second].nodes.push_back(nodes[i]);
        }
        std::stable_sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) { return a.size > b.size; });
        size_t shown = 0;
        while (shown < groups.size() && shown < options.maxChildren && kept + shown < room &&
               drawable(groups[shown].size))
            shown++;
        groups.resize(shown);
        for (const Group& g : groups) otherSum -= g.size;
    }
    size_t merged = nodes.size() - kept;
    for (const Group& g : groups) merged -= g.nodes.size();

    // Pieces: the kept children, the groups, "other", and the parent's own share (not drawn).
    enum : int64_t { PIECE_OTHER = -1, PIECE_OWN = -2, PIECE_GROUP = -3 };  // PIECE_GROUP - i: groups[i]
    struct Piece {
        uint64_t size;
        int64_t index;  // into nodes, or a PIECE_ value
    };
    std::vector<Piece> pieces;
    for (size_t i = 0; i < kept; i++) pieces.push_back({nodes[i].size, static_cast<int64_t>(i)});
    for (size_t i = 0; i < groups.size(); i++) pieces.push_back({groups[i].size, PIECE_GROUP - static_cast<int64_t>(i)});
    if (otherSum > 0) pieces.push_back({otherSum, PIECE_OTHER});
    if (total > childSum) pieces.push_back({total - childSum, PIECE_OWN});
    std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.size > b.size; });
    std::vector<double> sizes;
    for (const Piece& p : pieces) sizes.push_back(static_cast<double>(p.size));
    std::vector<TreemapRect> rects = Squarify(sizes, inner);
    for (size_t i = 0; i < pieces.size(); i++) {
        if (pieces[i].index == PIECE_OWN) continue;
        TreemapCell cell;
        cell.rect = rects[i];
        cell.size = pieces[i].size;
        cell.parent = parent;
        cell.depth = depth;
        members.emplace_back();
        if (pieces[i].index >= 0) {
            cell.node = nodes[pieces[i].index].node;
        } else if (pieces[i].index == PIECE_OTHER) {
            cell.merged = merged;
        } else {
            Group& g = groups[static_cast<size_t>(PIECE_GROUP - pieces[i].index)];
            cell.node = g.nodes.size() == 1 ? g.nodes[0].node : TreemapCell::GROUP;
            if (cell.node == TreemapCell::GROUP) {
                cell.group = g.group;
                cell.merged = g.nodes.size();
                members.back() = std::move(g.nodes);
            }
        }
        cells.push_back(cell);
    }
}

}  // namespace

std::vector<TreemapRect> Squarify(const std::vector<double>& sizes, const TreemapRect& bounds) {
    std::vector<TreemapRect> rects(sizes.size());
    double total = 0;
    for (double s : sizes) total += s;
    if (total <= 0) return rects;
    double scale = bounds.Area() / total;
    TreemapRect free = bounds;
    size_t start = 0;
    while (start < sizes.size()) {
        // Rows run along the shorter side of what is left.
        bool vertical = free.width >= free.height;  // a column at the left
        double side = vertical ? free.height : free.width;
        double sum = sizes[start] * scale, smallest = sum, largest = sum;
        size_t end = start + 1;
        while (end < sizes.size()) {
            double area = sizes[end] * scale;
            double nextSum = sum + area;
            if (side <= 0 || WorstRatio(nextSum, std::min(smallest, area), std::max(largest, area), side) >
                                 WorstRatio(sum, smallest, largest, side))
                break;
            sum = nextSum, smallest = std::min(smallest, area), largest = std::max(largest, area);
            end++;
        }
        // The last row takes what is left, so rounding never leaves a gap.
        double thickness = end == sizes.size() ? (vertical ? free.width : free.height) : (side > 0 ? sum / side : 0);
        double at = vertical ? free.y : free.x;
        for (size_t i = start; i < end; i++) {
            double length = sum > 0 ? side * sizes[i] * scale / sum : 0;
            rects[i] = vertical ? TreemapRect{free.x, at, thickness, length} : TreemapRect{at, free.y, length, thickness};
            at += length;
        }
        if (vertical) {
            free.x += thickness, free.width = std::max(0.0, free.width - thickness);
        } else {
            free.y += thickness, free.height = std::max(0.0, free.height - thickness);
        }
        start = end;
    }
    return rects;
}

std::vector<TreemapCell> LayoutTreemap(const std::vector<TreemapNode>& top, const TreemapChildren& children,
                                       const TreemapOptions& options) {
    std::vector<TreemapCell> cells;
    GroupMembers members;
    if (options.maxDepth < 1) return cells;
    LayoutSiblings(top, 0, TreemapRect{0, 0, options.width, options.height}, -1, 0, options, cells, members);

    // Larger cells are opened first, so the cap on cells takes detail from
    // the small ones; a cell too large to leave solid is opened at any depth.
    const double solid = options.solidShare * options.width * options.height;
    auto later = [&cells](int a, int b) { return cells[a].rect.Area() < cells[b].rect.Area(); };
    std::priority_queue<int, std::vector<int>, decltype(later)> open(later);
    for (size_t i = 0; i < cells.size(); i++) open.push(static_cast<int>(i));
    while (!open.empty() && cells.size() < options.maxCells) {
        int index = open.top();
        open.pop();
        const TreemapCell cell = cells[index];
        if (cell.node == TreemapCell::OTHER || (cell.depth + 1 >= options.maxDepth && cell.rect.Area() <= solid))
            continue;
        double pad = options.padding;
        TreemapRect inner{cell.rect.x + pad, cell.rect.y + options.labelBand, cell.rect.width - 2 * pad,
                          cell.rect.height - options.labelBand - pad};
        if (inner.width <= 0 || inner.height <= 0 || inner.Area() < 2 * options.minArea) continue;
        std::vector<TreemapNode> inside;
        bool split = true;
        if (cell.node != TreemapCell::GROUP) {
            inside = children(cell.node);
        } else {
            uint64_t held = 0;
            for (const TreemapNode& member : members[index]) {
                std::vector<TreemapNode> more = children(member.node);
                for (const TreemapNode& n : more) held += n.size;
                inside.insert(inside.end(), more.begin(), more.end());
            }
            // Members that hold little are drawn themselves, where one is
            // large enough; grouped again they would only nest in themselves.
            uint64_t largest = 0;
            for (const TreemapNode& member : members[index]) largest = std::max(largest, member.size);
            if (held < cell.size / 2 &&
                static_cast<double>(largest) * inner.Area() / static_cast<double>(cell.size) >= options.minArea) {
                inside = std::move(members[index]);
                split = false;
            }
            // Drawn now: its members are not needed again.
            std::vector<TreemapNode>().swap(members[index]);
        }
        size_t first = cells.size();
        LayoutSiblings(std::move(inside), cell.size, inner, index, cell.depth + 1, options, cells, members, split);
        for (size_t i = first; i < cells.size(); i++) open.push(static_cast<int>(i));
    }
    return cells;
}

}  // namespace vesk
