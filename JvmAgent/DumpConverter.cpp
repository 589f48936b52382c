#include "DumpConverter.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "VeskLogger.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace Orlo {

namespace {

using F = HprofFormat;

constexpr size_t READ_BUFFER_SIZE = 4 << 20;
constexpr uint32_t OBJECTS_PER_CANCEL_CHECK = 10000;
// Superclass chains longer than this are a malformed dump's cycle.
constexpr size_t MAX_CLASS_DEPTH = 4096;

bool ReadFully(FILE* file, uint64_t offset, uint8_t* into, size_t length) {
#ifdef _WIN32
    if (_fseeki64(file, static_cast<long long>(offset), SEEK_SET) != 0) return false;
    return fread(into, 1, length, file) == length;
#else
    while (length > 0) {
        ssize_t got = pread(fileno(file), into, length, static_cast<off_t>(offset));
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            return false;
        }
        into += got;
        offset += static_cast<uint64_t>(got);
        length -= static_cast<size_t>(got);
    }
    return true;
#endif
}

}  // namespace

DumpConverter::DumpConverter(const DumpPlan& plan, DumpRecordSink& sink, size_t keptValues)
    : plan(plan), sink(sink), keptValues(keptValues) {}

DumpConverter::~DumpConverter() {
    if (file) fclose(file);
}

DumpConverter::Result DumpConverter::Convert(const char* path, std::string& error) {
    file = fopen(path, "rb");
    if (!file) {
        error = std::string("Cannot open heap dump ") + path + ": " + strerror(errno);
        return Result::FAILED;
    }
    // Unbuffered: the reads go straight into the buffer, in large pieces.
    setvbuf(file, nullptr, _IONBF, 0);
    buffer.resize(READ_BUFFER_SIZE);
    bool done = Pass(true) && Prepare();
    if (done) VeskLogger::LogDebug("Heap dump indexed: %zu objects, %zu classes", objects.size(), dumpClasses.size());
    done = done && EmitStart() && Pass(false) && EmitExtras();
    std::vector<uint8_t>().swap(buffer);
    if (cancelled) return Result::CANCELLED;
    if (!done) {
        error = failure;
        return Result::FAILED;
    }
    return Result::DONE;
}

bool DumpConverter::Pass(bool index) {
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_SET) != 0) return Stop("cannot read the heap dump again");
#else
    if (fseeko(file, 0, SEEK_SET) != 0) return Stop("cannot read the heap dump again");
#endif
    cursor = end = 0;
    fileOffset = 0;
    Need(F::MAX_HEADER);  // a shorter file is then held whole
    if (failed) return false;
    HprofHeader header;
    switch (F::ParseHeader(&buffer[cursor], end - cursor, header)) {
        case HprofHeaderStatus::OK: break;
        case HprofHeaderStatus::BAD_ID_SIZE: return Stop("unsupported identifier size");
        default: return Stop("no HPROF header");
    }
    idSize = header.idSize;
    cursor += header.length;
    while (!failed && Need(1)) Record(index);
    if (!failed && ferror(file)) Stop("read error");
    return !failed;
}

bool DumpConverter::Record(bool index) {
    if (!Need(F::RECORD_HEADER)) return Stop("truncated record header");
    const uint8_t tag = buffer[cursor];
    const uint64_t length = F::RecordLength(&buffer[cursor]);
    if (tag == F::UTF8 && index) {
        if (length < idSize || !Need(F::RECORD_HEADER + length)) return Stop("truncated UTF8 record");
        const uint8_t* body = &buffer[cursor + F::RECORD_HEADER];
        names.emplace(F::Big(body, idSize),
                      std::string(reinterpret_cast<const char*>(body + idSize), static_cast<size_t>(length - idSize)));
        return Skip(F::RECORD_HEADER + length);
    }
    if (tag == F::HEAP_DUMP || tag == F::HEAP_DUMP_SEGMENT) return Skip(F::RECORD_HEADER) && HeapDump(length, index);
    return Skip(F::RECORD_HEADER + length);
}

