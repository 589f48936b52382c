// Builds a HeapGraph from a snapshot stream: a SnapshotHandler that drives a
// HeapGraphBuilder. Nodes are the classes, then the threads (from the
// header), then the objects in stream order; a class or thread object takes
// its class and shallow size from the first reference record that names it.
// A stack or JNI local's root keeps its frame's method, named "Class.method".
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "heap/HeapGraphBuilder.h"
#include "protocol/SnapshotReader.h"

namespace vesk {

class StreamLoader : public SnapshotHandler {
public:
    void OnProperty(const std::string& command, const std::string& name, const std::string& value) override;
    void OnClass(StreamClass& cls) override;
    void OnMethod(const StreamMethod& method) override;
    void OnThread(StreamThread& thread) override;
    void OnHeaderEnd() override;
    void OnObject(const StreamObject& object) override;
    void OnReference(const StreamRef& ref) override;

    // The header's announced counts (total-objs, total-refs, total-roots); 0 when absent.
    uint64_t AnnouncedObjects() const { return totalObjects; }
    uint64_t AnnouncedReferences() const { return totalReferences; }
    const HeapGraphBuilder& Builder() const { return builder; }
    // Hands over the graph; call once, after the reader finished the stream.
    HeapGraph Finish(WorkProgress& progress = NoProgress()) { return builder.Finish(progress); }

private:
    // The index in the graph's Methods() of the method with tag; NO_METHOD for none.
    uint32_t Method(uint64_t tag);

    HeapGraphBuilder builder;
    NodeId firstObject = 0;       // class and thread nodes come before it
    std::vector<bool> described;  // class and thread nodes that have their size
    uint64_t lastClassTag = 0;    // objects come in runs of one class
    uint32_t lastClass = NO_CLASS;
    uint64_t totalObjects = 0;
    uint64_t totalReferences = 0;
    uint64_t totalRoots = 0;
    std::vector<StreamMethod> classMethods;  // of the class being read, until its OnClass
    std::unordered_map<uint64_t, std::string> methodNames;  // by tag, "Class.method"
    std::unordered_map<uint64_t, uint32_t> methodIndex;  // by tag, of the methods a root names
};

}  // namespace vesk
