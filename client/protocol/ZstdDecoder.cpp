#include "protocol/ZstdDecoder.h"

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
    ZSTD_inBuffer in{data, size, 0};
    bool full = false;
    // A full output piece may leave decoded bytes inside the decoder even
    // after the input is used up.
    while (in.pos < in.size || full) {
        ZSTD_outBuffer out{piece.data(), piece.size(), 0};
        size_t before = in.pos;
        size_t hint = ZSTD_decompressStream(stream->handle, &out, &in);
        consumed += in.pos - before;
        if (ZSTD_isError(hint)) Fail(std::string("damaged zstd data (") + ZSTD_getErrorName(hint) + ")");
        if (out.pos) {
            produced += out.pos;
            sink.Plain(piece.data(), out.pos);
        }
        betweenFrames = hint == 0;
        full = out.pos == out.size;
    }
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
