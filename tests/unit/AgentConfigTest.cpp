// The options string and the configuration file, driven through real files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <string>

#include "FakeJvm.h"
#include "JvmAgent.h"
#include "Orlo.h"
#include "TempDir.h"
#include "VeskLogger.h"

using namespace Orlo;

namespace {

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
        {"port=-5", 16400},
        {"port=abc", 0},
        {"port= 42x", 42},
        {"debug,port=17000", 17000},
        {",,port=1,,", 1},
        {" port=5", 16400},       // no trimming: an unknown key
        {"PORT=5", 16400},        // case-sensitive
        {"port=5,port=6", 6},     // the last one counts
        {"port=5,port=-1", 16400},
        {"port=99999999999", INT_MAX},
    };
    for (const Case& c : cases) {
        auto made = MakeWithConfig(c.options);
        EXPECT_EQ(made->GetPort(), c.port) << c.options;
        EXPECT_EQ(made->GetConfigFile(), emptyConfig) << c.options;
        EXPECT_EQ(err, "") << c.options;
    }
}

TEST_F(AgentConfigTest, IdleOptionAndIgnoredKeysLoggedOnce) {
    std::string log = dir.File("agent.log");
    std::string config = dir.Write("info.properties", "vesk.agent.log.level=INFO\nvesk.agent.log.file=" + log + "\n");
    auto made = Make(("prot=17000,idle=30,verbose,prot=1,cfgfile=" + config).c_str());
    EXPECT_EQ(made->GetIdleSeconds(), 30);
    EXPECT_EQ(made->GetPort(), 16400);
    VeskLogger::CloseLogFile();
    std::string text = vesktest::ReadFile(log);
    const std::string prot = "[INFO]: Ignoring unknown agent option: prot\n";
    size_t first = text.find(prot);
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find(prot, first + 1), std::string::npos) << "once per key";
    EXPECT_NE(text.find("[INFO]: Ignoring unknown agent option: verbose\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("option: idle"), std::string::npos);

    EXPECT_EQ(MakeWithConfig("")->GetIdleSeconds(), 0) << "no limit by default";
    EXPECT_EQ(MakeWithConfig("idle=-4")->GetIdleSeconds(), 0);
}

TEST_F(AgentConfigTest, UntagOption) {
    EXPECT_EQ(MakeWithConfig("")->GetUntagMode(), UntagMode::Dispose);
    EXPECT_EQ(MakeWithConfig("untag=walk")->GetUntagMode(), UntagMode::Walk);
    EXPECT_EQ(MakeWithConfig("untag=iterate")->GetUntagMode(), UntagMode::Iterate);
    std::string log = dir.File("agent.log");
    std::string config = dir.Write("info.properties", "vesk.agent.log.level=INFO\nvesk.agent.log.file=" + log + "\n");
    EXPECT_EQ(Make(("untag=Walk,cfgfile=" + config).c_str())->GetUntagMode(), UntagMode::Dispose);
    VeskLogger::CloseLogFile();
    std::string text = vesktest::ReadFile(log);
    EXPECT_NE(text.find("[INFO]: Ignoring unknown agent option: untag=Walk\n"), std::string::npos) << text;
}

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
