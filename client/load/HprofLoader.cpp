#include "load/HprofLoader.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <unordered_map>

#include "base/ClientError.h"
#include "heap/ClassHistogram.h"
#include "heap/HeapGraphBuilder.h"
#include "load/HprofFile.h"
#include "load/HprofLayout.h"

namespace vesk {

namespace {

using F = HprofFormat;

RootKind KindOf(uint8_t tag) {
    switch (tag) {
        case F::ROOT_JNI_GLOBAL: return RootKind::JniGlobal;
        case F::ROOT_JNI_LOCAL: return RootKind::JniLocal;
        case F::ROOT_JAVA_FRAME: return RootKind::StackLocal;
        case F::ROOT_STICKY_CLASS: return RootKind::SystemClass;
        case F::ROOT_MONITOR_USED: return RootKind::Monitor;
        case F::ROOT_THREAD_OBJECT: return RootKind::Thread;
        default: return RootKind::Other;  // unknown, native stack, thread block
    }
}

// Whether jvmName is the JVM's name of the array class of a primitive type ("[I").
bool IsPrimitiveArray(std::string_view jvmName, uint8_t type) {
    const Orlo::HprofBasicType* basic = F::Basic(type);
    return type != F::OBJECT && basic && jvmName.size() == 2 && jvmName[0] == '[' && jvmName[1] == basic->code;
}

// Where an instance's values hold a reference, and the edge index it gets
// (its place among all the values).
struct ReferenceField {
    uint32_t offset;
    int32_t index;
};

// What the passes need of a class, looked up by its id from any thread.
struct ClassInfo {
    uint32_t index;
    uint64_t instanceSize;
    std::vector<ReferenceField> references;
};

// The reference fields of an instance layout. Values are read up to the
// first that does not fit the record: as offsets only grow, a reference is
// read when it fits itself.
std::vector<ReferenceField> ReferenceFields(const std::vector<uint8_t>& types, size_t idSize) {
    std::vector<ReferenceField> fields;
    uint64_t offset = 0;
    for (size_t i = 0; i < types.size() && offset + idSize <= UINT32_MAX; i++) {
        if (types[i] == F::OBJECT) fields.push_back({static_cast<uint32_t>(offset), static_cast<int32_t>(i)});
        offset += F::TypeSize(types[i], idSize);
    }
    return fields;
}

// Calls onReference(index, id) for each non-null reference of an instance.
template <class On>
void ForEachReference(const HprofFile& file, const ClassInfo& info, const uint8_t* values, uint32_t length,
                      On onReference) {
    const size_t idSize = file.IdSize();
    for (const ReferenceField& field : info.references) {
        if (field.offset + idSize > length) break;
        uint64_t id = file.Id(values + field.offset);
        if (id) onReference(field.index, id);
    }
}

// The last class a pass looked up: objects of a class often come together.
class ClassCache {
public:
    explicit ClassCache(const std::unordered_map<uint64_t, ClassInfo>& classes) : classes(classes) {}
    // Null for a class the dump does not hold.
    const ClassInfo* Find(uint64_t id) {
        if (id != lastId || !last) {
            auto found = classes.find(id);
            last = found == classes.end() ? nullptr : &found->second;
            lastId = id;
        }
        return last;
    }

private:
    const std::unordered_map<uint64_t, ClassInfo>& classes;
    uint64_t lastId = 0;
    const ClassInfo* last = nullptr;
};

// A root as a pass meets it: nodesBefore is the number the next object gets.
struct MetRoot {
    uint64_t object;
    uint8_t kind;
    NodeId nodesBefore;
};

// The first of two passes over the heap dump's pieces, on several threads:
// every object gets its node, numbered in file order, with its reference
// count, so that the second pass finds every target and writes each node's
// references in place.
class NodePass : public HprofVisitor {
public:
    NodePass(const HprofFile& file, const HprofLayout& layout, HeapGraphBuilder& builder,
             const std::unordered_map<uint64_t, ClassInfo>& classInfo, const uint32_t (&primitiveArrays)[F::BASIC_TYPES])
        : file(file), layout(layout), builder(builder), classInfo(classInfo), primitiveArrays(primitiveArrays) {}

