#include "protocol/SnapshotReader.h"

#include <expat.h>

// Hex values are read 16 bytes at a time where SSE2 is there.
#if defined(__SSE2__) && defined(__GNUC__) && defined(__x86_64__)
#define VESK_HEX_SSE2 1
#include <emmintrin.h>
#endif

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "VeskProtocol.h"
#include "base/File.h"
#include "base/ZstdDecoder.h"
#include "base/ZstdFileReader.h"

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

// Where in a frame a reader is, between elements: what expat needs to go on
// from there.
struct FramePlace {
    int depth = 1;           // 1: between frames, 2: in a frame, 3: in its <cmd>, 4: in its <snapshot>
    std::string command;     // the name of the frame's last <cmd>, once one began
    bool frameLast = false;  // <last value="1"/> was read
    bool afterLast = false;  // <last> was read
};

class SnapshotReader::Parser {
public:
    // At the stream's start, or at place in a later frame: the open elements
    // are given to expat again, without their callbacks.
    Parser(SnapshotReader& reader, const FramePlace* place = nullptr)
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
    ~Parser() { XML_ParserFree(expat); }

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

size_t SnapshotReader::Parser::Feed(const char* data, size_t size) {
    if (!carry.empty()) {
        // A reference was cut at the end of the last piece: rare, so a copy will do.
        std::string joined = carry + std::string(data, size);
        carry.clear();
        // The stream is handed back after an end tag, past the carried bytes.
        return std::min(Filter(joined.data(), joined.size()), size);
    }
    return Filter(data, size);
}

size_t SnapshotReader::Parser::Filter(const char* data, size_t size) {
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

void SnapshotReader::Parser::Start(const char* name, const char** attributes) {
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
    if (reader.Failed() || reader.stopped || priming) return;
    if (depth == 1) {  // a frame ends
        if (firstFrame && reader.kind == Kind::Snapshot) {
            if (!sawSnapshot) return Fail("not a snapshot stream: the first frame holds no snapshot header");
            reader.headerDone = true;
            reader.handler.OnHeaderEnd();
        }
        if (frameLast) reader.complete = true;
        // Past the header, the fast path reads on from the end of each frame.
        if (reader.fast && reader.kind == Kind::Snapshot && reader.headerDone && !reader.Failed() &&
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

// The fast path: the agent's frames and records in the very shapes it
// writes them (attributes in its order, no spaces, no references), read
// token by token. A token is read whole or not at all: when the bytes end
// inside one that may still match, they wait for the next piece; at the
// first byte that cannot match, expat is given the stream from that
// token's start, in the element the fast path was in.
class SnapshotReader::Fast {
public:
    // Longest token: a prop's name and value, and their markup.
    static constexpr size_t MAX_TOKEN = 8192;
    static constexpr size_t MAX_NAME = 1024;
    static constexpr size_t MAX_VALUE = 4096;

    explicit Fast(SnapshotReader& reader) : reader(reader) {}

    // Reads what it can of in. Returns the bytes expat is to read when it
    // met one it does not recognise (ToExpat() is then true), else nothing.
    // joined: room for the carried bytes and those that follow, when needed.
    std::string_view Read(std::string_view in, std::string& joined);
    // Expat ended a frame: the fast path goes on from there.
    void Resume(const FramePlace& at) {
        place = at;
        place.depth = 1;
        toExpat = false;
    }
    bool ToExpat() const { return toExpat; }
    const FramePlace& Place() const { return place; }

private:
    enum Step { MATCH, PARTIAL, MISMATCH };
    size_t Scan(const char* begin, size_t size, size_t stopAt, Step& outcome);
    Step Token(const char*& p, const char* end);
    Step Record(const char*& p, const char* end);
    Step Reference(const char*& p, const char* end);
    Step Property(const char*& p, const char* end);

    SnapshotReader& reader;
    FramePlace place;
    std::string carry;  // the start of a token the piece ended in
    bool toExpat = false;
};

namespace {

// Hex digit values; 16 for other bytes.
struct HexDigits {
    unsigned char value[256];
    constexpr HexDigits() : value() {
        for (int i = 0; i < 256; i++) value[i] = 16;
        for (int i = 0; i < 10; i++) value['0' + i] = static_cast<unsigned char>(i);
        for (int i = 0; i < 6; i++) {
            value['a' + i] = static_cast<unsigned char>(10 + i);
            value['A' + i] = static_cast<unsigned char>(10 + i);
        }
    }
};
constexpr HexDigits HEX_DIGITS;

typedef int FastStep;  // SnapshotReader::Fast::Step, for the helpers below
constexpr FastStep S_MATCH = 0, S_PARTIAL = 1, S_MISMATCH = 2;

template <size_t N>
inline FastStep Literal(const char*& p, const char* end, const char (&text)[N]) {
    constexpr size_t n = N - 1;
    size_t have = static_cast<size_t>(end - p);
    if (have >= n) {
        if (memcmp(p, text, n) != 0) return S_MISMATCH;
        p += n;
        return S_MATCH;
    }
    return memcmp(p, text, have) == 0 ? S_PARTIAL : S_MISMATCH;
}

#ifdef VESK_HEX_SSE2
// Bit i set when text[i] is a hex digit, for text[0 .. 15].
inline unsigned HexDigitBits(const char* text) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    // Letters folded to lower case; digits have that bit already, and bytes
    // above 0x7F stay negative, below every range.
    const __m128i folded = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('0' - 1)),
                                        _mm_cmpgt_epi8(_mm_set1_epi8('9' + 1), bytes));
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                         _mm_cmpgt_epi8(_mm_set1_epi8('f' + 1), folded));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(digit, letter)));
}

