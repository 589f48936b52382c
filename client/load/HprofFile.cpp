#include "load/HprofFile.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace vesk {

namespace {

using F = HprofFormat;
using Orlo::HprofClassEntry;
using Orlo::HprofClassStatus;
using Orlo::HprofHeader;
using Orlo::HprofHeaderStatus;
using Orlo::HprofSubRecord;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

}  // namespace

bool HprofFile::IsHprof(const std::string& path) {
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "rb"));
    uint8_t head[F::MAGIC_LENGTH];
    return file && fread(head, 1, sizeof head, file.get()) == sizeof head && F::HasMagic(head, sizeof head);
}

HprofFile::HprofFile(const std::string& path, WorkProgress& progress) : path(path), progress(progress) {
    std::string error;
    if (!mapping.Map(path, &error)) throw HprofError(error);
    data = mapping.Data();
    size = mapping.Size();
    ReadMetadata();
}

void HprofFile::Fail(const uint8_t* at, const std::string& what) const {
    throw HprofError(path + ": " + what + " at offset " + std::to_string(at - data));
}

uint64_t HprofFile::Id(const uint8_t* at) const { return F::Big(at, idSize); }

const HprofClass* HprofFile::FindClass(uint64_t id) const {
    auto found = classes.find(id);
    return found == classes.end() ? nullptr : &found->second;
}

const std::vector<uint8_t>& HprofFile::InstanceLayout(uint64_t classId) const {
    auto found = layouts.find(classId);
    if (found != layouts.end()) return found->second;
    std::vector<uint8_t> types;
    F::ClimbClasses(classId, classes.size(), [&](uint64_t id) -> uint64_t {
        const HprofClass* cls = FindClass(id);
        if (!cls) return 0;
        for (const HprofField& field : cls->fields) types.push_back(field.type);
        return cls->super;
    });
    return layouts.emplace(classId, std::move(types)).first->second;
}

void HprofFile::ReadMetadata() {
    const uint8_t* end = data + size;
    HprofHeader header;
    switch (F::ParseHeader(data, size, header)) {
        case HprofHeaderStatus::OK: break;
        case HprofHeaderStatus::NOT_HPROF: Fail(data, "no HPROF header");
        case HprofHeaderStatus::TRUNCATED: Fail(data + header.textLength, "truncated header");
        case HprofHeaderStatus::BAD_ID_SIZE:
            Fail(data + header.textLength + 1, "unsupported identifier size " + std::to_string(header.idSize));
    }
    idSize = header.idSize;
    firstRecord = header.length;
    progress.Phase("reading " + path.substr(path.find_last_of('/') + 1) + " (classes)", size);

    std::unordered_map<uint64_t, uint64_t> classNames;  // class id -> name id
    for (const uint8_t* at = data + firstRecord; at < end;) {
        if (end - at < static_cast<ptrdiff_t>(F::RECORD_HEADER)) Fail(at, "truncated record header");
        uint8_t tag = at[0];
        uint64_t length = F::RecordLength(at);
        const uint8_t* body = at + F::RECORD_HEADER;
        if (length > static_cast<uint64_t>(end - body)) Fail(at, "truncated record");
        uint64_t classId, nameId;
        if (tag == F::UTF8 && length >= idSize) {
            names[Id(body)] = std::string_view(reinterpret_cast<const char*>(body + idSize), length - idSize);
        } else if (tag == F::LOAD_CLASS && F::LoadClass(body, length, idSize, classId, nameId)) {
            classNames[classId] = nameId;
        } else if (tag == F::HEAP_DUMP || tag == F::HEAP_DUMP_SEGMENT) {
            std::vector<HprofClass> found;
            WalkHeapDump(body, body + length, nullptr, &found);
            for (HprofClass& cls : found) classes[cls.id] = std::move(cls);
        }
        at = body + length;
        progress.Set(static_cast<uint64_t>(at - data));
    }
    mapping.Release(data, end);
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
    HprofSubRecord record = F::DecodeSubRecord(at, idSize);
    cls.id = record.id;
    cls.super = record.super;
    cls.loader = record.loader;
    cls.instanceSize = record.instanceSize;
    size_t length = 0;
    HprofClassStatus status =
        F::WalkClassDump(at, static_cast<size_t>(end - at), idSize, length, [&](const HprofClassEntry& entry) {
            HprofField field;
            field.nameId = entry.name;
            field.type = entry.type;
            if (entry.part == HprofClassEntry::STATIC) {
                field.value = F::Big(at + entry.value, entry.valueSize);
                cls.statics.push_back(field);
            } else if (entry.part == HprofClassEntry::FIELD) {
                cls.fields.push_back(field);
            }
        });
    switch (status) {
        case HprofClassStatus::OK: break;
        case HprofClassStatus::TRUNCATED: Fail(at, "truncated class dump");
        case HprofClassStatus::BAD_VALUE_TYPE: Fail(at + length, "bad value type " + std::to_string(at[length - 1]));
        case HprofClassStatus::BAD_FIELD_TYPE: Fail(at + length, "bad field type");
    }
    at += length;
}

