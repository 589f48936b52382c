// The options string and the configuration file, driven through real files.
#include <gtest/gtest.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <memory>
#include <string>

#include "AgentOptions.h"
#include "FakeJvm.h"
#include "JvmAgent.h"
#include "Orlo.h"
#include "TempDir.h"
#include "VeskLogger.h"

using namespace Orlo;

namespace {

const std::string UNKNOWN_KEY = "unknown key";

class AgentConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        libraryPath[0] = '\0';
        baseDir.clear();
        fileSep = '/';
        VeskLogger::SetLogLevel(LOG_ERROR);
        emptyConfig = dir.Write("empty.properties", "");
    }

    // An agent built from the options; stderr is kept in `err`.
    std::unique_ptr<JvmAgent> Make(const char* options) {
        std::string copy = options ? options : "";
        testing::internal::CaptureStderr();
        std::unique_ptr<JvmAgent> made(new JvmAgent(jvm.Vm(), options ? copy.data() : nullptr));
        err = testing::internal::GetCapturedStderr();
        return made;
    }
    std::unique_ptr<JvmAgent> MakeWithConfig(const std::string& options) {
        return Make((options + ",cfgfile=" + emptyConfig).c_str());
    }
    // Rewrites the agent's configuration file and reads it again.
    void Reload(JvmAgent& made, const std::string& text) {
        dir.Write("empty.properties", text);
        made.LoadConfig();
    }

    vesktest::AgentStateGuard guard;
    vesktest::TempDir dir;
    vesktest::FakeJvm jvm;
    std::string emptyConfig;
    std::string err;
};

TEST_F(AgentConfigTest, NoOptionsAndUnknownLibraryPathGiveDefaults) {
    for (const char* options : {static_cast<const char*>(nullptr), ""}) {
        auto made = Make(options);
        EXPECT_EQ(made->GetPort(), 16400);
        EXPECT_EQ(made->GetConfigFile(), "");
        EXPECT_EQ(made->GetAddress(), "");
        EXPECT_EQ(made->GetLogFile(), "logs/veskjagent_%P.log");
        EXPECT_EQ(err, "");
        EXPECT_EQ(VeskLogger::GetLogFileName(), "logs/veskjagent_" + std::to_string(getpid()) + ".log");
    }
}

TEST_F(AgentConfigTest, KnownLibraryPathGivesDefaultFilesBelowBase) {
    DeriveBaseDir("/opt/x/JvmAgent/lib/libveskjagent.so");
    snprintf(libraryPath, LIBRARY_PATH_SIZE, "%s", "/opt/x/JvmAgent/lib/libveskjagent.so");
    for (const char* options : {"", "cfgfile=", "port=1,cfgfile=/elsewhere,cfgfile="}) {
        auto made = Make(options);
        EXPECT_EQ(made->GetConfigFile(), "/opt/x/config/veskjagent.properties") << options;
        EXPECT_EQ(made->GetLogFile(), "/opt/x/logs/veskjagent_%P.log");
        EXPECT_EQ(err,
                  "Failed to open JVM Agent config file '/opt/x/config/veskjagent.properties', "
                  "errno=2 (No such file or directory), using defaults\n");
    }
}

