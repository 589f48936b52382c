// The fast path against expat: the same streams, cut into the same pieces,
// must give the same callbacks, verdicts, errors and byte offsets.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "heap/HeapGraph.h"
#include "load/StreamLoader.h"
#include "SnapshotStream.h"
#include "StreamTranscript.h"

using vesk::SnapshotReader;
using vesktest::SnapshotStream;
using vesktest::StreamTranscript;

namespace {

// A stream with every record shape the agent writes, over three frames.
SnapshotStream AgentStream() {
    SnapshotStream stream;
    stream.Class(0x100, "T", {"a", "b"}).Class(0x200, "T[]").Class(0x300, "java.lang.Thread");
    stream.Thread(0x400, "main");
    stream.Object(0x1001, 0x100, 24).Object(0x1002, 0x200, 32, 3).Object(0x1003, 0x100, 24);
    stream.Root(0x1001, 0x100, 24, 21).Root(0x1003, 0x100, 24, 24, 0x400).Root(0x1002, 0x200, 32, 25, 0x400);
    stream.NextFrame();
    stream.Ref(0x1001, 0x1002, 0x200, 32, 1).Ref(0x1002, 0x1003, 0x100, 24, 2, 3).Ref(0x100, 0x1001, 0x100, 24, 0, 8);
    stream.Root(0x400, 0x300, 120, 26);
    stream.NextFrame();
    stream.Object(0x1004, 0x100, 4294967296).Ref(0x1003, 0x1004, 0x100, 4294967296, 0);
    return stream;
}

std::string Replace(std::string text, const std::string& from, const std::string& to, size_t nth = 0) {
    size_t at = text.find(from);
    for (size_t i = 0; i < nth && at != std::string::npos; i++) at = text.find(from, at + 1);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// Both paths (one and two threads) give expat's transcript.
void ExpectSame(const std::string& stream, const std::vector<size_t>& cuts = {}) {
    std::string strict = StreamTranscript::Read(stream, SnapshotReader::Path::Strict, cuts);
    ASSERT_EQ(StreamTranscript::Read(stream, SnapshotReader::Path::Fast, cuts), strict) << stream;
    ASSERT_EQ(StreamTranscript::Read(stream, SnapshotReader::Path::FastTwoThreads, cuts), strict) << stream;
}

// In one piece, byte by byte, and in pieces of a few sizes.
void ExpectSameAnyCut(const std::string& stream) {
    ExpectSame(stream);
    for (size_t piece : {1, 2, 3, 7, 64, 301}) {
        std::vector<size_t> cuts;
        for (size_t at = piece; at < stream.size(); at += piece) cuts.push_back(at);
        ExpectSame(stream, cuts);
    }
}

}  // namespace

TEST(SnapshotFastPath, AgentStreamsReadAsExpatReadsThem) {
    std::string stream = AgentStream().Text();
    ExpectSameAnyCut(stream);
    std::string transcript = StreamTranscript::Read(stream, SnapshotReader::Path::Fast);
    EXPECT_NE(transcript.find("ref 25 4098 512 32 0 -1 -1 1 1024 0 119 -1\n"), std::string::npos) << transcript;
    EXPECT_NE(transcript.find("prop |$L$last.snapshot.heapwalk.duration.msec|3\n"), std::string::npos);
    EXPECT_NE(transcript.find("whole 1 header 1 complete 1 frames 4"), std::string::npos) << transcript;
}

TEST(SnapshotFastPath, ShapesTheAgentDoesNotWriteGoThroughExpat) {
    const std::string stream = AgentStream().Text();
    const std::string obj = "<obj tag=\"1003\"";
    const std::vector<std::string> variants = {
        Replace(stream, obj, "\n" + obj),                                       // whitespace between records
        Replace(stream, obj, "<!-- note -->" + obj),                            // a comment
        Replace(stream, obj, "<![CDATA[x]]>" + obj),                            // character data
        Replace(stream, obj, "<obj  tag=\"1003\""),                             // two spaces
        Replace(stream, obj, "<obj tag='1003'"),                                // other quotes
        Replace(stream, obj, "<obj tag=\"&#49;003\""),                          // a reference
        Replace(stream, obj, "<obj tag=\"1003&amp;\""),                         // an entity
        Replace(stream, obj, "<obj tag=\"ABCDEF\""),                            // upper case hex
        Replace(stream, obj, "<obj tag=\"00000000000000001003\""),              // more than 16 digits
        Replace(stream, obj, "<obj tag=\"\""),                                  // empty
        Replace(stream, obj, "<obj size=\"1\" tag=\"1003\""),                   // other order
        Replace(stream, obj, "<obj extra=\"1\" tag=\"1003\""),                  // unknown attribute
        Replace(stream, obj, "<obj tag=\"1003\" tag=\"1003\""),                 // twice
        Replace(stream, "size=\"24\"/>", "size=\"24\" />", 1),                  // space before />
        Replace(stream, "size=\"24\"/>", "size=\"24\"></obj>", 1),              // an end tag
        Replace(stream, "size=\"24\"/>", "size=\"-0024\"/>", 1),                // minus, leading zeros
        Replace(stream, "size=\"24\"/>", "size=\"99999999999999999999\"/>", 1), // 20 digits
        Replace(stream, "heaproot=\"1\"", "heaproot=\"0\""),
        Replace(stream, "heaproot=\"1\"", "heaproot=\"1\" heaproot=\"1\""),
        Replace(stream, " index=\"1\"", " index=\"1\" reftag=\"5\""),           // out of order
        Replace(stream, " index=\"1\"", " index=\"\""),
        Replace(stream, "<ref kind=\"26\"", "<ref  kind=\"26\""),
        Replace(stream, "<ref kind=\"26\"", "<reference kind=\"26\""),
        Replace(stream, "<ref kind=\"26\"", "<ref kind=\"26\" slot=\"4\" len=\"2\""),
        Replace(stream, "<status value=\"1\"/>", "<status value=\"0\"/>", 1),
        Replace(stream, "<last value=\"0\"/>", "<last value=\"1\"/>", 1),       // final too early
        Replace(stream, "<last value=\"0\"/>", "<last value=\"0\"/><prop name=\"a\" value=\"b\"/>", 1),
        Replace(stream, "<last value=\"1\"/>", "<last value=\"1\"/><prop name=\"&#1;&#200;\" value=\"&lt;\"/>"),
        Replace(stream, "<last value=\"1\"/>", "<last value=\"1\"/><prop name=\"a\tb\" value=\"c\"/>"),
        Replace(stream, "value=\"3\"/>", "value=\"3\"/><prop value=\"4\" name=\"x\"/>"),
        Replace(stream, "</vesk-resp>\n", "</vesk-resp >\n", 1),
        Replace(stream, "</vesk-resp>\n", "</vesk-resp>\n\n  \n", 1),
        Replace(stream, "<vesk-resp tag=\"1\">", "<vesk-resp tag=\"\">", 1),
        Replace(stream, "<vesk-resp tag=\"1\">", "<vesk-resp tag=\"1\" x=\"2\">", 1),
        Replace(stream, "<cmd name=\"SNAPSHOT\"><snapshot>", "<cmd name=\"GC\"><snapshot>", 1),
        Replace(stream, "<cmd name=\"SNAPSHOT\"><snapshot>", "<cmd name=\"SNAPSHOT\"><prop name=\"p\" value=\"v\"/><snapshot>", 1),
        Replace(stream, "</snapshot>", "</snapshot><snapshot></snapshot>", 1),
        Replace(stream, "</snapshot>", "</snapshotx>", 1),                       // malformed: refused at its offset
        Replace(stream, obj, "<obj tag=\"1003\"<"),
        Replace(stream, obj, "<1obj"),
        Replace(stream, obj, std::string("<obj tag=\"1\0", 12)),
        Replace(stream, obj, "\x80" + obj),
        Replace(stream, "<vesk-resp tag=\"1\"><cmd name=\"SNAPSHOT\"><snapshot><ref", "<vesk-resp tag=\"1\"><status value=\"0\"/><error msg=\"Operation cancelled by user\"/><last value=\"1\"/></vesk-resp>\n<vesk-resp tag=\"1\"><cmd name=\"SNAPSHOT\"><snapshot><ref"),
        stream + stream.substr(stream.rfind("<vesk-resp")),                      // a frame after the final one
        stream + "junk",
        stream + "\n\n",
        // a control byte in the header shifts expat's offsets: later errors must agree
        Replace(Replace(stream, "name=\"main\"", "name=\"m&#1;in\""), "</snapshot>", "</snapshotx>", 2),
    };
    for (const std::string& variant : variants) ExpectSameAnyCut(variant);
}

TEST(SnapshotFastPath, TruncatedAnywhere) {
    const std::string stream = AgentStream().Text();
    for (size_t end = 0; end <= stream.size(); end++) {
        ExpectSame(stream.substr(0, end));
        ExpectSame(stream.substr(0, end), {end / 2});
    }
}

TEST(SnapshotFastPath, RandomDamage) {
    const std::string stream = AgentStream().Text();
    std::mt19937 random(18);
    const std::string bytes = "<>/=\"' \n&#;x0aF-";
    for (int round = 0; round < 1500; round++) {
        std::string damaged = stream;
        for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; edits--) {
            size_t at = random() % damaged.size();
            char c = bytes[random() % bytes.size()];
            switch (random() % 3) {
                case 0: damaged[at] = c; break;
                case 1: damaged.insert(at, 1, c); break;
                default: damaged.erase(at, 1); break;
            }
        }
        ExpectSame(damaged, {random() % damaged.size(), damaged.size() - random() % 40});
    }
}

