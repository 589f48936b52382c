// An HPROF heap dump (the JVM's own jcmd GC.heap_dump / jmap dumps and vesk
// dump files), read record by record through windows (HprofWindow) that
// hold about a piece of it at a time. Opening reads the names and the
// classes and cuts the heap dump into pieces; Visit then hands every root
// and object to a visitor in file order, and VisitPieces does so for a run
// of pieces, so that threads can share a pass. Identifier sizes 4 and 8.
//
// A zstd-compressed file (told by its first bytes) is decoded instead, front
// to back for the opening and again for each pass, on a second thread:
// offsets are then those of the plain file.
//
// After opening, every const method is safe from several threads; but with
// a compressed file, Visit and VisitPieces are for one thread at a time, and
// read fastest in file order (an earlier piece decodes from the start again).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "HprofFormat.h"
#include "base/ClientError.h"
#include "base/WorkProgress.h"

namespace vesk {

class HprofWindow;

// Tags, basic types and layouts of the format, shared with the agent.
using HprofFormat = Orlo::HprofFormat;

struct HprofField {
    uint64_t nameId = 0;
    std::string_view name;
    uint8_t type = 0;    // HprofFormat::OBJECT, INT...
    uint64_t value = 0;  // static fields only: the identifier or the value's bits
};

struct HprofClass {
    uint64_t id = 0;
    uint64_t super = 0;
    uint64_t loader = 0;
    std::string_view name;  // as the JVM writes it: "java/lang/String", "[I"
    uint32_t instanceSize = 0;  // the JVM's field bytes as the dump states them
    std::vector<HprofField> statics;
    std::vector<HprofField> fields;  // this class's own instance fields, in dump order
};

// Called in file order; every method has an empty default.
class HprofVisitor {
public:
    virtual ~HprofVisitor() = default;
    virtual void OnClass(const HprofClass& cls) { (void)cls; }
    // kind: the root's sub-record tag (HprofFormat::ROOT_UNKNOWN...)
    virtual void OnRoot(uint8_t kind, uint64_t object) { (void)kind, (void)object; }
    // cls is null when the dump holds no CLASS DUMP for the instance's class.
    virtual void OnInstance(uint64_t id, uint64_t classId, const HprofClass* cls, const uint8_t* values,
                            uint32_t length) {
        (void)id, (void)classId, (void)cls, (void)values, (void)length;
    }
    // elements: count identifiers of the file's size (HprofFile::Id reads them).
    virtual void OnObjectArray(uint64_t id, uint64_t arrayClass, const uint8_t* elements, uint32_t count) {
        (void)id, (void)arrayClass, (void)elements, (void)count;
    }
    virtual void OnPrimitiveArray(uint64_t id, uint8_t elementType, uint32_t count) {
        (void)id, (void)elementType, (void)count;
    }
};

// A run of whole sub-records of one heap dump record, about a few MiB.
struct HprofPiece {
    uint64_t begin;  // file offsets
    uint64_t end;
    uint64_t objectsBefore;  // instances and arrays in the pieces before this one
    uint64_t objects;
    uint64_t firstMark = 0;  // of HprofFile::Marks(): this piece's first object's
};

// A root that names a thread: its thread object (ROOT THREAD OBJECT: frame
// is then the serial of the thread's stack trace), or a local that one of
// its frames holds (ROOT JAVA FRAME, ROOT JNI LOCAL: frame is the frame's
// depth in that trace).
struct HprofThreadRoot {
    uint8_t kind;
    uint64_t object;
    uint32_t thread;  // the thread's serial
    uint32_t frame;
};

// A STACK FRAME record; names are UTF8 ids (HprofFile::Name).
struct HprofStackFrame {
    uint64_t method = 0;
    uint64_t source = 0;
    uint32_t classSerial = 0;  // LOAD CLASS's serial (HprofFile::ClassOfSerial)
    int32_t line = 0;          // > 0 a line; else unknown, compiled or native
};

// A STACK TRACE record: its thread's serial and frame ids, innermost first.
struct HprofStackTrace {
    uint32_t thread = 0;
    std::vector<uint64_t> frames;
};

// An object's fixed part, as the opening pass samples it for HprofLayout.
struct HprofObjectHead {
    uint64_t address;
    uint64_t classId;  // instances
    uint32_t length;   // arrays
    uint8_t element;   // arrays: the element type; 0 for an instance
};

// The least and greatest object id, and the bits in which any two differ.
struct HprofIdRange {
    uint64_t least = UINT64_MAX;
    uint64_t most = 0;
    uint64_t differing = 0;

