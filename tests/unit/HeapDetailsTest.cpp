// What an input tells of its objects besides the graph, on hand-made HPROF
// files of both identifier sizes: field values of every basic type,
// Strings' text in both coders, statics, array pages, stacks with their
// locals, loaders; a redacted dump's; the index that keeps them; and a
// snapshot stream's threads.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "HprofBuilder.h"
#include "SnapshotStream.h"
#include "TempDir.h"
#include "ZstdFrames.h"
#include "heap/ClassGroups.h"
#include "load/HeapDetails.h"
#include "load/HeapIndex.h"
#include "load/HeapInput.h"
#include "load/IndexArchive.h"

using namespace vesktest;
using vesk::FieldView;
using vesk::NodeId;
using vesktest::SnapshotStream;

namespace {

enum : uint8_t { OBJECT = 2, BOOLEAN = 4, CHAR = 5, FLOAT = 6, DOUBLE = 7, BYTE = 8, SHORT = 9, INT = 10, LONG = 11 };
enum : uint64_t {
    OBJECT_CLASS = 0x10, STRING = 0x20, THREAD = 0x30, ITEM = 0x40, BASE = 0x50, LOADER_CLASS = 0x60,
    BYTES_CLASS = 0x70, INTS_CLASS = 0x71, ITEMS_CLASS = 0x72,
    LOADER = 0x900, ITEM_1 = 0x1000, LATIN = 0x2000, WIDE = 0x2100, LONG_TEXT = 0x2200, NAME = 0x2300,
    INTS = 0x3000, ITEMS = 0x3100, WORKER = 0x4000, FILLER = 0x5000,
};
constexpr uint32_t FILLERS = 1000;  // instances of Base after the rest, each with its number

std::string Float(float value) {
    uint32_t bits;
    memcpy(&bits, &value, 4);
    return HprofBuilder::U4(bits);
}
std::string Double(double value) {
    uint64_t bits;
    memcpy(&bits, &value, 8);
    return HprofBuilder::Big(bits, 8);
}
std::string Utf16Le(const std::u16string& text) {
    std::string out;
    for (char16_t unit : text) out += std::string{static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    return out;
}

// Classes Item (0x40) extends Base (0x50), defined by a loader; Strings of
// JDK 9+ (value, coder), one of 300 characters; a Thread named by its String, whose stack (two
// frames) holds Item 0x1000 and the Object[]; a thousand Base instances
// after them. Redacted: every primitive value zero, as the agent leaves them.
std::string DetailsHprof(int idSize, bool redacted) {
    HprofBuilder b(idSize);
    using Field = HprofBuilder::Field;
    auto v = [&](const std::string& bytes) { return redacted ? std::string(bytes.size(), '\0') : bytes; };
    const char* names[] = {"java/lang/Object", "java/lang/String", "java/lang/Thread", "Item",  "Base",
                           "java/lang/ClassLoader", "[B",               "[I",               "[LItem;", "value",
                           "coder",            "name",             "flag",             "letter", "ratio",
                           "precise",          "small",            "short",            "count",  "big",
                           "text",             "wide",             "base",             "total",  "label",
                           "run",              "main",             "Item.java",        "()V"};
    for (uint64_t i = 0; i < sizeof names / sizeof *names; i++) b.Utf8(i + 1, names[i]);
    uint64_t classIds[] = {OBJECT_CLASS, STRING, THREAD, ITEM, BASE, LOADER_CLASS, BYTES_CLASS, INTS_CLASS, ITEMS_CLASS};
    for (uint32_t i = 0; i < 9; i++) b.LoadClass(i + 1, classIds[i], i + 1);
    b.Frame(0x301, 26, 29, 28, 4, 42).Frame(0x302, 27, 29, 28, 4, 7).Trace(5, 1, {0x301, 0x302});

    std::string classes =
        b.ClassDump(OBJECT_CLASS, 0, 0, {}, {}, {}) +
        b.ClassDump(STRING, OBJECT_CLASS, 0, {}, {}, {Field{10, OBJECT, ""}, Field{11, BYTE, ""}}) +
        b.ClassDump(THREAD, OBJECT_CLASS, 0, {}, {}, {Field{12, OBJECT, ""}}) +
        b.ClassDump(BASE, OBJECT_CLASS, 0, {}, {}, {Field{23, INT, ""}}) +
        b.ClassDump(ITEM, BASE, 0, {}, {Field{24, INT, v(HprofBuilder::U4(7))}, Field{25, OBJECT, b.Id(LATIN)}},
                    {Field{13, BOOLEAN, ""}, Field{14, CHAR, ""}, Field{15, FLOAT, ""}, Field{16, DOUBLE, ""},
                     Field{17, BYTE, ""}, Field{18, SHORT, ""}, Field{19, INT, ""}, Field{20, LONG, ""},
                     Field{21, OBJECT, ""}, Field{22, OBJECT, ""}},
                    LOADER) +
        b.ClassDump(LOADER_CLASS, OBJECT_CLASS, 0, {}, {}, {}) + b.ClassDump(BYTES_CLASS, OBJECT_CLASS, 0, {}, {}, {}) +
        b.ClassDump(INTS_CLASS, OBJECT_CLASS, 0, {}, {}, {}) + b.ClassDump(ITEMS_CLASS, OBJECT_CLASS, 0, {}, {}, {});
    std::string roots = b.Root(0x08, WORKER, 1, 5) + b.Root(0x03, ITEM_1, 1, 0) + b.Root(0x02, ITEMS, 1, 1) +
                        b.Root(0x02, LATIN, 1, 0xFFFFFFFF);

    auto string = [&](uint64_t id, uint8_t coder, const std::string& bytes) {
        return b.Instance(id, STRING, b.Id(id + 1) + v(HprofBuilder::U1(coder))) +
               b.PrimitiveArray(id + 1, BYTE, static_cast<uint32_t>(bytes.size()), v(bytes));
    };
    std::string objects =
        b.Instance(LOADER, LOADER_CLASS, "") +
        b.Instance(ITEM_1, ITEM,
                   v(HprofBuilder::U1(1) + HprofBuilder::U2(0x263A) + Float(3.5f) + Double(-0.125) +
                     HprofBuilder::U1(0xFE) + HprofBuilder::U2(0x8000) + HprofBuilder::U4(42) +
                     HprofBuilder::Big(1234567890123ull, 8)) +
                       b.Id(LATIN) + b.Id(WIDE) + v(HprofBuilder::U4(0xFFFFFFFF))) +
        string(LATIN, 0, "h\xE9llo") + string(WIDE, 1, Utf16Le(u"snow \u2603 \U0001F600")) +
        string(LONG_TEXT, 0, std::string(199, 'a') + std::string(101, 'b')) + string(NAME, 0, "worker-1") +
        b.Instance(WORKER, THREAD, b.Id(NAME));
    std::string ints;
    for (uint32_t i = 0; i < 10; i++) ints += HprofBuilder::U4(i * i);
    objects += b.PrimitiveArray(INTS, INT, 10, v(ints)) + b.ObjectArray(ITEMS, ITEMS_CLASS, {ITEM_1, 0, LONG_TEXT});
    std::string fillers;
    for (uint32_t i = 0; i < FILLERS; i++) {
        fillers += b.Instance(FILLER + i, BASE, v(HprofBuilder::U4(i)));
        // Roots and a class dump between the objects, which a walk from a mark passes over.
        if (i % 97 == 0) fillers += b.Root(0xFF, FILLER + i);
        if (i == FILLERS / 2) fillers += b.ClassDump(0x80, OBJECT_CLASS, 0, {Field{1, INT, v(HprofBuilder::U4(5))}}, {}, {});
    }
    b.Segment(classes + roots + objects).Segment(fillers);
    return b.Bytes();
}

// A file's graph and details, through HeapInput as commands open them.
struct Opened {
    explicit Opened(const std::string& path, bool noIndex = false)
        : input(Settings(noIndex), path, true), graph(input.Graph()), tree(input.Tree(graph)),
          details(vesk::OpenDetails(input, graph)) {}
    static vesk::InputSettings Settings(bool noIndex) {
        vesk::InputSettings settings;
        settings.noIndex = noIndex;
        return settings;
    }
    NodeId Node(uint64_t id) const {
        NodeId node = graph.FindTag(id);
        EXPECT_NE(node, vesk::NO_NODE) << id;
        return node;
    }
    // Each field by name: "type=value" or "type->tag" for a reference.
    std::map<std::string, std::string> Fields(uint64_t id) const {
        std::map<std::string, std::string> out;
        for (const FieldView& f : details->Fields(Node(id))) {
            std::string text = f.type;
            if (f.hasValue) text += "=" + f.value;
            if (f.target != vesk::NO_NODE) text += "->" + std::to_string(graph.Tag(f.target));
            out[f.name] = text;
        }
        return out;
    }

    vesk::HeapInput input;
    vesk::HeapGraph graph;
    std::unique_ptr<vesk::DominatorTree> tree;
    std::unique_ptr<vesk::HeapDetails> details;
};

// XDG_CACHE_HOME in dir/cache while it lives.
class ScopedCache {
public:
    explicit ScopedCache(const TempDir& dir) {
        const char* was = getenv("XDG_CACHE_HOME");
        if (was) saved = was;
        had = was != nullptr;
        setenv("XDG_CACHE_HOME", dir.File("cache").c_str(), 1);
    }
    ~ScopedCache() {
        if (had) setenv("XDG_CACHE_HOME", saved.c_str(), 1);
        else unsetenv("XDG_CACHE_HOME");
    }

private:
    std::string saved;
    bool had = false;
};

class HeapDetailsTest : public ::testing::TestWithParam<int> {
protected:
    std::string Save(const std::string& name, const std::string& bytes) { return dir.Write(name, bytes); }
    TempDir dir;
};

TEST_P(HeapDetailsTest, InstanceFieldsOfEveryTypeWithStringsInBothCoders) {
    Opened heap(Save("heap.hprof", DetailsHprof(GetParam(), false)));
    ASSERT_TRUE(heap.details->HasValues());
    std::map<std::string, std::string> expected = {
        {"flag", "boolean=true"},
        {"letter", "char=\u263A"},
        {"ratio", "float=3.5"},
        {"precise", "double=-0.125"},
        {"small", "byte=-2"},
        {"short", "short=-32768"},
        {"count", "int=42"},
        {"big", "long=1234567890123"},
        {"text", "java.lang.String=h\u00E9llo->" + std::to_string(LATIN)},
        {"wide", "java.lang.String=snow \u2603 \U0001F600->" + std::to_string(WIDE)},
        {"base", "int=-1"},
    };
    EXPECT_EQ(heap.Fields(ITEM_1), expected);
    // The class's own fields first, in dump order, then its superclass's; paged.
    std::vector<FieldView> page = heap.details->Fields(heap.Node(ITEM_1), 8, 2);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].name, "text");
    EXPECT_EQ(page[1].name, "wide");
    EXPECT_EQ(heap.details->Length(heap.Node(ITEM_1)), -1);
    // Every object a walk from its mark finds: past roots, across segments.
    for (uint32_t i = 0; i < FILLERS; i++)
        ASSERT_EQ(heap.Fields(FILLER + i), (std::map<std::string, std::string>{{"base", "int=" + std::to_string(i)}}));
}

