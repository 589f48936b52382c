// TLS keyed by the agent's key (tls=on): vesk and a standard TLS tool get
// in with the key and nobody else does, and what crosses the wire is unreadable.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "AgentFixture.h"
#include "AuthKey.h"
#include "ChildProcess.h"
#include "Ports.h"
#include "TlsContext.h"
#include "VeskProgram.h"
#include "protocol/VeskClient.h"

using namespace vesktest;
using vesk::ClientError;
using vesk::ErrorKind;
using vesk::VeskClient;

namespace {

const char FIXTURE[] = "snap.SnapFixture";
const char READY[] = "snap ready";
const char SECRET[] = "planted-secret-4bd1e07a";

std::string ErrorFrame(const std::string& tag, const std::string& command, const std::string& message) {
    return "<vesk-resp tag=\"" + tag + "\"><cmd name=\"" + command + "\"><status value=\"0\"/><error msg=\"" +
           message + "\"/></cmd><last value=\"1\"/></vesk-resp>\n";
}

// Forwards one connection at a time between its port and the agent's,
// keeping every byte that passes either way.
class Relay {
public:
    explicit Relay(int target) : target(target) {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), size);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        listen(listener, 4);
        worker = std::thread([this] { Run(); });
    }
    ~Relay() {
        stop = true;
        shutdown(listener, SHUT_RDWR);
        worker.join();
        close(listener);
    }
    int Port() const { return port; }
    std::string Recorded() {
        std::lock_guard<std::mutex> guard(lock);
        return recorded;
    }

