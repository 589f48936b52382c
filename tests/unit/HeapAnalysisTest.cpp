#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "heap/ChainRows.h"
#include "heap/DominatorChildren.h"
#include "heap/DominatorTree.h"
#include "heap/HeapDiff.h"
#include "heap/HeapGraphBuilder.h"
#include "heap/HeapPaths.h"
#include "heap/ReferrerIndex.h"
#include "load/StreamLoader.h"
#include "SnapshotStream.h"

using namespace vesk;
using vesktest::GraphStream;
using vesktest::SnapshotStream;

namespace {

HeapGraph Load(const std::string& text, size_t piece = std::string::npos) {
    StreamLoader loader;
    SnapshotReader reader(loader);
    for (size_t at = 0; at < text.size(); at += piece) reader.Feed(std::string_view(text).substr(at, piece));
    EXPECT_TRUE(reader.Finish()) << reader.Error();
    return loader.Finish();
}

NodeId Obj(const HeapGraph& graph, int object) { return graph.FindTag(0x1000u + static_cast<uint64_t>(object)); }

// Retained sizes of objects 1..n of a GraphStream graph.
std::vector<uint64_t> Retained(const std::vector<int64_t>& sizes, const std::vector<std::pair<int, int>>& edges,
                               const std::vector<int>& roots) {
    HeapGraph graph = Load(GraphStream(sizes, edges, roots));
    DominatorTree tree(graph);
    std::vector<uint64_t> retained;
    for (size_t i = 1; i <= sizes.size(); i++) retained.push_back(tree.Retained(Obj(graph, static_cast<int>(i))));
    return retained;
}

std::string ReadError(const std::string& text) {
    SnapshotHandler ignore;
    SnapshotReader reader(ignore);
    reader.Feed(text);
    EXPECT_FALSE(reader.Finish());
    return reader.Error();
}

}  // namespace

TEST(HeapAnalysis, RetainedSizesOfKnownShapes) {
    // chain 1 -> 2 -> 3
    EXPECT_EQ(Retained({10, 20, 30}, {{1, 2}, {2, 3}}, {1}), (std::vector<uint64_t>{60, 50, 30}));
    // diamond: 1 -> 2 -> 4, 1 -> 3 -> 4; 4 is 1's alone
    EXPECT_EQ(Retained({1, 2, 4, 8}, {{1, 2}, {1, 3}, {2, 4}, {3, 4}}, {1}), (std::vector<uint64_t>{15, 2, 4, 8}));
    // cycle 1 -> 2 -> 3 -> 1, with a self-reference on 3
    EXPECT_EQ(Retained({1, 2, 4}, {{1, 2}, {2, 3}, {3, 1}, {3, 3}}, {1}), (std::vector<uint64_t>{7, 6, 4}));
    // two roots 1 and 2 sharing 3 -> 4: the shared part belongs to neither
    EXPECT_EQ(Retained({1, 2, 4, 8}, {{1, 3}, {2, 3}, {3, 4}}, {1, 2}), (std::vector<uint64_t>{1, 2, 12, 8}));
    // 3 -> 4 hangs from no root
    HeapGraph graph = Load(GraphStream({1, 2, 4, 8}, {{1, 2}, {3, 4}}, {1}));
    DominatorTree tree(graph);
    EXPECT_EQ(tree.UnreachableCount(), 2u);
    EXPECT_EQ(tree.UnreachableBytes(), 12u);
    EXPECT_FALSE(tree.Reachable(Obj(graph, 4)));
    EXPECT_EQ(tree.Retained(Obj(graph, 4)), 0u);
    EXPECT_EQ(tree.ReachableBytes(), 3u);
    EXPECT_EQ(tree.Dominator(Obj(graph, 2)), Obj(graph, 1));
    EXPECT_EQ(tree.Dominator(Obj(graph, 1)), DominatorTree::VIRTUAL_ROOT);
}

