// The HPROF format as the JVM writes it (jcmd GC.heap_dump, jmap,
// HotSpotDiagnosticMXBean.dumpHeap): the header, the record and heap dump
// sub-record tags, the basic types with their sizes, the fixed parts of the
// records and sub-records, and the order of an instance's field values. The
// agent's redactor and the client's reader both read through it.
//
// Header-only and portable. Every function reads only the bytes its contract
// names, which the caller has made readable; none allocates or throws.
// Identifiers are 4 or 8 bytes (idSize); numbers are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Orlo {

// One basic type: its value's size (0 for a reference, whose size is the
// file's identifier size), its descriptor character and its Java name.
struct HprofBasicType {
    uint8_t size;
    char code;
    const char* name;
};

// The header as read; length is where the first record begins.
struct HprofHeader {
    size_t length = 0;
    size_t textLength = 0;  // "JAVA PROFILE 1.0.x": bytes before its NUL
    size_t idSize = 0;
    uint64_t timeStamp = 0;  // milliseconds since the epoch
};

enum class HprofHeaderStatus { OK, NOT_HPROF, TRUNCATED, BAD_ID_SIZE };

// The fixed part of a heap dump sub-record, decoded. Which fields mean
// something depends on the tag; the rest stay 0.
struct HprofSubRecord {
    uint8_t tag = 0;
    size_t header = 0;     // bytes of the fixed part, the tag's included
    uint64_t id = 0;       // the object, array or class; a root's object
    uint64_t classId = 0;  // an instance's class, an object array's class
    uint64_t super = 0;    // class dump
    uint64_t loader = 0;   // class dump
    uint32_t instanceSize = 0;  // class dump: the field bytes the JVM states
    uint32_t count = 0;    // array elements; constant pool entries; an instance's value bytes
    uint8_t elementType = 0;  // primitive array
    uint64_t body = 0;     // bytes after the fixed part; 0 for a class dump (WalkClassDump measures it)
};

// One entry of a class dump after its fixed part: a constant pool entry
// (name is its pool index), a static field or an instance field (no value).
struct HprofClassEntry {
    enum Part { CONSTANT, STATIC, FIELD } part;
    uint64_t name;
    uint8_t type;
    size_t value;      // offset of the value from the class dump's tag
    size_t valueSize;  // 0 for an instance field
};

enum class HprofClassStatus { OK, TRUNCATED, BAD_VALUE_TYPE, BAD_FIELD_TYPE };

struct HprofFormat {
    // "JAVA PROFILE 1.0.x", NUL, u4 identifier size, u8 time stamp.
    static constexpr const char* MAGIC = "JAVA PROFILE ";
    static constexpr size_t MAGIC_LENGTH = 13;
    static constexpr size_t MAX_HEADER_TEXT = 64;  // the longest text before the NUL accepted
    static constexpr size_t MAX_HEADER = MAX_HEADER_TEXT + 1 + 12;

    // Records: u1 tag, u4 microseconds since the header's time stamp, u4
    // length of the body that follows.
    static constexpr size_t RECORD_HEADER = 9;
    enum RecordTag : uint8_t {
        UTF8 = 0x01,
        LOAD_CLASS = 0x02,
        UNLOAD_CLASS = 0x03,
        FRAME = 0x04,
        TRACE = 0x05,
        ALLOC_SITES = 0x06,
        HEAP_SUMMARY = 0x07,
        START_THREAD = 0x0A,
        END_THREAD = 0x0B,
        HEAP_DUMP = 0x0C,
        CPU_SAMPLES = 0x0D,
        CONTROL_SETTINGS = 0x0E,
        HEAP_DUMP_SEGMENT = 0x1C,
        HEAP_DUMP_END = 0x2C,
    };