// The value of the hex digits text[0 .. digits - 1], 1 to 16 of them; the
// bytes up to text[15] are read.
inline uint64_t HexDigitsValue(const char* text, unsigned digits) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    // '0'..'9' are 0x3?, letters 0x4? or 0x6?: the low four bits, and 9 more for a letter.
    const __m128i low = _mm_and_si128(bytes, _mm_set1_epi8(0x0F));
    const __m128i letter = _mm_and_si128(_mm_srli_epi16(bytes, 6), _mm_set1_epi8(1));
    __m128i nibbles = _mm_add_epi8(low, _mm_add_epi8(letter, _mm_slli_epi16(letter, 3)));
    const __m128i places = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    nibbles = _mm_and_si128(nibbles, _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(digits)), places));
    // Two digits a byte, the first in the high half; then the first byte highest.
    const __m128i pairs = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nibbles, _mm_set1_epi16(0x00FF)), 4),
                                       _mm_srli_epi16(nibbles, 8));
    uint64_t all16 = __builtin_bswap64(static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(pairs, pairs))));
    return digits == 16 ? all16 : all16 >> (4 * (16 - digits));
}
#endif

// 1 to 16 hex digits and the closing quote, as Hex reads them.
inline FastStep HexValue(const char*& p, const char* end, uint64_t& value) {
#ifdef VESK_HEX_SSE2
    // Most values: the digits found at once, with the byte after the
    // sixteenth in reach, rather than tested one by one.
    if (end - p > 16) {
        unsigned bits = HexDigitBits(p);
        unsigned digits = bits == 0xFFFF ? 16 : static_cast<unsigned>(__builtin_ctz(~bits));
        if (digits == 0 || p[digits] != '"') return S_MISMATCH;  // a 17th digit is no quote either
        value = HexDigitsValue(p, digits);
        p += digits + 1;
        return S_MATCH;
    }
#endif
    const char* start = p;
    uint64_t v = 0;
    for (;; p++) {
        if (p == end) return S_PARTIAL;
        unsigned digit = HEX_DIGITS.value[static_cast<unsigned char>(*p)];
        if (digit > 15) break;
        if (p - start == 16) return S_MISMATCH;
        v = (v << 4) | digit;
    }
    if (p == start || *p != '"') return S_MISMATCH;
    p++;
    value = v;
    return S_MATCH;
}

