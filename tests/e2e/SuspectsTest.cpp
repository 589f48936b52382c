// vesk suspects end to end: a JVM with a planted leak and planted waste
// (leak.LeakFixture), its snapshot and its vesk dump HPROF each checked for
// the leak, its accumulation point and path, and the waste in the planted
// counts; the same leak grown between two snapshots, found as the holder that
// grew; a manager that retained little, named with both its sizes. And the
// growth gate of vesk diff on saved snapshots.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "GrowingJvm.h"
#include "JavaProcess.h"
#include "Ports.h"
#include "SnapshotStream.h"
#include "TempDir.h"
#include "VeskProgram.h"

using namespace vesktest;
using nlohmann::json;

namespace {

// As the fixture plants them.
const int SESSIONS = 20000;
const int EMPTY_LISTS = 10000;
const int SPARSE_MAPS = 1000;
const int BOXED_LONGS = 100000;
const int GROWTH = 10000;
// What the JVM itself holds of the same kinds stays below this.
const int JVM_OWN = 1000;

const json* Waste(const json& findings, const std::string& kind, const std::string& name) {
    for (const json& row : findings["waste"])
        if (row["kind"] == kind && row["class"] == name) return &row;
    return nullptr;
}

void CheckFindings(const TempDir& dir, const std::string& file) {
    std::string out;
    ASSERT_EQ(RunVesk(dir, {"suspects", file, "--json", "-n", "100"}, &out), 0) << out;
    json findings = json::parse(Answer(out), nullptr, false);
    ASSERT_FALSE(findings.is_discarded()) << out;
    EXPECT_EQ(findings["values"], false);
    EXPECT_GT(findings["reachable"].get<int64_t>(), 0);

    ASSERT_GE(findings["suspects"].size(), 1u) << out;
    const json& leak = findings["suspects"][0];
    EXPECT_EQ(leak["kind"], "object");
    EXPECT_EQ(leak["class"], "class leak.LeakFixture");
    EXPECT_GT(leak["share"].get<double>(), 0.5);
    EXPECT_EQ(leak["accumulation"]["class"], "java.util.HashMap$Node[]");
    const json& path = leak["path"];
    ASSERT_EQ(path.size(), 4u) << leak.dump();
    EXPECT_EQ(path[0], "root: class");
    EXPECT_EQ(path[2].get<std::string>().rfind(".SESSIONS_BY_ID -> java.util.HashMap ", 0), 0u) << path;
    bool sessions = false;
    for (const json& held : leak["holds"])
        if (held["class"] == "leak.LeakFixture$Session") sessions = held["instances"] == SESSIONS;
    EXPECT_TRUE(sessions) << leak["holds"].dump();

    struct Planted {
        const char* kind;
        const char* name;
        int count;
    } planted[] = {{"empty-collection", "java.util.ArrayList", EMPTY_LISTS},
                   {"sparse-collection", "java.util.HashMap", SPARSE_MAPS},
                   {"boxed", "java.lang.Long", BOXED_LONGS}};
    for (const Planted& p : planted) {
        const json* row = Waste(findings, p.kind, p.name);
        ASSERT_NE(row, nullptr) << p.kind << " " << p.name;
        EXPECT_GE((*row)["instances"].get<int>(), p.count) << p.name;
        EXPECT_LT((*row)["instances"].get<int>(), p.count + JVM_OWN) << p.name;
        EXPECT_GT((*row)["saved"].get<int64_t>(), 0) << p.name;
    }
    const json* plugin = Waste(findings, "duplicate-class", "leak.LeakFixture$Plugin");
    ASSERT_NE(plugin, nullptr) << out;
    EXPECT_EQ((*plugin)["instances"], 3);

    ASSERT_EQ(RunVesk(dir, {"suspects", file}, &out), 0) << out;
    EXPECT_NE(out.find("Duplicate strings: skipped; string values were not read"), std::string::npos) << out;
}

}  // namespace

TEST(Suspects, PlantedLeakAndWasteInASnapshotAndADump) {
    int port = FreePort();
    JavaProcess jvm({AgentArg("port=" + std::to_string(port) + ",address=127.0.0.1"), "-Xmx256m"},
                    "leak.LeakFixture");
    ASSERT_TRUE(jvm.WaitForOutput("leak ready", 60000) && WaitForPort(port, 30000)) << jvm.Stderr();
    std::string snapshot = jvm.Dir().File("leak.vsnap"), dump = jvm.Dir().File("leak.hprof"), out;
    ASSERT_EQ(RunVesk(jvm.Dir(), {"--port", std::to_string(port), "snapshot", "-o", snapshot}, &out), 0) << out;
    ASSERT_EQ(RunVesk(jvm.Dir(), {"--port", std::to_string(port), "dump", "-o", dump}, &out), 0) << out;
    jvm.Kill();
    {
        SCOPED_TRACE("snapshot");
        CheckFindings(jvm.Dir(), snapshot);
    }
    {
        SCOPED_TRACE("vesk dump");
        CheckFindings(jvm.Dir(), dump);
    }
    // The report opens with the same findings, in sentences.
    std::string page = jvm.Dir().File("leak.html");
    ASSERT_EQ(RunVesk(jvm.Dir(), {"report", snapshot, "-o", page}, &out), 0) << out;
    std::string html = ReadFile(page);
    EXPECT_NE(html.find("One java.util.HashMap held by leak.LeakFixture.SESSIONS_BY_ID retains "), std::string::npos);
    EXPECT_NE(html.find("it holds 20,000 leak.LeakFixture$Session objects."), std::string::npos);
}