    // Sub-records of HEAP_DUMP and HEAP_DUMP_SEGMENT: the roots, then the dumps.
    enum SubRecordTag : uint8_t {
        ROOT_UNKNOWN = 0xFF,
        ROOT_JNI_GLOBAL = 0x01,
        ROOT_JNI_LOCAL = 0x02,
        ROOT_JAVA_FRAME = 0x03,
        ROOT_NATIVE_STACK = 0x04,
        ROOT_STICKY_CLASS = 0x05,
        ROOT_THREAD_BLOCK = 0x06,
        ROOT_MONITOR_USED = 0x07,
        ROOT_THREAD_OBJECT = 0x08,
        CLASS_DUMP = 0x20,
        INSTANCE_DUMP = 0x21,
        OBJ_ARRAY_DUMP = 0x22,
        PRIM_ARRAY_DUMP = 0x23,
    };

    enum BasicTypeTag : uint8_t {
        OBJECT = 2,
        BOOLEAN = 4,
        CHAR = 5,
        FLOAT = 6,
        DOUBLE = 7,
        BYTE = 8,
        SHORT = 9,
        INT = 10,
        LONG = 11,
    };
    static constexpr uint8_t BASIC_TYPES = 12;  // tags below this

    // The one table of basic types, by tag; null for no such type.
    static const HprofBasicType* Basic(uint8_t type) {
        static constexpr HprofBasicType table[BASIC_TYPES] = {
            {0, 0, nullptr},      {0, 0, nullptr},     {0, 'L', nullptr},   {0, 0, nullptr},
            {1, 'Z', "boolean"},  {2, 'C', "char"},    {4, 'F', "float"},   {8, 'D', "double"},
            {1, 'B', "byte"},     {2, 'S', "short"},   {4, 'I', "int"},     {8, 'J', "long"},
        };
        return type < BASIC_TYPES && table[type].code ? &table[type] : nullptr;
    }
    // The primitive type of a descriptor character ('I' int); null for none.
    static const HprofBasicType* Primitive(char code) {
        for (uint8_t type = BOOLEAN; type < BASIC_TYPES; type++)
            if (Basic(type)->code == code) return Basic(type);
        return nullptr;
    }
    // Bytes of a value of the basic type; 0 for no such type.
    static size_t TypeSize(uint8_t type, size_t idSize) {
        const HprofBasicType* basic = Basic(type);
        return !basic ? 0 : type == OBJECT ? idSize : basic->size;
    }

    static uint64_t Big(const uint8_t* at, size_t width) {
        uint64_t value = 0;
        for (size_t i = 0; i < width; i++) value = value << 8 | at[i];
        return value;
    }

    static bool HasMagic(const uint8_t* data, size_t available) {
        return available >= MAGIC_LENGTH && memcmp(data, MAGIC, MAGIC_LENGTH) == 0;
    }

    // Reads the header from the first bytes of the file (MAX_HEADER of them,
    // or the whole file when it is shorter). TRUNCATED: the text ends but
    // the numbers after it do not.
    static HprofHeaderStatus ParseHeader(const uint8_t* data, size_t available, HprofHeader& header) {
        size_t scan = available < MAX_HEADER_TEXT + 1 ? available : MAX_HEADER_TEXT + 1;
        const void* nul = memchr(data, 0, scan);
        if (!HasMagic(data, available) || !nul) return HprofHeaderStatus::NOT_HPROF;
        header.textLength = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
        header.length = header.textLength + 13;
        if (available < header.length) return HprofHeaderStatus::TRUNCATED;
        header.idSize = static_cast<size_t>(Big(data + header.textLength + 1, 4));
        header.timeStamp = Big(data + header.textLength + 5, 8);
        if (header.idSize != 4 && header.idSize != 8) return HprofHeaderStatus::BAD_ID_SIZE;
        return HprofHeaderStatus::OK;
    }

    // The body length of the record whose RECORD_HEADER bytes are at record.
    static uint32_t RecordLength(const uint8_t* record) { return static_cast<uint32_t>(Big(record + 5, 4)); }

    // LOAD_CLASS body: u4 class serial, class id, u4 stack trace serial, name
    // id. False when the body is too short.
    static bool LoadClass(const uint8_t* body, uint64_t length, size_t idSize, uint64_t& classId, uint64_t& nameId) {
        if (length < 2 * idSize + 8) return false;
        classId = Big(body + 4, idSize);
        nameId = Big(body + 4 + idSize + 4, idSize);
        return true;
    }