bool DumpConverter::HeapDump(uint64_t length, bool index) {
    const uint64_t stop = Offset() + length;
    while (!failed && Offset() < stop) {
        if (!Need(1)) return Stop("truncated heap dump");
        const uint8_t tag = buffer[cursor];
        const size_t header = F::SubRecordHeader(tag, idSize);
        if (header == 0) {
            char what[48];
            snprintf(what, sizeof what, "unknown heap dump record 0x%02x", tag);
            return Stop(what);
        }
        // Roots come from the JVM's own report, which names their kinds exactly.
        if (F::RootBody(tag, idSize) > 0) {
            Skip(header);
            continue;
        }
        if (!Need(header)) return Stop("truncated heap dump record");
        if (tag == F::CLASS_DUMP) {
            ClassDump(index);
            continue;
        }
        const HprofSubRecord record = F::DecodeSubRecord(&buffer[cursor], idSize);
        if (tag == F::PRIM_ARRAY_DUMP && (record.elementType == F::OBJECT || !F::Basic(record.elementType)))
            return Stop("bad array type");
        if (++sinceCheck >= OBJECTS_PER_CANCEL_CHECK) {
            sinceCheck = 0;
            if (sink.Cancelled()) {
                cancelled = true;
                return Stop("cancelled");
            }
        }
        if (index)
            IndexObject(record);
        else
            PassObject(record);
    }
    if (!failed && Offset() != stop) return Stop("heap dump record crosses its segment's end");
    return !failed;
}

bool DumpConverter::ClassDump(bool index) {
    size_t length = 0;
    HprofClassStatus status;
    auto none = [](const HprofClassEntry&) {};
    while ((status = F::WalkClassDump(&buffer[cursor], end - cursor, idSize, length, none)) ==
           HprofClassStatus::TRUNCATED) {
        if (!Need(end - cursor + 1)) return Stop("truncated class dump");
    }
    if (status != HprofClassStatus::OK) return Stop("bad class dump");
    if (index) {
        const uint8_t* dump = &buffer[cursor];
        const HprofSubRecord record = F::DecodeSubRecord(dump, idSize);
        const uint32_t cls = DumpClassOf(record.id);
        DumpClass& dumpClass = dumpClasses[cls];
        dumpClass.super = record.super;
        dumpClass.dumped = true;
        dumpClass.fields.clear();
        size_t walked = 0;
        F::WalkClassDump(dump, length, idSize, walked, [&](const HprofClassEntry& entry) {
            if (entry.part == HprofClassEntry::FIELD) {
                dumpClass.fields.emplace_back(entry.name, entry.type);
            } else if (entry.part == HprofClassEntry::STATIC && entry.type == F::OBJECT) {
                const uint64_t value = F::Big(dump + entry.value, idSize);
                if (value) statics.push_back({cls, entry.name, value});
            }
        });
    }
    return Skip(length);
}

uint32_t DumpConverter::DumpClassOf(uint64_t id) {
    auto found = classIndex.find(id);
    if (found != classIndex.end()) return found->second;
    const uint32_t cls = static_cast<uint32_t>(dumpClasses.size());
    dumpClasses.emplace_back();
    dumpClasses.back().id = id;
    classIndex.emplace(id, cls);
    return cls;
}

bool DumpConverter::IndexObject(const HprofSubRecord& record) {
    switch (record.tag) {
        case F::INSTANCE_DUMP:
            objects.push_back({record.id, DumpClassOf(record.classId), -1});
            break;
        case F::OBJ_ARRAY_DUMP:
            objects.push_back({record.id, DumpClassOf(record.classId), static_cast<int32_t>(record.count)});
            // The holder: of the plan's length, its first element itself.
            if (!holderId && record.count == plan.HolderLength() && Need(record.header + idSize) &&
                F::Big(&buffer[cursor + record.header], idSize) == record.id) {
                holderId = record.id;
                holder.reserve(record.count);
                if (!Skip(record.header)) return false;
                for (uint32_t i = 0; i < record.count; i++) {
                    if (!Need(idSize)) return Stop("truncated array");
                    holder.push_back(F::Big(&buffer[cursor], idSize));
                    cursor += idSize;
                }
                return true;
            }
            break;
        default:
            objects.push_back({record.id, PRIMITIVE | record.elementType, static_cast<int32_t>(record.count)});
            break;
    }
    return Skip(record.header + record.body);
}

