#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "ZstdFrames.h"
#include "base/ZstdDecoder.h"
#include "base/ZstdFileReader.h"

using vesktest::ZstdFrames;

namespace {

struct Collect : vesk::ZstdDecoder::Sink {
    std::string text;
    void Plain(const char* data, size_t size) override { text.append(data, size); }
};

// Two frames, as two response frames make them, fed in awkward pieces.
TEST(ZstdDecoder, DecodesFramesBackToBackInAnyPieces) {
    std::string first(300000, 'a'), second = "<frame/>";
    for (size_t i = 0; i < first.size(); i += 7) first[i] = char('0' + i % 10);
    std::string packed = ZstdFrames(first) + ZstdFrames(second);
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
    std::string packed = ZstdFrames(std::string(100000, 'x') + "tail");
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

// A file of many frames read in pieces of every kind; cut, it hands out
// what decodes before refusing with the offset.
TEST(ZstdFileReader, HandsOutEveryPlainByteThenTheFault) {
    std::string plain;
    for (uint64_t i = 0; plain.size() < (5u << 20); i++) plain += std::to_string(i * 7919) + (i % 13 ? "," : "\n");
    std::string packed = ZstdFrames(plain, 700000);
    vesktest::TempDir dir;
    std::string whole = dir.Write("whole.zst", packed), cut = dir.Write("cut.zst", packed.substr(0, packed.size() - 5));
    EXPECT_TRUE(vesk::ZstdFileReader::IsCompressed(whole));
    EXPECT_EQ(vesk::ZstdFileReader::PlainSize(whole), plain.size());
    EXPECT_EQ(vesk::ZstdFileReader::Head(whole, 10), plain.substr(0, 10));

    vesk::ZstdFileReader reader(whole);
    std::string read(1000, '\0');
    ASSERT_EQ(reader.Read(&read[0], read.size()), read.size());
    ASSERT_EQ(reader.Skip(3 << 20), uint64_t(3) << 20);
    for (std::string_view bytes = reader.Next(); !bytes.empty(); bytes = reader.Next()) read.append(bytes);
    EXPECT_EQ(read, plain.substr(0, 1000) + plain.substr(1000 + (3 << 20)));
    EXPECT_EQ(reader.Position(), plain.size());

    vesk::ZstdFileReader broken(cut);
    uint64_t before = (plain.size() - 1) / 700000 * 700000;  // the frames before the cut one
    EXPECT_EQ(broken.Skip(before), before);
    try {
        broken.Skip(UINT64_MAX);
        FAIL();
    } catch (const vesk::ClientError& e) {
        EXPECT_EQ(e.Kind(), vesk::ErrorKind::File);
        EXPECT_NE(std::string(e.what()).find("cut.zst: the zstd data stops inside a frame at compressed byte " +
                                             std::to_string(packed.size() - 5)), std::string::npos) << e.what();
    }
}

}  // namespace
