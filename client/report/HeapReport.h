// What the report page shows of a snapshot, or of two, gathered from the
// heap model: header facts, the dominator tree's largest subtrees laid out as
// a treemap, the class histogram with retained sizes, the shortest paths to
// the largest retained objects, the threads, and for two snapshots the
// classes and the holders that grew.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"
#include "heap/HolderGrowth.h"
#include "base/WorkProgress.h"
#include "report/ReportPage.h"

namespace vesk {

// The header <prop>s of a snapshot stream, by command ("RUNTIME",
// "SYSTEM_PROPS", "SNAPSHOT") and name; empty for sources without them.
typedef std::map<std::string, std::map<std::string, std::string>> StreamProperties;

struct ReportSnapshot {
    std::string source;  // file name, or host:port
    HeapGraph graph;
    StreamProperties properties;
    // The dominator tree over graph when at hand (weak references
    // followed); else SnapshotReport and ComparisonReport compute it.
    const DominatorTree* tree = nullptr;
};

// Bytes retained by each thread's stack and JNI local roots, by thread
// index: the retained sizes of the objects that only that thread's locals
// hold, reached by no other root and by no reference from outside what
// they dominate themselves.
std::vector<uint64_t> ThreadRetained(const HeapGraph& graph, const DominatorTree& tree);

// "RUNNABLE", "WAITING (Object.wait)", ... from JVMTI thread state bits.
std::string ThreadStateName(int32_t state);

// progress: the analysis's phases.
ReportContent SnapshotReport(const ReportSnapshot& snapshot, WorkProgress& progress = NoProgress());

// What a comparison shows of the earlier snapshot, taken from it before the
// later one is read: one graph is held at a time.
struct ReportBaseline {
    std::string source;
    std::vector<ReportFact> facts;
    HolderBaseline holders;
    std::vector<ClassTotals> histogram;  // by class index
};
ReportBaseline ComparisonBaseline(const ReportSnapshot& before);
ReportContent ComparisonReport(ReportBaseline before, const ReportSnapshot& after);

}  // namespace vesk