bool DumpConverter::Prepare() {
    if (!holderId) return Stop("the agent's holder array is not in the heap dump");
    std::sort(objects.begin(), objects.end(), [](const Entry& a, const Entry& b) { return a.id < b.id; });
    states.assign(objects.size(), 0);
    numbers.assign(objects.size(), 0);
    if (!objects.empty()) {
        minId = objects.front().id;
        const uint64_t range = objects.back().id - minId;
        const uint64_t wanted = std::max<uint64_t>(1, objects.size() / 4);
        bucketShift = 0;
        while ((range >> bucketShift) >= wanted) bucketShift++;
        buckets.assign(static_cast<size_t>((range >> bucketShift) + 2), 0);
        size_t rank = 0;
        for (size_t b = 0; b < buckets.size(); b++) {
            while (rank < objects.size() && ((objects[rank].id - minId) >> bucketShift) < b) rank++;
            buckets[b] = static_cast<uint32_t>(rank);
        }
    }
    size_t slot = 1;
    for (uint32_t c = 0; c < plan.classes.size(); c++, slot++)
        if (holder[slot]) mirrors.emplace(holder[slot], c);
    for (DumpClass& dumpClass : dumpClasses) {
        auto mirror = mirrors.find(dumpClass.id);
        if (mirror != mirrors.end()) dumpClass.slot = static_cast<int32_t>(mirror->second);
    }
    for (uint32_t t = 0; t < plan.threads.size(); t++, slot++) {
        const int64_t rank = Rank(holder[slot]);
        if (rank < 0) continue;
        threadIds.emplace(holder[slot], t);
        states[static_cast<size_t>(rank)] |= THREAD;
    }
    // The class objects of primitive types are instances in the dump; the
    // JVM lists no such class, and the walk skips them.
    for (size_t rank = 0; rank < objects.size(); rank++) {
        const Entry& entry = objects[rank];
        if (!(entry.cls & PRIMITIVE) && entry.length < 0 && dumpClasses[entry.cls].slot >= 0 &&
            plan.classes[static_cast<size_t>(dumpClasses[entry.cls].slot)].tag == plan.javaLangClassTag)
            states[rank] |= IGNORED;
    }
    const int64_t holderRank = Rank(holderId);
    if (holderRank >= 0) states[static_cast<size_t>(holderRank)] |= RECORDED;
    // Arrays a class dump names beyond the class's fields (the constant
    // pool's resolved references): the walk reports their elements as
    // constant pool references of the class, which it does not record.
    for (const Static& field : statics) {
        // The dump names them "<resolved_references>" and alike: no Java field has such a name.
        auto name = names.find(field.name);
        if (name == names.end() || name->second.empty() || name->second[0] != '<') continue;
        const int64_t rank = Rank(field.value);
        if (rank >= 0 && objects[static_cast<size_t>(rank)].length >= 0 &&
            !(objects[static_cast<size_t>(rank)].cls & PRIMITIVE))
            states[static_cast<size_t>(rank)] |= VM_ARRAY;
    }
    return true;
}

int64_t DumpConverter::Rank(uint64_t id) const {
    if (objects.empty() || id < minId || id > objects.back().id) return -1;
    const uint64_t b = (id - minId) >> bucketShift;
    auto first = objects.begin() + buckets[static_cast<size_t>(b)];
    auto last = objects.begin() + buckets[static_cast<size_t>(b) + 1];
    auto found = std::lower_bound(first, last, id, [](const Entry& e, uint64_t value) { return e.id < value; });
    return found != last && found->id == id ? found - objects.begin() : -1;
}

