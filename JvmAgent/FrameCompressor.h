// Compresses the bytes of one frame at a time into one zstd frame (with its
// checksum) and appends it, base64-encoded, to a StringBuffer, or hands it
// on as it is to a sink (a file), so that every frame decodes on its own. Used by the thread that sends a response, after
// the heap walk or the JVM's dump: never in the heap callback or at a
// safepoint. A context that cannot be had throws std::bad_alloc; a full
// buffer throws as StringBuffer does; a zstd failure throws
// std::runtime_error with zstd's message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Base64Text.h"

namespace Orlo {

class HprofSink;
class StringBuffer;

class FrameCompressor {
public:
    static constexpr int DEFAULT_LEVEL = 1;
    // Higher levels need more memory than an agent inside a JVM should take.
    static constexpr int MAX_LEVEL = 19;

    // level: 1 (fastest) to MAX_LEVEL.
    explicit FrameCompressor(int level);
    ~FrameCompressor();
    FrameCompressor(const FrameCompressor&) = delete;
    FrameCompressor& operator=(const FrameCompressor&) = delete;

    // Starts a frame whose text goes to out until End.
    void Begin(StringBuffer& out);
    // Starts a frame whose bytes go to raw until End; what raw throws passes through.
    void Begin(HprofSink& raw);
    void Add(const void* data, size_t length);
    void Add(const StringBuffer& plain);
    // Ends the zstd frame (and pads its base64 text).
    void End();

    // Totals over every frame so far.
    uint64_t PlainBytes() const { return plainBytes; }
    uint64_t CompressedBytes() const { return compressedBytes; }

private:
    // Feeds the data in (or, at the end, flushes the frame) and encodes what comes out.
    void Compress(const void* data, size_t length, bool end);

    struct Context;
    std::unique_ptr<Context> context;
    std::unique_ptr<uint8_t[]> area;  // compressed bytes on their way to base64
    size_t areaSize;
    StringBuffer* out = nullptr;
    HprofSink* raw = nullptr;
    Base64Text base64;
    uint64_t plainBytes = 0;
    uint64_t compressedBytes = 0;
};

}  // namespace Orlo
