#include "load/HprofWindow.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "base/ClientError.h"
#include "base/File.h"
#include "base/ZstdFileReader.h"
#include "load/HprofFile.h"

namespace vesk {

namespace {

using F = HprofFormat;
using Orlo::HprofClassEntry;
using Orlo::HprofClassStatus;
using Orlo::HprofSubRecord;

// Bytes read past what a record needs, to save calls.
constexpr size_t AHEAD = 64 << 10;

}  // namespace

// Where the window's bytes come from, front to back.
class HprofWindow::Source {
public:
    virtual ~Source() = default;
    // Up to size bytes into into; fewer only at the end.
    virtual size_t Read(uint8_t* into, size_t size) = 0;
    // Passes over up to size bytes; fewer only at the end.
    virtual uint64_t Skip(uint64_t size) = 0;
    virtual uint64_t Length() const = 0;
};

class HprofWindow::PlainSource : public Source {
public:
    explicit PlainSource(const std::string& path) : path(path) {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw ClientError(ErrorKind::File, "cannot open " + path + ": " + strerror(errno));
        struct stat st;
        if (fstat(fd, &st) != 0 || st.st_size == 0) {
            close(fd);
            throw ClientError(ErrorKind::File, path + ": empty or unreadable");
        }
        size = static_cast<uint64_t>(st.st_size);
    }
    ~PlainSource() override { close(fd); }

    size_t Read(uint8_t* into, size_t want) override {
        size_t got = 0;
        while (got < want) {
            ssize_t n = pread(fd, into + got, want - got, static_cast<off_t>(position));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) File::ReadFailed(path);
            if (n == 0) break;
            got += static_cast<size_t>(n);
            position += static_cast<uint64_t>(n);
        }
        return got;
    }
    uint64_t Skip(uint64_t want) override {
        uint64_t skipped = std::min(want, size > position ? size - position : 0);
        position += skipped;
        return skipped;
    }
    uint64_t Length() const override { return size; }

private:
    std::string path;
    int fd = -1;
    uint64_t size = 0;
    uint64_t position = 0;
};

class HprofWindow::ZstdSource : public Source {
public:
    explicit ZstdSource(const std::string& path)
        : reader(std::make_unique<ZstdFileReader>(path)), length(ZstdFileReader::PlainSize(path)) {}
    size_t Read(uint8_t* into, size_t size) override { return reader->Read(into, size); }
    uint64_t Skip(uint64_t size) override { return reader->Skip(size); }
    uint64_t Length() const override { return length; }

private:
    std::unique_ptr<ZstdFileReader> reader;
    uint64_t length;
};

HprofWindow::HprofWindow(std::string path, bool compressed) : path(std::move(path)), compressed(compressed) {}

HprofWindow::~HprofWindow() {
    if (base) munmap(base, capacity);
}

void HprofWindow::Restart() {
    source.reset();
    if (compressed) source = std::make_unique<ZstdSource>(path);
    else source = std::make_unique<PlainSource>(path);
    origin = 0;
    have = 0;
    ended = false;
    Reserve(AHEAD);
}

bool HprofWindow::MoveTo(uint64_t offset) {
    if (!source || offset < origin) Restart();
    return Drop(offset - origin);
}

uint64_t HprofWindow::Length() const { return source ? source->Length() : 0; }

void HprofWindow::DecodeRest() {
    if (source && compressed) source->Skip(UINT64_MAX);
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
    have += source->Read(base + have, want - have);
    ended = have < want;
    return have >= upTo;
}

bool HprofWindow::PassOver(size_t upTo) {
    Reserve(upTo);
    have += static_cast<size_t>(source->Skip(upTo - have));
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
    uint64_t skipped = source->Skip(rest);
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
