// What is wrong with a heap, found without being asked, from its structure
// alone (a snapshot stream or an HPROF file, values or none):
// - leak suspects, by Eclipse MAT's rule: top-level dominators (objects only
//   the virtual root dominates, class objects with their statics included)
//   retaining more than a share of the reachable heap, and classes whose
//   top-level instances together do; each described by its accumulation
//   point, the shortest path to it from a GC root (weak references
//   excluded) and the classes of what it dominates;
// - waste: empty and sparse collections (recognised through the superclass
//   chain), empty and all-null object arrays, boxed primitives, and class
//   names defined by several class loaders.
//
// Duplicate strings need the strings' characters, which the graph does not
// keep: they are never reported and `values` says so.
//
// Memory: besides the graph and the tree, an index of the dominator tree's
// children (about 5 bytes a node) while suspects are described, freed
// before the search for paths (4 bytes a node and its queue). Not thread-safe
// while computing; the result owns no reference to the graph.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"
#include "heap/HeapPaths.h"

namespace vesk {

// Instances and retained bytes of one class within a subtree, retained by the
// per-class rule of DominatorTree::ByClass.
struct HeldClass {
    std::string name;
    int64_t instances = 0;
    uint64_t retained = 0;
};

struct LeakSuspect {
    bool byClass = false;     // many top-level instances of one class together
    NodeId node = NO_NODE;    // the object; for a class, its largest top-level instance
    uint32_t cls = NO_CLASS;  // for a class: which
    int64_t instances = 1;
    uint64_t retained = 0;    // for a class: all its top-level instances'
    // Where the memory accumulates below node: the dominator tree walked
    // down while one child retains at least 70 % of its parent.
    NodeId point = NO_NODE;
    uint64_t pointRetained = 0;
    HeapPath path;                  // from a GC root to point, weak references not followed
    std::vector<HeldClass> holds;   // below the point(s), by retained bytes, largest first
};

enum class WasteKind { EmptyCollection, SparseCollection, EmptyArray, NullArray, Boxed, DuplicateClass };
// "empty-collection", "sparse-collection", "empty-array", "null-array", "boxed", "duplicate-class".
const char* WasteKindName(WasteKind kind);

// One kind of waste in one class.
//   empty collection: bytes and saved are the collections' retained bytes;
//   sparse hash table (under a quarter of its slots used): bytes are the
//     tables', saved the slots beyond a table sized for its entries;
//   empty or all-null object array: bytes and saved are the arrays';
//   boxed primitive: bytes are the boxes', saved what exceeds the value;
//   duplicate class: instances are the copies, bytes their class objects',
//     saved all but one copy's.
struct WasteRow {
    WasteKind kind = WasteKind::EmptyCollection;
    std::string className;
    int64_t instances = 0;
    uint64_t bytes = 0;
    uint64_t saved = 0;
    // Duplicate class: each copy's class loader (NO_NODE: the bootstrap
    // loader) and how many classes that loader defines, in all.
    std::vector<std::pair<NodeId, uint32_t>> loaders;
};

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

HeapFindings FindProblems(const HeapGraph& graph, const DominatorTree& tree, const FindingsOptions& options);

// A path as `vesk path` prints its lines, without the indentation:
// "root: class", "class AppCache 7f..", ".SESSIONS -> java.util.HashMap 7f..".
std::vector<std::string> PathAsPrinted(const HeapGraph& graph, const HeapPath& path);

}  // namespace vesk
