#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "BufferText.h"
#include "StringBuffer.h"

using Orlo::StringBuffer;

using vesktest::BufferText;

TEST(StringBufferTest, DefaultSizes) {
    StringBuffer zero(0, 0);
    EXPECT_EQ(zero.SpaceLeft(), 512u);
    zero.Append(std::string(512, 'a').c_str());
    EXPECT_EQ(zero.CurrentSegment(), 1);
    EXPECT_EQ(zero.SpaceLeft(), 256u);

    StringBuffer tiny(1, 0);
    tiny.Append("abc");
    EXPECT_EQ(tiny.Size(), 3u);
    EXPECT_EQ(tiny.CurrentSegment(), 3);  // exact fill opens the next segment
    EXPECT_EQ(BufferText(tiny), "abc");
}

TEST(StringBufferTest, ExactFillOpensNextSegmentAndCountsOnlyAppended) {
    StringBuffer buffer(8, 4);
    buffer.Append("12345678");
    EXPECT_EQ(buffer.CurrentSegment(), 1);
    EXPECT_EQ(buffer.Size(), 8u);
    buffer.Append('9');
    EXPECT_EQ(BufferText(buffer), "123456789");
}

TEST(StringBufferTest, LongTextSplitsAcrossSegmentsInOrder) {
    StringBuffer buffer(10, 7);
    std::string text;
    for (int i = 0; i < 100; ++i) text += static_cast<char>('a' + i % 26);
    buffer.Append(text.c_str());
    buffer.Append("tail", 4);
    EXPECT_EQ(buffer.Size(), 104u);
    EXPECT_EQ(BufferText(buffer), text + "tail");
}

TEST(StringBufferTest, NulInsideCountedLengthPadsWithNul) {
    StringBuffer buffer(4, 4);
    buffer.Append("ab\0cdef", 7);
    std::string expected("ab\0\0\0\0\0", 7);
    EXPECT_EQ(BufferText(buffer), expected);
}

TEST(StringBufferTest, CapacityLimitThrowsAndClearRecovers) {
    StringBuffer buffer(4, 4);
    std::string chunk(4, 'x');
    for (int i = 0; i < 99; ++i) buffer.Append(chunk.c_str());
    EXPECT_EQ(buffer.CurrentSegment(), 99);
    try {
        buffer.Append(chunk.c_str());
        FAIL() << "expected length_error";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "Exceeded maximum supported buffer capacity");
    }
    EXPECT_EQ(buffer.Size(), 400u);  // bytes before the throw stay
    EXPECT_THROW(buffer.Append('y'), std::length_error);
    EXPECT_EQ(BufferText(buffer).size(), 400u);

    buffer.Clear(true);
    buffer.Append("ok");
    EXPECT_EQ(BufferText(buffer), "ok");
    EXPECT_EQ(buffer.AllocatedSegments(), 1);
}

TEST(StringBufferTest, DoublingSegmentsOutgrowTheEvenLimit) {
    StringBuffer buffer(4, 4, StringBuffer::GROW_DOUBLING);
    std::string text(100000, 'd');  // far beyond 100 even segments of 4
    buffer.Append(text.c_str());
    EXPECT_EQ(BufferText(buffer), text);
    EXPECT_LT(buffer.CurrentSegment(), 20);
    buffer.Clear(false);  // kept segments keep their sizes
    buffer.Append(text.c_str());
    EXPECT_EQ(BufferText(buffer), text);
}

TEST(StringBufferTest, ClearKeepsSegmentsForReuse) {
    StringBuffer buffer(4, 4);
    buffer.Append("0123456789abc");
    int allocated = buffer.AllocatedSegments();
    buffer.Clear(false);
    EXPECT_EQ(buffer.Size(), 0u);
    buffer.Append("zyxwvutsrqpon");
    EXPECT_EQ(buffer.AllocatedSegments(), allocated);
    EXPECT_EQ(BufferText(buffer), "zyxwvutsrqpon");
}

TEST(StringBufferTest, FormatBoundsAndEmptyOutput) {
    StringBuffer buffer(16, 16);
    buffer.Format("%s", "");
    EXPECT_EQ(buffer.Size(), 0u);
    buffer.Format("<n v=\"%d\"/>", -42);
    EXPECT_EQ(BufferText(buffer), "<n v=\"-42\"/>");

    // Output past the formatting area is cut, never written beyond it.
    StringBuffer big(1 << 16, 0);
    std::string longText(5000, 'q');
    big.Format("%s", longText.c_str());
    EXPECT_EQ(big.Size(), 2047u);
    StringBuffer small(64, 64);
    small.Format("%s", longText.c_str());
    EXPECT_EQ(small.Size(), 2047u);
}

TEST(StringBufferTest, ReadWholeFileAcrossSegmentsAndEmptyFile) {
    std::string data;
    for (int i = 0; i < 5000; ++i) data += static_cast<char>(i % 251);
    FILE* f = tmpfile();
    fwrite(data.data(), 1, data.size(), f);
    rewind(f);
    StringBuffer buffer(1024, 512);
    buffer.Append("head");
    EXPECT_EQ(buffer.Read(f, 0), data.size());
    EXPECT_EQ(BufferText(buffer), "head" + data);
    fclose(f);

    FILE* empty = tmpfile();
    StringBuffer other(16, 0);
    EXPECT_EQ(other.Read(empty, 0), 0u);
    EXPECT_EQ(other.Size(), 0u);
    fclose(empty);

    FILE* limited = tmpfile();
    fwrite("0123456789", 1, 10, limited);
    rewind(limited);
    StringBuffer part(4, 4);
    EXPECT_EQ(part.Read(limited, 6), 6u);
    EXPECT_EQ(BufferText(part), "012345");
    fclose(limited);
}
