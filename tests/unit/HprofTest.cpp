// The client's HPROF reader on hand-made files of both identifier sizes:
// classes, names and instance layouts; truncated and foreign files.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <unordered_map>

#include "HprofBuilder.h"
#include "HprofCounts.h"
#include "heap/DominatorTree.h"
#include "heap/HeapSummary.h"
#include "load/HprofFile.h"
#include "load/HprofLoader.h"
#include "TempDir.h"
#include "ZstdFrames.h"

using namespace vesktest;

namespace {

using F = vesk::HprofFormat;

class HprofTest : public ::testing::TestWithParam<int> {
protected:
    std::string Save(const std::string& name, const std::string& bytes) {
        std::string path = dir.File(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    TempDir dir;
};

TEST_P(HprofTest, ReadsClassesNamesAndEveryObjectOfARedactedDump) {
    std::string original = Save("in.hprof", SampleHprof(GetParam(), false));
    std::string redacted = Save("out.hprof", SampleHprof(GetParam(), true));
    HprofCounts before = CountHprof(original), after = CountHprof(redacted);
    EXPECT_EQ(before, after);
    EXPECT_EQ(after.instances, 2);
    EXPECT_EQ(after.roots, 2);
    EXPECT_EQ(after.references, 3);  // 0x1000.next and the array's two
    // Compressed, in frames of a few bytes: the same file.
    std::string packed = Save("out.hprof.zst", ZstdFrames(SampleHprof(GetParam(), true), 50));
    EXPECT_EQ(CountHprof(packed), after);

    for (const std::string& path : {redacted, packed}) {
        vesk::HprofFile file(path);
        EXPECT_EQ(file.IdSize(), static_cast<size_t>(GetParam()));
        const vesk::HprofClass* secret = file.FindClass(0x100);
        ASSERT_NE(secret, nullptr);
        EXPECT_EQ(secret->name, "Secret");
        EXPECT_EQ(secret->super, 0x200u);
        ASSERT_EQ(secret->fields.size(), 2u);
        EXPECT_EQ(secret->fields[1].name, "next");
        ASSERT_EQ(secret->statics.size(), 1u);
        EXPECT_EQ(secret->statics[0].value, 0u);
        EXPECT_EQ(file.InstanceLayout(0x100), (std::vector<uint8_t>{F::LONG, F::OBJECT, F::INT}));
    }
}

TEST_P(HprofTest, TruncatedAndForeignFilesAreRefusedWithTheOffset) {
    std::string original = SampleHprof(GetParam(), false);
    // Inside the second segment's last sub-record, inside a segment, inside a
    // record header, inside the header's numbers.
    for (size_t cut : {original.size() - 3, original.size() - original.size() / 2, size_t(40), size_t(25)}) {
        std::string path = Save("cut.hprof", original.substr(0, cut));
        EXPECT_THROW(
            {
                try {
                    vesk::HprofFile file(path);
                } catch (const vesk::ClientError& e) {
                    EXPECT_NE(std::string(e.what()).find("offset"), std::string::npos) << e.what();
                    throw;
                }
            },
            vesk::ClientError)
            << cut;
    }
    // Compressed: the cut is the zstd data's, at its compressed offset.
    std::string packed = ZstdFrames(original);
    try {
        vesk::HprofFile file(Save("cut.hprof.zst", packed.substr(0, packed.size() - 3)));
        ADD_FAILURE();
    } catch (const vesk::ClientError& e) {
        EXPECT_NE(std::string(e.what()).find("stops inside a frame at compressed byte " + std::to_string(packed.size() - 3)),
                  std::string::npos) << e.what();
    }
    std::string foreign = Save("foreign.vsnap", "<vesk-resp tag=\"1\">");
    EXPECT_FALSE(vesk::HprofFile::IsHprof(foreign));
    EXPECT_TRUE(vesk::HprofFile::IsHprof(Save("ok.hprof", original)));
    EXPECT_THROW(vesk::HprofFile file(foreign), vesk::ClientError);
}

// A heap dump of one record longer than a piece is cut into pieces that
// threads share: the graph is the one its segmented twin gives, references
// across pieces and forward ones included, roots in file order (those met
// after their object first).
TEST_P(HprofTest, OneLongRecordGivesTheGraphOfItsSegments) {
    enum : uint8_t { OBJECT = 2, BYTE = 8 };
    HprofBuilder b(GetParam());
    using Fd = HprofBuilder::Field;
    b.Utf8(1, "Link").Utf8(2, "next").Utf8(3, "[B").LoadClass(1, 0x100, 1).LoadClass(2, 0x200, 3);
    const uint64_t links = 60000;
    // Addresses out of file order; the last link's next names no object.
    auto id = [](uint64_t i) { return 0x10000000 + 16 * ((i * 7) % links); };
    std::vector<std::string> records{b.ClassDump(0x100, 0, 4, {}, {}, {Fd{2, OBJECT, ""}}),
                                     b.ClassDump(0x200, 0, 0, {}, {}, {}), b.Root(0xFF, id(links / 2))};
    for (uint64_t i = 0; i < links; i++) {
        records.push_back(b.Instance(id(i), 0x100, b.Id(i + 1 < links ? id(i + 1) : 0x8)));
        if (i % 15000 == 0) records.push_back(b.PrimitiveArray(0x20000000 + i, BYTE, 2 << 20, std::string(2 << 20, 'x')));
        if (i == links / 2) records.push_back(b.Root(0x05, id(0)));
    }
    HprofBuilder one = b, segmented = b;
    std::string all;
    for (const std::string& r : records) all += r;
    one.Record(0x0C, all);
    for (size_t i = 0; i < records.size(); i += 1000) {
        std::string part;
        for (size_t k = i; k < std::min(records.size(), i + 1000); k++) part += records[k];
        segmented.Segment(part);
    }
    ASSERT_GT(all.size(), size_t(8) << 20);
    vesk::HeapGraph graphs[3];
    graphs[0] = vesk::LoadHprofFile(Save("one.hprof", one.Bytes()));
    graphs[1] = vesk::LoadHprofFile(Save("segments.hprof", segmented.Bytes()));
    // The same, compressed in frames that cut records anywhere.
    graphs[2] = vesk::LoadHprofFile(Save("one.hprof.zst", ZstdFrames(one.Bytes(), 3000000)));

    for (const vesk::HeapGraph& g : graphs) {
        ASSERT_EQ(g.NodeCount(), 2 + links + 4);
        EXPECT_EQ(g.UnresolvedReferences(), 1u);
        ASSERT_EQ(g.Roots().size(), 4u);
        EXPECT_EQ(g.Tag(g.Roots()[0].node), id(0));  // met after its object
        EXPECT_EQ(g.Tag(g.Roots()[1].node), id(links / 2));
        std::unordered_map<uint64_t, vesk::NodeId> nodes;  // FindTag scans, once built
        for (vesk::NodeId node = 0; node < g.NodeCount(); node++) nodes.emplace(g.Tag(node), node);
        for (uint64_t i = 0; i + 1 < links; i++) {
            vesk::NodeId node = nodes.at(id(i));
            ASSERT_EQ(g.EdgesEnd(node) - g.EdgesBegin(node), 1) << i;
            ASSERT_EQ(g.Tag(g.EdgesBegin(node)->target), id(i + 1)) << i;
        }
        vesk::DominatorTree tree(g);
        EXPECT_EQ(tree.Retained(nodes.at(id(0))), links / 2 * g.ShallowSize(nodes.at(id(0))));  // up to the other root
    }
    for (const vesk::HeapGraph& other : {std::cref(graphs[1]), std::cref(graphs[2])})
        for (vesk::NodeId node = 0; node < graphs[0].NodeCount(); node++) {
            ASSERT_EQ(graphs[0].Tag(node), other.Tag(node));
            ASSERT_EQ(graphs[0].ClassOf(node), other.ClassOf(node));
            ASSERT_EQ(graphs[0].ShallowSize(node), other.ShallowSize(node));
        }
}

// A JDK 25 dump writes its filler arrays as int[] that no record names; the
// filler classes tell that it does. Empty ones stay: a live int[0] looks
// the same.
TEST_P(HprofTest, FillersLeaveEveryCountAndAreCounted) {
    enum : uint8_t { OBJECT = 2, INT = 10 };
    using Fd = HprofBuilder::Field;
    for (bool fillerClass : {true, false}) {
        HprofBuilder b(GetParam());
        b.Utf8(1, "Holder").Utf8(2, "ints").Utf8(3, "[I").Utf8(4, "jdk/internal/vm/FillerObject")
            .Utf8(5, fillerClass ? "[Ljdk/internal/vm/FillerElement;" : "[Ljava/lang/Object;")
            .LoadClass(1, 0x100, 1).LoadClass(2, 0x200, 3).LoadClass(3, 0x300, 4).LoadClass(4, 0x400, 5);
        b.Segment(b.ClassDump(0x100, 0, 4, {}, {}, {Fd{2, OBJECT, ""}}) + b.ClassDump(0x200, 0, 0, {}, {}, {}) +
                  b.ClassDump(0x300, 0, 0, {}, {}, {}) + b.ClassDump(0x400, 0, 0, {}, {}, {}) +
                  b.Root(0xFF, 0x1000) + b.Instance(0x1000, 0x100, b.Id(0x2000)) +
                  b.PrimitiveArray(0x2000, INT, 3, std::string(12, '\1')) +  // named by the holder
                  b.PrimitiveArray(0x3000, INT, 5, std::string(20, '\2')) +  // a filler, with the class
                  b.PrimitiveArray(0x4000, INT, 0, "") +                      // an empty one stays
                  b.Instance(0x5000, 0x300, ""));                               // a filler always
        vesk::HeapGraph graph = vesk::LoadHprofFile(Save("fillers.hprof", b.Bytes()));
        vesk::DominatorTree tree(graph);
        vesk::HeapSummary summary = vesk::SummarizeHeap(graph, tree);
        uint64_t fillerArray = graph.ShallowSize(graph.FindTag(0x2000)) + 8;  // two ints more
        EXPECT_EQ(graph.Fillers(), fillerClass ? 2u : 1u) << fillerClass;
        EXPECT_EQ(summary.fillers, graph.Fillers());
        EXPECT_EQ(summary.objects, graph.NodeCount() - graph.Fillers());
        EXPECT_EQ(graph.ShallowSize(graph.FindTag(0x5000)), 0u);
        std::vector<uint32_t> ints = graph.FindClasses("int[]");
        ASSERT_EQ(ints.size(), 1u);
        EXPECT_EQ(graph.Histogram()[ints[0]].instances, fillerClass ? 2 : 3);
        // The empty int[] (and without the class, the int[5]) no root reaches.
        EXPECT_EQ(summary.unreachableObjects, fillerClass ? 1u : 2u);
        ASSERT_EQ(summary.unreachableClasses.size(), 1u);
        EXPECT_EQ(summary.unreachableClasses[0].name, "int[]");
        EXPECT_EQ(static_cast<uint64_t>(summary.unreachableClasses[0].bytes), summary.unreachableBytes);
        EXPECT_GE(summary.fillerBytes, (fillerClass ? fillerArray : 0) + 8);
        std::string text = vesk::UnreachableText(summary, true, true);
        EXPECT_NE(text.find(fillerClass ? "1 objects" : "2 objects"), std::string::npos) << text;
        EXPECT_NE(text.find("left out: " + std::to_string(graph.Fillers()) + " filler objects"), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(IdSizes, HprofTest, ::testing::Values(4, 8));

}  // namespace
