// Library globals and the free helpers of the agent core, without a JVM.
#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "FakeJvm.h"
#include "Orlo.h"
#include "TempDir.h"
#include "TimeStamp.h"
#include "VeskLogger.h"

using namespace Orlo;

namespace {

class OrloTest : public ::testing::Test {
protected:
    void SetUp() override {
        baseDir = "unchanged/";
        fileSep = '/';
    }
    vesktest::AgentStateGuard guard;
};

TEST_F(OrloTest, BaseDirIsTextBeforeJvmAgent) {
    DeriveBaseDir("/opt/x/JvmAgent/lib/libveskjagent.so");
    EXPECT_EQ(baseDir, "/opt/x/");
    EXPECT_EQ(fileSep, '/');

    DeriveBaseDir("C:\\x\\JvmAgent\\bin\\veskjagent.dll");
    EXPECT_EQ(baseDir, "C:\\x\\");
    EXPECT_EQ(fileSep, '\\');

    fileSep = '/';
    DeriveBaseDir("/a/JvmAgentHome/lib/JvmAgent/x.so");  // the first occurrence counts
    EXPECT_EQ(baseDir, "/a/");
}

TEST_F(OrloTest, BaseDirKeptWithoutJvmAgent) {
    DeriveBaseDir("/usr/lib/libveskjagent.so");
    DeriveBaseDir("/usr/lib/jvmagent/libveskjagent.so");  // case-sensitive
    DeriveBaseDir("");
    DeriveBaseDir(nullptr);
    EXPECT_EQ(baseDir, "unchanged/");
    EXPECT_EQ(fileSep, '/');
}

TEST_F(OrloTest, JvmAgentAtStartGivesCurrentDirectoryAndKeepsSeparator) {
    fileSep = '\\';
    DeriveBaseDir("JvmAgent/lib/libveskjagent.so");
    EXPECT_EQ(baseDir, "./");
    EXPECT_EQ(fileSep, '\\');
}

TEST_F(OrloTest, TimeStampIsWallClockMillis) {
    TimeStamp stamp;
    EXPECT_EQ(stamp.Millis(), 0);
    time_t before = time(nullptr);
    stamp.Now();
    time_t after = time(nullptr);
    EXPECT_GE(stamp.seconds, static_cast<int64_t>(before));
    EXPECT_LE(stamp.seconds, static_cast<int64_t>(after));
    EXPECT_LT(stamp.millis, 1000);
    EXPECT_EQ(stamp.Millis(), stamp.seconds * 1000 + stamp.millis);
    stamp.Reset();
    EXPECT_EQ(stamp.Millis(), 0);
}

TEST_F(OrloTest, ChecksLogFailuresOnlyWithoutAgent) {
    vesktest::TempDir dir;
    VeskLogger::SetLogFile(dir.File("orlo.log").c_str());
    EXPECT_TRUE(CheckJvmtiError(JVMTI_ERROR_NONE, "Quiet"));
    EXPECT_TRUE(CheckJniError(JNI_OK, "Quiet"));
    EXPECT_FALSE(CheckJvmtiError(JVMTI_ERROR_MUST_POSSESS_CAPABILITY, "GetTag"));
    EXPECT_FALSE(CheckJvmtiError(static_cast<jvmtiError>(120), nullptr));
    EXPECT_FALSE(CheckJniError(JNI_EVERSION, "AttachCurrentThread"));
    EXPECT_FALSE(CheckJniError(-7, nullptr));
    void* block = &dir;
    FreeJvmtiMemory(&block);  // no JVMTI: nothing to hand back, pointer still cleared
    EXPECT_EQ(block, nullptr);
    VeskLogger::CloseLogFile();

    std::string log = vesktest::ReadFile(dir.File("orlo.log"));
    const char* lines[] = {
        "[ERROR]: GetTag: JVMTI error=JVMTI_ERROR_MUST_POSSESS_CAPABILITY(99)\n",
        "[ERROR]: : JVMTI error=<UNKNOWN_ERROR_CODE>(120)\n",
        "[ERROR]: AttachCurrentThread: JNI error=JNI_EVERSION(-3)\n",
        "[ERROR]: : JNI error=<UNKNOWN_ERROR_CODE>(-7)\n",
    };
    size_t at = 0;
    for (const char* line : lines) {
        at = log.find(line, at);
        EXPECT_NE(at, std::string::npos) << line << "\nin\n" << log;
    }
    EXPECT_EQ(log.find("Quiet"), std::string::npos);
}

}  // namespace
