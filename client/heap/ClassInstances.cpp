#include "heap/ClassInstances.h"

#include <algorithm>

namespace vesk {

std::vector<NodeId> ClassInstances::Of(const std::vector<uint32_t>& classes) const {
    std::vector<bool> wanted(graph.Classes().size());
    for (uint32_t c : classes) wanted[c] = true;
    auto member = [&](NodeId node) {
        uint32_t cls = graph.ClassOf(node);
        return cls != NO_CLASS && wanted[cls];
    };
    // Counted first: no room left over, nor a copy while growing.
    NodeId count = graph.NodeCount();
    size_t members = 0;
    for (NodeId node = 0; node < count; node++) members += member(node);
    std::vector<NodeId> nodes;
    nodes.reserve(members);
    for (NodeId node = 0; node < count; node++)
        if (member(node)) nodes.push_back(node);
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