TEST_P(HeapDetailsTest, StaticsArrayPagesAndTextCutAt200Characters) {
    Opened heap(Save("heap.hprof", DetailsHprof(GetParam(), false)));
    const vesk::HeapClass& item = heap.graph.Classes()[heap.graph.ClassOf(heap.Node(ITEM_1))];
    EXPECT_EQ(heap.Fields(ITEM), (std::map<std::string, std::string>{
                                     {"total", "int=7"}, {"label", "java.lang.String=h\u00E9llo->" + std::to_string(LATIN)}}));
    EXPECT_EQ(heap.details->Fields(item.node).size(), 2u);

    NodeId ints = heap.Node(INTS);
    EXPECT_EQ(heap.details->Length(ints), 10);
    std::vector<FieldView> page = heap.details->Fields(ints, 3, 4);
    ASSERT_EQ(page.size(), 4u);
    EXPECT_EQ(page[0].name, "[3]");
    EXPECT_EQ(page[0].type, "int");
    EXPECT_EQ(page[0].value, "9");
    EXPECT_EQ(page[3].value, "36");
    EXPECT_EQ(heap.details->Fields(ints, 8).size(), 2u);
    EXPECT_TRUE(heap.details->Fields(ints, 10).empty());

    NodeId items = heap.Node(ITEMS);
    EXPECT_EQ(heap.details->Length(items), 3);
    std::vector<FieldView> elements = heap.details->Fields(items);
    ASSERT_EQ(elements.size(), 3u);
    EXPECT_EQ(elements[0].target, heap.Node(ITEM_1));
    EXPECT_EQ(elements[0].type, "Item");
    EXPECT_EQ(elements[1].target, vesk::NO_NODE);
    EXPECT_EQ(elements[1].type, "Item");
    EXPECT_EQ(elements[2].value, std::string(199, 'a') + "b");
}

