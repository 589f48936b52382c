// Turns the JVM's own heap dump into the records a heap walk writes: one
// <obj>/<arrayobj> record when an object is first named, one <ref> record per
// field, array element and static field reference the walk records, the
// roots the agent captured from the JVM itself, and the values of the class
// objects' own fields. Reads the file as a stream, twice: the first pass
// indexes every object (16 bytes each, 8 more once one is met before what
// names it) and reads the class layouts, the second writes. A reference's
// referrer is always recorded before it: an object passed before anything
// named it keeps its references in memory (within a budget; beyond it, its
// offset, to be read again) until something does. Objects nothing recorded
// names (what only the VM holds: constant pool caches, archived objects)
// become roots of kind other.
//
// What the dump does not say (which class object stands for which class
// record, object sizes, field indices as JVMTI numbers them) comes from the
// DumpPlan, which the agent fills before the dump. The holder is an Object[]
// that the dump contains: slot 0 itself, then the class objects, the thread
// objects, the root objects and the class field values, in the plan's order.
// Runs on one thread, no JVM call but through the plan's callbacks.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "HeapRecord.h"
#include "HprofFormat.h"

namespace Orlo {

// Sizes of arrays as GetObjectSize reports them: base + length x element,
// rounded up to the alignment; by HPROF basic type (OBJECT: any object array).
struct ArrayLayout {
    int64_t base[HprofFormat::BASIC_TYPES] = {};
    int64_t element[HprofFormat::BASIC_TYPES] = {};
    int64_t alignment = 8;

    int64_t Size(uint8_t type, int64_t length) const {
        int64_t bytes = base[type] + length * element[type];
        return (bytes + alignment - 1) / alignment * alignment;
    }
};

struct DumpPlan {
    // One class object of the holder: the tag the walk gives it (its class
    // record's address; 0: a class the tagging pass did not see, whose
    // instances the walk leaves out) and GetObjectSize of the class object.
    struct ClassSlot {
        jlong tag = 0;
        int64_t mirrorSize = 0;
    };
    // One value of a class object's own field: the class object's tag and
    // the field's index in java.lang.Class's numbering (-1: not listed).
    struct ValueSlot {
        jlong classTag = 0;
        jint index = -1;
    };

    std::vector<ClassSlot> classes;
    std::vector<jlong> threads;  // the thread records' tags
    // Root references as the JVM reported them: the tag of a class or thread
    // object, or a root object's (RootSlot).
    std::vector<HeapRecord::Captured> roots;
    uint32_t rootObjects = 0;  // holder slots for root objects
    std::vector<ValueSlot> values;

    jlong javaLangClassTag = 0;
    jlong primitiveArrayTags[HprofFormat::BASIC_TYPES] = {};  // by element type
    ArrayLayout arrays;
    jlong firstObjectTag = 0;  // object numbers start here

    // GetObjectSize of an instance of the class slot's class; asked once
    // per class that has instances in the dump.
    std::function<int64_t(uint32_t classSlot)> instanceSize;
    // JVMTI's index of the field name declared by the class of declaring
    // (a class slot) in the numbering of the class of classSlot; -1 when
    // that class has no such field (a field the dump adds, such as the
    // constant pool's resolved references).
    std::function<jint(uint32_t classSlot, uint32_t declaring, const std::string& name, bool isStatic)> fieldIndex;

    // Roots of objects other than class and thread objects carry these tags
    // until the dump names them: ROOT_TAG - k for holder root slot k.
    static constexpr jlong ROOT_TAG = -2;
    static uint32_t RootSlot(jlong tag) { return static_cast<uint32_t>(ROOT_TAG - tag); }

    uint32_t HolderLength() const {
        return static_cast<uint32_t>(1 + classes.size() + threads.size() + rootObjects + values.size());
    }
};

// Where the records go, and whether to go on.
class DumpRecordSink {
public:
    // False stops the conversion (the snapshot files failed).
    virtual bool Add(const HeapRecord::Captured& record) = 0;
    // Polled every few thousand objects; true stops the conversion.
    virtual bool Cancelled() = 0;

protected:
    ~DumpRecordSink() = default;
};

class DumpConverter {
public:
    enum class Result { DONE, CANCELLED, FAILED };

    // References kept in memory for objects passed before anything named
    // them (256 MiB); beyond, such objects are read again one at a time,
    // which a heap built back to front makes most of them.
    static constexpr size_t KEPT_VALUES_MAX = size_t(32) << 20;

    // keptValues: the budget of kept references (values, 8 bytes each).
    DumpConverter(const DumpPlan& plan, DumpRecordSink& sink, size_t keptValues = KEPT_VALUES_MAX);
    ~DumpConverter();
    DumpConverter(const DumpConverter&) = delete;
    DumpConverter& operator=(const DumpConverter&) = delete;

    // FAILED with error set when the file is unreadable, no dump this reader
    // understands, holds no holder, or the sink refused a record.
    Result Convert(const char* path, std::string& error);

