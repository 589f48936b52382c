// Waste in a heap, from its structure alone: empty and sparse collections
// (recognised through the superclass chain), empty and all-null object
// arrays, boxed primitives, and class names defined by several class
// loaders. Duplicate strings need the strings' characters, which the graph
// does not keep: they are never looked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"

namespace vesk {

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

// At most maxPerKind rows of each kind, so that no kind hides another; by
// kind, then saved bytes, largest first. loadersKnown: set when some class
// object names its class loader (an HPROF file's do; a snapshot stream
// carries no such reference, and every loader is unknown).
std::vector<WasteRow> FindWaste(const HeapGraph& graph, const DominatorTree& tree, size_t maxPerKind,
                                bool* loadersKnown);

}  // namespace vesk