DumpConverter::DumpClass& DumpConverter::LaidOut(uint32_t cls) {
    DumpClass& dumpClass = dumpClasses[cls];
    if (dumpClass.laidOut) return dumpClass;
    dumpClass.laidOut = true;
    uint32_t offset = 0;
    const DumpClass* type = &dumpClass;
    for (size_t depth = 0; type && depth < MAX_CLASS_DEPTH; depth++) {
        for (const auto& field : type->fields) {
            if (field.second == F::OBJECT) {
                jint index = -1;
                auto name = names.find(field.first);
                if (dumpClass.slot >= 0 && type->slot >= 0 && name != names.end())
                    index = plan.fieldIndex(static_cast<uint32_t>(dumpClass.slot), static_cast<uint32_t>(type->slot),
                                            name->second, false);
                dumpClass.refs.emplace_back(offset, index);
            }
            offset += static_cast<uint32_t>(F::TypeSize(field.second, idSize));
        }
        auto super = type->super ? classIndex.find(type->super) : classIndex.end();
        type = super == classIndex.end() ? nullptr : &dumpClasses[super->second];
    }
    dumpClass.valueBytes = offset;
    return dumpClass;
}

jlong DumpConverter::TagOfRank(int64_t rank) const {
    if (states[static_cast<size_t>(rank)] & THREAD) {
        auto thread = threadIds.find(objects[static_cast<size_t>(rank)].id);
        if (thread != threadIds.end()) return plan.threads[thread->second];
    }
    uint32_t& number = numbers[static_cast<size_t>(rank)];
    if (number == 0) number = ++numbered;
    return plan.firstObjectTag + number - 1;
}

bool DumpConverter::TargetOf(uint64_t id, Target& target) {
    if (id == 0 || id == holderId) return false;
    // Objects first: class objects are a few thousand of millions of targets.
    const int64_t rank = Rank(id);
    auto mirror = rank < 0 ? mirrors.find(id) : mirrors.end();
    if (mirror != mirrors.end()) {
        const DumpPlan::ClassSlot& slot = plan.classes[mirror->second];
        target.tag = slot.tag;
        target.classTag = plan.javaLangClassTag;
        target.size = slot.mirrorSize;
        target.length = -1;
        target.rank = -1;
        return slot.tag != 0 && plan.javaLangClassTag != 0;
    }
    if (rank < 0 || (states[static_cast<size_t>(rank)] & IGNORED)) return false;
    const Entry& entry = objects[static_cast<size_t>(rank)];
    target.rank = rank;
    target.length = entry.length;
    if (entry.cls & PRIMITIVE) {
        const uint8_t type = static_cast<uint8_t>(entry.cls & 0xFF);
        target.classTag = plan.primitiveArrayTags[type];
        target.size = plan.arrays.Size(type, entry.length);
    } else {
        DumpClass& dumpClass = dumpClasses[entry.cls];
        if (dumpClass.slot < 0) return false;
        target.classTag = plan.classes[static_cast<size_t>(dumpClass.slot)].tag;
        if (entry.length >= 0) {
            target.size = plan.arrays.Size(F::OBJECT, entry.length);
        } else {
            if (dumpClass.size < 0) dumpClass.size = plan.instanceSize(static_cast<uint32_t>(dumpClass.slot));
            target.size = dumpClass.size;
        }
    }
    if (target.classTag == 0) return false;
    target.tag = TagOfRank(rank);
    if (states[static_cast<size_t>(rank)] & THREAD) target.rank = -1;
    return true;
}

