#include "protocol/SnapshotParser.h"

#include <cstring>
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
    // Unsigned: digits past 2^64 wrap rather than overflow.
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; text++) value = value * 10 + static_cast<uint64_t>(*text - '0');
    return static_cast<int64_t>(negative ? 0 - value : value);
}

SnapshotParser::SnapshotParser(SnapshotReader& reader, const FramePlace* place)
    : reader(reader), expat(XML_ParserCreate("ISO-8859-1")) {
    if (!expat) throw std::bad_alloc();
    XML_SetUserData(expat, this);
    XML_SetElementHandler(expat, OnStart, OnEnd);
    // Records are small; a frame's end must be seen when its bytes are in,
    // not when more arrive.
    XML_SetReparseDeferralEnabled(expat, XML_FALSE);
    // Frames follow each other, and XML wants one root: give them one.
    static const char* const OPEN[] = {"<stream>", "<stream><vesk-resp>",
                                       "<stream><vesk-resp><cmd name=\"SNAPSHOT\">",
                                       "<stream><vesk-resp><cmd name=\"SNAPSHOT\"><snapshot>"};
    const char* open = OPEN[place ? place->depth - 1 : 0];
    base = reader.cursor + reader.grown;
    opened = strlen(open);
    priming = true;
    Parse(open, opened, false);
    priming = false;
    if (place) {
        // Only ever past the header; between frames, the last one's state lives on.
        firstFrame = reader.frames == 1;
        sawSnapshot = true;
        frameLast = place->frameLast;
        afterLast = place->afterLast;
        command = place->command;
    }
}

void SnapshotParser::Fail(const std::string& message) {
    reader.Fail(message);
    XML_StopParser(expat, XML_FALSE);
}

void SnapshotParser::Parse(const char* data, size_t size, bool final) {
    if (reader.Failed() || reader.stopped || thrown) return;
    parsed += size;
    XML_Status status = XML_Parse(expat, data, static_cast<int>(size), final);
    if (thrown) std::rethrow_exception(thrown);
    if (status == XML_STATUS_ERROR && !reader.Failed() && !reader.stopped) {
        reader.Fail(std::string("not a snapshot stream: ") + XML_ErrorString(XML_GetErrorCode(expat)) +
                    " at byte " + std::to_string(XML_GetCurrentByteIndex(expat) - static_cast<XML_Index>(opened) +
                                                 static_cast<XML_Index>(base)));
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

size_t SnapshotParser::Feed(const char* data, size_t size) {
    if (!carry.empty()) {
        // A reference was cut at the end of the last piece: rare, so a copy will do.
        std::string joined = carry + std::string(data, size);
        carry.clear();
        // The stream is handed back after an end tag, past the carried bytes.
        return std::min(Filter(joined.data(), joined.size()), size);
    }
    return Filter(data, size);
}

size_t SnapshotParser::Filter(const char* data, size_t size) {
    const char* end = data + size;
    const char* copied = data;
    filtered.clear();
    rewrites.clear();
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
        rewrites.emplace_back(filtered.size(), filtered.size() - static_cast<size_t>(after - data));
    }
    const uint64_t start = parsed;
    size_t given;
    if (copied == data) {
        given = static_cast<size_t>(end - data);
        Parse(data, given, false);
    } else {
        filtered.append(copied, end);
        given = filtered.size();
        Parse(filtered.data(), given, false);
    }
    if (!suspended) {
        growth += given - static_cast<size_t>(end - data);
        return 0;
    }
    // What expat read up to the frame's end, in the bytes as they came.
    size_t read = static_cast<size_t>(suspendedAt - start), added = 0;
    for (const auto& rewrite : rewrites)
        if (rewrite.first <= read) added = rewrite.second;
    growth += added;
    carry.clear();
    return size - (read - added);
}

// attributes: name, value, name, value, ..., null.
#define FOR_ATTRIBUTES(attributes, name, value) \
    for (const char **a_ = (attributes), *name, *value; *a_ && ((name = a_[0]), (value = a_[1]), true); a_ += 2)

void SnapshotParser::Start(const char* name, const char** attributes) {
    depth++;
    if (priming) return;
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
            // A HISTOGRAM answer's rows.
            else if (strcmp(key, wire::HISTO_INSTANCES_ATTRIBUTE) == 0) cls.instances = Decimal(value);
            else if (strcmp(key, wire::HISTO_BYTES_ATTRIBUTE) == 0) cls.bytes = Decimal(value);
        }
    } else if (strcmp(name, wire::FIELD_ELEMENT) == 0 && inClass) {
        StreamField field;
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

void SnapshotParser::End(const char* name) {
    depth--;
    if (reader.Failed() || reader.stopped || priming) return;
    if (depth == 1) {  // a frame ends
        if (firstFrame && reader.kind == SnapshotReader::Kind::Snapshot) {
            if (!sawSnapshot) return Fail("not a snapshot stream: the first frame holds no snapshot header");
            reader.headerDone = true;
            reader.handler.OnHeaderEnd();
        }
        if (frameLast) reader.complete = true;
        // Past the header, the fast path reads on from the end of each frame.
        if (reader.fast && reader.kind == SnapshotReader::Kind::Snapshot && reader.headerDone && !reader.Failed() &&
            !reader.stopped && !thrown) {
            suspendedAt = static_cast<uint64_t>(XML_GetCurrentByteIndex(expat)) +
                          static_cast<uint64_t>(XML_GetCurrentByteCount(expat));
            suspended = true;
            XML_StopParser(expat, XML_TRUE);
        }
    } else if (inClass && strcmp(name, wire::CLASS_ELEMENT) == 0) {
        inClass = false;
        reader.handler.OnClass(cls);
    }
}

void SnapshotParser::Object(const char** attributes, bool array) {
    if (reader.kind == SnapshotReader::Kind::Responses) return;
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

void SnapshotParser::Reference(const char** attributes) {
    if (reader.kind == SnapshotReader::Kind::Responses) return;
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

}  // namespace vesk
