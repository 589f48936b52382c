// The boundary every agent thread, JVMTI callback and entry point runs behind.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "ExceptionBoundary.h"
#include "FakeJvm.h"
#include "TempDir.h"
#include "VeskLogger.h"
#include "VeskThread.h"

using namespace Orlo;

namespace {

class ExceptionBoundaryTest : public ::testing::Test {
protected:
    void SetUp() override { VeskLogger::SetLogFile(dir.File("agent.log").c_str()); }
    std::string Log() {
        VeskLogger::CloseLogFile();
        return vesktest::ReadFile(dir.File("agent.log"));
    }

    vesktest::AgentStateGuard guard;
    vesktest::TempDir dir;
};

TEST_F(ExceptionBoundaryTest, ExceptionsAreLoggedWithWhereAndStopHere) {
    int ran = 0;
    EXPECT_TRUE(ExceptionBoundary::Run("Quiet", [&] { ran++; }));
    EXPECT_FALSE(ExceptionBoundary::Run("Typed", [] { throw std::length_error("buffer full"); }));
    EXPECT_FALSE(ExceptionBoundary::Run("Untyped", [] { throw 42; }));
    EXPECT_EQ(ran, 1);
    std::string log = Log();
    EXPECT_NE(log.find("[ERROR]: Typed stopped by an exception: buffer full\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ERROR]: Untyped stopped by an exception: unknown exception\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Quiet"), std::string::npos);
}

// What the JVM calls when it starts an agent thread returns normally, with
// the failure logged, whatever the thread's work throws.
TEST_F(ExceptionBoundaryTest, AgentThreadEndsCleanlyOnAnException) {
    struct Failing : VeskThread {
        Failing() : VeskThread("vesk-test", nullptr) {}
        void ThreadFunction() override { throw std::bad_alloc(); }
    } thread;
    VeskThread::ThreadFunctionWrapper(nullptr, nullptr, &thread);
    EXPECT_NE(Log().find("Agent thread stopped by an exception: std::bad_alloc"), std::string::npos);
}

}  // namespace
