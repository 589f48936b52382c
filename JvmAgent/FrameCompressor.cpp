#include "FrameCompressor.h"

#include <zstd.h>

#include <new>
#include <stdexcept>
#include <string>

#include "HprofRedactor.h"
#include "StringBuffer.h"

namespace Orlo {

struct FrameCompressor::Context {
    ZSTD_CCtx* handle = ZSTD_createCCtx();
    ~Context() { ZSTD_freeCCtx(handle); }
};

static void Check(size_t result) {
    if (ZSTD_isError(result)) throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(result));
}

FrameCompressor::FrameCompressor(int level)
    : context(new Context), area(new uint8_t[ZSTD_CStreamOutSize()]), areaSize(ZSTD_CStreamOutSize()) {
    if (!context->handle) throw std::bad_alloc();
    Check(ZSTD_CCtx_setParameter(context->handle, ZSTD_c_compressionLevel, level));
    Check(ZSTD_CCtx_setParameter(context->handle, ZSTD_c_checksumFlag, 1));
}

FrameCompressor::~FrameCompressor() = default;

void FrameCompressor::Begin(StringBuffer& text) {
    // A frame left unfinished by an exception starts over.
    Check(ZSTD_CCtx_reset(context->handle, ZSTD_reset_session_only));
    base64 = Base64Text();
    out = &text;
    raw = nullptr;
}

void FrameCompressor::Begin(HprofSink& sink) {
    Check(ZSTD_CCtx_reset(context->handle, ZSTD_reset_session_only));
    out = nullptr;
    raw = &sink;
}

void FrameCompressor::Add(const void* data, size_t length) {
    plainBytes += length;
    Compress(data, length, false);
}

void FrameCompressor::Add(const StringBuffer& plain) {
    plain.ForEachSegment([this](const char* data, uint64_t length) { Add(data, static_cast<size_t>(length)); });
}

void FrameCompressor::End() {
    Compress(nullptr, 0, true);
    if (out) base64.Finish(*out);
    out = nullptr;
    raw = nullptr;
}

void FrameCompressor::Compress(const void* data, size_t length, bool end) {
    ZSTD_inBuffer in{data, length, 0};
    for (;;) {
        ZSTD_outBuffer packed{area.get(), areaSize, 0};
        size_t left = ZSTD_compressStream2(context->handle, &packed, &in, end ? ZSTD_e_end : ZSTD_e_continue);
        Check(left);
        compressedBytes += packed.pos;
        if (raw)
            raw->Write(area.get(), packed.pos);
        else
            base64.Append(*out, area.get(), packed.pos);
        // Ending: until zstd has nothing left to flush; else until the input is taken.
        if (end ? left == 0 : in.pos == in.size) return;
    }
}

}  // namespace Orlo
