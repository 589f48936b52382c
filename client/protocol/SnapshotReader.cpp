#include "protocol/SnapshotReader.h"

#include <expat.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "VeskProtocol.h"

namespace vesk {

namespace wire = Orlo::Protocol;

// Control characters come through as private-use characters (XML does not
// allow them even as references); every character below 256 is one byte.
static const unsigned CONTROL_BASE = 0xE000;

// Undoes the UTF-8 expat hands out: each character back to the byte it was.
static std::string Bytes(const char* text) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p;) {
        unsigned c = *p;
        if (c < 0x80) {
            out += static_cast<char>(c);
            p++;
            continue;
        }
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
        unsigned code = c & (0x3F >> more);
        for (int i = 0; i < more && (p[1] & 0xC0) == 0x80; i++) code = (code << 6) | (*++p & 0x3F);
        p++;
        if (code >= CONTROL_BASE && code < CONTROL_BASE + 32) out += static_cast<char>(code - CONTROL_BASE);
        else if (code < 256) out += static_cast<char>(code);
        else out += '?';
    }
    return out;
}

static uint64_t Hex(const char* text) {
    uint64_t value = 0;
    for (; *text; text++) {
        char c = *text;
        unsigned digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 16;
        if (digit > 15) break;
        value = (value << 4) | digit;
    }
    return value;
}

static int64_t Decimal(const char* text) {
    bool negative = *text == '-';
    if (negative) text++;
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; text++) value = value * 10 + (*text - '0');
    return negative ? -value : value;
}

class SnapshotReader::Parser {
public:
    explicit Parser(SnapshotReader& reader) : reader(reader), expat(XML_ParserCreate("ISO-8859-1")) {
        if (!expat) throw std::bad_alloc();
        XML_SetUserData(expat, this);
        XML_SetElementHandler(expat, OnStart, OnEnd);
        // Records are small; a frame's end must be seen when its bytes are in,
        // not when more arrive.
        XML_SetReparseDeferralEnabled(expat, XML_FALSE);
        // Frames follow each other, and XML wants one root: give them one.
        Parse("<stream>", 8, false);
    }
    ~Parser() { XML_ParserFree(expat); }

