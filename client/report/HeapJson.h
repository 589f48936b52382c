// The JSON documents the analysis commands print (--json) and the explorer's
// API serves: built in one place, so that a command's output and the API's
// answer to the same question stay the same, key for key.
#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "heap/HeapDiff.h"
#include "heap/HeapFindings.h"
#include "heap/HeapGraph.h"
#include "heap/HeapPaths.h"
#include "heap/HeapSummary.h"
#include "heap/HolderGrowth.h"

namespace vesk {

// How a step is reached from the one before: ".field", "[i]", or "" (no index).
std::string ViaText(const HeapGraph& graph, NodeId from, const HeapEdge& edge);

// One object's entry of `path --json`: tag, class, retained, reachable, and
// when reachable its root and steps.
nlohmann::ordered_json PathJson(const HeapGraph& graph, const HeapPath& path, NodeId target, uint64_t retained);

// The keys "unreachableClasses" ([{"name", "instances", "bytes"}]), "fillers"
// and "fillerBytes" of summary; with counts, "unreachableObjects" and
// "unreachableBytes" before them.
void AddUnreachableJson(nlohmann::ordered_json& out, const HeapSummary& summary, bool counts = true);
// The heap's totals as `top --json` begins: objects, references, reachable
// and unreachable bytes, the unreachable classes, the fillers.
nlohmann::ordered_json SummaryJson(const HeapSummary& summary);

// A share of the reachable heap, 0 when nothing is reachable.
double ShareOf(uint64_t bytes, uint64_t reachable);
// A leak suspect's class (by class: the class's name) and its tag.
std::string SuspectLabel(const HeapGraph& graph, const LeakSuspect& suspect);
uint64_t SuspectTag(const HeapGraph& graph, const LeakSuspect& suspect);
// The holder's object in the newer heap: the end of its path.
inline NodeId HolderNode(const HolderChange& holder) { return holder.afterPath.steps.back().node; }

// What comparing with an older heap adds to the findings of the newer.
struct Growth {
    uint64_t reachableBefore = 0;
    std::vector<HolderChange> suspects;  // paths in the newer heap's graph
};
// The document `suspects --json` prints; growth given when two heaps were
// compared (graph is the newer).
nlohmann::ordered_json FindingsJson(const HeapGraph& graph, const HeapFindings& findings, const Growth* growth);

// A holder that grew, as `diff --retained --holders --json` lists it
// (graph: the later heap, whose path the holder carries).
nlohmann::ordered_json GrownHolderJson(const HeapGraph& graph, const HolderChange& holder);
// A class's row of `diff --json`; retained adds the retained figures.
nlohmann::ordered_json ClassDeltaJson(const ClassDelta& row, bool retained);

}  // namespace vesk
