#include "heap/HeapPaths.h"

#include <algorithm>
#include <deque>
#include <memory>

namespace vesk {

namespace {

// First in, first out, in blocks of 4 MiB, each freed once read: blocks this
// large are mapped on their own, so the memory goes back when they are
// freed rather than staying behind as holes among small allocations.
class NodeQueue {
public:
    bool Empty() const { return blocks.empty() || (blocks.size() == 1 && head == tail); }
    void Push(NodeId node) {
        if (blocks.empty() || tail == BLOCK) {
            blocks.emplace_back(new NodeId[BLOCK]);  // untouched until used
            tail = 0;
        }
        blocks.back()[tail++] = node;
    }
    NodeId Pop() {
        NodeId node = blocks.front()[head++];
        if (head == BLOCK) {
            blocks.pop_front();
            head = 0;
        }
        return node;
    }

private:
    static constexpr size_t BLOCK = size_t(1) << 20;
    std::deque<std::unique_ptr<NodeId[]>> blocks;
    size_t head = 0, tail = 0;  // in the first block, in the last
};

}  // namespace

template <typename Reached, typename Reach>
void PathFinder::Search(Reached reached, Reach reach, WorkProgress& progress) {
    progress.Phase("paths", graph.NodeCount(), "objects");
    // The queue is the order of discovery. It holds at most two levels, in
    // blocks freed once read.
    NodeQueue queue;
    for (const HeapRoot& root : graph.Roots()) {
        if (reached(root.node)) continue;
        reach(root.node, ROOT);
        queue.Push(root.node);
    }
    for (uint64_t done = 0; !queue.Empty(); done++) {
        progress.Tick(done);
        NodeId node = queue.Pop();
        for (const HeapEdge* e = graph.EdgesBegin(node); e < graph.EdgesEnd(node); e++) {
            if (reached(e->target) || (!followWeak && graph.IsWeak(node, *e))) continue;
            reach(e->target, node);
            queue.Push(e->target);
        }
    }
}

PathFinder::PathFinder(const HeapGraph& graph, bool followWeak, WorkProgress& progress)
    : graph(graph), followWeak(followWeak), parent(graph.NodeCount(), NO_NODE) {
    Search([this](NodeId node) { return parent[node] != NO_NODE; },
           [this](NodeId node, NodeId above) { parent[node] = above; }, progress);
}

PathFinder::PathFinder(const HeapGraph& graph, const ReferrerIndex& index, bool followWeak)
    : graph(graph), followWeak(followWeak), places(graph.NodeCount(), UNREACHED) {
    auto reach = [this, &index](NodeId node, NodeId above) {
        if (above == ROOT) {
            places[node] = AT_ROOT;
            return;
        }
        // The parent references node: it is among its referrers, which ascend.
        uint32_t at = static_cast<uint32_t>(std::lower_bound(index.Begin(node), index.End(node), above) - index.Begin(node));
        if (at >= FAR) farPlaces.emplace(node, at);
        places[node] = static_cast<uint8_t>(std::min<uint32_t>(at, FAR));
    };
    Search([this](NodeId node) { return places[node] != UNREACHED; }, reach, NoProgress());
    referrers = &index;
}

int64_t PathFinder::Distance(NodeId node) const {
    if (ParentOf(node) == NO_NODE) return -1;
    int64_t steps = 0;
    for (NodeId at = node; ParentOf(at) != ROOT; at = ParentOf(at)) steps++;
    return steps;
}

HeapPath PathFinder::ShortestPath(NodeId node) const {
    HeapPath path;
    if (ParentOf(node) == NO_NODE) return path;
    for (NodeId at = node; at != ROOT; at = ParentOf(at)) path.steps.push_back({at, {at, NO_INDEX}});
    std::vector<PathStep>& steps = path.steps;
    for (size_t i = 0, j = steps.size() - 1; i < j; i++, j--) std::swap(steps[i], steps[j]);
    for (size_t i = 1; i < steps.size(); i++) {
        NodeId from = steps[i - 1].node;
        for (const HeapEdge* e = graph.EdgesBegin(from); e < graph.EdgesEnd(from); e++) {
            if (e->target == steps[i].node && (followWeak || !graph.IsWeak(from, *e))) {
                steps[i].edge = *e;
                break;
            }
        }
    }
    for (const HeapRoot& root : graph.Roots()) {
        if (root.node == steps.front().node) {
            path.root = root;
            break;
        }
    }
    return path;
}

}  // namespace vesk
