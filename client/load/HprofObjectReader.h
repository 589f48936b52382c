// One object of a plain HPROF file by its number in file order (the order
// HprofLoader numbers them), read with pread: from the nearest mark the
// opening pass left (every HprofFile::MARK_EVERY-th object of a piece) a
// short walk over the sub-records in between. Nothing of the file is kept.
//
// Failures (the file cannot be read, changed, or is damaged where the walk
// goes) throw ClientError (File). Safe from several threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/File.h"
#include "load/HprofFile.h"

namespace vesk {

// Where an object's sub-record is, and what its fixed part says.
struct HprofObjectRecord {
    uint8_t tag = 0;          // INSTANCE_DUMP, OBJ_ARRAY_DUMP or PRIM_ARRAY_DUMP
    uint64_t classId = 0;     // an instance's class
    uint32_t count = 0;       // an instance's value bytes, an array's elements
    uint8_t elementType = 0;  // a primitive array's
    uint64_t body = 0;        // file offset of the values or elements
};

class HprofObjectReader {
public:
    // path: a plain HPROF file; pieces and marks as HprofFile found them,
    // kept by the caller for as long as the reader.
    HprofObjectReader(const std::string& path, size_t idSize, const std::vector<HprofPiece>& pieces,
                      const std::vector<uint64_t>& marks);

    uint64_t ObjectCount() const;
    HprofObjectRecord Find(uint64_t object) const;
    // size bytes at offset.
    std::string Read(uint64_t offset, uint64_t size) const;

private:
    [[noreturn]] void Fail(uint64_t offset, const std::string& what) const;

    std::string path;
    File file;
    size_t idSize;
    const std::vector<HprofPiece>& pieces;
    const std::vector<uint64_t>& marks;
};

}  // namespace vesk
