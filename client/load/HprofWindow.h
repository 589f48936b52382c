// An HPROF file's plain bytes, read front to back into a window at a time:
// the records HprofFile opens, then whole heap dump sub-records, a piece of
// them. A plain file is read with pread, so that its pages never enter the
// process's page tables (mapping them cost more in faults and in releasing
// them than the copy); a zstd-compressed one is decoded, on the decoder's
// own thread. Primitive array bodies, which nothing reads, are passed over
// rather than read: the window is anonymous memory, so their room costs no
// pages. The window holds about a piece and the longest record besides,
// never the file.
//
// Failures to read (a plain file that cannot be opened or read; compressed
// data damaged or cut) are ClientErrors (File) naming the file, and for
// compressed data the compressed offset. For one thread at a time; several windows on
// one file may read side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

class HprofWindow {
public:
    static constexpr uint64_t NO_LIMIT = UINT64_MAX;

    HprofWindow(std::string path, bool compressed);
    ~HprofWindow();
    HprofWindow(const HprofWindow&) = delete;
    HprofWindow& operator=(const HprofWindow&) = delete;

    // Reads from the file's start again, the window empty.
    void Restart();
    // The file's plain length once started; 0 for a compressed file whose
    // frames do not state theirs.
    uint64_t Length() const;
    // Decodes the rest of a compressed file, for the compressed data's own failure.
    void DecodeRest();

    const uint8_t* Data() const { return base; }
    // Bytes in the window, read or passed over.
    size_t Size() const { return have; }
    // The plain offset of Data()[0].
    uint64_t Origin() const { return origin; }
    uint64_t OffsetOf(const uint8_t* at) const { return origin + static_cast<uint64_t>(at - base); }
    // The plain bytes ended before the limit.
    bool Ended() const { return ended; }
    // No read goes past this plain offset.
    void SetLimit(uint64_t offset) { limit = offset; }
    uint64_t Limit() const { return limit; }

    // The window's first upTo bytes present; false when the plain bytes or
    // the limit end before.
    bool Ensure(size_t upTo);
    // Drops the window up to the plain offset, restarting for an offset
    // behind it; false when the plain bytes end before.
    bool MoveTo(uint64_t offset);
    // Drops the window's first size bytes, passing over those it lacks;
    // false when the plain bytes end before.
    bool Drop(uint64_t size);
    // Reads whole sub-records from the window's start up to the limit, or,
    // when cut is not 0, up to the first that ends cut bytes or more in.
    // Returns where they end: short of both also at a bad or cut record,
    // which the caller's walk then names.
    size_t Fill(size_t idSize, size_t cut);

    // Keeps a copy of text for as long as the window.
    std::string_view Keep(const uint8_t* text, size_t size);

private:
    void Reserve(size_t size);
    bool PassOver(size_t upTo);

    class Source;
    class PlainSource;
    class ZstdSource;

    std::string path;
    bool compressed;
    std::unique_ptr<Source> source;
    uint8_t* base = nullptr;
    size_t capacity = 0;
    uint64_t origin = 0;
    size_t have = 0;
    uint64_t limit = NO_LIMIT;
    bool ended = false;
    std::vector<std::unique_ptr<char[]>> texts;
    size_t room = 0;  // bytes of texts.back()
    size_t kept = 0;  // of them used
};

}  // namespace vesk
