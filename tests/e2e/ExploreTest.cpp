// The explorer end to end on a planted JVM (explore.ExploreFixture), its
// heap saved as a snapshot and as vesk dump's HPROF: vesk children and
// vesk object print the API's documents, and the API opened on the same
// files merges the planted objects' paths.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "AgentFixture.h"
#include "TempDir.h"
#include "VeskProgram.h"
#include "explore/ExploreApi.h"

using namespace vesktest;
using nlohmann::json;

namespace {

const int PLANTED = 500;

class ExploreTest : public ::testing::TestWithParam<const char*> {
protected:
    static void SetUpTestSuite() {
        jvm = new AgentFixture("explore.ExploreFixture", {std::to_string(PLANTED)}, "explore ready");
        if (!jvm->Ready()) return;
        saved = jvm->Vesk({"snapshot", "-o", jvm->File("heap.vsnap")}, jvm->File("snapshot.out")) == 0 &&
                jvm->Vesk({"dump", "-o", jvm->File("heap.hprof")}, jvm->File("dump.out")) == 0;
    }
    static void TearDownTestSuite() {
        delete jvm;
        jvm = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(saved) << (jvm ? jvm->Log() : "no JVM"); }

    static std::string File() { return jvm->File(GetParam()); }
    static json VeskJson(std::vector<std::string> args) {
        args.insert(args.begin(), VeskProgram());
        std::string out = jvm->File("vesk.out");
        EXPECT_EQ(RunProgram(args, out), 0) << ReadFile(out);
        return json::parse(Answer(ReadFile(out)), nullptr, false);
    }
    // The largest instance's tag, as vesk path finds it.
    static std::string TagOf(const std::string& className) {
        return VeskJson({"path", File(), "--class", className, "-n", "1", "--json"})[0]["tag"];
    }

    static AgentFixture* jvm;
    static bool saved;
};
AgentFixture* ExploreTest::jvm = nullptr;
bool ExploreTest::saved = false;

}  // namespace

// The virtual root's children are top's objects that no other object
// dominates, in top's order.
TEST_P(ExploreTest, ChildrenOfTheRootAreTopsTopLevel) {
    json children = VeskJson({"children", File(), "root", "-n", "10", "--json"});
    json top = VeskJson({"top", File(), "-n", "300", "--json"})["top"];
    ASSERT_EQ(children["rows"].size(), 10u) << children.dump();
    EXPECT_EQ(children["rows"][0]["tag"], top[0]["tag"]);
    EXPECT_EQ(children["rows"][0]["class"], "class explore.ExploreFixture");
    size_t at = 0;
    for (const json& row : children["rows"]) {
        while (at < top.size() && top[at]["tag"] != row["tag"]) at++;
        ASSERT_LT(at, top.size()) << row.dump() << " not in top's order";
        EXPECT_EQ(row["retained"], top[at]["retained"]);
        EXPECT_EQ(row["shallow"], top[at]["shallow"]);
    }
}

TEST_P(ExploreTest, ReferencesInNameThePlantedHolders) {
    std::string shared = TagOf("explore.ExploreFixture$Shared");
    json in = VeskJson({"object", File(), shared, "--refs", "in", "--json"});
    std::vector<std::string> holders;
    for (const json& row : in["rows"]) holders.push_back(row["class"].get<std::string>() + row["via"].get<std::string>());
    std::sort(holders.begin(), holders.end());
    EXPECT_EQ(holders, (std::vector<std::string>{"explore.ExploreFixture$FirstHolder.held",
                                                 "explore.ExploreFixture$SecondHolder.kept"}));
    json object = VeskJson({"object", File(), shared, "--json"});
    EXPECT_EQ(object["dominators"].size(), 0u) << object.dump();  // held two ways
    EXPECT_GE(object["retained"].get<int64_t>(), 500);
}

TEST_P(ExploreTest, MergedPathsReachThePlantedStaticField) {
    vesk::InputSettings settings;
    vesk::HeapInput input(settings, File(), true);
    std::unique_ptr<vesk::ExploreApi> api = vesk::ExploreApi::Open(input, nullptr);
    vesk::ApiAnswer answer = api->Handle("/api/merged-paths", {{"class", "explore.ExploreFixture$Planted"}});
    ASSERT_EQ(answer.status, 200) << answer.body;
    json merged = json::parse(answer.body);
    EXPECT_EQ(merged["objects"], PLANTED);
    ASSERT_EQ(merged["children"].size(), 1u) << merged.dump(1);
    const json& holder = merged["children"][0];
    EXPECT_EQ(holder["class"], "class explore.ExploreFixture");
    EXPECT_EQ(holder["objects"], PLANTED);
    ASSERT_EQ(holder["children"].size(), 1u) << merged.dump(1);
    EXPECT_EQ(holder["children"][0]["via"], ".planted");
    EXPECT_EQ(holder["children"][0]["children"][0]["via"], "[]");
    EXPECT_EQ(holder["children"][0]["children"][0]["class"], "explore.ExploreFixture$Planted");
}

INSTANTIATE_TEST_SUITE_P(Inputs, ExploreTest, ::testing::Values("heap.vsnap", "heap.hprof"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param).substr(5);
                         });