// The top-level holders with their accumulation points, and the classes by
// loader: the application's, the JDK's by name, and each plugin loader apart.
TEST(Suspects, TopLevelHoldersAndClassesByLoader) {
    int port = FreePort();
    JavaProcess jvm({AgentArg("port=" + std::to_string(port) + ",address=127.0.0.1"), "-Xmx256m"},
                    "leak.LeakFixture");
    ASSERT_TRUE(jvm.WaitForOutput("leak ready", 60000) && WaitForPort(port, 30000)) << jvm.Stderr();
    std::string dump = jvm.Dir().File("leak.hprof"), out;
    ASSERT_EQ(RunVesk(jvm.Dir(), {"--port", std::to_string(port), "dump", "-o", dump}, &out), 0) << out;
    jvm.Kill();

    ASSERT_EQ(RunVesk(jvm.Dir(), {"top", dump, "--roots", "--json", "-n", "50"}, &out), 0) << out;
    json top = json::parse(Answer(out), nullptr, false);
    ASSERT_FALSE(top.is_discarded()) << out;
    ASSERT_GE(top["roots"].size(), 2u) << out;
    // The class's static map, accumulating in the map's table; the map itself
    // is no top-level holder.
    EXPECT_EQ(top["roots"][0]["class"], "class leak.LeakFixture");
    EXPECT_EQ(top["roots"][0]["point"]["class"], "java.util.HashMap$Node[]");
    EXPECT_GE(top["roots"][0]["point"]["retained"].get<int64_t>(), SESSIONS * 500);
    for (const json& row : top["roots"]) EXPECT_NE(row["class"], "java.util.HashMap") << row;
    ASSERT_EQ(RunVesk(jvm.Dir(), {"top", dump, "--roots", "-n", "1"}, &out), 0) << out;
    EXPECT_NE(out.find("class leak.LeakFixture  "), std::string::npos) << out;
    EXPECT_NE(out.find("-> accumulates in java.util.HashMap$Node[]  "), std::string::npos) << out;

    ASSERT_EQ(RunVesk(jvm.Dir(), {"histo", dump, "--group", "loader", "--json"}, &out), 0) << out;
    json histo = json::parse(Answer(out), nullptr, false);
    ASSERT_FALSE(histo.is_discarded()) << out;
    std::map<std::string, int64_t> instances;
    int plugins = 0;
    for (const json& row : histo["groups"]) {
        std::string name = row["loader"];
        instances[name] = row["instances"];
        if (name.rfind("java.net.URLClassLoader ", 0) == 0) {
            plugins++;
            EXPECT_EQ(row["instances"], 1) << name;  // its Plugin
            EXPECT_NE(name.find(" held by "), std::string::npos) << name;
        }
    }
    EXPECT_EQ(plugins, 3) << out;
    EXPECT_GE(instances["app"], SESSIONS) << out;
    EXPECT_GT(instances["bootstrap"], instances["app"]) << out;

    ASSERT_EQ(RunVesk(jvm.Dir(), {"top", dump, "--by-class", "--group", "loader", "--json"}, &out), 0) << out;
    json retained = json::parse(out, nullptr, false);
    ASSERT_FALSE(retained.is_discarded()) << out;
    bool app = false;
    for (const json& row : retained["groups"])
        if (row["loader"] == "app") app = row["retained"].get<int64_t>() >= SESSIONS * 500;
    EXPECT_TRUE(app) << out;
}

