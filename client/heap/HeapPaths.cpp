#include "heap/HeapPaths.h"

#include <deque>

namespace vesk {

PathFinder::PathFinder(const HeapGraph& graph, bool followWeak, WorkProgress& progress)
    : graph(graph), followWeak(followWeak), parent(graph.NodeCount(), NO_NODE) {
    progress.Phase("paths", graph.NodeCount(), "objects");
    // Breadth first from all roots at once; the queue is the order of
    // discovery. It holds at most two levels, in blocks freed once read.
    std::deque<NodeId> queue;
    for (const HeapRoot& root : graph.Roots()) {
        if (parent[root.node] != NO_NODE) continue;
        parent[root.node] = ROOT;
        queue.push_back(root.node);
    }
    for (uint64_t done = 0; !queue.empty(); done++) {
        progress.Tick(done);
        NodeId node = queue.front();
        queue.pop_front();
        for (const HeapEdge* e = graph.EdgesBegin(node); e < graph.EdgesEnd(node); e++) {
            if (parent[e->target] != NO_NODE || (!followWeak && graph.IsWeak(node, *e))) continue;
            parent[e->target] = node;
            queue.push_back(e->target);
        }
    }
}

int64_t PathFinder::Distance(NodeId node) const {
    if (parent[node] == NO_NODE) return -1;
    int64_t steps = 0;
    for (NodeId at = node; parent[at] != ROOT; at = parent[at]) steps++;
    return steps;
}

HeapPath PathFinder::ShortestPath(NodeId node) const {
    HeapPath path;
    if (parent[node] == NO_NODE) return path;
    for (NodeId at = node; at != ROOT; at = parent[at]) path.steps.push_back({at, {at, NO_INDEX}});
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
