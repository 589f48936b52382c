#include "SnapshotStream.h"

#include <cinttypes>
#include <cstdio>

namespace vesktest {

static std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%" PRIx64, value);
    return text;
}

SnapshotStream& SnapshotStream::Class(uint64_t tag, const std::string& name, const std::vector<std::string>& fields,
                                      uint64_t superTag, const std::vector<std::pair<uint64_t, std::string>>& methods) {
    header += "<class clstag=\"" + Hex(tag) + "\" name=\"" + name + "\"";
    if (superTag) header += " sprclstag=\"" + Hex(superTag) + "\"";
    header += " totalinst=\"0\" totalsize=\"0\"";
    if (fields.empty() && methods.empty()) {
        header += "/>";
        return *this;
    }
    if (!methods.empty()) header += " methods=\"" + std::to_string(methods.size()) + "\"";
    header += fields.empty() ? ">" : " fields=\"" + std::to_string(fields.size()) + "\">";
    for (size_t i = 0; i < fields.size(); i++) {
        size_t dot = fields[i].rfind('.');
        std::string definer = dot == std::string::npos ? name : fields[i].substr(0, dot);
        std::string field = dot == std::string::npos ? fields[i] : fields[i].substr(dot + 1);
        header += "<field defclass=\"" + definer + "\" fldtag=\"" + Hex(0x9000 + i) + "\" index=\"" +
                  std::to_string(i) + "\" name=\"" + field + "\"/>";
    }
    for (const auto& [methodTag, method] : methods)
        header += "<mthd mthdtag=\"" + Hex(methodTag) + "\" name=\"" + method + "\" sig=\"()V\" lvars=\"0\"/>";
    header += "</class>";
    return *this;
}

SnapshotStream& SnapshotStream::Thread(uint64_t tag, const std::string& name) {
    header += "<thread thrdtag=\"" + Hex(tag) + "\" name=\"" + name + "\" state=\"5\"/>";
    return *this;
}

SnapshotStream& SnapshotStream::Object(uint64_t tag, uint64_t classTag, int64_t size, int32_t length) {
    objects++;
    std::string& out = frames.back();
    out += length < 0 ? "<obj" : "<arrayobj";
    out += " tag=\"" + Hex(tag) + "\" clstag=\"" + Hex(classTag) + "\" size=\"" + std::to_string(size) + "\"";
    if (length >= 0) out += " len=\"" + std::to_string(length) + "\"";
    out += "/>";
    return *this;
}

SnapshotStream& SnapshotStream::Root(uint64_t tag, uint64_t classTag, int64_t size, int kind, uint64_t threadTag,
                                     int depth, uint64_t method) {
    references++;
    roots++;
    std::string& out = frames.back();
    out += "<ref kind=\"" + std::to_string(kind) + "\" tag=\"" + Hex(tag) + "\" clstag=\"" + Hex(classTag) +
           "\" size=\"" + std::to_string(size) + "\"";
    if (kind == 24 || kind == 25)
        out += " thrdtag=\"" + Hex(threadTag) + "\" tid=\"1\" depth=\"" + std::to_string(depth) + "\" mthdtag=\"" + Hex(method) + "\"" + (kind == 24 ? " slot=\"1\"" : "");
    out += " heaproot=\"1\"/>";
    return *this;
}

SnapshotStream& SnapshotStream::Ref(uint64_t from, uint64_t to, uint64_t classTag, int64_t size, int32_t index,
                                    int kind) {
    references++;
    frames.back() += "<ref kind=\"" + std::to_string(kind) + "\" tag=\"" + Hex(to) + "\" clstag=\"" + Hex(classTag) +
                     "\" size=\"" + std::to_string(size) + "\" reftag=\"" + Hex(from) + "\" index=\"" +
                     std::to_string(index) + "\"/>";
    return *this;
}

SnapshotStream& SnapshotStream::NextFrame() {
    frames.emplace_back();
    return *this;
}

std::string SnapshotStream::Text() const {
    std::string text =
        "<vesk-resp tag=\"1\"><cmd name=\"RUNTIME\"><prop name=\"cpu-count\" value=\"2\"/><status value=\"1\"/></cmd>"
        "<cmd name=\"SYSTEM_PROPS\"><prop name=\"java.version\" value=\"17\"/><status value=\"1\"/></cmd>"
        "<cmd name=\"SNAPSHOT\"><prop name=\"ss-time\" value=\"1\"/><prop name=\"total-roots\" value=\"" +
        std::to_string(roots) + "\"/><prop name=\"total-objs\" value=\"" + std::to_string(objects) +
        "\"/><prop name=\"total-refs\" value=\"" + std::to_string(references) + "\"/><snapshot>" + header +
        "</snapshot><status value=\"1\"/></cmd><last value=\"0\"/></vesk-resp>\n";
    for (size_t i = 0; i < frames.size(); i++) {
        bool final = i + 1 == frames.size();
        text += "<vesk-resp tag=\"1\"><cmd name=\"SNAPSHOT\"><snapshot>" + frames[i] +
                "</snapshot><status value=\"1\"/></cmd><last value=\"" + (final ? "1" : "0") + "\"/>";
        if (final) text += "<prop name=\"$L$last.snapshot.heapwalk.duration.msec\" value=\"3\"/>";
        text += "</vesk-resp>\n";
    }
    return text;
}

std::string GraphStream(const std::vector<int64_t>& sizes, const std::vector<std::pair<int, int>>& edges,
                        const std::vector<int>& roots) {
    SnapshotStream stream;
    stream.Class(0x100, "T", {"a", "b", "c", "d"});
    auto tag = [](int object) { return 0x1000u + static_cast<uint64_t>(object); };
    for (size_t i = 1; i <= sizes.size(); i++) stream.Object(tag(static_cast<int>(i)), 0x100, sizes[i - 1]);
    for (int root : roots) stream.Root(tag(root), 0x100, sizes[static_cast<size_t>(root) - 1]);
    int index = 0;
    for (const auto& edge : edges)
        stream.Ref(tag(edge.first), tag(edge.second), 0x100, sizes[static_cast<size_t>(edge.second) - 1], index++ % 4);
    return stream.Text();
}

void SnapshotRecords::Read(const std::vector<vesk::Frame>& frames) {
    vesk::SnapshotReader reader(*this);
    for (const vesk::Frame& frame : frames) reader.Feed(frame.bytes);
    whole = reader.Finish();
    error = reader.Error();
}

void SnapshotRecords::OnClass(vesk::StreamClass& cls) {
    ClassRecord& record = classes[cls.tag];
    record.name = cls.name;
    record.totalinst = cls.instances;
    for (size_t i = 0; i < cls.fields.size(); i++)
        if (!cls.fields[i].name.empty()) record.fields[static_cast<int64_t>(i)] = cls.fields[i].name;
}

void SnapshotRecords::OnReference(const vesk::StreamRef& ref) {
    refs.push_back({ref.kind, ref.tag, ref.classTag, ref.referrer, ref.threadTag, ref.methodTag, ref.index, ref.slot,
                    ref.heapRoot});
}

}  // namespace vesktest
