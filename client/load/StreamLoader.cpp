#include "load/StreamLoader.h"

#include <utility>

#include "VeskProtocol.h"
#include "heap/ClassHistogram.h"

namespace vesk {

namespace wire = Orlo::Protocol;

static RootKind KindOfRoot(int32_t kind) {
    switch (kind) {
        case 21: return RootKind::JniGlobal;
        case 22: return RootKind::SystemClass;
        case 23: return RootKind::Monitor;
        case 24: return RootKind::StackLocal;
        case 25: return RootKind::JniLocal;
        case 26: return RootKind::Thread;
        default: return RootKind::Other;
    }
}

void StreamLoader::OnProperty(const std::string& command, const std::string& name, const std::string& value) {
    if (command != wire::CMD_SNAPSHOT) return;
    uint64_t number = strtoull(value.c_str(), nullptr, 10);
    if (name == wire::PROP_TOTAL_OBJECTS) totalObjects = number;
    else if (name == wire::PROP_TOTAL_REFERENCES) totalReferences = number;
    else if (name == wire::PROP_TOTAL_ROOTS) totalRoots = number;
}

void StreamLoader::OnClass(StreamClass& record) {
    HeapClass cls;
    cls.name = JvmClassName(std::move(record.name));
    cls.tag = record.tag;
    cls.fields.reserve(record.fields.size());
    for (StreamField& field : record.fields) cls.fields.push_back({std::move(field.name), std::move(field.definingClass)});
    cls.declaredInstances = record.instances;
    cls.declaredBytes = record.bytes;
    for (StreamMethod& method : classMethods) methodNames[method.tag] = cls.name + "." + method.name;
    classMethods.clear();
    builder.AddClass(std::move(cls), record.superTag);
}

void StreamLoader::OnMethod(const StreamMethod& method) { classMethods.push_back(method); }

void StreamLoader::OnThread(StreamThread& record) {
    HeapThread thread;
    thread.name = std::move(record.name);
    thread.tag = record.tag;
    thread.state = record.state;
    builder.AddThread(std::move(thread));
}

void StreamLoader::OnHeaderEnd() {
    firstObject = builder.NodeCount();
    described.assign(firstObject, false);
    // Class objects are instances of java.lang.Class even when no reference
    // names them (and so gives their size).
    const HeapGraph& graph = builder.Graph();
    std::vector<uint32_t> javaLangClass = graph.FindClasses("java.lang.Class");
    if (!javaLangClass.empty())
        for (const HeapClass& cls : graph.Classes()) builder.Describe(cls.node, javaLangClass[0], 0);
    // Roots are references too, and no graph edges.
    uint64_t edges = totalReferences > totalRoots ? totalReferences - totalRoots : 0;
    builder.Reserve(firstObject + totalObjects, edges);
}

void StreamLoader::OnObject(const StreamObject& object) {
    if (object.classTag != lastClassTag) {
        lastClassTag = object.classTag;
        lastClass = builder.FindClassTag(object.classTag);
    }
    builder.AddObject(object.tag, lastClass, object.size > 0 ? static_cast<uint64_t>(object.size) : 0);
}

uint32_t StreamLoader::Method(uint64_t tag) {
    auto known = methodIndex.find(tag);
    if (known != methodIndex.end()) return known->second;
    auto name = methodNames.find(tag);
    if (name == methodNames.end()) return NO_METHOD;
    return methodIndex[tag] = builder.AddMethod(name->second);
}

void StreamLoader::OnReference(const StreamRef& ref) {
    NodeId target = builder.FindNode(ref.tag);
    if (target < firstObject && !described[target]) {
        described[target] = true;
        builder.Describe(target, builder.FindClassTag(ref.classTag), ref.size > 0 ? static_cast<uint64_t>(ref.size) : 0);
    }
    if (ref.heapRoot) {
        uint32_t thread = ref.threadTag ? builder.FindThreadTag(ref.threadTag) : NO_THREAD;
        builder.AddRoot(ref.tag, KindOfRoot(ref.kind), thread, ref.depth, Method(ref.methodTag));
    } else if (ref.referrer != 0) {
        NodeId referrer = builder.FindNode(ref.referrer);
        int32_t index = ref.index;
        // A field reference from a class object names a field of java.lang.Class.
        if (ref.kind == 2 && index >= 0 && referrer < firstObject &&
            builder.Graph().DescribedClass(referrer) != NO_CLASS)
            index = ClassObjectField(index);
        builder.AddReference(referrer, ref.tag, index);
    }
}

}  // namespace vesk
