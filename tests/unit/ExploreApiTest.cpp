// The explorer's API on a small hand-made heap whose dominators, referrers
// and paths are known:
//
//   class app.Holder --CACHE--> list (Object[]) --[0]--> item1 --data--> data1 (byte[])
//                                               --[1]--> item2 --data--> shared (byte[])
//                                               item1 --next--> shared
//   JNI global --> root (app.Item) --next--> item2
//
// item2 and shared are held two ways, so only the virtual root dominates them.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <nlohmann/json.hpp>
#include <thread>

#include "explore/ExploreApi.h"
#include "SnapshotStream.h"
#include "TempDir.h"

using namespace vesk;
using nlohmann::json;

namespace {

const uint64_t HOLDER = 0x10, ITEM = 0x20, BYTES = 0x30, ARRAY = 0x40, CLASS = 0x50;
const uint64_t LIST = 0x1000, ITEM1 = 0x1001, ITEM2 = 0x1002, DATA1 = 0x1003, SHARED = 0x1004, ROOT = 0x1005;

std::string Heap() {
    vesktest::SnapshotStream stream;
    stream.Class(HOLDER, "app.Holder", {"CACHE"})
        .Class(ITEM, "app.Item", {"next", "data"})
        .Class(BYTES, "byte[]")
        .Class(ARRAY, "java.lang.Object[]")
        .Class(CLASS, "java.lang.Class")
        .Object(LIST, ARRAY, 40, 2)
        .Object(ITEM1, ITEM, 24)
        .Object(ITEM2, ITEM, 24)
        .Object(DATA1, BYTES, 100, 84)
        .Object(SHARED, BYTES, 56, 40)
        .Object(ROOT, ITEM, 24)
        .Root(ROOT, ITEM, 24)
        .Ref(HOLDER, LIST, ARRAY, 40, 0, 8)
        .Ref(LIST, ITEM1, ITEM, 24, 0, 3)
        .Ref(LIST, ITEM2, ITEM, 24, 1, 3)
        .Ref(ITEM1, SHARED, BYTES, 56, 0)
        .Ref(ITEM1, DATA1, BYTES, 100, 1)
        .Ref(ITEM2, SHARED, BYTES, 56, 1)
        .Ref(ROOT, ITEM2, ITEM, 24, 0);
    return stream.Text();
}

// The API over a heap of its own, written to dir.
std::unique_ptr<ExploreApi> OpenHeap(const vesktest::TempDir& dir, const std::string& stream,
                                     std::unique_ptr<HeapInput>& input) {
    InputSettings settings;
    settings.noIndex = true;
    input = std::make_unique<HeapInput>(settings, dir.Write("heap.vsnap", stream), true);
    return ExploreApi::Open(*input, nullptr);
}

class ExploreApiTest : public ::testing::Test {
protected:
    void SetUp() override { api = OpenHeap(dir, Heap(), input); }
    // The document of a call that succeeds.
    json Call(const std::string& path, const std::map<std::string, std::string>& query = {}) const {
        ApiAnswer answer = api->Handle(path, query);
        EXPECT_EQ(answer.status, 200) << path << ": " << answer.body;
        return json::parse(answer.body);
    }
    static std::string Tag(uint64_t tag) {
        char text[32];
        snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(tag));
        return text;
    }
    // Each row's value of key.
    static std::vector<json> Column(const json& rows, const std::string& key) {
        std::vector<json> values;
        for (const json& row : rows) values.push_back(row[key]);
        return values;
    }

    vesktest::TempDir dir;
    std::unique_ptr<HeapInput> input;
    std::unique_ptr<ExploreApi> api;
};

}  // namespace

TEST_F(ExploreApiTest, ChildrenFollowTheDominatorTree) {
    json top = Call("/api/children", {{"tag", "root"}});
    std::vector<json> tags = Column(top["rows"], "tag");
    // The holder's class object first (it retains the list), the doubly held ones at the top level.
    EXPECT_EQ(tags.front(), Tag(HOLDER));
    for (uint64_t held : {ITEM2, SHARED, ROOT}) EXPECT_NE(std::find(tags.begin(), tags.end(), Tag(held)), tags.end());
    EXPECT_EQ(top["total"], tags.size());

    json list = Call("/api/children", {{"tag", Tag(LIST)}});
    ASSERT_EQ(list["total"], 1);
    EXPECT_EQ(list["rows"][0]["tag"], Tag(ITEM1));
    EXPECT_EQ(list["rows"][0]["retained"], 124);
    EXPECT_EQ(list["rows"][0]["children"], 1);

    json grouped = Call("/api/children", {{"tag", "root"}, {"group", "class"}});
    json items = Call("/api/children", {{"tag", "root"}, {"class", "app.Item"}});
    EXPECT_EQ(Column(items["rows"], "tag"), (std::vector<json>{Tag(ITEM2), Tag(ROOT)}));
    for (const json& row : grouped["rows"])
        if (row["class"] == "app.Item") EXPECT_EQ(row, json({{"class", "app.Item"}, {"count", 2}, {"shallow", 48}, {"retained", 48}}));

    json paged = Call("/api/children", {{"tag", "root"}, {"offset", "1"}, {"limit", "2"}});
    EXPECT_EQ(Column(paged["rows"], "tag"), std::vector<json>(tags.begin() + 1, tags.begin() + 3));
}