void HprofFile::WalkHeapDump(const uint8_t* at, const uint8_t* end, HprofVisitor* visitor,
                             std::vector<HprofClass>* found) const {
    // The file's pages would otherwise stay resident beside the graph.
    constexpr ptrdiff_t RELEASE_STEP = 8 << 20;
    const uint8_t* kept = at;
    while (at < end) {
        if (at - kept >= RELEASE_STEP) {
            progress.Set(static_cast<uint64_t>(at - data));
            mapping.Release(kept, at);
            kept = at;
        }
        uint8_t tag = at[0];
        size_t header = F::SubRecordHeader(tag, idSize);
        if (header == 0) {
            char text[48];
            snprintf(text, sizeof text, "unknown heap dump record 0x%02x", tag);
            Fail(at, text);
        }
        if (static_cast<size_t>(end - at) < header) Fail(at, "truncated heap dump record");
        HprofSubRecord record = F::DecodeSubRecord(at, idSize);
        if (tag == F::CLASS_DUMP) {
            HprofClass cls;
            ReadClassDump(at, end, cls);
            if (visitor) visitor->OnClass(*FindClass(cls.id));
            if (found) found->push_back(std::move(cls));
            continue;
        }
        if (tag == F::PRIM_ARRAY_DUMP && (F::TypeSize(record.elementType, idSize) == 0 || record.elementType == F::OBJECT))
            Fail(at, "bad array element type");
        if (record.body > static_cast<uint64_t>(end - at) - header) Fail(at, "truncated heap dump record");
        const uint8_t* body = at + header;
        if (found && (tag == F::INSTANCE_DUMP || tag == F::OBJ_ARRAY_DUMP || tag == F::PRIM_ARRAY_DUMP)) objects++;
        if (visitor) {
            switch (tag) {
                case F::INSTANCE_DUMP:
                    visitor->OnInstance(record.id, record.classId, FindClass(record.classId), body, record.count);
                    break;
                case F::OBJ_ARRAY_DUMP: visitor->OnObjectArray(record.id, record.classId, body, record.count); break;
                case F::PRIM_ARRAY_DUMP: visitor->OnPrimitiveArray(record.id, record.elementType, record.count); break;
                default: visitor->OnRoot(tag, record.id); break;
            }
        }
        at = body + record.body;
    }
    mapping.Release(kept, end);
}

void HprofFile::Visit(HprofVisitor& visitor) const {
    const uint8_t* end = data + size;
    for (const uint8_t* at = data + firstRecord; at < end;) {
        uint8_t tag = at[0];
        uint64_t length = F::RecordLength(at);
        const uint8_t* body = at + F::RECORD_HEADER;
        if (tag == F::HEAP_DUMP || tag == F::HEAP_DUMP_SEGMENT) WalkHeapDump(body, body + length, &visitor, nullptr);
        at = body + length;
        progress.Set(static_cast<uint64_t>(at - data));
    }
    mapping.Release(data, end);
}

}  // namespace vesk
