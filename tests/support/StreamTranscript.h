// Everything a SnapshotReader makes of a stream, as one text: each callback
// with all its fields, then the reader's verdict. Two readers read a stream
// alike exactly when their transcripts are equal (the fast path against
// expat, in the differential test and the fuzzer).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/SnapshotReader.h"

namespace vesktest {

class StreamTranscript : public vesk::SnapshotHandler {
public:
    void OnProperty(const std::string& command, const std::string& name, const std::string& value) override {
        text += "prop " + command + "|" + name + "|" + value + "\n";
    }
    void OnClass(vesk::StreamClass& cls) override {
        text += "class " + std::to_string(cls.tag) + " " + cls.name + " " + std::to_string(cls.superTag) + " " +
                std::to_string(cls.instances) + " " + std::to_string(cls.bytes);
        for (const vesk::StreamField& field : cls.fields) text += " " + field.definingClass + "." + field.name;
        text += "\n";
    }
    void OnMethod(const vesk::StreamMethod& method) override {
        text += "method " + std::to_string(method.tag) + " " + method.name + "\n";
    }
    void OnThread(vesk::StreamThread& thread) override {
        text += "thread " + std::to_string(thread.tag) + " " + thread.name + " " + std::to_string(thread.state) + "\n";
    }
    void OnHeaderEnd() override { text += "header end\n"; }
    void OnObject(const vesk::StreamObject& o) override {
        text += "obj " + std::to_string(o.tag) + " " + std::to_string(o.classTag) + " " + std::to_string(o.size) + " " +
                std::to_string(o.length) + "\n";
    }
    void OnReference(const vesk::StreamRef& r) override {
        text += "ref " + std::to_string(r.kind) + " " + std::to_string(r.tag) + " " + std::to_string(r.classTag) + " " +
                std::to_string(r.size) + " " + std::to_string(r.referrer) + " " + std::to_string(r.length) + " " +
                std::to_string(r.index) + " " + std::to_string(r.heapRoot) + " " + std::to_string(r.threadTag) + " " +
                std::to_string(r.depth) + " " + std::to_string(r.methodTag) + " " + std::to_string(r.slot) + "\n";
    }

    // Reads stream in pieces cut at the given offsets (ascending), stopping
    // when the reader wants no more, and returns the transcript.
    static std::string Read(std::string_view stream, vesk::SnapshotReader::Path path,
                            const std::vector<size_t>& cuts = {}) {
        StreamTranscript transcript;
        vesk::SnapshotReader reader(transcript, vesk::SnapshotReader::Kind::Snapshot, path);
        size_t at = 0;
        std::vector<size_t> ends = cuts;
        ends.push_back(stream.size());
        for (size_t end : ends) {
            if (end < at || end > stream.size()) continue;
            if (!reader.Feed(stream.substr(at, end - at))) break;
            at = end;
        }
        bool whole = reader.Finish();
        transcript.text += "whole " + std::to_string(whole) + " header " + std::to_string(reader.HeaderDone()) +
                           " complete " + std::to_string(reader.Complete()) + " frames " +
                           std::to_string(reader.Frames()) + " read " + std::to_string(reader.BytesRead()) +
                           "\nerror " + reader.Error() + "\nagent " + reader.AgentError() + "\n";
        return transcript.text;
    }

private:
    std::string text;
};

}  // namespace vesktest
