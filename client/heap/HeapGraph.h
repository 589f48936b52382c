// The object graph of one heap snapshot, compact enough for heaps of many
// millions of objects: every object, class object and thread object is a node
// with a dense number, 4 bytes for its class and 2 for its shallow size in
// 8-byte units (an escape for the rare larger or odd one), outgoing references are kept in CSR arrays
// (a 32-bit offset per node, 8 bytes per reference), and tags are stored as
// runs of consecutive values rather than one per node. Counts above 2^32
// work: offsets note where they pass each multiple of 2^32.
//
// Built once by a HeapGraphBuilder, read-only afterwards; safe to read from
// several threads.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/WorkProgress.h"

namespace vesk {

class FreshPages;

typedef uint32_t NodeId;
constexpr NodeId NO_NODE = std::numeric_limits<NodeId>::max();
// Node numbers end below NO_NODE and the dominator tree's virtual root.
constexpr uint64_t MAX_NODES = NO_NODE - 1;
// "N objects, more than ... a heap graph can number".
std::string TooManyObjects(uint64_t count);
constexpr uint32_t NO_CLASS = std::numeric_limits<uint32_t>::max();
constexpr uint32_t NO_THREAD = std::numeric_limits<uint32_t>::max();
// An edge's index when the reference has none (neither field nor array element).
constexpr int32_t NO_INDEX = -1;

// Why a root holds its object. ClassObject is the implicit root of every class
// object: static fields hang from class objects and the stream leaves out
// the system-class roots.
enum class RootKind : uint8_t {
    ClassObject,
    JniGlobal,
    SystemClass,
    Monitor,
    StackLocal,
    JniLocal,
    Thread,
    Other,
};
// "class", "JNI global", "system class", "monitor", "stack local", "JNI local",
// "thread", "other".
const char* RootKindName(RootKind kind);

struct HeapField {
    std::string name;
    std::string definingClass;  // Java name of the declaring class or interface
};

struct HeapClass {
    std::string name;  // Java name, e.g. "java.util.HashMap$Node" or "byte[]"
    uint64_t tag = 0;
    uint32_t super = NO_CLASS;  // index of the superclass
    // Every field a reference's index can name, by that index: for an
    // instance's field references and, on the class object, static ones.
    std::vector<HeapField> fields;
    NodeId node = NO_NODE;  // the class object
    // The totals the snapshot header states (totalinst, totalsize); -1 when
    // the source gives none.
    int64_t declaredInstances = -1;
    int64_t declaredBytes = -1;
    // Index of the field java.lang.ref.Reference.referent in fields, or
    // NO_INDEX: references through it are weak, soft or phantom.
    int32_t referentField = NO_INDEX;

