#include "heap/ClassInstances.h"

#include <algorithm>

namespace vesk {

ClassInstances::ClassInstances(const HeapGraph& graph, const DominatorTree& tree)
    : starts(graph.Classes().size() + 1, 0) {
    NodeId count = graph.NodeCount();
    for (NodeId node = 0; node < count; node++)
        if (graph.ClassOf(node) != NO_CLASS) starts[graph.ClassOf(node) + 1]++;
    for (size_t c = 1; c < starts.size(); c++) starts[c] += starts[c - 1];
    nodes.resize(starts.back());
    std::vector<uint64_t> next(starts.begin(), starts.end() - 1);
    for (NodeId node = 0; node < count; node++)
        if (graph.ClassOf(node) != NO_CLASS) nodes[next[graph.ClassOf(node)]++] = node;
    auto larger = [&tree](NodeId a, NodeId b) {
        uint64_t ra = tree.Retained(a), rb = tree.Retained(b);
        return ra != rb ? ra > rb : a < b;
    };
    for (size_t c = 0; c + 1 < starts.size(); c++)
        std::sort(nodes.begin() + static_cast<ptrdiff_t>(starts[c]), nodes.begin() + static_cast<ptrdiff_t>(starts[c + 1]),
                  larger);
}

}  // namespace vesk
