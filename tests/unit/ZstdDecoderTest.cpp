#include <gtest/gtest.h>
#include <zstd.h>

#include <string>

#include "protocol/ZstdDecoder.h"

namespace {

std::string Compress(const std::string& plain) {
    std::string out(ZSTD_compressBound(plain.size()), '\0');
    out.resize(ZSTD_compress(out.data(), out.size(), plain.data(), plain.size(), 1));
    return out;
}

struct Collect : vesk::ZstdDecoder::Sink {
    std::string text;
    void Plain(const char* data, size_t size) override { text.append(data, size); }
};

// Two frames, as two response frames make them, fed in awkward pieces.
TEST(ZstdDecoder, DecodesFramesBackToBackInAnyPieces) {
    std::string first(300000, 'a'), second = "<frame/>";
    for (size_t i = 0; i < first.size(); i += 7) first[i] = char('0' + i % 10);
    std::string packed = Compress(first) + Compress(second);
    ASSERT_TRUE(vesk::ZstdDecoder::IsZstd(packed.data(), packed.size()));
    vesk::ZstdDecoder decoder(vesk::ErrorKind::File, "x.zst");
    Collect sink;
    for (size_t at = 0; at < packed.size(); at += 1000)
        decoder.Feed(packed.data() + at, std::min<size_t>(1000, packed.size() - at), sink);
    decoder.Finish();
    EXPECT_EQ(sink.text, first + second);
    EXPECT_EQ(decoder.CompressedBytes(), packed.size());
}

TEST(ZstdDecoder, RefusesCutAndDamagedStreamsWithTheOffset) {
    std::string packed = Compress(std::string(100000, 'x') + "tail");
    Collect sink;
    vesk::ZstdDecoder cut(vesk::ErrorKind::File, "cut.zst");
    cut.Feed(packed.data(), packed.size() - 3, sink);
    try {
        cut.Finish();
        FAIL();
    } catch (const vesk::ClientError& e) {
        EXPECT_EQ(std::string(e.what()), "cut.zst: the zstd data stops inside a frame at compressed byte " +
                                             std::to_string(packed.size() - 3));
    }
    std::string bad = packed;
    bad[0] = 'X';
    vesk::ZstdDecoder damaged(vesk::ErrorKind::Protocol, "agent");
    try {
        damaged.Feed(bad.data(), bad.size(), sink);
        FAIL();
    } catch (const vesk::ClientError& e) {
        EXPECT_EQ(e.Kind(), vesk::ErrorKind::Protocol);
        EXPECT_NE(std::string(e.what()).find("agent: damaged zstd data"), std::string::npos);
    }
}

}  // namespace
