// vesk report in a real browser: pages drawn from a live JVM and from
// hand-written streams are loaded by headless Chromium, and the rendered DOM
// is checked (the page's own script ran, nothing from the snapshot did).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "Browser.h"
#include "JavaProcess.h"
#include "SnapshotStream.h"
#include "TempDir.h"
#include "VeskProgram.h"

using namespace vesktest;

namespace {

// A name that runs script if a page ever writes it as markup.
const char HOSTILE[] =
    "<script>document.documentElement.setAttribute('data-pwned','1')</script>"
    "<img src=x onerror=\"document.documentElement.setAttribute('data-pwned','1')\">";

// Runs vesk; its output goes to vesk.out in dir.
int RunVesk(const std::vector<std::string>& arguments, const TempDir& dir) {
    std::vector<std::string> args = {VeskProgram()};
    args.insert(args.end(), arguments.begin(), arguments.end());
    return RunProgram(args, dir.File("vesk.out"));
}

size_t Count(const std::string& text, const std::regex& pattern) {
    return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), pattern),
                                             std::sregex_iterator()));
}

// The page's own script ran: it turns every sortable column head into a
// button and shows the filter box.
void ExpectScriptRan(const std::string& dom) {
    EXPECT_NE(dom.find("<th class=\"n\"><button type=\"button\">"), std::string::npos);
    EXPECT_NE(dom.find("<input id=\"filter\" type=\"search\""), std::string::npos);
    EXPECT_EQ(dom.find("aria-label=\"Filter by class name\" hidden"), std::string::npos);
}

std::string XmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else if (c == '&') out += "&amp;";
        else out += c;
    }
    return out;
}

}  // namespace

TEST(Report, SampleJvmPageRendersTreemapHistogramPathsAndThreads) {
    ASSERT_FALSE(ChromiumPath().empty()) << "headless Chromium is needed (scripts/setup.sh installs it)";
    int port = FreePort();
    JavaProcess jvm({AgentArg("port=" + std::to_string(port) + ",address=127.0.0.1")}, "SampleApp");
    ASSERT_TRUE(jvm.WaitForOutput("SampleApp ready", 60000)) << jvm.Stderr();
    TempDir dir;
    std::string page = dir.File("report.html");
    // A snapshot: thread names and states are not in a heap dump.
    ASSERT_EQ(RunVesk({"--port", std::to_string(port), "--snapshot", "report", "-o", page}, dir), 0)
        << ReadFile(dir.File("vesk.out"));
    EXPECT_NE(ReadFile(dir.File("vesk.out")).find("report written to " + page), std::string::npos);
    EXPECT_LE(ReadFile(page).size(), 2u << 20);

    std::string dom = DumpDom(page);
    ASSERT_FALSE(dom.empty());
    ExpectScriptRan(dom);
    // The histogram: 2000 customers with 25 orders each, in the rendered table.
    EXPECT_TRUE(std::regex_search(dom, std::regex("<tr><td class=\"name\">SampleApp\\$Order</td>"
                                                  "<td class=\"n\">50,000</td>")));
    EXPECT_GE(Count(dom, std::regex("<tr><td class=\"name\">")), 100u);
    // The treemap: the class holding the map, and the map inside it.
    EXPECT_GE(Count(dom, std::regex("<g class=\"c\" tabindex=\"0\"")), 20u);
    EXPECT_TRUE(std::regex_search(dom, std::regex("data-n=\"class SampleApp\"[^>]*><title>[^<]*</title><rect[^>]*></rect>"
                                                  "<text[^>]*>[^<]*</text><g class=\"c\" tabindex=\"0\" "
                                                  "data-n=\"java.util.HashMap\"")));
    // The paths of the two leak suspects and of the ten largest: the map is
    // reached through the static field.
    EXPECT_EQ(Count(dom, std::regex("<ol class=\"steps\">")), 12u);
    EXPECT_NE(dom.find("One java.util.HashMap held by SampleApp.ORDERS_BY_CUSTOMER retains "), std::string::npos);
    EXPECT_NE(dom.find(".ORDERS_BY_CUSTOMER \xE2\x86\x92 java.util.HashMap @"), std::string::npos);
    // Threads: main sleeps holding the byte arrays in a local.
    std::smatch main;
    ASSERT_TRUE(std::regex_search(dom, main, std::regex("<tr><td class=\"name\">main</td><td>([^<]*)</td>"
                                                        "<td class=\"n\" data-v=\"([0-9]+)\" title=\"[0-9,]+ bytes\">"
                                                        "[0-9.]+ [KM]iB</td>")));
    EXPECT_EQ(main[1].str(), "TIMED_WAITING (sleeping)");
    EXPECT_GE(std::stoll(main[2].str()), 64 * 16 * 1024);
    // The header: when it was taken.
    EXPECT_TRUE(std::regex_search(dom, std::regex("<th>Taken</th><td>20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9:]{8} UTC</td>")));
    // The page opens with the findings and the treemap, the waste below.
    EXPECT_LT(dom.find("<section id=\"findings\">"), dom.find("<section id=\"treemap\">"));
    EXPECT_LT(dom.find("<section id=\"treemap\">"), dom.find("<section id=\"waste\">"));
    // In Chromium: the waste table's first rows, then all; sizes sorted by bytes.
    if (std::string missing = PuppeteerMissing(); missing.empty()) {
        std::string script = dir.File("report.out");
        EXPECT_TRUE(RunPuppeteer({"file://" + page, "report"}, script)) << ReadFile(script) << ReadFile(script + ".err");
    }

    // Kept for people to look at.
    mkdir(VESK_ARTIFACT_DIR, 0755);
    EXPECT_TRUE(Screenshot(page, std::string(VESK_ARTIFACT_DIR) + "/sample-report.png", 1280, 1600));
}

