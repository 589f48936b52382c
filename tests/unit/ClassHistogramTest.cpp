#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "heap/ClassHistogram.h"
#include "protocol/SnapshotReader.h"

using vesk::ClassTotals;

namespace {

// The header frame's class records of a stream fed in pieces of any size.
class HistogramReader : public vesk::SnapshotHandler {
public:
    static constexpr size_t MAX_ELEMENT = vesk::SnapshotReader::MAX_ELEMENT;

    HistogramReader() : reader(*this) {}
    void Feed(std::string_view bytes) { reader.Feed(bytes); }
    bool Done() const { return reader.HeaderDone() || reader.Failed(); }
    bool HeaderDone() const { return reader.HeaderDone(); }
    bool Failed(std::string* message) const {
        if (reader.Failed() && message) *message = reader.Error();
        return reader.Failed();
    }
    std::vector<ClassTotals> Histogram() const { return vesk::SortHistogram(classes); }

    void OnClass(vesk::StreamClass& cls) override { classes.push_back({std::move(cls.name), cls.instances, cls.bytes}); }
    void OnHeaderEnd() override { reader.Stop(); }

private:
    std::vector<ClassTotals> classes;
    vesk::SnapshotReader reader;
};

const char HEADER[] =
    "<vesk-resp tag=\"1\"><cmd name=\"RUNTIME\"><prop name=\"cpu-count\" value=\"2\"/><status value=\"1\"/></cmd>"
    "<cmd name=\"SNAPSHOT\"><prop name=\"total-objs\" value=\"9\"/><snapshot>"
    "<class clstag=\"7f00a0\" name=\"java.lang.Object\" totalinst=\"2\" totalsize=\"32\" methods=\"1\">"
    "<mthd mthdtag=\"1\" name=\"wait\" sig=\"()V\"/></class>"
    "<class clstag=\"7f00f0\" name=\"snap.A&lt;T&gt; &quot;q&quot; &#233;\" sprclstag=\"7f00a0\" totalinst=\"3\" "
    "totalsize=\"72\" fields=\"1\"><field fldtag=\"5\" name=\"x\" index=\"0\"/></class>"
    "<class clstag=\"7f0140\" name=\"byte[]\" totalinst=\"1\" totalsize=\"72\"/>"
    "<class clstag=\"7f0190\" name=\"snap.Unused\" totalinst=\"0\" totalsize=\"0\"/>"
    "<thread thrdtag=\"7f0200\" name=\"main\" state=\"5\"/>"
    "</snapshot><status value=\"1\"/></cmd><last value=\"0\"/></vesk-resp>\n";
const char FILE_FRAME[] =
    "<vesk-resp tag=\"1\"><cmd name=\"SNAPSHOT\"><snapshot><obj tag=\"7f1000\" clstag=\"7f00f0\" size=\"24\"/>"
    "<class clstag=\"1\" name=\"late\" totalinst=\"99\" totalsize=\"99\"/></snapshot><status value=\"1\"/></cmd>"
    "<last value=\"1\"/><prop name=\"$L$x\" value=\"1\"/></vesk-resp>\n";

std::vector<ClassTotals> ReadInPieces(const std::string& stream, size_t piece) {
    HistogramReader reader;
    for (size_t at = 0; at < stream.size() && !reader.Done(); at += piece)
        reader.Feed(std::string_view(stream).substr(at, piece));
    EXPECT_TRUE(reader.HeaderDone());
    EXPECT_FALSE(reader.Failed(nullptr));
    return reader.Histogram();
}

std::string Print(const std::vector<ClassTotals>& rows, size_t maxRows = SIZE_MAX, bool exact = true) {
    FILE* out = tmpfile();
    vesk::PrintHistogram(out, rows, maxRows, exact);
    std::string text(static_cast<size_t>(ftell(out)), '\0');
    rewind(out);
    EXPECT_EQ(fread(&text[0], 1, text.size(), out), text.size());
    fclose(out);
    return text;
}

}  // namespace

TEST(ClassHistogram, HeaderClassesSortedByBytesWhateverThePieceSize) {
    std::string stream = std::string(HEADER) + FILE_FRAME;
    std::vector<ClassTotals> whole = ReadInPieces(stream, stream.size());
    ASSERT_EQ(whole.size(), 3u);  // the class without instances is left out
    // Equal bytes: more instances first; records after the header frame are not read.
    EXPECT_EQ(whole[0].name, "snap.A<T> \"q\" \xE9");
    EXPECT_EQ(whole[0].instances, 3);
    EXPECT_EQ(whole[0].bytes, 72);
    EXPECT_EQ(whole[1].name, "byte[]");
    EXPECT_EQ(whole[2].name, "java.lang.Object");
    for (size_t piece : {1, 7, 4096}) {
        std::vector<ClassTotals> rows = ReadInPieces(stream, piece);
        ASSERT_EQ(rows.size(), whole.size()) << piece;
        for (size_t i = 0; i < rows.size(); i++) {
            EXPECT_EQ(rows[i].name, whole[i].name) << piece;
            EXPECT_EQ(rows[i].bytes, whole[i].bytes) << piece;
        }
    }
}

