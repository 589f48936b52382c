#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "Orlo.h"
#include "TempDir.h"
#include "VeskLogger.h"

using Orlo::VeskLogger;

namespace {

// Restores the logger's process-wide state after each test.
class VeskLoggerTest : public ::testing::Test {
protected:
    void TearDown() override {
        VeskLogger::CloseLogFile();
        VeskLogger::SetLogLevel(Orlo::LOG_ERROR);
        VeskLogger::SetLogFile("");
        Orlo::baseDir = savedBase;
    }
    std::string savedBase = Orlo::baseDir;
};

}  // namespace

TEST_F(VeskLoggerTest, ExpandsFirstPidAndBase) {
    Orlo::baseDir = "/opt/a/";
    VeskLogger::SetLogFile("logs/veskjagent_%P.log");
    EXPECT_EQ(VeskLogger::GetLogFileName(), "logs/veskjagent_" + std::to_string(getpid()) + ".log");
    VeskLogger::SetLogFile("${vesk.base}logs/x_%P_%P.log");
    EXPECT_EQ(VeskLogger::GetLogFileName(),
              "/opt/a/logs/x_" + std::to_string(getpid()) + "_%P.log");
}

TEST_F(VeskLoggerTest, LevelsFilterAndPrefixFormat) {
    vesktest::TempDir dir;
    VeskLogger::CloseLogFile();
    VeskLogger::SetLogFile(dir.File("a.log").c_str());
    VeskLogger::SetLogLevel(Orlo::LOG_INFO);
    EXPECT_TRUE(VeskLogger::IsInfoLevel());
    EXPECT_FALSE(VeskLogger::IsDebugLevel());
    VeskLogger::LogDebug("hidden %d", 1);
    VeskLogger::LogTrace("hidden too");
    VeskLogger::LogInfo("shown %s", "info");
    VeskLogger::LogError(false, "plain error");
    VeskLogger::CloseLogFile();

    std::string log = vesktest::ReadFile(dir.File("a.log"));
    std::regex lines(
        "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3} "
        "\\[INFO\\]: shown info\n"
        "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3} "
        "\\[ERROR\\]: plain error\n");
    EXPECT_TRUE(std::regex_match(log, lines)) << log;
}

TEST_F(VeskLoggerTest, UnwritableFileFallsBackToStderr) {
    VeskLogger::CloseLogFile();
    VeskLogger::SetLogFile("/nonexistent-dir/x.log");
    testing::internal::CaptureStderr();
    VeskLogger::LogError(false, "first");
    VeskLogger::LogError(false, "second");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[ERROR]: Failed to open /nonexistent-dir/x.log, errno=2 (No such file or directory), using stderr\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[ERROR]: first\n"), std::string::npos);
    EXPECT_NE(err.find("[ERROR]: second\n"), std::string::npos);
    EXPECT_EQ(err.find("Failed to open", err.find("Failed to open") + 1), std::string::npos);
}
