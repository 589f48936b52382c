// Decodes a zstd stream handed over in pieces of any size: one or more
// frames back to back, as the agent sends them and as `.zst` files hold
// them. Plain bytes go to the sink as they come, in pieces of at most
// PieceSize(); nothing is held beyond one piece. Damaged input, or a stream
// that stops inside a frame, is a ClientError of the kind given at
// construction, naming the source and the compressed byte offset.
// Not thread-safe; one decoder per stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ClientError.h"

namespace vesk {

class ZstdDecoder {
public:
    struct Sink {
        virtual void Plain(const char* data, size_t size) = 0;
    protected:
        ~Sink() = default;
    };

    ZstdDecoder(ErrorKind kind, std::string source);
    ~ZstdDecoder();
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;

    // True when data starts with a zstd frame's magic number.
    static bool IsZstd(const void* data, size_t size);
    // The plain length of the frames in data, a whole compressed file: 0
    // unless every frame states its own.
    static uint64_t PlainSize(const void* data, size_t size);
    static size_t PieceSize();

    void Feed(const void* data, size_t size, Sink& sink);
    // Feed for a caller that keeps the plain bytes in a buffer of its own:
    // decodes data into [out, out + room) until either is used up, and
    // returns the bytes of data used and of out written. Call it again with
    // no data while it fills out: the decoder may hold more.
    std::pair<size_t, size_t> Decode(const void* data, size_t size, char* out, size_t room);
    // Throws unless every frame fed so far is complete.
    void Finish() const;

    uint64_t CompressedBytes() const { return consumed; }
    uint64_t PlainBytes() const { return produced; }

private:
    [[noreturn]] void Fail(const std::string& what) const;

    struct Stream;
    std::unique_ptr<Stream> stream;
    ErrorKind kind;
    std::string source;
    std::vector<char> piece;
    uint64_t consumed = 0;
    uint64_t produced = 0;
    bool betweenFrames = true;
    bool mayHoldMore = false;  // the last call filled its output
};

// plain as one zstd frame at level 1, for bytes that arrived plain (from an
// agent that does not compress) but go into a ".zst" file.
std::string ZstdFrame(std::string_view plain);

}  // namespace vesk