TEST(ClassHistogram, ErrorFramesAndForeignInputFail) {
    HistogramReader cancelled;
    cancelled.Feed("<vesk-resp tag=\"1\"><status value=\"0\"/><error msg=\"Operation cancelled by user\"/>"
                   "<last value=\"1\"/></vesk-resp>\n");
    std::string message;
    EXPECT_TRUE(cancelled.Done());
    EXPECT_TRUE(cancelled.Failed(&message));
    EXPECT_EQ(message, "the agent reported: Operation cancelled by user");

    HistogramReader truncated;  // the header frame never ends
    truncated.Feed(std::string(HEADER).substr(0, 400));
    EXPECT_FALSE(truncated.Done());
    EXPECT_FALSE(truncated.Failed(nullptr));

    HistogramReader runtimeOnly;  // a frame without a snapshot is no header
    runtimeOnly.Feed("<vesk-resp tag=\"1\"><cmd name=\"RUNTIME\"><status value=\"1\"/></cmd><last value=\"1\"/></vesk-resp>\n");
    EXPECT_FALSE(runtimeOnly.HeaderDone());

    HistogramReader binary;  // an endless element does not grow without bound
    std::string junk(1 << 20, 'x');
    junk[0] = '<';
    for (size_t i = 0; i <= HistogramReader::MAX_ELEMENT / junk.size() && !binary.Done(); i++) binary.Feed(junk);
    EXPECT_TRUE(binary.Failed(&message));
    EXPECT_NE(message.find("not a snapshot stream"), std::string::npos);
}

TEST(ClassHistogram, QuotedGreaterThanDoesNotEndAnElement) {
    HistogramReader reader;
    reader.Feed("<vesk-resp tag=\"1\"><cmd name=\"SNAPSHOT\"><snapshot>"
                "<class clstag=\"1\" name=\"odd>name\" totalinst=\"4\" totalsize=\"64\"/>"
                "</snapshot></cmd><last value=\"0\"/></vesk-resp>\n");
    ASSERT_TRUE(reader.HeaderDone());
    ASSERT_EQ(reader.Histogram().size(), 1u);
    EXPECT_EQ(reader.Histogram()[0].name, "odd>name");
    EXPECT_EQ(reader.Histogram()[0].instances, 4);
}

TEST(ClassHistogram, PrintsTheJdkHistogramColumns) {
    EXPECT_EQ(Print({{"byte[]", 6371, 595496}, {"java.lang.String", 5991, 143784}}),
              " num     #instances         #bytes  class name\n"
              "----------------------------------------------\n"
              "   1:          6371         595496  byte[]\n"
              "   2:          5991         143784  java.lang.String\n"
              "Total         12362         739280\n");
    EXPECT_EQ(Print({}),
              " num     #instances         #bytes  class name\n"
              "----------------------------------------------\n"
              "Total             0              0\n");
    // The first rows in binary units; the Total counts every class.
    EXPECT_EQ(Print({{"byte[]", 6371, 595496}, {"java.lang.String", 5991, 143784}, {"A", 1, 16}}, 1, false),
              " num     #instances         #bytes  class name\n"
              "----------------------------------------------\n"
              "   1:          6371      581.5 KiB  byte[]\n"
              "Total         12363      722.0 KiB\n");
}

// A hidden class reads as the JVM's histogram spells it, from a JVMTI
// signature or a heap dump alike; other names are left alone.
TEST(ClassHistogram, HiddenClassesAreSpelledAsTheJvmsHistogramSpellsThem) {
    EXPECT_EQ(vesk::JvmClassName("app.Main$$Lambda$14.0x0000000800c03000"), "app.Main$$Lambda$14/0x0000000800c03000");
    EXPECT_EQ(vesk::JvmClassName("app.Main$$Lambda+0x0000000036040210[][]"), "app.Main$$Lambda/0x0000000036040210[][]");
    EXPECT_EQ(vesk::JvmClassName("app.Main$$Lambda/0x0000000036040210"), "app.Main$$Lambda/0x0000000036040210");
    for (const char* name : {"java.lang.String", "a.b0x1f", "a.0xz", "0x12", "int[]", "x.0x"})
        EXPECT_EQ(vesk::JvmClassName(name), name);
}
