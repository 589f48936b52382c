// Compressed test input: plain bytes as zstd frames back to back, each of
// frameSize plain bytes or fewer (one frame by default), as the agent sends
// them and as the zstd command writes files.
#pragma once

#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace vesktest {

inline std::string ZstdFrames(const std::string& plain, size_t frameSize = SIZE_MAX) {
    std::string out;
    size_t at = 0;
    do {
        size_t size = std::min(frameSize, plain.size() - at);
        std::string frame(ZSTD_compressBound(size), '\0');
        frame.resize(ZSTD_compress(&frame[0], frame.size(), plain.data() + at, size, 1));
        out += frame;
        at += size;
    } while (at < plain.size());
    return out;
}

}  // namespace vesktest
