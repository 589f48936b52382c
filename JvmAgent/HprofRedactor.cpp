#include "HprofRedactor.h"

#include "HprofFormat.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>

namespace Orlo {

namespace {

using F = HprofFormat;

}  // namespace

HprofRedactor::HprofRedactor(HprofSink& sink) : sink(sink) {}

bool HprofRedactor::Redact(const char* path, std::string& error) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path, "rb"), fclose);
    if (!file) {
        error = std::string("Cannot open heap dump ") + path + ": " + strerror(errno);
        return false;
    }
    buffer.resize(READ_BUFFER_SIZE);
    // Unbuffered: the reads go straight into the buffer, in large pieces.
    setvbuf(file.get(), nullptr, _IONBF, 0);
    bool done = Pass(file.get(), false, error) && fseek(file.get(), 0, SEEK_SET) == 0 &&
                Pass(file.get(), true, error);
    std::vector<uint8_t>().swap(buffer);
    return done;
}

bool HprofRedactor::Pass(FILE* file, bool rewrite, std::string& error) {
    input = file;
    rewriting = rewrite;
    failed = false;
    cursor = end = emitted = 0;
    fileOffset = 0;
    if (Header()) {
        while (!failed && Need(1)) Record();
    }
    Emit();
    if (!failed && ferror(input)) Fail("read error");
    if (failed) {
        error = failure;
        return false;
    }
    if (!rewrite) inputBytes = Offset();
    return true;
}

bool HprofRedactor::Header() {
    // "JAVA PROFILE 1.0.x", NUL, u4 identifier size, u8 time stamp.
    size_t text = 0;
    while (Need(text + 1) && buffer[cursor + text] != 0) {
        if (++text > 64) return Fail("no HPROF header");
    }
    if (text < F::MAGIC_LENGTH || !Need(text + 13) || memcmp(&buffer[cursor], F::MAGIC, F::MAGIC_LENGTH) != 0)
        return Fail("no HPROF header");
    idSize = static_cast<size_t>(Peek(text + 1, 4));
    if (idSize != 4 && idSize != 8) return Fail("unsupported identifier size");
    return Keep(text + 13);
}