bool DumpConverter::Emit(jvmtiHeapReferenceKind kind, jint index, jlong referrerTag, uint64_t id) {
    Target target;
    if (!TargetOf(id, target)) return true;
    bool newObject = false;
    if (target.rank >= 0) {
        uint8_t& state = states[static_cast<size_t>(target.rank)];
        newObject = !(state & RECORDED);
        if (newObject) {
            state |= RECORDED;
            if (state & DEFERRED) pending.push_back(static_cast<uint32_t>(target.rank));
        }
    }
    jvmtiHeapReferenceInfo info;
    memset(&info, 0, sizeof info);
    if (kind == JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT)
        info.array.index = index;
    else
        info.field.index = index;
    HeapRecord::Captured record;
    memset(&record, 0, sizeof record);
    HeapRecord::Capture(record, kind, index >= 0 ? &info : nullptr, target.tag, target.classTag, target.size,
                        referrerTag, target.length, newObject);
    return sink.Add(record) || Stop("the snapshot files failed");
}

bool DumpConverter::EmitRoot(HeapRecord::Captured root, uint64_t id) {
    Target target;
    if (!TargetOf(id, target)) return true;
    if (root.size != target.size) sizeMismatches++;
    root.tag = target.tag;
    root.classTag = target.classTag;
    root.size = target.size;
    root.length = target.length;
    root.kind &= ~HeapRecord::NEW_OBJECT;
    if (target.rank >= 0) {
        uint8_t& state = states[static_cast<size_t>(target.rank)];
        if (!(state & RECORDED)) {
            state |= RECORDED;
            root.kind |= HeapRecord::NEW_OBJECT;
            if (state & DEFERRED) pending.push_back(static_cast<uint32_t>(target.rank));
        }
    }
    return sink.Add(root) || Stop("the snapshot files failed");
}

bool DumpConverter::EmitStart() {
    const size_t threadsEnd = 1 + plan.classes.size() + plan.threads.size();
    for (const HeapRecord::Captured& root : plan.roots) {
        if (root.tag > DumpPlan::ROOT_TAG) {
            // A class or thread object: named by its record's tag already.
            if (!sink.Add(root)) return Stop("the snapshot files failed");
            continue;
        }
        const uint32_t slot = DumpPlan::RootSlot(root.tag);
        if (slot < plan.rootObjects && !EmitRoot(root, holder[threadsEnd + slot])) return false;
    }
    const size_t valuesStart = threadsEnd + plan.rootObjects;
    for (size_t v = 0; v < plan.values.size(); v++) {
        const DumpPlan::ValueSlot& value = plan.values[v];
        if (!Emit(JVMTI_HEAP_REFERENCE_FIELD, value.index, value.classTag, holder[valuesStart + v])) return false;
    }
    for (const Static& field : statics) {
        const int32_t owner = dumpClasses[field.cls].slot;
        auto name = names.find(field.name);
        if (owner < 0 || name == names.end()) continue;
        const jlong tag = plan.classes[static_cast<size_t>(owner)].tag;
        const jint index =
            plan.fieldIndex(static_cast<uint32_t>(owner), static_cast<uint32_t>(owner), name->second, true);
        if (tag && index >= 0 && !Emit(JVMTI_HEAP_REFERENCE_STATIC_FIELD, index, tag, field.value)) return false;
    }
    std::vector<Static>().swap(statics);
    return Drain();
}

bool DumpConverter::ShowsReferrer(int64_t rank) const {
    const Entry& entry = objects[static_cast<size_t>(rank)];
    // The walk shows no referrer of a class it does not report.
    if (!(entry.cls & PRIMITIVE) && dumpClasses[entry.cls].slot < 0) return false;
    return (entry.cls & PRIMITIVE) || plan.classes[static_cast<size_t>(dumpClasses[entry.cls].slot)].tag != 0;
}

