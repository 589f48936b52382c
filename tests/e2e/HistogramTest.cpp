// HISTOGRAM end to end: the agent's one-pass class histogram against the
// JVM's own (jcmd GC.class_histogram -all) and against a snapshot's class
// records taken right after, on an idle fixture (snap.SnapFixture); the
// agent's own heap pass when asked for; min-interval and the collection of
// live="true"; vesk histo through it.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "AgentFixture.h"
#include "JavaProcess.h"
#include "SnapshotStream.h"
#include "TempDir.h"
#include "heap/ClassHistogram.h"
#include "protocol/HistogramRequest.h"

using namespace vesktest;
using vesk::Frame;
using vesk::HistogramSample;
using vesk::VeskClient;

namespace {

const char FIXTURE[] = "snap.SnapFixture";
const char READY[] = "snap ready";
constexpr int64_t BULK = 200000;

std::map<std::string, ClassFigures> ByName(const HistogramSample& sample) {
    std::map<std::string, ClassFigures> classes;
    for (const vesk::HistogramClass& cls : sample.classes) {
        classes[cls.name].instances += cls.instances;
        classes[cls.name].bytes += cls.bytes;
    }
    return classes;
}

TEST(HistogramTest, AgreesWithTheJvmsHistogramAndCoversASnapshot) {
    AgentFixture jvm(FIXTURE, {std::to_string(BULK)}, READY);
    ASSERT_TRUE(jvm.Ready()) << jvm.Jvm().Stderr();
    // A first jcmd starts the JVM's attach listener, whose objects would
    // otherwise come between the two counts.
    JvmClassHistogram(jvm.Pid(), jvm.File("warm.out"), true);
    // jcmd's count first: the agent's answer leaves the JVM's histogram text
    // behind as a garbage string, which a later count of every object sees.
    std::map<std::string, ClassFigures> jcmd = JvmClassHistogram(jvm.Pid(), jvm.File("jcmd.out"), true);
    ASSERT_FALSE(jcmd.empty()) << ReadFile(jvm.File("jcmd.out"));
    VeskClient client = jvm.Connect();
    HistogramSample sample;
    ASSERT_TRUE(vesk::RequestHistogram(client, false, sample));
    EXPECT_EQ(sample.source, "jvm");

    std::map<std::string, ClassFigures> ours = ByName(sample);
    int compared = 0;
    for (const auto& [name, theirs] : jcmd) {
        if (theirs.instances < 1000) continue;
        compared++;
        EXPECT_NEAR(ours[name].instances, theirs.instances, theirs.instances / 100.0) << name;
        EXPECT_NEAR(ours[name].bytes, theirs.bytes, theirs.bytes / 100.0) << name;
    }
    EXPECT_GE(compared, 3);
    EXPECT_EQ(ours["snap.Bulk"].instances, BULK);
    int64_t instances = 0, bytes = 0;
    for (const auto& [name, figures] : ours) {
        instances += figures.instances;
        bytes += figures.bytes;
    }
    EXPECT_EQ(sample.totalInstances, instances);
    EXPECT_EQ(sample.totalBytes, bytes);
    EXPECT_GT(sample.heapUsed, 0);
    EXPECT_GE(sample.heapCommitted, sample.heapUsed);
    EXPECT_GT(sample.timeMillis, 0);

    // The walk sees only what is reachable, and not what only the VM holds.
    client.Send(VeskClient::BuildRequest({"SNAPSHOT"}, "2"));
    SnapshotRecords snapshot;
    snapshot.Read(client.ReadResponse());
    ASSERT_TRUE(snapshot.whole) << snapshot.error;
    std::map<std::string, int64_t> walked;
    for (const auto& [tag, record] : snapshot.classes)
        if (record.totalinst > 0) walked[vesk::JvmClassName(record.name)] += record.totalinst;
    ASSERT_FALSE(walked.empty());
    for (const auto& [name, count] : walked) EXPECT_GE(ours[name].instances, count) << name;
    client.Close();

    // vesk histo takes the agent's histogram: no reachability to report.
    std::string out = jvm.File("histo.json");
    ASSERT_EQ(jvm.Vesk({"histo", "--json", "-n", "3"}, out), 0) << ReadFile(out);
    nlohmann::json histo = nlohmann::json::parse(ReadFile(out));
    EXPECT_FALSE(histo.contains("unreachableClasses")) << histo.dump();
    bool bulkSeen = false;
    for (const auto& row : histo["classes"])
        if (row["name"] == "snap.Bulk") bulkSeen = row["instances"] == BULK;
    EXPECT_TRUE(bulkSeen) << histo.dump();
}

TEST(HistogramTest, HeapPassStillAnswersWhenAskedFor) {
    AgentFixture jvm(FIXTURE, {std::to_string(BULK)}, READY);
    ASSERT_TRUE(jvm.Ready()) << jvm.Jvm().Stderr();
    VeskClient client = jvm.Connect();
    HistogramSample sample;
    ASSERT_TRUE(vesk::ReadHistogram(client.Request(VeskClient::BuildRequest({"HISTOGRAM"}, "1", "", "heap-pass")),
                                    sample));
    EXPECT_EQ(sample.source, "heap-pass");
    EXPECT_EQ(ByName(sample)["snap.Bulk"].instances, BULK);
    EXPECT_GE(sample.totalInstances, BULK);
}

TEST(HistogramTest, LiveCollectsFirstAndMinIntervalRefusesTheNext) {
    AgentFixture jvm(FIXTURE, {"0"}, READY, "min-interval=600");
    ASSERT_TRUE(jvm.Ready()) << jvm.Jvm().Stderr();
    VeskClient client = jvm.Connect();
    std::vector<Frame> frames = client.Request(vesk::HistogramRequestText(true));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_NE(frames[1].bytes.find("<prop name=\"gc-msec\""), std::string::npos) << frames[1].bytes;
    HistogramSample sample;
    try {
        vesk::RequestHistogram(client, false, sample);
        ADD_FAILURE() << "a second HISTOGRAM within min-interval was served";
    } catch (const vesk::ClientError& e) {
        EXPECT_EQ(e.Kind(), vesk::ErrorKind::AgentReported);
        EXPECT_NE(std::string(e.what()).find("is allowed in "), std::string::npos) << e.what();
    }
    // A refusal ends the request, not the connection.
    EXPECT_EQ(client.Request(VeskClient::BuildRequest({"RUNTIME"}, "3")).size(), 1u);
}

}  // namespace