    // The pieces' objects are numbered from first up to end.
    void Number(NodeId first, NodeId last) {
        next = first;
        end = last;
    }
    void OnRoot(uint8_t kind, uint64_t object) override { roots.push_back({object, kind, next}); }
    void OnInstance(uint64_t id, uint64_t classId, const HprofClass*, const uint8_t* values, uint32_t length) override {
        const ClassInfo* info = classInfo.Find(classId);
        // A class the dump lacks has no fields, and its size a header's.
        if (!info) return Add(id, NO_CLASS, HprofLayout::InstanceSize(file, classId, layout.Chosen()), 0);
        uint32_t references = 0;
        ForEachReference(file, *info, values, length, [&](int32_t, uint64_t) { references++; });
        Add(id, info->index, info->instanceSize, references);
    }
    void OnObjectArray(uint64_t id, uint64_t arrayClass, const uint8_t* elements, uint32_t count) override {
        uint32_t references = 0;
        for (uint32_t i = 0; i < count; i++)
            if (file.Id(elements + static_cast<size_t>(i) * file.IdSize())) references++;
        const ClassInfo* info = classInfo.Find(arrayClass);
        Add(id, info ? info->index : NO_CLASS, layout.ArraySize(layout.ElementSize(F::OBJECT), count), references);
    }
    void OnPrimitiveArray(uint64_t id, uint8_t type, uint32_t count) override {
        Add(id, type < F::BASIC_TYPES ? primitiveArrays[type] : NO_CLASS, layout.ArraySize(layout.ElementSize(type), count), 0);
    }

    std::vector<MetRoot> roots;
    uint64_t references = 0;  // of the objects set

private:
    // A file that changed since it was opened may hold more objects: they are left out.
    void Add(uint64_t id, uint32_t classIndex, uint64_t size, uint32_t count) {
        if (next >= end) return;
        builder.SetObject(next++, id, classIndex, size, count);
        references += count;
    }

    const HprofFile& file;
    const HprofLayout& layout;
    HeapGraphBuilder& builder;
    ClassCache classInfo;
    const uint32_t (&primitiveArrays)[F::BASIC_TYPES];
    NodeId next = 0;
    NodeId end = 0;
};

// The second pass: the references, into the room the first pass counted.
class ReferencePass : public HprofVisitor {
public:
    ReferencePass(const HprofFile& file, HeapGraphBuilder& builder, const std::unordered_map<uint64_t, ClassInfo>& classInfo)
        : file(file), builder(builder), classInfo(classInfo) {}

    void Number(NodeId first, NodeId last) {
        next = first;
        end = last;
    }
    void OnInstance(uint64_t, uint64_t classId, const HprofClass*, const uint8_t* values, uint32_t length) override {
        if (!Begin()) return;
        if (const ClassInfo* info = classInfo.Find(classId))
            ForEachReference(file, *info, values, length, [&](int32_t index, uint64_t target) { Put(target, index); });
        Done();
    }
    void OnObjectArray(uint64_t, uint64_t, const uint8_t* elements, uint32_t count) override {
        if (!Begin()) return;
        for (uint32_t i = 0; i < count; i++) {
            uint64_t target = file.Id(elements + static_cast<size_t>(i) * file.IdSize());
            if (target) Put(target, static_cast<int32_t>(i));
        }
        Done();
    }
    void OnPrimitiveArray(uint64_t, uint8_t, uint32_t) override {
        if (Begin()) Done();
    }

private:
    bool Begin() {
        if (next >= end) return false;
        out = builder.ReferencesBegin(next);
        room = builder.ReferencesEnd(next);
        return true;
    }
    // Room the file no longer fills (it changed) holds references to nothing.
    void Put(uint64_t target, int32_t index) {
        if (out < room) *out++ = {builder.FindNode(target), index};
    }
    void Done() {
        while (out < room) *out++ = {NO_NODE, NO_INDEX};
        next++;
    }