bool DumpConverter::PassObject(const HprofSubRecord& record) {
    if (record.tag == F::PRIM_ARRAY_DUMP || (record.tag == F::OBJ_ARRAY_DUMP && record.count == 0) ||
        record.id == holderId)
        return Skip(record.header + record.body);
    const int64_t rank = Rank(record.id);
    if (rank < 0) return Stop("an object the first pass did not see");
    uint8_t& state = states[static_cast<size_t>(rank)];
    if (state & IGNORED) return Skip(record.header + record.body);
    // The walk reports what the VM's arrays for a class hold (the resolved
    // references of its constant pool), but not the arrays, unless the JVM
    // named one a root (all recorded before the dump is read): no referrer.
    const bool shown = !((state & VM_ARRAY) && !(state & RECORDED)) && ShowsReferrer(rank);
    if (shown && !(state & (RECORDED | THREAD))) {
        if (record.header + record.body <= buffer.size() && !Need(static_cast<size_t>(record.header + record.body)))
            return Stop("truncated object");
        Defer(rank, record.header + record.body <= buffer.size() ? &buffer[cursor] : nullptr, record);
        return Skip(record.header + record.body);
    }
    // Numbered only now that it is written: numbers follow the stream.
    const jlong referrer = shown ? TagOfRank(rank) : 0;
    if (record.header + record.body <= buffer.size()) {
        if (!Need(static_cast<size_t>(record.header + record.body))) return Stop("truncated object");
        ReferenceValues(rank, &buffer[cursor], record, values);
        if (!EmitValues(rank, values.data(), values.size(), referrer)) return false;
        return Skip(record.header + record.body) && Drain();
    }
    // An array larger than the buffer: its elements in pieces.
    if (!Skip(record.header)) return false;
    for (uint32_t i = 0; i < record.count; i++) {
        if (!Need(idSize)) return Stop("truncated array");
        const uint64_t value = F::Big(&buffer[cursor], idSize);
        cursor += idSize;
        if (value && !Emit(JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT, static_cast<jint>(i), referrer, value)) return false;
    }
    return Drain();
}

void DumpConverter::Defer(int64_t rank, const uint8_t* data, const HprofSubRecord& record) {
    if (deferred.empty()) deferred.resize(objects.size());
    states[static_cast<size_t>(rank)] |= DEFERRED;
    uint64_t& where = deferred[static_cast<size_t>(rank)];
    where = Offset();
    if (!data || kept.size() + ValueCount(rank) > keptValues) return;
    ReferenceValues(rank, data, record, values);
    where = KEPT | kept.size();
    kept.insert(kept.end(), values.begin(), values.end());
}

size_t DumpConverter::ValueCount(int64_t rank) {
    const Entry& entry = objects[static_cast<size_t>(rank)];
    return entry.length >= 0 ? static_cast<size_t>(entry.length) : LaidOut(entry.cls).refs.size();
}

void DumpConverter::ReferenceValues(int64_t rank, const uint8_t* data, const HprofSubRecord& record,
                                    std::vector<uint64_t>& out) {
    out.clear();
    const uint8_t* body = data + record.header;
    if (record.tag == F::OBJ_ARRAY_DUMP) {
        out.reserve(record.count);
        for (uint32_t i = 0; i < record.count; i++) out.push_back(F::Big(body + size_t(i) * idSize, idSize));
        return;
    }
    if (record.tag != F::INSTANCE_DUMP) return;
    const Entry& entry = objects[static_cast<size_t>(rank)];
    for (const auto& field : LaidOut(entry.cls).refs)
        out.push_back(field.first + idSize <= record.body ? F::Big(body + field.first, idSize) : 0);
}

bool DumpConverter::EmitValues(int64_t rank, const uint64_t* values, size_t count, jlong referrerTag) {
    const Entry& entry = objects[static_cast<size_t>(rank)];
    const DumpClass* instanceClass = entry.length < 0 ? &LaidOut(entry.cls) : nullptr;
    for (size_t i = 0; i < count; i++) {
        if (!values[i]) continue;
        const bool emitted = instanceClass ? Emit(JVMTI_HEAP_REFERENCE_FIELD, instanceClass->refs[i].second, referrerTag,
                                                  values[i])
                                           : Emit(JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT, static_cast<jint>(i),
                                                  referrerTag, values[i]);
        if (!emitted) return false;
    }
    return true;
}

