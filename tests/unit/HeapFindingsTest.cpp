#include <gtest/gtest.h>

#include <functional>
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

// Grown holders of two snapshots, each built by the same function under
// other tags: OLD's keys taken before NEW's graph is looked at.
static std::vector<HolderChange> Grown(const std::function<HeapGraph(uint64_t, bool)>& snapshot, size_t n = 10) {
    HeapGraph before = snapshot(0x100000, false);
    DominatorTree beforeTree(before);
    HolderBaseline keys = HolderKeys(before, beforeTree);
    HeapGraph after = snapshot(0x900000, true);
    DominatorTree afterTree(after);
    return GrownHolders(keys, after, afterTree, n);
}

static const HolderChange* Named(const std::vector<HolderChange>& grown, const std::string& tail) {
    for (const HolderChange& holder : grown)
        if (holder.path.size() >= tail.size() && holder.path.compare(holder.path.size() - tail.size(), tail.size(), tail) == 0)
            return &holder;
    return nullptr;
}

TEST(HeapFindings, AGrowingMapIsOneRowNamedByItsTopmostHolder) {
    // A static map and its table holding 2 and then 5 sessions: the class,
    // the map and the table are one chain.
    auto snapshot = [](uint64_t base, bool later) {
        Heap heap;
        heap.Class(base + 1, "AppCache", {{"SESSIONS", "AppCache"}});
        uint32_t map = heap.Class(base + 2, "java.util.HashMap", {{"table", "java.util.HashMap"}});
        uint32_t table = heap.Class(base + 3, "java.util.HashMap$Node[]");
        uint32_t session = heap.Class(base + 4, "Session");
        int entries = later ? 5 : 2;
        heap.Object(base + 10, map, 48);
        heap.Object(base + 11, table, 80);
        for (int i = 0; i < entries; i++) heap.Object(base + 100 + i, session, 1000);
        heap.Ref(base + 1, base + 10, 0);
        heap.Ref(base + 10, base + 11, 0);
        for (int i = 0; i < entries; i++) heap.Ref(base + 11, base + 100 + i, i);
        return heap.Finish();
    };
    std::vector<HolderChange> grown = Grown(snapshot);
    ASSERT_EQ(grown.size(), 1u);
    EXPECT_EQ(grown[0].path, "class / class AppCache");
    EXPECT_EQ(grown[0].Growth(), 3000);
    // A growth suspect grew by the threshold's share of NEW's reachable heap and by --min-growth.
    HeapGraph before = snapshot(0x1000, false), after = snapshot(0x9000, true);
    DominatorTree beforeTree(before), afterTree(after);
    HolderBaseline keys = HolderKeys(before, beforeTree);
    double percent = 100.0 * 3000 / static_cast<double>(afterTree.ReachableBytes());
    EXPECT_EQ(GrowthSuspects(keys, after, afterTree, percent, 3000, 10).size(), 1u);
    EXPECT_TRUE(GrowthSuspects(keys, after, afterTree, percent * 1.01, 0, 10).empty());
    EXPECT_TRUE(GrowthSuspects(keys, after, afterTree, 0, 3001, 10).empty());
}

// A context holding 2,000 objects of 8 KiB and a manager of managerSize
// bytes that then holds 4 MiB of sessions; NEW also has a cache of a class
// OLD did not have.
static HeapGraph ManagerSnapshot(uint64_t base, bool later, uint64_t managerSize) {
    Heap heap;
    heap.Class(base + 1, "Server", {{"CONTEXT", "Server"}});
    uint32_t context = heap.Class(base + 2, "Context", {{"manager", "Context"}, {"resources", "Context"}});
    uint32_t manager = heap.Class(base + 3, "StandardManager", {{"sessions", "StandardManager"}});
    uint32_t array = heap.Class(base + 4, "java.lang.Object[]");
    uint32_t blob = heap.Class(base + 5, "byte[]");
    heap.Object(base + 10, context, 32);
    heap.Object(base + 11, manager, managerSize);
    heap.Object(base + 12, array, 16 + 2000 * 4);
    heap.Ref(base + 1, base + 10, 0);
    heap.Ref(base + 10, base + 11, 0);
    heap.Ref(base + 10, base + 12, 1);
    for (int i = 0; i < 2000; i++) {
        heap.Object(base + 1000 + i, blob, 8192);
        heap.Ref(base + 12, base + 1000 + i, i);
    }
    if (later) {
        heap.Object(base + 13, blob, 4 << 20);
        heap.Ref(base + 11, base + 13, 0);
        uint32_t cache = heap.Class(base + 6, "LateCache", {{"INSTANCE", "LateCache"}});
        heap.Object(base + 14, cache, 24);
        heap.Object(base + 15, blob, 3 << 20);
        heap.Ref(base + 6, base + 14, 0);
        heap.Ref(base + 14, base + 15, 0);
    }
    return heap.Finish();
}

TEST(HeapFindings, ASmallManagerAmongLargerObjectsIsNamedWithBothSizes) {
    const char managerPath[] = "class / class Server / .CONTEXT -> Context / .manager -> StandardManager";
    // Above the candidates' floor in OLD, and under it.
    for (uint64_t managerSize : {2048u, 312u}) {
        std::vector<HolderChange> grown =
            Grown([managerSize](uint64_t base, bool later) { return ManagerSnapshot(base, later, managerSize); }, 4);
        ASSERT_GE(grown.size(), 2u);
        EXPECT_EQ(grown[0].path, managerPath);
        EXPECT_EQ(grown[0].before, managerSize);
        EXPECT_EQ(grown[0].after, managerSize + (4 << 20));
        // Nothing of its class and size existed before: new.
        const HolderChange* cache = Named(grown, "LateCache");
        ASSERT_TRUE(cache);
        EXPECT_EQ(cache->before, 0u);
    }
}