    const HprofFile& file;
    HeapGraphBuilder& builder;
    ClassCache classInfo;
    NodeId next = 0;
    NodeId end = 0;
    HeapEdge* out = nullptr;
    HeapEdge* room = nullptr;
};

// The class's fields by edge index: its instance fields in the order of an
// instance's values (its own, then each superclass's), then its statics.
HeapClass DescribeClass(const HprofFile& file, const HprofClass& cls, size_t* instanceFieldCount) {
    HeapClass described;
    described.name = cls.name.empty() ? "class@" + std::to_string(cls.id) : JavaClassName(cls.name);
    described.tag = cls.id;
    F::ClimbClasses(cls.id, file.Classes().size(), [&](uint64_t id) -> uint64_t {
        const HprofClass* c = file.FindClass(id);
        if (!c) return 0;
        std::string owner = JavaClassName(c->name);
        for (const HprofField& field : c->fields) {
            if (field.name == "referent" && owner == "java.lang.ref.Reference")
                described.referentField = static_cast<int32_t>(described.fields.size());
            described.fields.push_back({std::string(field.name), owner});
        }
        return c->super;
    });
    *instanceFieldCount = described.fields.size();
    for (const HprofField& field : cls.statics) described.fields.push_back({std::string(field.name), described.name});
    return described;
}

// The classes of the JVM's filler objects (JDK 19 and later), by their
// names in the dump. The JVM writes its filler arrays as int[]: they are
// known by the filler array class being loaded, and by being int[] that no
// record references. An empty one cannot be told from a live int[0] that
// only the VM holds (JDK 25 holds about a thousand): those stay counted.
struct FillerClasses {
    uint32_t object = NO_CLASS;  // jdk.internal.vm.FillerObject
    uint32_t array = NO_CLASS;   // jdk.internal.vm.FillerElement[], should a dump name it
    bool arraysAsInts = false;   // the filler array class is loaded
};

std::vector<NodeId> FindFillers(const HeapGraph& graph, const FillerClasses& fillers, uint32_t intArrays,
                                uint64_t emptyIntArray) {
    std::vector<NodeId> found;
    std::vector<bool> referenced;
    if (fillers.arraysAsInts && intArrays != NO_CLASS) {
        referenced.assign(graph.NodeCount(), false);
        for (NodeId node = 0; node < graph.NodeCount(); node++)
            for (const HeapEdge* edge = graph.EdgesBegin(node); edge != graph.EdgesEnd(node); edge++)
                referenced[edge->target] = true;
        for (const HeapRoot& root : graph.Roots()) referenced[root.node] = true;
    }
    for (NodeId node = 0; node < graph.NodeCount(); node++) {
        uint32_t cls = graph.ClassOf(node);
        if (cls == NO_CLASS) continue;
        if (cls == fillers.object || cls == fillers.array ||
            (cls == intArrays && !referenced.empty() && !referenced[node] && graph.ShallowSize(node) > emptyIntArray &&
             graph.EdgesBegin(node) == graph.EdgesEnd(node)))
            found.push_back(node);
    }
    return found;
}

}  // namespace

std::string JavaClassName(std::string_view jvmName) {
    size_t dimensions = 0;
    while (dimensions < jvmName.size() && jvmName[dimensions] == '[') dimensions++;
    std::string name;
    std::string_view element = jvmName.substr(dimensions);
    const Orlo::HprofBasicType* primitive = element.size() == 1 ? F::Primitive(element[0]) : nullptr;
    if (dimensions > 0 && primitive) {
        name = primitive->name;
    } else if (dimensions > 0 && element.size() > 2 && element.front() == 'L' && element.back() == ';') {
        name = std::string(element.substr(1, element.size() - 2));
    } else {
        name = std::string(element);
    }
    std::replace(name.begin(), name.end(), '/', '.');
    for (size_t i = 0; i < dimensions; i++) name += "[]";
    return JvmClassName(std::move(name));
}

namespace {

// The steps of reading an HPROF file into a graph, in the order Load takes them.
class GraphLoader {
public:
    GraphLoader(const std::string& path, WorkProgress& progress)
        : path(path),
          progress(progress),
          file(path, progress),
          reading("reading " + path.substr(path.find_last_of('/') + 1)),
          layout(file) {
        std::fill(std::begin(primitiveArrays), std::end(primitiveArrays), NO_CLASS);
    }

    uint64_t TimeStamp() const { return file.TimeStamp(); }

    HeapGraph Load() {
        AddClasses();
        CountObjects();
        AddRoots();
        AddClassReferences();
        FillReferences();
        HeapGraph graph = builder.Finish(progress);
        LeaveOutFillers(graph);
        return graph;
    }

private:
    // The classes in id order, so that a graph of the same file is the same
    // graph, then their class objects.
    void AddClasses() {
        for (const auto& entry : file.Classes()) classes.push_back(&entry.second);
        std::sort(classes.begin(), classes.end(), [](const HprofClass* a, const HprofClass* b) { return a->id < b->id; });
        uint32_t classClass = NO_CLASS;
        for (const HprofClass* cls : classes) {
            size_t count = 0;
            uint32_t index = builder.AddClass(DescribeClass(file, *cls, &count), cls->super);
            classIndex[cls->id] = index;
            instanceFields[cls->id] = count;
            if (cls->name == "java/lang/Class") classClass = index;
            if (cls->name == "jdk/internal/vm/FillerObject") fillers.object = index;
            if (cls->name == "[Ljdk/internal/vm/FillerElement;") fillers.array = index;
            for (uint8_t type = 0; type < F::BASIC_TYPES; type++)
                if (IsPrimitiveArray(cls->name, type)) primitiveArrays[type] = index;
        }
        for (const HprofClass* cls : classes) builder.Describe(builder.FindNode(cls->id), classClass, layout.ClassObjectSize(*cls));
    }