// The children index agrees with the tree's own scan: a node with more
// children than a byte counts, nodes with none, the unreachable, the top level.
TEST(HeapAnalysis, DominatorChildrenMatchTheTree) {
    std::vector<int64_t> sizes(700, 8);
    std::vector<std::pair<int, int>> edges;
    for (int i = 2; i <= 600; i++) edges.push_back({1, i});        // 599 children of object 1
    for (int i = 601; i < 690; i++) edges.push_back({i % 7 + 2, i}); // a few each below them
    std::vector<int> roots = {1, 695, 696, 697};                    // 690..694, 698..700 unreachable
    HeapGraph graph = Load(GraphStream(sizes, edges, roots));
    DominatorTree tree(graph);
    DominatorChildren children(tree, graph.NodeCount());
    auto listed = [&](NodeId node) {
        std::vector<NodeId> nodes(children.Begin(node), children.End(node));
        std::vector<NodeId> expected = tree.Children(node);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(nodes, expected) << node;
    };
    listed(DominatorTree::VIRTUAL_ROOT);
    for (NodeId node = 0; node < graph.NodeCount(); node++) listed(node);
    EXPECT_EQ(children.End(Obj(graph, 1)) - children.Begin(Obj(graph, 1)), 599);
}

// A chain whose every level keeps 90 % of the one above is one row; a child
// below that share starts a row of its own.
TEST(HeapAnalysis, ChainRowsFoldLevelsThatRetainAlmostAll) {
    HeapGraph graph = Load(GraphStream({104, 16, 1000, 2000, 504, 96}, {{1, 2}, {2, 3}, {5, 6}}, {1, 4, 5}));
    DominatorTree tree(graph);
    // "top>end/depth" by object number.
    std::vector<std::string> rows;
    auto object = [&](NodeId node) { return std::to_string(graph.Tag(node) - 0x1000); };
    for (const ChainRow& row : ChainRows(tree, 4))
        rows.push_back(object(row.top) + ">" + object(row.end) + "/" + std::to_string(row.depth));
    EXPECT_EQ(rows, (std::vector<std::string>{"4>4/0", "1>3/2", "5>5/0", "6>6/0"}));
    EXPECT_EQ(ChainRows(tree, 2).size(), 2u);
}

TEST(HeapAnalysis, LongChainNeedsNoRecursion) {
    const int n = 1000000;
    HeapGraphBuilder builder;
    HeapClass cls;
    cls.name = "Link";
    cls.tag = 1;
    uint32_t link = builder.AddClass(cls, 0);
    for (int i = 0; i < n; i++) builder.AddObject(100 + static_cast<uint64_t>(i), link, 16);
    for (int i = 0; i + 1 < n; i++) builder.AddReference(builder.FindNode(100 + static_cast<uint64_t>(i)), 101 + static_cast<uint64_t>(i), 0);
    builder.AddRoot(100, RootKind::JniGlobal);
    HeapGraph graph = builder.Finish();
    DominatorTree tree(graph);
    EXPECT_EQ(tree.Retained(graph.FindTag(100)), 16u * n);
    EXPECT_EQ(tree.Retained(graph.FindTag(100 + n / 2)), 16u * (n - n / 2));
    std::vector<ClassTotals> byClass = tree.ByClass();
    ASSERT_EQ(byClass.size(), 1u);
    EXPECT_EQ(byClass[0].retained, 16 * n);  // the head only: every other link is below another
    PathFinder paths(graph);
    EXPECT_EQ(paths.Distance(graph.FindTag(99 + n)), n - 1);
}

// Heap dump ids are addresses: no runs, so the loader compacts them; an
// array of more than 4 GiB keeps its size.
TEST(HeapAnalysis, AddressTagsAndHugeSizes) {
    HeapGraphBuilder builder;
    HeapClass cls;
    cls.name = "long[]";
    cls.tag = 0x7000;
    uint32_t array = builder.AddClass(cls, 0);
    const int n = 100;
    // Past 32 GiB: this object's and its dominators' retained sizes are kept apart.
    const uint64_t huge = 40ull << 30;
    auto address = [](int i) { return 0x9000 + 24 * static_cast<uint64_t>(i ^ 1); };  // unordered
    for (int i = 0; i < n; i++) builder.AddObject(address(i), array, i == 7 ? huge : 24);
    builder.CompactTags();
    builder.AddObject(0x100, array, 8);  // added after, found all the same
    for (int i = 0; i + 1 < n; i++) builder.AddReference(builder.FindNode(address(i)), address(i + 1), i);
    builder.AddReference(builder.FindNode(address(n - 1)), 0x100, 0);
    builder.AddRoot(address(0), RootKind::JniGlobal);
    builder.AddObject(0x200, array, 13);  // no whole number of 8 bytes: kept apart too
    builder.AddRoot(0x200, RootKind::JniGlobal);
    HeapGraph graph = builder.Finish();

    for (int i = 0; i < n; i++) ASSERT_EQ(graph.Tag(graph.FindTag(address(i))), address(i)) << i;
    EXPECT_EQ(graph.FindTag(0x100), static_cast<NodeId>(n + 1));
    EXPECT_EQ(graph.FindTag(0x9001), NO_NODE);
    EXPECT_EQ(graph.ShallowSize(graph.FindTag(address(7))), huge);
    DominatorTree tree(graph);
    EXPECT_EQ(tree.Retained(graph.FindTag(address(0))), huge + 24u * (n - 1) + 8);
    EXPECT_EQ(tree.Retained(graph.FindTag(address(7))), huge + 24u * (n - 8) + 8);
    EXPECT_EQ(tree.Retained(graph.FindTag(address(8))), 24u * (n - 8) + 8);
    EXPECT_EQ(tree.Retained(graph.FindTag(0x200)), 13u);
    EXPECT_EQ(tree.Largest(n + 2)[n], graph.FindTag(0x200));  // above 0x100's 8 bytes
    EXPECT_EQ(graph.Histogram()[array].bytes, static_cast<int64_t>(huge + 24u * (n - 1) + 8 + 13));
}

