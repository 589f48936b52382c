#include "load/HprofFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "HprofFormat.h"

namespace vesk {

namespace {

using F = Orlo::HprofFormat;

uint64_t Big(const uint8_t* at, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; i++) value = value << 8 | at[i];
    return value;
}

}  // namespace

size_t HprofFile::TypeSize(uint8_t type, size_t idSize) { return F::TypeSize(type, idSize); }

bool HprofFile::IsHprof(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return false;
    char head[F::MAGIC_LENGTH];
    bool found = fread(head, 1, sizeof head, file) == sizeof head && memcmp(head, F::MAGIC, sizeof head) == 0;
    fclose(file);
    return found;
}

HprofFile::HprofFile(const std::string& path) : path(path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw HprofError("cannot open " + path + ": " + strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size == 0) {
        close(fd);
        throw HprofError(path + ": empty or unreadable");
    }
    size = static_cast<size_t>(st.st_size);
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) throw HprofError("cannot map " + path + ": " + strerror(errno));
    data = static_cast<const uint8_t*>(mapped);
    madvise(mapped, size, MADV_SEQUENTIAL);
    try {
        ReadMetadata();
    } catch (...) {
        munmap(const_cast<uint8_t*>(data), size);
        throw;
    }
}

HprofFile::~HprofFile() { munmap(const_cast<uint8_t*>(data), size); }

void HprofFile::Fail(const uint8_t* at, const std::string& what) const {
    throw HprofError(path + ": " + what + " at offset " + std::to_string(at - data));
}

uint64_t HprofFile::Id(const uint8_t* at) const { return Big(at, idSize); }

const HprofClass* HprofFile::FindClass(uint64_t id) const {
    auto found = classes.find(id);
    return found == classes.end() ? nullptr : &found->second;
}

const std::vector<uint8_t>& HprofFile::InstanceLayout(uint64_t classId) const {
    auto found = layouts.find(classId);
    if (found != layouts.end()) return found->second;
    std::vector<uint8_t> types;
    size_t depth = 0;
    for (const HprofClass* cls = FindClass(classId); cls && depth <= classes.size(); depth++) {
        for (const HprofField& field : cls->fields) types.push_back(field.type);
        cls = cls->super ? FindClass(cls->super) : nullptr;
    }
    return layouts.emplace(classId, std::move(types)).first->second;
}

void HprofFile::ReadMetadata() {
    const uint8_t* end = data + size;
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(data, 0, std::min<size_t>(size, 64)));
    if (size < F::MAGIC_LENGTH || memcmp(data, F::MAGIC, F::MAGIC_LENGTH) != 0 || !nul)
        Fail(data, "no HPROF header");
    if (nul + 13 > end) Fail(nul, "truncated header");
    idSize = static_cast<size_t>(Big(nul + 1, 4));
    if (idSize != 4 && idSize != 8) Fail(nul + 1, "unsupported identifier size " + std::to_string(idSize));
    firstRecord = static_cast<size_t>(nul + 13 - data);

    std::unordered_map<uint64_t, uint64_t> classNames;  // class id -> name id
    for (const uint8_t* at = data + firstRecord; at < end;) {
        if (end - at < 9) Fail(at, "truncated record header");
        uint8_t tag = at[0];
        uint64_t length = Big(at + 5, 4);
        const uint8_t* body = at + 9;
        if (length > static_cast<uint64_t>(end - body)) Fail(at, "truncated record");
        if (tag == F::UTF8 && length >= idSize) {
            names[Id(body)] = std::string_view(reinterpret_cast<const char*>(body + idSize), length - idSize);
        } else if (tag == F::LOAD_CLASS && length >= 2 * idSize + 8) {
            classNames[Id(body + 4)] = Id(body + 4 + idSize + 4);
        } else if (tag == F::HEAP_DUMP || tag == F::HEAP_DUMP_SEGMENT) {
            std::vector<HprofClass> found;
            WalkHeapDump(body, body + length, nullptr, &found);
            for (HprofClass& cls : found) classes[cls.id] = std::move(cls);
        }
        at = body + length;
    }
    // Names last: a reader need not rely on UTF8 records coming first.
    auto nameOf = [&](uint64_t id) {
        auto found = names.find(id);
        return found == names.end() ? std::string_view() : found->second;
    };
    for (auto& [id, cls] : classes) {
        auto name = classNames.find(id);
        if (name != classNames.end()) cls.name = nameOf(name->second);
        for (HprofField& field : cls.statics) field.name = nameOf(field.nameId);
        for (HprofField& field : cls.fields) field.name = nameOf(field.nameId);
    }
}

