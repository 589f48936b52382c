// vesk watch end to end: a JVM growing one class steadily (grow.GrowFixture)
// sampled every second; that class and only it is flagged, the metrics
// endpoint's text passes promtool where Debian's prometheus package
// provides it, Prometheus itself scrapes it, and --report draws the
// flagged class.
#include <gtest/gtest.h>

#include <httplib.h>

#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "AgentFixture.h"
#include "ChildProcess.h"
#include "Ports.h"
#include "TempDir.h"
#include "VeskProgram.h"

using namespace vesktest;

namespace {

const char PROMTOOL[] = "/usr/bin/promtool";
const char PROMETHEUS[] = "/usr/bin/prometheus";

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

TEST(WatchTest, PrometheusScrapesTheMetrics) {
    if (!FileExists(PROMETHEUS)) GTEST_SKIP() << "prometheus not installed (Debian package prometheus)";
    AgentFixture jvm("grow.GrowFixture", {}, "grow ready");
    ASSERT_TRUE(jvm.Ready()) << jvm.Jvm().Stderr();
    std::string metrics = "127.0.0.1:" + std::to_string(FreePort()), config = jvm.File("prometheus.yml");
    FILE* file = fopen(config.c_str(), "w");
    ASSERT_TRUE(file);
    fprintf(file,
            "global:\n  scrape_interval: 1s\n"
            "scrape_configs:\n  - job_name: vesk\n    static_configs:\n      - targets: ['%s']\n",
            metrics.c_str());
    fclose(file);
    int web = FreePort();
    ChildProcess prometheus({PROMETHEUS, "--config.file=" + config, "--storage.tsdb.path=" + jvm.File("tsdb"),
                             "--web.listen-address=127.0.0.1:" + std::to_string(web)});

    // vesk watches until Prometheus has stored a sample of the growing class (or has ended).
    httplib::Client api("127.0.0.1", web);
    nlohmann::json result;
    auto stored = [&] {
        if (!prometheus.Running()) return true;
        auto response = api.Get("/api/v1/query?query=vesk_class_bytes%7Bclass%3D%22grow.Node%22%7D");
        if (!response || response->status != 200) return false;
        result = nlohmann::json::parse(response->body, nullptr, false)["data"]["result"];
        return result.is_array() && !result.empty();
    };
    std::string out = jvm.File("watch.out");
    EXPECT_EQ(jvm.Vesk({"watch", "--every", "1s", "--metrics", metrics}, out, stored), 0) << ReadFile(out);
    ASSERT_TRUE(result.is_array() && !result.empty()) << prometheus.Stderr();
    EXPECT_EQ(result[0]["metric"]["job"], "vesk");
    EXPECT_GT(std::stoll(result[0]["value"][1].get<std::string>()), 0) << result.dump();
}

}  // namespace
