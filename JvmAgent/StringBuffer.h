// Segmented text buffer: grows by whole segments, never moves what it holds.
// Full (MAX_SEGMENTS in use), any append that needs more space throws
// std::length_error; what was written stays, and Clear makes it usable again.
#pragma once

#include <cstdint>
#include <cstdio>

namespace Orlo {

class VeskSocket;

class StringBuffer {
public:
    static constexpr int MAX_SEGMENTS = 100;
    static constexpr int FORMAT_AREA = 2048;
    // Doubling stops at segments of this size.
    static constexpr uint64_t MAX_DOUBLED_SEGMENT = uint64_t(1) << 30;

    // GROW_EVENLY: every segment after the first is increment long.
    // GROW_DOUBLING: each is twice the one before, up to MAX_DOUBLED_SEGMENT,
    // so that the capacity is bounded by memory rather than by the count.
    enum Growth { GROW_EVENLY, GROW_DOUBLING };

    // initialSize 0 means 512; increment 0 means half the initial size.
    explicit StringBuffer(uint64_t initialSize = 0, uint64_t increment = 0, Growth growth = GROW_EVENLY);
    ~StringBuffer();
    StringBuffer(const StringBuffer&) = delete;
    StringBuffer& operator=(const StringBuffer&) = delete;

    void Init();
    // release: give every segment back; otherwise keep them for refilling.
    void Clear(bool release);
    uint64_t Size() const { return size; }

    void Append(char c) {
        if (spaceLeft == 0) Expand();
        *writePos = c;
        Adjust(1);
    }
    // length 0: text is NUL-terminated; a NUL inside length pads the rest.
    void Append(const char* text, uint64_t length = 0);
    // printf-style; output beyond FORMAT_AREA - 1 characters is cut.
    void Format(const char* format, ...)
#if defined(__GNUC__) && !defined(_WIN32)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    uint64_t Read(FILE* stream, uint64_t limit = 0);
    uint64_t Write(FILE* stream) const;
    uint64_t Write(VeskSocket& socket) const;

    // Calls visit(data, length) for each segment holding text, in order.
    template <typename Visit>
    void ForEachSegment(Visit visit) const {
        for (int i = 0; i <= currentSegment && i < MAX_SEGMENTS; ++i)
            if (lengths[i] > 0) visit(static_cast<const char*>(segments[i]), lengths[i]);
    }

    int AllocatedSegments() const { return allocatedSegments; }
    int CurrentSegment() const { return currentSegment; }
    uint64_t SpaceLeft() const { return spaceLeft; }

private:
    void Expand();
    void Contract();
    uint64_t SegmentSize(int index) const;
    void Adjust(uint64_t n) {
        spaceLeft -= n;
        writePos += n;
        size += n;
        lengths[currentSegment] += n;
    }

    char* segments[MAX_SEGMENTS] = {};
    uint64_t lengths[MAX_SEGMENTS] = {};
    uint64_t initialSize;
    uint64_t increment;
    Growth growth;
    int allocatedSegments = 0;
    uint64_t size = 0;
    char* writePos = nullptr;
    int currentSegment = 0;
    uint64_t spaceLeft = 0;
};

}  // namespace Orlo
