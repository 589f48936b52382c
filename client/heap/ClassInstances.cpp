#include "heap/ClassInstances.h"

#include <algorithm>

namespace vesk {

MarkedNodes ClassInstances::Marked(const std::vector<uint32_t>& classes) const {
    std::vector<bool> wanted(graph.Classes().size());
    for (uint32_t c : classes) wanted[c] = true;
    MarkedNodes set(graph.NodeCount());
    for (NodeId node = 0; node < graph.NodeCount(); node++) {
        uint32_t cls = graph.ClassOf(node);
        if (cls != NO_CLASS && wanted[cls]) set.Mark(node);
    }
    return set;
}

std::vector<NodeId> ClassInstances::Of(const std::vector<uint32_t>& classes) const {
    MarkedNodes set = Marked(classes);
    // Counted first: no room left over, nor a copy while growing.
    std::vector<NodeId> nodes;
    nodes.reserve(set.Count());
    set.ForEach([&nodes](NodeId node) { nodes.push_back(node); });
    return nodes;
}

std::shared_ptr<const ClassInstances::Largest> ClassInstances::Ordered(uint32_t classIndex, uint64_t count) const {
    std::lock_guard<std::mutex> held(lock);
    for (size_t i = 0; i < recent.size(); i++) {
        const Largest& kept = *recent[i].second;
        if (recent[i].first != classIndex || (kept.nodes.size() < count && kept.nodes.size() < kept.instances)) continue;
        std::rotate(recent.begin() + static_cast<ptrdiff_t>(i), recent.begin() + static_cast<ptrdiff_t>(i) + 1,
                    recent.end());
        return recent.back().second;
    }
    auto largest = std::make_shared<Largest>();
    std::vector<NodeId>& nodes = largest->nodes;
    nodes = Of({classIndex});
    largest->instances = nodes.size();
    auto end = nodes.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(nodes.size(), std::max(count, KEPT_NODES)));
    std::partial_sort(nodes.begin(), end, nodes.end(), [this](NodeId a, NodeId b) {
        uint64_t ra = tree.Retained(a), rb = tree.Retained(b);
        return ra != rb ? ra > rb : a < b;
    });
    nodes.erase(end, nodes.end());
    nodes.shrink_to_fit();
    // A deep page's own; what is kept stays small.
    if (nodes.size() > KEPT_NODES) return largest;
    for (size_t i = 0; i < recent.size(); i++)
        if (recent[i].first == classIndex) recent.erase(recent.begin() + static_cast<ptrdiff_t>(i));
    if (recent.size() == KEPT) recent.erase(recent.begin());
    recent.emplace_back(classIndex, largest);
    return largest;
}

}  // namespace vesk
