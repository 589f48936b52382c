#include "heap/DominatorTree.h"

#include <algorithm>
#include <exception>
#include <queue>
#include <thread>
#include <utility>

#include "base/FreshPages.h"

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

// Pairs ordered by their high 32 bits: a stable radix sort, 11 bits a pass,
// skipping passes whose digit is the same for all.
static void SortByHigh(std::vector<uint64_t>& pairs) {
    constexpr unsigned BITS = 11, DIGITS = 3;
    constexpr size_t RADIX = size_t(1) << BITS;
    std::vector<size_t> counts(DIGITS * RADIX, 0);
    for (uint64_t pair : pairs)
        for (unsigned d = 0; d < DIGITS; d++) counts[d * RADIX + (pair >> (32 + d * BITS) & (RADIX - 1))]++;
    std::vector<uint64_t> to;
    for (unsigned d = 0; d < DIGITS; d++) {
        size_t* count = &counts[d * RADIX];
        if (*std::max_element(count, count + RADIX) == pairs.size()) continue;
        size_t sum = 0;
        for (size_t r = 0; r < RADIX; r++) sum += std::exchange(count[r], sum);
        to.resize(pairs.size());
        for (uint64_t pair : pairs) to[count[pair >> (32 + d * BITS) & (RADIX - 1)]++] = pair;
        pairs.swap(to);
    }
}

void DominatorTree::Compute(bool followWeak) {
    const NodeId nodes = graph.NodeCount();
    // Six passes over the nodes, each a sixth of the phase.
    progress.Phase("dominators", 6ull * nodes, "");
    // The rooms of the header's table.
    const size_t room = static_cast<size_t>(nodes) + 2;
    Rooms rooms;
    for (std::vector<Num>* array : {&rooms.a, &rooms.b, &rooms.c, &rooms.d}) array->reserve(room);
    std::vector<Num>& pre = rooms.a;
    std::vector<Num>& parent = rooms.b;  // by number
    parent.assign(2, 0);
    std::vector<Num>& semi = rooms.c;
    // Faulted in on another thread while the search runs: pre's second
    // half while this thread clears the first, parent ahead of the search
    // filling it, then the two rooms the next steps take (they would be
    // beside these two then anyway).
    FreshPages fresh({FreshPages::SecondHalfOf(pre), FreshPages::RoomOf(parent), FreshPages::RoomOf(semi),
                      FreshPages::RoomOf(rooms.d)});
    const Num count = Number(graph, followWeak, pre, &parent, nullptr, progress);  // numbers 1 .. count - 1
    fresh.Wait();

    // A predecessor numbered before w is not yet linked when w's turn comes,
    // so it offers its own number: those are folded into semi's starting
    // value here (the parent's, or the virtual root's for a root's node).
    // Only the others are kept, as (w, predecessor) pairs.
    semi.assign(parent.begin(), parent.end());
    for (const HeapRoot& root : graph.Roots()) semi[pre[root.node]] = 1;
    std::vector<uint64_t> later;
    for (NodeId node = 0; node < nodes; node++) {
        progress.Tick(uint64_t{nodes} + node);
        Num v = pre[node];
        if (!v) continue;
        for (const HeapEdge* e = graph.EdgesBegin(node); e < graph.EdgesEnd(node); e++) {
            Num w = pre[e->target];
            if (w == 0 || w == v || (!followWeak && graph.IsWeak(node, *e))) continue;
            if (v < w) semi[w] = std::min(semi[w], v);
            else later.push_back(static_cast<uint64_t>(w) << 32 | v);
        }
    }
    // Room a serves label next, unless it would add to the sort's peak.
    if (later.size() > nodes / 2) std::vector<Num>().swap(pre);
    SortByHigh(later);
    Semi(followWeak, count, rooms, later);
}