bool HprofRedactor::Record() {
    if (!Need(F::RECORD_HEADER)) return Fail("truncated record header");
    uint8_t tag = buffer[cursor];
    uint64_t length = Peek(5, 4);
    switch (tag) {
        case F::UTF8:
            if (!Need(F::RECORD_HEADER + idSize)) return Fail("truncated UTF8 record");
            if (!rewriting || usedNames.count(Peek(F::RECORD_HEADER, idSize)) == 0) return Drop(F::RECORD_HEADER + length);
            return Keep(F::RECORD_HEADER + length);
        case F::HEAP_DUMP:
        case F::HEAP_DUMP_SEGMENT:
            return Keep(F::RECORD_HEADER) && HeapDumpRecords(length);
        case F::LOAD_CLASS:
        case F::FRAME:
        case F::START_THREAD: {
            if (!Need(F::RECORD_HEADER + length)) return Fail("truncated record");
            if (!rewriting) {
                // Offsets of the name ids: a class's name; a frame's method
                // name, signature and source file; a thread's name and groups.
                size_t id = idSize;
                size_t at = F::RECORD_HEADER;
                if (tag == F::LOAD_CLASS && length >= 2 * id + 8) {
                    usedNames.insert(Peek(at + 4 + id + 4, id));
                } else if (tag == F::FRAME && length >= 4 * id + 8) {
                    for (size_t k = 1; k <= 3; k++) usedNames.insert(Peek(at + k * id, id));
                } else if (tag == F::START_THREAD && length >= 4 * id + 8) {
                    for (size_t k = 0; k < 3; k++) usedNames.insert(Peek(at + 4 + id + 4 + k * id, id));
                }
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
        size_t root = F::RootBody(tag, idSize);
        if (root > 0) {
            Keep(1 + root);
        } else if (tag == F::CLASS_DUMP) {
            ClassDump();
        } else if (tag == F::INSTANCE_DUMP) {
            InstanceDump();
        } else if (tag == F::OBJ_ARRAY_DUMP || tag == F::PRIM_ARRAY_DUMP) {
            // id, u4 stack serial, u4 length, then the class id or the element type.
            size_t header = 1 + idSize + 8 + (tag == F::OBJ_ARRAY_DUMP ? idSize : 1);
            if (!Need(header)) return Fail("truncated array");
            uint64_t count = Peek(1 + idSize + 4, 4);
            if (tag == F::OBJ_ARRAY_DUMP) {
                Keep(header) && Keep(count * idSize);
            } else {
                size_t size = F::TypeSize(buffer[cursor + header - 1], idSize);
                if (size == 0 || buffer[cursor + header - 1] == F::TYPE_OBJECT) return Fail("bad array type");
                Keep(header) && Zero(count * size);
            }
        } else {
            char what[48];
            snprintf(what, sizeof what, "unknown heap dump record 0x%02x", tag);
            return Fail(what);
        }
    }
    if (!failed && Offset() != stop) return Fail("heap dump record crosses its segment's end");
    return !failed;
}

bool HprofRedactor::ClassDump() {
    // Class id, u4 stack serial, super, loader, signers, protection domain,
    // two reserved ids, u4 instance size, u2 constant pool size.
    size_t id = idSize;
    size_t header = 1 + 7 * id + 4 + 4 + 2;
    if (!Need(header)) return Fail("truncated class dump");
    uint64_t classId = Peek(1, id);
    ClassLayout* layout = rewriting ? nullptr : &classes[classId];
    if (layout) {
        layout->super = Peek(1 + id + 4, id);
        layout->fieldTypes.clear();
    }
    uint64_t constants = Peek(header - 2, 2);
    if (!Keep(header)) return false;
    for (uint64_t i = 0; i < constants; i++) {
        if (!Need(3)) return Fail("truncated constant pool");
        uint8_t type = buffer[cursor + 2];
        if (!Keep(3) || !Value(type)) return false;
    }
    for (int part = 0; part < 2; part++) {  // static fields, then instance fields
        if (!Need(2)) return Fail("truncated class dump");
        uint64_t fields = Peek(0, 2);
        if (!Keep(2)) return false;
        for (uint64_t i = 0; i < fields; i++) {
            if (!Need(id + 1)) return Fail("truncated field list");
            uint8_t type = buffer[cursor + id];
            if (F::TypeSize(type, id) == 0) return Fail("bad field type");
            if (!rewriting) usedNames.insert(Peek(0, id));
            if (!Keep(id + 1)) return false;
            if (part == 0) {
                if (!Value(type)) return false;
            } else if (layout) {
                layout->fieldTypes.push_back(type);
            }
        }
    }
    return true;
}

bool HprofRedactor::InstanceDump() {
    // Object id, u4 stack serial, class id, u4 length of the field values.
    size_t id = idSize;
    size_t header = 1 + 2 * id + 8;
    if (!Need(header)) return Fail("truncated instance dump");
    uint64_t classId = Peek(1 + id + 4, id);
    uint64_t length = Peek(1 + 2 * id + 4, 4);
    if (!Keep(header)) return false;
    if (!rewriting) return Drop(length);
    const std::vector<uint8_t>* types = InstanceLayout(classId);
    if (types) {
        for (uint8_t type : *types) {
            size_t size = F::TypeSize(type, id);
            if (size > length) break;
            if (!(type == F::TYPE_OBJECT ? Keep(size) : Zero(size))) return false;
            length -= size;
        }
    }
    // Values the layout does not explain are not known to be references.
    return Zero(length);
}

bool HprofRedactor::Value(uint8_t type) {
    size_t size = F::TypeSize(type, idSize);
    if (size == 0) return Fail("bad value type");
    return type == F::TYPE_OBJECT ? Keep(size) : Zero(size);
}

const std::vector<uint8_t>* HprofRedactor::InstanceLayout(uint64_t classId) {
    auto found = instanceLayouts.find(classId);
    if (found != instanceLayouts.end()) return &found->second;
    std::vector<uint8_t> types;
    // The class's own fields first, then each superclass's; a cycle or a
    // missing class ends the chain.
    size_t depth = 0;
    for (uint64_t current = classId; current != 0 && depth < classes.size(); depth++) {
        auto layout = classes.find(current);
        if (layout == classes.end()) break;
        types.insert(types.end(), layout->second.fieldTypes.begin(), layout->second.fieldTypes.end());
        current = layout->second.super;
    }
    return &instanceLayouts.emplace(classId, std::move(types)).first->second;
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

uint64_t HprofRedactor::Peek(size_t at, size_t width) const {
    uint64_t value = 0;
    for (size_t i = 0; i < width; i++) value = value << 8 | buffer[cursor + at + i];
    return value;
}

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
