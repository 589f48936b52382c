#include "load/HprofFile.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <exception>
#include <memory>
#include <thread>

#include "protocol/ClientError.h"
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

// A compressed file's reader failing (its zstd data damaged or cut), as the file's failure.
template <class Step>
auto Guard(Step step) -> decltype(step()) {
    try {
        return step();
    } catch (const ClientError& e) {
        throw HprofError(e.what());
    }
}

}  // namespace

bool HprofFile::IsHprof(const std::string& path) {
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "rb"));
    uint8_t head[F::MAGIC_LENGTH];
    return file && fread(head, 1, sizeof head, file.get()) == sizeof head && F::HasMagic(head, sizeof head);
}

HprofFile::HprofFile(const std::string& path, WorkProgress& progress) : path(path), progress(progress) {
    if (ZstdFileReader::IsCompressed(path)) {
        streamed = std::make_unique<Streamed>(path);
        ReadStreamed();
        return;
    }
    std::string error;
    if (!mapping.Map(path, &error)) throw HprofError(error);
    data = mapping.Data();
    size = mapping.Size();
    ReadMetadata();
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

// A compressed file, read front to back for each pass: its plain bytes go
// into a window that holds a piece's whole sub-records, but for primitive
// array bodies, which no pass reads: those are passed over, and as the
// window is anonymous memory, their room costs no pages.
struct HprofFile::Streamed {
    // Bytes read past what a record needs, to save calls.
    static constexpr size_t AHEAD = 64 << 10;

    explicit Streamed(const std::string& path) : path(path) {}
    ~Streamed() {
        if (base) munmap(base, capacity);
    }

    uint64_t OffsetOf(const uint8_t* at) const { return origin + static_cast<uint64_t>(at - base); }

    // Decoding from the start again.
    void Restart() {
        reader.reset();
        reader = Guard([&] { return std::make_unique<ZstdFileReader>(path); });
        origin = 0;
        have = 0;
        ended = false;
        Reserve(AHEAD);
    }

    void Reserve(size_t size) {
        if (size <= capacity) return;
        size_t grown = std::max({size, 2 * capacity, size_t(16) << 20});
        void* moved = base ? mremap(base, capacity, grown, MREMAP_MAYMOVE)
                           : mmap(nullptr, grown, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (moved == MAP_FAILED) throw std::bad_alloc();
        base = static_cast<uint8_t*>(moved);
        capacity = grown;
    }

    // The window's first upTo bytes present, reading no further than limit;
    // false when the plain bytes or the limit end before.
    bool Ensure(size_t upTo) {
        if (have >= upTo) return true;
        uint64_t room = limit - origin;
        size_t want = static_cast<size_t>(std::min<uint64_t>(room, std::max(upTo, have + AHEAD)));
        if (ended || want <= have) return false;
        Reserve(want);
        size_t got = Guard([&] { return reader->Read(base + have, want - have); });
        have += got;
        ended = have < want;
        return have >= upTo;
    }

    // Passes over the plain bytes up to window offset upTo.
    bool PassOver(size_t upTo) {
        Reserve(upTo);
        have += static_cast<size_t>(Guard([&] { return reader->Skip(upTo - have); }));
        ended = have < upTo;
        return !ended;
    }

    // Drops the window's first size bytes, passing over those it lacks.
    bool Drop(uint64_t size) {
        if (size <= have) {
            memmove(base, base + size, have - size);
            origin += size;
            have -= size;
            return true;
        }
        origin += have;
        uint64_t rest = size - have;
        have = 0;
        uint64_t skipped = Guard([&] { return reader->Skip(rest); });
        origin += skipped;
        ended = skipped < rest;
        return !ended;
    }

    // Reads whole sub-records from the window's start up to limit, or, with
    // cut, up to the first that ends PIECE bytes or more in. Returns where
    // they end: short of both also at a bad or cut record, for the walker
    // to name.
    size_t Fill(size_t idSize, bool cut) {
        size_t at = 0;
        while (origin + at < limit && !(cut && at >= static_cast<size_t>(PIECE))) {
            if (!Ensure(at + 1)) break;
            uint8_t tag = base[at];
            size_t header = F::SubRecordHeader(tag, idSize);
            if (header == 0 || !Ensure(at + header)) break;
            size_t length = 0;
            if (tag == F::CLASS_DUMP) {
                HprofClassStatus status;
                while ((status = F::WalkClassDump(base + at, have - at, idSize, length, [](const HprofClassEntry&) {})) ==
                           HprofClassStatus::TRUNCATED &&
                       Ensure(have + 1)) {
                }
                if (status != HprofClassStatus::OK) break;
            } else {
                HprofSubRecord record = F::DecodeSubRecord(base + at, idSize);
                if (tag == F::PRIM_ARRAY_DUMP && (F::TypeSize(record.elementType, idSize) == 0 || record.elementType == F::OBJECT))
                    break;
                if (record.body > limit - origin - at - header) break;
                length = header + static_cast<size_t>(record.body);
                bool passOver = tag == F::PRIM_ARRAY_DUMP && have < at + length;
                if (!(passOver ? PassOver(at + length) : Ensure(at + length))) break;
            }
            at += length;
        }
        return at;
    }

    // Keeps a name's bytes for as long as the file.
    std::string_view Keep(const uint8_t* text, size_t size) {
        if (room - kept < size) {
            room = std::max(size_t(1) << 20, size);
            texts.emplace_back(new char[room]);
            kept = 0;
        }
        char* at = texts.back().get() + kept;
        memcpy(at, text, size);
        kept += size;
        return std::string_view(at, size);
    }

    std::string path;
    std::unique_ptr<ZstdFileReader> reader;
    uint8_t* base = nullptr;
    size_t capacity = 0;
    uint64_t origin = 0;          // plain offset of base[0]
    size_t have = 0;              // window bytes read or passed over
    uint64_t limit = UINT64_MAX;  // no read goes past this plain offset
    bool ended = false;           // the plain bytes ended before limit
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // each piece's plain offsets
    std::vector<std::unique_ptr<char[]>> texts;
    size_t room = 0;  // bytes of texts.back()
    size_t kept = 0;  // of them used
};

HprofFile::~HprofFile() = default;

void HprofFile::Fail(const uint8_t* at, const std::string& what) const {
    FailAt(streamed ? streamed->OffsetOf(at) : static_cast<uint64_t>(at - data), what);
}

void HprofFile::FailAt(uint64_t offset, const std::string& what) const {
    throw HprofError(path + ": " + what + " at offset " + std::to_string(offset));
}

void HprofFile::ReadStreamed() {
    try {
        ReadRecords();
    } catch (const HprofError&) {
        // Damage that decodes (the checksum at the frame's end finds it) is
        // the compressed data's fault, not the dump's.
        if (streamed->reader) Guard([&] { return streamed->reader->Skip(UINT64_MAX); });
        throw;
    }
}

void HprofFile::ReadRecords() {
    Streamed& in = *streamed;
    in.Restart();
    in.Ensure(F::MAX_HEADER);
    ReadHeader(in.base, in.have);
    progress.Phase("reading " + path.substr(path.find_last_of('/') + 1) + " (classes)",
                   ZstdFileReader::PlainSize(path));
    in.Drop(firstRecord);

    std::unordered_map<uint64_t, uint64_t> classNames;  // class id -> name id
    std::vector<Opening> openings(1);
    std::vector<std::vector<HprofObjectHead>> samples(1);
    samples[0].reserve(SAMPLE);
    openings[0].sample = &samples[0];
    while (in.Ensure(1)) {
        uint64_t record = in.origin;
        if (!in.Ensure(F::RECORD_HEADER)) FailAt(record, "truncated record header");
        uint8_t tag = in.base[0];
        uint64_t length = F::RecordLength(in.base);
        if (tag == F::HEAP_DUMP || tag == F::HEAP_DUMP_SEGMENT) {
            in.Drop(F::RECORD_HEADER);
            in.limit = in.origin + length;
            while (in.origin < in.limit) {
                size_t end = in.Fill(idSize, true);
                if (end < static_cast<size_t>(PIECE) && in.origin + end < in.limit) {
                    if (in.ended) FailAt(record, "truncated record");
                    WalkHeapDump(in.base, in.base + std::min<uint64_t>(in.have, in.limit - in.origin), nullptr, &openings[0]);
                    Fail(in.base + end, "truncated heap dump record");
                }
                size_t first = openings[0].pieces.size();
                WalkHeapDump(in.base, in.base + end, nullptr, &openings[0]);
                for (size_t i = first; i < openings[0].pieces.size(); i++) {
                    HprofPiece& piece = openings[0].pieces[i];
                    in.spans.push_back({in.OffsetOf(piece.begin), in.OffsetOf(piece.end)});
                    piece.begin = piece.end = nullptr;
                }
                in.Drop(end);
            }
            in.limit = UINT64_MAX;
        } else if (tag == F::UTF8 || tag == F::LOAD_CLASS) {
            if (!in.Ensure(F::RECORD_HEADER + length)) FailAt(record, "truncated record");
            const uint8_t* body = in.base + F::RECORD_HEADER;
            uint64_t classId, nameId;
            if (tag == F::UTF8 && length >= idSize) names[Id(body)] = in.Keep(body + idSize, length - idSize);
            else if (tag == F::LOAD_CLASS && F::LoadClass(body, length, idSize, classId, nameId)) classNames[classId] = nameId;
            in.Drop(F::RECORD_HEADER + length);
        } else if (!in.Drop(F::RECORD_HEADER + length)) {
            FailAt(record, "truncated record");
        }
    }
    size = in.origin;
    in.reader.reset();
    MergeOpenings(openings, samples, classNames);
}

void HprofFile::VisitStreamed(size_t piece, HprofVisitor& visitor, bool classes) const {
    Streamed& in = *streamed;
    uint64_t begin = in.spans[piece].first, end = in.spans[piece].second;
    if (!in.reader || begin < in.origin) in.Restart();
    in.limit = end;
    // The file changed since it was opened, when these fail.
    if (!in.Drop(begin - in.origin)) FailAt(begin, "truncated heap dump record");
    size_t whole = in.Fill(idSize, false);
    if (in.origin + whole < end) {
        WalkHeapDump(in.base, in.base + std::min<uint64_t>(in.have, end - in.origin), &visitor, nullptr, classes);
        Fail(in.base + whole, "truncated heap dump record");
    }
    WalkHeapDump(in.base, in.base + whole, &visitor, nullptr, classes);
    in.limit = UINT64_MAX;
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
    if (streamed) return work(0, pieces.size());  // in order, while the reader's thread decodes
    RunSplit(
        pieces.size(), [&](size_t i) { return static_cast<uint64_t>(pieces[i].end - pieces[i].begin); }, work);
}

void HprofFile::VisitPieces(size_t first, size_t last, HprofVisitor& visitor) const {
    if (streamed) {
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
    if (streamed) {
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
