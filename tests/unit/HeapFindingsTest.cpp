#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "heap/DominatorTree.h"
#include "heap/HeapGraphBuilder.h"
#include "heap/HeapFindings.h"
#include "heap/HeapText.h"
#include "heap/HolderGrowth.h"

using namespace vesk;

namespace {

// Hand-made heaps: classes by name with their fields, objects by tag.
class Heap {
public:
    uint32_t Class(uint64_t tag, const std::string& name, const std::vector<HeapField>& fields = {},
                   uint64_t superTag = 0) {
        HeapClass cls;
        cls.name = name;
        cls.tag = tag;
        cls.fields = fields;
        return builder.AddClass(cls, superTag);
    }
    NodeId Object(uint64_t tag, uint32_t cls, uint64_t size) { return builder.AddObject(tag, cls, size); }
    void Ref(uint64_t from, uint64_t to, int32_t index) { builder.AddReference(builder.FindNode(from), to, index); }
    void Root(uint64_t tag) { builder.AddRoot(tag, RootKind::JniGlobal); }
    HeapGraph Finish() { return builder.Finish(); }

private:
    HeapGraphBuilder builder;
};

const WasteRow* Row(const HeapFindings& findings, WasteKind kind, const std::string& name) {
    for (const WasteRow& row : findings.waste)
        if (row.kind == kind && row.className == name) return &row;
    return nullptr;
}

}  // namespace

TEST(HeapFindings, SuspectAccumulationPointPathAndHolds) {
    Heap heap;
    uint32_t cache = heap.Class(0x10, "AppCache", {{"SESSIONS", "AppCache"}});
    uint32_t map = heap.Class(0x11, "java.util.HashMap", {{"table", "java.util.HashMap"}});
    uint32_t table = heap.Class(0x12, "java.util.HashMap$Node[]");
    uint32_t entry = heap.Class(0x13, "java.util.HashMap$Node", {{"value", "java.util.HashMap$Node"}});
    uint32_t session = heap.Class(0x14, "Session");
    uint32_t widget = heap.Class(0x15, "Widget");
    uint32_t other = heap.Class(0x16, "Other");
    const int sessions = 50;
    heap.Object(0x100, map, 48);
    heap.Object(0x101, table, 16 + 4 * 64);
    for (int i = 0; i < sessions; i++) {
        heap.Object(0x1000 + i, entry, 32);
        heap.Object(0x2000 + i, session, 200);
    }
    // Many small roots of one class, together a suspect; one small root besides.
    for (int i = 0; i < 20; i++) heap.Object(0x3000 + i, widget, 100);
    heap.Object(0x4000, other, 500);
    heap.Ref(0x10, 0x100, 0);
    heap.Ref(0x100, 0x101, 0);
    for (int i = 0; i < sessions; i++) {
        heap.Ref(0x101, 0x1000 + i, i);
        heap.Ref(0x1000 + i, 0x2000 + i, 0);
    }
    for (int i = 0; i < 20; i++) heap.Root(0x3000 + i);
    heap.Root(0x4000);
    HeapGraph graph = heap.Finish();
    DominatorTree tree(graph);

    HeapFindings findings = FindProblems(graph, tree, FindingsOptions());
    EXPECT_EQ(findings.reachable, tree.ReachableBytes());
    EXPECT_FALSE(findings.values);
    ASSERT_EQ(findings.suspects.size(), 2u);
    const LeakSuspect& leak = findings.suspects[0];
    EXPECT_FALSE(leak.byClass);
    EXPECT_EQ(leak.node, graph.Classes()[cache].node);
    EXPECT_EQ(leak.point, graph.FindTag(0x101));
    EXPECT_EQ(leak.pointRetained, 16u + 4 * 64 + sessions * 232u);
    std::vector<std::string> path = PathAsPrinted(graph, leak.path);
    ASSERT_EQ(path.size(), 4u);
    EXPECT_EQ(path[0], "root: class");
    EXPECT_EQ(path[1], "class AppCache 10");
    EXPECT_EQ(path[2], ".SESSIONS -> java.util.HashMap 100");
    EXPECT_EQ(path[3], ".table -> java.util.HashMap$Node[] 101");
    ASSERT_EQ(leak.holds.size(), 2u);
    EXPECT_EQ(leak.holds[0].name, "java.util.HashMap$Node");
    EXPECT_EQ(leak.holds[0].instances, sessions);
    EXPECT_EQ(leak.holds[0].retained, sessions * 232u);
    EXPECT_EQ(leak.holds[1].name, "Session");
    EXPECT_EQ(leak.holds[1].retained, sessions * 200u);

    const LeakSuspect& many = findings.suspects[1];
    EXPECT_TRUE(many.byClass);
    EXPECT_EQ(many.cls, widget);
    EXPECT_EQ(many.instances, 20);
    EXPECT_EQ(many.retained, 2000u);
    ASSERT_EQ(many.holds.size(), 0u);  // nothing below the widgets themselves

    FindingsOptions strict;
    strict.threshold = 0.9;
    EXPECT_TRUE(FindProblems(graph, tree, strict).suspects.empty());
}

