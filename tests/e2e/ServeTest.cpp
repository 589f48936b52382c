// vesk serve end to end: a fixture JVM's heap, saved by vesk dump or taken
// by serve --port or --pid itself (under its default name, then opened in
// a stand-in browser), served on a free port. The API answers only with
// the token (header or cookie), the page without it; Ctrl-C ends serving with
// status 0. In headless Chromium, the page walks from the dominator tree to
// a path, and names made of markup stay text.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "AgentFixture.h"
#include "Browser.h"
#include "ChildProcess.h"
#include "JavaProcess.h"
#include "Ports.h"
#include "HprofBuilder.h"
#include "TempDir.h"
#include "VeskProgram.h"

using namespace vesktest;
using nlohmann::json;

namespace {

// What a serving line names.
struct Served {
    std::string base;   // http://127.0.0.1:PORT
    std::string token;
};

Served Parse(const std::string& url) {
    size_t fragment = url.find("/#token=");
    return {url.substr(0, fragment), fragment == std::string::npos ? "" : url.substr(fragment + 8)};
}

httplib::Result Get(const Served& served, const std::string& path, const httplib::Headers& headers = {}) {
    httplib::Client client(served.base);
    return client.Get(path, headers);
}

size_t ServingLines(const std::string& output) {
    const std::regex line("(^|\n)serving http://127\\.0\\.0\\.1:[0-9]+/#token=[0-9a-f]{32}\n");
    return static_cast<size_t>(std::distance(std::sregex_iterator(output.begin(), output.end(), line),
                                             std::sregex_iterator()));
}

class ServeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        jvm = new AgentFixture("retain.RetainFixture", {"2000"}, "retain ready");
        if (!jvm->Ready()) return;
        dump = jvm->File("heap.hprof");
        dumped = jvm->Vesk({"dump", "-o", dump}, jvm->File("dump.out")) == 0;
    }
    static void TearDownTestSuite() {
        delete jvm;
        jvm = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(dumped) << ReadFile(jvm->File("dump.out")); }

    static AgentFixture* jvm;
    static std::string dump;
    static bool dumped;
};
AgentFixture* ServeTest::jvm = nullptr;
std::string ServeTest::dump;
bool ServeTest::dumped = false;

}  // namespace

TEST_F(ServeTest, TheTokenGuardsTheApiAndNotThePage) {
    std::string out = jvm->File("serve.out");
    bool served = false;
    int status = RunServe({"serve", dump}, out, [&](const std::string& url) {
        served = true;
        Served at = Parse(url);
        // Without the token, or with another: 403 and one line of JSON.
        for (const httplib::Headers& headers :
             {httplib::Headers{}, httplib::Headers{{"Authorization", "Bearer " + std::string(32, '0')}},
              httplib::Headers{{"Cookie", "vesk_token=" + at.token.substr(1)}}}) {
            auto refused = Get(at, "/api/summary", headers);
            ASSERT_TRUE(refused);
            EXPECT_EQ(refused->status, 403);
            EXPECT_EQ(refused->get_header_value("Content-Type"), "application/json");
            EXPECT_EQ(refused->body.find('\n'), refused->body.size() - 1);
            json error = json::parse(refused->body, nullptr, false);
            EXPECT_TRUE(error.is_object() && error.size() == 1 && error.contains("error")) << refused->body;
        }
        // With it: the answer, not to be cached, and the cookie for later requests.
        auto answered = Get(at, "/api/summary", {{"Authorization", "Bearer " + at.token}});
        ASSERT_TRUE(answered);
        EXPECT_EQ(answered->status, 200) << answered->body;
        EXPECT_EQ(answered->get_header_value("Content-Type"), "application/json");
        EXPECT_EQ(answered->get_header_value("Cache-Control"), "no-store");
        std::string cookie = answered->get_header_value("Set-Cookie");
        EXPECT_EQ(cookie, "vesk_token=" + at.token + "; HttpOnly; SameSite=Strict; Path=/api");
        auto byCookie = Get(at, "/api/summary", {{"Cookie", cookie.substr(0, cookie.find(';'))}});
        ASSERT_TRUE(byCookie);
        EXPECT_EQ(byCookie->status, 200);
        EXPECT_EQ(byCookie->body, answered->body);
        // The page and its assets: no token needed, none inside, no inline script allowed.
        for (const char* path : {"/", "/explore.js", "/explore.css"}) {
            auto page = Get(at, path);
            ASSERT_TRUE(page);
            EXPECT_EQ(page->status, 200) << path;
            EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
            EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self';"), std::string::npos);
            EXPECT_EQ(page->body.find(at.token), std::string::npos);
        }
    });
    std::string output = ReadFile(out);
    EXPECT_TRUE(served) << output;
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(ServingLines(output), 1u) << output;
}

TEST_F(ServeTest, TheLiveHeapIsSavedThenServed) {
    std::string saved = jvm->File("live.hprof.zst"), out = jvm->File("live.out");
    bool served = false;
    int status = RunServe({"--port", std::to_string(jvm->Port()), "serve", "-o", saved}, out, [&](const std::string& url) {
        served = true;
        EXPECT_TRUE(FileExists(saved));
        Served at = Parse(url);
        auto answered = Get(at, "/api/summary", {{"Authorization", "Bearer " + at.token}});
        ASSERT_TRUE(answered);
        EXPECT_EQ(answered->status, 200) << answered->body;
    });
    std::string output = ReadFile(out);
    EXPECT_TRUE(served) << output;
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("heap dump saved to " + saved), std::string::npos) << output;
}