bool DumpConverter::Drain() {
    while (!pending.empty()) {
        const uint32_t rank = pending.back();
        pending.pop_back();
        if (!(states[rank] & DEFERRED)) continue;
        states[rank] &= static_cast<uint8_t>(~DEFERRED);
        const uint64_t where = deferred[rank];
        if (where & KEPT) {
            if (!EmitValues(rank, &kept[where & ~KEPT], ValueCount(rank), TagOfRank(rank))) return false;
            continue;
        }
        if (!ReadAt(where, scratch)) return Stop("cannot read an object again");
        readAgain++;
        const HprofSubRecord record = F::DecodeSubRecord(scratch.data(), idSize);
        ReferenceValues(rank, scratch.data(), record, values);
        if (!EmitValues(rank, values.data(), values.size(), TagOfRank(rank))) return false;
    }
    return true;
}

bool DumpConverter::ReadAt(uint64_t offset, std::vector<uint8_t>& out) {
    uint8_t tag = 0;
    if (!ReadFully(file, offset, &tag, 1)) return false;
    const size_t header = F::SubRecordHeader(tag, idSize);
    if (header == 0 || (tag != F::INSTANCE_DUMP && tag != F::OBJ_ARRAY_DUMP)) return false;
    if (out.size() < header) out.resize(header);
    if (!ReadFully(file, offset, out.data(), header)) return false;
    const HprofSubRecord record = F::DecodeSubRecord(out.data(), idSize);
    out.resize(static_cast<size_t>(header + record.body));
    return ReadFully(file, offset + header, out.data() + header, static_cast<size_t>(record.body));
}

bool DumpConverter::EmitExtras() {
    for (size_t rank = 0; rank < objects.size(); rank++) {
        if (states[rank] & (RECORDED | THREAD | IGNORED | VM_ARRAY)) continue;
        if (++sinceCheck >= OBJECTS_PER_CANCEL_CHECK) {
            sinceCheck = 0;
            if (sink.Cancelled()) {
                cancelled = true;
                return Stop("cancelled");
            }
        }
        HeapRecord::Captured root;
        memset(&root, 0, sizeof root);
        root.kind = JVMTI_HEAP_REFERENCE_OTHER;
        Target target;
        if (!TargetOf(objects[rank].id, target)) continue;
        root.size = target.size;  // no report of the JVM's to differ from
        extraRoots++;
        if (!EmitRoot(root, objects[rank].id) || !Drain()) return false;
    }
    return true;
}

bool DumpConverter::Stop(const std::string& why) {
    if (!failed) {
        char where[64];
        snprintf(where, sizeof where, " (heap dump offset %" PRIu64 ")", Offset());
        failure = "Cannot convert the heap dump: " + why + where;
        failed = true;
    }
    return false;
}

bool DumpConverter::Need(size_t n) {
    if (failed) return false;
    if (end - cursor >= n) return true;
    if (n > buffer.size()) return Stop("record too large");
    memmove(buffer.data(), buffer.data() + cursor, end - cursor);
    fileOffset += cursor;
    end -= cursor;
    cursor = 0;
    while (end < n) {
        size_t got = fread(buffer.data() + end, 1, buffer.size() - end, file);
        if (got == 0) return false;
        end += got;
    }
    return true;
}

bool DumpConverter::Skip(uint64_t n) {
    if (failed) return false;
    if (n <= end - cursor) {
        cursor += static_cast<size_t>(n);
        return true;
    }
    n -= end - cursor;
    fileOffset += end;
    cursor = end = 0;
#ifdef _WIN32
    if (_fseeki64(file, static_cast<long long>(n), SEEK_CUR) != 0) return Stop("truncated file");
#else
    if (fseeko(file, static_cast<off_t>(n), SEEK_CUR) != 0) return Stop("truncated file");
#endif
    fileOffset += n;
    return true;
}

}  // namespace Orlo
