// vesk attach: the agent loaded into a JVM started without it, over the
// JVM's own attach socket, and a second load that finds it there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "JavaProcess.h"
#include "Ports.h"
#include "TempDir.h"
#include "VeskProgram.h"

using namespace vesktest;

namespace {

TEST(AttachTest, AttachedAgentServesAndASecondAttachFindsIt) {
    JavaProcess jvm({}, "server.ServerFixture");
    ASSERT_TRUE(jvm.WaitForOutput("READY", 30000)) << jvm.Stderr();
    const std::string pid = std::to_string(jvm.Pid());
    const std::string port = std::to_string(FreePort());
    const std::string serving = "serving 127.0.0.1:" + port + "\n";
    TempDir dir;
    const std::string out = dir.File("out.txt");

    ASSERT_EQ(RunProgram({VeskProgram(), "attach", pid, "--port", port, "--agent", VESK_AGENT_LIB}, out), 0)
        << ReadFile(out) << jvm.Stderr();
    EXPECT_EQ(ReadFile(out), "agent loaded into " + pid + ", " + serving);

    ASSERT_EQ(RunProgram({VeskProgram(), "--port", port, "runtime"}, out), 0) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("cpus "), std::string::npos) << ReadFile(out);

    // Another port asked for: the agent that serves says where it is.
    const std::string other = std::to_string(FreePort());
    ASSERT_EQ(RunProgram({VeskProgram(), "attach", pid, "--port", other, "--agent", VESK_AGENT_LIB}, out), 0)
        << ReadFile(out);
    EXPECT_EQ(ReadFile(out), "already loaded, " + serving);
    ASSERT_EQ(RunProgram({VeskProgram(), "--port", port, "runtime"}, out), 0) << ReadFile(out);

    for (const std::string& trigger : {"/tmp/.attach_pid" + pid, jvm.Dir().File(".attach_pid" + pid)})
        EXPECT_NE(access(trigger.c_str(), F_OK), 0) << trigger;
    EXPECT_TRUE(jvm.Running());
}

}  // namespace
