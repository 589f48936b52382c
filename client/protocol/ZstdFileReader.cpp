#include "protocol/ZstdFileReader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol/ClientError.h"
#include "protocol/ZstdDecoder.h"

namespace vesk {

namespace {

// Blocks of plain bytes, and how many may wait for the reader: enough to
// keep both threads busy, little beside a heap's graph.
constexpr size_t BLOCK = 1 << 20;
constexpr size_t AHEAD = 4;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

File Open(const std::string& path) {
    File file(fopen(path.c_str(), "rb"));
    if (!file) throw ClientError(ErrorKind::File, "cannot open " + path + ": " + strerror(errno));
    return file;
}

[[noreturn]] void ReadFailed(const std::string& path) {
    throw ClientError(ErrorKind::File, "cannot read " + path + ": " + strerror(errno));
}

}  // namespace

bool ZstdFileReader::IsCompressed(const std::string& path) {
    File file(fopen(path.c_str(), "rb"));
    char head[4];
    return file && fread(head, 1, sizeof head, file.get()) == sizeof head && ZstdDecoder::IsZstd(head, sizeof head);
}

std::string ZstdFileReader::Head(const std::string& path, size_t size) {
    struct Keep : ZstdDecoder::Sink {
        std::string bytes;
        size_t size = 0;
        void Plain(const char* data, size_t n) override { bytes.append(data, std::min(n, size - bytes.size())); }
    } keep;
    keep.size = size;
    File file = Open(path);
    ZstdDecoder decoder(ErrorKind::File, path);
    char chunk[16 << 10];
    size_t n;
    while (keep.bytes.size() < size && (n = fread(chunk, 1, sizeof chunk, file.get())) > 0)
        decoder.Feed(chunk, n, keep);
    if (ferror(file.get())) ReadFailed(path);
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

ZstdFileReader::ZstdFileReader(const std::string& path) : path(path) {
    File file = Open(path);
    struct stat info {};
    if (fstat(fileno(file.get()), &info) == 0) compressedSize = static_cast<uint64_t>(info.st_size);
    decoder = std::thread([this, opened = file.release()] { Decode(opened); });
}

ZstdFileReader::~ZstdFileReader() {
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    changed.notify_all();
    decoder.join();
}

std::unique_ptr<ZstdFileReader::Block> ZstdFileReader::Empty() {
    std::lock_guard<std::mutex> hold(lock);
    if (spare.empty()) {
        auto block = std::make_unique<Block>();
        block->bytes.resize(BLOCK);
        return block;
    }
    std::unique_ptr<Block> block = std::move(spare.back());
    spare.pop_back();
    block->size = 0;
    return block;
}

bool ZstdFileReader::Hand(std::unique_ptr<Block>& block) {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return stopping || ready.size() < AHEAD; });
    if (stopping) return false;
    ready.push_back(std::move(block));
    changed.notify_all();
    return true;
}

void ZstdFileReader::Decode(FILE* opened) {
    File file(opened);
    std::unique_ptr<Block> block;
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
                if (!Hand(block)) return false;
                block = Empty();
            }
        };
        size_t n;
        while ((n = fread(chunk.data(), 1, chunk.size(), file.get())) > 0)
            if (!decode(chunk.data(), n)) return;
        if (ferror(file.get())) ReadFailed(path);
        zstd.Finish();
    } catch (...) {
        std::lock_guard<std::mutex> hold(lock);
        failure = std::current_exception();
    }
    std::lock_guard<std::mutex> hold(lock);
    if (block && block->size) ready.push_back(std::move(block));
    decoded = true;
    changed.notify_all();
}

std::string_view ZstdFileReader::Next(size_t most) {
    if (!current || used == current->size) {
        std::unique_lock<std::mutex> hold(lock);
        if (current) spare.push_back(std::move(current));
        changed.notify_all();
        changed.wait(hold, [&] { return !ready.empty() || decoded; });
        if (ready.empty()) {
            if (failure) std::rethrow_exception(failure);
            return {};
        }
        current = std::move(ready.front());
        ready.pop_front();
        used = 0;
        changed.notify_all();
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
