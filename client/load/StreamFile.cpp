#include "load/StreamFile.h"

#include <sys/stat.h>

#include <cstdio>
#include <string_view>
#include <vector>

#include "base/File.h"
#include "base/Parallel.h"
#include "base/ZstdDecoder.h"
#include "base/ZstdFileReader.h"

namespace vesk {

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
    // The next piece is read on a thread of its own while the caller feeds
    // the last one: the copy out of the page cache is then not the reading
    // thread's time. Waited for on every way out, by its destructor if not here.
    Beside<size_t> next;
    while (n > 0) {
        next.Start([file, &ahead] { return fread(ahead.data(), 1, ahead.size(), file); });
        done += n;
        bool more = reader.Feed(std::string_view(chunk.data(), n));
        if (onProgress) onProgress(done, total);
        n = next.Get();
        if (!more) break;
        chunk.swap(ahead);
    }
    if (ferror(file)) File::ReadFailed(path);
}

}  // namespace vesk