private:
    void Run() {
        while (!stop) {
            int client = accept(listener, nullptr, nullptr);
            if (client < 0) return;
            int agent = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(target));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(agent, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) Pump(client, agent);
            close(agent);
            close(client);
        }
    }
    void Pump(int client, int agent) {
        pollfd ends[2] = {{client, POLLIN, 0}, {agent, POLLIN, 0}};
        char buffer[65536];
        for (;;) {
            if (poll(ends, 2, 200) < 0 || stop) return;
            for (int i = 0; i < 2; i++) {
                if (!(ends[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                ssize_t n = recv(ends[i].fd, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                {
                    std::lock_guard<std::mutex> guard(lock);
                    recorded.append(buffer, static_cast<size_t>(n));
                }
                if (send(ends[1 - i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
            }
        }
    }

    int target;
    int listener;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread worker;
    std::mutex lock;
    std::string recorded;
};

// One fixture JVM whose agent requires TLS, with a planted system property.
class TlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        keys = new TempDir();
        key = keys->WriteKey("agent.key", 'k');
        jvm = new AgentFixture(FIXTURE, {"2000"}, READY, "auth=" + key + ",tls=on", "INFO",
                               {std::string("-Dvesk.test.secret=") + SECRET});
    }
    static void TearDownTestSuite() {
        delete jvm;
        delete keys;
    }
    void SetUp() override { ASSERT_TRUE(jvm->Ready()) << jvm->Jvm().Stderr(); }
    int Vesk(const std::vector<std::string>& args) {
        std::string out = dir.File("vesk.out");
        int status = jvm->Vesk(args, out);
        output = ReadFile(out);
        return status;
    }

    static TempDir* keys;
    static std::string key;
    static AgentFixture* jvm;
    TempDir dir;
    std::string output;
};

TempDir* TlsTest::keys = nullptr;
std::string TlsTest::key;
AgentFixture* TlsTest::jvm = nullptr;

TEST_F(TlsTest, TheKeyGetsInAndNeitherAnotherKeyNorPlainTextDoes) {
    EXPECT_EQ(Vesk({"--auth", key, "runtime"}), 0) << output;
    EXPECT_NE(output.find("total-classes"), std::string::npos) << output;
    EXPECT_EQ(output.find("unauthenticated"), std::string::npos) << output;
    EXPECT_EQ(Vesk({"--auth", key, "--tls", "runtime"}), 0) << output;

    std::string wrong = dir.WriteKey("wrong.key", 'w');
    EXPECT_EQ(Vesk({"--auth", wrong, "runtime"}), 11) << output;
    EXPECT_NE(output.find("TLS handshake with the agent at 127.0.0.1:"), std::string::npos) << output;
    EXPECT_NE(output.find("the agent refused the key"), std::string::npos) << output;

    EXPECT_EQ(Vesk({"runtime"}), 11) << output;
    EXPECT_NE(output.find("the agent requires TLS"), std::string::npos) << output;
    EXPECT_EQ(Vesk({"--auth", key, "--no-tls", "runtime"}), 11) << output;

    // A plain-text client: one error frame, then the close (again while
    // the agent still serves the vesk before).
    VeskClient plain;
    std::string frame;
    for (int attempt = 0; attempt < 50 && (frame.empty() || frame.find("REJECT") != std::string::npos); attempt++) {
        plain.Connect("127.0.0.1", jvm->Port());
        plain.SetReadTimeout(30000);
        plain.Send(VeskClient::BuildRequest({"RUNTIME"}, "7"));
        frame = plain.ReadFrame().bytes;
    }
    EXPECT_EQ(frame, ErrorFrame("0", "AUTH", "this agent requires TLS"));
    EXPECT_THROW(plain.ReadFrame(), ClientError);
    EXPECT_TRUE(jvm->WaitForLog("TLS handshake failed for a client at 127.0.0.1: binder does not verify", 30000))
        << jvm->Log();
}

TEST_F(TlsTest, OpensslClientReachesRuntime) {
    Orlo::AuthKey agentKey;
    ASSERT_FALSE(Orlo::AuthKey::Load(key, agentKey));
    const std::string request = dir.Write("request", VeskClient::BuildRequest({"RUNTIME"}, "s"));
    // -ign_eof: the answer is read after the request has been sent whole;
    // exec: the PID killed at the end is openssl's.
    ChildProcess client({"/bin/sh", "-c",
                         "exec openssl s_client -quiet -ign_eof -tls1_3 -psk_identity " +
                             std::string(Orlo::TlsContext::IDENTITY) + " -psk " + Orlo::TlsContext::PskHex(agentKey) +
                             " -connect 127.0.0.1:" + std::to_string(jvm->Port()) + " < " + request});
    EXPECT_TRUE(client.WaitForOutput("<prop name=\"total-classes\"", 30000)) << client.Stdout() << client.Stderr();
    EXPECT_EQ(client.Stdout().rfind("<vesk-resp tag=\"s\"><cmd name=\"RUNTIME\">", 0), 0u) << client.Stdout();
}

// vesk through a port of its own, again while rejected (the client before
// may still hold the agent's one slot for a moment).
int VeskAt(int port, std::vector<std::string> args, const std::string& out) {
    args.insert(args.begin(), {VeskProgram(), "--port", std::to_string(port)});
    int status = 4;
    for (int attempt = 0; attempt < 50 && status == 4; attempt++) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        status = RunProgram(args, out);
    }
    return status;
}

// Neither a planted property's value nor a class name crosses the wire readably.
TEST_F(TlsTest, RelayedBytesHoldNoPropertyValueNorClassName) {
    Relay relay(jvm->Port());
    std::string out = dir.File("relayed.out");
    ASSERT_EQ(VeskAt(relay.Port(), {"--auth", key, "props"}, out), 0) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find(SECRET), std::string::npos) << ReadFile(out);
    std::string saved = dir.File("relayed.vsnap");
    ASSERT_EQ(VeskAt(relay.Port(), {"--auth", key, "--no-compress", "snapshot", "-o", saved}, out), 0)
        << ReadFile(out);
    EXPECT_NE(ReadFile(saved).find("snap.Triple"), std::string::npos);
    std::string wire = relay.Recorded();
    EXPECT_GT(wire.size(), 100000u);
    EXPECT_EQ(wire.find(SECRET), std::string::npos);
    EXPECT_EQ(wire.find("snap.Triple"), std::string::npos);
    EXPECT_EQ(wire.find("java.lang.String"), std::string::npos);
}

// The same fixture through plain TCP and through TLS: the same heap.
TEST_F(TlsTest, SnapshotAndCompressedDumpMatchPlainTcp) {
    AgentFixture plainJvm(FIXTURE, {"2000"}, READY, "auth=" + key);
    ASSERT_TRUE(plainJvm.Ready()) << plainJvm.Jvm().Stderr();
    for (const char* command : {"snapshot", "dump"}) {
        std::string viaTls = dir.File(std::string("tls-") + command + ".zst");
        std::string viaTcp = dir.File(std::string("tcp-") + command + ".zst");
        ASSERT_EQ(Vesk({"--auth", key, command, "-o", viaTls}), 0) << output;
        std::string out = dir.File("plain.out");
        ASSERT_EQ(plainJvm.Vesk({"--auth", key, command, "-o", viaTcp}, out), 0) << ReadFile(out);
        std::string tlsHisto, tcpHisto;
        ASSERT_EQ(RunVesk(dir, {"histo", viaTls, "--bytes"}, &tlsHisto), 0) << tlsHisto;
        ASSERT_EQ(RunVesk(dir, {"histo", viaTcp, "--bytes"}, &tcpHisto), 0) << tcpHisto;
        // The fixture's own classes, whose instances the JVM does not vary
        // (a lambda's class is named after its address), without their ranks.
        auto fixtureRows = [](const std::string& histo) {
            std::string rows;
            size_t at = 0;
            while ((at = histo.find("snap.", at)) != std::string::npos) {
                size_t start = histo.rfind('\n', at) + 1, end = histo.find('\n', at);
                std::string row = histo.substr(start, end - start);
                row.erase(0, row.find(':') + 1);
                if (row.find("$$Lambda") == std::string::npos) rows += row + "\n";
                at = end;
            }
            return rows;
        };
        EXPECT_FALSE(fixtureRows(tlsHisto).empty()) << tlsHisto;
        EXPECT_EQ(fixtureRows(tlsHisto), fixtureRows(tcpHisto)) << command;
    }
}

// "<ABORT>" inside TLS reaches the heap walk's poll, which runs on the VM
// thread; the connection then serves the next request.
TEST(TlsCancelTest, AbortStopsTheWalkAndTheConnectionGoesOn) {
    TempDir dir;
    std::string key = dir.WriteKey("agent.key", 'k');
    AgentFixture jvm(FIXTURE, {"3000000"}, READY, "auth=" + key + ",tls=on", "DEBUG");
    ASSERT_TRUE(jvm.Ready()) << jvm.Jvm().Stderr();
    Orlo::AuthKey agentKey;
    ASSERT_FALSE(Orlo::AuthKey::Load(key, agentKey));
    Orlo::Error error;
    std::shared_ptr<const Orlo::TlsContext> context =
        Orlo::TlsContext::Create(Orlo::TlsContext::Side::Client, agentKey, error);
    ASSERT_TRUE(context) << error.Message();
    // Again while the agent still serves the fixture's readiness probe.
    VeskClient client;
    for (int attempt = 0;; attempt++) {
        client.Connect("127.0.0.1", jvm.Port());
        client.SetReadTimeout(300000);
        try {
            ASSERT_TRUE(client.StartTls(context));
            break;
        } catch (const ClientError& e) {
            if (e.Kind() != ErrorKind::Rejected || attempt == 50) throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    client.Send(VeskClient::BuildRequest({"SNAPSHOT"}, "9"));
    ASSERT_TRUE(jvm.WaitForLog("Starting FollowReferences", 60000)) << jvm.Log();
    client.SendAbort();
    std::vector<vesk::Frame> frames = client.ReadResponse();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Body(), "<status value=\"0\"/><error msg=\"Operation cancelled by user\"/><last value=\"1\"/>");
    EXPECT_TRUE(jvm.WaitForLog("Aborting heap walk", 1000)) << jvm.Log();
    EXPECT_EQ(client.Request(VeskClient::BuildRequest({"VERSION"}, "v")).size(), 1u);
}

// Failed handshakes count as failed authentications: five lock the address out.
TEST(TlsLockoutTest, FiveFailedHandshakesLockTheAddressOut) {
    TempDir dir;
    std::string key = dir.WriteKey("agent.key", 'k');
    std::string wrong = dir.WriteKey("wrong.key", 'w');
    AgentFixture jvm(FIXTURE, {}, READY, "auth=" + key + ",tls=on");
    ASSERT_TRUE(jvm.Ready()) << jvm.Jvm().Stderr();
    std::string out = dir.File("vesk.out");
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(jvm.Vesk({"--auth", wrong, "runtime"}, out), 11) << ReadFile(out);
        EXPECT_NE(ReadFile(out).find("refused the key"), std::string::npos) << ReadFile(out);
    }
    EXPECT_EQ(jvm.Vesk({"--auth", key, "runtime"}, out), 11) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("refuses this address for a minute"), std::string::npos) << ReadFile(out);
    EXPECT_TRUE(jvm.WaitForLog("[ERROR]: Refusing 127.0.0.1 for 60 s: 5 failed authentications within 60 s", 30000))
        << jvm.Log();
}

}  // namespace