TEST_F(AgentConfigTest, OptionItems) {
    struct Case {
        const char* options;
        int port;
    } cases[] = {
        {"port=16500", 16500},
        {"port=1", 1},
        {"port=65535", 65535},
        {",,port=17000,,", 17000},
        {"port=5,port=6", 6},  // the last one counts
        {"cfgfile=", 16400},
    };
    for (const Case& c : cases) {
        auto made = MakeWithConfig(c.options);
        EXPECT_EQ(made->GetPort(), c.port) << c.options;
        EXPECT_EQ(made->GetConfigFile(), emptyConfig) << c.options;
        EXPECT_TRUE(made->GetOptionErrors().empty()) << c.options;
        EXPECT_TRUE(made->IsEnabled()) << c.options;
        EXPECT_EQ(err, "") << c.options;
    }
    auto made = MakeWithConfig("idle=30,untag=walk,heapdump=off,address=10.1.2.3");
    EXPECT_EQ(made->GetIdleSeconds(), 30);
    EXPECT_EQ(made->GetUntagMode(), UntagMode::Walk);
    EXPECT_FALSE(made->IsHeapDumpEnabled());
    EXPECT_EQ(made->GetAddress(), "10.1.2.3");
    EXPECT_EQ(MakeWithConfig("untag=iterate,heapdump=on")->GetUntagMode(), UntagMode::Iterate);
    auto defaults = MakeWithConfig("");
    EXPECT_EQ(defaults->GetIdleSeconds(), 0) << "no limit by default";
    EXPECT_EQ(defaults->GetUntagMode(), UntagMode::Dispose);
    EXPECT_TRUE(defaults->IsHeapDumpEnabled());
    EXPECT_EQ(MakeWithConfig("address=")->GetAddress(), "") << "every interface";
    EXPECT_EQ(defaults->GetCompressLevel(), 1);
    EXPECT_EQ(MakeWithConfig("compress-level=0")->GetCompressLevel(), 0) << "off";
    EXPECT_EQ(MakeWithConfig("compress-level=19")->GetCompressLevel(), 19);
    EXPECT_FALSE(defaults->SnapshotFromDump());
    EXPECT_TRUE(MakeWithConfig("snapshot-source=dump")->SnapshotFromDump());
    EXPECT_FALSE(MakeWithConfig("snapshot-source=walk")->SnapshotFromDump());
}

TEST_F(AgentConfigTest, SizeValues) {
    uint64_t bytes = 0;
    struct Case {
        const char* text;
        uint64_t bytes;
    } cases[] = {{"0", 0},          {"1048576", 1048576}, {"64k", 64 << 10}, {"500m", 500ull << 20},
                 {"1g", 1ull << 30}, {"2G", 2ull << 30},    {"8M", 8 << 20},  {"8388608g", 1ull << 53}};
    for (const Case& c : cases) {
        EXPECT_TRUE(AgentOptions::ParseSize(c.text, bytes)) << c.text;
        EXPECT_EQ(bytes, c.bytes) << c.text;
    }
    for (const char* bad : {"", "g", "1.5g", "-1", "1t", "1 g", " 1g", "1gb", "8388609g", "99999999999999999"})
        EXPECT_FALSE(AgentOptions::ParseSize(bad, bytes)) << bad;
}

TEST_F(AgentConfigTest, PortAndAddressValues) {
    int port = 0;
    for (const char* good : {"1", "80", "16400", "65535"}) EXPECT_TRUE(AgentOptions::ParsePort(good, port)) << good;
    EXPECT_TRUE(AgentOptions::ParsePort("00080", port));
    EXPECT_EQ(port, 80);
    for (const char* bad : {"", "0", "-5", "+5", "abc", " 42", "42x", "65536", "99999", "99999999999"})
        EXPECT_FALSE(AgentOptions::ParsePort(bad, port)) << bad;
    for (const char* good : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "10.1.2.3"})
        EXPECT_TRUE(AgentOptions::IsIpv4Address(good)) << good;
    for (const char* bad : {"", "localhost", "127.0.0", "127.0.0.1.", "1.2.3.4.5", "256.0.0.1", "1..2.3",
                            " 127.0.0.1", "0x7f.0.0.1", "1234.0.0.1", "::1", "127.0.0.-1"})
        EXPECT_FALSE(AgentOptions::IsIpv4Address(bad)) << bad;
}