    void Add(uint64_t id) {
        if (least != UINT64_MAX) differing |= id ^ least;
        least = id < least ? id : least;
        most = id > most ? id : most;
    }
};

class HprofFile {
public:
    // Objects the opening pass keeps the heads of, the first in file order.
    static constexpr size_t SAMPLE = 2000000;
    // Every MARK_EVERY-th object of a piece has its offset in Marks(): an
    // object is found by a short walk from its mark.
    static constexpr uint64_t MARK_EVERY = 128;

    // Reads the file's names, classes and stack traces. A file that cannot be read, is no
    // HPROF, or is malformed or truncated throws ClientError (File), the
    // message naming the byte offset.
    // progress gets this opening pass as a phase of its own, and the offset
    // reached in every later Visit (whose phases the caller names).
    // keepSample false: TakeSample gives none (a reader that sizes no
    // objects saves its memory).
    explicit HprofFile(const std::string& path, WorkProgress& progress = NoProgress(), bool keepSample = true);
    ~HprofFile();
    HprofFile(const HprofFile&) = delete;
    HprofFile& operator=(const HprofFile&) = delete;

    // True when the file begins with an HPROF header.
    static bool IsHprof(const std::string& path);

    size_t IdSize() const { return idSize; }
    // The header's time stamp: milliseconds since the epoch, when the dump was written.
    uint64_t TimeStamp() const { return timeStamp; }
    // The file's length in bytes; a compressed file's plain length.
    uint64_t Size() const { return size; }
    uint64_t Id(const uint8_t* at) const {
        if (idSize == 8) {
            uint64_t id;
            memcpy(&id, at, 8);
            return __builtin_bswap64(id);
        }
        uint32_t id;
        memcpy(&id, at, 4);
        return __builtin_bswap32(id);
    }
    const HprofClass* FindClass(uint64_t id) const;
    const std::unordered_map<uint64_t, HprofClass>& Classes() const { return classes; }
    // Instances and arrays the heap dump records hold, from the opening pass.
    uint64_t ObjectCount() const { return objects; }
    // The instance field types of a class, its superclasses' after its own:
    // the order of an INSTANCE DUMP's values.
    const std::vector<uint8_t>& InstanceLayout(uint64_t classId) const;
    // Calls onReference(index, id) for each non-null reference among an
    // instance's values; index counts the values in InstanceLayout order.
    template <class F>
    void ForEachReference(uint64_t classId, const uint8_t* values, uint32_t length, F onReference) const {
        ForEachReference(InstanceLayout(classId), values, length, onReference);
    }
    // The same for a layout already looked up.
    template <class F>
    void ForEachReference(const std::vector<uint8_t>& types, const uint8_t* values, uint32_t length,
                          F onReference) const {
        int32_t index = 0;
        HprofFormat::WalkValues(types.data(), types.size(), length, idSize, [&](uint8_t type, uint64_t offset, size_t) {
            if (type == HprofFormat::OBJECT) {
                uint64_t id = Id(values + offset);
                if (id) onReference(index, id);
            }
            index++;
            return true;
        });
    }