// An optional minus, 1 to 18 digits and the closing quote, as Decimal reads them.
inline FastStep DecimalValue(const char*& p, const char* end, int64_t& value) {
    if (p == end) return S_PARTIAL;
    bool negative = *p == '-';
    if (negative) p++;
    const char* start = p;
    int64_t v = 0;
    for (;; p++) {
        if (p == end) return S_PARTIAL;
        unsigned digit = static_cast<unsigned char>(*p) - '0';
        if (digit > 9) break;
        if (p - start == 18) return S_MISMATCH;
        v = v * 10 + digit;
    }
    if (p == start || *p != '"') return S_MISMATCH;
    p++;
    value = negative ? -v : v;
    return S_MATCH;
}

// Bytes XML takes in an attribute as they are, up to the closing quote.
inline FastStep PlainValue(const char*& p, const char* end, size_t limit, std::string& value) {
    const char* start = p;
    for (;; p++) {
        if (p == end) return static_cast<size_t>(p - start) <= limit ? S_PARTIAL : S_MISMATCH;
        char c = *p;
        if (c == '"') break;
        if (c < 0x20 || c > 0x7E || c == '&' || c == '<') return S_MISMATCH;
    }
    if (static_cast<size_t>(p - start) > limit) return S_MISMATCH;
    value.assign(start, p);
    p++;
    return S_MATCH;
}

}  // namespace

#define FAST_STEP(expression)                               \
    do {                                                    \
        FastStep step_ = (expression);                      \
        if (step_ != S_MATCH) return static_cast<Step>(step_); \
    } while (0)

SnapshotReader::Fast::Step SnapshotReader::Fast::Record(const char*& p, const char* end) {
    // p[0] == '<', p[1] is there.
    if (p[1] == 'r') return Reference(p, end);
    StreamObject object;
    int64_t size = 0;
    if (p[1] == 'o') {
        FAST_STEP(Literal(p, end, "<obj tag=\""));
    } else {
        FAST_STEP(Literal(p, end, "<arrayobj tag=\""));
        object.length = 0;
    }
    FAST_STEP(HexValue(p, end, object.tag));
    FAST_STEP(Literal(p, end, " clstag=\""));
    FAST_STEP(HexValue(p, end, object.classTag));
    FAST_STEP(Literal(p, end, " size=\""));
    FAST_STEP(DecimalValue(p, end, size));
    object.size = size;
    if (object.length == 0) {
        int64_t length = 0;
        FAST_STEP(Literal(p, end, " len=\""));
        FAST_STEP(DecimalValue(p, end, length));
        object.length = static_cast<int32_t>(length);
    }
    FAST_STEP(Literal(p, end, "/>"));
    reader.Deliver(object);
    return MATCH;
}

