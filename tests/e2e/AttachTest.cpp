// vesk attach: the agent loaded into a JVM started without it, over the
// JVM's own attach socket, and a second load that finds it there; vesk --pid
// finding that agent; the targets that cannot be attached to.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "JavaProcess.h"
#include "Ports.h"
#include "TempDir.h"
#include "VeskProgram.h"
#include "VeskVersion.h"

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

    // A port in use: the agent's own words, from its log below the JVM's
    // working directory (the agent is in no install tree), whatever vesk's is.
    {
        ASSERT_EQ(mkdir(jvm.Dir().File("logs").c_str(), 0755), 0);
        int taken = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(taken, 1), 0);
        ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &size), 0);
        std::string inUse = std::to_string(ntohs(address.sin_port));
        EXPECT_EQ(RunProgram({VeskProgram(), "attach", pid, "--port", inUse, "--agent", VESK_AGENT_LIB}, out), 1);
        close(taken);
        EXPECT_NE(ReadFile(out).find("cannot listen on 127.0.0.1:" + inUse + ": Address already in use (error=98)"),
                  std::string::npos)
            << ReadFile(out);
    }

    ASSERT_EQ(RunProgram({VeskProgram(), "attach", pid, "--port", port, "--agent", VESK_AGENT_LIB}, out), 0)
        << ReadFile(out) << jvm.Stderr();
    EXPECT_EQ(ReadFile(out), "agent loaded into " + pid + ", " + serving);

    ASSERT_EQ(RunProgram({VeskProgram(), "--port", port, "runtime"}, out), 0) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("cpus "), std::string::npos) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find(std::string("\nagent-version  ") + Orlo::VESK_VERSION + "\n"), std::string::npos)
        << ReadFile(out);

    // Another port asked for: the agent that serves says where it is.
    const std::string other = std::to_string(FreePort());
    ASSERT_EQ(RunProgram({VeskProgram(), "attach", pid, "--port", other, "--agent", VESK_AGENT_LIB}, out), 0)
        << ReadFile(out);
    EXPECT_EQ(ReadFile(out), "already loaded, " + serving);
    ASSERT_EQ(RunProgram({VeskProgram(), "--port", port, "runtime"}, out), 0) << ReadFile(out);

    for (const std::string& trigger : {"/tmp/.attach_pid" + pid, jvm.Dir().File(".attach_pid" + pid)})
        EXPECT_NE(access(trigger.c_str(), F_OK), 0) << trigger;
    EXPECT_TRUE(jvm.Running());
    // Ended in order, so that the agent removes its port file from /tmp.
    kill(jvm.Pid(), SIGTERM);
    jvm.WaitExit(30000);
}

TEST(AttachTest, PidFindsTheAttachedAgentForSnapshotAndDump) {
    JavaProcess jvm({}, "server.ServerFixture");
    ASSERT_TRUE(jvm.WaitForOutput("READY", 30000)) << jvm.Stderr();
    const std::string pid = std::to_string(jvm.Pid());
    const std::string port = std::to_string(FreePort());
    const std::string portFile = "/tmp/.veskjagent_" + pid;
    TempDir dir;
    const std::string out = dir.File("out.txt");
    ASSERT_EQ(RunProgram({VeskProgram(), "attach", pid, "--port", port, "--agent", VESK_AGENT_LIB}, out), 0)
        << ReadFile(out) << jvm.Stderr();

    EXPECT_EQ(ReadFile(portFile), "127.0.0.1 " + port + "\n");
    struct stat mode {};
    ASSERT_EQ(stat(portFile.c_str(), &mode), 0);
    EXPECT_EQ(mode.st_mode & 0777, 0600u);

    ASSERT_EQ(RunProgram({VeskProgram(), "--pid", pid, "top", "-n", "3"}, out), 0) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("server.ServerFixture"), std::string::npos) << ReadFile(out);
    const std::string hprof = dir.File("heap.hprof");
    ASSERT_EQ(RunProgram({VeskProgram(), "dump", "--pid", pid, "-o", hprof}, out), 0) << ReadFile(out);
    ASSERT_EQ(RunProgram({VeskProgram(), "top", hprof, "-n", "3"}, out), 0) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("server.ServerFixture"), std::string::npos) << ReadFile(out);

    // An orderly exit takes the agent's files with it.
    ASSERT_EQ(kill(jvm.Pid(), SIGTERM), 0);
    EXPECT_NE(jvm.WaitExit(30000), -1);
    EXPECT_FALSE(FileExists(portFile));
    EXPECT_EQ(EntriesStartingWith(jvm.Dir().Path(), "VESK"), std::vector<std::string>{});
    EXPECT_EQ(EntriesStartingWith("/dev/shm", "VESKDUMP_" + pid + "_"), std::vector<std::string>{});
}

