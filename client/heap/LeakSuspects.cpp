#include "heap/LeakSuspects.h"

#include <algorithm>
#include <memory>

#include "heap/DominatorChildren.h"

namespace vesk {

namespace {

// MAT's accumulation rule: the walk goes on while one child keeps this much.
constexpr double ACCUMULATION_SHARE = 0.7;

// Adds what point's subtree (point itself left out) holds, by class, to
// held; active counts the instances of each class on the current branch.
void AddHeld(const HeapGraph& graph, const DominatorTree& tree, const DominatorChildren& children, NodeId point,
             std::vector<HeldClass>& held, std::vector<uint32_t>& active) {
    struct Level {
        const NodeId* next;
        const NodeId* end;
        uint32_t cls;
    };
    std::vector<Level> stack{{children.Begin(point), children.End(point), NO_CLASS}};
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.end) {
            if (level.cls != NO_CLASS) active[level.cls]--;
            stack.pop_back();
            continue;
        }
        NodeId node = *level.next++;
        uint32_t cls = graph.ClassOf(node);
        if (cls != NO_CLASS) {
            held[cls].instances++;
            if (active[cls]++ == 0) held[cls].retained += tree.Retained(node);
        }
        stack.push_back({children.Begin(node), children.End(node), cls});
    }
}

std::vector<HeldClass> Largest(const HeapGraph& graph, std::vector<HeldClass>& held, size_t n) {
    std::vector<HeldClass> rows;
    for (size_t cls = 0; cls < held.size(); cls++) {
        if (held[cls].instances == 0) continue;
        rows.push_back({graph.Classes()[cls].name, held[cls].instances, held[cls].retained});
        held[cls] = HeldClass();
    }
    std::sort(rows.begin(), rows.end(), [](const HeldClass& a, const HeldClass& b) {
        return a.retained != b.retained ? a.retained > b.retained : a.name < b.name;
    });
    if (rows.size() > n) rows.resize(n);
    return rows;
}

}  // namespace

NodeId AccumulationPoint(const DominatorTree& tree, const DominatorChildren& children, NodeId node) {
    for (;;) {
        NodeId largest = NO_NODE;
        for (const NodeId* c = children.Begin(node); c < children.End(node); c++)
            if (largest == NO_NODE || tree.Retained(*c) > tree.Retained(largest)) largest = *c;
        if (largest == NO_NODE || tree.Retained(largest) < ACCUMULATION_SHARE * tree.Retained(node)) return node;
        node = largest;
    }
}

std::vector<LeakSuspect> FindSuspects(const HeapGraph& graph, const DominatorTree& tree, double threshold,
                                      size_t maxSuspects, size_t holds, const DominatorChildren* lentChildren,
                                      const PathFinder* lentPaths) {
    const NodeId count = graph.NodeCount();
    const double limit = threshold * static_cast<double>(tree.ReachableBytes());
    std::vector<LeakSuspect> suspects;
    struct ClassSum {
        int64_t instances = 0;
        uint64_t retained = 0;
        NodeId largest = NO_NODE;
    };
    std::vector<ClassSum> sums(graph.Classes().size());
    for (NodeId node = 0; node < count; node++) {
        if (tree.Dominator(node) != DominatorTree::VIRTUAL_ROOT) continue;
        if (static_cast<double>(tree.Retained(node)) > limit) {
            LeakSuspect suspect;
            suspect.node = node;
            suspect.retained = tree.Retained(node);
            suspects.push_back(std::move(suspect));
            continue;
        }
        uint32_t cls = graph.ClassOf(node);
        if (cls == NO_CLASS) continue;
        ClassSum& sum = sums[cls];
        sum.instances++;
        sum.retained += tree.Retained(node);
        if (sum.largest == NO_NODE || tree.Retained(node) > tree.Retained(sum.largest)) sum.largest = node;
    }
    for (uint32_t cls = 0; cls < sums.size(); cls++) {
        // One instance over the limit is an object suspect already.
        if (sums[cls].instances < 2 || static_cast<double>(sums[cls].retained) <= limit) continue;
        LeakSuspect suspect;
        suspect.byClass = true;
        suspect.cls = cls;
        suspect.node = sums[cls].largest;
        suspect.instances = sums[cls].instances;
        suspect.retained = sums[cls].retained;
        suspects.push_back(std::move(suspect));
    }
    std::sort(suspects.begin(), suspects.end(), [](const LeakSuspect& a, const LeakSuspect& b) {
        return a.retained != b.retained ? a.retained > b.retained : a.node < b.node;
    });
    if (suspects.size() > maxSuspects) suspects.resize(maxSuspects);
    if (suspects.empty()) return suspects;

    {
        std::unique_ptr<DominatorChildren> ownChildren;
        if (!lentChildren) ownChildren = std::make_unique<DominatorChildren>(tree, count);
        const DominatorChildren& children = lentChildren ? *lentChildren : *ownChildren;
        std::vector<HeldClass> held(graph.Classes().size());
        std::vector<uint32_t> active(graph.Classes().size(), 0);
        for (LeakSuspect& suspect : suspects) {
            suspect.point = AccumulationPoint(tree, children, suspect.node);
            suspect.pointRetained = tree.Retained(suspect.point);
            if (!suspect.byClass) {
                AddHeld(graph, tree, children, suspect.point, held, active);
            } else {
                for (const NodeId* n = children.Begin(DominatorTree::VIRTUAL_ROOT);
                     n < children.End(DominatorTree::VIRTUAL_ROOT); n++)
                    if (graph.ClassOf(*n) == suspect.cls && static_cast<double>(tree.Retained(*n)) <= limit)
                        AddHeld(graph, tree, children, AccumulationPoint(tree, children, *n), held, active);
            }
            suspect.holds = Largest(graph, held, holds);
        }
    }
    std::unique_ptr<PathFinder> ownPaths;
    if (!lentPaths) ownPaths = std::make_unique<PathFinder>(graph, false);
    const PathFinder& paths = lentPaths ? *lentPaths : *ownPaths;
    for (LeakSuspect& suspect : suspects) suspect.path = paths.ShortestPath(suspect.point);
    return suspects;
}

}  // namespace vesk