SnapshotReader::Fast::Step SnapshotReader::Fast::Reference(const char*& p, const char* end) {
    StreamRef ref;
    int64_t number = 0;
    FAST_STEP(Literal(p, end, "<ref kind=\""));
    FAST_STEP(DecimalValue(p, end, number));
    ref.kind = static_cast<int32_t>(number);
    FAST_STEP(Literal(p, end, " tag=\""));
    FAST_STEP(HexValue(p, end, ref.tag));
    FAST_STEP(Literal(p, end, " clstag=\""));
    FAST_STEP(HexValue(p, end, ref.classTag));
    FAST_STEP(Literal(p, end, " size=\""));
    FAST_STEP(DecimalValue(p, end, ref.size));
    // The optional attributes, each at most once and in the agent's order.
    enum { REFTAG = 1, LEN, INDEX, THREAD, SLOT, HEAPROOT };
    int last = 0;
    for (;;) {
        if (p == end) return PARTIAL;
        if (*p == '/') break;
        if (*p != ' ') return MISMATCH;
        if (end - p < 2) return PARTIAL;
        int next;
        switch (p[1]) {
            case 'r': next = REFTAG; break;
            case 'l': next = LEN; break;
            case 'i': next = INDEX; break;
            case 't': next = THREAD; break;
            case 's': next = SLOT; break;
            case 'h': next = HEAPROOT; break;
            default: return MISMATCH;
        }
        if (next <= last) return MISMATCH;
        last = next;
        switch (next) {
            case REFTAG:
                FAST_STEP(Literal(p, end, " reftag=\""));
                FAST_STEP(HexValue(p, end, ref.referrer));
                break;
            case LEN:
                FAST_STEP(Literal(p, end, " len=\""));
                FAST_STEP(DecimalValue(p, end, number));
                ref.length = static_cast<int32_t>(number);
                break;
            case INDEX:
                FAST_STEP(Literal(p, end, " index=\""));
                FAST_STEP(DecimalValue(p, end, number));
                ref.index = static_cast<int32_t>(number);
                break;
            case THREAD:
                FAST_STEP(Literal(p, end, " thrdtag=\""));
                FAST_STEP(HexValue(p, end, ref.threadTag));
                FAST_STEP(Literal(p, end, " tid=\""));
                FAST_STEP(DecimalValue(p, end, number));
                FAST_STEP(Literal(p, end, " depth=\""));
                FAST_STEP(DecimalValue(p, end, number));
                ref.depth = static_cast<int32_t>(number);
                FAST_STEP(Literal(p, end, " mthdtag=\""));
                FAST_STEP(HexValue(p, end, ref.methodTag));
                break;
            case SLOT:
                FAST_STEP(Literal(p, end, " slot=\""));
                FAST_STEP(DecimalValue(p, end, number));
                ref.slot = static_cast<int32_t>(number);
                break;
            default:
                FAST_STEP(Literal(p, end, " heaproot=\"1\""));
                ref.heapRoot = true;
                break;
        }
    }
    FAST_STEP(Literal(p, end, "/>"));
    reader.Deliver(ref);
    return MATCH;
}

SnapshotReader::Fast::Step SnapshotReader::Fast::Property(const char*& p, const char* end) {
    std::string name, value;
    FAST_STEP(Literal(p, end, "<prop name=\""));
    FAST_STEP(PlainValue(p, end, MAX_NAME, name));
    FAST_STEP(Literal(p, end, " value=\""));
    FAST_STEP(PlainValue(p, end, MAX_VALUE, value));
    FAST_STEP(Literal(p, end, "/>"));
    reader.Drain();
    reader.handler.OnProperty(std::string(), name, value);
    return MATCH;
}

SnapshotReader::Fast::Step SnapshotReader::Fast::Token(const char*& p, const char* end) {
    if (*p != '<') {
        if (place.depth == 1 && *p == '\n') {
            p++;
            return MATCH;
        }
        return MISMATCH;
    }
    if (end - p < 2) return PARTIAL;
    switch (place.depth) {
        case 4:
            if (p[1] != '/') return Record(p, end);
            FAST_STEP(Literal(p, end, "</snapshot>"));
            place.depth = 3;
            return MATCH;
        case 1: {
            // A frame after the final one is expat's to refuse.
            if (reader.complete) return MISMATCH;
            FAST_STEP(Literal(p, end, "<vesk-resp tag=\""));
            int64_t tag = 0;
            FAST_STEP(DecimalValue(p, end, tag));
            FAST_STEP(Literal(p, end, ">"));
            reader.frames++;
            place = FramePlace();
            place.depth = 2;
            return MATCH;
        }
        case 2:
            switch (p[1]) {
                case 'c':
                    FAST_STEP(Literal(p, end, "<cmd name=\"SNAPSHOT\">"));
                    place.depth = 3;
                    place.command = wire::CMD_SNAPSHOT;
                    return MATCH;
                case 'l': {
                    FAST_STEP(Literal(p, end, "<last value=\""));
                    if (p == end) return PARTIAL;
                    char value = *p++;
                    if (value != '0' && value != '1') return MISMATCH;
                    FAST_STEP(Literal(p, end, "\"/>"));
                    place.afterLast = true;
                    place.frameLast = value == '1';
                    return MATCH;
                }
                case 'p':
                    if (!place.afterLast) return MISMATCH;
                    return Property(p, end);
                case '/':
                    FAST_STEP(Literal(p, end, "</vesk-resp>"));
                    if (place.frameLast) reader.complete = true;
                    place.depth = 1;  // the rest holds until the next frame begins
                    return MATCH;
                default: return MISMATCH;
            }
        default:  // 3
            switch (p[1]) {
                case 's':
                    if (end - p < 3) return PARTIAL;
                    if (p[2] == 'n') {
                        FAST_STEP(Literal(p, end, "<snapshot>"));
                        place.depth = 4;
                    } else {
                        FAST_STEP(Literal(p, end, "<status value=\"1\"/>"));
                    }
                    return MATCH;
                case '/':
                    FAST_STEP(Literal(p, end, "</cmd>"));
                    place.depth = 2;
                    return MATCH;
                default: return MISMATCH;
            }
    }
}