TEST(AttachTest, AuthGivesTheAgentTheKey) {
    JavaProcess jvm({}, "server.ServerFixture");
    ASSERT_TRUE(jvm.WaitForOutput("READY", 30000)) << jvm.Stderr();
    const std::string pid = std::to_string(jvm.Pid());
    const std::string port = std::to_string(FreePort());
    TempDir dir;
    const std::string out = dir.File("out.txt");
    const std::string key = dir.File("agent.key");
    ASSERT_EQ(RunProgram({VeskProgram(), "keygen", key}, out), 0) << ReadFile(out);
    ASSERT_EQ(RunProgram({VeskProgram(), "attach", pid, "--port", port, "--auth", key, "--agent", VESK_AGENT_LIB},
                         out),
              0)
        << ReadFile(out) << jvm.Stderr();
    EXPECT_EQ(RunProgram({VeskProgram(), "--port", port, "runtime"}, out), 11) << ReadFile(out);
    EXPECT_EQ(RunProgram({VeskProgram(), "--port", port, "--auth", key, "runtime"}, out), 0) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("cpus "), std::string::npos) << ReadFile(out);
    kill(jvm.Pid(), SIGTERM);
    jvm.WaitExit(30000);
}

TEST(AttachTest, NoProcessAndDisabledAttachFailAtOnce) {
    TempDir dir;
    const std::string out = dir.File("out.txt");
    // pid_max itself is never a process id.
    std::string gone = ReadFile("/proc/sys/kernel/pid_max");
    gone.erase(gone.find_last_not_of("\n") + 1);
    EXPECT_EQ(RunProgram({VeskProgram(), "attach", gone, "--agent", VESK_AGENT_LIB}, out), 9) << ReadFile(out);
    EXPECT_EQ(ReadFile(out), "vesk: no process " + gone + " (check the PID)\n");
    EXPECT_EQ(RunProgram({VeskProgram(), "--pid", gone, "runtime"}, out), 9) << ReadFile(out);

    JavaProcess jvm({"-XX:+DisableAttachMechanism"}, "server.ServerFixture");
    ASSERT_TRUE(jvm.WaitForOutput("READY", 30000)) << jvm.Stderr();
    const std::string pid = std::to_string(jvm.Pid());
    EXPECT_EQ(RunProgram({VeskProgram(), "attach", pid, "--agent", VESK_AGENT_LIB}, out), 10) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("-XX:+DisableAttachMechanism"), std::string::npos) << ReadFile(out);
    EXPECT_EQ(RunProgram({VeskProgram(), "--pid", pid, "runtime"}, out), 3) << ReadFile(out);
    EXPECT_EQ(ReadFile(out), "vesk: no agent attached to " + pid + "; run vesk attach " + pid + "\n");
    EXPECT_EQ(EntriesStartingWith(jvm.Dir().Path(), ".attach_pid"), std::vector<std::string>{});
    EXPECT_TRUE(jvm.Running());
}

}  // namespace