// Ordered for many look-ups, a dump's few ascending runs of addresses are
// searched as they lie, many runs through an order by tag: the same answers.
TEST(HeapAnalysis, OrderedTagsFindTheSameNodes) {
    for (int runs : {3, 40}) {
        HeapGraphBuilder builder;
        uint32_t array = builder.AddClass({"long[]", 0x7000}, 0);
        const int n = 120;
        std::vector<uint64_t> tags;
        for (int i = 0; i < n; i++) tags.push_back(0x10000 + 16 * static_cast<uint64_t>(i % (n / runs) * runs + i / (n / runs)));
        tags.push_back(tags[5]);  // a tag twice: the first node is found
        for (uint64_t tag : tags) builder.AddObject(tag, array, 16);
        builder.CompactTags();
        HeapGraph graph = builder.Finish();
        std::vector<NodeId> before;
        for (uint64_t tag : tags) before.push_back(graph.FindTag(tag));
        graph.OrderTags();
        for (size_t i = 0; i < tags.size(); i++) ASSERT_EQ(graph.FindTag(tags[i]), before[i]) << runs << " " << i;
        EXPECT_EQ(graph.FindTag(tags[5]), graph.FindTag(tags[n]));
        EXPECT_EQ(graph.Tag(graph.FindTag(tags[7])), tags[7]);
        EXPECT_EQ(graph.FindTag(0x10008), NO_NODE);
        EXPECT_EQ(graph.FindTag(0x10000 + 16 * n), NO_NODE);
        EXPECT_EQ(graph.FindTag(0x100), NO_NODE);
    }
}

// Kept beside the referrers, the paths are the same: a parent far down
// a long list of referrers included.
TEST(HeapAnalysis, CompactedPathsAreTheSame) {
    HeapGraphBuilder builder;
    uint32_t cls = builder.AddClass({"Node", 0x10}, 0);
    const int n = 300;
    const uint64_t hub = 0x100000, leaf = 0x100010;
    for (int i = 0; i < n; i++) builder.AddObject(0x1000 + 16 * static_cast<uint64_t>(i), cls, 16);
    builder.AddObject(hub, cls, 16);
    builder.AddObject(leaf, cls, 16);
    for (int i = 0; i < n; i++) builder.AddReference(builder.FindNode(0x1000 + 16 * static_cast<uint64_t>(i)), hub, 0);
    builder.AddReference(builder.FindNode(hub), leaf, 0);
    builder.AddRoot(0x1000 + 16 * (n - 1), RootKind::JniGlobal);  // the last referrer: the hub's parent
    builder.AddRoot(0x1000, RootKind::JniGlobal);
    HeapGraph graph = builder.Finish();
    PathFinder plain(graph);
    ReferrerIndex referrers(graph);
    PathFinder compact(graph, referrers);
    for (NodeId node = 0; node < graph.NodeCount(); node++) {
        ASSERT_EQ(compact.Reachable(node), plain.Reachable(node)) << node;
        ASSERT_EQ(compact.Parent(node), plain.Parent(node)) << node;
        ASSERT_EQ(compact.Distance(node), plain.Distance(node)) << node;
    }
    EXPECT_EQ(compact.Parent(graph.FindTag(hub)), graph.FindTag(0x1000 + 16 * (n - 1)));
    EXPECT_EQ(compact.ShortestPath(graph.FindTag(leaf)).steps.size(), 3u);
}