TEST(HeapFindings, EachKindOfWaste) {
    Heap heap;
    uint32_t objects = heap.Class(0x10, "java.lang.Object[]");
    heap.Class(0x11, "java.util.AbstractList");
    heap.Class(0x12, "java.util.ArrayList", {{"elementData", "java.util.ArrayList"}}, 0x11);
    uint32_t myList = heap.Class(0x13, "MyList", {{"elementData", "java.util.ArrayList"}, {"extra", "MyList"}}, 0x12);
    uint32_t map = heap.Class(0x14, "java.util.HashMap", {{"table", "java.util.HashMap"}});
    uint32_t set = heap.Class(0x15, "java.util.HashSet", {{"map", "java.util.HashSet"}});
    uint32_t nodes = heap.Class(0x16, "java.util.HashMap$Node[]");
    uint32_t node = heap.Class(0x17, "java.util.HashMap$Node");
    uint32_t boxed = heap.Class(0x18, "java.lang.Long");
    heap.Class(0x19, "java.lang.ClassLoader");
    uint32_t loader = heap.Class(0x1a, "PluginLoader", {}, 0x19);
    heap.Class(0x1b, "Plugin");
    heap.Class(0x1c, "Plugin");
    heap.Class(0x1d, "Plugin");

    // An empty list of a subclass: its array has no element.
    heap.Object(0x100, myList, 24);
    heap.Object(0x101, objects, 56);
    heap.Ref(0x100, 0x101, 0);
    // A map with one entry in a 64-slot table; a set over an empty map.
    heap.Object(0x110, map, 48);
    heap.Object(0x111, nodes, 16 + 4 * 64);
    heap.Object(0x112, node, 32);
    heap.Ref(0x110, 0x111, 0);
    heap.Ref(0x111, 0x112, 5);
    heap.Object(0x120, set, 16);
    heap.Object(0x121, map, 48);
    heap.Ref(0x120, 0x121, 0);
    // An empty array, an all-null one, an array of three boxed longs.
    heap.Object(0x130, objects, 16);
    heap.Object(0x131, objects, 40);
    heap.Object(0x132, objects, 32);
    for (int i = 0; i < 3; i++) {
        heap.Object(0x140 + i, boxed, 16);
        heap.Ref(0x132, 0x140 + i, i);
    }
    // Plugin three times: twice by one loader, once by the bootstrap loader.
    heap.Object(0x150, loader, 64);
    heap.Ref(0x1b, 0x150, NO_INDEX);
    heap.Ref(0x1c, 0x150, NO_INDEX);
    for (uint64_t root : {0x100, 0x110, 0x120, 0x130, 0x131, 0x132}) heap.Root(root);
    HeapGraph graph = heap.Finish();
    DominatorTree tree(graph);
    HeapFindings findings = FindProblems(graph, tree, FindingsOptions());

    const WasteRow* row = Row(findings, WasteKind::EmptyCollection, "MyList");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->instances, 1);
    EXPECT_EQ(row->saved, 24u + 56);
    row = Row(findings, WasteKind::SparseCollection, "java.util.HashMap");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->instances, 1);
    EXPECT_EQ(row->bytes, 16u + 4 * 64);
    EXPECT_EQ(row->saved, (64u - 2) * 4);  // one entry needs two slots
    row = Row(findings, WasteKind::EmptyCollection, "java.util.HashSet");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->saved, 16u + 48);
    EXPECT_FALSE(Row(findings, WasteKind::EmptyCollection, "java.util.HashMap"));  // the set's map
    row = Row(findings, WasteKind::EmptyArray, "java.lang.Object[]");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->instances, 1);
    row = Row(findings, WasteKind::NullArray, "java.lang.Object[]");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->instances, 1);
    EXPECT_EQ(row->bytes, 40u);
    row = Row(findings, WasteKind::Boxed, "java.lang.Long");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->instances, 3);
    EXPECT_EQ(row->bytes, 48u);
    EXPECT_EQ(row->saved, 24u);
    row = Row(findings, WasteKind::DuplicateClass, "Plugin");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->instances, 3);
    ASSERT_EQ(row->loaders.size(), 3u);
    EXPECT_EQ(row->loaders[0].first, graph.FindTag(0x150));
    EXPECT_EQ(row->loaders[0].second, 2u);
    EXPECT_EQ(row->loaders[2].first, NO_NODE);
}