    // The UTF8 names a LOAD_CLASS, FRAME or START_THREAD record uses (a
    // class's name; a frame's method name, signature and source file; a
    // thread's name and groups' names), into names; how many.
    static size_t NamesUsed(uint8_t tag, const uint8_t* body, uint64_t length, size_t idSize, uint64_t (&names)[3]) {
        uint64_t classId;
        if (tag == LOAD_CLASS) return LoadClass(body, length, idSize, classId, names[0]) ? 1 : 0;
        if (length < 4 * idSize + 8) return 0;
        // FRAME: frame id, method name, signature, source file, u4 class
        // serial, u4 line. START_THREAD: u4 serial, thread id, u4 stack trace
        // serial, name, group name, parent group name.
        size_t first = tag == FRAME ? idSize : tag == START_THREAD ? 4 + idSize + 4 : 0;
        if (first == 0) return 0;
        for (size_t k = 0; k < 3; k++) names[k] = Big(body + first + k * idSize, idSize);
        return 3;
    }

    // Bytes after the tag of a root sub-record; 0 for a tag that is no root.
    static size_t RootBody(uint8_t tag, size_t idSize) {
        switch (tag) {
            case ROOT_UNKNOWN:
            case ROOT_STICKY_CLASS:
            case ROOT_MONITOR_USED: return idSize;
            case ROOT_JNI_GLOBAL: return 2 * idSize;  // with the global ref's id
            case ROOT_JNI_LOCAL:                      // thread serial, frame
            case ROOT_JAVA_FRAME:                     // thread serial, frame
            case ROOT_THREAD_OBJECT: return idSize + 8;  // serials of thread and trace
            case ROOT_NATIVE_STACK:                   // thread serial
            case ROOT_THREAD_BLOCK: return idSize + 4;
            default: return 0;
        }
    }

    // Bytes of the fixed part of a sub-record, its tag included; 0 for an
    // unknown tag.
    static size_t SubRecordHeader(uint8_t tag, size_t idSize) {
        switch (tag) {
            // Class id, u4 stack serial, super, loader, signers, protection
            // domain, two reserved ids, u4 instance size, u2 constant pool size.
            case CLASS_DUMP: return 1 + 7 * idSize + 10;
            // Object id, u4 stack serial, class id, u4 length of the values.
            case INSTANCE_DUMP: return 1 + 2 * idSize + 8;
            // Array id, u4 stack serial, u4 length, array class id.
            case OBJ_ARRAY_DUMP: return 1 + 2 * idSize + 8;
            // Array id, u4 stack serial, u4 length, u1 element type.
            case PRIM_ARRAY_DUMP: return 1 + idSize + 9;
            default: {
                size_t root = RootBody(tag, idSize);
                return root ? 1 + root : 0;
            }
        }
    }

    // Decodes the fixed part of a sub-record: SubRecordHeader bytes at at,
    // of a known tag. A primitive array of no primitive type has body 0.
    static HprofSubRecord DecodeSubRecord(const uint8_t* at, size_t idSize) {
        HprofSubRecord record;
        record.tag = at[0];
        record.header = SubRecordHeader(record.tag, idSize);
        record.id = Big(at + 1, idSize);
        switch (record.tag) {
            case CLASS_DUMP:
                record.super = Big(at + 1 + idSize + 4, idSize);
                record.loader = Big(at + 1 + 2 * idSize + 4, idSize);
                record.instanceSize = static_cast<uint32_t>(Big(at + 1 + 7 * idSize + 4, 4));
                record.count = static_cast<uint32_t>(Big(at + 1 + 7 * idSize + 8, 2));
                break;
            case INSTANCE_DUMP:
                record.classId = Big(at + 1 + idSize + 4, idSize);
                record.count = static_cast<uint32_t>(Big(at + 1 + 2 * idSize + 4, 4));
                record.body = record.count;
                break;
            case OBJ_ARRAY_DUMP:
                record.count = static_cast<uint32_t>(Big(at + 1 + idSize + 4, 4));
                record.classId = Big(at + 1 + idSize + 8, idSize);
                record.body = uint64_t(record.count) * idSize;
                break;
            case PRIM_ARRAY_DUMP:
                record.count = static_cast<uint32_t>(Big(at + 1 + idSize + 4, 4));
                record.elementType = at[1 + idSize + 8];
                record.body = record.elementType == OBJECT ? 0 : uint64_t(record.count) * TypeSize(record.elementType, idSize);
                break;
            default: break;
        }
        return record;
    }

