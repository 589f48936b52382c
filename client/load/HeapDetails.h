// What an input tells of its objects besides the graph: the values of an
// object's fields, an array's elements, the threads' stacks with the objects
// their frames hold (each class's loader is in the graph: DefiningLoaders). An unredacted HPROF file has values; a
// snapshot stream or a redacted dump has none (HasValues false: fields then
// name their type and the object they reference, nothing else).
//
// Threads: read-only once opened, safe to call from several threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/WorkProgress.h"
#include "heap/HeapGraph.h"

namespace vesk {

class HeapInput;

struct FieldView {
    std::string name;   // the field's name, or "[3]" for an array element
    std::string type;   // Java type: "int", "boolean", "java.lang.String", "byte[]"; "java.lang.Object" when unknown
    bool hasValue = false;  // value holds a primitive's value or a java.lang.String's text
    std::string value;  // "42", "true", "3.5", a char as itself; a String's text, its first 200 characters
    NodeId target = NO_NODE;  // the object referenced; NO_NODE for null and primitives
};

struct FrameView {
    std::string method;  // "com.example.Worker.run"
    std::string source;  // "Worker.java", "" when unknown
    int32_t line = 0;    // > 0 a line number, else unknown
    std::vector<NodeId> locals;  // the objects this frame's locals hold
};

struct ThreadView {
    NodeId node = NO_NODE;  // the java.lang.Thread object
    std::string name;
    std::vector<FrameView> frames;  // innermost first; empty when the input has no stacks
};

class HeapDetails {
public:
    virtual ~HeapDetails() = default;

    virtual bool HasValues() const = 0;
    // An instance's fields (its class's first, then its superclasses'), a
    // class object's static fields, or an array's elements [offset,
    // offset + limit). Throws ClientError (File) when the file cannot be
    // read any more.
    virtual std::vector<FieldView> Fields(NodeId node, uint64_t offset = 0, uint64_t limit = UINT64_MAX) const = 0;
    // An array's length, -1 for anything else.
    virtual int64_t Length(NodeId node) const = 0;
    // Every thread the input names, in its order.
    virtual std::vector<ThreadView> Threads() const = 0;
};

// The details of input, whose graph is graph (both must outlive them): what
// they keep in memory is read here (from the file, or from its index).
std::unique_ptr<HeapDetails> OpenDetails(const HeapInput& input, const HeapGraph& graph,
                                         WorkProgress& progress = NoProgress());

}  // namespace vesk