// A subtree's treemap: its children's cells side by side, theirs inside them.
TEST_F(ExploreApiTest, TreemapLaysOutTheSubtree) {
    json map = Call("/api/treemap", {{"tag", Tag(LIST)}, {"width", "400"}, {"height", "200"}});
    ASSERT_FALSE(map["cells"].empty());
    const json& first = map["cells"][0];
    EXPECT_EQ(first["tag"], Tag(ITEM1));
    EXPECT_EQ(first["retained"], 124);
    EXPECT_EQ(first["depth"], 0);
    EXPECT_EQ(first["w"].get<double>() * first["h"].get<double>(), 400.0 * 200);
    for (size_t i = 1; i < map["cells"].size(); i++) EXPECT_EQ(map["cells"][i]["parent"], 0) << map.dump();
    EXPECT_EQ(Call("/api/treemap", {{"tag", "root"}})["cells"][0]["tag"], Tag(HOLDER));
}

TEST_F(ExploreApiTest, ObjectShowsItsDominatorsAndFields) {
    json data = Call("/api/object", {{"tag", Tag(DATA1)}});
    EXPECT_EQ(data["class"], "byte[]");
    EXPECT_EQ(data["retained"], 100);
    EXPECT_EQ(Column(data["dominators"], "tag"), (std::vector<json>{Tag(ITEM1), Tag(LIST), Tag(HOLDER)}));
    EXPECT_FALSE(data["values"]);

    json item = Call("/api/object", {{"tag", Tag(ITEM1)}});
    std::vector<std::string> named;
    for (const json& field : item["fields"])
        if (field.contains("tag")) named.push_back(field["name"].get<std::string>() + "=" + field["tag"].get<std::string>());
    EXPECT_EQ(named, (std::vector<std::string>{"next=" + Tag(SHARED), "data=" + Tag(DATA1)}));
}

TEST_F(ExploreApiTest, ReferencesInAndOutNameTheirFields) {
    json in = Call("/api/refs", {{"tag", Tag(ITEM2)}, {"dir", "in"}});
    EXPECT_EQ(in["total"], 2);
    EXPECT_EQ(in["rows"], json::parse(R"([{"tag": ")" + Tag(LIST) + R"(", "class": "java.lang.Object[]", "via": "[1]"},
                                           {"tag": ")" + Tag(ROOT) + R"(", "class": "app.Item", "via": ".next"}])"));
    json out = Call("/api/refs", {{"tag", Tag(ITEM1)}, {"dir", "out"}, {"offset", "1"}});
    EXPECT_EQ(out["total"], 2);
    EXPECT_EQ(Column(out["rows"], "via"), std::vector<json>{".data"});
}

TEST_F(ExploreApiTest, PathIsTheDocumentOfVeskPath) {
    json path = Call("/api/path", {{"tag", Tag(DATA1)}});
    EXPECT_EQ(path["root"]["kind"], "class");
    EXPECT_EQ(Column(path["steps"], "tag"), (std::vector<json>{Tag(HOLDER), Tag(LIST), Tag(ITEM1), Tag(DATA1)}));
    EXPECT_EQ(path["steps"][3]["via"], ".data");
}

TEST_F(ExploreApiTest, HistogramGroupsSortsFiltersAndPages) {
    json packages = Call("/api/histogram", {{"group", "package"}, {"sort", "name"}});
    std::map<std::string, json> byName;
    for (const json& row : packages["rows"]) byName[row["name"]] = row;
    // Three items; the retained bytes of those no other app object dominates.
    EXPECT_EQ(byName["app"], json({{"name", "app"}, {"instances", 3}, {"shallow", 72}, {"retained", 172}}));
    std::vector<json> names = Column(packages["rows"], "name");
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));

    json filtered = Call("/api/histogram", {{"filter", "^app\\."}, {"sort", "instances"}, {"order", "asc"}});
    EXPECT_EQ(filtered["total"], 1);
    EXPECT_EQ(filtered["rows"][0]["name"], "app.Item");
    json classes = Call("/api/histogram", {{"limit", "1"}, {"offset", "1"}});
    EXPECT_EQ(classes["rows"].size(), 1u);
    EXPECT_GT(classes["total"], 3);
}