TEST(Suspects, TheStaticMapThatGrewBetweenTwoSnapshotsComesFirstInSuspectsAndTheReport) {
    GrowingJvm jvm("leak.LeakFixture", "leak");
    ASSERT_EQ(jvm.Take(), "");
    std::string before = jvm.File("before.vsnap"), after = jvm.File("after.vsnap"), out;

    ASSERT_EQ(RunVesk(jvm.Dir(), {"suspects", before, after, "--json"}, &out), 0) << out;
    json findings = json::parse(Answer(out), nullptr, false);
    ASSERT_FALSE(findings.is_discarded()) << out;
    ASSERT_GE(findings["growth"].size(), 1u) << out;
    const json& grown = findings["growth"][0];
    // The class, its map and the map's table are one chain, named by its top.
    EXPECT_EQ(grown["class"], "class leak.LeakFixture");
    EXPECT_EQ(grown["holder"], "class / class leak.LeakFixture");
    EXPECT_GT(grown["retainedBefore"].get<int64_t>(), SESSIONS * 500);
    EXPECT_GT(grown["retainedAfter"].get<int64_t>() - grown["retainedBefore"].get<int64_t>(), GROWTH * 500);
    EXPECT_GE(grown["share"].get<double>(), 0.02);
    ASSERT_EQ(grown["path"].size(), 2u) << grown.dump();
    EXPECT_EQ(grown["path"][1], "class leak.LeakFixture " + grown["tag"].get<std::string>());
    EXPECT_GT(findings["reachable"].get<int64_t>(), findings["reachableBefore"].get<int64_t>());
    // Then the later snapshot's findings, as for one.
    EXPECT_EQ(findings["suspects"][0]["tag"], grown["tag"]);

    ASSERT_EQ(RunVesk(jvm.Dir(), {"suspects", before, after, "-n", "1"}, &out), 0) << out;
    EXPECT_NE(out.find("\n1. class leak.LeakFixture " + grown["tag"].get<std::string>() + " grew by "), std::string::npos)
        << out;

    // The comparison page names the holder, with both sizes and its path.
    std::string page = jvm.Dir().File("growth.html");
    ASSERT_EQ(RunVesk(jvm.Dir(), {"report", before, after, "-o", page}, &out), 0) << out;
    std::string html = ReadFile(page);
    size_t holders = html.find("<section id=\"holders\">");
    ASSERT_NE(holders, std::string::npos);
    EXPECT_NE(html.find(" bytes\">class leak.LeakFixture @" + grown["tag"].get<std::string>() + " grew by ", holders),
              std::string::npos);
    EXPECT_NE(html.find("<li>root: class</li>", holders), std::string::npos);
}

TEST(Suspects, AManagerThatRetainedLittleIsNamedWithItsOwnSizesInSnapshotsAndDumps) {
    GrowingJvm jvm("manager.ManagerFixture", "manager");
    ASSERT_EQ(jvm.Take(), "");
    std::string out;
    for (const char* ext : {".vsnap", ".hprof"}) {
        SCOPED_TRACE(ext);
        ASSERT_EQ(RunVesk(jvm.Dir(), {"suspects", jvm.Dir().File(std::string("before") + ext),
                                   jvm.Dir().File(std::string("after") + ext), "--json"},
                       &out),
                  0)
            << out;
        json findings = json::parse(Answer(out), nullptr, false);
        ASSERT_FALSE(findings.is_discarded()) << out;
        ASSERT_GE(findings["growth"].size(), 1u) << out;
        const json& grown = findings["growth"][0];
        EXPECT_EQ(grown["class"], "manager.ManagerFixture$Manager") << grown.dump();
        // Its empty map: under the candidates' floor, yet not from 0.
        EXPECT_GT(grown["retainedBefore"].get<int64_t>(), 0) << grown.dump();
        EXPECT_LT(grown["retainedBefore"].get<int64_t>(), 1024) << grown.dump();
        EXPECT_GT(grown["retainedAfter"].get<int64_t>(), 5000 * 800) << grown.dump();
        EXPECT_NE(grown["holder"].get<std::string>().find(".CONTEXT -> manager.ManagerFixture$Context / .manager"),
                  std::string::npos)
            << grown.dump();
    }
}

TEST(GrowthGate, FailsWithStatusOneOnGrowthAndPassesOtherwise) {
    TempDir dir;
    auto heap = [&](const std::string& name, int objects) {
        SnapshotStream stream;
        stream.Class(0x100, "Session");
        for (int i = 0; i < objects; i++) stream.Object(0x1000 + i, 0x100, 1000);
        for (int i = 0; i < objects; i++) stream.Root(0x1000 + i, 0x100, 1000);
        return dir.Write(name, stream.Text());
    };
    std::string before = heap("before.vsnap", 10), after = heap("after.vsnap", 3000), out;

    EXPECT_EQ(RunVesk(dir, {"diff", before, before, "--retained", "--fail-above", "10"}, &out), 0) << out;
    EXPECT_NE(out.find("Growth gate passed"), std::string::npos) << out;
    EXPECT_EQ(RunVesk(dir, {"diff", before, after, "--retained", "--fail-above", "10", "--min-bytes", "4000000"}, &out), 0)
        << out;
    ASSERT_EQ(RunVesk(dir, {"diff", before, after, "--retained", "--fail-above", "10", "--json"}, &out), 1) << out;
    json gate = json::parse(Answer(out), nullptr, false);
    EXPECT_EQ(gate["failed"], true) << out;
    ASSERT_EQ(gate["over"].size(), 2u) << out;
    EXPECT_EQ(gate["over"][0]["name"], "(heap)");
    EXPECT_EQ(gate["over"][1]["name"], "Session");
    EXPECT_EQ(gate["over"][1]["retainedAfter"], 3000 * 1000);
    EXPECT_GE(gate["rows"].size(), 1u);
    // Without the gate, the array as ever.
    ASSERT_EQ(RunVesk(dir, {"diff", before, after, "--retained", "--json"}, &out), 0) << out;
    EXPECT_TRUE(json::parse(Answer(out), nullptr, false).is_array()) << out;
}
