#include "load/HprofWindow.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "load/HprofFile.h"
#include "protocol/ClientError.h"
#include "protocol/ZstdFileReader.h"

namespace vesk {

namespace {

using F = HprofFormat;
using Orlo::HprofClassEntry;
using Orlo::HprofClassStatus;
using Orlo::HprofSubRecord;

// Bytes read past what a record needs, to save calls.
constexpr size_t AHEAD = 64 << 10;

// The reader failing (the zstd data damaged or cut), as the file's failure.
template <class Step>
auto Guard(Step step) -> decltype(step()) {
    try {
        return step();
    } catch (const ClientError& e) {
        throw HprofError(e.what());
    }
}

}  // namespace

HprofWindow::HprofWindow(std::string path) : path(std::move(path)) {}

HprofWindow::~HprofWindow() {
    if (base) munmap(base, capacity);
}

void HprofWindow::Restart() {
    reader.reset();
    reader = Guard([&] { return std::make_unique<ZstdFileReader>(path); });
    origin = 0;
    have = 0;
    ended = false;
    Reserve(AHEAD);
}

void HprofWindow::DecodeRest() {
    if (reader) Guard([&] { return reader->Skip(UINT64_MAX); });
}

void HprofWindow::Reserve(size_t size) {
    if (size <= capacity) return;
    size_t grown = std::max({size, 2 * capacity, size_t(16) << 20});
    void* moved = base ? mremap(base, capacity, grown, MREMAP_MAYMOVE)
                       : mmap(nullptr, grown, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    base = static_cast<uint8_t*>(moved);
    capacity = grown;
}

bool HprofWindow::Ensure(size_t upTo) {
    if (have >= upTo) return true;
    uint64_t allowed = limit - origin;
    size_t want = static_cast<size_t>(std::min<uint64_t>(allowed, std::max(upTo, have + AHEAD)));
    if (ended || want <= have) return false;
    Reserve(want);
    have += Guard([&] { return reader->Read(base + have, want - have); });
    ended = have < want;
    return have >= upTo;
}

bool HprofWindow::PassOver(size_t upTo) {
    Reserve(upTo);
    have += static_cast<size_t>(Guard([&] { return reader->Skip(upTo - have); }));
    ended = have < upTo;
    return !ended;
}

bool HprofWindow::Drop(uint64_t size) {
    if (size <= have) {
        memmove(base, base + size, have - size);
        origin += size;
        have -= static_cast<size_t>(size);
        return true;
    }
    origin += have;
    uint64_t rest = size - have;
    have = 0;
    uint64_t skipped = Guard([&] { return reader->Skip(rest); });
    origin += skipped;
    ended = skipped < rest;
    return !ended;
}

size_t HprofWindow::Fill(size_t idSize, size_t cut) {
    size_t at = 0;
    while (origin + at < limit && !(cut && at >= cut)) {
        if (!Ensure(at + 1)) break;
        uint8_t tag = base[at];
        size_t header = F::SubRecordHeader(tag, idSize);
        if (header == 0 || !Ensure(at + header)) break;
        size_t length = 0;
        if (tag == F::CLASS_DUMP) {
            HprofClassStatus status;
            while ((status = F::WalkClassDump(base + at, have - at, idSize, length, [](const HprofClassEntry&) {})) ==
                       HprofClassStatus::TRUNCATED &&
                   Ensure(have + 1)) {
            }
            if (status != HprofClassStatus::OK) break;
        } else {
            HprofSubRecord record = F::DecodeSubRecord(base + at, idSize);
            if (tag == F::PRIM_ARRAY_DUMP && (F::TypeSize(record.elementType, idSize) == 0 || record.elementType == F::OBJECT))
                break;
            if (record.body > limit - origin - at - header) break;
            length = header + static_cast<size_t>(record.body);
            bool passOver = tag == F::PRIM_ARRAY_DUMP && have < at + length;
            if (!(passOver ? PassOver(at + length) : Ensure(at + length))) break;
        }
        at += length;
    }
    return at;
}

std::string_view HprofWindow::Keep(const uint8_t* text, size_t size) {
    if (room - kept < size) {
        room = std::max(size_t(1) << 20, size);
        texts.emplace_back(new char[room]);
        kept = 0;
    }
    char* at = texts.back().get() + kept;
    memcpy(at, text, size);
    kept += size;
    return std::string_view(at, size);
}

}  // namespace vesk
