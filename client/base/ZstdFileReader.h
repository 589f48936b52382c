// The plain bytes of a zstd-compressed file (`.vsnap.zst`, `.hprof.zst`:
// frames back to back), front to back. A thread of its own decodes a few
// MiB ahead of the reader, so that decoding and reading share two cores;
// nothing more of the file is held, whatever its size.
//
// A file that cannot be read, or whose zstd data is damaged or stops inside
// a frame, is a ClientError (File) naming the file and the compressed byte
// offset, thrown by the read that reaches the fault: every plain byte
// before it has been handed out first.
//
// One reader thread; the decoding thread ends with the object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/BoundedQueue.h"
#include "base/File.h"
#include "base/Parallel.h"

namespace vesk {

class ZstdFileReader {
public:
    // Starts decoding path; throws ClientError (File) when it cannot be opened.
    explicit ZstdFileReader(const std::string& path);
    ~ZstdFileReader();
    ZstdFileReader(const ZstdFileReader&) = delete;
    ZstdFileReader& operator=(const ZstdFileReader&) = delete;

    // Whether path begins with a zstd frame's magic number; false when it
    // cannot be read.
    static bool IsCompressed(const std::string& path);
    // The first plain bytes of path, at most size of them, decoded on the
    // caller's thread. Throws as reading does.
    static std::string Head(const std::string& path, size_t size);
    // The plain length of path when every frame states its own, else 0.
    static uint64_t PlainSize(const std::string& path);

    // The next plain bytes, at most most of them, valid until the next call;
    // empty at the end.
    std::string_view Next(size_t most = SIZE_MAX);
    // Up to size plain bytes into into; fewer only at the end.
    size_t Read(void* into, size_t size);
    // Passes over up to size plain bytes; fewer only at the end.
    uint64_t Skip(uint64_t size);

    // Plain bytes handed out or passed over.
    uint64_t Position() const { return position; }
    // Compressed bytes that the plain bytes handed out so far came from, about.
    uint64_t CompressedPosition() const { return compressedPosition; }
    uint64_t CompressedSize() const { return compressedSize; }

private:
    struct Block {
        std::vector<char> bytes;
        size_t size = 0;
        uint64_t compressedEnd = 0;
    };
    using BlockQueue = BoundedQueue<std::unique_ptr<Block>>;
    void Decode();
    std::unique_ptr<Block> Empty();

    std::string path;
    uint64_t compressedSize = 0;
    uint64_t position = 0;
    uint64_t compressedPosition = 0;
    std::unique_ptr<Block> current;
    size_t used = 0;  // of current

    File file;  // the decoding thread's
    BlockQueue ready;
    BlockQueue spare;  // handed out, back for the decoding thread to fill again
    Beside<> decoder;  // last: it starts once the rest is built
};

}  // namespace vesk