    bool IsArray() const { return name.size() > 2 && name.compare(name.size() - 2, 2, "[]") == 0; }
};

// Every data member, for a stored copy of the graph (load/HeapIndex): a
// member added or changed is one edit here.
template <class Archive>
void Members(Archive& archive, HeapField& field) {
    archive(field.name, field.definingClass);
}
template <class Archive>
void Members(Archive& archive, HeapClass& cls) {
    archive(cls.name, cls.tag, cls.super, cls.fields, cls.node, cls.declaredInstances, cls.declaredBytes,
            cls.referentField);
}

struct HeapThread {
    std::string name;
    uint64_t tag = 0;
    int32_t state = 0;  // JVMTI thread state bits
    NodeId node = NO_NODE;
};
template <class Archive>
void Members(Archive& archive, HeapThread& thread) {
    archive(thread.name, thread.tag, thread.state, thread.node);
}

struct HeapRoot {
    NodeId node = NO_NODE;
    RootKind kind = RootKind::Other;
    uint32_t thread = NO_THREAD;  // stack and JNI locals: index into Threads()
    int32_t depth = -1;           // stack and JNI locals: frame depth, else -1
};
template <class Archive>
void Members(Archive& archive, HeapRoot& root) {
    archive(root.node, root.kind, root.thread, root.depth);
}

// One outgoing reference. index: the field index for an object's (or a class
// object's static) field, the element index for an array, NO_INDEX otherwise;
// below NO_INDEX, a class object's own field (one java.lang.Class declares),
// encoded by ClassObjectField.
struct HeapEdge {
    NodeId target;
    int32_t index;
};
inline int32_t ClassObjectField(int32_t index) { return NO_INDEX - 1 - index; }

// Per class totals, as histograms and diffs show them.
struct ClassTotals {
    std::string name;
    int64_t instances = 0;
    int64_t bytes = 0;      // shallow
    int64_t retained = -1;  // -1 when not computed
};

// Consecutive tags given to consecutive nodes; a lone tag is a run of 1.
struct TagRun {
    uint64_t firstTag;
    NodeId firstNode;
    uint32_t count;
};

// Node numbers to tags and back, for tags added in any order. Tags the agent
// gives its objects are consecutive, so a whole heap costs a few runs, unless
// the stream brings them out of order; heap dump ids are addresses. Compact
// stores such tags one per node: 8 bytes (their distance from the least, in
// 32 bits, in units of their common alignment) or 12 rather than 20 a run.
class TagIndex {
public:
    // Appends node (which must be the next number) with tag.
    void Add(NodeId node, uint64_t tag);
    // Room for count nodes' tags: address space only, until used.
    void Reserve(size_t count);
    NodeId Find(uint64_t tag) const;
    uint64_t TagOf(NodeId node) const;
    size_t MemoryBytes() const;
    // Sorts what was added since; Find is safe from several threads once
    // no Add came after the last Merge.
    void Merge() const;
    // Switches to a tag per node when runs are mostly single tags.
    void Compact();
    // Every data member, once, for a stored copy (load/HeapIndex).
    template <class Archive>
    void Members(Archive& archive) {
        archive(runs, compact, nearTags, tagBase, tagShift, nodeTags, byTag, sorted, ordered);
    }
    // Once all is added: compacted tags keep no order by tag, and Find scans
    // them (4 bytes a node less, for the few tags a command line names).
    void DropOrder();
    // Compacts the tags added so far and makes room for nodes in all, whose
    // tags Set gives in any order. least, most and differing (bits in which
    // some two differ) cover the tags to come.
    void CompactFor(size_t nodes, uint64_t least, uint64_t most, uint64_t differing);
    // Safe from several threads for distinct nodes, between CompactFor and Merge.
    void Set(NodeId node, uint64_t tag) {
        if (nodeTags.empty()) nearTags[node] = static_cast<uint32_t>((tag - tagBase) >> tagShift);
        else nodeTags[node] = tag;
    }

private:
    // Runs, or nodes once compacted: what byTag numbers.
    size_t Entries() const { return compact ? CompactCount() : runs.size(); }
    uint64_t NodeTag(size_t node) const {
        return nodeTags.empty() ? tagBase + (static_cast<uint64_t>(nearTags[node]) << tagShift) : nodeTags[node];
    }
    uint64_t FirstTag(size_t entry) const { return compact ? NodeTag(entry) : runs[entry].firstTag; }
    size_t CompactCount() const { return nodeTags.empty() ? nearTags.size() : nodeTags.size(); }
    NodeId FindIn(size_t entry, uint64_t tag) const;
    void BuildDirectory() const;

    std::vector<TagRun> runs;              // by node
    bool compact = false;
    // By node once compacted: nearTags when every tag fits, else nodeTags.
    std::vector<uint32_t> nearTags;
    uint64_t tagBase = 0;
    unsigned tagShift = 0;
    std::vector<uint64_t> nodeTags;
    mutable std::vector<uint32_t> byTag;   // entries ordered by tag
    mutable size_t sorted = 0;             // entries covered by byTag
    // Compact near tags only, while ordered: byTag's first position of each
    // range of near tags (near >> directoryShift), one more at the end.
    mutable std::vector<uint32_t> directory;
    mutable unsigned directoryShift = 0;
    bool ordered = true;                   // false after DropOrder
};

class HeapGraph {
public:
    HeapGraph() = default;
    HeapGraph(HeapGraph&&) = default;
    HeapGraph& operator=(HeapGraph&&) = default;

    NodeId NodeCount() const { return static_cast<NodeId>(classOf.size()); }
    uint64_t ReferenceCount() const { return edges.size(); }

    uint64_t Tag(NodeId node) const { return tags.TagOf(node); }
    // A scan of every node for heap dump ids: for a few calls, not a loop.
    NodeId FindTag(uint64_t tag) const { return tags.Find(tag); }
    // The node's class (java.lang.Class for class objects when the stream
    // names it); NO_CLASS when unknown.
    uint32_t ClassOf(NodeId node) const { return classOf[node]; }
    // "?" when the class is unknown.
    const std::string& ClassName(NodeId node) const;
    uint64_t ShallowSize(NodeId node) const {
        return shallow[node] != LARGE_SIZE ? uint64_t(shallow[node]) * SIZE_UNIT : largeSizes.at(node);
    }
    // The class a class object stands for, else NO_CLASS.
    uint32_t DescribedClass(NodeId node) const;
    // The thread a thread object stands for, else NO_THREAD.
    uint32_t DescribedThread(NodeId node) const;