TEST(SnapshotFastPath, BuildsTheSameGraph) {
    const std::string stream = AgentStream().Text();
    auto load = [&](SnapshotReader::Path path) {
        vesk::StreamLoader loader;
        SnapshotReader reader(loader, SnapshotReader::Kind::Snapshot, path);
        for (size_t at = 0; at < stream.size(); at += 5) reader.Feed(std::string_view(stream).substr(at, 5));
        EXPECT_TRUE(reader.Finish()) << reader.Error();
        return loader.Finish();
    };
    vesk::HeapGraph strict = load(SnapshotReader::Path::Strict);
    vesk::HeapGraph fast = load(SnapshotReader::Path::FastTwoThreads);
    ASSERT_EQ(fast.NodeCount(), strict.NodeCount());
    ASSERT_EQ(fast.ReferenceCount(), strict.ReferenceCount());
    ASSERT_EQ(fast.Roots().size(), strict.Roots().size());
    for (vesk::NodeId node = 0; node < strict.NodeCount(); node++) {
        EXPECT_EQ(fast.Tag(node), strict.Tag(node));
        EXPECT_EQ(fast.ClassOf(node), strict.ClassOf(node));
        EXPECT_EQ(fast.ShallowSize(node), strict.ShallowSize(node));
        ASSERT_EQ(fast.EdgesEnd(node) - fast.EdgesBegin(node), strict.EdgesEnd(node) - strict.EdgesBegin(node));
        for (const vesk::HeapEdge *f = fast.EdgesBegin(node), *s = strict.EdgesBegin(node); f != fast.EdgesEnd(node); f++, s++) {
            EXPECT_EQ(f->target, s->target);
            EXPECT_EQ(f->index, s->index);
        }
    }
}

TEST(SnapshotFastPath, HandlerStopsAndThrowsOnTheSecondThread) {
    const std::string stream = AgentStream().Text();
    struct Stopper : vesk::SnapshotHandler {
        SnapshotReader* reader = nullptr;
        int objects = 0;
        void OnObject(const vesk::StreamObject&) override {
            if (++objects == 2) reader->Stop();
        }
    } stopper;
    SnapshotReader stopped(stopper, SnapshotReader::Kind::Snapshot, SnapshotReader::Path::FastTwoThreads);
    stopper.reader = &stopped;
    for (size_t at = 0; at < stream.size(); at += 3) stopped.Feed(std::string_view(stream).substr(at, 3));
    EXPECT_TRUE(stopped.Finish());
    EXPECT_EQ(stopper.objects, 2);

    struct Thrower : vesk::SnapshotHandler {
        void OnReference(const vesk::StreamRef&) override { throw std::runtime_error("full"); }
    } thrower;
    SnapshotReader reader(thrower, SnapshotReader::Kind::Snapshot, SnapshotReader::Path::FastTwoThreads);
    EXPECT_THROW(
        {
            reader.Feed(stream);
            reader.Finish();
        },
        std::runtime_error);
}
