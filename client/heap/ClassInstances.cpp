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

std::shared_ptr<const std::vector<NodeId>> ClassInstances::Ordered(uint32_t classIndex) const {
    std::lock_guard<std::mutex> held(lock);
    for (size_t i = 0; i < recent.size(); i++) {
        if (recent[i].first != classIndex) continue;
        std::rotate(recent.begin() + static_cast<ptrdiff_t>(i), recent.begin() + static_cast<ptrdiff_t>(i) + 1,
                    recent.end());
        return recent.back().second;
    }
    auto nodes = std::make_shared<std::vector<NodeId>>(Of({classIndex}));
    std::sort(nodes->begin(), nodes->end(), [this](NodeId a, NodeId b) {
        uint64_t ra = tree.Retained(a), rb = tree.Retained(b);
        return ra != rb ? ra > rb : a < b;
    });
    if (recent.size() == KEPT) recent.erase(recent.begin());
    recent.emplace_back(classIndex, nodes);
    return nodes;
}

}  // namespace vesk
