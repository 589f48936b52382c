// The archive an index file is written with and read back by: values
// (anything with a Members list, strings, vectors, maps) as bytes in this
// machine's layout, compressed with zstd at a fast level, and hashed as
// stored, so that a section's checksum is known when it is written and
// checked before anything is decoded.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/Pages.h"

namespace vesk {

// A 64-bit hash over four lanes (the shape of xxHash64): several GB/s, so
// checking a section costs little beside reading it.
class Hash64 {
public:
    void Update(const void* data, size_t n) {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        total += n;
        if (held > 0) {
            size_t take = std::min(n, sizeof buffer - held);
            memcpy(buffer + held, p, take);
            held += take;
            p += take;
            n -= take;
            if (held < sizeof buffer) return;
            Block(buffer);
            held = 0;
        }
        for (; n >= sizeof buffer; p += sizeof buffer, n -= sizeof buffer) Block(p);
        memcpy(buffer, p, n);
        held = n;
    }
    uint64_t Digest() const {
        uint64_t h = total >= sizeof buffer
                         ? Rotl(lane[0], 1) + Rotl(lane[1], 7) + Rotl(lane[2], 12) + Rotl(lane[3], 18)
                         : lane[2] + P5;
        for (uint64_t v : lane) h = (h ^ Round(0, v)) * P1 + P4;
        h += total;
        for (size_t i = 0; i < held; i++) h = Rotl(h ^ buffer[i] * P5, 11) * P1;
        h ^= h >> 33;
        h *= P2;
        h ^= h >> 29;
        h *= P3;
        return h ^ (h >> 32);
    }

private:
    static constexpr uint64_t P1 = 11400714785074694791ull, P2 = 14029467366897019727ull,
                              P3 = 1609587929392839161ull, P4 = 9650029242287828579ull,
                              P5 = 2870177450012600261ull;
    static uint64_t Rotl(uint64_t x, int r) { return x << r | x >> (64 - r); }
    static uint64_t Round(uint64_t acc, uint64_t input) { return Rotl(acc + input * P2, 31) * P1; }
    void Block(const uint8_t* p) {
        uint64_t w[4];
        memcpy(w, p, sizeof w);
        for (int i = 0; i < 4; i++) lane[i] = Round(lane[i], w[i]);
    }

    uint64_t lane[4] = {P1 + P2, P2, 0, 0 - P1};
    uint8_t buffer[32];
    size_t held = 0;
    uint64_t total = 0;
};

namespace archive {

template <class T, class = void>
struct HasMembers : std::false_type {};
template <class T>
struct HasMembers<T, std::void_t<decltype(&T::template Members<Hash64>)>> : std::true_type {};
template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};
template <class T>
struct IsMap : std::false_type {};
template <class K, class V>
struct IsMap<std::map<K, V>> : std::true_type {};
template <class K, class V>
struct IsMap<std::unordered_map<K, V>> : std::true_type {};

// The values an archive handles one by one: vectors of anything else are a
// count and a block of bytes. Values with padding go member by member, so
// that no uninitialised byte reaches the file.
template <class T>
constexpr bool ITEMWISE = !std::is_trivially_copyable_v<T> || !std::has_unique_object_representations_v<T> ||
                          std::is_same_v<T, bool>;

// A value that is no bool, string, vector or map: its bytes when they are
// all its own, else its members.
template <class Archive, class T>
void Whole(Archive& archive, T& value) {
    if constexpr (!ITEMWISE<T>) archive.Raw(&value, sizeof value);
    else if constexpr (HasMembers<T>::value) value.Members(archive);
    else Members(archive, value);
}

}  // namespace archive

// Writes values as a section of chunks, each compressed by itself: small
// values gather into one chunk; a large block (a vector's items) is cut into
// pieces compressed on several threads, with a filter that suits arrays of
// numbers. hash and bytes cover the section as stored.
class IndexOut {
public:
    IndexOut(FILE* file, const std::function<bool()>& stop) : file(file), stop(stop) {}

