#include "load/HprofFile.h"

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>

#include "base/File.h"
#include "base/Parallel.h"
#include "base/ZstdFileReader.h"
#include "load/HprofWindow.h"

namespace vesk {

namespace {

using F = HprofFormat;
using Orlo::HprofClassEntry;
using Orlo::HprofClassStatus;
using Orlo::HprofHeader;
using Orlo::HprofHeaderStatus;
using Orlo::HprofSubRecord;

}  // namespace

bool HprofFile::IsHprof(const std::string& path) {
    File file = File::TryOpen(path);
    uint8_t head[F::MAGIC_LENGTH];
    return file && fread(head, 1, sizeof head, file.Get()) == sizeof head && F::HasMagic(head, sizeof head);
}

HprofFile::HprofFile(const std::string& path, WorkProgress& progress, bool keepSample)
    : path(path), progress(progress), compressed(ZstdFileReader::IsCompressed(path)), keepSample(keepSample) {
    window = std::make_unique<HprofWindow>(path, compressed);
    try {
        ReadRecords();
    } catch (const ClientError&) {
        // Damage that decodes (the checksum at the frame's end finds it) is
        // the compressed data's fault, not the dump's.
        window->DecodeRest();
        throw;
    }
}

HprofFile::~HprofFile() = default;

void HprofFile::Fail(const HprofWindow& in, const uint8_t* at, const std::string& what) const {
    FailAt(in.OffsetOf(at), what);
}

void HprofFile::FailAt(uint64_t offset, const std::string& what) const {
    throw ClientError(ErrorKind::File, path + ": " + what + " at offset " + std::to_string(offset));
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

}  // namespace

// What one thread's share of the opening pass finds, merged in file order.
struct HprofFile::Opening {
    std::vector<HprofClass> classes;
    std::vector<HprofPiece> pieces;
    std::vector<HprofObjectHead>* sample;  // the file's, for the first run; else null
    HprofIdRange ids;
    std::vector<uint64_t> marks;
    std::vector<HprofThreadRoot> threadRoots;
};

// A plain file's heap dumps are opened afterwards, on several threads; a
// compressed one's as they come. Either way a fault in a heap dump comes
// before one in a later record.
void HprofFile::ReadRecords() {
    HprofWindow& in = *window;
    in.Restart();
    in.Ensure(F::MAX_HEADER);
    ReadHeader(in);
    size = in.Length();
    progress.Phase("reading " + path.substr(path.find_last_of('/') + 1) + " (classes)", size);
    in.Drop(firstRecord);

    std::unordered_map<uint64_t, uint64_t> classNames;  // class id -> name id
    struct Dump {
        uint64_t record, begin, end;
    };
    std::vector<Dump> dumps;
    std::vector<Opening> openings(1);
    if (keepSample) sample.reserve(SAMPLE);
    openings[0].sample = keepSample ? &sample : nullptr;
    uint64_t badRecord = 0;
    const char* badWhat = nullptr;
    while (in.Ensure(1)) {
        uint64_t record = in.Origin();
        if (!in.Ensure(F::RECORD_HEADER)) {
            badRecord = record, badWhat = "truncated record header";
            break;
        }
        uint8_t tag = in.Data()[0];
        uint64_t length = F::RecordLength(in.Data());
        uint64_t body = record + F::RECORD_HEADER;
        // A plain file's length is known: a record past it is cut.
        if (!compressed && length > size - body) {
            badRecord = record, badWhat = "truncated record";
            break;
        }
        if (tag == F::HEAP_DUMP || tag == F::HEAP_DUMP_SEGMENT) {
            if (compressed) {
                in.Drop(F::RECORD_HEADER);
                OpenDump(in, record, body, body + length, openings[0]);
            } else {
                dumps.push_back({record, body, body + length});
                in.Drop(F::RECORD_HEADER + length);
            }
        } else if (tag == F::UTF8 || tag == F::LOAD_CLASS || tag == F::FRAME || tag == F::TRACE) {
            if (!in.Ensure(F::RECORD_HEADER + length)) {
                badRecord = record, badWhat = "truncated record";
                break;
            }
            const uint8_t* data = in.Data() + F::RECORD_HEADER;
            uint64_t classId, nameId;
            if (tag == F::UTF8 && length >= idSize) {
                names[Id(data)] = in.Keep(data + idSize, length - idSize);
            } else if (tag == F::LOAD_CLASS && F::LoadClass(data, length, idSize, classId, nameId)) {
                classNames[classId] = nameId;
                classSerials[static_cast<uint32_t>(F::Big(data, 4))] = classId;
            } else {
                ReadStack(tag, data, length);
            }
            in.Drop(F::RECORD_HEADER + length);
        } else if (!in.Drop(F::RECORD_HEADER + length)) {
            badRecord = record, badWhat = "truncated record";
            break;
        }
    }
    if (compressed) {
        size = in.Origin();
    } else {
        openings.resize(dumps.size());
        ForRuns(
            dumps.size(), PassThreads(), [&](size_t i) { return dumps[i].end - dumps[i].begin; },
            [&](size_t first, size_t last) {
                HprofWindow own(path, false);
                for (size_t i = first; i < last; i++) {
                    // The first run holds the file's first objects; a later
                    // run's are read again should it come short (TopUpSample).
                    openings[i].sample = first == 0 && keepSample ? &sample : nullptr;
                    OpenDump(own, dumps[i].record, dumps[i].begin, dumps[i].end, openings[i]);
                }
            });
    }
    if (badWhat) FailAt(badRecord, badWhat);
    MergeOpenings(openings, classNames);
    TopUpSample();
}

namespace {

// Adds the heads of the objects it meets to a sample until it is full.
class Sampler : public HprofVisitor {
public:
    explicit Sampler(std::vector<HprofObjectHead>& sample) : sample(sample) {}
    void OnInstance(uint64_t id, uint64_t classId, const HprofClass*, const uint8_t*, uint32_t) override {
        Add({id, classId, 0, 0});
    }
    void OnObjectArray(uint64_t id, uint64_t, const uint8_t*, uint32_t count) override { Add({id, 0, count, F::OBJECT}); }
    void OnPrimitiveArray(uint64_t id, uint8_t type, uint32_t count) override { Add({id, 0, count, type}); }

private:
    void Add(const HprofObjectHead& head) {
        if (sample.size() < HprofFile::SAMPLE) sample.push_back(head);
    }
    std::vector<HprofObjectHead>& sample;
};

}  // namespace

void HprofFile::TopUpSample() {
    if (!keepSample || sample.size() >= std::min<uint64_t>(SAMPLE, objects)) return;
    // The first run's pieces hold the sample's objects, and no more.
    size_t piece = 0;
    while (piece < pieces.size() && pieces[piece].objectsBefore < sample.size()) piece++;
    HprofWindow own(path, compressed);
    Sampler sampler(sample);
    for (; piece < pieces.size() && sample.size() < SAMPLE; piece++) VisitPiece(own, piece, sampler, false);
}

void HprofFile::OpenDump(HprofWindow& in, uint64_t record, uint64_t begin, uint64_t end, Opening& opening) const {
    if (!in.MoveTo(begin)) FailAt(record, "truncated record");
    in.SetLimit(end);
    while (in.Origin() < end) {
        // Most records are small: the whole ones among a piece's bytes are
        // walked as read (finding their ends first would parse them twice).
        size_t wanted = static_cast<size_t>(std::min<uint64_t>(PIECE, end - in.Origin()));
        in.Ensure(wanted);
        // The window may hold bytes past the record, read before its limit was set.
        size_t held = std::min(wanted, in.Size());
        const uint8_t* walked = WalkHeapDump(in, in.Data(), in.Data() + held, nullptr, &opening, true, true);
        size_t whole = static_cast<size_t>(walked - in.Data());
        if (whole == 0) {
            // A longer record (a primitive array's body passed over), or a cut or bad one.
            whole = in.Fill(idSize, PIECE);
            if (whole < static_cast<size_t>(PIECE) && in.Origin() + whole < end) {
                if (in.Ended()) FailAt(record, "truncated record");
                WalkHeapDump(in, in.Data(), in.Data() + in.Size(), nullptr, &opening);
                Fail(in, in.Data() + whole, "truncated heap dump record");
            }
            WalkHeapDump(in, in.Data(), in.Data() + whole, nullptr, &opening);
        }
        in.Drop(whole);
    }
    in.SetLimit(HprofWindow::NO_LIMIT);
}

void HprofFile::VisitPiece(HprofWindow& in, size_t piece, HprofVisitor& visitor, bool classes) const {
    uint64_t begin = pieces[piece].begin, end = pieces[piece].end;
    in.SetLimit(end);
    // The file changed since it was opened, when these fail.
    if (!in.MoveTo(begin)) FailAt(begin, "truncated heap dump record");
    // A piece of the usual size is read whole: finding its records' ends
    // first would parse them twice, which costs more than copying the
    // primitive arrays' bodies.
    size_t whole = end - begin <= 2 * PIECE && in.Ensure(end - begin) ? end - begin : in.Fill(idSize, 0);
    if (in.Origin() + whole < end) {
        WalkHeapDump(in, in.Data(), in.Data() + in.Size(), &visitor, nullptr, classes);
        Fail(in, in.Data() + whole, "truncated heap dump record");
    }
    WalkHeapDump(in, in.Data(), in.Data() + whole, &visitor, nullptr, classes);
    in.SetLimit(HprofWindow::NO_LIMIT);
}

void HprofFile::ReadStack(uint8_t tag, const uint8_t* data, uint64_t length) {
    // Frame id, method name, signature, source file, u4 class serial, u4 line.
    if (tag == F::FRAME && length >= 4 * idSize + 8) {
        HprofStackFrame& frame = stackFrames[Id(data)];
        frame.method = Id(data + idSize);
        frame.source = Id(data + 3 * idSize);
        frame.classSerial = static_cast<uint32_t>(F::Big(data + 4 * idSize, 4));
        frame.line = static_cast<int32_t>(F::Big(data + 4 * idSize + 4, 4));
    }
    // u4 serial, u4 thread serial, u4 frame count, the frames' ids.
    if (tag == F::TRACE && length >= 12) {
        HprofStackTrace& trace = stackTraces[static_cast<uint32_t>(F::Big(data, 4))];
        trace.thread = static_cast<uint32_t>(F::Big(data + 4, 4));
        uint64_t count = std::min<uint64_t>(F::Big(data + 8, 4), (length - 12) / idSize);
        for (uint64_t i = 0; i < count; i++) trace.frames.push_back(Id(data + 12 + i * idSize));
    }
}

std::string_view HprofFile::Name(uint64_t id) const {
    auto found = names.find(id);
    return found == names.end() ? std::string_view() : found->second;
}

uint64_t HprofFile::ClassOfSerial(uint32_t serial) const {
    auto found = classSerials.find(serial);
    return found == classSerials.end() ? 0 : found->second;
}

void HprofFile::ReadHeader(const HprofWindow& in) {
    const uint8_t* at = in.Data();
    HprofHeader header;
    switch (F::ParseHeader(at, in.Size(), header)) {
        case HprofHeaderStatus::OK: break;
        case HprofHeaderStatus::NOT_HPROF: Fail(in, at, "no HPROF header");
        case HprofHeaderStatus::TRUNCATED: Fail(in, at + header.textLength, "truncated header");
        case HprofHeaderStatus::BAD_ID_SIZE:
            Fail(in, at + header.textLength + 1, "unsupported identifier size " + std::to_string(header.idSize));
    }
    idSize = header.idSize;
    timeStamp = header.timeStamp;
    firstRecord = header.length;
}

void HprofFile::MergeOpenings(std::vector<Opening>& openings, const std::unordered_map<uint64_t, uint64_t>& classNames) {
    for (Opening& opening : openings) {
        for (HprofClass& cls : opening.classes) {
            classOrder.push_back(cls.id);
            classes[cls.id] = std::move(cls);
        }
        for (HprofPiece& piece : opening.pieces) {
            piece.objectsBefore = objects;
            piece.firstMark = marks.size();
            objects += piece.objects;
            marks.resize(marks.size() + (piece.objects + MARK_EVERY - 1) / MARK_EVERY);
            pieces.push_back(piece);
        }
        std::copy(opening.marks.begin(), opening.marks.end(), marks.end() - static_cast<ptrdiff_t>(opening.marks.size()));
        threadRoots.insert(threadRoots.end(), opening.threadRoots.begin(), opening.threadRoots.end());
        if (opening.ids.least != UINT64_MAX) {
            ids.Add(opening.ids.least);
            ids.Add(opening.ids.most);
            ids.differing |= opening.ids.differing;
        }
        opening = Opening();
    }
    // Names last: a reader need not rely on UTF8 records coming first.
    for (auto& [id, cls] : classes) {
        auto name = classNames.find(id);
        if (name != classNames.end()) cls.name = Name(name->second);
        for (HprofField& field : cls.statics) field.name = Name(field.nameId);
        for (HprofField& field : cls.fields) field.name = Name(field.nameId);
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

namespace {

// The window of the ForPieceRuns run on this thread, for VisitPieces.
struct RunWindow {
    const HprofFile* file = nullptr;
    HprofWindow* window = nullptr;
};
thread_local RunWindow runWindow;

}  // namespace

void HprofFile::ForPieceRuns(const std::function<void(size_t, size_t)>& work) const {
    auto inWindow = [&](HprofWindow& in, size_t first, size_t last) {
        RunWindow outer = std::exchange(runWindow, {this, &in});
        try {
            work(first, last);
        } catch (...) {
            runWindow = outer;
            throw;
        }
        runWindow = outer;
    };
    if (compressed) return inWindow(*window, 0, pieces.size());  // in order, while the reader's thread decodes
    ForRuns(
        pieces.size(), PassThreads(), [&](size_t i) { return pieces[i].end - pieces[i].begin; },
        [&](size_t first, size_t last) {
            HprofWindow own(path, false);
            inWindow(own, first, last);
        });
}

void HprofFile::VisitPieces(size_t first, size_t last, HprofVisitor& visitor) const {
    auto visit = [&](HprofWindow& in) {
        for (size_t i = first; i < last; i++) VisitPiece(in, i, visitor, false);
    };
    if (runWindow.file == this) return visit(*runWindow.window);
    if (compressed) return visit(*window);
    HprofWindow own(path, false);
    visit(own);
}

void HprofFile::ReadClassDump(const HprofWindow& in, const uint8_t*& at, const uint8_t* end, HprofClass& cls) const {
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
        case HprofClassStatus::TRUNCATED: Fail(in, at, "truncated class dump");
        case HprofClassStatus::BAD_VALUE_TYPE: Fail(in, at + length, "bad value type " + std::to_string(at[length - 1]));
        case HprofClassStatus::BAD_FIELD_TYPE: Fail(in, at + length, "bad field type");
    }
    at += length;
}

const uint8_t* HprofFile::WalkHeapDump(const HprofWindow& in, const uint8_t* at, const uint8_t* end,
                                       HprofVisitor* visitor, Opening* opening, bool classes, bool stopAtCut) const {
    constexpr ptrdiff_t PROGRESS_STEP = 8 << 20;
    const uint8_t* counted = at;
    const uint8_t* pieceBegin = at;
    uint64_t pieceObjects = 0;
    while (at < end) {
        if (at - counted >= PROGRESS_STEP) {
            progress.Add(static_cast<uint64_t>(at - counted));  // threads share the phase
            counted = at;
        }
        if (opening && at - pieceBegin >= PIECE) {
            opening->pieces.push_back({in.OffsetOf(pieceBegin), in.OffsetOf(at), 0, pieceObjects, 0});
            pieceBegin = at;
            pieceObjects = 0;
        }
        uint8_t tag = at[0];
        size_t header = F::SubRecordHeader(tag, idSize);
        if (header == 0) {
            char text[48];
            snprintf(text, sizeof text, "unknown heap dump record 0x%02x", tag);
            Fail(in, at, text);
        }
        if (static_cast<size_t>(end - at) < header) {
            if (stopAtCut) break;
            Fail(in, at, "truncated heap dump record");
        }
        HprofSubRecord record;
        // Most of a heap: decoded here, faster.
        auto count = [](const uint8_t* from) {
            uint32_t value;
            memcpy(&value, from, 4);
            return __builtin_bswap32(value);
        };
        if (tag == F::INSTANCE_DUMP) {
            record.id = Id(at + 1);
            record.classId = Id(at + 1 + idSize + 4);
            record.count = count(at + 1 + 2 * idSize + 4);
            record.body = record.count;
        } else if (tag == F::OBJ_ARRAY_DUMP) {
            record.id = Id(at + 1);
            record.count = count(at + 1 + idSize + 4);
            record.classId = Id(at + 1 + idSize + 8);
            record.body = uint64_t(record.count) * idSize;
        } else if (tag == F::PRIM_ARRAY_DUMP) {
            record.id = Id(at + 1);
            record.count = count(at + 1 + idSize + 4);
            record.elementType = at[1 + idSize + 8];
            record.body = record.elementType == F::OBJECT ? 0 : uint64_t(record.count) * F::TypeSize(record.elementType, idSize);
        } else {
            record = F::DecodeSubRecord(at, idSize);
        }
        if (tag == F::CLASS_DUMP) {
            size_t length = 0;
            if (stopAtCut && F::WalkClassDump(at, static_cast<size_t>(end - at), idSize, length,
                                              [](const HprofClassEntry&) {}) == HprofClassStatus::TRUNCATED)
                break;
            HprofClass cls;
            ReadClassDump(in, at, end, cls);
            if (visitor && classes) visitor->OnClass(*FindClass(cls.id));
            if (opening) opening->classes.push_back(std::move(cls));
            continue;
        }
        if (tag == F::PRIM_ARRAY_DUMP && (F::TypeSize(record.elementType, idSize) == 0 || record.elementType == F::OBJECT))
            Fail(in, at, "bad array element type");
        if (record.body > static_cast<uint64_t>(end - at) - header) {
            if (stopAtCut) break;
            Fail(in, at, "truncated heap dump record");
        }
        const uint8_t* body = at + header;
        if (opening && (tag == F::ROOT_THREAD_OBJECT || tag == F::ROOT_JAVA_FRAME || tag == F::ROOT_JNI_LOCAL))
            opening->threadRoots.push_back({tag, record.id, static_cast<uint32_t>(F::Big(at + 1 + idSize, 4)),
                                            static_cast<uint32_t>(F::Big(at + 1 + idSize + 4, 4))});
        if (opening && (tag == F::INSTANCE_DUMP || tag == F::OBJ_ARRAY_DUMP || tag == F::PRIM_ARRAY_DUMP)) {
            if (pieceObjects % MARK_EVERY == 0) opening->marks.push_back(in.OffsetOf(at));
            pieceObjects++;
            opening->ids.Add(record.id);
            if (opening->sample && opening->sample->size() < SAMPLE) {
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
    if (opening && at > pieceBegin) opening->pieces.push_back({in.OffsetOf(pieceBegin), in.OffsetOf(at), 0, pieceObjects, 0});
    progress.Add(static_cast<uint64_t>(at - counted));
    return at;
}

void HprofFile::Visit(HprofVisitor& visitor) const {
    std::unique_ptr<HprofWindow> own = compressed ? nullptr : std::make_unique<HprofWindow>(path, false);
    HprofWindow& in = own ? *own : *window;
    for (size_t i = 0; i < pieces.size(); i++) VisitPiece(in, i, visitor, true);
}

}  // namespace vesk
