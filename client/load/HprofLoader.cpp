#include "load/HprofLoader.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

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

// The first of two passes over the heap dump: every object gets its node,
// in file order, and the references are counted, so that the second pass
// finds every target and the arrays are sized once.
class NodeFiller : public HprofVisitor {
public:
    NodeFiller(const HprofFile& file, const HprofLayout& layout, HeapGraphBuilder& builder,
               const std::unordered_map<uint64_t, uint32_t>& classIndex, const uint32_t (&primitiveArrays)[F::BASIC_TYPES])
        : file(file), layout(layout), builder(builder), classIndex(classIndex), primitiveArrays(primitiveArrays) {}

    void OnClass(const HprofClass& cls) override {
        if (cls.loader) references++;
        for (const HprofField& field : cls.statics)
            if (field.type == F::OBJECT && field.value) references++;
    }
    void OnRoot(uint8_t kind, uint64_t object) override { builder.AddRoot(object, KindOf(kind)); }
    void OnInstance(uint64_t id, uint64_t classId, const HprofClass*, const uint8_t* values, uint32_t length) override {
        builder.AddObject(id, ClassIndex(classId), layout.InstanceSize(classId));
        file.ForEachReference(classId, values, length, [&](int32_t, uint64_t) { references++; });
    }
    void OnObjectArray(uint64_t id, uint64_t arrayClass, const uint8_t* elements, uint32_t count) override {
        builder.AddObject(id, ClassIndex(arrayClass), layout.ArraySize(layout.ElementSize(F::OBJECT), count));
        for (uint32_t i = 0; i < count; i++)
            if (file.Id(elements + static_cast<size_t>(i) * file.IdSize())) references++;
    }
    void OnPrimitiveArray(uint64_t id, uint8_t type, uint32_t count) override {
        builder.AddObject(id, type < F::BASIC_TYPES ? primitiveArrays[type] : NO_CLASS,
                          layout.ArraySize(layout.ElementSize(type), count));
    }

    uint64_t references = 0;

private:
    uint32_t ClassIndex(uint64_t classId) const {
        auto found = classIndex.find(classId);
        return found == classIndex.end() ? NO_CLASS : found->second;
    }

    const HprofFile& file;
    const HprofLayout& layout;
    HeapGraphBuilder& builder;
    const std::unordered_map<uint64_t, uint32_t>& classIndex;
    const uint32_t (&primitiveArrays)[F::BASIC_TYPES];
};

// The second pass: the references, from the nodes the first pass numbered.
class ReferenceFiller : public HprofVisitor {
public:
    ReferenceFiller(const HprofFile& file, HeapGraphBuilder& builder,
                    const std::unordered_map<uint64_t, size_t>& instanceFields, NodeId firstObject)
        : file(file), builder(builder), instanceFields(instanceFields), next(firstObject), end(builder.NodeCount()) {}

    void OnClass(const HprofClass& cls) override {
        NodeId node = builder.FindNode(cls.id);
        if (cls.loader) builder.AddReference(node, cls.loader, NO_INDEX);
        auto first = instanceFields.find(cls.id);
        size_t base = first == instanceFields.end() ? 0 : first->second;
        for (size_t i = 0; i < cls.statics.size(); i++)
            if (cls.statics[i].type == F::OBJECT && cls.statics[i].value)
                builder.AddReference(node, cls.statics[i].value, static_cast<int32_t>(base + i));
    }
    void OnInstance(uint64_t, uint64_t classId, const HprofClass*, const uint8_t* values, uint32_t length) override {
        NodeId node = Next();
        file.ForEachReference(classId, values, length,
                              [&](int32_t index, uint64_t target) { builder.AddReference(node, target, index); });
    }
    void OnObjectArray(uint64_t, uint64_t, const uint8_t* elements, uint32_t count) override {
        NodeId node = Next();
        for (uint32_t i = 0; i < count; i++) {
            uint64_t target = file.Id(elements + static_cast<size_t>(i) * file.IdSize());
            if (target) builder.AddReference(node, target, static_cast<int32_t>(i));
        }
    }
    void OnPrimitiveArray(uint64_t, uint8_t, uint32_t) override { Next(); }

private:
    // A file that changed since the first pass may hold more objects: their
    // references are counted as unresolved.
    NodeId Next() { return next < end ? next++ : NO_NODE; }

    const HprofFile& file;
    HeapGraphBuilder& builder;
    const std::unordered_map<uint64_t, size_t>& instanceFields;
    NodeId next;
    NodeId end;
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
    return name;
}

bool LoadHprofFile(const std::string& path, HeapGraph* graph, std::string* error, WorkProgress& progress) {
    try {
        HprofFile file(path, progress);
        const std::string reading = "reading " + path.substr(path.find_last_of('/') + 1);
        progress.Phase(reading + " (object layout)", file.Size());
        HprofLayout layout(file);
        HeapGraphBuilder builder;

        // Classes in id order, so that a graph of the same file is the same graph.
        std::vector<const HprofClass*> classes;
        for (const auto& entry : file.Classes()) classes.push_back(&entry.second);
        std::sort(classes.begin(), classes.end(), [](const HprofClass* a, const HprofClass* b) { return a->id < b->id; });
        std::unordered_map<uint64_t, uint32_t> classIndex;
        std::unordered_map<uint64_t, size_t> instanceFields;
        uint32_t classClass = NO_CLASS;
        uint32_t primitiveArrays[F::BASIC_TYPES];
        std::fill(std::begin(primitiveArrays), std::end(primitiveArrays), NO_CLASS);
        for (const HprofClass* cls : classes) {
            size_t count = 0;
            uint32_t index = builder.AddClass(DescribeClass(file, *cls, &count), cls->super);
            classIndex[cls->id] = index;
            instanceFields[cls->id] = count;
            if (cls->name == "java/lang/Class") classClass = index;
            for (uint8_t type = 0; type < F::BASIC_TYPES; type++)
                if (IsPrimitiveArray(cls->name, type)) primitiveArrays[type] = index;
        }
        for (const HprofClass* cls : classes) builder.Describe(builder.FindNode(cls->id), classClass, layout.ClassObjectSize(*cls));

        NodeId firstObject = builder.NodeCount();
        if (file.ObjectCount() > MAX_NODES - firstObject) {
            *error = path + ": " + TooManyObjects(firstObject + file.ObjectCount());
            return false;
        }
        builder.Reserve(firstObject + file.ObjectCount(), 0);
        NodeFiller nodes(file, layout, builder, classIndex, primitiveArrays);
        progress.Phase(reading + " (objects)", file.Size());
        file.Visit(nodes);
        progress.Phase("indexing object ids");
        builder.CompactTags();
        builder.Reserve(0, nodes.references);
        ReferenceFiller references(file, builder, instanceFields, firstObject);
        progress.Phase(reading + " (references)", file.Size());
        file.Visit(references);
        *graph = builder.Finish(progress);
        return true;
    } catch (const HprofError& e) {
        *error = e.what();
        return false;
    } catch (const std::length_error& e) {
        *error = path + ": " + e.what();
        return false;
    }
}

}  // namespace vesk