// Each bad value of a known key: one line naming it and the problem, in the
// log at the default level and on standard error; no JVMTI, so no server;
// the good items still count.
TEST_F(AgentConfigTest, BadOptionsAreErrorsAndKeepTheServerFromStarting) {
    std::string log = dir.File("agent.log");
    std::string config = dir.Write("error.properties", "vesk.agent.log.file=" + log + "\n");
    struct Case {
        const char* item;
        std::string problem;
    } cases[] = {
        {"port=abc", "not a port number from 1 to 65535"},
        {"port=99999", "not a port number from 1 to 65535"},
        {"port=-", "not a port number from 1 to 65535"},
        {"port=", "not a port number from 1 to 65535"},
        {"address=localhost", "not a dotted IPv4 address such as 127.0.0.1"},
        {"untag=bogus", "not dispose, iterate or walk"},
        {"untag=Walk", "not dispose, iterate or walk"},
        {"idle=-4", "not a number of seconds from 0 to 2147483"},
        {"idle=abc", "not a number of seconds from 0 to 2147483"},
        {"heapdump=no", "not on or off"},
        {"min-interval=1m", "not a number of seconds from 0 to 2147483"},
        {"compress-level=20", "not a zstd level from 0 (no compression) to 19"},
        {"compress-level=-1", "not a zstd level from 0 (no compression) to 19"},
        {"compress-level=x", "not a zstd level from 0 (no compression) to 19"},
        {"snapshot-source=heap", "not walk or dump"},
        {"oom-dump=", "not a directory"},
        {"oom-dump-count=0", "not a number of captures from 1 to 1000"},
        {"oom-dump-count=1001", "not a number of captures from 1 to 1000"},
        {"oom-dump-min-free=1t", "not a size such as 1g, 500m or 1048576"},
        {"oom-dump-min-free=", "not a size such as 1g, 500m or 1048576"},
        {"tls=yes", "not on or off"},
#ifdef _WIN32
        {"tls=on", "TLS is not available on Windows; use auth=FILE alone"},
#else
        {"tls=on", "it needs auth=FILE, whose key it uses"},
#endif
    };
    for (const Case& c : cases) {
        jvm.getEnvVersions.clear();
        auto made = Make((std::string(c.item) + ",port=17001,cfgfile=" + config).c_str());
        VeskLogger::CloseLogFile();
        std::string line = std::string("Invalid JVM Agent option '") + c.item + "': " + c.problem +
                           "; the command server does not start\n";
        EXPECT_EQ(err, line) << c.item;
        std::string text = vesktest::ReadFile(log);
        EXPECT_NE(text.find("[ERROR]: " + line), std::string::npos) << text;
        EXPECT_FALSE(made->IsEnabled()) << c.item;
        EXPECT_EQ(made->GetJvmtiEnv(), nullptr) << c.item;
        EXPECT_TRUE(jvm.getEnvVersions.empty()) << c.item;
        EXPECT_EQ(made->GetPort(), 17001) << c.item;
    }
    // Ignored items are reported first; a refusal still stops the server.
    auto made = Make(("idle=x,prot=1,port=0,cfgfile=" + config).c_str());
    EXPECT_EQ(err, "ignored agent option 'prot=1': " + UNKNOWN_KEY +
                       "\n"
                       "Invalid JVM Agent option 'idle=x': not a number of seconds from 0 to 2147483; the command "
                       "server does not start\n"
                       "Invalid JVM Agent option 'port=0': not a port number from 1 to 65535; the command server "
                       "does not start\n");
    EXPECT_EQ(made->GetOptionErrors().size(), 2u);
    EXPECT_FALSE(made->IsEnabled());
    EXPECT_EQ(made->GetPort(), 16400);
}

