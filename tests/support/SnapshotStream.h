// Snapshot streams for tests: built as the agent writes them (a header frame
// with class and thread records, then frames of object and reference
// records), and read back record by record through the client's own reader.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "protocol/SnapshotReader.h"
#include "protocol/VeskClient.h"

namespace vesktest {

class SnapshotStream {
public:
    // fields: names of the class's fields by index, each "name" or
    // "DefiningClass.name"; methods: (tag, name).
    SnapshotStream& Class(uint64_t tag, const std::string& name, const std::vector<std::string>& fields = {},
                          uint64_t superTag = 0, const std::vector<std::pair<uint64_t, std::string>>& methods = {});
    SnapshotStream& Thread(uint64_t tag, const std::string& name);
    // An <obj> record, or an <arrayobj> one when length >= 0.
    SnapshotStream& Object(uint64_t tag, uint64_t classTag, int64_t size, int32_t length = -1);
    // A root <ref> of kind (26: thread, 24: stack local and 25: JNI local with thread, depth and method, 21: JNI global).
    SnapshotStream& Root(uint64_t tag, uint64_t classTag, int64_t size, int kind = 21, uint64_t threadTag = 0,
                         int depth = 0, uint64_t method = 0x77);
    // A field (kind 2), array element (3) or static field (8) <ref>.
    SnapshotStream& Ref(uint64_t from, uint64_t to, uint64_t classTag, int64_t size, int32_t index, int kind = 2);
    // Starts a new frame for the records that follow, as the agent does every
    // 250,000 references.
    SnapshotStream& NextFrame();

    // The whole stream: header frame, record frames, the last one final.
    std::string Text() const;

private:
    std::string header;
    std::vector<std::string> frames{std::string()};
    uint64_t references = 0;
    uint64_t roots = 0;
    uint64_t objects = 0;
};

// An object graph given as edges over numbered objects, all of one class
// ("T", tag 0x100), turned into a stream: objects 1..n with tags 0x1000 + i
// and the given sizes; roots name objects held by JNI global references.
std::string GraphStream(const std::vector<int64_t>& sizes, const std::vector<std::pair<int, int>>& edges,
                        const std::vector<int>& roots);

struct ClassRecord {
    std::string name;
    int64_t totalinst = 0;
    std::map<int64_t, std::string> fields;  // index -> name
};
struct RefRecord {
    int kind;
    uint64_t tag, clstag, reftag, thrdtag, mthdtag;
    int64_t index, slot;  // -1 when absent
    bool root;
};

// The records of a stream, indexed, as vesk::SnapshotReader reads them.
struct SnapshotRecords : vesk::SnapshotHandler {
    // Reads the frames of one snapshot, in order.
    void Read(const std::vector<vesk::Frame>& frames);

    bool whole = false;  // the reader found the stream whole
    std::string error;   // else why not
    std::unordered_map<uint64_t, uint64_t> objects;  // tag -> clstag
    std::unordered_map<uint64_t, ClassRecord> classes;
    std::unordered_map<uint64_t, std::string> threads;
    std::unordered_map<uint64_t, std::string> methods;  // mthdtag -> name
    std::vector<RefRecord> refs;

    void OnClass(vesk::StreamClass& cls) override;
    void OnMethod(const vesk::StreamMethod& method) override { methods[method.tag] = method.name; }
    void OnThread(vesk::StreamThread& thread) override { threads[thread.tag] = thread.name; }
    void OnObject(const vesk::StreamObject& object) override { objects[object.tag] = object.classTag; }
    void OnReference(const vesk::StreamRef& ref) override;
};

}  // namespace vesktest