TEST_P(HeapDetailsTest, ThreadsWithTheirFramesLocalsAndClassLoaders) {
    Opened heap(Save("heap.hprof", DetailsHprof(GetParam(), false)));
    std::vector<vesk::ThreadView> threads = heap.details->Threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads[0].node, heap.Node(WORKER));
    EXPECT_EQ(threads[0].name, "worker-1");
    ASSERT_EQ(threads[0].frames.size(), 2u);
    const vesk::FrameView& inner = threads[0].frames[0];
    EXPECT_EQ(inner.method, "Item.run");
    EXPECT_EQ(inner.source, "Item.java");
    EXPECT_EQ(inner.line, 42);
    EXPECT_EQ(inner.locals, std::vector<NodeId>{heap.Node(ITEM_1)});
    EXPECT_EQ(threads[0].frames[1].method, "Item.main");
    // The JNI local outside any frame is left out.
    EXPECT_EQ(threads[0].frames[1].locals, std::vector<NodeId>{heap.Node(ITEMS)});

    std::vector<NodeId> loaders = vesk::DefiningLoaders(heap.graph);
    EXPECT_EQ(loaders[heap.graph.ClassOf(heap.Node(ITEM_1))], heap.Node(LOADER));
    EXPECT_EQ(loaders[heap.graph.ClassOf(heap.Node(LATIN))], vesk::NO_NODE);
}