TEST(Report, NothingFromTheSnapshotRunsInTheSingleOrTheComparisonPage) {
    ASSERT_FALSE(ChromiumPath().empty()) << "headless Chromium is needed (scripts/setup.sh installs it)";
    auto stream = [](int instances) {
        SnapshotStream s;
        s.Class(0x100, XmlEscaped(HOSTILE), {"next"}).Class(0x200, "java.lang.Object").Thread(0x300, XmlEscaped(HOSTILE));
        s.Object(0x1000, 0x100, 64).Root(0x1000, 0x100, 64, 24, 0x300);
        for (int i = 1; i < instances; i++)
            s.Object(0x1000 + i, 0x100, 64).Ref(0x1000 + i - 1, 0x1000 + i, 0x100, 64, 0);
        return s.Text();
    };
    TempDir dir;
    std::string before = dir.Write("before.vsnap", stream(2)), after = dir.Write("after.vsnap", stream(50));
    std::string single = dir.File("single.html"), comparison = dir.File("comparison.html");
    ASSERT_EQ(RunVesk({"report", after, "-o", single}, dir), 0) << ReadFile(dir.File("vesk.out"));
    ASSERT_EQ(RunVesk({"report", before, after, "-o", comparison}, dir), 0) << ReadFile(dir.File("vesk.out"));

    for (const std::string& page : {single, comparison}) {
        SCOPED_TRACE(page);
        std::string dom = DumpDom(page);
        ASSERT_FALSE(dom.empty());
        ExpectScriptRan(dom);
        EXPECT_EQ(dom.find("data-pwned=\"1\""), std::string::npos);
        EXPECT_EQ(Count(dom, std::regex("<script")), 1u);
        EXPECT_EQ(Count(dom, std::regex("<img")), 0u);
        // The name is there, as text.
        EXPECT_NE(dom.find("&lt;script&gt;document.documentElement.setAttribute("), std::string::npos);
    }
    std::string dom = DumpDom(comparison);
    // The bar chart shows the growth of the hostile class: 48 more instances of 64 bytes.
    EXPECT_TRUE(std::regex_search(dom, std::regex("<svg[^>]*class=\"growth\"[\\s\\S]*\\+3\\.0 KiB</text>")));
    // The holder that grew, named as text with both sizes, the growth's bytes on hover.
    size_t holder = dom.find(" bytes\">&lt;script&gt;document", dom.find("<section id=\"holders\">"));
    ASSERT_NE(holder, std::string::npos);
    std::string title = dom.substr(holder, dom.find("</h3>", holder) - holder);
    EXPECT_TRUE(std::regex_search(title, std::regex(" grew by [0-9.]+ KiB, from [0-9.]+ B to [0-9.]+ KiB$"))) << title;
}
