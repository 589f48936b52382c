// The client's reading of a HISTOGRAM answer: rows, figures, heap use from
// RUNTIME, and what an older agent and a refusal look like.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BodyFrame.h"
#include "protocol/HistogramRequest.h"

using vesk::Frame;
using vesk::HistogramSample;
using vesktest::BodyFrame;

namespace {

const char RUNTIME[] =
    "<cmd name=\"RUNTIME\"><prop name=\"total-heap\" value=\"1000\"/><prop name=\"free-heap\" value=\"400\"/>"
    "<status value=\"1\"/></cmd><last value=\"0\"/>";

TEST(HistogramRequestTest, ReadsRowsFiguresAndHeapUse) {
    std::vector<Frame> frames{
        BodyFrame(RUNTIME),
        BodyFrame("<cmd name=\"HISTOGRAM\"><prop name=\"hs-time\" value=\"1700000000000\"/>"
                  "<prop name=\"total-inst\" value=\"5\"/><prop name=\"total-size\" value=\"96\"/>"
                  "<prop name=\"pass-msec\" value=\"7\"/><prop name=\"gc-msec\" value=\"3\"/><histogram>"
                  "<class clstag=\"1\" name=\"a.B&lt;&#195;&#169;&gt;\" inst=\"2\" size=\"32\"/>"
                  "<class clstag=\"a\" name=\"int[]\" inst=\"3\" size=\"64\"/>"
                  "</histogram><status value=\"1\"/></cmd><last value=\"1\"/>")};
    HistogramSample sample;
    ASSERT_TRUE(vesk::ReadHistogram(frames, sample));
    EXPECT_EQ(sample.timeMillis, 1700000000000);
    EXPECT_EQ(sample.totalInstances, 5);
    EXPECT_EQ(sample.totalBytes, 96);
    EXPECT_EQ(sample.passMillis, 7);
    EXPECT_EQ(sample.gcMillis, 3);
    EXPECT_EQ(sample.heapUsed, 600);
    EXPECT_EQ(sample.heapCommitted, 1000);
    ASSERT_EQ(sample.classes.size(), 2u);
    EXPECT_EQ(sample.classes[0].name, "a.B<\xC3\xA9>");
    EXPECT_EQ(sample.classes[0].instances, 2);
    EXPECT_EQ(sample.classes[0].bytes, 32);
    EXPECT_EQ(sample.classes[1].name, "int[]");
}

TEST(HistogramRequestTest, OlderAgentIsFalseAndARefusalThrows) {
    HistogramSample sample;
    EXPECT_FALSE(vesk::ReadHistogram(
        {BodyFrame(RUNTIME), BodyFrame("<cmd name=\"HISTOGRAM\"><status value=\"0\"/>"
                                       "<error msg=\"Unknown command: HISTOGRAM\"/></cmd><last value=\"1\"/>")},
        sample));
    try {
        vesk::ReadHistogram({BodyFrame("<cmd name=\"HISTOGRAM\"><status value=\"0\"/><error msg=\"Refused: "
                                       "later\"/></cmd><last value=\"1\"/>")},
                            sample);
        ADD_FAILURE() << "no error thrown";
    } catch (const vesk::ClientError& e) {
        EXPECT_EQ(e.Kind(), vesk::ErrorKind::AgentReported);
        EXPECT_STREQ(e.what(), "the agent reported: Refused: later");
    }
    EXPECT_EQ(vesk::HistogramRequestText(true),
              "<vesk-cmd tag=\"1\"><cmd name=\"RUNTIME\"/><cmd name=\"HISTOGRAM\" live=\"true\"/></vesk-cmd>");
}

}  // namespace