void HprofFile::ReadClassDump(const uint8_t*& at, const uint8_t* end, HprofClass& cls) const {
    const size_t id = idSize;
    const uint8_t* start = at;
    auto need = [&](size_t n) {
        if (static_cast<size_t>(end - at) < n) Fail(start, "truncated class dump");
    };
    need(1 + 7 * id + 10);
    cls.id = Id(at + 1);
    cls.super = Id(at + 1 + id + 4);
    cls.loader = Id(at + 1 + 2 * id + 4);
    cls.instanceSize = static_cast<uint32_t>(Big(at + 1 + 7 * id + 4, 4));
    size_t constants = Big(at + 1 + 7 * id + 8, 2);
    at += 1 + 7 * id + 10;
    auto value = [&](uint8_t type) {
        size_t width = TypeSize(type, id);
        if (width == 0) Fail(at, "bad value type " + std::to_string(type));
        need(width);
        uint64_t bits = Big(at, width);
        at += width;
        return bits;
    };
    for (size_t i = 0; i < constants; i++) {
        need(3);
        uint8_t type = at[2];
        at += 3;
        value(type);
    }
    for (int part = 0; part < 2; part++) {
        need(2);
        size_t count = Big(at, 2);
        at += 2;
        for (size_t i = 0; i < count; i++) {
            need(id + 1);
            HprofField field;
            field.nameId = Id(at);
            field.type = at[id];
            at += id + 1;
            if (part == 0) {
                field.value = value(field.type);
                cls.statics.push_back(field);
            } else {
                if (TypeSize(field.type, id) == 0) Fail(at, "bad field type");
                cls.fields.push_back(field);
            }
        }
    }
}

void HprofFile::WalkHeapDump(const uint8_t* at, const uint8_t* end, HprofVisitor* visitor,
                             std::vector<HprofClass>* found) const {
    const size_t id = idSize;
    while (at < end) {
        const uint8_t* start = at;
        uint8_t tag = at[0];
        auto need = [&](size_t n) {
            if (static_cast<size_t>(end - at) < n) Fail(start, "truncated heap dump record");
        };
        if (size_t root = F::RootBody(tag, id)) {
            need(1 + root);
            if (visitor) visitor->OnRoot(tag, Id(at + 1));
            at += 1 + root;
        } else if (tag == F::CLASS_DUMP) {
            HprofClass cls;
            ReadClassDump(at, end, cls);
            if (visitor) visitor->OnClass(*FindClass(cls.id));
            if (found) found->push_back(std::move(cls));
        } else if (tag == F::INSTANCE_DUMP) {
            need(1 + 2 * id + 8);
            uint64_t length = Big(at + 1 + 2 * id + 4, 4);
            need(1 + 2 * id + 8 + length);
            if (visitor) {
                uint64_t classId = Id(at + 1 + id + 4);
                visitor->OnInstance(Id(at + 1), classId, FindClass(classId), at + 1 + 2 * id + 8,
                                    static_cast<uint32_t>(length));
            }
            at += 1 + 2 * id + 8 + length;
        } else if (tag == F::OBJ_ARRAY_DUMP) {
            need(1 + 2 * id + 8);
            uint64_t count = Big(at + 1 + id + 4, 4);
            need(1 + 2 * id + 8 + count * id);
            if (visitor)
                visitor->OnObjectArray(Id(at + 1), Id(at + 1 + id + 8), at + 1 + 2 * id + 8,
                                       static_cast<uint32_t>(count));
            at += 1 + 2 * id + 8 + count * id;
        } else if (tag == F::PRIM_ARRAY_DUMP) {
            need(1 + id + 9);
            uint64_t count = Big(at + 1 + id + 4, 4);
            uint8_t type = at[1 + id + 8];
            size_t width = TypeSize(type, id);
            if (width == 0 || type == HPROF_OBJECT) Fail(at, "bad array element type");
            need(1 + id + 9 + count * width);
            if (visitor) visitor->OnPrimitiveArray(Id(at + 1), type, static_cast<uint32_t>(count));
            at += 1 + id + 9 + count * width;
        } else {
            char text[48];
            snprintf(text, sizeof text, "unknown heap dump record 0x%02x", tag);
            Fail(at, text);
        }
    }
}

void HprofFile::Visit(HprofVisitor& visitor) const {
    const uint8_t* end = data + size;
    for (const uint8_t* at = data + firstRecord; at < end;) {
        uint8_t tag = at[0];
        uint64_t length = Big(at + 5, 4);
        const uint8_t* body = at + 9;
        if (tag == F::HEAP_DUMP || tag == F::HEAP_DUMP_SEGMENT) WalkHeapDump(body, body + length, &visitor, nullptr);
        at = body + length;
    }
}

}  // namespace vesk
