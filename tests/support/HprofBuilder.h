// Writes small HPROF files by hand, for either identifier size: records are
// appended in the order given, heap dump sub-records grouped in segments.
// Written independently of the format module the code under test reads with.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vesktest {

class HprofBuilder {
public:
    // (name or constant-pool index, type, value bytes); values of instance fields are empty.
    struct Field {
        uint64_t name;
        uint8_t type;
        std::string value;
    };

    explicit HprofBuilder(int idSize) : idSize(idSize) {
        bytes = std::string("JAVA PROFILE 1.0.2") + '\0' + U4(static_cast<uint32_t>(idSize)) + U4(0) + U4(0);
    }

    std::string Id(uint64_t id) const { return Big(id, idSize); }
    static std::string U4(uint32_t v) { return Big(v, 4); }
    static std::string U2(uint16_t v) { return Big(v, 2); }
    static std::string U1(uint8_t v) { return std::string(1, static_cast<char>(v)); }
    static std::string Big(uint64_t v, int width) {
        std::string out;
        for (int i = width - 1; i >= 0; i--) out.push_back(static_cast<char>(v >> (8 * i) & 0xFF));
        return out;
    }

    HprofBuilder& Record(uint8_t tag, const std::string& body) {
        bytes += U1(tag) + U4(0) + U4(static_cast<uint32_t>(body.size())) + body;
        return *this;
    }
    HprofBuilder& Utf8(uint64_t id, const std::string& text) { return Record(0x01, Id(id) + text); }
    HprofBuilder& LoadClass(uint32_t serial, uint64_t classId, uint64_t nameId) {
        return Record(0x02, U4(serial) + Id(classId) + U4(0) + Id(nameId));
    }
    HprofBuilder& Frame(uint64_t frameId, uint64_t method, uint64_t signature, uint64_t source,
                        uint32_t classSerial = 1, uint32_t line = 42) {
        return Record(0x04, Id(frameId) + Id(method) + Id(signature) + Id(source) + U4(classSerial) + U4(line));
    }
    HprofBuilder& Trace(uint32_t serial, uint32_t thread, const std::vector<uint64_t>& frames) {
        std::string body = U4(serial) + U4(thread) + U4(static_cast<uint32_t>(frames.size()));
        for (uint64_t frame : frames) body += Id(frame);
        return Record(0x05, body);
    }
    HprofBuilder& Segment(const std::string& subRecords) { return Record(0x1C, subRecords); }

    std::string ClassDump(uint64_t id, uint64_t super, uint32_t instanceSize, const std::vector<Field>& constants,
                          const std::vector<Field>& statics, const std::vector<Field>& fields,
                          uint64_t loader = 0) const {
        std::string out = U1(0x20) + Id(id) + U4(0) + Id(super) + Id(loader) + Id(0) + Id(0) + Id(0) + Id(0) +
                          U4(instanceSize) + U2(static_cast<uint16_t>(constants.size()));
        for (const Field& c : constants) out += U2(static_cast<uint16_t>(c.name)) + U1(c.type) + c.value;
        out += U2(static_cast<uint16_t>(statics.size()));
        for (const Field& s : statics) out += Id(s.name) + U1(s.type) + s.value;
        out += U2(static_cast<uint16_t>(fields.size()));
        for (const Field& f : fields) out += Id(f.name) + U1(f.type);
        return out;
    }
    std::string Instance(uint64_t id, uint64_t classId, const std::string& values) const {
        return U1(0x21) + Id(id) + U4(0) + Id(classId) + U4(static_cast<uint32_t>(values.size())) + values;
    }
    std::string ObjectArray(uint64_t id, uint64_t arrayClass, const std::vector<uint64_t>& elements) const {
        std::string out = U1(0x22) + Id(id) + U4(0) + U4(static_cast<uint32_t>(elements.size())) + Id(arrayClass);
        for (uint64_t e : elements) out += Id(e);
        return out;
    }
    std::string PrimitiveArray(uint64_t id, uint8_t type, uint32_t count, const std::string& contents) const {
        return U1(0x23) + Id(id) + U4(0) + U4(count) + U1(type) + contents;
    }
    // A root of the kinds with nothing but the object (0xFF, 0x05, 0x07) or
    // with a thread serial and a frame number (0x02, 0x03) or stack trace
    // serial (0x08).
    std::string Root(uint8_t kind, uint64_t object, uint32_t thread = 1, uint32_t frame = 0) const {
        std::string out = U1(kind) + Id(object);
        if (kind == 0x02 || kind == 0x03 || kind == 0x08) out += U4(thread) + U4(frame);
        return out;
    }

