#include "load/HprofFile.h"

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <exception>
#include <memory>
#include <thread>

#include "load/HprofWindow.h"
#include "protocol/ZstdFileReader.h"

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
    if (ZstdFileReader::IsCompressed(path)) {
        window = std::make_unique<HprofWindow>(path);
        ReadStreamed();
        return;
    }
    std::string error;
    if (!mapping.Map(path, &error)) throw HprofError(error);
    data = mapping.Data();
    size = mapping.Size();
    ReadMetadata();
}

HprofFile::~HprofFile() = default;

void HprofFile::Fail(const uint8_t* at, const std::string& what) const {
    FailAt(window ? window->OffsetOf(at) : static_cast<uint64_t>(at - data), what);
}

void HprofFile::FailAt(uint64_t offset, const std::string& what) const {
    throw HprofError(path + ": " + what + " at offset " + std::to_string(offset));
}

const HprofClass* HprofFile::FindClass(uint64_t id) const {
    auto found = classes.find(id);
    return found == classes.end() ? nullptr : &found->second;
}

const std::vector<uint8_t>& HprofFile::InstanceLayout(uint64_t classId) const {
    static const std::vector<uint8_t> none;
    auto found = layouts.find(classId);
    return found != layouts.end() ? found->second : none;
}

namespace {

// Bytes of a piece: enough that a thread's share of a pass is a few steps,
// few enough that two threads' shares come out even.
constexpr ptrdiff_t PIECE = 4 << 20;

// Runs work(first, last) over contiguous runs of [0, count) of about equal
// weight, one thread each, the caller's the first; rethrows the exception
// of the earliest run that threw.
void RunSplit(size_t count, const std::function<uint64_t(size_t)>& weight,
              const std::function<void(size_t, size_t)>& work) {
    if (count == 0) return;
    unsigned threads = std::max(1u, std::min(std::thread::hardware_concurrency(), 4u));
    uint64_t total = 0;
    for (size_t i = 0; i < count; i++) total += weight(i);
    std::vector<size_t> bounds{0};
    uint64_t sum = 0;
    for (size_t i = 0; i < count && bounds.size() < threads; i++) {
        sum += weight(i);
        if (sum * threads >= total * bounds.size() && i + 1 < count) bounds.push_back(i + 1);
    }
    bounds.push_back(count);
    size_t runs = bounds.size() - 1;
    std::vector<std::exception_ptr> failures(runs);
    auto run = [&](size_t r) {
        try {
            work(bounds[r], bounds[r + 1]);
        } catch (...) {
            failures[r] = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    for (size_t r = 1; r < runs; r++) helpers.emplace_back(run, r);
    run(0);
    for (std::thread& helper : helpers) helper.join();
    for (std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

}  // namespace

// What one thread's share of the opening pass finds, merged in file order.
struct HprofFile::Opening {
    std::vector<HprofClass> classes;
    std::vector<HprofPiece> pieces;
    std::vector<HprofObjectHead>* sample;  // shared by a thread's openings
    HprofIdRange ids;
};

void HprofFile::ReadStreamed() {
    try {
        ReadRecords();
    } catch (const HprofError&) {
        // Damage that decodes (the checksum at the frame's end finds it) is
        // the compressed data's fault, not the dump's.
        window->DecodeRest();
        throw;
    }
}

void HprofFile::ReadRecords() {
    HprofWindow& in = *window;
    in.Restart();
    in.Ensure(F::MAX_HEADER);
    ReadHeader(in.Data(), in.Size());
    progress.Phase("reading " + path.substr(path.find_last_of('/') + 1) + " (classes)",
                   ZstdFileReader::PlainSize(path));
    in.Drop(firstRecord);

    std::unordered_map<uint64_t, uint64_t> classNames;  // class id -> name id
    std::vector<Opening> openings(1);
    std::vector<std::vector<HprofObjectHead>> samples(1);
    samples[0].reserve(SAMPLE);
    Opening& opening = openings[0];
    opening.sample = &samples[0];
    while (in.Ensure(1)) {
        uint64_t record = in.Origin();
        if (!in.Ensure(F::RECORD_HEADER)) FailAt(record, "truncated record header");
        uint8_t tag = in.Data()[0];
        uint64_t length = F::RecordLength(in.Data());
        if (tag == F::HEAP_DUMP || tag == F::HEAP_DUMP_SEGMENT) {
            in.Drop(F::RECORD_HEADER);
            in.SetLimit(in.Origin() + length);
            while (in.Origin() < in.Limit()) {
                size_t end = in.Fill(idSize, PIECE);
                if (end < static_cast<size_t>(PIECE) && in.Origin() + end < in.Limit()) {
                    if (in.Ended()) FailAt(record, "truncated record");
                    WalkHeapDump(in.Data(), in.Data() + in.Size(), nullptr, &opening);
                    Fail(in.Data() + end, "truncated heap dump record");
                }
                size_t first = opening.pieces.size();
                WalkHeapDump(in.Data(), in.Data() + end, nullptr, &opening);
                for (size_t i = first; i < opening.pieces.size(); i++) {
                    HprofPiece& piece = opening.pieces[i];
                    spans.push_back({in.OffsetOf(piece.begin), in.OffsetOf(piece.end)});
                    piece.begin = piece.end = nullptr;
                }
                in.Drop(end);
            }
            in.SetLimit(HprofWindow::NO_LIMIT);
        } else if (tag == F::UTF8 || tag == F::LOAD_CLASS) {
            if (!in.Ensure(F::RECORD_HEADER + length)) FailAt(record, "truncated record");
            const uint8_t* body = in.Data() + F::RECORD_HEADER;
            uint64_t classId, nameId;
            if (tag == F::UTF8 && length >= idSize) names[Id(body)] = in.Keep(body + idSize, length - idSize);
            else if (tag == F::LOAD_CLASS && F::LoadClass(body, length, idSize, classId, nameId)) classNames[classId] = nameId;
            in.Drop(F::RECORD_HEADER + length);
        } else if (!in.Drop(F::RECORD_HEADER + length)) {
            FailAt(record, "truncated record");
        }
    }
    size = in.Origin();
    MergeOpenings(openings, samples, classNames);
}

void HprofFile::VisitStreamed(size_t piece, HprofVisitor& visitor, bool classes) const {
    HprofWindow& in = *window;
    uint64_t begin = spans[piece].first, end = spans[piece].second;
    if (!in.Decoding() || begin < in.Origin()) in.Restart();
    in.SetLimit(end);
    // The file changed since it was opened, when these fail.
    if (!in.Drop(begin - in.Origin())) FailAt(begin, "truncated heap dump record");
    size_t whole = in.Fill(idSize, 0);
    if (in.Origin() + whole < end) {
        WalkHeapDump(in.Data(), in.Data() + in.Size(), &visitor, nullptr, classes);
        Fail(in.Data() + whole, "truncated heap dump record");
    }
    WalkHeapDump(in.Data(), in.Data() + whole, &visitor, nullptr, classes);
    in.SetLimit(HprofWindow::NO_LIMIT);
}

void HprofFile::ReadHeader(const uint8_t* at, size_t available) {
    HprofHeader header;
    switch (F::ParseHeader(at, available, header)) {
        case HprofHeaderStatus::OK: break;
        case HprofHeaderStatus::NOT_HPROF: Fail(at, "no HPROF header");
        case HprofHeaderStatus::TRUNCATED: Fail(at + header.textLength, "truncated header");
        case HprofHeaderStatus::BAD_ID_SIZE:
            Fail(at + header.textLength + 1, "unsupported identifier size " + std::to_string(header.idSize));
    }
    idSize = header.idSize;
    firstRecord = header.length;
}

void HprofFile::ReadMetadata() {
    const uint8_t* end = data + size;
    ReadHeader(data, size);
    progress.Phase("reading " + path.substr(path.find_last_of('/') + 1) + " (classes)", size);

    // The records first; the heap dumps' bodies then by several threads. A
    // fault in a heap dump comes before one in a later record.
    std::unordered_map<uint64_t, uint64_t> classNames;  // class id -> name id
    std::vector<std::pair<const uint8_t*, const uint8_t*>> dumps;
    const uint8_t* badRecord = nullptr;
    const char* badWhat = nullptr;
    for (const uint8_t* at = data + firstRecord; at < end;) {
        if (end - at < static_cast<ptrdiff_t>(F::RECORD_HEADER)) {
            badRecord = at, badWhat = "truncated record header";
            break;
        }
        uint8_t tag = at[0];
        uint64_t length = F::RecordLength(at);
        const uint8_t* body = at + F::RECORD_HEADER;
        if (length > static_cast<uint64_t>(end - body)) {
            badRecord = at, badWhat = "truncated record";
            break;
        }
        uint64_t classId, nameId;
        if (tag == F::UTF8 && length >= idSize) {
            names[Id(body)] = std::string_view(reinterpret_cast<const char*>(body + idSize), length - idSize);
        } else if (tag == F::LOAD_CLASS && F::LoadClass(body, length, idSize, classId, nameId)) {
            classNames[classId] = nameId;
        } else if (tag == F::HEAP_DUMP || tag == F::HEAP_DUMP_SEGMENT) {
            dumps.push_back({body, body + length});
        }
        at = body + length;
    }
    std::vector<Opening> openings(dumps.size());
    std::vector<std::vector<HprofObjectHead>> samples(dumps.size());  // by a thread's first dump
    RunSplit(
        dumps.size(), [&](size_t i) { return static_cast<uint64_t>(dumps[i].second - dumps[i].first); },
        [&](size_t first, size_t last) {
            samples[first].reserve(SAMPLE);
            for (size_t i = first; i < last; i++) {
                openings[i].sample = &samples[first];
                WalkHeapDump(dumps[i].first, dumps[i].second, nullptr, &openings[i]);
            }
        });
    if (badRecord) Fail(badRecord, badWhat);
    mapping.Release(data, end);
    MergeOpenings(openings, samples, classNames);
}

void HprofFile::MergeOpenings(std::vector<Opening>& openings, std::vector<std::vector<HprofObjectHead>>& samples,
                              const std::unordered_map<uint64_t, uint64_t>& classNames) {
    for (Opening& opening : openings) {
        for (HprofClass& cls : opening.classes) {
            classOrder.push_back(cls.id);
            classes[cls.id] = std::move(cls);
        }
        for (HprofPiece& piece : opening.pieces) {
            piece.objectsBefore = objects;
            objects += piece.objects;
            pieces.push_back(piece);
        }
        if (opening.ids.least != UINT64_MAX) {
            ids.Add(opening.ids.least);
            ids.Add(opening.ids.most);
            ids.differing |= opening.ids.differing;
        }
        opening = Opening();
    }
    for (std::vector<HprofObjectHead>& part : samples) {
        if (sample.empty()) sample.swap(part);
        size_t take = std::min(SAMPLE - sample.size(), part.size());
        sample.insert(sample.end(), part.begin(), part.begin() + static_cast<long>(take));
        std::vector<HprofObjectHead>().swap(part);
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
    // Every layout now, so that readers on several threads only look up.
    for (const auto& entry : classes) {
        std::vector<uint8_t> types;
        F::ClimbClasses(entry.first, classes.size(), [&](uint64_t id) -> uint64_t {
            const HprofClass* cls = FindClass(id);
            if (!cls) return 0;
            for (const HprofField& field : cls->fields) types.push_back(field.type);
            return cls->super;
        });
        layouts.emplace(entry.first, std::move(types));
    }
}

void HprofFile::ForPieceRuns(const std::function<void(size_t, size_t)>& work) const {
    if (window) return work(0, pieces.size());  // in order, while the reader's thread decodes
    RunSplit(
        pieces.size(), [&](size_t i) { return static_cast<uint64_t>(pieces[i].end - pieces[i].begin); }, work);
}

void HprofFile::VisitPieces(size_t first, size_t last, HprofVisitor& visitor) const {
    if (window) {
        for (size_t i = first; i < last; i++) VisitStreamed(i, visitor, false);
        return;
    }
    for (size_t i = first; i < last; i++) WalkHeapDump(pieces[i].begin, pieces[i].end, &visitor, nullptr, false);
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

void HprofFile::WalkHeapDump(const uint8_t* at, const uint8_t* end, HprofVisitor* visitor, Opening* opening,
                             bool classes) const {
    // The file's pages would otherwise stay resident beside the graph.
    constexpr ptrdiff_t RELEASE_STEP = 8 << 20;
    const uint8_t* kept = at;
    HprofPiece piece{at, at, 0, 0};
    while (at < end) {
        if (at - kept >= RELEASE_STEP) {
            progress.Add(static_cast<uint64_t>(at - kept));  // threads share the phase
            mapping.Release(kept, at);
            kept = at;
        }
        if (opening && at - piece.begin >= PIECE) {
            piece.end = at;
            opening->pieces.push_back(piece);
            piece = {at, at, 0, 0};
        }
        uint8_t tag = at[0];
        size_t header = F::SubRecordHeader(tag, idSize);
        if (header == 0) {
            char text[48];
            snprintf(text, sizeof text, "unknown heap dump record 0x%02x", tag);
            Fail(at, text);
        }
        if (static_cast<size_t>(end - at) < header) Fail(at, "truncated heap dump record");
        HprofSubRecord record;
        if (tag == F::INSTANCE_DUMP) {  // most of a heap: decoded here, faster
            record.id = Id(at + 1);
            record.classId = Id(at + 1 + idSize + 4);
            uint32_t count;
            memcpy(&count, at + 1 + 2 * idSize + 4, 4);
            record.count = __builtin_bswap32(count);
            record.body = record.count;
        } else {
            record = F::DecodeSubRecord(at, idSize);
        }
        if (tag == F::CLASS_DUMP) {
            HprofClass cls;
            ReadClassDump(at, end, cls);
            if (visitor && classes) visitor->OnClass(*FindClass(cls.id));
            if (opening) opening->classes.push_back(std::move(cls));
            continue;
        }
        if (tag == F::PRIM_ARRAY_DUMP && (F::TypeSize(record.elementType, idSize) == 0 || record.elementType == F::OBJECT))
            Fail(at, "bad array element type");
        if (record.body > static_cast<uint64_t>(end - at) - header) Fail(at, "truncated heap dump record");
        const uint8_t* body = at + header;
        if (opening && (tag == F::INSTANCE_DUMP || tag == F::OBJ_ARRAY_DUMP || tag == F::PRIM_ARRAY_DUMP)) {
            piece.objects++;
            opening->ids.Add(record.id);
            if (opening->sample->size() < SAMPLE) {
                if (tag == F::INSTANCE_DUMP) opening->sample->push_back({record.id, record.classId, 0, 0});
                else if (tag == F::OBJ_ARRAY_DUMP) opening->sample->push_back({record.id, 0, record.count, F::OBJECT});
                else opening->sample->push_back({record.id, 0, record.count, record.elementType});
            }
        }
        if (visitor) {
            switch (tag) {
                case F::INSTANCE_DUMP:
                    visitor->OnInstance(record.id, record.classId, classes ? FindClass(record.classId) : nullptr, body,
                                        record.count);
                    break;
                case F::OBJ_ARRAY_DUMP: visitor->OnObjectArray(record.id, record.classId, body, record.count); break;
                case F::PRIM_ARRAY_DUMP: visitor->OnPrimitiveArray(record.id, record.elementType, record.count); break;
                default: visitor->OnRoot(tag, record.id); break;
            }
        }
        at = body + record.body;
    }
    if (opening && at > piece.begin) {
        piece.end = at;
        opening->pieces.push_back(piece);
    }
    progress.Add(static_cast<uint64_t>(end - kept));
    mapping.Release(kept, end);
}

void HprofFile::Visit(HprofVisitor& visitor) const {
    if (window) {
        for (size_t i = 0; i < pieces.size(); i++) VisitStreamed(i, visitor, true);
        return;
    }
    const uint8_t* end = data + size;
    for (const uint8_t* at = data + firstRecord; at < end;) {
        uint8_t tag = at[0];
        uint64_t length = F::RecordLength(at);
        const uint8_t* body = at + F::RECORD_HEADER;
        if (tag == F::HEAP_DUMP || tag == F::HEAP_DUMP_SEGMENT) WalkHeapDump(body, body + length, &visitor, nullptr);
        at = body + length;
    }
    mapping.Release(data, end);
}

}  // namespace vesk