TEST_P(HeapDetailsTest, RedactedDumpNamesTypesAndTargetsOnly) {
    Opened heap(Save("heap.hprof", DetailsHprof(GetParam(), true)));
    EXPECT_FALSE(heap.details->HasValues());
    std::map<std::string, std::string> fields = heap.Fields(ITEM_1);
    EXPECT_EQ(fields["count"], "int");
    EXPECT_EQ(fields["text"], "java.lang.String->" + std::to_string(LATIN));
    EXPECT_EQ(fields.size(), 11u);
    std::vector<FieldView> ints = heap.details->Fields(heap.Node(INTS));
    ASSERT_EQ(ints.size(), 10u);
    EXPECT_FALSE(ints[1].hasValue);
    std::vector<vesk::ThreadView> threads = heap.details->Threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads[0].name, "");
    EXPECT_EQ(threads[0].frames.size(), 2u);
}

TEST_P(HeapDetailsTest, CompressedFileReadsAsThePlainOne) {
    ScopedCache cache(dir);
    std::string bytes = DetailsHprof(GetParam(), false);
    Opened plain(Save("heap.hprof", bytes));
    std::string path = Save("heap.hprof.zst", ZstdFrames(bytes, 1000));
    Opened packed(path);
    Opened indexed(path);  // decoded beside, from the index
    for (uint64_t id : {uint64_t(ITEM_1), uint64_t(ITEM), uint64_t(FILLER + FILLERS - 1)}) {
        EXPECT_EQ(packed.Fields(id), plain.Fields(id));
        EXPECT_EQ(indexed.Fields(id), plain.Fields(id));
    }
    EXPECT_EQ(packed.details->Threads()[0].name, "worker-1");
    // The decoded copy is in no directory.
    EXPECT_TRUE(EntriesStartingWith(dir.File("cache/vesk"), "vesk-plain").empty());
}