    void Feed(const char* data, size_t size);
    // Bytes given to expat since the last element it reported.
    uint64_t Unreported() const {
        XML_Index at = XML_GetCurrentByteIndex(expat);
        return at < 0 ? 0 : parsed - static_cast<uint64_t>(at);
    }
    void Filter(const char* data, size_t size);
    void Parse(const char* data, size_t size, bool final);

private:
    static void XMLCALL OnStart(void* self, const XML_Char* name, const XML_Char** attributes) {
        Parser* parser = static_cast<Parser*>(self);
        parser->Guarded([&] { parser->Start(name, attributes); });
    }
    static void XMLCALL OnEnd(void* self, const XML_Char* name) {
        Parser* parser = static_cast<Parser*>(self);
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
    uint64_t parsed = 0;   // bytes given to expat
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

void SnapshotReader::Parser::Fail(const std::string& message) {
    reader.Fail(message);
    XML_StopParser(expat, XML_FALSE);
}

void SnapshotReader::Parser::Parse(const char* data, size_t size, bool final) {
    if (reader.Failed() || reader.stopped || thrown) return;
    parsed += size;
    XML_Status status = XML_Parse(expat, data, static_cast<int>(size), final);
    if (thrown) std::rethrow_exception(thrown);
    if (status == XML_STATUS_ERROR && !reader.Failed() && !reader.stopped) {
        reader.Fail(std::string("not a snapshot stream: ") + XML_ErrorString(XML_GetErrorCode(expat)) +
                    " at byte " + std::to_string(XML_GetCurrentByteIndex(expat) - 8));
    }
}

// The character reference at p (after "&#"), when it is one XML refuses or
// would read as a character rather than a byte: its number, else -1. -2 when
// the text ends before the reference does.
static int ByteReference(const char* p, const char* end, const char** after) {
    unsigned value = 0;
    const char* q = p;
    for (; q < end && *q >= '0' && *q <= '9' && q - p < 4; q++) value = value * 10 + (*q - '0');
    if (q == end) return q - p < 4 ? -2 : -1;
    if (*q != ';' || q == p) return -1;
    *after = q + 1;
    bool control = value >= 1 && value < 32 && value != 9 && value != 10 && value != 13;
    return control || (value >= 127 && value <= 255) ? static_cast<int>(value) : -1;
}

void SnapshotReader::Parser::Feed(const char* data, size_t size) {
    if (!carry.empty()) {
        // A reference was cut at the end of the last piece: rare, so a copy will do.
        std::string joined = carry + std::string(data, size);
        carry.clear();
        return Filter(joined.data(), joined.size());
    }
    Filter(data, size);
}

void SnapshotReader::Parser::Filter(const char* data, size_t size) {
    const char* end = data + size;
    const char* copied = data;
    filtered.clear();
    for (const char* p = data; (p = static_cast<const char*>(memchr(p, '&', static_cast<size_t>(end - p))));) {
        const char* after = nullptr;
        int value = end - p < 2 ? -2 : p[1] == '#' ? ByteReference(p + 2, end, &after) : -1;
        if (value == -2) {
            carry.assign(p, end);
            end = p;
            break;
        }
        if (value < 0) {
            p++;
            continue;
        }
        filtered.append(copied, p);
        unsigned code = value < 32 ? CONTROL_BASE + static_cast<unsigned>(value) : static_cast<unsigned>(value);
        filtered += "&#" + std::to_string(code) + ";";
        p = copied = after;
    }
    if (copied == data) return Parse(data, static_cast<size_t>(end - data), false);
    filtered.append(copied, end);
    Parse(filtered.data(), filtered.size(), false);
}

// attributes: name, value, name, value, ..., null.
#define FOR_ATTRIBUTES(attributes, name, value) \
    for (const char **a_ = (attributes), *name, *value; *a_ && ((name = a_[0]), (value = a_[1]), true); a_ += 2)

void SnapshotReader::Parser::Start(const char* name, const char** attributes) {
    depth++;
    if (reader.stopped) {
        XML_StopParser(expat, XML_FALSE);
        return;
    }
    switch (name[0]) {
        case 'r':
            if (strcmp(name, wire::REFERENCE_ELEMENT) == 0) return Reference(attributes);
            break;
        case 'o':
            if (strcmp(name, wire::OBJECT_ELEMENT) == 0) return Object(attributes, false);
            break;
        case 'a':
            if (strcmp(name, wire::ARRAY_ELEMENT) == 0) return Object(attributes, true);
            break;
        default: break;
    }
    if (depth == 2) {
        if (strcmp(name, wire::FRAME_ELEMENT) != 0) return Fail("not a snapshot stream: <" + std::string(name) + "> where a response frame belongs");
        reader.frames++;
        firstFrame = reader.frames == 1;
        frameLast = afterLast = false;
        command.clear();
        if (reader.complete) Fail("not a snapshot stream: a frame after the final one");
        return;
    }
    if (strcmp(name, wire::COMMAND_ELEMENT) == 0) {
        FOR_ATTRIBUTES(attributes, key, value) if (strcmp(key, wire::NAME_ATTRIBUTE) == 0) command = value;
    } else if (strcmp(name, wire::PROP_ELEMENT) == 0) {
        std::string key, value;
        FOR_ATTRIBUTES(attributes, k, v) {
            if (strcmp(k, wire::NAME_ATTRIBUTE) == 0) key = Bytes(v);
            else if (strcmp(k, wire::VALUE_ATTRIBUTE) == 0) value = Bytes(v);
        }
        reader.handler.OnProperty(afterLast ? std::string() : command, key, value);
    } else if (strcmp(name, wire::SNAPSHOT_ELEMENT) == 0) {
        if (firstFrame) sawSnapshot = true;
        else if (!reader.headerDone) Fail("not a snapshot stream: records before the snapshot header");
    } else if (strcmp(name, wire::CLASS_ELEMENT) == 0) {
        cls = StreamClass();
        inClass = true;
        FOR_ATTRIBUTES(attributes, key, value) {
            if (strcmp(key, wire::CLASS_TAG_ATTRIBUTE) == 0) cls.tag = Hex(value);
            else if (strcmp(key, wire::NAME_ATTRIBUTE) == 0) cls.name = Bytes(value);
            else if (strcmp(key, wire::SUPER_TAG_ATTRIBUTE) == 0) cls.superTag = Hex(value);
            else if (strcmp(key, wire::INSTANCES_ATTRIBUTE) == 0) cls.instances = Decimal(value);
            else if (strcmp(key, wire::BYTES_ATTRIBUTE) == 0) cls.bytes = Decimal(value);
        }
    } else if (strcmp(name, wire::FIELD_ELEMENT) == 0 && inClass) {
        HeapField field;
        int64_t index = -1;
        FOR_ATTRIBUTES(attributes, key, value) {
            if (strcmp(key, wire::INDEX_ATTRIBUTE) == 0) index = Decimal(value);
            else if (strcmp(key, wire::NAME_ATTRIBUTE) == 0) field.name = Bytes(value);
            else if (strcmp(key, wire::DEFINING_CLASS_ATTRIBUTE) == 0) field.definingClass = Bytes(value);
        }
        if (index < 0 || index > (1 << 20)) return;
        if (cls.fields.size() <= static_cast<size_t>(index)) cls.fields.resize(static_cast<size_t>(index) + 1);
        cls.fields[static_cast<size_t>(index)] = std::move(field);
    } else if (strcmp(name, wire::METHOD_ELEMENT) == 0 && inClass) {
        StreamMethod method;
        FOR_ATTRIBUTES(attributes, key, value) {
            if (strcmp(key, wire::METHOD_TAG_ATTRIBUTE) == 0) method.tag = Hex(value);
            else if (strcmp(key, wire::NAME_ATTRIBUTE) == 0) method.name = Bytes(value);
        }
        reader.handler.OnMethod(method);
    } else if (strcmp(name, wire::THREAD_ELEMENT) == 0) {
        StreamThread thread;
        FOR_ATTRIBUTES(attributes, key, value) {
            if (strcmp(key, wire::THREAD_TAG_ATTRIBUTE) == 0) thread.tag = Hex(value);
            else if (strcmp(key, wire::NAME_ATTRIBUTE) == 0) thread.name = Bytes(value);
            else if (strcmp(key, wire::STATE_ATTRIBUTE) == 0) thread.state = static_cast<int32_t>(Decimal(value));
        }
        reader.handler.OnThread(thread);
    } else if (strcmp(name, wire::LAST_ELEMENT) == 0) {
        afterLast = true;
        FOR_ATTRIBUTES(attributes, key, value) if (strcmp(key, wire::VALUE_ATTRIBUTE) == 0) frameLast = strcmp(value, "1") == 0;
    } else if (strcmp(name, wire::ERROR_ELEMENT) == 0) {
        std::string message = "unknown error";
        FOR_ATTRIBUTES(attributes, key, value) if (strcmp(key, wire::MESSAGE_ATTRIBUTE) == 0) message = Bytes(value);
        reader.agentError = message;
        Fail("the agent reported: " + message);
    }
}

void SnapshotReader::Parser::End(const char* name) {
    depth--;
    if (reader.Failed() || reader.stopped) return;
    if (depth == 1) {  // a frame ends
        if (firstFrame && reader.kind == Kind::Snapshot) {
            if (!sawSnapshot) return Fail("not a snapshot stream: the first frame holds no snapshot header");
            reader.headerDone = true;
            reader.handler.OnHeaderEnd();
        }
        if (frameLast) reader.complete = true;
    } else if (inClass && strcmp(name, wire::CLASS_ELEMENT) == 0) {
        inClass = false;
        reader.handler.OnClass(cls);
    }
}

void SnapshotReader::Parser::Object(const char** attributes, bool array) {
    if (reader.kind == Kind::Responses) return;
    if (!reader.headerDone) return Fail("not a snapshot stream: records before the snapshot header");
    object = StreamObject();
    if (array) object.length = 0;
    FOR_ATTRIBUTES(attributes, key, value) {
        switch (key[0]) {
            case 't': object.tag = Hex(value); break;
            case 'c': object.classTag = Hex(value); break;
            case 's': object.size = Decimal(value); break;
            case 'l': object.length = static_cast<int32_t>(Decimal(value)); break;
            default: break;
        }
    }
    reader.handler.OnObject(object);
}

void SnapshotReader::Parser::Reference(const char** attributes) {
    if (reader.kind == Kind::Responses) return;
    if (!reader.headerDone) return Fail("not a snapshot stream: records before the snapshot header");
    ref = StreamRef();
    FOR_ATTRIBUTES(attributes, key, value) {
        switch (key[0]) {
            case 'k': ref.kind = static_cast<int32_t>(Decimal(value)); break;
            case 't':
                if (key[1] == 'a') ref.tag = Hex(value);
                else if (key[1] == 'h') ref.threadTag = Hex(value);
                break;
            case 'c': ref.classTag = Hex(value); break;
            case 's':
                if (key[1] == 'i') ref.size = Decimal(value);
                else if (key[1] == 'l') ref.slot = static_cast<int32_t>(Decimal(value));
                break;
            case 'm': ref.methodTag = Hex(value); break;
            case 'r': ref.referrer = Hex(value); break;
            case 'l': ref.length = static_cast<int32_t>(Decimal(value)); break;
            case 'i': ref.index = static_cast<int32_t>(Decimal(value)); break;
            case 'h': ref.heapRoot = value[0] == '1'; break;
            case 'd': ref.depth = static_cast<int32_t>(Decimal(value)); break;
            default: break;
        }
    }
    reader.handler.OnReference(ref);
}

SnapshotReader::SnapshotReader(SnapshotHandler& handler, Kind kind)
    : handler(handler), kind(kind), parser(new Parser(*this)) {}

SnapshotReader::~SnapshotReader() = default;

bool SnapshotReader::IsStreamStart(std::string_view head) {
    const std::string_view start = wire::FRAME_START;
    return head.substr(0, start.size()) == start;
}

void SnapshotReader::Fail(const std::string& message) {
    if (error.empty()) error = message;
}

bool SnapshotReader::Feed(std::string_view bytes) {
    if (Failed() || stopped) return false;
    bytesRead += bytes.size();
    parser->Feed(bytes.data(), bytes.size());
    if (!Failed() && parser->Unreported() > MAX_ELEMENT) Fail("not a snapshot stream (an element longer than 16 MiB)");
    return !Failed() && !stopped;
}

void FeedFile(const std::string& path, SnapshotReader& reader,
              const std::function<void(uint64_t done, uint64_t total)>& onProgress) {
    std::unique_ptr<FILE, int (*)(FILE*)> opened(fopen(path.c_str(), "rb"), fclose);
    FILE* file = opened.get();
    if (!file) throw ClientError(ErrorKind::File, "cannot open " + path + ": " + strerror(errno));
    struct stat info {};
    uint64_t total = fstat(fileno(file), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
    std::vector<char> chunk(1 << 20);
    uint64_t done = 0;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), file)) > 0) {
        done += n;
        bool more = reader.Feed(std::string_view(chunk.data(), n));
        if (onProgress) onProgress(done, total);
        if (!more) break;
    }
    if (ferror(file)) throw ClientError(ErrorKind::File, "cannot read " + path + ": " + strerror(errno));
}

bool SnapshotReader::Finish() {
    if (Failed()) return false;
    if (stopped) return true;
    if (!complete) {
        Fail(!headerDone ? (bytesRead == 0 ? "empty: no snapshot header" : "truncated: the stream ends before the snapshot header does")
                         : "truncated: the stream ends before the snapshot's final frame");
        return false;
    }
    return true;
}

}  // namespace vesk