size_t SnapshotReader::Fast::Scan(const char* begin, size_t size, size_t stopAt, Step& outcome) {
    const char* p = begin;
    const char* end = begin + size;
    const char* stop = begin + stopAt;
    outcome = MATCH;
    while (p < stop) {
        const char* q = p;
        Step step = Token(q, end);
        if (step != MATCH) {
            outcome = step;
            break;
        }
        p = q;
        if (reader.stopped.load(std::memory_order_relaxed)) break;
    }
    return static_cast<size_t>(p - begin);
}

std::string_view SnapshotReader::Fast::Read(std::string_view in, std::string& joined) {
    Step outcome;
    if (!carry.empty()) {
        // A token was cut: it is read from a copy of its start and what follows.
        size_t take = std::min(in.size(), MAX_TOKEN);
        std::string piece = std::move(carry);
        carry.clear();
        size_t carried = piece.size();
        piece.append(in.data(), take);
        size_t at = Scan(piece.data(), piece.size(), carried, outcome);
        reader.cursor += at;
        if (reader.stopped) return {};
        if (outcome == PARTIAL && take < in.size()) outcome = MISMATCH;  // longer than any token
        if (outcome == MISMATCH) {
            toExpat = true;
            // in may lie in joined: built aside, then swapped in.
            std::string rest(piece, at, std::string::npos);
            rest.append(in.data() + take, in.size() - take);
            joined.swap(rest);
            return joined;
        }
        if (at < carried) {  // still cut: all of in is in piece
            carry.assign(piece, at, std::string::npos);
            return {};
        }
        in.remove_prefix(at - carried);
    }
    size_t at = Scan(in.data(), in.size(), in.size(), outcome);
    reader.cursor += at;
    if (reader.stopped) return {};
    if (outcome == MISMATCH) {
        toExpat = true;
        return in.substr(at);
    }
    if (outcome == PARTIAL) carry.assign(in.data() + at, in.size() - at);
    return {};
}

// Records for the second thread, in batches through a short queue: the
// reading thread waits when it is full, so memory stays bounded.
class SnapshotReader::Pipe {
public:
    explicit Pipe(SnapshotReader& reader) : reader(reader) {
        filling.records.reserve(BATCH);
        worker = std::thread(&Pipe::Run, this);
    }
    // Records not yet delivered are dropped.
    ~Pipe() {
        {
            std::lock_guard<std::mutex> guard(lock);
            closing = true;
        }
        changed.notify_all();
        worker.join();
    }
    void Push(const StreamObject& object) {
        filling.records.push_back({object.tag, object.classTag, 0, object.size, object.length, 0, 0, Record::OBJECT});
        if (filling.records.size() == BATCH) Hand();
    }
    void Push(const StreamRef& ref) {
        int32_t aside = Record::REFERENCE;
        if (ref.heapRoot || ref.threadTag != 0 || ref.depth != -1 || ref.methodTag != 0 || ref.slot != -1) {
            aside = static_cast<int32_t>(filling.aside.size());
            filling.aside.push_back(ref);
        }
        filling.records.push_back({ref.tag, ref.classTag, ref.referrer, ref.size, ref.length, ref.index, ref.kind, aside});
        if (filling.records.size() == BATCH) Hand();
    }
    // Returns once every record pushed has been delivered; throws what the
    // handler threw.
    void Drain() {
        if (!filling.records.empty()) Hand();
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return (full.empty() && !busy) || failure; });
        if (failure) std::rethrow_exception(failure);
    }