// Largest against a full sort, with ties, sizes kept apart (odd ones) and
// unreachable nodes: each root holds a small random tree.
TEST(HeapAnalysis, LargestRanksAsAFullSort) {
    HeapGraphBuilder builder;
    uint32_t node = builder.AddClass({"Node", 0x10}, 0);
    uint64_t seed = 7;
    auto next = [&seed](uint64_t bound) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return (seed >> 33) % bound;
    };
    const int n = 3000;
    for (int i = 0; i < n; i++) builder.AddObject(0x1000 + i, node, next(4) == 0 ? 8 * next(40) + next(8) : 8 * next(6));
    for (int i = 1; i < n; i++) {
        if (next(5) == 0) builder.AddRoot(0x1000 + i, RootKind::JniGlobal);
        else if (next(9) != 0)
            builder.AddReference(builder.FindNode(0x1000 + next(static_cast<uint64_t>(i))), 0x1000 + i, NO_INDEX);
    }
    HeapGraph graph = builder.Finish();
    DominatorTree tree(graph);
    std::vector<NodeId> all;
    for (NodeId v = 0; v < graph.NodeCount(); v++)
        if (tree.Reachable(v)) all.push_back(v);
    std::sort(all.begin(), all.end(), [&tree](NodeId a, NodeId b) {
        return tree.Retained(a) != tree.Retained(b) ? tree.Retained(a) > tree.Retained(b) : a < b;
    });
    for (size_t k : {1, 7, 100, 2000}) {
        std::vector<NodeId> best(all.begin(), all.begin() + std::min(k, all.size()));
        EXPECT_EQ(tree.Largest(k), best) << k;
    }
}

// Tags given in bulk, out of order and some twice, are sorted by radix and
// found through the directory: the first node of a tag, nothing for a tag
// between, below, above or off the alignment.
TEST(HeapAnalysis, BulkTagsFindTheirFirstNode) {
    HeapGraphBuilder builder;
    const uint64_t base = 0x7f0000000, n = 5000;
    auto address = [&](uint64_t i) { return base + 16 * ((i * 7919) % 3000); };  // 2000 tags twice
    NodeId first = builder.AddObjects(n, base, base + 16 * 2999, 16 * 4095);
    for (uint64_t i = 0; i < n; i++) builder.SetObject(first + static_cast<NodeId>(i), address(i), NO_CLASS, 16, 0);
    builder.OrderTags();
    for (uint64_t i = 0; i < n; i++) {
        NodeId expected = first + static_cast<NodeId>(i >= 3000 && address(i) == address(i - 3000) ? i - 3000 : i);
        ASSERT_EQ(builder.FindNode(address(i)), expected) << i;
    }
    for (uint64_t tag : {base - 16, base + 8, base + 16 * 3000, base + 16 * 5000, uint64_t(0), UINT64_MAX})
        EXPECT_EQ(builder.FindNode(tag), NO_NODE) << tag;
}

