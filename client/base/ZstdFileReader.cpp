#include "base/ZstdFileReader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/ClientError.h"
#include "base/ZstdDecoder.h"

namespace vesk {

namespace {

// Blocks of plain bytes, and how many may wait for the reader: enough to
// keep both threads busy, little beside a heap's graph.
constexpr size_t BLOCK = 1 << 20;
constexpr size_t AHEAD = 4;

}  // namespace

bool ZstdFileReader::IsCompressed(const std::string& path) {
    File file = File::TryOpen(path);
    char head[4];
    return file && fread(head, 1, sizeof head, file.Get()) == sizeof head && ZstdDecoder::IsZstd(head, sizeof head);
}

std::string ZstdFileReader::Head(const std::string& path, size_t size) {
    struct Keep : ZstdDecoder::Sink {
        std::string bytes;
        size_t size = 0;
        void Plain(const char* data, size_t n) override { bytes.append(data, std::min(n, size - bytes.size())); }
    } keep;
    keep.size = size;
    File file = File::Open(path);
    ZstdDecoder decoder(ErrorKind::File, path);
    char chunk[16 << 10];
    size_t n;
    while (keep.bytes.size() < size && (n = fread(chunk, 1, sizeof chunk, file.Get())) > 0)
        decoder.Feed(chunk, n, keep);
    if (ferror(file.Get())) File::ReadFailed(path);
    if (keep.bytes.size() < size) decoder.Finish();
    return keep.bytes;
}

uint64_t ZstdFileReader::PlainSize(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat info {};
    uint64_t plain = 0;
    if (fstat(fd, &info) == 0 && info.st_size > 0) {
        // Only the frame and block headers are read.
        size_t length = static_cast<size_t>(info.st_size);
        void* mapped = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped != MAP_FAILED) {
            plain = ZstdDecoder::PlainSize(mapped, length);
            munmap(mapped, length);
        }
    }
    close(fd);
    return plain;
}

// Every block there is is in ready, in spare, being filled or handed out:
// spare never fills.
ZstdFileReader::ZstdFileReader(const std::string& path)
    : path(path), file(File::Open(path)), ready(AHEAD), spare(AHEAD + 2) {
    struct stat info {};
    if (fstat(fileno(file.Get()), &info) == 0) compressedSize = static_cast<uint64_t>(info.st_size);
    decoder.Start([this] { Decode(); });
}

ZstdFileReader::~ZstdFileReader() {
    ready.Cancel();
    decoder.Wait();
}

std::unique_ptr<ZstdFileReader::Block> ZstdFileReader::Empty() {
    std::unique_ptr<Block> block;
    if (spare.TryPop(block)) {
        block->size = 0;
        return block;
    }
    block = std::make_unique<Block>();
    block->bytes.resize(BLOCK);
    return block;
}

void ZstdFileReader::Decode() {
    std::unique_ptr<Block> block;
    // However decoding ends, the reader gets every byte decoded before.
    auto end = [&] {
        if (block && block->size) ready.Push(block);
        ready.Close();
    };
    try {
        ZstdDecoder zstd(ErrorKind::File, path);
        std::vector<char> chunk(BLOCK);
        block = Empty();
        // Decodes in into blocks, handing on each that fills; false once
        // the reader is going. A block left unfilled means the decoder holds
        // nothing more.
        auto decode = [&](const char* in, size_t size) {
            for (;;) {
                std::pair<size_t, size_t> used =
                    zstd.Decode(in, size, block->bytes.data() + block->size, block->bytes.size() - block->size);
                in += used.first;
                size -= used.first;
                block->size += used.second;
                block->compressedEnd = zstd.CompressedBytes();
                if (block->size < block->bytes.size()) return true;
                if (!ready.Push(block)) return false;
                block = Empty();
            }
        };
        size_t n;
        while ((n = fread(chunk.data(), 1, chunk.size(), file.Get())) > 0)
            if (!decode(chunk.data(), n)) return end();
        if (ferror(file.Get())) File::ReadFailed(path);
        zstd.Finish();
    } catch (...) {
        end();
        throw;
    }
    end();
}

std::string_view ZstdFileReader::Next(size_t most) {
    if (!current || used == current->size) {
        if (current) spare.Push(current);
        if (!ready.Pop(current)) {
            decoder.Wait();  // throws what stopped the decoding
            return {};
        }
        used = 0;
    }
    size_t size = std::min(most, current->size - used);
    std::string_view bytes(current->bytes.data() + used, size);
    used += size;
    position += size;
    compressedPosition = current->compressedEnd;
    return bytes;
}

size_t ZstdFileReader::Read(void* into, size_t size) {
    size_t done = 0;
    while (done < size) {
        std::string_view bytes = Next(size - done);
        if (bytes.empty()) break;
        memcpy(static_cast<char*>(into) + done, bytes.data(), bytes.size());
        done += bytes.size();
    }
    return done;
}

uint64_t ZstdFileReader::Skip(uint64_t size) {
    uint64_t done = 0;
    while (done < size) {
        size_t step = static_cast<size_t>(std::min<uint64_t>(size - done, SIZE_MAX));
        std::string_view bytes = Next(step);
        if (bytes.empty()) break;
        done += bytes.size();
    }
    return done;
}

}  // namespace vesk
