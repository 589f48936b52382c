#include "StringBuffer.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "VeskSocket.h"

namespace Orlo {

namespace {
const char* const CAPACITY_ERROR = "Exceeded maximum supported buffer capacity";
}

StringBuffer::StringBuffer(uint64_t initial, uint64_t incr, Growth growth)
    : initialSize(initial ? initial : 512), increment(incr), growth(growth) {
    if (increment == 0) increment = initialSize / 2 ? initialSize / 2 : initialSize;
    Init();
}

StringBuffer::~StringBuffer() { Contract(); }

void StringBuffer::Init() {
    if (!segments[0]) {
        segments[0] = static_cast<char*>(malloc(initialSize));
        if (!segments[0]) {
            // Left empty and full: every append throws, Write writes nothing,
            // and a later Clear(true) tries again.
            writePos = nullptr;
            size = 0;
            currentSegment = MAX_SEGMENTS - 1;
            spaceLeft = 0;
            throw std::bad_alloc();
        }
        allocatedSegments = 1;
    }
    writePos = segments[0];
    lengths[0] = 0;
    size = 0;
    currentSegment = 0;
    spaceLeft = initialSize;
}

void StringBuffer::Clear(bool release) {
    if (release) Contract();
    Init();
}

void StringBuffer::Expand() {
    // The index only moves once the next segment exists, so a full buffer
    // stays consistent and every later append throws the same error.
    int next = currentSegment + 1;
    if (next >= MAX_SEGMENTS) throw std::length_error(CAPACITY_ERROR);
    uint64_t nextSize = SegmentSize(next);
    if (!segments[next]) {
        segments[next] = static_cast<char*>(malloc(nextSize));
        if (!segments[next]) throw std::bad_alloc();
        ++allocatedSegments;
    }
    currentSegment = next;
    lengths[next] = 0;
    writePos = segments[next];
    spaceLeft = nextSize;
}

uint64_t StringBuffer::SegmentSize(int index) const {
    uint64_t size = increment;
    if (growth == GROW_DOUBLING)
        for (int i = 1; i < index && size < MAX_DOUBLED_SEGMENT; ++i) size *= 2;
    return size;
}

void StringBuffer::Contract() {
    for (int i = 0; i < MAX_SEGMENTS && segments[i]; ++i) {
        free(segments[i]);
        segments[i] = nullptr;
        lengths[i] = 0;
    }
    allocatedSegments = 0;
}

void StringBuffer::Append(const char* text, uint64_t length) {
    if (length == 0) length = strlen(text);
    // Text semantics: a NUL inside the counted length ends the copy and the
    // rest of the count is written as NUL bytes.
    const char* nul = static_cast<const char*>(memchr(text, 0, length));
    uint64_t copy = nul ? static_cast<uint64_t>(nul - text) : length;
    uint64_t zeros = length - copy;
    while (copy > 0) {
        if (spaceLeft == 0) Expand();
        uint64_t n = copy < spaceLeft ? copy : spaceLeft;
        memcpy(writePos, text, n);
        Adjust(n);
        text += n;
        copy -= n;
    }
    while (zeros > 0) {
        if (spaceLeft == 0) Expand();
        uint64_t n = zeros < spaceLeft ? zeros : spaceLeft;
        memset(writePos, 0, n);
        Adjust(n);
        zeros -= n;
    }
    // A text that ends exactly at a segment's end opens the next one at once.
    if (spaceLeft == 0) Expand();
}

void StringBuffer::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (spaceLeft > static_cast<uint64_t>(FORMAT_AREA)) {
        int count = vsnprintf(writePos, FORMAT_AREA, format, args);
        va_end(args);
        if (count > 0) Adjust(count < FORMAT_AREA ? count : FORMAT_AREA - 1);
        return;
    }
    char area[FORMAT_AREA];
    int count = vsnprintf(area, sizeof area, format, args);
    va_end(args);
    if (count > 0) Append(area, count < FORMAT_AREA ? count : FORMAT_AREA - 1);
}

uint64_t StringBuffer::Read(FILE* stream, uint64_t limit) {
    if (limit == 0) limit = UINT64_MAX;
    uint64_t total = 0;
    while (total < limit) {
        if (spaceLeft == 0) Expand();
        uint64_t want = limit - total < spaceLeft ? limit - total : spaceLeft;
        size_t got = fread(writePos, 1, want, stream);
        if (got > 0) {
            Adjust(got);
            total += got;
        }
        if (got < want || feof(stream)) break;
    }
    return total;
}

uint64_t StringBuffer::Write(FILE* stream) const {
    uint64_t total = 0;
    for (int i = 0; i <= currentSegment && i < MAX_SEGMENTS; ++i)
        if (lengths[i] > 0) total += fwrite(segments[i], 1, lengths[i], stream);
    return total;
}

uint64_t StringBuffer::Write(VeskSocket& socket) const {
    // A blocking send may still return early (a signal); carry on with the
    // rest so that a frame never loses bytes in the middle.
    uint64_t total = 0;
    for (int i = 0; i <= currentSegment && i < MAX_SEGMENTS; ++i) {
        const char* p = segments[i];
        uint64_t left = lengths[i];
        while (left > 0) {
            int chunk = left > (1u << 30) ? (1 << 30) : static_cast<int>(left);
            int sent = 0;
            if (!socket.Write(p, chunk, &sent) || sent <= 0) break;
            p += sent;
            left -= sent;
            total += sent;
        }
    }
    return total;
}

}  // namespace Orlo