    // Every root and object, in file order; throws as opening does.
    void Visit(HprofVisitor& visitor) const;
    const std::vector<HprofPiece>& Pieces() const { return pieces; }
    // The roots and objects of pieces [first, last), in file order, without
    // the class dumps (OnClass is not called) and with no class for OnInstance.
    void VisitPieces(size_t first, size_t last, HprofVisitor& visitor) const;
    // Runs work(first, last) on contiguous runs of pieces of about equal
    // bytes, on as many threads as are worth it (the caller's one of them),
    // each reading through a window of its own; the exception of the
    // earliest run that threw comes out. A compressed file's pieces are one
    // run, on the caller's thread.
    void ForPieceRuns(const std::function<void(size_t first, size_t last)>& work) const;
    // The heads of the first SAMPLE objects; the second call gets none.
    std::vector<HprofObjectHead> TakeSample() const { return std::move(sample); }
    // The class dumps' ids in file order.
    const std::vector<uint64_t>& ClassDumpOrder() const { return classOrder; }
    // Of every object id (not the classes').
    const HprofIdRange& ObjectIds() const { return ids; }
    // Offsets of the sub-records of each piece's objects 0, MARK_EVERY,
    // 2 * MARK_EVERY..., the pieces' in file order.
    const std::vector<uint64_t>& Marks() const { return marks; }

    // A UTF8 record's text; empty for an id the file does not hold.
    std::string_view Name(uint64_t id) const;
    // The class a LOAD CLASS serial names; 0 when none does.
    uint64_t ClassOfSerial(uint32_t serial) const;
    const std::unordered_map<uint64_t, HprofStackFrame>& StackFrames() const { return stackFrames; }
    const std::unordered_map<uint32_t, HprofStackTrace>& StackTraces() const { return stackTraces; }
    // The roots that name a thread, in file order.
    const std::vector<HprofThreadRoot>& ThreadRoots() const { return threadRoots; }

private:
    struct Opening;
    void ReadHeader(const HprofWindow& in);
    // A STACK FRAME or STACK TRACE record's body.
    void ReadStack(uint8_t tag, const uint8_t* data, uint64_t length);
    void ReadRecords();
    // Cuts the heap dump record whose body is [begin, end) into pieces.
    void OpenDump(HprofWindow& in, uint64_t record, uint64_t begin, uint64_t end, Opening& opening) const;
    void ReadClassDump(const HprofWindow& in, const uint8_t*& at, const uint8_t* end, HprofClass& cls) const;
    // Hands the records in the window to visitor, or to opening the class
    // dumps, object counts, sample and pieces. With stopAtCut, a record that
    // end cuts ends the walk rather than failing it. Returns where it ended.
    const uint8_t* WalkHeapDump(const HprofWindow& in, const uint8_t* at, const uint8_t* end, HprofVisitor* visitor,
                                Opening* opening, bool classes = true, bool stopAtCut = false) const;
    void MergeOpenings(std::vector<Opening>& openings, const std::unordered_map<uint64_t, uint64_t>& classNames);
    // The objects after the first run's, when it held too few for the sample.
    void TopUpSample();
    void VisitPiece(HprofWindow& in, size_t piece, HprofVisitor& visitor, bool classes) const;
    [[noreturn]] void Fail(const HprofWindow& in, const uint8_t* at, const std::string& what) const;
    [[noreturn]] void FailAt(uint64_t offset, const std::string& what) const;

    std::string path;
    WorkProgress& progress;
    bool compressed = false;
    bool keepSample = true;
    uint64_t size = 0;
    size_t idSize = 0;
    uint64_t timeStamp = 0;
    size_t firstRecord = 0;
    uint64_t objects = 0;
    std::vector<HprofPiece> pieces;
    mutable std::vector<HprofObjectHead> sample;
    HprofIdRange ids;
    std::unordered_map<uint64_t, std::string_view> names;
    std::unordered_map<uint64_t, HprofClass> classes;
    std::vector<uint64_t> classOrder;
    std::vector<uint64_t> marks;
    std::unordered_map<uint32_t, uint64_t> classSerials;
    std::unordered_map<uint64_t, HprofStackFrame> stackFrames;
    std::unordered_map<uint32_t, HprofStackTrace> stackTraces;
    std::vector<HprofThreadRoot> threadRoots;
    std::unordered_map<uint64_t, std::vector<uint8_t>> layouts;  // of every class, filled on opening
    // Opening's window, which keeps the names; a compressed file's passes
    // read through it too.
    std::unique_ptr<HprofWindow> window;
};

}  // namespace vesk
