// Fills a HeapGraph from any source that names objects by tags: the agent's
// snapshot stream, or a heap dump. A class must be added before its
// instances; a reference or root may name a target added later (resolved by
// Finish, at 16 bytes per such reference meanwhile). Tags are unique across
// classes, threads and objects; a tag added twice keeps its first node.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "heap/HeapGraph.h"
#include "base/WorkProgress.h"

namespace vesk {

class FreshPages;

class HeapGraphBuilder {
public:
    HeapGraphBuilder();
    ~HeapGraphBuilder();

    // The class gets a node of its own, its class object. super and node are
    // ignored; superTag (0: none) is resolved by Finish.
    uint32_t AddClass(HeapClass cls, uint64_t superTag);
    // The thread gets a node of its own, its thread object; node is ignored.
    uint32_t AddThread(HeapThread thread);
    // classIndex: NO_CLASS when unknown.
    // Throws std::length_error past MAX_NODES nodes.
    NodeId AddObject(uint64_t tag, uint32_t classIndex, uint64_t size);
    // Class and shallow size of a node added without them (class and thread objects).
    void Describe(NodeId node, uint32_t classIndex, uint64_t size);

    NodeId FindNode(uint64_t tag) const { return graph.tags.Find(tag); }
    uint32_t FindClassTag(uint64_t tag) const;
    uint32_t FindThreadTag(uint64_t tag) const;

    // A reference from referrer to the object with tag target.
    void AddReference(NodeId referrer, uint64_t target, int32_t index);
    // A root of kind (not ClassObject: every class object is one anyway).
    void AddRoot(uint64_t target, RootKind kind, uint32_t thread = NO_THREAD, int32_t depth = -1,
                 uint32_t method = NO_METHOD);
    // A frame's method for AddRoot: its index in the graph's Methods().
    uint32_t AddMethod(std::string name);

    NodeId NodeCount() const { return graph.NodeCount(); }
    uint64_t ReferenceCount() const { return referrers.size(); }
    // What has been added so far (edges not yet ordered, tags maybe unresolved).
    const HeapGraph& Graph() const { return graph; }
    // Room for that many nodes and references, so that growing never holds
    // two copies of the arrays at once. Untouched room costs address space only.
    void Reserve(uint64_t nodes, uint64_t references);
    // Heap bytes held so far.
    size_t MemoryBytes() const;
    // Call once most nodes are added: stores tags that form no runs (heap
    // dump addresses) in less room.
    void CompactTags() { graph.tags.Compact(); }

    // Resolves forward references, orders the references by referrer and
    // hands over the graph; the builder is empty afterwards. progress: the
    // phase "graph".
    HeapGraph Finish(WorkProgress& progress = NoProgress());

    // In bulk, for a source that counts its objects first (a heap dump) and
    // then describes them on several threads: AddObjects, SetObject for each
    // (any thread), OrderTags, the roots and the references of the earlier
    // nodes (one thread), LayOutReferences, ReferencesOf for each (any
    // thread), Finish.
    //
    // count nodes after the present ones, whose tags lie in [leastTag,
    // mostTag] and differ in no bit outside differing; returns the first.
    // Throws std::length_error past MAX_NODES nodes.
    NodeId AddObjects(uint64_t count, uint64_t leastTag, uint64_t mostTag, uint64_t differing);
    // references: how many the node will have.
    void SetObject(NodeId node, uint64_t tag, uint32_t classIndex, uint64_t size, uint32_t references);
    // FindNode is then safe from several threads.
    void OrderTags() { graph.tags.Merge(); }
    // Optional, before the first reference: room for no fewer references
    // than will come in all, faulted in on another thread until
    // LayOutReferences, so that it finds the room resident.
    void PrepareReferences(uint64_t atLeast);
    // Room for the counted references after those added so far, which must
    // all come from nodes before AddObjects' first.
    void LayOutReferences();
    // The node's room: fill it with the targets (NO_NODE for one not found,
    // dropped by Finish) and indices, in order.
    HeapEdge* ReferencesBegin(NodeId node) { return graph.edges.data() + graph.offsets[node]; }
    HeapEdge* ReferencesEnd(NodeId node) { return graph.edges.data() + graph.offsets[node + 1]; }

private:
    NodeId NewNode(uint64_t tag, uint32_t classIndex, uint64_t size);

    HeapGraph graph;
    std::unordered_map<uint64_t, uint32_t> classByTag;
    std::unordered_map<uint64_t, uint32_t> threadByTag;
    std::vector<uint64_t> superTags;
    // References in arrival order, sorted in place by referrer at Finish.
    std::vector<NodeId> referrers;
    struct Pending {
        uint64_t position;
        uint64_t tag;
    };
    std::vector<Pending> pendingTargets;
    struct PendingRoot {
        uint64_t tag;
        HeapRoot root;
    };
    std::vector<PendingRoot> pendingRoots;
    bool bulk = false;  // AddObjects was called
    std::unique_ptr<FreshPages> preparedReferences;
    std::mutex largeSizesLock;  // SetObject of a size above 32 bits
};

}  // namespace vesk
