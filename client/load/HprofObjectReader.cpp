#include "load/HprofObjectReader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/ClientError.h"

namespace vesk {

namespace {

using F = HprofFormat;
using Orlo::HprofClassStatus;
using Orlo::HprofSubRecord;

// Bytes read at once: the walk from a mark over MARK_EVERY small objects fits.
constexpr uint64_t CHUNK = 64 << 10;

}  // namespace

HprofObjectReader::HprofObjectReader(const std::string& path, size_t idSize, const std::vector<HprofPiece>& pieces,
                                     const std::vector<uint64_t>& marks)
    : path(path), file(File::Open(path)), idSize(idSize), pieces(pieces), marks(marks) {}

uint64_t HprofObjectReader::ObjectCount() const {
    return pieces.empty() ? 0 : pieces.back().objectsBefore + pieces.back().objects;
}

void HprofObjectReader::Fail(uint64_t offset, const std::string& what) const {
    throw ClientError(ErrorKind::File, path + ": " + what + " at offset " + std::to_string(offset));
}

std::string HprofObjectReader::Read(uint64_t offset, uint64_t size) const {
    std::string bytes(size, '\0');
    uint64_t done = 0;
    while (done < size) {
        ssize_t n = pread(fileno(file.Get()), bytes.data() + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ClientError(ErrorKind::File, path + ": " + strerror(errno));
        if (n == 0) Fail(offset + done, "file ends");
        done += static_cast<uint64_t>(n);
    }
    return bytes;
}

HprofObjectRecord HprofObjectReader::Find(uint64_t object) const {
    auto after = std::upper_bound(pieces.begin(), pieces.end(), object,
                                  [](uint64_t n, const HprofPiece& piece) { return n < piece.objectsBefore; });
    if (after == pieces.begin() || object >= ObjectCount()) Fail(0, "no object number " + std::to_string(object));
    const HprofPiece& piece = *std::prev(after);
    uint64_t local = object - piece.objectsBefore;
    uint64_t mark = piece.firstMark + local / HprofFile::MARK_EVERY;
    if (mark >= marks.size()) Fail(piece.begin, "no mark for object number " + std::to_string(object));
    uint64_t at = marks[mark];
    uint64_t skip = local % HprofFile::MARK_EVERY;

    std::string chunk;
    uint64_t origin = 0;
    // The bytes [offset, offset + size) in chunk, read again when it lacks them.
    auto bytes = [&](uint64_t offset, uint64_t size) -> const uint8_t* {
        if (offset + size > piece.end) Fail(offset, "truncated heap dump record");
        if (offset < origin || offset + size > origin + chunk.size()) {
            origin = offset;
            chunk = Read(offset, std::min(piece.end - offset, std::max(size, CHUNK)));
        }
        return reinterpret_cast<const uint8_t*>(chunk.data()) + (offset - origin);
    };
    while (true) {
        uint8_t tag = *bytes(at, 1);
        size_t header = F::SubRecordHeader(tag, idSize);
        if (header == 0) Fail(at, "unknown heap dump record");
        HprofSubRecord record = F::DecodeSubRecord(bytes(at, header), idSize);
        if (tag == F::CLASS_DUMP) {
            size_t length = 0;
            for (uint64_t want = CHUNK;; want *= 2) {
                uint64_t available = std::min(want, piece.end - at);
                HprofClassStatus status =
                    F::WalkClassDump(bytes(at, available), available, idSize, length, [](const auto&) {});
                if (status == HprofClassStatus::OK) break;
                if (status != HprofClassStatus::TRUNCATED || available == piece.end - at) Fail(at, "bad class dump");
            }
            at += length;
            continue;
        }
        bool isObject = tag == F::INSTANCE_DUMP || tag == F::OBJ_ARRAY_DUMP || tag == F::PRIM_ARRAY_DUMP;
        if (isObject && skip-- == 0) return {tag, record.classId, record.count, record.elementType, at + header};
        at += header + record.body;
    }
}

}  // namespace vesk
