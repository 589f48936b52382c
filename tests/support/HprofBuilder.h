// Writes small HPROF files by hand, for either identifier size: records are
// appended in the order given, heap dump sub-records grouped in segments.
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
    HprofBuilder& Frame(uint64_t frameId, uint64_t method, uint64_t signature, uint64_t source) {
        return Record(0x04, Id(frameId) + Id(method) + Id(signature) + Id(source) + U4(1) + U4(42));
    }
    HprofBuilder& Segment(const std::string& subRecords) { return Record(0x1C, subRecords); }

    std::string ClassDump(uint64_t id, uint64_t super, uint32_t instanceSize, const std::vector<Field>& constants,
                          const std::vector<Field>& statics, const std::vector<Field>& fields) const {
        std::string out = U1(0x20) + Id(id) + U4(0) + Id(super) + Id(0) + Id(0) + Id(0) + Id(0) + Id(0) +
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
    // with a thread serial and a frame number (0x03, 0x08).
    std::string Root(uint8_t kind, uint64_t object) const {
        std::string out = U1(kind) + Id(object);
        if (kind == 0x03 || kind == 0x08) out += U4(1) + U4(0);
        return out;
    }

    const std::string& Bytes() const { return bytes; }

private:
    int idSize;
    std::string bytes;
};

}  // namespace vesktest