TEST(HeapFindings, TwoMapsInOneArrayAreTwoRowsWithTheirOwnSizes) {
    // Entries 11 and 12 of one array, growing by 90 and 20 KiB.
    auto snapshot = [](uint64_t base, bool later) {
        Heap heap;
        heap.Class(base + 1, "Database", {{"MAPS", "Database"}});
        uint32_t array = heap.Class(base + 2, "java.lang.Object[]");
        uint32_t map = heap.Class(base + 3, "Map", {{"data", "Map"}});
        uint32_t blob = heap.Class(base + 4, "byte[]");
        heap.Object(base + 10, array, 16 + 16 * 4);
        heap.Ref(base + 1, base + 10, 0);
        const uint64_t sizes[2][2] = {{100 << 10, 190 << 10}, {50 << 10, 70 << 10}};
        for (int m = 0; m < 2; m++) {
            heap.Object(base + 20 + m, map, 32);
            heap.Object(base + 30 + m, blob, sizes[m][later]);
            heap.Ref(base + 10, base + 20 + m, 11 + m);
            heap.Ref(base + 20 + m, base + 30 + m, 0);
        }
        return heap.Finish();
    };
    std::vector<HolderChange> grown = Grown(snapshot);
    const HolderChange* first = Named(grown, "[11] -> Map");
    const HolderChange* second = Named(grown, "[12] -> Map");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->before, 32u + (100 << 10));
    EXPECT_EQ(first->after, 32u + (190 << 10));
    EXPECT_EQ(second->before, 32u + (50 << 10));
    EXPECT_EQ(second->after, 32u + (70 << 10));
}

TEST(HeapFindings, AnUnchangedObjectThatChangedItsHolderIsNoRow) {
    // Held by a thread's stack local, then by a static.
    auto snapshot = [](uint64_t base, bool later) {
        HeapGraphBuilder builder;
        HeapClass holder{"Registry", base + 1};
        holder.fields = {{"CACHE", "Registry"}};
        builder.AddClass(holder, 0);
        uint32_t cache = builder.AddClass(HeapClass{"TldCache", base + 2}, 0);
        uint32_t blob = builder.AddClass(HeapClass{"byte[]", base + 3}, 0);
        builder.AddObject(base + 10, cache, 64);
        builder.AddObject(base + 11, blob, 8192);
        builder.AddReference(builder.FindNode(base + 10), base + 11, NO_INDEX);
        if (later) {
            builder.AddReference(builder.FindNode(base + 1), base + 10, 0);
        } else {
            uint32_t thread = builder.AddThread(HeapThread{"http-nio-exec-1", base + 50});
            builder.AddRoot(base + 10, RootKind::StackLocal, thread, 3);
        }
        return builder.Finish();
    };
    EXPECT_TRUE(Grown(snapshot).empty());
}

TEST(HeapFindings, AGrowingThreeLevelTreeIsOneRow) {
    // Each level retains over 90 % of the one above; the leaves grow.
    auto snapshot = [](uint64_t base, bool later) {
        Heap heap;
        heap.Class(base + 1, "Index", {{"ROOT", "Index"}});
        uint32_t node = heap.Class(base + 2, "TreeNode", {{"child", "TreeNode"}});
        uint32_t blob = heap.Class(base + 3, "byte[]");
        for (int level = 0; level < 3; level++) heap.Object(base + 10 + level, node, 32);
        heap.Object(base + 20, blob, later ? 1 << 20 : 64 << 10);
        heap.Ref(base + 1, base + 10, 0);
        heap.Ref(base + 10, base + 11, 0);
        heap.Ref(base + 11, base + 12, 0);
        heap.Ref(base + 12, base + 20, 0);
        return heap.Finish();
    };
    std::vector<HolderChange> grown = Grown(snapshot);
    ASSERT_EQ(grown.size(), 1u);
    EXPECT_EQ(grown[0].path, "class / class Index");
    EXPECT_EQ(grown[0].Growth(), (1 << 20) - (64 << 10));
}

TEST(HeapFindings, AGrowingLinkedChainIsOneRowFromItsTop) {
    // A static chain of nodes, each holding the next, grown from 20 to 50.
    auto snapshot = [](uint64_t base, bool later) {
        Heap heap;
        heap.Class(base + 1, "Queue", {{"HEAD", "Queue"}});
        uint32_t node = heap.Class(base + 2, "Node", {{"next", "Node"}});
        int nodes = later ? 50 : 20;
        for (int i = 0; i < nodes; i++) heap.Object(base + 100 + i, node, 1024);
        heap.Ref(base + 1, base + 100, 0);
        for (int i = 1; i < nodes; i++) heap.Ref(base + 100 + i - 1, base + 100 + i, 0);
        return heap.Finish();
    };
    std::vector<HolderChange> grown = Grown(snapshot, 1);
    ASSERT_EQ(grown.size(), 1u);
    EXPECT_EQ(grown[0].path, "class / class Queue");
    EXPECT_EQ(grown[0].Growth(), 30 * 1024);
}