TEST(HeapFindings, HoldersThatGrewAreMatchedByPathNotTag) {
    // The same holder (a static map and its table) in two snapshots, under
    // other tags, holding 2 and then 5 entries.
    auto snapshot = [](uint64_t base, int entries) {
        Heap heap;
        heap.Class(base + 1, "AppCache", {{"SESSIONS", "AppCache"}});
        uint32_t map = heap.Class(base + 2, "java.util.HashMap", {{"table", "java.util.HashMap"}});
        uint32_t table = heap.Class(base + 3, "java.util.HashMap$Node[]");
        uint32_t session = heap.Class(base + 4, "Session");
        heap.Object(base + 10, map, 48);
        heap.Object(base + 11, table, 80);
        for (int i = 0; i < entries; i++) heap.Object(base + 100 + i, session, 1000);
        heap.Ref(base + 1, base + 10, 0);
        heap.Ref(base + 10, base + 11, 0);
        for (int i = 0; i < entries; i++) heap.Ref(base + 11, base + 100 + i, i);
        return heap.Finish();
    };
    HeapGraph before = snapshot(0x1000, 2), after = snapshot(0x9000, 5);
    DominatorTree beforeTree(before), afterTree(after);
    std::vector<HolderChange> grown =
        GrownHolders(LargestHolders(before, beforeTree), LargestHolders(after, afterTree), 10);
    ASSERT_EQ(grown.size(), 1u);  // the table speaks for the map and the class that hold it
    EXPECT_EQ(grown[0].path,
              "class / class AppCache / .SESSIONS -> java.util.HashMap / .table -> java.util.HashMap$Node[]");
    EXPECT_EQ(grown[0].before, 80u + 2000);
    EXPECT_EQ(grown[0].after, 80u + 5000);
    EXPECT_EQ(grown[0].afterPath.steps.back().node, after.FindTag(0x9000 + 11));
    // A growth suspect grew by at least 2 % of the later reachable heap: 3000 bytes of 150,000.
    EXPECT_EQ(GrowthSuspects(LargestHolders(before, beforeTree), LargestHolders(after, afterTree), 150000, 10).size(), 1u);
    EXPECT_TRUE(GrowthSuspects(LargestHolders(before, beforeTree), LargestHolders(after, afterTree), 150001, 10).empty());
}

TEST(HeapFindings, AGrowingLinkedChainIsShownNearItsTopNotByItsTail) {
    // A static chain of nodes, each holding the next, grown from 2 to 50
    // nodes: each node grew by over 90 % of what its holder grew, but only
    // the first few by 90 % of what the chain's top grew.
    auto snapshot = [](uint64_t base, int nodes) {
        Heap heap;
        heap.Class(base + 1, "Queue", {{"HEAD", "Queue"}});
        uint32_t node = heap.Class(base + 2, "Node", {{"next", "Node"}});
        for (int i = 0; i < nodes; i++) heap.Object(base + 100 + i, node, 100);
        heap.Ref(base + 1, base + 100, 0);
        for (int i = 1; i < nodes; i++) heap.Ref(base + 100 + i - 1, base + 100 + i, 0);
        return heap.Finish();
    };
    HeapGraph before = snapshot(0x1000, 2), after = snapshot(0x9000, 50);
    DominatorTree beforeTree(before), afterTree(after);
    std::vector<HolderChange> grown =
        GrownHolders(LargestHolders(before, beforeTree), LargestHolders(after, afterTree), 1);
    ASSERT_EQ(grown.size(), 1u);
    // Node i (from 0) retains 50 - i nodes: node 6 grew by 4,400, the last with 90 % of the top's 4,800.
    EXPECT_EQ(grown[0].Growth(), 4400);
    EXPECT_EQ(grown[0].afterPath.steps.back().node, after.FindTag(0x9000 + 100 + 6));
}
