// The dense numbers a heap graph gives its nodes.
#pragma once

#include <cstdint>
#include <limits>

namespace vesk {

typedef uint32_t NodeId;
constexpr NodeId NO_NODE = std::numeric_limits<NodeId>::max();
// Node numbers end below NO_NODE and the dominator tree's virtual root.
constexpr uint64_t MAX_NODES = NO_NODE - 1;

}  // namespace vesk
