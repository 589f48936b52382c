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
#include <vector>

#include "protocol/ClientError.h"

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
    static size_t PieceSize();

    void Feed(const void* data, size_t size, Sink& sink);
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
};

// plain as one zstd frame at level 1, for bytes that arrived plain (from an
// agent that does not compress) but go into a ".zst" file.
std::string ZstdFrame(std::string_view plain);

}  // namespace vesk
