// The expat side of SnapshotReader: every byte of the header frame, and any
// later frame from the first byte the fast path does not recognise to that
// frame's end. Character references to bytes XML refuses are rewritten
// before expat reads them and turned back into bytes after; offsets in
// errors are those of the stream as it came.
#pragma once

#include <expat.h>

#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "protocol/SnapshotReader.h"

namespace vesk {

// Where in a frame a reader is, between elements: what expat needs to go on
// from there.
struct FramePlace {
    int depth = 1;           // 1: between frames, 2: in a frame, 3: in its <cmd>, 4: in its <snapshot>
    std::string command;     // the name of the frame's last <cmd>, once one began
    bool frameLast = false;  // <last value="1"/> was read
    bool afterLast = false;  // <last> was read
};

class SnapshotParser {
public:
    // At the stream's start, or at place in a later frame: the open elements
    // are given to expat again, without their callbacks.
    explicit SnapshotParser(SnapshotReader& reader, const FramePlace* place = nullptr);
    ~SnapshotParser() { XML_ParserFree(expat); }
    SnapshotParser(const SnapshotParser&) = delete;
    SnapshotParser& operator=(const SnapshotParser&) = delete;

    // Returns how many of the bytes at the end it left when it handed the
    // stream back at a frame's end (HandedBack), else 0.
    size_t Feed(const char* data, size_t size);
    bool HandedBack() const { return suspended; }
    // Where the frame that ended left it.
    FramePlace Place() const {
        FramePlace place;
        place.command = command;
        place.frameLast = frameLast;
        place.afterLast = afterLast;
        return place;
    }
    // Bytes its rewriting of references added to what expat read.
    uint64_t Growth() const { return growth; }
    // Bytes given to expat since the last element it reported.
    uint64_t Unreported() const {
        XML_Index at = XML_GetCurrentByteIndex(expat);
        return at < 0 ? 0 : parsed - static_cast<uint64_t>(at);
    }
    size_t Filter(const char* data, size_t size);
    void Parse(const char* data, size_t size, bool final);

private:
    static void XMLCALL OnStart(void* self, const XML_Char* name, const XML_Char** attributes) {
        SnapshotParser* parser = static_cast<SnapshotParser*>(self);
        parser->Guarded([&] { parser->Start(name, attributes); });
    }
    static void XMLCALL OnEnd(void* self, const XML_Char* name) {
        SnapshotParser* parser = static_cast<SnapshotParser*>(self);
        parser->Guarded([&] { parser->End(name); });
    }
    // An exception must not unwind through expat's C frames: it stops the
    // parser and is thrown again once XML_Parse has returned.
    template <class Step>
    void Guarded(Step step) noexcept {
        if (thrown) return;  // expat may report an element or two after a stop
        try {
            step();
        } catch (...) {
            thrown = std::current_exception();
            XML_StopParser(expat, XML_FALSE);
        }
    }
    void Start(const char* name, const char** attributes);
    void End(const char* name);
    void Fail(const std::string& message);
    void Reference(const char** attributes);
    void Object(const char** attributes, bool array);

    SnapshotReader& reader;
    XML_Parser expat;
    std::exception_ptr thrown;  // by a handler; the parser is stopped for good
    std::string carry;     // an unfinished character reference
    std::string filtered;  // a piece with references rewritten
    // Where each rewritten reference ends in filtered, and the bytes added up to there.
    std::vector<std::pair<size_t, size_t>> rewrites;
    uint64_t parsed = 0;   // bytes given to expat
    uint64_t base = 0;     // the offset errors give to the first byte after the opening
    size_t opened = 0;     // bytes of the opening
    uint64_t growth = 0;
    uint64_t suspendedAt = 0;  // where in what expat read the stream was handed back
    bool suspended = false;
    bool priming = false;
    int depth = 0;
    bool firstFrame = false;
    bool sawSnapshot = false;
    bool frameLast = false;
    bool afterLast = false;
    std::string command;
    StreamClass cls;
    bool inClass = false;
    StreamObject object;
    StreamRef ref;
};

}  // namespace vesk
