// Rewrites an HPROF file without its values: every primitive value is zeroed
// (instance fields by the CLASS DUMP field lists, static fields, constant
// pool entries, primitive array contents) and only the UTF8 names that a
// class, field, method, stack frame or thread uses are kept, each where the
// JVM wrote it, before its first use. Identities, references, classes, roots
// and stack traces stay as they are. Reads the file twice: once for the class
// layouts and the names in use, once to rewrite. Memory: the layouts, the set
// of names and one read buffer, never the dump.
#pragma once

#include <cstdint>
#include <cstdio>

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Error.h"
#include "HprofFormat.h"

namespace Orlo {

// Receives the redacted bytes in order; may throw to stop the redaction
// (the client cancelled), which then passes through Redact.
class HprofSink {
public:
    virtual ~HprofSink() = default;
    virtual void Write(const uint8_t* data, size_t length) = 0;
};

class HprofRedactor {
public:
    static constexpr size_t READ_BUFFER_SIZE = 4 << 20;

    // holderLength 0: no holder to look for.
    explicit HprofRedactor(HprofSink& sink, uint32_t holderLength = 0);
    HprofRedactor(const HprofRedactor&) = delete;
    HprofRedactor& operator=(const HprofRedactor&) = delete;

    // An error when the file cannot be read or is no HPROF the reader
    // understands; the sink may then have received part of it. What the
    // sink throws passes through.
    Error Redact(const char* path);

    uint64_t InputBytes() const { return inputBytes; }
    uint64_t OutputBytes() const { return outputBytes; }
    // Root records written for the holder's values; 0 without a holder.
    size_t HolderRoots() const { return holderValues.size(); }

private:
    struct ClassLayout {
        uint64_t super = 0;
        std::vector<uint8_t> fieldTypes;  // this class's own instance fields, in dump order
    };

    // False with failure set.
    bool Pass(FILE* file, bool rewrite);
    bool Header();
    bool Record();
    bool HeapDumpRecords(uint64_t length);
    bool ClassDump();
    bool InstanceDump(const HprofSubRecord& record);
    bool ObjectArrayDump(const HprofSubRecord& record);
    bool Root(uint8_t tag, size_t header);
    // After the first pass: what the holder's removal takes off each segment.
    void PlanHolder();
    const std::vector<uint8_t>& InstanceLayout(uint64_t classId);

    // The input cursor: Need makes n bytes readable at cursor; Keep, Zero and
    // Drop move past n bytes, the first two handing them on when rewriting.
    bool Need(size_t n);
    uint64_t Peek(size_t at, size_t width) const;
    enum class Action { Keep, Zero, Drop };
    bool Advance(uint64_t n, Action action);
    bool Keep(uint64_t n) { return Advance(n, Action::Keep); }
    bool Zero(uint64_t n) { return Advance(n, Action::Zero); }
    bool Drop(uint64_t n) { return Advance(n, Action::Drop); }
    void Emit();
    bool Fail(const char* what);
    uint64_t Offset() const { return fileOffset + cursor; }

    HprofSink& sink;
    FILE* input = nullptr;
    bool rewriting = false;
    bool failed = false;
    std::string failure;
    std::vector<uint8_t> buffer;
    size_t cursor = 0;       // next byte to read
    size_t end = 0;          // bytes held
    size_t emitted = 0;      // bytes before this were handed on or dropped
    uint64_t fileOffset = 0; // file offset of buffer[0]
    size_t idSize = 0;
    uint64_t inputBytes = 0;
    uint64_t outputBytes = 0;

    std::unordered_set<uint64_t> usedNames;
    std::unordered_map<uint64_t, ClassLayout> classes;
    std::unordered_map<uint64_t, std::vector<uint8_t>> instanceLayouts;  // with the superclasses' fields

    uint32_t holderLength;
    uint64_t holderId = 0;          // 0: not found
    uint64_t holderRecordBytes = 0;
    uint32_t holderSegment = 0;
    uint32_t segment = 0;           // ordinal of the heap dump segment being read
    std::vector<uint64_t> holderValues;
    // Roots that may name the holder, met before it is known: segment, id, bytes.
    struct RootSeen {
        uint32_t segment;
        uint32_t bytes;
        uint64_t id;
    };
    std::vector<RootSeen> roots;
    std::unordered_map<uint32_t, uint64_t> segmentCuts;  // bytes left out, by segment
};

}  // namespace Orlo
