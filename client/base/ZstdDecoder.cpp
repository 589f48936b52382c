#include "base/ZstdDecoder.h"

#include <zstd.h>

#include <algorithm>
#include <stdexcept>

namespace vesk {

struct ZstdDecoder::Stream {
    ZSTD_DStream* handle = ZSTD_createDStream();
    ~Stream() { ZSTD_freeDStream(handle); }
};

ZstdDecoder::ZstdDecoder(ErrorKind kind, std::string source)
    : stream(new Stream), kind(kind), source(std::move(source)), piece(PieceSize()) {
    if (!stream->handle) throw std::bad_alloc();
}

ZstdDecoder::~ZstdDecoder() = default;

bool ZstdDecoder::IsZstd(const void* data, size_t size) {
    static const unsigned char magic[4] = {0x28, 0xB5, 0x2F, 0xFD};
    return size >= 4 && std::equal(magic, magic + 4, static_cast<const unsigned char*>(data));
}

size_t ZstdDecoder::PieceSize() { return ZSTD_DStreamOutSize(); }

void ZstdDecoder::Feed(const void* data, size_t size, Sink& sink) {
    const char* in = static_cast<const char*>(data);
    do {
        std::pair<size_t, size_t> used = Decode(in, size, piece.data(), piece.size());
        in += used.first;
        size -= used.first;
        if (used.second) sink.Plain(piece.data(), used.second);
    } while (size || mayHoldMore);
}

std::pair<size_t, size_t> ZstdDecoder::Decode(const void* data, size_t size, char* out, size_t room) {
    ZSTD_inBuffer in{data, size, 0};
    ZSTD_outBuffer plain{out, room, 0};
    // A full output may leave decoded bytes inside the decoder even after
    // the input is used up.
    while (plain.pos < plain.size && (in.pos < in.size || mayHoldMore)) {
        size_t before = in.pos, written = plain.pos;
        size_t hint = ZSTD_decompressStream(stream->handle, &plain, &in);
        consumed += in.pos - before;
        if (ZSTD_isError(hint)) Fail(std::string("damaged zstd data (") + ZSTD_getErrorName(hint) + ")");
        produced += plain.pos - written;
        betweenFrames = hint == 0;
        mayHoldMore = plain.pos == plain.size;
    }
    return {in.pos, plain.pos};
}

uint64_t ZstdDecoder::PlainSize(const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    uint64_t plain = 0;
    while (size) {
        unsigned long long frame = ZSTD_getFrameContentSize(at, size);
        size_t length = ZSTD_findFrameCompressedSize(at, size);
        if (frame == ZSTD_CONTENTSIZE_UNKNOWN || frame == ZSTD_CONTENTSIZE_ERROR || ZSTD_isError(length)) return 0;
        plain += frame;
        at += length;
        size -= length;
    }
    return plain;
}

void ZstdDecoder::Finish() const {
    if (!betweenFrames) Fail("the zstd data stops inside a frame");
}

void ZstdDecoder::Fail(const std::string& what) const {
    throw ClientError(kind, source + ": " + what + " at compressed byte " + std::to_string(consumed));
}

std::string ZstdFrame(std::string_view plain) {
    std::string packed(ZSTD_compressBound(plain.size()), '\0');
    size_t size = ZSTD_compress(packed.data(), packed.size(), plain.data(), plain.size(), 1);
    if (ZSTD_isError(size)) throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(size));
    packed.resize(size);
    return packed;
}

}  // namespace vesk