TEST_P(HeapDetailsTest, IndexKeepsTheDetails) {
    std::string path = Save("heap.hprof", DetailsHprof(GetParam(), false));
    std::map<std::string, std::string> fields;
    {
        Opened first(path);
        fields = first.Fields(ITEM_1);
    }
    // The details were added to the index the first command wrote.
    vesk::SourceStamp stamp;
    ASSERT_TRUE(vesk::StampSource(path, &stamp));
    vesk::HeapIndexReader index;
    ASSERT_TRUE(index.Open(vesk::IndexBeside(path), stamp, false));
    EXPECT_TRUE(index.ReadDetails([](vesk::IndexIn& in) {
        std::vector<uint8_t> rest(in.left);
        in.Raw(rest.data(), rest.size());
    }));
    Opened second(path);
    EXPECT_EQ(second.Fields(ITEM_1), fields);
    EXPECT_EQ(second.details->Threads()[0].frames[0].locals, std::vector<NodeId>{second.Node(ITEM_1)});
    EXPECT_TRUE(second.details->HasValues());

    // Damaged details are read from the file again.
    std::string stored = ReadFile(vesk::IndexBeside(path));
    stored.back() ^= 0x5A;
    std::ofstream(vesk::IndexBeside(path), std::ios::binary) << stored;
    Opened third(path);
    EXPECT_EQ(third.Fields(ITEM_1), fields);
}

INSTANTIATE_TEST_SUITE_P(IdSizes, HeapDetailsTest, ::testing::Values(4, 8));

TEST(StreamDetails, ThreadsWithTheirStackLocalsByFrame) {
    enum : uint64_t { ITEMS = 0x10, THREAD = 0x500 };
    SnapshotStream stream;
    stream.Class(ITEMS, "app.Item", {"next"}, 0, {{0x700, "run"}})
        .Thread(THREAD, "worker")
        .Object(0x1000, ITEMS, 16)
        .Object(0x1001, ITEMS, 16)
        .Object(0x1002, ITEMS, 16)
        .Root(0x1000, ITEMS, 16, 24, THREAD, 0, 0x700)
        .Root(0x1001, ITEMS, 16, 24, THREAD, 2, 0x701)
        .Root(0x1002, ITEMS, 16, 25, THREAD, 2, 0x701)
        .Ref(0x1000, 0x1001, ITEMS, 16, 0);
    TempDir dir;
    Opened heap(dir.Write("heap.vsnap", stream.Text()));
    EXPECT_FALSE(heap.details->HasValues());
    EXPECT_EQ(vesk::DefiningLoaders(heap.graph)[0], vesk::NO_NODE);
    std::vector<vesk::ThreadView> threads = heap.details->Threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads[0].name, "worker");
    ASSERT_EQ(threads[0].frames.size(), 2u);
    EXPECT_EQ(threads[0].frames[0].method, "app.Item.run");
    EXPECT_EQ(threads[0].frames[0].locals, std::vector<NodeId>{heap.Node(0x1000)});
    EXPECT_EQ(threads[0].frames[1].method, "frame 2");  // a method the stream does not name
    EXPECT_EQ(threads[0].frames[1].locals, (std::vector<NodeId>{heap.Node(0x1001), heap.Node(0x1002)}));
    EXPECT_EQ(heap.Fields(0x1000), (std::map<std::string, std::string>{{"next", "app.Item->4097"}}));
}

}  // namespace