// Without -o, --pid's heap goes to ./HOST-PID-TIME.hprof.zst; --open hands
// the address to xdg-open (here a stand-in on PATH that notes it).
TEST(ServePidTest, ThePidsHeapGetsItsDefaultNameAndOpenStartsTheBrowser) {
    JavaProcess jvm({}, "server.ServerFixture");
    ASSERT_TRUE(jvm.WaitForOutput("READY", 30000)) << jvm.Stderr();
    const std::string pid = std::to_string(jvm.Pid());
    TempDir bin;
    ASSERT_EQ(RunProgram({VeskProgram(), "attach", pid, "--port", std::to_string(FreePort()), "--agent", VESK_AGENT_LIB},
                         bin.File("attach.out")),
              0)
        << ReadFile(bin.File("attach.out"));
    std::string opened = bin.File("opened");
    std::ofstream(bin.File("xdg-open")) << "#!/bin/sh\necho \"$1\" > " << opened << ".part && mv " << opened
                                        << ".part " << opened << "\n";
    ASSERT_EQ(chmod(bin.File("xdg-open").c_str(), 0755), 0);
    const char* path = getenv("PATH");
    {
        ChildProcess serve({VeskProgram(), "--pid", pid, "serve", "--open"},
                           {"PATH=" + bin.Path() + ":" + (path ? path : "/usr/bin:/bin")});
        ASSERT_TRUE(serve.WaitForOutput("serving http", 120000)) << serve.Stdout() << serve.Stderr();
        std::smatch url;
        std::string out = serve.Stdout();
        ASSERT_TRUE(std::regex_search(out, url, std::regex("serving (http://\\S+)\n"))) << out;
        for (int i = 0; i < 600 && !FileExists(opened); i++) usleep(100000);
        EXPECT_EQ(ReadFile(opened), url[1].str() + "\n") << serve.Stderr();
        char host[256] = "";
        ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
        const std::regex name(std::string(host) + "-" + pid + "-[0-9]{8}-[0-9]{6}\\.hprof\\.zst");
        std::vector<std::string> saved;
        for (const auto& entry : std::filesystem::directory_iterator(serve.Dir().Path()))
            if (std::regex_match(entry.path().filename().string(), name)) saved.push_back(entry.path().filename());
        ASSERT_EQ(saved.size(), 1u) << serve.Stderr();
        EXPECT_NE(serve.Stderr().find("heap dump saved to ./" + saved[0]), std::string::npos) << serve.Stderr();
        kill(serve.Pid(), SIGINT);
        EXPECT_EQ(serve.WaitExit(30000), 0);
    }
    // Ended in order, so that the agent removes its port file.
    kill(jvm.Pid(), SIGTERM);
    jvm.WaitExit(30000);
}

TEST_F(ServeTest, AnAddressInUseOrABadPortEndsInOneLine) {
    std::string out = jvm->File("first.out"), second = jvm->File("second.out");
    RunServe({"serve", dump}, out, [&](const std::string& url) {
        std::string port = url.substr(url.rfind(':') + 1, url.find('/', 7) - url.rfind(':') - 1);
        EXPECT_EQ(RunProgram({VeskProgram(), "serve", dump, "--http-port", port}, second), 6);
        EXPECT_EQ(ReadFile(second), "vesk: cannot listen on 127.0.0.1:" + port + " for vesk serve\n");
    });
    EXPECT_EQ(RunProgram({VeskProgram(), "serve", dump, "--http-port", "65536"}, second), 2) << ReadFile(second);
    EXPECT_EQ(RunProgram({VeskProgram(), "serve"}, second), 2) << ReadFile(second);
}

TEST_F(ServeTest, InABrowserTheTreeLeadsToAnObjectItsReferrerAndPath) {
    if (std::string missing = PuppeteerMissing(); !missing.empty()) GTEST_SKIP() << missing;
    std::string out = jvm->File("browse.out"), script = jvm->File("walk.out");
    bool walked = false;
    RunServe({"serve", dump}, out, [&](const std::string& url) { walked = RunPuppeteer({url, "walk"}, script); });
    EXPECT_TRUE(walked) << ReadFile(script) << ReadFile(script + ".err") << ReadFile(out);
}

TEST(ServeBrowser, NamesMadeOfMarkupShowAsTextAndRunNothing) {
    if (std::string missing = PuppeteerMissing(); !missing.empty()) GTEST_SKIP() << missing;
    // A class and its field named with markup and quotes; a root holds one
    // instance, which holds another.
    const std::string CLASS = "<script>document.documentElement.setAttribute('data-pwned','1')</script>\"'";
    const std::string FIELD = "\"><img src=x onerror=\"document.documentElement.setAttribute('data-pwned','1')\">";
    enum : uint8_t { OBJECT = 2 };
    HprofBuilder b(8);
    b.Utf8(1, CLASS).Utf8(2, FIELD).LoadClass(1, 0x100, 1);
    b.Segment(b.ClassDump(0x100, 0, 8, {}, {}, {HprofBuilder::Field{2, OBJECT, ""}}) + b.Root(0xFF, 0x1000) +
              b.Instance(0x1000, 0x100, b.Id(0x1010)) + b.Instance(0x1010, 0x100, b.Id(0)));
    TempDir dir;
    std::string heap = dir.Write("hostile.hprof", b.Bytes()), out = dir.File("serve.out"), script = dir.File("script.out");
    bool passed = false;
    RunServe({"serve", heap}, out, [&](const std::string& url) { passed = RunPuppeteer({url, "hostile"}, script); });
    EXPECT_TRUE(passed) << ReadFile(script) << ReadFile(script + ".err") << ReadFile(out);
}
