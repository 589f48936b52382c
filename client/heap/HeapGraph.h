// The object graph of one heap snapshot, compact enough for heaps of many
// millions of objects: every object, class object and thread object is a
// node with a dense number, 4 bytes for its class and 2 for its shallow size
// in 8-byte units (an escape for the rare larger or odd one), outgoing
// references are kept in CSR arrays (EdgeOffsets, 8 bytes per reference),
// and tags in a TagIndex.
//
// Built once by a HeapGraphBuilder, read-only afterwards; safe to read from
// several threads.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "heap/ClassHistogram.h"
#include "heap/EdgeOffsets.h"
#include "heap/NodeId.h"
#include "heap/TagIndex.h"

namespace vesk {

// "N objects, more than ... a heap graph can number".
std::string TooManyObjects(uint64_t count);
constexpr uint32_t NO_CLASS = std::numeric_limits<uint32_t>::max();
constexpr uint32_t NO_THREAD = std::numeric_limits<uint32_t>::max();
constexpr uint32_t NO_METHOD = std::numeric_limits<uint32_t>::max();
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
    uint32_t method = NO_METHOD;  // stack and JNI locals: the frame's method, index into Methods()
};
template <class Archive>
void Members(Archive& archive, HeapRoot& root) {
    archive(root.node, root.kind, root.thread, root.depth, root.method);
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

class HeapGraph {
public:
    HeapGraph() = default;
    HeapGraph(HeapGraph&&) = default;
    HeapGraph& operator=(HeapGraph&&) = default;

    NodeId NodeCount() const { return static_cast<NodeId>(classOf.size()); }
    uint64_t ReferenceCount() const { return edges.size(); }

    uint64_t Tag(NodeId node) const { return tags.TagOf(node); }
    // A scan of every node for heap dump ids, unless OrderTags ran: for a
    // few calls, not a loop.
    NodeId FindTag(uint64_t tag) const { return tags.Find(tag); }
    // Makes FindTag bisect for heap dump ids too: at no cost when they ascend
    // in a few runs (a heap dump lists objects by address), else at 4 to 6
    // bytes a node.
    void OrderTags() { tags.RestoreOrder(); }
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

    const HeapEdge* EdgesBegin(NodeId node) const { return edges.data() + offsets[node]; }
    const HeapEdge* EdgesEnd(NodeId node) const { return edges.data() + offsets[node + 1]; }
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
    // The methods of the frames whose locals are roots, "java.lang.Thread.run".
    const std::vector<std::string>& Methods() const { return methods; }
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
        archive(classes, threads, roots, methods, classNodes, threadNodes, tags, classOf, shallow, largeSizes, offsets, edges,
                unresolved, fillers, fillerBytes);
    }

private:
    friend class HeapGraphBuilder;

    // shallow counts SIZE_UNITs; a size that is no whole number of them
    // below LARGE_SIZE of them (arrays from 512 KiB) is in largeSizes.
    static constexpr uint16_t LARGE_SIZE = UINT16_MAX;
    static constexpr uint64_t SIZE_UNIT = 8;
    static bool IsLarge(uint64_t size) { return size % SIZE_UNIT != 0 || size / SIZE_UNIT >= LARGE_SIZE; }

    void SetShallow(NodeId node, uint64_t size);

    std::vector<HeapClass> classes;
    std::vector<HeapThread> threads;
    std::vector<HeapRoot> roots;
    std::vector<std::string> methods;
    std::unordered_map<NodeId, uint32_t> classNodes;   // class object -> class
    std::unordered_map<NodeId, uint32_t> threadNodes;  // thread object -> thread
    TagIndex tags;
    std::vector<uint32_t> classOf;
    std::vector<uint16_t> shallow;
    std::unordered_map<NodeId, uint64_t> largeSizes;
    EdgeOffsets offsets;  // NodeCount() + 1
    std::vector<HeapEdge> edges;
    uint64_t unresolved = 0;
    uint64_t fillers = 0;
    uint64_t fillerBytes = 0;
};

}  // namespace vesk