    // Walks a class dump held whole from its tag at at, available bytes
    // readable: visit(const HprofClassEntry&) for each constant pool entry,
    // static field and instance field, in file order. OK with length set to
    // the class dump's bytes; TRUNCATED when it runs past available; a bad
    // type with length set to the offending entry's offset.
    template <class Visit>
    static HprofClassStatus WalkClassDump(const uint8_t* at, size_t available, size_t idSize, size_t& length,
                                          Visit visit) {
        size_t offset = SubRecordHeader(CLASS_DUMP, idSize);
        if (available < offset) return HprofClassStatus::TRUNCATED;
        size_t constants = static_cast<size_t>(Big(at + offset - 2, 2));
        // Each entry: a head (a u2 pool index or a name id, u1 type), then
        // the value, which instance fields lack.
        for (int part = HprofClassEntry::CONSTANT; part <= HprofClassEntry::FIELD; part++) {
            size_t count = constants;
            size_t head = part == HprofClassEntry::CONSTANT ? 3 : idSize + 1;
            if (part != HprofClassEntry::CONSTANT) {
                if (available - offset < 2) return HprofClassStatus::TRUNCATED;
                count = static_cast<size_t>(Big(at + offset, 2));
                offset += 2;
            }
            for (size_t i = 0; i < count; i++) {
                if (available - offset < head) return HprofClassStatus::TRUNCATED;
                HprofClassEntry entry;
                entry.part = static_cast<HprofClassEntry::Part>(part);
                entry.name = Big(at + offset, head - 1);
                entry.type = at[offset + head - 1];
                entry.value = offset + head;
                size_t size = TypeSize(entry.type, idSize);
                entry.valueSize = part == HprofClassEntry::FIELD ? 0 : size;
                if (size == 0) {
                    length = entry.value;
                    return part == HprofClassEntry::FIELD ? HprofClassStatus::BAD_FIELD_TYPE
                                                          : HprofClassStatus::BAD_VALUE_TYPE;
                }
                if (available - entry.value < entry.valueSize) return HprofClassStatus::TRUNCATED;
                visit(entry);
                offset = entry.value + entry.valueSize;
            }
        }
        length = offset;
        return HprofClassStatus::OK;
    }

    // Visits a class and then each superclass, the order of an instance's
    // values: step(classId) takes one class and returns its superclass, 0 at
    // the top or for a class the dump lacks. At most limit classes, so that
    // a malformed dump's cycle ends.
    template <class Step>
    static void ClimbClasses(uint64_t classId, size_t limit, Step step) {
        for (uint64_t id = classId; id != 0 && limit > 0; limit--) id = step(id);
    }

    // Walks an instance's values by their field types (count of them, in
    // ClimbClasses order): visit(type, offset, size) for each value that lies
    // wholly within length bytes; false from visit stops. Returns the bytes
    // walked; the values past them no field type explains.
    template <class Visit>
    static uint64_t WalkValues(const uint8_t* types, size_t count, uint64_t length, size_t idSize, Visit visit) {
        uint64_t offset = 0;
        for (size_t i = 0; i < count; i++) {
            size_t size = TypeSize(types[i], idSize);
            if (offset + size > length || !visit(types[i], offset, size)) break;
            offset += size;
        }
        return offset;
    }
};

}  // namespace Orlo