private:
    static constexpr size_t BATCH = 4096;
    static constexpr size_t QUEUED = 3;
    // An object, or a reference in the fields most have: half the room of
    // a StreamRef, as the batches' bytes go from one core to the other.
    struct Record {
        static constexpr int32_t OBJECT = -2;     // aside: the record is an object
        static constexpr int32_t REFERENCE = -1;  // aside: the reference is all here
        uint64_t tag;
        uint64_t classTag;
        uint64_t referrer;
        int64_t size;
        int32_t length;
        int32_t index;
        int32_t kind;
        int32_t aside;  // else where in the batch's aside the whole reference (a root's) is
    };
    struct Batch {
        std::vector<Record> records;
        std::vector<StreamRef> aside;
    };

    void Hand() {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return full.size() < QUEUED || failure; });
        if (failure) std::rethrow_exception(failure);
        full.push_back(std::move(filling));
        if (spare.empty()) {
            filling = Batch();
            filling.records.reserve(BATCH);
        } else {
            filling = std::move(spare.back());
            spare.pop_back();
        }
        guard.unlock();
        changed.notify_all();
    }

    void Run() {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            changed.wait(guard, [&] { return !full.empty() || closing; });
            if (closing) return;
            Batch batch = std::move(full.front());
            full.pop_front();
            busy = true;
            guard.unlock();
            std::exception_ptr thrown;
            try {
                Deliver(batch);
            } catch (...) {
                thrown = std::current_exception();
            }
            batch.records.clear();
            batch.aside.clear();
            guard.lock();
            busy = false;
            if (thrown && !failure) failure = thrown;
            spare.push_back(std::move(batch));
            changed.notify_all();
        }
    }

    void Deliver(const Batch& batch) {
        if (failure) return;  // read without the lock: set only by this thread
        SnapshotHandler& handler = reader.handler;
        StreamObject object;
        StreamRef ref;
        for (const Record& record : batch.records) {
            if (reader.stopped.load(std::memory_order_relaxed)) return;
            if (record.aside >= 0) {
                handler.OnReference(batch.aside[static_cast<size_t>(record.aside)]);
            } else if (record.aside == Record::REFERENCE) {
                ref.kind = record.kind;
                ref.tag = record.tag;
                ref.classTag = record.classTag;
                ref.size = record.size;
                ref.referrer = record.referrer;
                ref.length = record.length;
                ref.index = record.index;
                handler.OnReference(ref);
            } else {
                object.tag = record.tag;
                object.classTag = record.classTag;
                object.size = record.size;
                object.length = record.length;
                handler.OnObject(object);
            }
        }
    }

    SnapshotReader& reader;
    Batch filling;  // the reading thread's
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Batch> full;
    std::vector<Batch> spare;
    bool busy = false;
    bool closing = false;
    std::exception_ptr failure;
    std::thread worker;  // last: it starts when made
};

void SnapshotReader::Deliver(const StreamObject& object) {
    if (!pipe) return handler.OnObject(object);
    pipe->Push(object);
}

void SnapshotReader::Deliver(const StreamRef& ref) {
    if (!pipe) return handler.OnReference(ref);
    pipe->Push(ref);
}

void SnapshotReader::Drain() {
    if (pipe) pipe->Drain();
}

SnapshotReader::SnapshotReader(SnapshotHandler& handler, Kind kind, Path path)
    : handler(handler),
      kind(kind),
      fast(path != Path::Strict && kind == Kind::Snapshot ? new Fast(*this) : nullptr),
      pipe(path == Path::FastTwoThreads && kind == Kind::Snapshot ? new Pipe(*this) : nullptr),
      parser(new Parser(*this)) {}

SnapshotReader::~SnapshotReader() = default;

