#include "heap/ChainRows.h"

#include <unordered_map>

namespace vesk {

static const double CHAIN_SHARE = 0.9;

std::vector<ChainRow> ChainRows(const DominatorTree& tree, size_t count) {
    for (size_t fetch = count * 4 + 64;; fetch *= 4) {
        std::vector<NodeId> largest = tree.Largest(fetch);
        std::vector<ChainRow> rows;
        std::unordered_map<NodeId, size_t> rowEndingAt;
        for (NodeId node : largest) {
            NodeId above = tree.Dominator(node);
            auto chain = rowEndingAt.find(above);
            if (chain != rowEndingAt.end() &&
                static_cast<double>(tree.Retained(node)) >= CHAIN_SHARE * static_cast<double>(tree.Retained(above))) {
                size_t row = chain->second;
                rowEndingAt.erase(chain);
                rows[row].end = node;
                rows[row].depth++;
                rowEndingAt[node] = row;
            } else if (rows.size() < count) {
                rowEndingAt[node] = rows.size();
                rows.push_back({node, node, 0});
            }
        }
        if (rows.size() >= count || largest.size() < fetch) return rows;
    }
}

}  // namespace vesk
