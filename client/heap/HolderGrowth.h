// Which holders grew between two snapshots. Tags differ between snapshots,
// so a holder is known by its shortest path from a GC root (weak references
// not followed): the root's kind and thread, then each step's class and the
// field it is reached through, array indices dropped. The objects of
// largest retained size of each snapshot are the candidates; objects of one
// snapshot sharing a path are summed.
//
// A growth suspect (Eclipse MAT's rule for comparing snapshots) is a holder
// whose retained bytes grew by at least GROWTH_SUSPECT_SHARE of the later
// snapshot's reachable heap.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"
#include "heap/HeapPaths.h"

namespace vesk {

struct Holder {
    // "stack local, thread \"main\" / class AppCache / .SESSIONS -> java.util.HashMap".
    std::string path;
    uint64_t retained = 0;
    // The path of the largest object sharing it; node ids of its snapshot's graph.
    HeapPath shortest;
};

struct HolderChange {
    std::string path;
    uint64_t before = 0;
    uint64_t after = 0;
    HeapPath afterPath;  // the later snapshot's Holder::shortest
    int64_t Growth() const { return static_cast<int64_t>(after) - static_cast<int64_t>(before); }
};

// The candidates of one snapshot, by path (4 bytes a node for the search).
std::vector<Holder> LargestHolders(const HeapGraph& graph, const DominatorTree& tree, size_t candidates = 1000);

// The n holders that grew most, largest growth first. Holders below one
// another through fields, each grown by at least 90 % of the topmost one's
// growth, are a chain: its deepest speaks for it, and a holder further down
// that grew by 90 % of one of the chain's is left out too.
std::vector<HolderChange> GrownHolders(const std::vector<Holder>& before, const std::vector<Holder>& after, size_t n);

constexpr double GROWTH_SUSPECT_SHARE = 0.02;

// Of GrownHolders, those that grew by at least GROWTH_SUSPECT_SHARE of
// reachable (the later snapshot's reachable bytes).
std::vector<HolderChange> GrowthSuspects(const std::vector<Holder>& before, const std::vector<Holder>& after,
                                         uint64_t reachable, size_t n);

}  // namespace vesk