    // Objects recorded through a root of kind other because nothing the walk
    // records names them.
    uint64_t ExtraRoots() const { return extraRoots; }
    uint64_t IndexedObjects() const { return objects.size(); }
    // Objects read a second time because something named them after they
    // were passed.
    uint64_t ReadAgain() const { return readAgain; }
    // Roots whose object the JVM sized otherwise than the plan does.
    uint64_t SizeMismatches() const { return sizeMismatches; }

private:
    // One object of the dump: its id, its class (an index into dumpClasses,
    // or PRIMITIVE | type) and its array length (-1: an instance).
    struct Entry {
        uint64_t id;
        uint32_t cls;
        int32_t length;
    };
    static constexpr uint32_t PRIMITIVE = 0x80000000u;
    // A class as the dump describes it.
    struct DumpClass {
        uint64_t id = 0;
        uint64_t super = 0;
        int32_t slot = -1;  // holder class slot; -1: none
        std::vector<std::pair<uint64_t, uint8_t>> fields;  // own instance fields: name id, type
        bool dumped = false;
        bool laidOut = false;
        int64_t size = -1;  // instance size, asked on first need
        uint64_t valueBytes = 0;
        std::vector<std::pair<uint32_t, jint>> refs;  // reference values: offset, index
    };
    // What a reference record needs of its target.
    struct Target {
        jlong tag = 0;
        jlong classTag = 0;
        int64_t size = 0;
        jint length = -1;
        int64_t rank = -1;  // -1: a class or thread object, always recorded
    };
    enum State : uint8_t {
        RECORDED = 1,
        DEFERRED = 2,    // passed before being recorded; its offset is kept
        VM_ARRAY = 4,    // an array the VM holds for a class (resolved references)
        THREAD = 8,
        IGNORED = 16,    // not reported by the walk: primitive types' class objects
    };

    bool Pass(bool index);
    bool Record(bool index);
    bool HeapDump(uint64_t length, bool index);
    bool IndexObject(const HprofSubRecord& record);
    bool ClassDump(bool index);
    bool Prepare();
    uint32_t DumpClassOf(uint64_t id);
    DumpClass& LaidOut(uint32_t cls);
    int64_t Rank(uint64_t id) const;
    bool TargetOf(uint64_t id, Target& target);
    // A reference from the referrer (tag 0: not shown) to the object id.
    // index < 0: none written.
    bool Emit(jvmtiHeapReferenceKind kind, jint index, jlong referrerTag, uint64_t id);
    bool EmitRoot(HeapRecord::Captured root, uint64_t id);
    bool EmitStart();
    // The reference values of the instance or object array of rank, its dump
    // at data (header included), in the order EmitValues takes them: an
    // array's elements; an instance's reference fields as its class lays them
    // out (0 where the record is too short).
    void ReferenceValues(int64_t rank, const uint8_t* data, const HprofSubRecord& record,
                         std::vector<uint64_t>& out);
    // The references of the object of rank, from its ReferenceValues.
    bool EmitValues(int64_t rank, const uint64_t* values, size_t count, jlong referrerTag);
    // An object passed before anything named it, its dump at data.
    void Defer(int64_t rank, const uint8_t* data, const HprofSubRecord& record);
    // What to do with an object met in the second pass.
    bool PassObject(const HprofSubRecord& record);
    bool EmitExtras();
    // Whether the walk would name the object of rank as a referrer: its
    // class is one the walk reports.
    bool ShowsReferrer(int64_t rank) const;
    bool Drain();
    bool ReadAt(uint64_t offset, std::vector<uint8_t>& out);
    // How many values ReferenceValues gives for the object of rank.
    size_t ValueCount(int64_t rank);
    bool Stop(const std::string& why);
    jlong TagOfRank(int64_t rank) const;

    // Input.
    bool Need(size_t n);
    bool Skip(uint64_t n);
    uint64_t Offset() const { return fileOffset + cursor; }

    const DumpPlan& plan;
    DumpRecordSink& sink;
    FILE* file = nullptr;
    std::vector<uint8_t> buffer;
    size_t cursor = 0, end = 0;
    uint64_t fileOffset = 0;
    size_t idSize = 8;
    bool failed = false;
    bool cancelled = false;
    std::string failure;
    uint32_t sinceCheck = 0;

    std::unordered_map<uint64_t, std::string> names;  // UTF8 records
    std::unordered_map<uint64_t, uint32_t> classIndex;  // class id -> dumpClasses
    std::vector<DumpClass> dumpClasses;
    std::vector<Entry> objects;  // sorted by id after the first pass
    std::vector<uint32_t> buckets;  // first rank of each id bucket
    uint64_t minId = 0;
    int bucketShift = 0;
    std::vector<uint8_t> states;
    // Per rank, its object number plus one, given at first use: numbers then
    // rise in the order the stream names objects, as the walk's do, so that
    // a reader finds the heap's tags in one consecutive run. 0: none yet.
    mutable std::vector<uint32_t> numbers;
    mutable uint32_t numbered = 0;
    std::unordered_map<uint64_t, uint32_t> mirrors;  // class object id -> class slot
    std::unordered_map<uint64_t, uint32_t> threadIds;  // thread object id -> thread slot
    std::vector<uint64_t> holder;  // the holder's element ids
    uint64_t holderId = 0;
    std::vector<uint64_t> vmHeld;  // arrays the dump's classes name beyond their fields
    // Per rank, for a DEFERRED object: KEPT | its first value in kept, or its
    // offset in the file. Sized on the first deferral.
    std::vector<uint64_t> deferred;
    static constexpr uint64_t KEPT = uint64_t(1) << 63;
    const size_t keptValues;
    std::vector<uint64_t> kept;  // deferred objects' ReferenceValues, back to back
    std::vector<uint32_t> pending;  // recorded ranks whose references are still to write
    std::vector<uint8_t> scratch;
    std::vector<uint64_t> values;
    uint64_t extraRoots = 0;
    uint64_t readAgain = 0;
    uint64_t sizeMismatches = 0;
    // Object values of static fields as the class dumps give them.
    struct Static {
        uint32_t cls;
        uint64_t name;
        uint64_t value;
    };
    std::vector<Static> statics;
};

}  // namespace Orlo