// Semi-dominators in reverse preorder, then the immediate dominators and
// retained sizes. Numbers above w are linked into a forest whose ancestor
// links (parent, rewritten) are compressed.
void DominatorTree::Semi(bool followWeak, Num count, Rooms& rooms, std::vector<uint64_t>& later) {
    const NodeId nodes = graph.NodeCount();
    std::vector<Num>& parent = rooms.b;
    std::vector<Num>& semi = rooms.c;
    std::vector<Num>& idomNum = rooms.d;
    idomNum.assign(parent.begin(), parent.end());
    std::vector<Num>& label = rooms.a;
    label.resize(count);
    for (Num v = 0; v < count; v++) label[v] = v;
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
    size_t k = later.size();
    for (Num w = count - 1; w >= 2; w--) {
        progress.Tick(4ull * nodes + count - w);
        Num s = semi[w];
        for (; k > 0 && later[k - 1] >> 32 == w; k--) {
            Num u = semi[eval(static_cast<Num>(later[k - 1]), w + 1)];
            if (u < s) s = u;
        }
        semi[w] = s;
    }
    std::vector<uint64_t>().swap(later);
    std::vector<Num>().swap(path);

    // The nodes by number again, rather than kept all along beside the
    // arrays above: numbered anew on a second thread (in the forest's
    // arrays) while this one finds the nearest common ancestors.
    std::vector<NodeId>& vertex = rooms.b;
    vertex.assign(2, NO_NODE);
    std::vector<Num>& pre = rooms.a;
    std::exception_ptr failure;
    std::thread numbering([&] {
        try {
            Number(graph, followWeak, pre, nullptr, &vertex, NoProgress());
        } catch (...) {
            failure = std::current_exception();
        }
    });
    // Nearest common ancestors: walk up the tree from the parent to the semi-dominator.
    for (Num w = 2; w < count; w++) {
        progress.Tick(5ull * nodes + w);
        Num d = idomNum[w];
        while (d > semi[w]) d = idomNum[d];
        idomNum[w] = d;
    }
    numbering.join();
    if (failure) std::rethrow_exception(failure);

    // Four passes more: the class totals' two, sizes, the unreachable.
    progress.Phase("retained sizes", 4ull * nodes, "");
    idom = std::move(rooms.c);
    idom.assign(nodes, NO_NODE);
    for (Num w = 2; w < count; w++) {
        Num d = idomNum[w];
        idom[vertex[w]] = d >= 2 ? vertex[d] : VIRTUAL_ROOT;
    }

    // Which nodes count for their class, before the retained sizes take room.
    std::vector<bool> counted = TopOfClass(rooms.d, rooms.a);
    std::vector<Num>().swap(rooms.d);
    std::vector<Num>().swap(rooms.a);

    // Retained sizes: children before their dominators (reverse preorder),
    // in 8 bytes each until they are all known.
    std::vector<uint64_t> sizes;
    sizes.reserve(nodes);
    FreshPages fresh({FreshPages::SecondHalfOf(sizes)});
    sizes.assign(nodes, 0);
    for (Num w = count - 1; w >= 2; w--) {
        progress.Tick(2ull * nodes + count - w);
        NodeId node = vertex[w];
        sizes[node] += graph.ShallowSize(node);
        NodeId d = idom[node];
        if (d != VIRTUAL_ROOT) sizes[d] += sizes[node];
        else reachableBytes += sizes[node];
    }
    reachable = count - 2;
    classRetained.assign(graph.Classes().size(), 0);
    for (NodeId node = 0; node < nodes; node++) {
        if (idom[node] == NO_NODE) unreachableBytes += graph.ShallowSize(node);
        else if (counted[node]) classRetained[graph.ClassOf(node)] += static_cast<int64_t>(sizes[node]);
    }
    std::vector<bool>().swap(counted);
    KeepRetained(sizes, std::move(rooms.b));
}

