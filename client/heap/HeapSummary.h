// The figures every command that reads a whole heap states about it, so that
// histo, top, diff and the report count alike: objects (the JVM's filler
// objects left out), what the roots reach, and the objects no root reaches,
// by class. Those are counted in every histogram all the same: a heap dump
// leaves out references the JVM keeps (from class objects' own fields, for
// one), so what no record reaches may well be alive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"

namespace vesk {

struct HeapSummary {
    uint64_t objects = 0;  // fillers left out
    uint64_t references = 0;
    uint64_t reachableBytes = 0;
    uint64_t unreachableObjects = 0;
    uint64_t unreachableBytes = 0;
    // The classes of the unreachable objects with the most bytes, most first
    // (retained: -1).
    std::vector<ClassTotals> unreachableClasses;
    uint64_t fillers = 0;
    uint64_t fillerBytes = 0;
};

// classes: how many of the unreachable objects' classes to name.
HeapSummary SummarizeHeap(const HeapGraph& graph, const DominatorTree& tree, size_t classes = 5);

// Lines for a table's head or foot, each ending in a line feed; none when
// nothing is unreachable and there were no fillers. total: the line begins
// with the count and bytes ("12 objects (1.5 KiB) unreachable from the
// roots, counted all the same: 10 byte[] (1.2 KiB), 2 more"), else with
// "unreachable:" (the count given elsewhere). Then, with fillers, "left out:
// 205 filler objects of the JVM (5.0 KiB)". exact: bytes as numbers.
std::string UnreachableText(const HeapSummary& summary, bool exact, bool total);

}  // namespace vesk