// Items for other tools or other versions: one line each, in the log at the
// default level and on standard error; the other items count and the agent
// goes on to start its server.
TEST_F(AgentConfigTest, UnknownItemsAreIgnoredAndReported) {
    std::string log = dir.File("agent.log");
    std::string config = dir.Write("ignored.properties", "vesk.agent.log.file=" + log + "\n");
    const std::string negative = "ignored agent option 'port=-5': a negative port means the default, 16400\n";
    struct Case {
        const char* options;
        int port;
        std::string lines;
    } cases[] = {
        {"debug,port=17000", 17000, "ignored agent option 'debug': not a key=value item\n"},
        {"nokey,port=-5", 16400, "ignored agent option 'nokey': not a key=value item\n" + negative},
        {"port=17000,port=-5", 16400, negative},  // the last one counts
        {"prot=17000", 16400, "ignored agent option 'prot=17000': " + UNKNOWN_KEY + "\n"},
        {"oom-dump-count=2,port=17000", 17000,
         "ignored agent option 'oom-dump-count=2': no oom-dump=DIR to apply it to\n"},
        {" port=5,PORT=6,port=7", 7,  // no trimming, case-sensitive
         "ignored agent option ' port=5': " + UNKNOWN_KEY + "\nignored agent option 'PORT=6': " + UNKNOWN_KEY +
             "\n"},
    };
    for (const Case& c : cases) {
        auto made = Make((std::string(c.options) + ",cfgfile=" + config).c_str());
        VeskLogger::CloseLogFile();
        EXPECT_EQ(err, c.lines) << c.options;
        std::string text = vesktest::ReadFile(log);
        for (size_t at = 0, end; (end = c.lines.find('\n', at)) != std::string::npos; at = end + 1)
            EXPECT_NE(text.find("[ERROR]: " + c.lines.substr(at, end + 1 - at)), std::string::npos) << text;
        EXPECT_EQ(made->GetPort(), c.port) << c.options;
        EXPECT_TRUE(made->GetOptionErrors().empty()) << c.options;
        EXPECT_TRUE(made->IsEnabled()) << c.options;
    }
}

#ifndef _WIN32
// A key others can read is no secret: logged as an option error is, no server.
TEST_F(AgentConfigTest, KeyFileOthersCanReadKeepsTheServerFromStarting) {
    std::string key = dir.Write("agent.key", std::string(64, 'k') + "\n");
    std::string config = dir.Write("key.properties", "vesk.agent.log.file=" + dir.File("agent.log") + "\n");
    chmod(key.c_str(), 0644);
    auto made = Make(("auth=" + key + ",cfgfile=" + config).c_str());
    EXPECT_EQ(err, "Authentication key file '" + key +
                       "' is accessible by group or others (mode 0644); make it private with chmod 600; the "
                       "command server does not start\n");
    EXPECT_FALSE(made->IsEnabled());
    chmod(key.c_str(), 0600);
    made = Make(("auth=" + key + ",min-interval=30,cfgfile=" + config).c_str());
    EXPECT_EQ(err, "");
    EXPECT_TRUE(made->IsEnabled());
    EXPECT_FALSE(made->GetAuthKey().Empty());
    EXPECT_EQ(made->GetMinIntervalSeconds(), 30);
}
#endif

TEST_F(AgentConfigTest, ConfigFileAndAddressOptions) {
    std::string odd = dir.Write("a=b.properties", "");
    auto made = Make(("port=16500,cfgfile=" + odd + ",address=127.0.0.1").c_str());
    EXPECT_EQ(made->GetPort(), 16500);
    EXPECT_EQ(made->GetConfigFile(), odd);  // split at the first "=" only
    EXPECT_EQ(made->GetAddress(), "127.0.0.1");
    EXPECT_EQ(err, "");

    // The caller's string stays as it was.
    std::string options = "port=1,cfgfile=" + emptyConfig;
    std::string before = options;
    JvmAgent second(jvm.Vm(), options.data());
    EXPECT_EQ(options, before);
}

TEST_F(AgentConfigTest, MissingConfigFileWritesOneLineAndKeepsDefaults) {
    std::string missing = dir.File("missing.properties");
    auto made = Make(("cfgfile=" + missing).c_str());
    EXPECT_EQ(err, "Failed to open JVM Agent config file '" + missing +
                       "', errno=2 (No such file or directory), using defaults\n");
    EXPECT_EQ(made->GetLogFile(), "logs/veskjagent_%P.log");
    EXPECT_EQ(VeskLogger::GetLogLevel(), LOG_ERROR);
}