void DominatorTree::KeepRetained(const std::vector<uint64_t>& sizes, std::vector<uint32_t> room) {
    retained = std::move(room);
    retained.assign(sizes.size(), 0);
    for (NodeId node = 0; node < sizes.size(); node++) {
        uint64_t size = sizes[node];
        if (size % RETAINED_UNIT == 0 && size / RETAINED_UNIT < APART) {
            retained[node] = static_cast<uint32_t>(size / RETAINED_UNIT);
        } else {
            retained[node] = APART;
            apartNodes.push_back(node);
            apartBytes.push_back(size);
        }
    }
}

uint64_t DominatorTree::RetainedApart(NodeId node) const {
    auto at = std::lower_bound(apartNodes.begin(), apartNodes.end(), node);
    // A stored copy whose arrays disagree says nothing rather than reading past them.
    if (at == apartNodes.end() || *at != node || static_cast<size_t>(at - apartNodes.begin()) >= apartBytes.size())
        return 0;
    return apartBytes[static_cast<size_t>(at - apartNodes.begin())];
}

// The instances no other instance of their class dominates: a walk of the
// dominator tree (first child, next sibling, no stack) that keeps how many
// instances of each class are above. The order of siblings does not matter.
std::vector<bool> DominatorTree::TopOfClass(std::vector<NodeId>& firstChild, std::vector<NodeId>& nextSibling) const {
    const NodeId nodes = graph.NodeCount();
    std::vector<bool> counted(nodes, false);
    firstChild.assign(nodes, NO_NODE);
    nextSibling.assign(nodes, NO_NODE);
    NodeId topFirst = NO_NODE;
    for (NodeId node = nodes; node-- > 0;) {
        progress.Tick(uint64_t{nodes} - node);
        NodeId d = idom[node];
        if (d == NO_NODE) continue;
        NodeId& head = d == VIRTUAL_ROOT ? topFirst : firstChild[d];
        nextSibling[node] = head;
        head = node;
    }
    std::vector<uint32_t> active(graph.Classes().size(), 0);
    NodeId node = topFirst;
    uint64_t visited = nodes;
    while (node != NO_NODE) {
        progress.Tick(visited++);
        uint32_t cls = graph.ClassOf(node);
        if (cls != NO_CLASS) {
            if (active[cls] == 0) counted[node] = true;
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
    return counted;
}

std::vector<NodeId> DominatorTree::Ranked(size_t n, uint32_t classIndex) const {
    // A min-heap of the n largest so far.
    auto larger = [this](NodeId a, NodeId b) {
        uint64_t ra = Retained(a), rb = Retained(b);
        return ra != rb ? ra > rb : a < b;
    };
    std::priority_queue<NodeId, std::vector<NodeId>, decltype(larger)> best(larger);
    if (n == 0) return {};
    // Once n are found, a node whose stored units are below the least's
    // retains less: most nodes are passed over on that one comparison.
    uint32_t floor = 0;
    for (NodeId node = 0; node < idom.size(); node++) {
        if (retained[node] < floor || idom[node] == NO_NODE) continue;
        if (classIndex != NO_CLASS && graph.ClassOf(node) != classIndex) continue;
        if (best.size() < n) best.push(node);
        else if (larger(node, best.top())) {
            best.pop();
            best.push(node);
        } else continue;
        if (best.size() == n) floor = retained[best.top()] == APART ? 0 : retained[best.top()];
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
        uint64_t ra = Retained(a), rb = Retained(b);
        return ra != rb ? ra > rb : a < b;
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

bool DominatorTree::Consistent() const {
    return idom.size() == graph.NodeCount() && retained.size() == idom.size() && reachable <= idom.size() &&
           apartNodes.size() == apartBytes.size() && std::is_sorted(apartNodes.begin(), apartNodes.end());
}

size_t DominatorTree::MemoryBytes() const {
    return idom.capacity() * sizeof(NodeId) + retained.capacity() * sizeof(uint32_t) +
           apartNodes.capacity() * sizeof(NodeId) + apartBytes.capacity() * sizeof(uint64_t) +
           classRetained.capacity() * sizeof(int64_t);
}

}  // namespace vesk
