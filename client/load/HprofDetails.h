// The details of an HPROF file (HeapDetails): each class's
// field types and static values, the stacks of the threads with their
// frames' locals, and the marks by which HprofObjectReader finds an object
// in the file; everything else (an instance's values, an array's elements,
// a String's text) is read from the file when asked. What is kept costs a
// few bytes per class and 8 bytes per HprofFile::MARK_EVERY objects.
//
// First read from the file (one opening pass, HprofFile), then kept in the
// file's index, from which a later command reads it. A compressed file is
// decoded once into a private temporary file (in the cache directory, else
// TMPDIR), removed from the directory at once and gone with the process:
// zstd data cannot be read at an offset. With the details in the index,
// that happens on a thread beside, and the first call that reads an object
// waits for it.
//
// Values: the agent's HEAPDUMP zeroes every primitive value and marks
// nothing, so a dump counts as having values when a primitive static, or a
// primitive value among its first objects, is not zero. A real JVM's dump
// always has some (static final constants such as String.COMPACT_STRINGS).
//
// A UTF-16 String's bytes are read in little-endian order, as the JVMs
// that write HPROF files on x86-64 and AArch64 hold them.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Parallel.h"
#include "load/HeapDetails.h"
#include "load/HprofObjectReader.h"

namespace vesk {

class HprofDetails : public HeapDetails {
public:
    // What is kept of a class, by the graph's class index.
    struct ClassLayout {
        std::vector<uint8_t> types;  // of HeapClass::fields: the instance fields', then the statics'
        uint32_t instanceFields = 0;
        std::vector<uint64_t> statics;  // the static fields' values (ids or bits)

        template <class Archive>
        void Members(Archive& archive) {
            archive(types, instanceFields, statics);
        }
    };

    // Reads the details of input (an HPROF file, whose graph is graph); from
    // its index when it holds them, else from the file, then added to the
    // index when there is one. Throws ClientError (File) as HprofFile does.
    HprofDetails(const HeapInput& input, const HeapGraph& graph, WorkProgress& progress);
    ~HprofDetails() override;

    bool HasValues() const override { return hasValues; }
    std::vector<FieldView> Fields(NodeId node, uint64_t offset, uint64_t limit) const override;
    int64_t Length(NodeId node) const override;
    std::vector<ThreadView> Threads() const override { return threads; }

    // The text of a java.lang.String, at most MAX_TEXT characters; "" when
    // node is none or the dump has no values.
    std::string StringText(NodeId node) const;
    static constexpr size_t MAX_TEXT = 200;

private:
    class PlainCopy;

    // The plain file's path, a compressed file decoded first.
    const std::string& PlainPath(WorkProgress& progress) const;
    const HprofObjectReader& Reader() const;
    void ReadFile(const std::string& path, WorkProgress& progress);
    bool ReadIndex(const HeapInput& input);
    void WriteIndex(const HeapInput& input) const;
    // Every data member kept in the index.
    template <class Archive>
    void Members(Archive& archive) {
        archive(hasValues, idSize, firstObject, classes, pieces, marks, threads);
    }
    // Whether some primitive value is not zero among the statics and the objects at the first marks.
    bool FindValues() const;
    void NameThreads();

    bool IsObject(NodeId node) const { return node >= firstObject && node != NO_NODE; }
    HprofObjectRecord Record(NodeId node) const { return Reader().Find(node - firstObject); }
    // The target of node's reference with this edge index; NO_NODE for none.
    NodeId Target(NodeId node, int32_t index) const;
    FieldView Reference(const std::string& name, NodeId target) const;
    FieldView Primitive(const std::string& name, uint8_t type, const uint8_t* at) const;
    std::vector<FieldView> InstanceFields(NodeId node, const HprofObjectRecord& record, uint64_t offset,
                                          uint64_t limit) const;
    std::vector<FieldView> Elements(NodeId node, const HprofObjectRecord& record, uint64_t offset,
                                    uint64_t limit) const;

    const HeapGraph& graph;
    bool hasValues = false;
    uint64_t idSize = 0;
    NodeId firstObject = 0;  // objects are numbered from here in file order
    std::vector<ClassLayout> classes;
    std::vector<HprofPiece> pieces;
    std::vector<uint64_t> marks;
    std::vector<ThreadView> threads;
    std::string source;
    mutable std::once_flag decoded, opened;
    mutable std::string plainPath;
    mutable std::unique_ptr<PlainCopy> plain;  // a compressed file's
    mutable std::unique_ptr<HprofObjectReader> reader;
    mutable Beside<> decoding;  // last: joined before the rest goes
};

}  // namespace vesk