TEST_F(AgentConfigTest, LevelLines) {
    auto made = MakeWithConfig("");
    struct Case {
        const char* text;
        LogLevel expected;
    } cases[] = {
        {"   vesk.agent.log.level   =   TRACE   \n", LOG_TRACE},
        {"vesk.agent.log.level=DEBUG", LOG_DEBUG},  // no line end at the end of file
        {"\tvesk.agent.log.level\t=\tINFO\r\n", LOG_INFO},
        {"vesk.agent.log.level=ERROR\n", LOG_ERROR},
        {"vesk.agent.log.level=DEBUG\nvesk.agent.log.level=TRACE\n", LOG_TRACE},
        // Left unchanged (the level before each case is INFO):
        {"vesk.agent.log.level=trace\n", LOG_INFO},
        {"vesk.agent.log.level=VERBOSE\n", LOG_INFO},
        {"  # vesk.agent.log.level=DEBUG\n\t; vesk.agent.log.level=DEBUG\n ! vesk.agent.log.level=DEBUG\n",
         LOG_INFO},
        {"vesk.agent.log.level DEBUG\n", LOG_INFO},
        {"Vesk.agent.log.level=DEBUG\nvesk.agent.log.levels=DEBUG\n", LOG_INFO},
        {"\n   \n\n", LOG_INFO},
        {"vesk.agent.log.level=DE BUG\n", LOG_INFO},
    };
    for (const Case& c : cases) {
        VeskLogger::SetLogLevel(LOG_INFO);
        Reload(*made, c.text);
        EXPECT_EQ(VeskLogger::GetLogLevel(), c.expected) << c.text;
    }
}

TEST_F(AgentConfigTest, LongLineIsTakenInPieces) {
    auto made = MakeWithConfig("");
    // The first 1023 characters are a comment, the rest a line of its own.
    Reload(*made, "#" + std::string(1022, 'x') + "vesk.agent.log.level=TRACE\n");
    EXPECT_EQ(VeskLogger::GetLogLevel(), LOG_TRACE);
    VeskLogger::SetLogLevel(LOG_ERROR);
    Reload(*made, "#" + std::string(1023, 'x') + "vesk.agent.log.level=TRACE\n");
    EXPECT_EQ(VeskLogger::GetLogLevel(), LOG_ERROR);
}

TEST_F(AgentConfigTest, LogFileLines) {
    auto made = MakeWithConfig("");
    Reload(*made, "vesk.agent.log.file=${vesk.base}logs/my log %P.log  \n");
    EXPECT_EQ(made->GetLogFile(), "${vesk.base}logs/my log %P.log");
    Reload(*made, "vesk.agent.log.file = /tmp/a=b.log\n");
    EXPECT_EQ(made->GetLogFile(), "/tmp/a=b.log");
    Reload(*made, "vesk.agent.log.file=\n");
    EXPECT_EQ(made->GetLogFile(), "logs/veskjagent_%P.log");
    Reload(*made, "vesk.agent.log.file=/a.log\nvesk.agent.log.file=/b.log\n");
    EXPECT_EQ(made->GetLogFile(), "/b.log");
}

TEST_F(AgentConfigTest, ConstructorHandsExpandedLogFileToLogger) {
    baseDir = "/opt/a/";
    std::string config = dir.Write(
        "c.properties", "vesk.agent.log.file=${vesk.base}logs/agent_%P.log\n# the end\n");
    auto made = Make(("cfgfile=" + config).c_str());
    EXPECT_EQ(made->GetLogFile(), "${vesk.base}logs/agent_%P.log");
    EXPECT_EQ(VeskLogger::GetLogFileName(),
              "/opt/a/logs/agent_" + std::to_string(getpid()) + ".log");
}

}  // namespace
