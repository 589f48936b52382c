// How an analysis takes the live heap: the agent's HEAPDUMP by default,
// through a temporary file that is gone afterwards; a SNAPSHOT with
// --snapshot, and when the agent refuses HEAPDUMP. Every route gives the
// fixture's retained sizes as it was built.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "AgentFixture.h"
#include "TempDir.h"
#include "VeskProgram.h"

using namespace vesktest;
using nlohmann::json;

namespace {

const int ENTRIES = 2000;
const int64_t PAYLOAD = 1016;  // a byte[1000]: header, length, data

struct LiveRun {
    int status;
    json out;
    std::string err;
};

// vesk --port PORT top --by-class with extra, its temporary files in tmp.
LiveRun TopByClass(AgentFixture& jvm, const TempDir& tmp, const std::vector<std::string>& extra) {
    std::string command = "TMPDIR='" + tmp.Path() + "' exec '" + VeskProgram() + "' --port " +
                          std::to_string(jvm.Port()) + " top --by-class -n 100000 --json";
    for (const std::string& arg : extra) command += " " + arg;
    command += " 2>'" + jvm.File("vesk.err") + "'";
    std::string out = jvm.File("vesk.out");
    LiveRun run;
    run.status = RunProgram({"/bin/sh", "-c", command}, out);
    run.out = json::parse(ReadFile(out), nullptr, false);
    run.err = ReadFile(jvm.File("vesk.err"));
    return run;
}

// The fixture's entries, each alone holding its payload.
void ExpectEntries(const LiveRun& run) {
    ASSERT_EQ(run.status, 0) << run.err;
    for (const json& row : run.out["classes"]) {
        if (row["name"] != "retain.RetainFixture$Entry") continue;
        EXPECT_EQ(row["instances"], ENTRIES);
        EXPECT_EQ(row["retained"].get<int64_t>(), row["bytes"].get<int64_t>() + ENTRIES * PAYLOAD);
        return;
    }
    ADD_FAILURE() << "no entries in " << run.out.dump();
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) count++;
    return count;
}

const char HEAP_DUMP[] = "Starting heap dump";
const char SNAPSHOT[] = "Starting heap snapshot";

}  // namespace

TEST(LiveRoute, HeapDumpByDefaultSnapshotOnRequest) {
    AgentFixture jvm("retain.RetainFixture", {std::to_string(ENTRIES)}, "retain ready", "", "DEBUG");
    ASSERT_TRUE(jvm.Ready()) << jvm.Jvm().Stderr();
    TempDir tmp;

    LiveRun dump = TopByClass(jvm, tmp, {});
    ExpectEntries(dump);
    EXPECT_EQ(dump.err, "");
    EXPECT_EQ(Count(jvm.Log(), HEAP_DUMP), 1u) << jvm.Log();
    EXPECT_EQ(Count(jvm.Log(), SNAPSHOT), 0u) << jvm.Log();
    EXPECT_EQ(EntriesStartingWith(tmp.Path(), ""), std::vector<std::string>{}) << "the temporary dump stayed";

    LiveRun snapshot = TopByClass(jvm, tmp, {"--snapshot"});
    ExpectEntries(snapshot);
    EXPECT_EQ(Count(jvm.Log(), SNAPSHOT), 1u) << jvm.Log();
}

TEST(LiveRoute, SnapshotWhenTheAgentRefusesHeapDumps) {
    AgentFixture jvm("retain.RetainFixture", {std::to_string(ENTRIES)}, "retain ready", "heapdump=off", "DEBUG");
    ASSERT_TRUE(jvm.Ready()) << jvm.Jvm().Stderr();
    TempDir tmp;

    LiveRun run = TopByClass(jvm, tmp, {});
    ExpectEntries(run);
    EXPECT_NE(run.err.find("heapdump=off); taking a snapshot instead"), std::string::npos) << run.err;
    EXPECT_EQ(Count(jvm.Log(), SNAPSHOT), 1u) << jvm.Log();
    EXPECT_EQ(EntriesStartingWith(tmp.Path(), ""), std::vector<std::string>{});
}
