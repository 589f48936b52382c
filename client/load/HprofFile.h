// An HPROF heap dump (the JVM's own jcmd GC.heap_dump / jmap dumps and vesk
// dump files), mapped read-only and read record by record. Opening reads the
// names and the classes; Visit then hands every root and object to a
// visitor in file order. Identifier sizes 4 and 8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "HprofFormat.h"
#include "heap/WorkProgress.h"
#include "load/MappedFile.h"

namespace vesk {

// Tags, basic types and layouts of the format, shared with the agent.
using HprofFormat = Orlo::HprofFormat;

// A file that is no HPROF, or a malformed or truncated one; the message
// names the byte offset.
class HprofError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

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

class HprofFile {
public:
    // Maps the file and reads its names and classes; throws HprofError.
    // progress gets this opening pass as a phase of its own, and the offset
    // reached in every later Visit (whose phases the caller names).
    explicit HprofFile(const std::string& path, WorkProgress& progress = NoProgress());
    HprofFile(const HprofFile&) = delete;
    HprofFile& operator=(const HprofFile&) = delete;

    // True when the file begins with an HPROF header.
    static bool IsHprof(const std::string& path);

    size_t IdSize() const { return idSize; }
    // The file's length in bytes.
    uint64_t Size() const { return size; }
    uint64_t Id(const uint8_t* at) const;
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
        const std::vector<uint8_t>& types = InstanceLayout(classId);
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

    // Every root and object, in file order; throws HprofError.
    void Visit(HprofVisitor& visitor) const;

private:
    void ReadMetadata();
    void ReadClassDump(const uint8_t*& at, const uint8_t* end, HprofClass& cls) const;
    // Hands the records to visitor, and the class dumps to found, when given.
    void WalkHeapDump(const uint8_t* at, const uint8_t* end, HprofVisitor* visitor,
                      std::vector<HprofClass>* found) const;
    [[noreturn]] void Fail(const uint8_t* at, const std::string& what) const;

    std::string path;
    WorkProgress& progress;
    MappedFile mapping;
    const uint8_t* data = nullptr;  // the mapping's
    size_t size = 0;
    size_t idSize = 0;
    size_t firstRecord = 0;
    mutable uint64_t objects = 0;
    std::unordered_map<uint64_t, std::string_view> names;
    std::unordered_map<uint64_t, HprofClass> classes;
    mutable std::unordered_map<uint64_t, std::vector<uint8_t>> layouts;
};

}  // namespace vesk
