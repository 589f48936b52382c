// Which holders grew between two snapshots. Tags differ between snapshots,
// so the objects of NEW are matched to those of OLD by keys, in order, each
// key only among the objects still unmatched:
//   1. the shortest path from a GC root (weak references not followed): the
//      root's kind and thread, each step's class and the field it is reached
//      through, every array index with the array's size;
//   2. the same path with only indices below INDEX_BOUND kept, and none
//      inside a hash table's backing array;
//   3. its own chain: the last CHAIN_STEPS steps of that path, whatever root
//      is above (indices dropped);
//   4. its class and shallow size;
//   5. its class and shallow size among OLD's objects under the floor.
// Objects sharing a key are paired by rank of retained size within the key,
// never added up. An object's class and shallow size never change, so an
// object of NEW left unmatched found no object of its shape left in OLD: it
// grew from 0.
//
// Candidates are the objects retaining at least HOLDER_FLOOR bytes: OLD is
// kept as HolderColumns (32 bytes a candidate) and, for the objects under the
// floor, one count per class, shallow size and retained size, so one graph is
// held at a time.
//
// A chain in which each object retains at least 90 % of its dominator is one
// row, named by its topmost object (as top folds it), and shown only when
// every member grew (an object that merely changed its holder is no row). A
// row whose growth is at least 90 % another's below it in the dominator tree
// is left to that one.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"
#include "heap/HeapPaths.h"

namespace vesk {

constexpr uint64_t HOLDER_FLOOR = 1024;
constexpr int32_t INDEX_BOUND = 16;
constexpr size_t CHAIN_STEPS = 3;

// The candidates' matching keys (hashes) and sizes, one array each, in node
// order. Chains and shapes take 32 bits: a heap has few distinct ones.
struct HolderColumns {
    std::vector<uint64_t> path, loosePath;
    std::vector<uint32_t> chain, shape;
    std::vector<uint64_t> retained;
};

// What matching needs of OLD: a key for every reachable object retaining at
// least HOLDER_FLOOR bytes, in node order; for the others, how many share each
// class, shallow size and retained size.
struct HolderBaseline {
    HolderColumns keys;
    // A shape's hash above its retained size (10 bits), with a count: by
    // shape, then largest retained first.
    std::vector<std::pair<uint64_t, uint32_t>> small;
};

HolderBaseline HolderKeys(const HeapGraph& graph, const DominatorTree& tree);

struct HolderChange {
    // "class / class AppCache / .SESSIONS -> java.util.HashMap": NEW's path as matched.
    std::string path;
    uint64_t before = 0;
    uint64_t after = 0;
    HeapPath afterPath;  // in NEW's graph; its last step is the holder
    int64_t Growth() const { return static_cast<int64_t>(after) - static_cast<int64_t>(before); }
};

// The n rows that grew most, largest growth first; graph and tree are NEW's.
// before is freed once matched, before the rows are found: move it in
// unless it is needed again.
std::vector<HolderChange> GrownHolders(HolderBaseline before, const HeapGraph& graph,
                                       const DominatorTree& tree, size_t n);

constexpr double GROWTH_SUSPECT_PERCENT = 2;

// Of GrownHolders, those that grew by at least percent of NEW's reachable
// bytes and by at least minBytes.
std::vector<HolderChange> GrowthSuspects(HolderBaseline before, const HeapGraph& graph,
                                         const DominatorTree& tree, double percent, uint64_t minBytes, size_t n);

}  // namespace vesk
