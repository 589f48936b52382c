#include "load/HprofDetails.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "base/ClientError.h"
#include "base/ZstdFileReader.h"
#include "load/HeapIndex.h"
#include "load/HeapInput.h"
#include "load/HprofLoader.h"
#include "load/IndexArchive.h"

namespace vesk {

// What the index keeps of a thread.
template <class Archive>
void Members(Archive& archive, FrameView& frame) {
    archive(frame.method, frame.source, frame.line, frame.locals);
}
template <class Archive>
void Members(Archive& archive, ThreadView& thread) {
    archive(thread.node, thread.name, thread.frames);
}

namespace {

using F = HprofFormat;

// Objects at the first marks that FindValues looks into.
constexpr size_t VALUE_PROBES = 256;

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsHigh(uint16_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool IsLow(uint16_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

// UTF-16 code units as UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16Text(const std::vector<uint16_t>& units) {
    std::string text;
    for (size_t i = 0; i < units.size(); i++) {
        uint16_t unit = units[i];
        if (IsHigh(unit) && i + 1 < units.size() && IsLow(units[i + 1])) {
            AppendUtf8(text, 0x10000 + ((unit - 0xD800u) << 10) + (units[++i] - 0xDC00u));
        } else {
            AppendUtf8(text, IsHigh(unit) || IsLow(unit) ? 0xFFFD : unit);
        }
    }
    return text;
}

// Java's text of a float or double.
template <class T>
std::string DecimalText(T value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// A primitive value of type from its bits, as Java writes it.
std::string ValueText(uint8_t type, uint64_t bits) {
    switch (type) {
        case F::BOOLEAN:
            return bits ? "true" : "false";
        case F::CHAR:
            return Utf16Text({static_cast<uint16_t>(bits)});
        case F::FLOAT: {
            uint32_t narrow = static_cast<uint32_t>(bits);
            float value;
            memcpy(&value, &narrow, sizeof value);
            return DecimalText(value);
        }
        case F::DOUBLE: {
            double value;
            memcpy(&value, &bits, sizeof value);
            return DecimalText(value);
        }
        case F::BYTE:
            return std::to_string(static_cast<int8_t>(bits));
        case F::SHORT:
            return std::to_string(static_cast<int16_t>(bits));
        case F::INT:
            return std::to_string(static_cast<int32_t>(bits));
        default:
            return std::to_string(static_cast<int64_t>(bits));
    }
}

const char* TypeName(uint8_t type) {
    const Orlo::HprofBasicType* basic = F::Basic(type);
    return type == F::OBJECT || !basic ? "java.lang.Object" : basic->name;
}

}  // namespace

// A compressed file's plain bytes in a temporary file that no directory
// names, read through /proc/self/fd.
class HprofDetails::PlainCopy {
public:
    PlainCopy(const std::string& compressed, WorkProgress& progress) {
        std::string dir = CacheDirectory();
        if (dir.empty() || !MakeDirectories(dir)) {
            const char* tmp = getenv("TMPDIR");
            dir = tmp && *tmp ? tmp : "/tmp";
        }
        std::string name = dir + "/vesk-plain-XXXXXX";
        fd = mkstemp(name.data());
        if (fd < 0) Fail("cannot create " + name);
        unlink(name.c_str());
        ZstdFileReader in(compressed);
        progress.Phase("decompressing " + compressed.substr(compressed.find_last_of('/') + 1), in.CompressedSize());
        for (std::string_view bytes = in.Next(); !bytes.empty(); bytes = in.Next()) {
            for (size_t done = 0; done < bytes.size();) {
                ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) Fail("cannot write the decompressed copy of " + compressed);
                done += static_cast<size_t>(n);
            }
            progress.Set(in.CompressedPosition());
        }
    }
    ~PlainCopy() { close(fd); }
    PlainCopy(const PlainCopy&) = delete;
    PlainCopy& operator=(const PlainCopy&) = delete;

    std::string Path() const { return "/proc/self/fd/" + std::to_string(fd); }

private:
    void Fail(const std::string& what) {
        int error = errno;
        if (fd >= 0) close(fd);
        throw ClientError(ErrorKind::File, what + ": " + strerror(error));
    }
    int fd = -1;
};

HprofDetails::HprofDetails(const HeapInput& input, const HeapGraph& graph, WorkProgress& progress)
    : graph(graph), source(input.Source()) {
    if (ReadIndex(input)) {
        if (ZstdFileReader::IsCompressed(source)) decoding.Start([this] { PlainPath(NoProgress()); });
        return;
    }
    ReadFile(PlainPath(progress), progress);
    hasValues = FindValues();
    NameThreads();
    WriteIndex(input);
}

const std::string& HprofDetails::PlainPath(WorkProgress& progress) const {
    std::call_once(decoded, [&] {
        if (!ZstdFileReader::IsCompressed(source)) {
            plainPath = source;
            return;
        }
        plain = std::make_unique<PlainCopy>(source, progress);
        plainPath = plain->Path();
    });
    return plainPath;
}

const HprofObjectReader& HprofDetails::Reader() const {
    std::call_once(opened, [&] {
        decoding.Wait();
        reader = std::make_unique<HprofObjectReader>(PlainPath(NoProgress()), idSize, pieces, marks);
    });
    return *reader;
}

HprofDetails::~HprofDetails() = default;

bool HprofDetails::ReadIndex(const HeapInput& input) {
    bool inCache = false;
    std::string index = input.IndexFile(&inCache);
    HeapIndexReader stored;
    if (index.empty() || !stored.Open(index, input.Stamp(), inCache)) return false;
    uint64_t objects = 0;
    bool whole = stored.ReadDetails([&](IndexIn& in) { Members(in); });
    for (const HprofPiece& piece : pieces) objects = piece.objectsBefore + piece.objects;
    // Details of another graph (the index rewritten meanwhile) would misname every object.
    if (whole && classes.size() == graph.Classes().size() && firstObject + objects == graph.NodeCount()) return true;
    classes.clear(), pieces.clear(), marks.clear(), threads.clear();
    return false;
}

void HprofDetails::WriteIndex(const HeapInput& input) const {
    bool inCache = false;
    std::string index = input.IndexFile(&inCache);
    // Members takes non-const references to serve the reader too; writing only reads them.
    if (!index.empty())
        AppendIndexDetails(index, input.Stamp(), inCache,
                           [&](IndexOut& out) { const_cast<HprofDetails*>(this)->Members(out); });
}

void HprofDetails::ReadFile(const std::string& path, WorkProgress& progress) {
    HprofFile file(path, progress, false);
    if (file.ObjectCount() > graph.NodeCount())
        throw ClientError(ErrorKind::File, path + ": the file changed since it was read");
    idSize = file.IdSize();
    firstObject = graph.NodeCount() - static_cast<NodeId>(file.ObjectCount());
    pieces = file.Pieces();
    marks = file.Marks();

    // Ids whose nodes are wanted: thread objects, locals.
    std::vector<uint64_t> wanted;
    classes.resize(graph.Classes().size());
    for (size_t i = 0; i < classes.size(); i++) {
        const HprofClass* cls = file.FindClass(graph.Classes()[i].tag);
        if (!cls) continue;
        ClassLayout& layout = classes[i];
        layout.types = file.InstanceLayout(cls->id);
        layout.instanceFields = static_cast<uint32_t>(layout.types.size());
        for (const HprofField& field : cls->statics) {
            layout.types.push_back(field.type);
            layout.statics.push_back(field.value);
        }
        // A layout that does not name the graph's fields would misname the values.
        if (layout.types.size() != graph.Classes()[i].fields.size()) layout = ClassLayout();
    }

    // Threads by their objects' roots, in file order; then their frames' locals.
    std::unordered_map<uint32_t, size_t> bySerial;
    std::vector<uint64_t> threadObjects;
    for (const HprofThreadRoot& root : file.ThreadRoots()) {
        if (root.kind != F::ROOT_THREAD_OBJECT || bySerial.count(root.thread)) continue;
        bySerial[root.thread] = threads.size();
        ThreadView thread;
        auto trace = file.StackTraces().find(root.frame);
        if (trace != file.StackTraces().end()) {
            for (uint64_t id : trace->second.frames) {
                FrameView frame;
                auto found = file.StackFrames().find(id);
                if (found != file.StackFrames().end()) {
                    const HprofClass* cls = file.FindClass(file.ClassOfSerial(found->second.classSerial));
                    std::string method(file.Name(found->second.method));
                    frame.method = cls ? JavaClassName(cls->name) + "." + method : method;
                    frame.source = file.Name(found->second.source);
                    frame.line = found->second.line;
                }
                thread.frames.push_back(std::move(frame));
            }
        }
        threads.push_back(std::move(thread));
        threadObjects.push_back(root.object);
        wanted.push_back(root.object);
    }
    struct Local {
        size_t thread, frame;
        uint64_t object;
    };
    std::vector<Local> locals;
    for (const HprofThreadRoot& root : file.ThreadRoots()) {
        auto thread = bySerial.find(root.thread);
        if (root.kind == F::ROOT_THREAD_OBJECT || thread == bySerial.end()) continue;
        std::vector<FrameView>& frames = threads[thread->second].frames;
        // A local of a frame the trace lacks (a JNI local outside any frame: -1) belongs to no frame shown.
        if (root.frame >= frames.size()) continue;
        locals.push_back({thread->second, root.frame, root.object});
        wanted.push_back(root.object);
    }

    // One scan of the graph's tags finds every wanted node.
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    std::vector<NodeId> nodes(wanted.size(), NO_NODE);
    progress.Phase("finding threads and class loaders");
    for (NodeId node = 0; node < graph.NodeCount() && !wanted.empty(); node++) {
        uint64_t tag = graph.Tag(node);
        if (tag < wanted.front() || tag > wanted.back()) continue;
        auto at = std::lower_bound(wanted.begin(), wanted.end(), tag);
        if (at != wanted.end() && *at == tag && nodes[at - wanted.begin()] == NO_NODE)
            nodes[at - wanted.begin()] = node;
    }
    auto nodeOf = [&](uint64_t id) {
        auto at = std::lower_bound(wanted.begin(), wanted.end(), id);
        return at != wanted.end() && *at == id ? nodes[at - wanted.begin()] : NO_NODE;
    };
    for (size_t i = 0; i < threads.size(); i++) threads[i].node = nodeOf(threadObjects[i]);
    for (const Local& local : locals)
        if (NodeId node = nodeOf(local.object); node != NO_NODE)
            threads[local.thread].frames[local.frame].locals.push_back(node);
}

bool HprofDetails::FindValues() const {
    for (const ClassLayout& cls : classes)
        for (size_t i = 0; i < cls.statics.size(); i++)
            if (cls.types[cls.instanceFields + i] != F::OBJECT && cls.statics[i] != 0) return true;
    for (uint64_t object = 0; object < Reader().ObjectCount() && object < VALUE_PROBES * HprofFile::MARK_EVERY;
         object += HprofFile::MARK_EVERY) {
        HprofObjectRecord record = Reader().Find(object);
        uint32_t cls = graph.ClassOf(firstObject + static_cast<NodeId>(object));
        if (record.tag == F::PRIM_ARRAY_DUMP) {
            std::string bytes = Reader().Read(
                record.body, std::min<uint64_t>(64, uint64_t(record.count) * F::TypeSize(record.elementType, idSize)));
            if (bytes.find_first_not_of('\0') != std::string::npos) return true;
        } else if (record.tag == F::INSTANCE_DUMP && cls != NO_CLASS) {
            const ClassLayout& layout = classes[cls];
            std::string bytes = Reader().Read(record.body, record.count);
            bool found = false;
            F::WalkValues(layout.types.data(), layout.instanceFields, bytes.size(), idSize,
                          [&](uint8_t type, uint64_t offset, size_t size) {
                              found = type != F::OBJECT &&
                                      F::Big(reinterpret_cast<const uint8_t*>(bytes.data()) + offset, size) != 0;
                              return !found;
                          });
            if (found) return true;
        }
    }
    return false;
}

void HprofDetails::NameThreads() {
    if (!hasValues) return;
    for (ThreadView& thread : threads) {
        if (thread.node == NO_NODE || graph.ClassOf(thread.node) == NO_CLASS) continue;
        const HeapClass& cls = graph.Classes()[graph.ClassOf(thread.node)];
        for (size_t i = 0; i < classes[graph.ClassOf(thread.node)].instanceFields; i++)
            if (cls.fields[i].name == "name" && cls.fields[i].definingClass == "java.lang.Thread")
                thread.name = StringText(Target(thread.node, static_cast<int32_t>(i)));
    }
}

NodeId HprofDetails::Target(NodeId node, int32_t index) const {
    // The loader writes a node's edges in the order of their index.
    const HeapEdge* end = graph.EdgesEnd(node);
    const HeapEdge* at = std::lower_bound(graph.EdgesBegin(node), end, index,
                                          [](const HeapEdge& edge, int32_t i) { return edge.index < i; });
    return at != end && at->index == index ? at->target : NO_NODE;
}

FieldView HprofDetails::Reference(const std::string& name, NodeId target) const {
    FieldView field;
    field.name = name;
    field.type = target == NO_NODE ? "java.lang.Object" : graph.ClassName(target);
    field.target = target;
    if (hasValues && target != NO_NODE && field.type == "java.lang.String") {
        field.value = StringText(target);
        field.hasValue = true;
    }
    return field;
}

FieldView HprofDetails::Primitive(const std::string& name, uint8_t type, const uint8_t* at) const {
    FieldView field;
    field.name = name;
    field.type = TypeName(type);
    if (hasValues && at) {
        field.value = ValueText(type, F::Big(at, F::TypeSize(type, idSize)));
        field.hasValue = true;
    }
    return field;
}

std::vector<FieldView> HprofDetails::Fields(NodeId node, uint64_t offset, uint64_t limit) const {
    std::vector<FieldView> fields;
    if (node >= graph.NodeCount()) return fields;
    uint32_t described = graph.DescribedClass(node);
    if (described != NO_CLASS && described < classes.size()) {
        const ClassLayout& layout = classes[described];
        const HeapClass& cls = graph.Classes()[described];
        for (uint64_t i = offset; i < layout.statics.size() && i - offset < limit; i++) {
            size_t index = layout.instanceFields + i;
            const std::string& name = cls.fields[index].name;
            uint8_t type = layout.types[index];
            if (type == F::OBJECT) {
                fields.push_back(Reference(name, Target(node, static_cast<int32_t>(index))));
            } else {
                uint8_t bits[8];
                size_t size = F::TypeSize(type, idSize);
                for (size_t b = 0; b < size; b++)
                    bits[b] = static_cast<uint8_t>(layout.statics[i] >> (8 * (size - 1 - b)));
                fields.push_back(Primitive(name, type, bits));
            }
        }
        return fields;
    }
    if (!IsObject(node)) return fields;
    HprofObjectRecord record = Record(node);
    if (record.tag == F::INSTANCE_DUMP) return InstanceFields(node, record, offset, limit);
    return Elements(node, record, offset, limit);
}

std::vector<FieldView> HprofDetails::InstanceFields(NodeId node, const HprofObjectRecord& record, uint64_t offset,
                                                    uint64_t limit) const {
    std::vector<FieldView> fields;
    uint32_t classIndex = graph.ClassOf(node);
    if (classIndex == NO_CLASS || classIndex >= classes.size()) return fields;
    const ClassLayout& layout = classes[classIndex];
    const HeapClass& cls = graph.Classes()[classIndex];
    std::string values = Reader().Read(record.body, record.count);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(values.data());
    uint64_t i = 0;
    F::WalkValues(layout.types.data(), layout.instanceFields, values.size(), idSize,
                  [&](uint8_t type, uint64_t at, size_t) {
                      if (i - offset >= limit && i >= offset) return false;
                      if (i >= offset) {
                          const std::string& name = cls.fields[i].name;
                          fields.push_back(type == F::OBJECT ? Reference(name, Target(node, static_cast<int32_t>(i)))
                                                             : Primitive(name, type, bytes + at));
                      }
                      i++;
                      return true;
                  });
    return fields;
}

std::vector<FieldView> HprofDetails::Elements(NodeId node, const HprofObjectRecord& record, uint64_t offset,
                                              uint64_t limit) const {
    std::vector<FieldView> elements;
    uint64_t end = offset + std::min<uint64_t>(limit, record.count > offset ? record.count - offset : 0);
    auto name = [](uint64_t i) { return "[" + std::to_string(i) + "]"; };
    if (record.tag == F::OBJ_ARRAY_DUMP) {
        std::string component = graph.ClassName(node);
        if (component.size() > 2 && component.compare(component.size() - 2, 2, "[]") == 0)
            component.resize(component.size() - 2);
        for (uint64_t i = offset; i < end; i++) {
            elements.push_back(Reference(name(i), Target(node, static_cast<int32_t>(i))));
            if (elements.back().target == NO_NODE) elements.back().type = component;
        }
        return elements;
    }
    size_t size = F::TypeSize(record.elementType, idSize);
    std::string values =
        hasValues && end > offset ? Reader().Read(record.body + offset * size, (end - offset) * size) : "";
    for (uint64_t i = offset; i < end; i++)
        elements.push_back(Primitive(
            name(i), record.elementType,
            values.empty() ? nullptr : reinterpret_cast<const uint8_t*>(values.data()) + (i - offset) * size));
    return elements;
}

int64_t HprofDetails::Length(NodeId node) const {
    if (!IsObject(node) || node >= graph.NodeCount()) return -1;
    HprofObjectRecord record = Record(node);
    return record.tag == F::INSTANCE_DUMP ? -1 : static_cast<int64_t>(record.count);
}

std::string HprofDetails::StringText(NodeId node) const {
    if (!hasValues || !IsObject(node) || node >= graph.NodeCount()) return "";
    uint32_t classIndex = graph.ClassOf(node);
    if (classIndex == NO_CLASS || classIndex >= classes.size()) return "";
    HprofObjectRecord record = Record(node);
    if (record.tag != F::INSTANCE_DUMP) return "";
    const ClassLayout& layout = classes[classIndex];
    const HeapClass& cls = graph.Classes()[classIndex];
    std::string values = Reader().Read(record.body, record.count);
    NodeId array = NO_NODE;
    int coder = 0;  // Latin-1; without the field (before JDK 9) the text is a char[]
    int32_t i = 0;
    F::WalkValues(layout.types.data(), layout.instanceFields, values.size(), idSize,
                  [&](uint8_t type, uint64_t at, size_t) {
                      const HeapField& field = cls.fields[i];
                      if (field.definingClass == "java.lang.String" && field.name == "value" && type == F::OBJECT)
                          array = Target(node, i);
                      if (field.definingClass == "java.lang.String" && field.name == "coder" && type == F::BYTE)
                          coder = static_cast<uint8_t>(values[at]);
                      i++;
                      return true;
                  });
    if (!IsObject(array)) return "";
    HprofObjectRecord text = Record(array);
    if (text.tag != F::PRIM_ARRAY_DUMP) return "";
    if (text.elementType == F::BYTE && coder == 0) {
        std::string bytes = Reader().Read(text.body, std::min<uint64_t>(text.count, MAX_TEXT));
        std::string out;
        for (char c : bytes) AppendUtf8(out, static_cast<uint8_t>(c));
        return out;
    }
    bool wide = text.elementType == F::CHAR;
    if (!wide && text.elementType != F::BYTE) return "";
    uint64_t count = std::min<uint64_t>(wide ? text.count : text.count / 2, MAX_TEXT);
    std::string bytes = Reader().Read(text.body, count * 2);
    std::vector<uint16_t> units(count);
    for (uint64_t u = 0; u < count; u++) {
        uint8_t first = static_cast<uint8_t>(bytes[2 * u]), second = static_cast<uint8_t>(bytes[2 * u + 1]);
        // HPROF writes a char big-endian; a byte[] holds the JVM's own order.
        units[u] = wide ? static_cast<uint16_t>(first << 8 | second) : static_cast<uint16_t>(second << 8 | first);
    }
    // The first MAX_TEXT characters: a pair cut in two loses its half.
    if (count == MAX_TEXT && IsHigh(units.back())) units.pop_back();
    return Utf16Text(units);
}

}  // namespace vesk
