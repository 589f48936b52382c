// The HPROF record format as the JVM writes it: record and sub-record tags,
// value sizes and root layouts. Shared by the agent's redactor and the
// client's reader.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Orlo {

struct HprofFormat {
    // "JAVA PROFILE 1.0.x", NUL, u4 identifier size, u8 time stamp.
    static constexpr const char* MAGIC = "JAVA PROFILE ";
    static constexpr size_t MAGIC_LENGTH = 13;
    static constexpr size_t RECORD_HEADER = 9;  // u1 tag, u4 time, u4 length

    // Top-level records.
    static constexpr uint8_t UTF8 = 0x01;
    static constexpr uint8_t LOAD_CLASS = 0x02;
    static constexpr uint8_t FRAME = 0x04;
    static constexpr uint8_t START_THREAD = 0x0A;
    static constexpr uint8_t HEAP_DUMP = 0x0C;
    static constexpr uint8_t HEAP_DUMP_SEGMENT = 0x1C;

    // Heap dump sub-records besides the roots.
    static constexpr uint8_t CLASS_DUMP = 0x20;
    static constexpr uint8_t INSTANCE_DUMP = 0x21;
    static constexpr uint8_t OBJ_ARRAY_DUMP = 0x22;
    static constexpr uint8_t PRIM_ARRAY_DUMP = 0x23;

    static constexpr uint8_t TYPE_OBJECT = 2;

    // Bytes of a value of a basic type; 0 for no such type.
    static size_t TypeSize(uint8_t type, size_t idSize) {
        static const uint8_t sizes[12] = {0, 0, 0, 0, 1, 2, 4, 8, 1, 2, 4, 8};
        if (type == TYPE_OBJECT) return idSize;
        return type < 12 ? sizes[type] : 0;
    }

    // Bytes after the tag of a root sub-record; 0 for a tag that is no root.
    static size_t RootBody(uint8_t tag, size_t idSize) {
        switch (tag) {
            case 0xFF:                      // unknown
            case 0x05:                      // sticky class
            case 0x07: return idSize;       // monitor used
            case 0x01: return 2 * idSize;   // JNI global, with the global ref's id
            case 0x02:                      // JNI local: thread serial, frame
            case 0x03:                      // Java frame: thread serial, frame
            case 0x08: return idSize + 8;   // thread object: serials of thread and trace
            case 0x04:                      // native stack: thread serial
            case 0x06: return idSize + 4;   // thread block: thread serial
            default: return 0;
        }
    }
};

}  // namespace Orlo