TEST_F(ExploreApiTest, SetsOfObjects) {
    json merged = Call("/api/merged-paths", {{"class", "byte[]"}});
    EXPECT_EQ(merged["objects"], 2);
    // data1 through the static field and the array's elements; shared by the shorter way, from the JNI global.
    json expected = json::parse(R"([
      {"class": "class app.Holder", "root": "class", "via": "", "objects": 1, "children": [
        {"class": "java.lang.Object[]", "via": ".CACHE", "objects": 1, "children": [
          {"class": "app.Item", "via": "[]", "objects": 1, "children": [
            {"class": "byte[]", "via": ".data", "objects": 1, "children": []}]}]}]},
      {"class": "app.Item", "root": "JNI global", "via": "", "objects": 1, "children": [
        {"class": "app.Item", "via": ".next", "objects": 1, "children": [
          {"class": "byte[]", "via": ".data", "objects": 1, "children": []}]}]}])");
    EXPECT_EQ(merged["children"], expected);

    json dominators = Call("/api/immediate-dominators", {{"class", "byte[]"}});
    EXPECT_EQ(dominators["rows"], json::parse(R"J([{"class": "app.Item", "objects": 1, "dominated": 1, "retained": 124},
                                                   {"class": "(root)", "objects": 0, "dominated": 1, "retained": 0}])J"));
    // Skipping items and arrays looks past item1 to the holder's array and class object.
    json skipped = Call("/api/immediate-dominators", {{"class", "byte[]"}, {"skip", "^app\\.Item|Object\\[\\]"}});
    EXPECT_EQ(skipped["rows"][0]["class"], "class app.Holder");

    json retained = Call("/api/retained-set", {{"class", "app.Item"}});
    EXPECT_EQ(retained["retained"], 172);
    EXPECT_EQ(retained["rows"], json::parse(R"([{"name": "byte[]", "instances": 1, "shallow": 100, "retained": 100},
                                                {"name": "app.Item", "instances": 3, "shallow": 72, "retained": 172}])"));
    json instances = Call("/api/instances", {{"package", "app"}});
    EXPECT_EQ(Column(instances["rows"], "tag"), (std::vector<json>{Tag(ITEM1), Tag(ITEM2), Tag(ROOT)}));
}

TEST_F(ExploreApiTest, RefusalsAreJsonWithAStatus) {
    auto refused = [this](const std::string& path, const std::map<std::string, std::string>& query) {
        ApiAnswer answer = api->Handle(path, query);
        return std::make_pair(answer.status, json::parse(answer.body)["error"].get<std::string>());
    };
    EXPECT_EQ(refused("/api/object", {{"tag", "abc"}}), std::make_pair(404, std::string("no object with tag abc")));
    EXPECT_EQ(refused("/api/object", {{"tag", "xyz"}}).first, 400);
    EXPECT_EQ(refused("/api/histogram", {{"filter", "("}}).first, 400);
    EXPECT_EQ(refused("/api/histogram", {{"group", "size"}}).first, 400);
    EXPECT_EQ(refused("/api/children", {{"tag", "root"}, {"limit", "-1"}}).first, 400);
    EXPECT_EQ(refused("/api/merged-paths", {{"class", "app.Missing"}}).first, 404);
    EXPECT_EQ(refused("/api/diff", {}).first, 404);
    EXPECT_EQ(refused("/api/nothing", {}).first, 404);
}

// The parts built on first use, asked for by several threads at once, answer
// as one thread's calls do.
TEST_F(ExploreApiTest, ConcurrentFirstCallsAndPreparingAgree) {
    std::vector<std::pair<std::string, std::map<std::string, std::string>>> calls = {
        {"/api/refs", {{"tag", Tag(SHARED)}, {"dir", "in"}}},
        {"/api/path", {{"tag", Tag(SHARED)}}},
        {"/api/histogram", {{"group", "superclass"}}},
        {"/api/retained-set", {{"class", "app.Item"}}},
        {"/api/suspects", {}},
    };
    std::vector<std::vector<std::string>> answers(4);
    // Building ahead of the calls too, on a thread of its own.
    api->Prepare();
    std::vector<std::thread> threads;
    for (auto& answer : answers)
        threads.emplace_back([&] {
            for (const auto& call : calls) answer.push_back(api->Handle(call.first, call.second).body);
        });
    for (std::thread& thread : threads) thread.join();
    for (const auto& answer : answers) EXPECT_EQ(answer, answers.front());
}