    const HeapEdge* EdgesBegin(NodeId node) const { return edges.data() + Offset(node); }
    const HeapEdge* EdgesEnd(NodeId node) const { return edges.data() + Offset(node + 1); }
    // A reference through java.lang.ref.Reference.referent.
    bool IsWeak(NodeId referrer, const HeapEdge& edge) const;
    // The name of the field an edge of referrer goes through, "[i]" for an
    // array element, "?" when the index names no known field, "" with no index.
    std::string EdgeName(NodeId referrer, const HeapEdge& edge) const;

    const std::vector<HeapClass>& Classes() const { return classes; }
    const std::vector<HeapThread>& Threads() const { return threads; }
    // The roots as the source lists them (one object may be held by several
    // roots), followed by one ClassObject root per class object.
    const std::vector<HeapRoot>& Roots() const { return roots; }
    // Indices of the classes of that name (several class loaders may each load one).
    std::vector<uint32_t> FindClasses(const std::string& name) const;
    // Instances and shallow bytes of every class, from the nodes, by class
    // index (classes without instances included).
    std::vector<ClassTotals> Histogram() const;

    // References whose referrer or target the source never described.
    uint64_t UnresolvedReferences() const { return unresolved; }
    // The JVM's filler objects (the dead space a heap dump lists as
    // objects): nodes without class, size or references, left out of every
    // count; Fillers and FillerBytes say how many there were.
    uint64_t Fillers() const { return fillers; }
    uint64_t FillerBytes() const { return fillerBytes; }
    // Nodes less fillers: the objects every count is about.
    uint64_t ObjectCount() const { return NodeCount() - fillers; }
    // Makes these nodes fillers, each once; none may have references, to or from it.
    void LeaveOutFillers(const std::vector<NodeId>& nodes);
    // Heap bytes held by this graph (not counting the strings of names).
    size_t MemoryBytes() const;

    // Every data member, once, for a stored copy (load/HeapIndex): a reader
    // fills a default-constructed graph through it, a writer reads it.
    template <class Archive>
    void Members(Archive& archive) {
        archive(classes, threads, roots, classNodes, threadNodes, tags, classOf, shallow, largeSizes, offsets,
                offsetWraps, edges, unresolved, fillers, fillerBytes);
    }

private:
    friend class HeapGraphBuilder;

    // shallow counts SIZE_UNITs; a size that is no whole number of them
    // below LARGE_SIZE of them (arrays from 512 KiB) is in largeSizes.
    static constexpr uint16_t LARGE_SIZE = UINT16_MAX;
    static constexpr uint64_t SIZE_UNIT = 8;
    static bool IsLarge(uint64_t size) { return size % SIZE_UNIT != 0 || size / SIZE_UNIT >= LARGE_SIZE; }

    uint64_t Offset(NodeId node) const {
        return offsetWraps.empty() ? offsets[node] : WrappedOffset(node);
    }
    uint64_t WrappedOffset(NodeId node) const;
    void SetShallow(NodeId node, uint64_t size);

    std::vector<HeapClass> classes;
    std::vector<HeapThread> threads;
    std::vector<HeapRoot> roots;
    std::unordered_map<NodeId, uint32_t> classNodes;   // class object -> class
    std::unordered_map<NodeId, uint32_t> threadNodes;  // thread object -> thread
    TagIndex tags;
    std::vector<uint32_t> classOf;
    std::vector<uint16_t> shallow;
    std::unordered_map<NodeId, uint64_t> largeSizes;
    // NodeCount() + 1 offsets, their low 32 bits; the high part of a node's is
    // how many entries of offsetWraps (ascending nodes) are at most that node.
    std::vector<uint32_t> offsets;
    std::vector<NodeId> offsetWraps;
    std::vector<HeapEdge> edges;
    uint64_t unresolved = 0;
    uint64_t fillers = 0;
    uint64_t fillerBytes = 0;
};

// Fills a HeapGraph from any source that names objects by tags: the agent's
// snapshot stream, or a heap dump. A class must be added before its
// instances; a reference or root may name a target added later (resolved by
// Finish, at 16 bytes per such reference meanwhile). Tags are unique across
// classes, threads and objects; a tag added twice keeps its first node.
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
    void AddRoot(uint64_t target, RootKind kind, uint32_t thread = NO_THREAD, int32_t depth = -1);

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
    HeapEdge* ReferencesBegin(NodeId node) { return graph.edges.data() + graph.Offset(node); }
    HeapEdge* ReferencesEnd(NodeId node) { return graph.edges.data() + graph.Offset(node + 1); }

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