    // The first pass: every object its node and reference count, the roots as met.
    void CountObjects() {
        firstObject = builder.NodeCount();
        if (file.ObjectCount() > MAX_NODES - firstObject)
            throw ClientError(ErrorKind::File, path + ": " + TooManyObjects(firstObject + file.ObjectCount()));
        for (const HprofClass* cls : classes)
            classInfo[cls->id] = {classIndex[cls->id], layout.InstanceSize(cls->id),
                                  ReferenceFields(file.InstanceLayout(cls->id), file.IdSize())};
        const HprofIdRange& ids = file.ObjectIds();
        builder.AddObjects(file.ObjectCount(), ids.least, ids.most, ids.differing);

        progress.Phase(reading + " (objects)", file.Size());
        roots.resize(file.Pieces().size());
        std::atomic<uint64_t> references{0};
        file.ForPieceRuns([&](size_t first, size_t last) {
            NodePass pass(file, layout, builder, classInfo, primitiveArrays);
            for (size_t i = first; i < last; i++) {
                auto objects = ObjectsOf(i);
                pass.Number(objects.first, objects.second);
                file.VisitPieces(i, i + 1, pass);
                roots[i].swap(pass.roots);
            }
            references += pass.references;
        });
        // The references' room is faulted in while the tags are ordered.
        for (uint64_t id : file.ClassDumpOrder()) {
            const HprofClass& cls = *file.FindClass(id);
            references += cls.loader != 0;
            for (const HprofField& field : cls.statics) references += field.type == F::OBJECT && field.value;
        }
        builder.PrepareReferences(references);
        progress.Phase("indexing object ids");
        builder.OrderTags();
    }

    // Roots in the order a single pass would have met them: those whose
    // object came before, then the others.
    void AddRoots() {
        for (bool before : {true, false})
            for (const std::vector<MetRoot>& met : roots)
                for (const MetRoot& root : met) {
                    NodeId node = builder.FindNode(root.object);
                    if ((node != NO_NODE && node < root.nodesBefore) == before) builder.AddRoot(root.object, KindOf(root.kind));
                }
        std::vector<std::vector<MetRoot>>().swap(roots);
    }

    // The class objects' references, as their dumps come in the file.
    void AddClassReferences() {
        for (uint64_t id : file.ClassDumpOrder()) {
            const HprofClass& cls = *file.FindClass(id);
            NodeId node = builder.FindNode(cls.id);
            if (cls.loader) builder.AddReference(node, cls.loader, NO_INDEX);
            size_t base = instanceFields[cls.id];
            for (size_t i = 0; i < cls.statics.size(); i++)
                if (cls.statics[i].type == F::OBJECT && cls.statics[i].value)
                    builder.AddReference(node, cls.statics[i].value, static_cast<int32_t>(base + i));
        }
        builder.LayOutReferences();
    }

    // The second pass: the objects' references, into the room the first counted.
    void FillReferences() {
        progress.Phase(reading + " (references)", file.Size());
        file.ForPieceRuns([&](size_t first, size_t last) {
            ReferencePass pass(file, builder, classInfo);
            for (size_t i = first; i < last; i++) {
                auto objects = ObjectsOf(i);
                pass.Number(objects.first, objects.second);
                file.VisitPieces(i, i + 1, pass);
            }
        });
    }

    void LeaveOutFillers(HeapGraph& graph) const {
        if (fillers.object == NO_CLASS && fillers.array == NO_CLASS) return;
        FillerClasses found = fillers;
        found.arraysAsInts = fillers.array != NO_CLASS;
        graph.LeaveOutFillers(
            FindFillers(graph, found, primitiveArrays[F::INT], layout.ArraySize(layout.ElementSize(F::INT), 0)));
    }

    // The nodes of a piece's objects.
    std::pair<NodeId, NodeId> ObjectsOf(size_t piece) const {
        const HprofPiece& at = file.Pieces()[piece];
        NodeId first = firstObject + static_cast<NodeId>(at.objectsBefore);
        return {first, first + static_cast<NodeId>(at.objects)};
    }

    const std::string& path;
    WorkProgress& progress;
    HprofFile file;
    const std::string reading;  // the phases' name
    HprofLayout layout;
    HeapGraphBuilder builder;
    std::vector<const HprofClass*> classes;  // in id order
    std::unordered_map<uint64_t, uint32_t> classIndex;
    std::unordered_map<uint64_t, size_t> instanceFields;
    FillerClasses fillers;
    uint32_t primitiveArrays[F::BASIC_TYPES];
    NodeId firstObject = 0;
    std::unordered_map<uint64_t, ClassInfo> classInfo;
    std::vector<std::vector<MetRoot>> roots;  // by piece, until AddRoots
};

}  // namespace

HeapGraph LoadHprofFile(const std::string& path, WorkProgress& progress, uint64_t* timeStamp) {
    try {
        GraphLoader loader(path, progress);
        if (timeStamp) *timeStamp = loader.TimeStamp();
        return loader.Load();
    } catch (const std::length_error& e) {
        throw ClientError(ErrorKind::File, path + ": " + e.what());
    }
}

}  // namespace vesk
