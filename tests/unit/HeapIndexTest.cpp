// The stored analysis of a file: what is written reads back the same, and
// an index that is stale, foreign, truncated or damaged anywhere is refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "heap/DominatorTree.h"
#include "heap/HeapGraphBuilder.h"
#include "load/HeapIndex.h"
#include "SnapshotStream.h"
#include "TempDir.h"

using namespace vesk;
using vesktest::ReadFile;
using vesktest::TempDir;

namespace {

// Address tags (compacted), a size past 32 GiB, a weak referent, a thread and a static field.
HeapGraph Sample() {
    HeapGraphBuilder builder;
    HeapClass ref;
    ref.name = "java.lang.ref.WeakReference";
    ref.tag = 0x10;
    ref.fields = {{"referent", "java.lang.ref.Reference"}, {"next", "java.lang.ref.Reference"}};
    HeapClass array;
    array.name = "long[]";
    array.tag = 0x20;
    uint32_t refClass = builder.AddClass(ref, 0), arrayClass = builder.AddClass(array, 0x10);
    builder.AddThread({"main", 0x30, 5, NO_NODE});
    auto address = [](int i) { return 0x9000 + 24 * static_cast<uint64_t>(i ^ 1); };
    for (int i = 0; i < 40; i++) builder.AddObject(address(i), i % 2 ? refClass : arrayClass, i == 7 ? 40ull << 30 : 24);
    builder.CompactTags();
    for (int i = 0; i + 1 < 40; i++) builder.AddReference(builder.FindNode(address(i)), address(i + 1), i % 2 ? 0 : 1);
    builder.AddReference(builder.FindNode(0x10), address(3), 0);
    builder.AddRoot(address(0), RootKind::StackLocal, 0, 2);
    return builder.Finish();
}

struct Written {
    TempDir dir;
    std::string path = dir.File("heap.vidx");
    SourceStamp stamp{12345, 678, "/data/heap.hprof"};
    HeapGraph graph = Sample();
    DominatorTree tree{graph};
    IndexProperties properties{{"RUNTIME", {{"vm", "17"}}}};

    Written() { WriteHeapIndex(path, stamp, graph, tree, properties, nullptr); }
    // Reads the index back whole; false at the first refusal.
    bool Read(HeapGraph* read, std::unique_ptr<DominatorTree>* readTree, const SourceStamp& as) const {
        HeapIndexReader reader;
        IndexProperties readProperties;
        if (!reader.Open(path, as, true) || !reader.ReadGraph(read, &readProperties)) return false;
        *readTree = reader.ReadTree(*read);
        return *readTree != nullptr && readProperties == properties;
    }
};

}  // namespace

TEST(HeapIndex, WhatIsWrittenReadsBackTheSame) {
    Written index;
    HeapGraph graph;
    std::unique_ptr<DominatorTree> tree;
    ASSERT_TRUE(index.Read(&graph, &tree, index.stamp));
    const HeapGraph& was = index.graph;
    ASSERT_EQ(graph.NodeCount(), was.NodeCount());
    ASSERT_EQ(graph.ReferenceCount(), was.ReferenceCount());
    for (NodeId node = 0; node < was.NodeCount(); node++) {
        EXPECT_EQ(graph.Tag(node), was.Tag(node));
        EXPECT_EQ(graph.FindTag(was.Tag(node)), node);
        EXPECT_EQ(graph.ClassOf(node), was.ClassOf(node));
        EXPECT_EQ(graph.ShallowSize(node), was.ShallowSize(node));
        EXPECT_EQ(graph.DescribedClass(node), was.DescribedClass(node));
        EXPECT_EQ(graph.DescribedThread(node), was.DescribedThread(node));
        ASSERT_EQ(graph.EdgesEnd(node) - graph.EdgesBegin(node), was.EdgesEnd(node) - was.EdgesBegin(node));
        for (const HeapEdge *e = graph.EdgesBegin(node), *f = was.EdgesBegin(node); e < graph.EdgesEnd(node); e++, f++) {
            EXPECT_EQ(e->target, f->target);
            EXPECT_EQ(graph.EdgeName(node, *e), was.EdgeName(node, *f));
            EXPECT_EQ(graph.IsWeak(node, *e), was.IsWeak(node, *f));
        }
        EXPECT_EQ(tree->Dominator(node), index.tree.Dominator(node));
        EXPECT_EQ(tree->Retained(node), index.tree.Retained(node));
    }
    ASSERT_EQ(graph.Roots().size(), was.Roots().size());
    EXPECT_EQ(graph.Roots()[0].depth, 2);
    EXPECT_EQ(graph.Threads()[0].name, "main");
    EXPECT_EQ(graph.Classes()[1].super, 0u);
    EXPECT_EQ(graph.Classes()[0].referentField, 0);
    EXPECT_EQ(tree->ReachableBytes(), index.tree.ReachableBytes());
    EXPECT_EQ(tree->UnreachableCount(), index.tree.UnreachableCount());
    std::vector<ClassTotals> rows = tree->ByClass(), wasRows = index.tree.ByClass();
    ASSERT_EQ(rows.size(), wasRows.size());
    for (size_t i = 0; i < rows.size(); i++) EXPECT_EQ(rows[i].retained, wasRows[i].retained) << rows[i].name;
}

TEST(HeapIndex, StaleForeignTruncatedOrDamagedIsRefused) {
    Written index;
    HeapGraph graph;
    std::unique_ptr<DominatorTree> tree;
    SourceStamp other = index.stamp;
    other.size++;
    EXPECT_FALSE(index.Read(&graph, &tree, other));
    other = index.stamp;
    other.modifiedNs++;
    EXPECT_FALSE(index.Read(&graph, &tree, other));
    other = index.stamp;
    other.path += "2";
    EXPECT_FALSE(index.Read(&graph, &tree, other));

    const std::string bytes = ReadFile(index.path);
    auto rewrite = [&](const std::string& text) {
        FILE* file = fopen(index.path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
    };
    rewrite("not an index at all");
    EXPECT_FALSE(index.Read(&graph, &tree, index.stamp));
    rewrite(bytes.substr(0, bytes.size() - 1));
    EXPECT_FALSE(index.Read(&graph, &tree, index.stamp));
    // One flipped bit anywhere: header, graph or tree section.
    for (size_t at = 0; at < bytes.size(); at += 13) {
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        rewrite(damaged);
        HeapGraph g;
        EXPECT_FALSE(index.Read(&g, &tree, index.stamp)) << "byte " << at;
    }
    rewrite(bytes);
    EXPECT_TRUE(index.Read(&graph, &tree, index.stamp));
}
