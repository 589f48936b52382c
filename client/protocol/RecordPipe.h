#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/BoundedQueue.h"
#include "base/Parallel.h"
#include "protocol/SnapshotReader.h"

namespace vesk {

// Records for the second thread, in batches through a short queue: the
// reading thread waits when it is full, so memory stays bounded. The thread
// runs from the first batch to the next Drain.
class RecordPipe {
public:
    explicit RecordPipe(SnapshotReader& reader) : reader(reader), spare(QUEUED + 2) { filling.records.reserve(BATCH); }
    // Records not yet delivered are dropped.
    ~RecordPipe() {
        if (full) full->Cancel();
    }
    void Push(const StreamObject& object) {
        filling.records.push_back({object.tag, object.classTag, 0, object.size, object.length, 0, 0, Record::OBJECT});
        if (filling.records.size() == BATCH) Hand();
    }
    void Push(const StreamRef& ref) {
        int32_t aside = Record::REFERENCE;
        if (ref.heapRoot || ref.threadTag != 0 || ref.depth != -1 || ref.methodTag != 0 || ref.slot != -1) {
            aside = static_cast<int32_t>(filling.aside.size());
            filling.aside.push_back(ref);
        }
        filling.records.push_back({ref.tag, ref.classTag, ref.referrer, ref.size, ref.length, ref.index, ref.kind, aside});
        if (filling.records.size() == BATCH) Hand();
    }
    // Returns once every record pushed has been delivered; throws what the
    // handler threw.
    void Drain();

private:
    static constexpr size_t BATCH = 4096;
    static constexpr size_t QUEUED = 3;
    // An object, or a reference in the fields most have: half the room of
    // a StreamRef, as the batches' bytes go from one core to the other.
    struct Record {
        static constexpr int32_t OBJECT = -2;     // aside: the record is an object
        static constexpr int32_t REFERENCE = -1;  // aside: the reference is all here
        uint64_t tag;
        uint64_t classTag;
        uint64_t referrer;
        int64_t size;
        int32_t length;
        int32_t index;
        int32_t kind;
        int32_t aside;  // else where in the batch's aside the whole reference (a root's) is
    };
    struct Batch {
        std::vector<Record> records;
        std::vector<StreamRef> aside;
    };

    void Hand();
    void Run();
    void Deliver(const Batch& batch);

    SnapshotReader& reader;
    Batch filling;  // the reading thread's
    // Every batch there is is filling, queued, being delivered or spare: spare never fills.
    BoundedQueue<Batch> spare;
    std::unique_ptr<BoundedQueue<Batch>> full;  // while the thread runs
    Beside<> worker;  // last
};

// Inline here for the fast path, which delivers every record through them.
inline void SnapshotReader::Deliver(const StreamObject& object) {
    if (!pipe) return handler.OnObject(object);
    pipe->Push(object);
}

inline void SnapshotReader::Deliver(const StreamRef& ref) {
    if (!pipe) return handler.OnReference(ref);
    pipe->Push(ref);
}

}  // namespace vesk