    template <class... T>
    void operator()(T&... values) {
        (Item(values), ...);
    }
    template <class T>
    void Item(T& value) {
        if constexpr (std::is_same_v<T, bool>) {
            uint8_t byte = value ? 1 : 0;
            Raw(&byte, 1);
        } else if constexpr (std::is_same_v<T, std::string>) {
            uint64_t size = value.size();
            Raw(&size, sizeof size);
            Raw(value.data(), value.size());
        } else if constexpr (archive::IsVector<T>::value) {
            uint64_t size = value.size();
            Raw(&size, sizeof size);
            if constexpr (archive::ITEMWISE<typename T::value_type>) {
                for (auto& element : value) Item(element);
            } else {
                typedef typename T::value_type Element;
                Block(value.data(), value.size() * sizeof(Element), sizeof(Element));
            }
        } else if constexpr (archive::IsMap<T>::value) {
            uint64_t size = value.size();
            Raw(&size, sizeof size);
            for (auto& [key, mapped] : value) {
                typename T::key_type copy = key;
                Item(copy);
                Item(mapped);
            }
        } else {
            archive::Whole(*this, value);
        }
    }
    void Raw(const void* data, size_t n);
    // n bytes of items width bytes wide each.
    void Block(const void* data, size_t n, size_t width);
    // Starts a section: its length and hash from here.
    void Begin();
    // Ends a section: what is held is written.
    void End();

    FILE* file;
    const std::function<bool()>& stop;
    Hash64 hash;
    uint64_t bytes = 0;
    bool failed = false;
    bool stopped = false;

private:
    void Flush();
    void Write(const std::string& chunk);

    std::string pending;  // small values not yet written
};

// Reads a section back from its stored bytes (whose hash the caller
// checked), never past its end; fails at the first value that does not fit.
// Large blocks are decoded on several threads.
class IndexIn {
public:
    explicit IndexIn(std::string_view stored);

    template <class... T>
    void operator()(T&... values) {
        (Item(values), ...);
    }
    template <class T>
    void Item(T& value) {
        if (failed) return;
        if constexpr (std::is_same_v<T, bool>) {
            uint8_t byte = 0;
            Raw(&byte, 1);
            value = byte != 0;
        } else if constexpr (std::is_same_v<T, std::string>) {
            uint64_t size = Count(1);
            value.resize(size);
            Raw(value.data(), size);
        } else if constexpr (archive::IsVector<T>::value) {
            typedef typename T::value_type Element;
            uint64_t size = Count(archive::ITEMWISE<Element> ? 1 : sizeof(Element));
            value.clear();
            value.shrink_to_fit();
            value.reserve(size);
            // Most of the time reading an index goes to faulting in the
            // pages of the arrays it fills: huge pages make that 512 times fewer.
            AdviseHugePages(value.data(), size * sizeof(Element));
            value.resize(size);
            if constexpr (archive::ITEMWISE<Element>) {
                for (auto& element : value) Item(element);
            } else {
                Block(value.data(), size * sizeof(Element), sizeof(Element));
            }
        } else if constexpr (archive::IsMap<T>::value) {
            uint64_t size = Count(1);
            value.clear();
            for (uint64_t i = 0; i < size && !failed; i++) {
                typename T::key_type key{};
                typename T::mapped_type mapped{};
                Item(key);
                Item(mapped);
                value.emplace(std::move(key), std::move(mapped));
            }
        } else {
            archive::Whole(*this, value);
        }
    }
    void Raw(void* data, size_t n);
    // n bytes of items width bytes wide each, as IndexOut::Block wrote them.
    void Block(void* data, size_t n, size_t width);
    // A stored count of items of at least unit bytes each, refused when the
    // section cannot hold that many (so damage never asks for huge memory).
    uint64_t Count(size_t unit) {
        uint64_t count = 0;
        Raw(&count, sizeof count);
        if (failed || count > left / unit) {
            failed = true;
            return 0;
        }
        return count;
    }
    // The section was read to its end.
    bool Whole() const { return !failed && left == 0; }

    uint64_t left = 0;  // decoded bytes not yet read
    bool failed = false;

private:
    struct Chunk {
        const char* data;
        uint32_t stored, plain;
        uint8_t filter, width;
    };
    // Decodes chunk into out (chunk.plain bytes), filtered ones through
    // scratch; false when it is damaged.
    static bool Decode(const Chunk& chunk, void* out, std::vector<uint8_t>& scratch);

    std::vector<Chunk> chunks;
    size_t next = 0;  // the first chunk not yet decoded
    std::string small;  // the last chunk Raw decoded
    size_t smallAt = 0;
};

}  // namespace vesk
