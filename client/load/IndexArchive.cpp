#include "load/IndexArchive.h"

#include <zstd.h>

#include <memory>
#include <utility>

#include "base/Parallel.h"

namespace vesk {

namespace {

// A fast level: writing costs little beside the analysis, and decoding runs
// at about a gigabyte a second a thread.
constexpr int LEVEL = 1;
// Pieces compressed apart, so that several threads share a large block.
constexpr size_t PIECE = size_t(4) << 20;
// Smaller blocks go with the small values.
constexpr size_t BLOCK_LEAST = size_t(64) << 10;

// A chunk as stored: this head, then its compressed bytes.
struct ChunkHead {
    uint32_t stored, plain;
    uint8_t filter, width, zero[2];
};

// Arrays of numbers compress far better as byte planes (the high bytes of
// small numbers are all alike), and sorted or clustered ones as differences
// from the item before.
enum Filter : uint8_t { NONE, PLANES, DIFFERENCES };

// Lanes of an item that differences subtract one by one.
template <class Lane>
void Subtract(const uint8_t* in, uint8_t* out, size_t n, size_t width) {
    size_t stride = width / sizeof(Lane), lanes = n / sizeof(Lane);
    for (size_t i = 0; i < lanes; i++) {
        Lane value, before = 0;
        memcpy(&value, in + i * sizeof(Lane), sizeof value);
        if (i >= stride) memcpy(&before, in + (i - stride) * sizeof(Lane), sizeof before);
        value = static_cast<Lane>(value - before);
        memcpy(out + i * sizeof(Lane), &value, sizeof value);
    }
}

template <class Lane>
void Add(uint8_t* data, size_t n, size_t width) {
    size_t stride = width / sizeof(Lane), lanes = n / sizeof(Lane);
    Lane* lane = reinterpret_cast<Lane*>(data);
    for (size_t i = stride; i < lanes; i++) lane[i] = static_cast<Lane>(lane[i] + lane[i - stride]);
}

void Differences(const uint8_t* in, uint8_t* out, size_t n, size_t width, bool undo) {
    if (width % 4 == 0) undo ? Add<uint32_t>(out, n, width) : Subtract<uint32_t>(in, out, n, width);
    else if (width % 2 == 0) undo ? Add<uint16_t>(out, n, width) : Subtract<uint16_t>(in, out, n, width);
    else undo ? Add<uint8_t>(out, n, width) : Subtract<uint8_t>(in, out, n, width);
}

// Byte j of item i to plane j, or back. Items of 2, 4 or 8 bytes go as
// numbers (plane j holding bits 8j to 8j + 7), which the compiler turns into
// vector code; the rest byte by byte.
template <class Item, size_t... J>
void Planes(const uint8_t* in, uint8_t* out, size_t items, bool undo, std::index_sequence<J...>) {
    constexpr size_t W = sizeof(Item);
    if (undo) {
        for (size_t i = 0; i < items; i++) {
            Item value = ((static_cast<Item>(in[J * items + i]) << (8 * J)) | ...);
            memcpy(out + i * W, &value, W);
        }
    } else {
        for (size_t i = 0; i < items; i++) {
            Item value;
            memcpy(&value, in + i * W, W);
            ((out[J * items + i] = static_cast<uint8_t>(value >> (8 * J))), ...);
        }
    }
}

template <class Item>
void Planes(const uint8_t* in, uint8_t* out, size_t items, bool undo) {
    Planes<Item>(in, out, items, undo, std::make_index_sequence<sizeof(Item)>());
}

void Planes(const uint8_t* in, uint8_t* out, size_t n, size_t width, bool undo) {
    size_t items = n / width;
    switch (width) {
    case 2: return Planes<uint16_t>(in, out, items, undo);
    case 4: return Planes<uint32_t>(in, out, items, undo);
    case 8: return Planes<uint64_t>(in, out, items, undo);
    }
    for (size_t i = 0; i < items; i++)
        for (size_t j = 0; j < width; j++) {
            if (undo) out[i * width + j] = in[j * items + i];
            else out[j * items + i] = in[i * width + j];
        }
}

// One chunk of n bytes: its head and compressed bytes.
std::string Encode(const uint8_t* data, size_t n, size_t width, Filter filter) {
    std::unique_ptr<uint8_t[]> filtered;
    if (filter != NONE) {
        filtered.reset(new uint8_t[n]);
        std::unique_ptr<uint8_t[]> differences;
        const uint8_t* from = data;
        if (filter == DIFFERENCES) {
            differences.reset(new uint8_t[n]);
            Differences(data, differences.get(), n, width, false);
            from = differences.get();
        }
        Planes(from, filtered.get(), n, width, false);
        data = filtered.get();
    }
    std::string chunk(sizeof(ChunkHead) + ZSTD_compressBound(n), '\0');
    size_t stored = ZSTD_compress(&chunk[sizeof(ChunkHead)], chunk.size() - sizeof(ChunkHead), data, n, LEVEL);
    if (ZSTD_isError(stored)) throw std::bad_alloc();
    ChunkHead head{static_cast<uint32_t>(stored), static_cast<uint32_t>(n), filter, static_cast<uint8_t>(width), {}};
    memcpy(&chunk[0], &head, sizeof head);
    chunk.resize(sizeof head + stored);
    return chunk;
}

}  // namespace

void IndexOut::Raw(const void* data, size_t n) {
    pending.append(static_cast<const char*>(data), n);
    if (pending.size() >= PIECE) Flush();
}

void IndexOut::Block(const void* data, size_t n, size_t width) {
    if (n < BLOCK_LEAST || width > 16) return Raw(data, n);
    Flush();
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t piece = PIECE / width * width;
    size_t pieces = (n + piece - 1) / piece;
    // The filter that serves the first piece best serves the block.
    std::string planes = Encode(bytes, std::min(n, piece), width, PLANES);
    std::string differences = Encode(bytes, std::min(n, piece), width, DIFFERENCES);
    Filter filter = planes.size() <= differences.size() ? PLANES : DIFFERENCES;
    Write(filter == PLANES ? planes : differences);
    // A few pieces at a time, each thread its own, written in order.
    unsigned threads = PassThreads();
    std::vector<std::string> chunks(2 * threads);
    for (size_t first = 1; first < pieces && !failed; first += chunks.size()) {
        size_t count = std::min(chunks.size(), pieces - first);
        ForRuns(count, threads, [](size_t) { return 1; }, [&](size_t from, size_t to) {
            for (size_t i = from; i < to; i++) {
                size_t at = (first + i) * piece;
                chunks[i] = Encode(bytes + at, std::min(piece, n - at), width, filter);
            }
        });
        for (size_t i = 0; i < count; i++) Write(chunks[i]);
        if (stop && stop()) failed = stopped = true;
    }
}

void IndexOut::Begin() {
    hash = Hash64();
    bytes = 0;
}

void IndexOut::End() { Flush(); }

void IndexOut::Flush() {
    if (pending.empty()) return;
    Write(Encode(reinterpret_cast<const uint8_t*>(pending.data()), pending.size(), 1, NONE));
    pending.clear();
}

void IndexOut::Write(const std::string& chunk) {
    if (failed) return;
    hash.Update(chunk.data(), chunk.size());
    bytes += chunk.size();
    if (fwrite(chunk.data(), 1, chunk.size(), file) != chunk.size()) failed = true;
}

IndexIn::IndexIn(std::string_view stored) {
    for (size_t at = 0; at < stored.size();) {
        ChunkHead head;
        if (stored.size() - at < sizeof head) {
            failed = true;
            return;
        }
        memcpy(&head, stored.data() + at, sizeof head);
        at += sizeof head;
        if (head.stored > stored.size() - at || head.filter > DIFFERENCES || head.width == 0 ||
            head.plain % head.width != 0) {
            failed = true;
            return;
        }
        chunks.push_back({stored.data() + at, head.stored, head.plain, head.filter, head.width});
        at += head.stored;
        left += head.plain;
    }
}

bool IndexIn::Decode(const Chunk& chunk, void* out, std::vector<uint8_t>& scratch) {
    if (chunk.filter != NONE && scratch.size() < chunk.plain) scratch.resize(chunk.plain);
    void* into = chunk.filter == NONE ? out : scratch.data();
    size_t n = ZSTD_decompress(into, chunk.plain, chunk.data, chunk.stored);
    if (ZSTD_isError(n) || n != chunk.plain) return false;
    if (chunk.filter == NONE) return true;
    uint8_t* bytes = static_cast<uint8_t*>(out);
    Planes(scratch.data(), bytes, n, chunk.width, true);
    if (chunk.filter == DIFFERENCES) Differences(bytes, bytes, n, chunk.width, true);
    return true;
}

void IndexIn::Raw(void* data, size_t n) {
    if (n > left) failed = true;
    uint8_t* p = static_cast<uint8_t*>(data);
    while (n > 0 && !failed) {
        if (smallAt == small.size()) {
            if (next == chunks.size()) {
                failed = true;
                return;
            }
            small.resize(chunks[next].plain);
            smallAt = 0;
            std::vector<uint8_t> scratch;
            if (!Decode(chunks[next++], small.data(), scratch)) failed = true;
            continue;
        }
        size_t take = std::min(n, small.size() - smallAt);
        memcpy(p, small.data() + smallAt, take);
        smallAt += take;
        p += take;
        n -= take;
        left -= take;
    }
}

void IndexIn::Block(void* data, size_t n, size_t width) {
    if (n < BLOCK_LEAST || width > 16) return Raw(data, n);
    // The writer put a block in chunks of its own.
    if (failed || smallAt != small.size() || n > left) {
        failed = true;
        return;
    }
    size_t first = next;
    std::vector<size_t> at;
    size_t sum = 0;
    for (; next < chunks.size() && sum < n; next++) {
        at.push_back(sum);
        sum += chunks[next].plain;
    }
    if (sum != n) {
        failed = true;
        return;
    }
    std::vector<char> damaged(at.size(), 0);
    ForRuns(at.size(), PassThreads(), [&](size_t i) { return chunks[first + i].plain; },
            [&](size_t from, size_t to) {
                std::vector<uint8_t> scratch;  // one a thread: its pages are faulted in once
                for (size_t i = from; i < to; i++)
                    damaged[i] = !Decode(chunks[first + i], static_cast<uint8_t*>(data) + at[i], scratch);
            });
    for (char bad : damaged) failed = failed || bad;
    left -= n;
}

}  // namespace vesk
