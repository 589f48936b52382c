#include "heap/DominatorTree.h"

#include <algorithm>
#include <queue>
#include <utility>

namespace vesk {

// Dense numbers in depth-first preorder: 1 is the virtual root, 0 "unvisited".
using Num = uint32_t;

DominatorTree::DominatorTree(const HeapGraph& graph, bool followWeak, WorkProgress& progress)
    : graph(graph), progress(progress) {
    Compute(followWeak);
}

// Iterative depth-first search from each root's object in turn, which is a
// depth-first search from the virtual root: numbers every node it reaches
// (pre), and fills parent or vertex (by number) when given. The stack holds
// nodes and how many of their edges are done.
static Num Number(const HeapGraph& graph, bool followWeak, std::vector<Num>& pre, std::vector<Num>* parent,
                  std::vector<NodeId>* vertex, WorkProgress& progress) {
    pre.assign(graph.NodeCount(), 0);
    Num count = 2;
    std::vector<std::pair<NodeId, uint32_t>> stack;
    auto visit = [&](NodeId node, Num from) {
        progress.Tick(count);
        pre[node] = count++;
        if (parent) parent->push_back(from);
        if (vertex) vertex->push_back(node);
        stack.push_back({node, 0});
    };
    for (const HeapRoot& root : graph.Roots()) {
        if (pre[root.node]) continue;
        visit(root.node, 1);
        while (!stack.empty()) {
            NodeId node = stack.back().first;
            const HeapEdge* edge = graph.EdgesBegin(node) + stack.back().second;
            const HeapEdge* end = graph.EdgesEnd(node);
            while (edge < end && (pre[edge->target] || (!followWeak && graph.IsWeak(node, *edge)))) edge++;
            if (edge == end) {
                stack.pop_back();
                continue;
            }
            stack.back().second = static_cast<uint32_t>(edge + 1 - graph.EdgesBegin(node));
            visit(edge->target, pre[node]);
        }
    }
    return count;
}

void DominatorTree::Compute(bool followWeak) {
    const NodeId nodes = graph.NodeCount();
    // Six passes over the nodes, each a sixth of the phase.
    progress.Phase("dominators", 6ull * nodes, "");
    std::vector<Num> pre;
    std::vector<Num> parent(2, 0);  // by number
    parent.reserve(static_cast<size_t>(nodes) + 2);
    const Num count = Number(graph, followWeak, pre, &parent, nullptr, progress);  // numbers 1 .. count - 1

    // Predecessors by number, 32-bit offsets when they fit. Two kinds are
    // left out as they cannot lower a semi-dominator below the DFS parent it
    // starts from: the tree edge from the parent itself, and the virtual
    // root, which every rooted node gets as semi-dominator anyway.
    std::vector<bool> rooted(count, false);
    for (const HeapRoot& root : graph.Roots()) rooted[pre[root.node]] = true;
    uint64_t total = 0;
    for (NodeId node = 0; node < nodes; node++) {
        progress.Tick(uint64_t{nodes} + node);
        if (!pre[node]) continue;
        for (const HeapEdge* e = graph.EdgesBegin(node); e < graph.EdgesEnd(node); e++)
            if ((followWeak || !graph.IsWeak(node, *e)) && parent[pre[e->target]] != pre[node]) total++;
    }
    if (total < UINT32_MAX) Semi<uint32_t>(followWeak, count, pre, parent, rooted);
    else Semi<uint64_t>(followWeak, count, pre, parent, rooted);
}

// Semi-dominators, then the immediate dominators and retained sizes.
template <class Offset>
void DominatorTree::Semi(bool followWeak, Num count, std::vector<Num>& pre, std::vector<Num>& parent,
                         std::vector<bool>& rooted) {
    const NodeId nodes = graph.NodeCount();
    std::vector<Offset> predBegin(static_cast<size_t>(count) + 1, 0);
    std::vector<Num> preds;
    {
        auto kept = [&](NodeId node, const HeapEdge* e) {
            return (followWeak || !graph.IsWeak(node, *e)) && parent[pre[e->target]] != pre[node];
        };
        for (NodeId node = 0; node < nodes; node++) {
            progress.Tick(2ull * nodes + node);
            if (!pre[node]) continue;
            for (const HeapEdge* e = graph.EdgesBegin(node); e < graph.EdgesEnd(node); e++)
                if (kept(node, e)) predBegin[pre[e->target]]++;
        }
        // Counts summed into ends, then filled back to front so that each
        // end moves back to its number's beginning (no second array).
        for (Num w = 1; w < count; w++) predBegin[w] += predBegin[w - 1];
        predBegin[count] = predBegin[count - 1];
        preds.resize(predBegin[count]);
        for (NodeId node = nodes; node-- > 0;) {
            progress.Tick(4ull * nodes - node);
            if (!pre[node]) continue;
            for (const HeapEdge* e = graph.EdgesEnd(node); e-- > graph.EdgesBegin(node);)
                if (kept(node, e)) preds[--predBegin[pre[e->target]]] = pre[node];
        }
        // The unreachable are the nodes left without a dominator.
        std::vector<Num>().swap(pre);
    }

    // Semi-dominators, in reverse preorder. Numbers above w are linked into
    // a forest whose ancestor links (parent, rewritten) are compressed.
    std::vector<Num> idomNum(parent);
    std::vector<Num> semi(count), label(count);
    for (Num v = 0; v < count; v++) semi[v] = label[v] = v;
    std::vector<Num> path;
    auto eval = [&](Num v, Num lastLinked) -> Num {
        if (parent[v] < lastLinked) return label[v];
        path.clear();
        Num p = v;
        do {
            path.push_back(p);
            p = parent[p];
        } while (parent[p] >= lastLinked);
        Num top = p;
        Num topLabel = label[top];
        for (size_t i = path.size(); i-- > 0;) {
            Num x = path[i];
            parent[x] = parent[top];
            if (semi[topLabel] < semi[label[x]]) label[x] = topLabel;
            else topLabel = label[x];
            top = x;
        }
        return label[v];
    };
    for (Num w = count - 1; w >= 2; w--) {
        progress.Tick(4ull * nodes + count - w);
        Num s = rooted[w] ? 1 : parent[w];
        for (Offset i = predBegin[w]; i < predBegin[w + 1]; i++) {
            Num u = semi[eval(preds[i], w + 1)];
            if (u < s) s = u;
        }
        semi[w] = s;
    }
    std::vector<Offset>().swap(predBegin);
    std::vector<Num>().swap(preds);
    std::vector<bool>().swap(rooted);
    std::vector<Num>().swap(label);
    std::vector<Num>().swap(parent);
    std::vector<Num>().swap(path);

    // Nearest common ancestors: walk up the tree from the parent to the semi-dominator.
    for (Num w = 2; w < count; w++) {
        progress.Tick(5ull * nodes + w);
        Num d = idomNum[w];
        while (d > semi[w]) d = idomNum[d];
        idomNum[w] = d;
    }
    std::vector<Num>().swap(semi);

    // Five passes more: numbering, sizes, the unreachable, the class totals' two.
    progress.Phase("retained sizes", 5ull * nodes, "");
    // The nodes by number again, rather than kept all along beside the
    // arrays above.
    std::vector<NodeId> vertex(2, NO_NODE);
    vertex.reserve(count);
    Number(graph, followWeak, pre, nullptr, &vertex, progress);
    std::vector<Num>().swap(pre);

    // Retained sizes: children before their dominators (reverse preorder).
    retained.assign(nodes, 0);
    idom.assign(nodes, NO_NODE);
    for (Num w = count - 1; w >= 2; w--) {
        progress.Tick(uint64_t{nodes} + count - w);
        NodeId node = vertex[w];
        retained[node] += graph.ShallowSize(node);
        Num d = idomNum[w];
        if (d >= 2) {
            retained[vertex[d]] += retained[node];
            idom[node] = vertex[d];
        } else {
            idom[node] = VIRTUAL_ROOT;
            reachableBytes += retained[node];
        }
    }
    reachable = count - 2;
    for (NodeId node = 0; node < nodes; node++) {
        progress.Tick(2ull * nodes + node);
        if (idom[node] == NO_NODE) unreachableBytes += graph.ShallowSize(node);
    }
    std::vector<Num>().swap(idomNum);
    std::vector<NodeId>().swap(vertex);
    Accumulate();
}

// Per class retained sizes: a walk of the dominator tree (first child, next
// sibling, no stack) that counts an instance only when no instance of its
// class is above it. The order of siblings does not matter.
void DominatorTree::Accumulate() {
    const NodeId nodes = graph.NodeCount();
    std::vector<NodeId> firstChild(nodes, NO_NODE), nextSibling(nodes, NO_NODE);
    NodeId topFirst = NO_NODE;
    for (NodeId node = nodes; node-- > 0;) {
        progress.Tick(4ull * nodes - node);
        NodeId d = idom[node];
        if (d == NO_NODE) continue;
        NodeId& head = d == VIRTUAL_ROOT ? topFirst : firstChild[d];
        nextSibling[node] = head;
        head = node;
    }
    classRetained.assign(graph.Classes().size(), 0);
    std::vector<uint32_t> active(graph.Classes().size(), 0);
    NodeId node = topFirst;
    uint64_t visited = 4ull * nodes;
    while (node != NO_NODE) {
        progress.Tick(visited++);
        uint32_t cls = graph.ClassOf(node);
        if (cls != NO_CLASS) {
            if (active[cls] == 0) classRetained[cls] += static_cast<int64_t>(retained[node]);
            active[cls]++;
        }
        if (firstChild[node] != NO_NODE) {
            node = firstChild[node];
            continue;
        }
        // Leave node and every ancestor whose children are all done.
        for (;;) {
            uint32_t c = graph.ClassOf(node);
            if (c != NO_CLASS) active[c]--;
            if (nextSibling[node] != NO_NODE) {
                node = nextSibling[node];
                break;
            }
            node = idom[node];
            if (node == VIRTUAL_ROOT) {
                node = NO_NODE;
                break;
            }
        }
    }
}

std::vector<NodeId> DominatorTree::Ranked(size_t n, uint32_t classIndex) const {
    // A min-heap of the n largest so far.
    auto larger = [this](NodeId a, NodeId b) {
        return retained[a] != retained[b] ? retained[a] > retained[b] : a < b;
    };
    std::priority_queue<NodeId, std::vector<NodeId>, decltype(larger)> best(larger);
    if (n == 0) return {};
    for (NodeId node = 0; node < idom.size(); node++) {
        if (idom[node] == NO_NODE) continue;
        if (classIndex != NO_CLASS && graph.ClassOf(node) != classIndex) continue;
        if (best.size() < n) best.push(node);
        else if (larger(node, best.top())) {
            best.pop();
            best.push(node);
        }
    }
    std::vector<NodeId> ranked;
    while (!best.empty()) {
        ranked.push_back(best.top());
        best.pop();
    }
    std::reverse(ranked.begin(), ranked.end());
    return ranked;
}

std::vector<NodeId> DominatorTree::Largest(size_t n) const { return Ranked(n, NO_CLASS); }

std::vector<NodeId> DominatorTree::LargestOf(uint32_t classIndex, size_t n) const { return Ranked(n, classIndex); }

std::vector<NodeId> DominatorTree::Children(NodeId node) const {
    std::vector<NodeId> children;
    for (NodeId n = 0; n < idom.size(); n++)
        if (idom[n] == node) children.push_back(n);
    std::sort(children.begin(), children.end(), [this](NodeId a, NodeId b) {
        return retained[a] != retained[b] ? retained[a] > retained[b] : a < b;
    });
    return children;
}

std::vector<ClassTotals> DominatorTree::ByClass() const {
    std::vector<ClassTotals> totals = graph.Histogram();
    std::vector<ClassTotals> rows;
    for (size_t cls = 0; cls < totals.size(); cls++) {
        if (totals[cls].instances == 0) continue;
        totals[cls].retained = classRetained[cls];
        rows.push_back(std::move(totals[cls]));
    }
    std::sort(rows.begin(), rows.end(), [](const ClassTotals& a, const ClassTotals& b) {
        if (a.retained != b.retained) return a.retained > b.retained;
        return a.name < b.name;
    });
    return rows;
}

size_t DominatorTree::MemoryBytes() const {
    return idom.capacity() * sizeof(NodeId) + retained.capacity() * sizeof(uint64_t) +
           classRetained.capacity() * sizeof(int64_t);
}

}  // namespace vesk
