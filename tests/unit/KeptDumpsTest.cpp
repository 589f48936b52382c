// The client's reading of a DUMPS answer: the captures with their escaped
// messages, an agent without oom-dump, and an agent older than DUMPS.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BodyFrame.h"
#include "protocol/KeptDumps.h"

using vesk::ClientError;
using vesk::KeptCaptures;
using vesktest::BodyFrame;

namespace {

TEST(KeptDumpsTest, ReadsTheCapturesInOrderWithTheirFigures) {
    KeptCaptures kept = vesk::ReadKeptCaptures({BodyFrame(
        "<cmd name=\"DUMPS\"><prop name=\"oom-dir\" value=\"/var/heaps &amp; more\"/>"
        "<prop name=\"oom-events\" value=\"3\"/>"
        "<dump name=\"1-20261209T232329.123Z.hprof.zst\" size=\"3632067\" time=\"1765322609123\" "
        "msg=\"Java heap space\"/>"
        "<dump name=\"1-20261209T232330.001Z.hprof.zst\" size=\"12\" time=\"1765322610001\" "
        "msg=\"a &quot;quoted&quot; &lt;message&gt;\"/>"
        "<status value=\"1\"/></cmd><last value=\"1\"/>")});
    EXPECT_TRUE(kept.armed);
    EXPECT_EQ(kept.directory, "/var/heaps & more");
    EXPECT_EQ(kept.events, 3u);
    ASSERT_EQ(kept.captures.size(), 2u);
    EXPECT_EQ(kept.captures[0].name, "1-20261209T232329.123Z.hprof.zst");
    EXPECT_EQ(kept.captures[0].size, 3632067u);
    EXPECT_EQ(kept.captures[0].timeMillis, 1765322609123);
    EXPECT_EQ(kept.captures[1].message, "a \"quoted\" <message>");
}

TEST(KeptDumpsTest, AnAgentWithoutOomDumpAndAnOlderAgent) {
    KeptCaptures none =
        vesk::ReadKeptCaptures({BodyFrame("<cmd name=\"DUMPS\"><status value=\"1\"/></cmd><last value=\"1\"/>")});
    EXPECT_FALSE(none.armed);
    EXPECT_TRUE(none.captures.empty());
    try {
        vesk::ReadKeptCaptures({BodyFrame("<cmd name=\"DUMPS\"><status value=\"0\"/>"
                                          "<error msg=\"Unknown command: DUMPS\"/></cmd><last value=\"1\"/>")});
        FAIL() << "an older agent's answer was taken";
    } catch (const ClientError& e) {
        EXPECT_EQ(e.Kind(), vesk::ErrorKind::AgentReported);
        EXPECT_EQ(std::string(e.what()), "the agent keeps no heap dumps: it is older than the DUMPS request");
    }
}

}  // namespace
