// vesk watch end to end: a JVM growing one class steadily (grow.GrowFixture)
// sampled every second; that class and only it is flagged, the metrics
// endpoint's text passes promtool where Debian's prometheus package
// provides it, and --report draws the flagged class.
#include <gtest/gtest.h>

#include <httplib.h>

#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "AgentFixture.h"
#include "Ports.h"
#include "TempDir.h"
#include "VeskProgram.h"

using namespace vesktest;

namespace {

const char PROMTOOL[] = "/usr/bin/promtool";

TEST(WatchTest, FlagsTheGrowingClassAloneAndServesMetrics) {
    AgentFixture jvm("grow.GrowFixture", {}, "grow ready");
    ASSERT_TRUE(jvm.Ready()) << jvm.Jvm().Stderr();
    std::string samples = jvm.File("watch.jsonl"), out = jvm.File("watch.out"), scraped;
    std::string metrics = "127.0.0.1:" + std::to_string(FreePort());
    // Scraped while vesk runs: the endpoint answers once the first sample is in.
    httplib::Client scraper("http://" + metrics);
    auto scrape = [&] {
        if (scraped.empty())
            if (auto response = scraper.Get("/metrics"); response && response->status == 200) scraped = response->body;
        return false;
    };
    ASSERT_EQ(jvm.Vesk({"watch", "--every", "1s", "--count", "12", "-o", samples, "--metrics", metrics}, out, scrape),
              0)
        << ReadFile(out);

    std::istringstream lines(ReadFile(samples));
    std::vector<nlohmann::json> taken;
    for (std::string line; std::getline(lines, line);) taken.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(taken.size(), 12u);
    const nlohmann::json& last = taken.back();
    EXPECT_EQ(last["growing"], nlohmann::json::array({"grow.Node"})) << last["growing"];
    EXPECT_EQ(last["classes"][0]["name"], "grow.Node");
    EXPECT_GT(last["heapUsed"].get<int64_t>(), 0);
    EXPECT_GT(last["time"].get<int64_t>(), taken.front()["time"].get<int64_t>());
    EXPECT_NE(ReadFile(out).find("growing: grow.Node"), std::string::npos) << ReadFile(out);

    ASSERT_FALSE(scraped.empty()) << "no scrape of " << metrics << " succeeded";
    EXPECT_NE(scraped.find("vesk_class_bytes{class=\"grow.Node\"} "), std::string::npos) << scraped;
    if (FileExists(PROMTOOL)) {
        std::string text = jvm.File("metrics.txt"), check = jvm.File("promtool.out");
        FILE* file = fopen(text.c_str(), "w");
        ASSERT_TRUE(file);
        fputs(scraped.c_str(), file);
        fclose(file);
        EXPECT_EQ(RunProgram({"/bin/sh", "-c", std::string(PROMTOOL) + " check metrics < " + text}, check), 0)
            << ReadFile(check);
        EXPECT_EQ(ReadFile(check), "") << "promtool found something to say";
    } else {
        printf("promtool not installed (Debian package prometheus): the metrics text was not checked by it\n");
    }

    std::string page = jvm.File("trend.html");
    ASSERT_EQ(RunProgram({VeskProgram(), "watch", "--report", samples, "-o", page}, out), 0) << ReadFile(out);
    std::string html = ReadFile(page);
    EXPECT_NE(html.find("<h2 class=\"name\">grow.Node</h2>"), std::string::npos);
    EXPECT_NE(html.find("<polyline"), std::string::npos);
}

}  // namespace