TEST(HeapAnalysis, WeakReferentsAndStaticFields) {
    const uint64_t WEAK = 0x10, HOLDER = 0x20, BYTES = 0x30, THREAD = 0x40;
    SnapshotStream stream;
    stream.Class(WEAK, "java.lang.ref.WeakReference", {"java.lang.ref.Reference.referent", "java.lang.ref.Reference.queue"})
        .Class(HOLDER, "app.Holder", {"CACHE", "name"})
        .Class(BYTES, "byte[]")
        .Class(0x50, "java.lang.Class")
        .Thread(THREAD, "worker &#1;&#195;&#169;")
        .Object(0x1000, WEAK, 32)
        .Root(0x1000, WEAK, 32, 24, THREAD)
        .Object(0x1001, BYTES, 1000, 984)
        .Ref(0x1000, 0x1001, BYTES, 1000, 0)
        .NextFrame()
        .Object(0x1002, BYTES, 500, 484)
        .Ref(HOLDER, 0x1002, BYTES, 500, 0, 8)
        .Ref(THREAD, HOLDER, 0x50, 700, 1, 2);  // names the class object: its size
    HeapGraph graph = Load(stream.Text(), 3);

    NodeId weak = graph.FindTag(0x1000), referent = graph.FindTag(0x1001), held = graph.FindTag(0x1002);
    NodeId holder = graph.FindTag(HOLDER);
    EXPECT_EQ(graph.Threads()[0].name, "worker \x01\xC3\xA9");
    EXPECT_EQ(graph.ShallowSize(holder), 700u);
    EXPECT_EQ(graph.ClassName(holder), "java.lang.Class");
    EXPECT_EQ(graph.ShallowSize(graph.FindTag(THREAD)), 0u);  // no reference names it

    DominatorTree all(graph);
    EXPECT_EQ(all.Retained(weak), 1032u);  // weak references count for retained sizes
    EXPECT_EQ(all.Retained(holder), 1200u);
    DominatorTree strong(graph, false);
    EXPECT_FALSE(strong.Reachable(referent));

    PathFinder paths(graph);
    EXPECT_FALSE(paths.Reachable(referent));
    HeapPath path = PathFinder(graph, true).ShortestPath(referent);
    ASSERT_EQ(path.steps.size(), 2u);
    EXPECT_EQ(path.root.kind, RootKind::StackLocal);
    EXPECT_EQ(path.root.thread, 0u);
    EXPECT_EQ(graph.EdgeName(weak, path.steps[1].edge), "referent");

    HeapPath statics = paths.ShortestPath(held);
    ASSERT_EQ(statics.steps.size(), 2u);
    EXPECT_EQ(statics.root.kind, RootKind::ClassObject);
    EXPECT_EQ(statics.steps[0].node, holder);
    EXPECT_EQ(graph.EdgeName(holder, statics.steps[1].edge), "CACHE");
}

TEST(HeapAnalysis, BrokenStreamsFailWithAReason) {
    std::string whole = GraphStream({1, 2}, {{1, 2}}, {1});
    EXPECT_NE(ReadError(whole.substr(0, whole.size() - 40)).find("truncated"), std::string::npos);
    EXPECT_NE(ReadError(whole.substr(0, 100)).find("truncated"), std::string::npos);
    EXPECT_NE(ReadError("").find("empty"), std::string::npos);
    std::string cancelled = "<vesk-resp tag=\"1\"><status value=\"0\"/><error msg=\"Operation cancelled by user\"/>"
                            "<last value=\"1\"/></vesk-resp>\n";
    EXPECT_EQ(ReadError(cancelled), "the agent reported: Operation cancelled by user");
    size_t header = whole.find("</vesk-resp>\n") + 13;
    EXPECT_NE(ReadError(whole.substr(0, header) + cancelled).find("cancelled"), std::string::npos);
    EXPECT_NE(ReadError("PK\x03\x04 zip").find("not a snapshot stream"), std::string::npos);
    EXPECT_NE(ReadError("<html><body/></html>").find("not a snapshot stream"), std::string::npos);
}

// Out of memory in a handler: the exception leaves through Feed, not
// through the XML parser's C frames, and no record follows it.
TEST(HeapAnalysis, WhatAHandlerThrowsComesOutOfFeed) {
    struct Throwing : SnapshotHandler {
        int objects = 0;
        void OnObject(const StreamObject&) override {
            if (++objects == 2) throw std::bad_alloc();
        }
    } handler;
    SnapshotReader reader(handler);
    std::string whole = GraphStream({1, 2, 3}, {}, {1});
    EXPECT_THROW(reader.Feed(whole), std::bad_alloc);
    reader.Feed(whole);
    EXPECT_EQ(handler.objects, 2);
}

TEST(HeapAnalysis, DiffMatchesClassesByName) {
    std::vector<ClassTotals> before = {{"A", 2, 20, 30}, {"Gone", 1, 5, 5}};
    std::vector<ClassTotals> after = {{"A", 3, 30, 90}, {"A", 1, 10, 10}, {"New", 4, 400, 400}};
    std::vector<ClassDelta> diff = DiffClasses(before, after);
    ASSERT_EQ(diff.size(), 3u);
    EXPECT_EQ(diff[0].name, "New");
    EXPECT_EQ(diff[0].ByteGrowth(), 400);
    EXPECT_EQ(diff[1].name, "A");
    EXPECT_EQ(diff[1].InstanceGrowth(), 2);
    EXPECT_EQ(diff[1].RetainedGrowth(), 70);
    EXPECT_EQ(diff[2].name, "Gone");
    EXPECT_EQ(diff[2].after.retained, 0);
}
