// The built agent loaded by a real JVM: start-up and shutdown log lines,
// configuration paths, and what the library exports and depends on.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "AgentLog.h"
#include "JavaProcess.h"
#include "TempDir.h"
#include "VeskVersion.h"

using namespace vesktest;

namespace {

const char* const FIXTURE = "load.LoadFixture";
const int EXIT_TIMEOUT_MS = 60000;

std::string RegexEscape(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// The agent's first log line: its release.
std::string VersionLine() { return RegexEscape(std::string("veskjagent ") + Orlo::VESK_VERSION); }

std::string CommandOutput(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
    pclose(pipe);
    return out;
}

// Every line carries the logger's prefix; the expected messages appear in
// this order (other lines may come between them).
void ExpectLogLines(const std::string& log, const std::vector<std::string>& messages) {
    EXPECT_EQ(UnprefixedLogLines(log), std::vector<std::string>()) << log;
    std::vector<std::string> lines = Lines(log);
    size_t next = 0;
    for (const std::string& message : messages) {
        std::regex expected(".{23} \\[DEBUG\\]: " + message);
        while (next < lines.size() && !std::regex_match(lines[next], expected)) ++next;
        ASSERT_LT(next, lines.size()) << "missing in order: " << message << "\nlog:\n" << log;
        ++next;
    }
}

class AgentLoadTest : public ::testing::Test {
protected:
    void SetUp() override { port = FreePort(); }
    std::string Port() const { return "port=" + std::to_string(port); }

    TempDir dir;
    int port = 0;
};

TEST_F(AgentLoadTest, DebugRunLogsLifecycleToConfiguredFile) {
    std::string config = dir.Write("agent.properties",
                                   "# test configuration\n"
                                   "vesk.agent.log.level = DEBUG\n"
                                   "vesk.agent.log.file=" + dir.File("agent_%P.log") + "\n");
    // Loopback only: on every interface without a key the agent logs an error.
    std::string options = Port() + ",address=127.0.0.1,cfgfile=" + config;
    JavaProcess java({AgentArg(options)}, FIXTURE);
    pid_t pid = java.Pid();
    ASSERT_EQ(java.WaitExit(EXIT_TIMEOUT_MS), 0) << java.Stderr();
    EXPECT_NE(java.Stdout().find("load fixture done"), std::string::npos);
    EXPECT_EQ(java.Stderr(), "");

    std::string logName = dir.File("agent_" + std::to_string(pid) + ".log");
    ASSERT_TRUE(FileExists(logName)) << logName;
    std::string log = ReadFile(logName);
    const std::string hex = "0x[0-9a-f]+";
    ExpectLogLines(log, {
        VersionLine(),
        "Enter Agent_OnLoad, lib=" + RegexEscape(VESK_AGENT_LIB) + ", vm=" + hex +
            ", options=" + RegexEscape(options),
        "Constructing JvmAgent:, jvmti=" + hex,
        "Loaded JVMTI Version 3[0-9a-f]{7}",
        "Enter JvmInitCB, jvmti=" + hex + ", jnienv=" + hex + ", thread=" + hex +
            ", JNI Version=[0-9a-f]+",
        "Starting agent thread",
        "Enter JvmDeathCB, jvmti=" + hex + ", jnienv=" + hex,
        "Enter Agent_OnUnload, vm=" + hex,
    });
    EXPECT_EQ(log.find("ERROR]"), std::string::npos) << log;

    // The JVM hands the callbacks the environment the agent obtained, and a
    // JNI version of 1.6 or later.
    std::smatch match;
    ASSERT_TRUE(std::regex_search(log, match, std::regex("jvmti=(0x[0-9a-f]+)\n")));
    EXPECT_NE(log.find("Enter JvmInitCB, jvmti=" + match[1].str() + ","), std::string::npos);
    EXPECT_NE(log.find("Enter JvmDeathCB, jvmti=" + match[1].str() + ","), std::string::npos);
    ASSERT_TRUE(std::regex_search(log, match, std::regex("JNI Version=([0-9a-f]+)")));
    EXPECT_GE(std::stol(match[1].str(), nullptr, 16), 0x10006);
}

TEST_F(AgentLoadTest, MissingConfigFileWritesOneStderrLine) {
    std::string missing = dir.File("missing.properties");
    JavaProcess java({AgentArg(Port() + ",cfgfile=" + missing)}, FIXTURE);
    ASSERT_EQ(java.WaitExit(EXIT_TIMEOUT_MS), 0) << java.Stderr();
    std::string err = java.Stderr();
    EXPECT_EQ(Count(err, "Failed to open JVM Agent config file"), 1u) << err;
    EXPECT_NE(err.find("Failed to open JVM Agent config file '" + missing +
                       "', errno=2 (No such file or directory), using defaults\n"),
              std::string::npos)
        << err;
    // Level ERROR and nothing went wrong: no log file anywhere.
    EXPECT_FALSE(FileExists(java.Dir().File("logs")));
}

// Installed deeper than the classic 512-byte path limit, the library still
// finds its base directory.
TEST_F(AgentLoadTest, DeepInstallTreeGivesDefaultConfigAndLogPaths) {
    namespace fs = std::filesystem;
    fs::path base = fs::path(dir.Path()) / "inst";
    for (int i = 0; i < 6; ++i) base /= std::string(100, static_cast<char>('a' + i));
    fs::create_directories(base / "JvmAgent" / "lib");
    fs::create_directories(base / "config");
    fs::create_directories(base / "logs");
    fs::path library = base / "JvmAgent" / "lib" / "libveskjagent.so";
    fs::copy_file(VESK_AGENT_LIB, library);
    ASSERT_GT(library.string().size(), 600u);
    std::ofstream((base / "config" / "veskjagent.properties").string())
        << "vesk.agent.log.level=DEBUG\n";

    JavaProcess java({"-agentpath:" + library.string() + "=" + Port()}, FIXTURE);
    pid_t pid = java.Pid();
    ASSERT_EQ(java.WaitExit(EXIT_TIMEOUT_MS), 0) << java.Stderr();
    EXPECT_EQ(java.Stderr(), "");
    std::string log =
        ReadFile((base / "logs" / ("veskjagent_" + std::to_string(pid) + ".log")).string());
    ExpectLogLines(log, {VersionLine(), "Enter Agent_OnLoad, lib=" + RegexEscape(library.string()) +
                             ", vm=0x[0-9a-f]+, options=" + Port()});
}

TEST_F(AgentLoadTest, ServerListensOnGivenAddressAfterVmInit) {
    std::string release = dir.File("release");
    JavaProcess java({AgentArg(Port() + ",address=127.0.0.1,cfgfile=" + dir.Write("a.properties", ""))},
                     FIXTURE, {release});
    EXPECT_TRUE(WaitForPort(port, 30000)) << java.Stderr();
    dir.Write("release", "");
    EXPECT_EQ(java.WaitExit(EXIT_TIMEOUT_MS), 0) << java.Stderr();
}

TEST(AgentLibraryTest, ExportsOnlyEntryPointsAndNeedsNoCppRuntime) {
    std::string symbols = CommandOutput(std::string("nm -D --defined-only ") + VESK_AGENT_LIB);
    std::vector<std::string> names;
    for (const std::string& line : Lines(symbols)) names.push_back(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ(names, (std::vector<std::string>{"Agent_OnAttach", "Agent_OnLoad", "Agent_OnUnload"})) << symbols;

    std::string needed = CommandOutput(std::string("ldd ") + VESK_AGENT_LIB);
    ASSERT_NE(needed.find("libc.so"), std::string::npos) << needed;
    EXPECT_EQ(needed.find("libstdc++"), std::string::npos) << needed;
    EXPECT_EQ(needed.find("libpugixml"), std::string::npos) << needed;
    EXPECT_EQ(needed.find("libnettle"), std::string::npos) << needed;
    EXPECT_EQ(needed.find("libzstd"), std::string::npos) << needed;
    EXPECT_EQ(needed.find("libgcc_s"), std::string::npos) << needed;
}

}  // namespace
