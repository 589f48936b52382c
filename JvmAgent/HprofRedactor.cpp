#include "HprofRedactor.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "Orlo.h"

namespace Orlo {

namespace {

using F = HprofFormat;

// The largest class dump: its fixed part, then 65535 constants (u2 index, u1
// type, u8 value), statics (id, u1 type, u8 value) and fields (id, u1 type).
constexpr size_t MAX_CLASS_DUMP = 1 + 7 * 8 + 10 + 4 + 65535 * ((3 + 8) + (8 + 1 + 8) + (8 + 1));
static_assert(MAX_CLASS_DUMP < HprofRedactor::READ_BUFFER_SIZE, "a class dump fits the read buffer");

}  // namespace

HprofRedactor::HprofRedactor(HprofSink& sink, uint32_t holderLength) : sink(sink), holderLength(holderLength) {}

Error HprofRedactor::Redact(const char* path) {
    UniqueFile file(fopen(path, "rb"));
    if (!file) return Error::Format("Cannot open heap dump %s: %s", path, strerror(errno));
    buffer.resize(READ_BUFFER_SIZE);
    // Unbuffered: the reads go straight into the buffer, in large pieces.
    setvbuf(file.get(), nullptr, _IONBF, 0);
    bool done = Pass(file.get(), false) && fseek(file.get(), 0, SEEK_SET) == 0;
    if (done) PlanHolder();
    done = done && Pass(file.get(), true);
    std::vector<uint8_t>().swap(buffer);
    if (done) return Error();
    return Error(failure.empty() ? std::string("Cannot rewind heap dump ") + path : failure);
}

bool HprofRedactor::Pass(FILE* file, bool rewrite) {
    input = file;
    rewriting = rewrite;
    failed = false;
    cursor = end = emitted = 0;
    fileOffset = 0;
    segment = 0;
    if (Header()) {
        while (!failed && Need(1)) Record();
    }
    Emit();
    if (!failed && ferror(input)) Fail("read error");
    if (failed) return false;
    if (!rewrite) inputBytes = Offset();
    return true;
}

bool HprofRedactor::Header() {
    Need(F::MAX_HEADER);  // a shorter file is then held whole
    if (failed) return false;
    HprofHeader header;
    switch (F::ParseHeader(&buffer[cursor], end - cursor, header)) {
        case HprofHeaderStatus::OK: break;
        case HprofHeaderStatus::BAD_ID_SIZE: return Fail("unsupported identifier size");
        default: return Fail("no HPROF header");
    }
    idSize = header.idSize;
    return Keep(header.length);
}

bool HprofRedactor::Record() {
    if (!Need(F::RECORD_HEADER)) return Fail("truncated record header");
    uint8_t tag = buffer[cursor];
    uint64_t length = F::RecordLength(&buffer[cursor]);
    switch (tag) {
        case F::UTF8:
            if (!Need(F::RECORD_HEADER + idSize)) return Fail("truncated UTF8 record");
            if (!rewriting || usedNames.count(Peek(F::RECORD_HEADER, idSize)) == 0) return Drop(F::RECORD_HEADER + length);
            return Keep(F::RECORD_HEADER + length);
        case F::HEAP_DUMP:
        case F::HEAP_DUMP_SEGMENT: {
            const uint32_t current = segment++;
            auto cut = segmentCuts.find(current);
            if (rewriting && cut != segmentCuts.end()) {
                const uint64_t shorter = length - cut->second;
                for (int i = 0; i < 4; i++) buffer[cursor + 5 + i] = static_cast<uint8_t>(shorter >> (24 - 8 * i));
            }
            if (!Keep(F::RECORD_HEADER) || !HeapDumpRecords(length)) return false;
            if (rewriting && holderId && current == holderSegment && !holderValues.empty()) {
                // A segment of its own: the one read may be close to the 4 GiB a segment can hold.
                Emit();
                std::vector<uint8_t> extra(F::RECORD_HEADER);
                const uint64_t bytes = holderValues.size() * (1 + idSize);
                extra[0] = F::HEAP_DUMP_SEGMENT;
                for (int i = 0; i < 4; i++) extra[5 + i] = static_cast<uint8_t>(bytes >> (24 - 8 * i));
                for (uint64_t value : holderValues) {
                    extra.push_back(F::ROOT_UNKNOWN);
                    for (size_t i = 0; i < idSize; i++)
                        extra.push_back(static_cast<uint8_t>(value >> (8 * (idSize - 1 - i))));
                }
                sink.Write(extra.data(), extra.size());
                outputBytes += extra.size();
            }
            return true;
        }
        case F::LOAD_CLASS:
        case F::FRAME:
        case F::START_THREAD: {
            if (!Need(F::RECORD_HEADER + length)) return Fail("truncated record");
            if (!rewriting) {
                uint64_t names[3];
                size_t count = F::NamesUsed(tag, &buffer[cursor + F::RECORD_HEADER], length, idSize, names);
                usedNames.insert(names, names + count);
            }
            return Keep(F::RECORD_HEADER + length);
        }
        default:
            return Keep(F::RECORD_HEADER + length);
    }
}

bool HprofRedactor::HeapDumpRecords(uint64_t length) {
    uint64_t stop = Offset() + length;
    while (!failed && Offset() < stop) {
        if (!Need(1)) return Fail("truncated heap dump");
        uint8_t tag = buffer[cursor];
        size_t header = F::SubRecordHeader(tag, idSize);
        if (header == 0) {
            char what[48];
            snprintf(what, sizeof what, "unknown heap dump record 0x%02x", tag);
            return Fail(what);
        }
        if (F::RootBody(tag, idSize) > 0) {
            Root(tag, header);
            continue;
        }
        if (!Need(header)) {
            return Fail(tag == F::CLASS_DUMP      ? "truncated class dump"
                        : tag == F::INSTANCE_DUMP ? "truncated instance dump"
                                                  : "truncated array");
        }
        HprofSubRecord record = F::DecodeSubRecord(&buffer[cursor], idSize);
        if (tag == F::CLASS_DUMP) {
            ClassDump();
        } else if (tag == F::INSTANCE_DUMP) {
            InstanceDump(record);
        } else if (tag == F::OBJ_ARRAY_DUMP) {
            ObjectArrayDump(record);
        } else {
            if (F::TypeSize(record.elementType, idSize) == 0 || record.elementType == F::OBJECT)
                return Fail("bad array type");
            Keep(header) && Zero(record.body);
        }
    }
    if (!failed && Offset() != stop) return Fail("heap dump record crosses its segment's end");
    return !failed;
}

bool HprofRedactor::ClassDump() {
    // Held whole in the buffer (MAX_CLASS_DUMP).
    size_t length = 0;
    HprofClassStatus status;
    auto none = [](const HprofClassEntry&) {};
    while ((status = F::WalkClassDump(&buffer[cursor], end - cursor, idSize, length, none)) ==
           HprofClassStatus::TRUNCATED) {
        if (!Need(end - cursor + 1)) return Fail("truncated class dump");
    }
    if (status == HprofClassStatus::BAD_VALUE_TYPE) return Fail("bad value type");
    if (status == HprofClassStatus::BAD_FIELD_TYPE) return Fail("bad field type");

    uint8_t* dump = &buffer[cursor];
    ClassLayout* layout = nullptr;
    if (!rewriting) {
        HprofSubRecord record = F::DecodeSubRecord(dump, idSize);
        layout = &classes[record.id];
        layout->super = record.super;
        layout->fieldTypes.clear();
    }
    size_t walked = 0;
    F::WalkClassDump(dump, length, idSize, walked, [&](const HprofClassEntry& entry) {
        if (entry.part != HprofClassEntry::CONSTANT && !rewriting) usedNames.insert(entry.name);
        if (entry.part == HprofClassEntry::FIELD) {
            if (layout) layout->fieldTypes.push_back(entry.type);
        } else if (rewriting && entry.type != F::OBJECT) {
            memset(dump + entry.value, 0, entry.valueSize);
        }
    });
    return Keep(length);
}

bool HprofRedactor::InstanceDump(const HprofSubRecord& record) {
    uint64_t length = record.body;
    if (!Keep(record.header)) return false;
    if (!rewriting) return Drop(length);
    const std::vector<uint8_t>& types = InstanceLayout(record.classId);
    uint64_t walked = F::WalkValues(types.data(), types.size(), length, idSize,
                                    [&](uint8_t type, uint64_t, size_t size) {
                                        return type == F::OBJECT ? Keep(size) : Zero(size);
                                    });
    if (failed) return false;
    // Values the layout does not explain are not known to be references.
    return Zero(length - walked);
}

bool HprofRedactor::ObjectArrayDump(const HprofSubRecord& record) {
    const bool candidate = holderLength > 0 && record.count == holderLength && !rewriting && !holderId;
    if (candidate && Need(record.header + idSize) && Peek(record.header, idSize) == record.id) {
        holderId = record.id;
        holderSegment = segment - 1;
        holderRecordBytes = record.header + record.body;
        if (!Keep(record.header + idSize)) return false;
        std::unordered_set<uint64_t> seen;
        for (uint32_t i = 1; i < record.count; i++) {
            if (!Need(idSize)) return Fail("truncated array");
            const uint64_t value = Peek(0, idSize);
            if (value != 0 && value != holderId && seen.insert(value).second) holderValues.push_back(value);
            Keep(idSize);
        }
        return !failed;
    }
    if (rewriting && holderId && record.id == holderId) return Drop(record.header + record.body);
    return Keep(record.header) && Keep(record.body);
}

bool HprofRedactor::Root(uint8_t tag, size_t header) {
    if (holderLength > 0 && tag != F::ROOT_STICKY_CLASS && tag != F::ROOT_THREAD_OBJECT && Need(header)) {
        const uint64_t id = Peek(1, idSize);
        if (!rewriting) roots.push_back({segment - 1, static_cast<uint32_t>(header), id});
        else if (holderId && id == holderId) return Drop(header);
    }
    return Keep(header);
}

void HprofRedactor::PlanHolder() {
    segmentCuts.clear();
    if (holderId) {
        segmentCuts[holderSegment] += holderRecordBytes;
        for (const RootSeen& root : roots)
            if (root.id == holderId) segmentCuts[root.segment] += root.bytes;
    }
    std::vector<RootSeen>().swap(roots);
}

const std::vector<uint8_t>& HprofRedactor::InstanceLayout(uint64_t classId) {
    auto found = instanceLayouts.find(classId);
    if (found != instanceLayouts.end()) return found->second;
    std::vector<uint8_t> types;
    F::ClimbClasses(classId, classes.size(), [&](uint64_t id) -> uint64_t {
        auto layout = classes.find(id);
        if (layout == classes.end()) return 0;
        types.insert(types.end(), layout->second.fieldTypes.begin(), layout->second.fieldTypes.end());
        return layout->second.super;
    });
    return instanceLayouts.emplace(classId, std::move(types)).first->second;
}

bool HprofRedactor::Need(size_t n) {
    if (failed) return false;
    if (end - cursor >= n) return true;
    if (n > buffer.size()) return Fail("record too large");
    Emit();
    memmove(buffer.data(), buffer.data() + cursor, end - cursor);
    fileOffset += cursor;
    end -= cursor;
    cursor = emitted = 0;
    while (end < n) {
        size_t got = fread(buffer.data() + end, 1, buffer.size() - end, input);
        if (got == 0) return false;
        end += got;
    }
    return true;
}

uint64_t HprofRedactor::Peek(size_t at, size_t width) const { return F::Big(&buffer[cursor + at], width); }

bool HprofRedactor::Advance(uint64_t n, Action action) {
    if (action == Action::Drop) Emit();
    while (n > 0) {
        // Nothing dropped may reach the sink when Need refills the buffer.
        if (action == Action::Drop) emitted = cursor;
        if (cursor == end && !Need(1)) return Fail("truncated file");
        size_t step = static_cast<size_t>(std::min<uint64_t>(n, end - cursor));
        if (action == Action::Zero && rewriting) memset(&buffer[cursor], 0, step);
        cursor += step;
        n -= step;
    }
    if (action == Action::Drop) emitted = cursor;
    return true;
}

void HprofRedactor::Emit() {
    if (rewriting && cursor > emitted) {
        sink.Write(&buffer[emitted], cursor - emitted);
        outputBytes += cursor - emitted;
    }
    emitted = cursor;
}

bool HprofRedactor::Fail(const char* what) {
    if (!failed) {
        char text[160];
        snprintf(text, sizeof text, "Malformed heap dump at offset %" PRIu64 ": %s", Offset(), what);
        failure = text;
        failed = true;
    }
    return false;
}

}  // namespace Orlo
