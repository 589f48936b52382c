#include "protocol/SnapshotFastPath.h"

// Hex values are read 16 bytes at a time where SSE2 is there.
#if defined(__SSE2__) && defined(__GNUC__) && defined(__x86_64__)
#define VESK_HEX_SSE2 1
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>

#include "VeskProtocol.h"
#include "protocol/RecordPipe.h"

namespace vesk {

namespace wire = Orlo::Protocol;

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

typedef int FastStep;  // SnapshotFastPath::Step, for the helpers below
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

SnapshotFastPath::Step SnapshotFastPath::Record(const char*& p, const char* end) {
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

SnapshotFastPath::Step SnapshotFastPath::Reference(const char*& p, const char* end) {
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

SnapshotFastPath::Step SnapshotFastPath::Property(const char*& p, const char* end) {
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

SnapshotFastPath::Step SnapshotFastPath::Token(const char*& p, const char* end) {
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

size_t SnapshotFastPath::Scan(const char* begin, size_t size, size_t stopAt, Step& outcome) {
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

std::string_view SnapshotFastPath::Read(std::string_view in, std::string& joined) {
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

}  // namespace vesk