    const std::string& Bytes() const { return bytes; }

private:
    int idSize;
    std::string bytes;
};

// The text of a UTF8 record that no class, field or frame uses.
inline const std::string UNUSED_NAME = "unused-secret-text";

// A small dump: class Secret (0x100) extends Base (0x200), fields value:long,
// next:Object, then Base's base:int; a constant and a static of Secret; two
// instances, an Object[] and a char[]; two roots; a frame. Redacted: as the
// redactor should leave it, every primitive value zero and the unused name's
// record gone.
inline std::string SampleHprof(int idSize, bool redacted) {
    enum : uint8_t { OBJECT = 2, CHAR = 5, INT = 10, LONG = 11 };
    HprofBuilder b(idSize);
    using F = HprofBuilder::Field;
    auto value = [&](uint64_t v, int width) { return HprofBuilder::Big(redacted ? 0 : v, width); };
    b.Utf8(1, "Secret").Utf8(2, "value").Utf8(3, "next").Utf8(4, "counter");
    if (!redacted) b.Utf8(5, UNUSED_NAME);
    b.Utf8(6, "run").Utf8(7, "()V").Utf8(8, "Secret.java").Utf8(9, "Base").Utf8(10, "base");
    b.LoadClass(1, 0x100, 1).LoadClass(2, 0x200, 9).Frame(0x300, 6, 7, 8);
    std::string first = b.ClassDump(0x200, 0, 4, {}, {}, {F{10, INT, ""}}) +
                        b.ClassDump(0x100, 0x200, 16, {F{1, LONG, value(0x1122334455667788, 8)}},
                                    {F{4, INT, value(0xCAFEBABE, 4)}}, {F{2, LONG, ""}, F{3, OBJECT, ""}}) +
                        b.Root(0x05, 0x100) + b.Root(0x03, 0x1000);
    std::string second =
        b.Instance(0x1000, 0x100, value(0xDEADBEEF01020304, 8) + b.Id(0x1001) + value(0x0BADF00D, 4)) +
        b.Instance(0x1001, 0x100, value(0x7E57DA7A7E57DA7A, 8) + b.Id(0) + value(0x0BADF00D, 4)) +
        b.ObjectArray(0x2000, 0x200, {0x1000, 0, 0x1001}) +
        b.PrimitiveArray(0x3000, CHAR, 2, redacted ? std::string(4, '\0') : std::string("\0h\0i", 4));
    b.Segment(first).Segment(second);
    return b.Bytes();
}

// A dump of links objects of class Link (0x100, field next:Object), each
// holding the next, the first held by a root: a large heap for few
// bytes an object (33), written quickly.
inline std::string ChainHprof(uint32_t links) {
    enum : uint8_t { OBJECT = 2 };
    HprofBuilder b(8);
    b.Utf8(1, "Link").Utf8(2, "next").LoadClass(1, 0x100, 1);
    const uint64_t first = 0x100000;
    std::string objects = b.ClassDump(0x100, 0, 8, {}, {}, {HprofBuilder::Field{2, OBJECT, ""}}) + b.Root(0xFF, first);
    objects.reserve(objects.size() + static_cast<size_t>(links) * 33);
    for (uint64_t i = 0; i < links; i++)
        objects += b.Instance(first + 16 * i, 0x100, b.Id(i + 1 < links ? first + 16 * (i + 1) : 0));
    b.Segment(objects);
    return b.Bytes();
}

}  // namespace vesktest