// A class of more instances than the first pages kept: pages past them and
// back agree with one order of all, largest retained first, ties by tag.
TEST(ExploreApiPages, InstancesPastTheKeptPagesKeepTheOrder) {
    const uint64_t COUNT = 70000, BYTES = 0x30, FIRST = 0x10000;
    vesktest::SnapshotStream stream;
    stream.Class(BYTES, "byte[]");
    std::vector<std::pair<uint64_t, uint64_t>> bySize;  // size, tag
    for (uint64_t i = 0; i < COUNT; i++) {
        uint64_t size = 16 + 8 * (i * 7919 % 1000);
        stream.Object(FIRST + i, BYTES, size, size - 16).Root(FIRST + i, BYTES, size);
        bySize.push_back({size, FIRST + i});
    }
    std::sort(bySize.begin(), bySize.end(), [](auto a, auto b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    vesktest::TempDir dir;
    std::unique_ptr<HeapInput> input;
    std::unique_ptr<ExploreApi> api = OpenHeap(dir, stream.Text(), input);
    for (uint64_t offset : {uint64_t{0}, uint64_t{65530}, uint64_t{69990}, uint64_t{10}}) {
        json page = json::parse(api->Handle("/api/instances", {{"class", "byte[]"}, {"offset", std::to_string(offset)}, {"limit", "20"}}).body);
        ASSERT_EQ(page["total"], COUNT);
        ASSERT_EQ(page["rows"].size(), std::min<uint64_t>(20, COUNT - offset));
        for (size_t i = 0; i < page["rows"].size(); i++) {
            char tag[32];
            snprintf(tag, sizeof tag, "%llx", static_cast<unsigned long long>(bySize[offset + i].second));
            EXPECT_EQ(page["rows"][i]["tag"], tag) << "offset " << offset + i;
        }
    }
    json past = json::parse(api->Handle("/api/instances", {{"class", "byte[]"}, {"offset", "18446744073709551615"}}).body);
    EXPECT_EQ(past["rows"].size(), 0u);
}

// An array holding 30 classes' objects, two of each, each holding a member:
// its children in merged paths are one node per class, found again whether
// the array's children are still few or already many.
TEST(ExploreApiPages, MergedPathsBelowANodeOfManyChildren) {
    const uint64_t ARRAY = 0x10, BYTES = 0x11, CLASSES = 0x100, ITEMS = 0x1000, LIST = 0x5000;
    const int KINDS = 30;
    vesktest::SnapshotStream stream;
    stream.Class(ARRAY, "java.lang.Object[]").Class(BYTES, "byte[]");
    for (int k = 0; k < KINDS; k++) stream.Class(CLASSES + k, "app.C" + std::to_string(k), {"data"});
    stream.Object(LIST, ARRAY, 16 + 8 * 2 * KINDS, 2 * KINDS).Root(LIST, ARRAY, 16 + 8 * 2 * KINDS);
    for (int i = 0; i < 2 * KINDS; i++) {
        uint64_t item = ITEMS + 2 * i, data = item + 1, cls = CLASSES + i % KINDS;
        stream.Object(item, cls, 16).Object(data, BYTES, 24, 8);
        stream.Ref(LIST, item, cls, 16, i, 3).Ref(item, data, BYTES, 24, 0);
    }
    vesktest::TempDir dir;
    std::unique_ptr<HeapInput> input;
    std::unique_ptr<ExploreApi> api = OpenHeap(dir, stream.Text(), input);
    json merged = json::parse(api->Handle("/api/merged-paths", {{"class", "byte[]"}, {"limit", "100"}}).body);
    ASSERT_EQ(merged["children"].size(), 1u) << merged.dump();
    const json& list = merged["children"][0];
    EXPECT_EQ(list["objects"], 2 * KINDS);
    ASSERT_EQ(list["children"].size(), static_cast<size_t>(KINDS));
    std::set<std::string> classes;
    for (const json& kind : list["children"]) {
        classes.insert(kind["class"].get<std::string>());
        EXPECT_EQ(kind["via"], "[]");
        EXPECT_EQ(kind["objects"], 2) << kind.dump();
        ASSERT_EQ(kind["children"].size(), 1u);
        EXPECT_EQ(kind["children"][0]["via"], ".data");
    }
    EXPECT_EQ(classes.size(), static_cast<size_t>(KINDS));
}