bool SnapshotReader::IsStreamStart(std::string_view head) {
    const std::string_view start = wire::FRAME_START;
    return head.substr(0, start.size()) == start;
}

void SnapshotReader::Fail(const std::string& message) {
    if (error.empty()) error = message;
}

void SnapshotReader::ToExpat() {
    // The handler sees expat's records after the fast path's.
    Drain();
    parser.reset(new Parser(*this, &fast->Place()));
}

void SnapshotReader::FeedAll(std::string_view in) {
    std::string joined;
    while (!in.empty() && !Failed() && !stopped) {
        if (parser) {
            size_t rest = parser->Feed(in.data(), in.size());
            cursor += in.size() - rest;
            if (!parser->HandedBack()) return;
            grown += parser->Growth();
            fast->Resume(parser->Place());
            parser.reset();
            in.remove_prefix(in.size() - rest);
            continue;
        }
        in = fast->Read(in, joined);
        if (!fast->ToExpat()) return;
        ToExpat();
    }
}

bool SnapshotReader::Feed(std::string_view bytes) {
    if (Failed() || stopped) return false;
    bytesRead += bytes.size();
    if (!thrown) {
        try {
            FeedAll(bytes);
        } catch (...) {
            thrown = true;
            throw;
        }
    }
    if (!Failed() && parser && parser->Unreported() > MAX_ELEMENT)
        Fail("not a snapshot stream (an element longer than 16 MiB)");
    return !Failed() && !stopped;
}

// Progress counts the compressed bytes, of the file's size.
static void FeedCompressed(const std::string& path, SnapshotReader& reader,
                           const std::function<void(uint64_t done, uint64_t total)>& onProgress) {
    ZstdFileReader plain(path);
    for (std::string_view bytes = plain.Next(); !bytes.empty(); bytes = plain.Next()) {
        bool more = reader.Feed(bytes);
        if (onProgress) onProgress(plain.CompressedPosition(), plain.CompressedSize());
        if (!more) {
            // Damage that decodes (the checksum at the frame's end finds
            // it) is the compressed data's fault, not the stream's.
            if (reader.Failed()) plain.Skip(UINT64_MAX);
            return;
        }
    }
}

// The next piece of file read on a thread of its own while the caller feeds
// the last one: the copy out of the page cache is then not the reading
// thread's time. Without a thread to spare, read at once.
static std::future<size_t> ReadAhead(FILE* file, std::vector<char>& into) {
    try {
        return std::async(std::launch::async, [file, &into] { return fread(into.data(), 1, into.size(), file); });
    } catch (const std::system_error&) {
        std::promise<size_t> now;
        now.set_value(fread(into.data(), 1, into.size(), file));
        return now.get_future();
    }
}

void FeedFile(const std::string& path, SnapshotReader& reader,
              const std::function<void(uint64_t done, uint64_t total)>& onProgress) {
    File opened = File::Open(path);
    FILE* file = opened.Get();
    struct stat info {};
    uint64_t total = fstat(fileno(file), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
    // Pieces of a few MiB: a thread for each costs next to nothing.
    constexpr size_t PIECE = 4 << 20;
    std::vector<char> chunk(PIECE), ahead(PIECE);
    size_t n = fread(chunk.data(), 1, chunk.size(), file);
    if (n > 0 && ZstdDecoder::IsZstd(chunk.data(), n)) return FeedCompressed(path, reader, onProgress);
    uint64_t done = 0;
    while (n > 0) {
        // Waited for on every way out, by its destructor if not here.
        std::future<size_t> next = ReadAhead(file, ahead);
        done += n;
        bool more = reader.Feed(std::string_view(chunk.data(), n));
        if (onProgress) onProgress(done, total);
        n = next.get();
        if (!more) break;
        chunk.swap(ahead);
    }
    if (ferror(file)) File::ReadFailed(path);
}

bool SnapshotReader::Finish() {
    if (pipe && !thrown) {
        try {
            Drain();
        } catch (...) {
            thrown = true;
            throw;
        }
    }
    // Its thread and batches are not kept while the caller builds on.
    pipe.reset();
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
