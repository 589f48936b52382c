// What is wrong with a heap, found without being asked, from its structure
// alone (a snapshot stream or an HPROF file, values or none): leak suspects
// and waste.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "heap/HeapWaste.h"
#include "heap/LeakSuspects.h"

namespace vesk {

struct FindingsOptions {
    double threshold = 0.10;  // share of the reachable heap a suspect exceeds
    size_t maxSuspects = 20;
    size_t maxWaste = 20;     // rows of each kind
    size_t holds = 10;        // classes listed per suspect
};

struct HeapFindings {
    std::vector<LeakSuspect> suspects;  // by retained bytes, largest first
    std::vector<WasteRow> waste;        // by kind, then saved bytes, largest first
    uint64_t reachable = 0;             // bytes
    bool values = false;                // primitive values were read: duplicate strings were looked for
    // Some class object names its class loader (an HPROF file's do; a
    // snapshot stream carries no such reference, and every loader is unknown).
    bool loadersKnown = false;
};

// Not thread-safe while computing; the result owns no reference to the graph.
// children, paths: as FindSuspects borrows them.
inline HeapFindings FindProblems(const HeapGraph& graph, const DominatorTree& tree, const FindingsOptions& options,
                                 const DominatorChildren* children = nullptr, const PathFinder* paths = nullptr) {
    HeapFindings findings;
    findings.reachable = tree.ReachableBytes();
    findings.suspects =
        FindSuspects(graph, tree, options.threshold, options.maxSuspects, options.holds, children, paths);
    findings.waste = FindWaste(graph, tree, options.maxWaste, &findings.loadersKnown);
    return findings;
}

}  // namespace vesk
