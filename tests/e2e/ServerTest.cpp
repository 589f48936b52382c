// The command server end to end: a JVM with the agent, talked to through the
// client library.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "AgentLog.h"
#include "JavaProcess.h"
#include "VeskProgram.h"
#include "AuthKey.h"
#include "VeskVersion.h"
#include "protocol/VeskClient.h"

using namespace vesktest;
using vesk::ClientError;
using vesk::ErrorKind;
using vesk::Frame;
using vesk::VeskClient;
using Orlo::AuthKey;

namespace {

const char FIXTURE[] = "server.ServerFixture";
const std::string REJECT_FRAME =
    "<vesk-resp tag=\"0\"><cmd name=\"REJECT\"><status value=\"0\"/><error msg=\"Connection rejected: "
    "Exceeded maximum number of concurrent connections (1)\"/></cmd><last value=\"1\"/></vesk-resp>\n";

std::string ErrorFrame(const std::string& tag, const std::string& command, const std::string& message) {
    return "<vesk-resp tag=\"" + tag + "\"><cmd name=\"" + command + "\"><status value=\"0\"/><error msg=\"" +
           message + "\"/></cmd><last value=\"1\"/></vesk-resp>\n";
}

std::string GcFrame(const std::string& tag, int last) {
    return "<vesk-resp tag=\"" + tag + "\"><cmd name=\"PERFORM_GC\"><status value=\"1\"/></cmd><last value=\"" +
           std::to_string(last) + "\"/></vesk-resp>\n";
}

std::string GcRequest(const std::string& tag) { return VeskClient::BuildRequest({"PERFORM_GC"}, tag); }

// A JVM running the fixture with the agent on a free loopback port, logging
// to its own directory.
class AgentJvm {
public:
    explicit AgentJvm(int agentPort, const std::string& extraOptions = "",
                      const std::vector<std::string>& fixtureArgs = {})
        : port(agentPort) {
        config = dir.Write("agent.properties", "vesk.agent.log.level=DEBUG\nvesk.agent.log.file=" +
                                                   dir.File("agent.log") + "\n");
        std::string options = "port=" + std::to_string(port) + ",cfgfile=" + config;
        options += extraOptions.empty() ? ",address=127.0.0.1" : "," + extraOptions;
        jvm = std::make_unique<JavaProcess>(std::vector<std::string>{AgentArg(options)}, FIXTURE, fixtureArgs);
    }

    bool Ready() { return jvm->WaitForOutput("READY", 30000); }
    std::string Log() const { return ReadFile(dir.File("agent.log")); }
    bool WaitForLog(const std::string& text, int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 50) {
            if (Log().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // A connection the agent serves: retried while the agent still serves a
    // client that has just left.
    VeskClient Served() {
        for (int attempt = 0; attempt < 20; attempt++) {
            VeskClient client;
            client.Connect("127.0.0.1", port);
            client.SetReadTimeout(30000);
            client.Send(GcRequest("probe"));
            try {
                client.ReadResponse();
                return client;
            } catch (const ClientError& e) {
                if (e.Kind() != ErrorKind::Rejected) throw;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        throw std::runtime_error("the agent never accepted a client");
    }

    int port;
    TempDir dir;
    std::string config;
    std::unique_ptr<JavaProcess> jvm;
};

class ServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        agentJvm = new AgentJvm(FreePort());
        ASSERT_TRUE(agentJvm->Ready()) << agentJvm->jvm->Stderr();
        ASSERT_TRUE(WaitForPort(agentJvm->port, 30000));
    }
    static void TearDownTestSuite() {
        delete agentJvm;
        agentJvm = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(agentJvm && agentJvm->jvm->Running()); }
    void TearDown() override { EXPECT_TRUE(agentJvm->jvm->Running()) << agentJvm->jvm->Stderr(); }

    // The single frame answering request, as bytes.
    static std::string OneFrame(VeskClient& client, const std::string& request) {
        std::vector<Frame> frames = client.Request(request);
        EXPECT_EQ(frames.size(), 1u);
        return frames.empty() ? "" : frames.front().bytes;
    }

    static AgentJvm* agentJvm;
};

AgentJvm* ServerTest::agentJvm = nullptr;

TEST_F(ServerTest, PerformGcFrameIsExact) {
    VeskClient client = agentJvm->Served();
    EXPECT_EQ(OneFrame(client, "<vesk-cmd tag=\"7\"><cmd name=\"PERFORM_GC\"/></vesk-cmd>"), GcFrame("7", 1));
    EXPECT_EQ(OneFrame(client, "<vesk-cmd><cmd name=\"PERFORM_GC\"/></vesk-cmd>"), GcFrame("0", 1))
        << "a missing tag is answered as 0";
}

TEST_F(ServerTest, TwoCommandsShareTheTagAndOnlyTheSecondIsLast) {
    VeskClient client = agentJvm->Served();
    std::vector<Frame> frames =
        client.Request("<vesk-cmd tag=\"5\"><cmd name=\"RUNTIME\"/><cmd name=\"PERFORM_GC\"/></vesk-cmd>\r\n");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].tag, "5");
    EXPECT_FALSE(frames[0].last);
    std::string_view body = frames[0].Body();
    EXPECT_EQ(body.substr(0, 20), "<cmd name=\"RUNTIME\">");
    const std::string tail = "<status value=\"1\"/></cmd><last value=\"0\"/>";
    ASSERT_GE(body.size(), tail.size());
    EXPECT_EQ(body.substr(body.size() - tail.size()), tail);
    EXPECT_EQ(frames[1].bytes, GcFrame("5", 1));
}

TEST_F(ServerTest, RuntimeReportsItsSevenFigures) {
    VeskClient client = agentJvm->Served();
    std::vector<Frame> frames = client.Request(VeskClient::BuildRequest({"RUNTIME"}, "3"));
    ASSERT_EQ(frames.size(), 1u);
    std::vector<vesk::Prop> props = vesk::CommandProps(frames[0].Body(), "RUNTIME");
    const char* names[] = {"rt-time", "cpus", "total-heap", "max-heap", "free-heap", "total-classes", "total-threads"};
    ASSERT_EQ(props.size(), 7u);
    for (size_t i = 0; i < props.size(); i++) {
        EXPECT_EQ(props[i].name, names[i]);
        EXPECT_GT(std::stoll(props[i].value), 0) << props[i].name;
    }
    EXPECT_GE(std::stoll(props[3].value), std::stoll(props[2].value)) << "max-heap >= total-heap";
    EXPECT_TRUE(frames[0].last);
}

TEST_F(ServerTest, VersionNamesTheRelease) {
    VeskClient client = agentJvm->Served();
    EXPECT_EQ(OneFrame(client, VeskClient::BuildRequest({"VERSION"}, "8")),
              std::string("<vesk-resp tag=\"8\"><cmd name=\"VERSION\"><prop name=\"version\" value=\"") +
                  Orlo::VESK_VERSION + "\"/><status value=\"1\"/></cmd><last value=\"1\"/></vesk-resp>\n");
}

TEST_F(ServerTest, SystemPropsAreEscapedAndComplete) {
    VeskClient client = agentJvm->Served();
    std::vector<Frame> frames = client.Request(VeskClient::BuildRequest({"SYSTEM_PROPS"}, "4"));
    ASSERT_EQ(frames.size(), 1u);
    std::string_view body = frames[0].Body();
    EXPECT_EQ(body.substr(0, 25), "<cmd name=\"SYSTEM_PROPS\">");
    EXPECT_NE(body.find("<prop name=\"vesktest.markup\" value=\"a&lt;b &amp; &quot;c&quot;&#9;end\"/>"),
              std::string::npos);
    std::vector<vesk::Prop> props = vesk::CommandProps(body, "SYSTEM_PROPS");
    bool found = false;
    for (const auto& prop : props) found |= prop.name == "java.class.path" && prop.value == VESK_FIXTURE_DIR;
    EXPECT_TRUE(found);
    EXPECT_GT(props.size(), 20u);
}

TEST_F(ServerTest, ErrorResponsesCarryTheExactTexts) {
    VeskClient client = agentJvm->Served();
    struct Case {
        const char* request;
        std::string frame;
    } cases[] = {
        {"<vesk-cmd tag=\"1\"><cmd name=\"RUNTIME\"",
         ErrorFrame("0", "INVALID", "Error parsing start element tag at offset 36")},
        {"<a></b>", ErrorFrame("0", "INVALID", "Start-end tags mismatch at offset 5")},
        {"<other/>", ErrorFrame("0", "INVALID", "Unrecognized command string")},
        {"<vesk-cmd tag=\"9\"><cmd/></vesk-cmd>", ErrorFrame("9", "INVALID", "Missing command name")},
        {"<vesk-cmd><cmd name=\"runtime\"/></vesk-cmd>", ErrorFrame("0", "runtime", "Unknown command: runtime")},
        // What the client sent comes back escaped, so it cannot break the frame.
        {"<vesk-cmd tag=\"a&quot;&gt;&lt;\"><cmd name=\"x&lt;/cmd&gt;\"/></vesk-cmd>",
         ErrorFrame("a&quot;&gt;&lt;", "x&lt;/cmd&gt;", "Unknown command: x&lt;/cmd&gt;")},
    };
    for (const Case& c : cases) EXPECT_EQ(OneFrame(client, c.request), c.frame) << c.request;
}

TEST_F(ServerTest, AnErrorEndsTheRequestAfterTheCommandsBeforeIt) {
    VeskClient client = agentJvm->Served();
    std::vector<Frame> frames = client.Request(
        "<vesk-cmd tag=\"4\"><cmd name=\"PERFORM_GC\"/><cmd name=\"BOGUS\"/><cmd name=\"RUNTIME\"/></vesk-cmd>");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, GcFrame("4", 0));
    EXPECT_EQ(frames[1].bytes, ErrorFrame("4", "BOGUS", "Unknown command: BOGUS"));
    EXPECT_EQ(OneFrame(client, GcRequest("8")), GcFrame("8", 1)) << "nothing else was sent in between";
}

TEST_F(ServerTest, LateAbortsAndEmptyCommandListsGetNoResponse) {
    VeskClient client = agentJvm->Served();
    for (const char* silent : {"<ABORT>", "<ABORT>\r\n", "<ABORT><ABORT>", "<vesk-cmd tag=\"3\"/>"}) {
        client.Send(silent);
        EXPECT_FALSE(client.WaitReadable(300)) << silent;
    }
    EXPECT_EQ(OneFrame(client, GcRequest("6")), GcFrame("6", 1)) << "the connection stays usable";
    // An abort and a request in one packet: the abort is dropped, the request served.
    EXPECT_EQ(OneFrame(client, "<ABORT>\n" + GcRequest("11")), GcFrame("11", 1));
}

TEST_F(ServerTest, RequestOfOnlyLineEndsIsUnrecognized) {
    VeskClient client = agentJvm->Served();
    EXPECT_EQ(OneFrame(client, "\r\n"), ErrorFrame("0", "INVALID", "Unrecognized command string"));
}

TEST_F(ServerTest, SecondClientIsRejectedAndClosedWhileTheFirstGoesOn) {
    VeskClient first = agentJvm->Served();
    VeskClient second;
    second.Connect("127.0.0.1", agentJvm->port);
    second.SetReadTimeout(10000);
    EXPECT_EQ(second.ReadFrame().bytes, REJECT_FRAME);
    try {
        second.ReadFrame();
        ADD_FAILURE() << "the rejected connection should be closed";
    } catch (const ClientError& e) {
        EXPECT_EQ(e.Kind(), ErrorKind::Dropped) << e.what();
    }
    EXPECT_EQ(OneFrame(first, GcRequest("21")), GcFrame("21", 1));

    // The client library reports the rejection as such.
    VeskClient third;
    third.Connect("127.0.0.1", agentJvm->port);
    third.SetReadTimeout(10000);
    try {
        third.Request(GcRequest("22"));
        ADD_FAILURE() << "expected a rejection";
    } catch (const ClientError& e) {
        EXPECT_EQ(e.Kind(), ErrorKind::Rejected) << e.what();
    }

    first.Close();
    VeskClient next = agentJvm->Served();
    EXPECT_EQ(OneFrame(next, GcRequest("23")), GcFrame("23", 1));
}

TEST_F(ServerTest, ClientLeavingInTheMiddleOfAResponseDoesNotHarmTheJvm) {
    for (int i = 0; i < 3; i++) {
        VeskClient client = agentJvm->Served();
        // A snapshot answer is megabytes long; leave without reading it.
        client.Send(VeskClient::BuildRequest({"SYSTEM_PROPS", "SNAPSHOT", "SYSTEM_PROPS"}, "30"));
        client.Close();
    }
    VeskClient client = agentJvm->Served();
    EXPECT_EQ(OneFrame(client, GcRequest("31")), GcFrame("31", 1));
    EXPECT_TRUE(agentJvm->jvm->Running());
}

// A thread dump names the agent's threads: the server, and a client's while
// one is connected.
TEST_F(ServerTest, AgentThreadsCarryTheirNamesInAThreadDump) {
    VeskClient client = agentJvm->Served();
    std::string out = agentJvm->dir.File("threads.txt");
    ASSERT_EQ(RunProgram({TestJdk() + "/bin/jcmd", std::to_string(agentJvm->jvm->Pid()), "Thread.print"}, out), 0);
    std::string dump = ReadFile(out);
    EXPECT_NE(dump.find("\"vesk-server\""), std::string::npos) << dump;
    EXPECT_NE(dump.find("\"vesk-client\""), std::string::npos) << dump;
}

TEST_F(ServerTest, SnapshotBeforeAnotherCommandIsNotLastButKeepsItsMetrics) {
    VeskClient client = agentJvm->Served();
    std::vector<Frame> frames = client.Request(VeskClient::BuildRequest({"SNAPSHOT", "PERFORM_GC"}, "40"));
    ASSERT_GE(frames.size(), 3u) << "header, at least one file, the collection";
    std::string_view header = frames.front().Body();
    EXPECT_EQ(header.substr(0, 20), "<cmd name=\"RUNTIME\">");
    EXPECT_NE(header.find("<cmd name=\"SNAPSHOT\"><prop name=\"ss-time\""), std::string::npos);
    for (size_t i = 0; i + 1 < frames.size(); i++) {
        EXPECT_EQ(frames[i].tag, "40");
        EXPECT_FALSE(frames[i].last) << "frame " << i;
        EXPECT_FALSE(vesk::ResponseError(frames[i].Body(), nullptr)) << "frame " << i;
    }
    // The snapshot's final frame: its last marker, then the 18 metrics.
    std::string_view final = frames[frames.size() - 2].Body();
    size_t marker = final.find("</cmd><last value=\"0\"/><prop name=\"$T$last.snapshot.overall.start.time\"");
    ASSERT_NE(marker, std::string::npos);
    size_t metrics = 0;
    for (size_t at = final.find("<prop ", marker); at != std::string::npos; at = final.find("<prop ", at + 1))
        metrics++;
    EXPECT_EQ(metrics, 18u);
    EXPECT_EQ(frames.back().bytes, GcFrame("40", 1));
}

// SYSTEM_PROPS and the snapshot header carry a property of any size whole.
TEST(LargePropertyTest, SixteenMegabytePropertyArrivesWhole) {
    AgentJvm jvm(FreePort(), "", {"16"});
    ASSERT_TRUE(jvm.Ready()) << jvm.jvm->Stderr();
    VeskClient client = jvm.Served();
    const std::string start = "<prop name=\"vesktest.large\" value=\"";
    const std::string end = "&lt;end&gt;\"/>";
    for (const char* command : {"SYSTEM_PROPS", "SNAPSHOT"}) {
        std::vector<Frame> frames = client.Request(VeskClient::BuildRequest({command}, "1"));
        ASSERT_FALSE(frames.empty());
        std::string_view body = frames.front().Body();
        size_t at = body.find(start);
        ASSERT_NE(at, std::string::npos) << command << ": " << body.substr(0, 300);
        EXPECT_EQ(body.find(end, at), at + start.size() + (16u << 20)) << command;
    }
}

TEST(ServerStartTest, PortInUseIsLoggedAndTheJvmRuns) {
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    int port = 0;
    for (int attempt = 0; attempt < 10; attempt++) {
        port = FreePort();
        address.sin_port = htons(port);
        if (bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
    }
    ASSERT_EQ(listen(blocker, 1), 0);

    AgentJvm jvm(port, "port=" + std::to_string(port));  // wildcard address, as by default
    ASSERT_TRUE(jvm.Ready()) << jvm.jvm->Stderr();
    const std::string line = "JVM Agent failed to bind 0.0.0.0:" + std::to_string(port) +
                             ": Address already in use (error=98); the command server does not start\n";
    EXPECT_TRUE(jvm.WaitForLog("[ERROR]: " + line, 20000)) << jvm.Log();
    EXPECT_NE(jvm.jvm->Stderr().find(line), std::string::npos) << jvm.jvm->Stderr();
    EXPECT_TRUE(jvm.jvm->Running());
    EXPECT_EQ(jvm.Log().find("Listening for connections"), std::string::npos);
    close(blocker);
}

TEST(ServerStartTest, BadOptionKeepsTheServerFromStartingAndTheJvmRuns) {
    int port = FreePort();
    AgentJvm jvm(port, "address=127.0.0.1,untag=bogus");
    ASSERT_TRUE(jvm.Ready()) << jvm.jvm->Stderr();  // past VM init, when the server would start
    const std::string line =
        "Invalid JVM Agent option 'untag=bogus': not dispose, iterate or walk; the command server does not start\n";
    EXPECT_EQ(jvm.jvm->Stderr(), line);
    EXPECT_NE(jvm.Log().find("[ERROR]: " + line), std::string::npos) << jvm.Log();
    EXPECT_FALSE(WaitForPort(port, 1000));
    EXPECT_TRUE(jvm.jvm->Running());
}

// Items for other tools or versions cost no server: each is named once on
// standard error and in the log, and the server serves the port the rest give.
TEST(ServerStartTest, IgnoredOptionItemsAreReportedAndTheServerStarts) {
    int port = FreePort();
    AgentJvm jvm(port, "address=127.0.0.1,debug,prot=17000");
    ASSERT_TRUE(jvm.Ready()) << jvm.jvm->Stderr();
    jvm.Served();
    const std::string lines[] = {"ignored agent option 'debug': not a key=value item\n",
                                 "ignored agent option 'prot=17000': unknown key\n"};
    EXPECT_EQ(jvm.jvm->Stderr(), lines[0] + lines[1]);
    std::string log = jvm.Log();
    for (const std::string& line : lines) EXPECT_NE(log.find("[ERROR]: " + line), std::string::npos) << log;
}

// A negative port means the default. An address this host does not have
// shows the port the server went for without taking it from anyone.
TEST(ServerStartTest, NegativePortMeansTheDefault) {
    AgentJvm jvm(FreePort(), "address=192.0.2.1,nokey,port=-5");
    ASSERT_TRUE(jvm.Ready()) << jvm.jvm->Stderr();
    ASSERT_TRUE(jvm.WaitForLog("failed to bind 192.0.2.1:16400", 20000)) << jvm.Log();
    EXPECT_EQ(jvm.jvm->Stderr().find("ignored agent option 'nokey': not a key=value item\n"
                                     "ignored agent option 'port=-5': a negative port means the default, 16400\n"
                                     "JVM Agent failed to bind 192.0.2.1:16400: "),
              0u)
        << jvm.jvm->Stderr();
    EXPECT_TRUE(jvm.jvm->Running());
}

TEST(ServerStartTest, AddressOptionRestrictsTheListeningInterface) {
    int port = FreePort();
    AgentJvm jvm(port, "address=127.0.0.2");
    ASSERT_TRUE(jvm.Ready()) << jvm.jvm->Stderr();
    ASSERT_TRUE(jvm.WaitForLog("Listening for connections on port: " + std::to_string(port), 20000)) << jvm.Log();
    VeskClient client;
    try {
        client.Connect("127.0.0.1", port);
        ADD_FAILURE() << "127.0.0.1 should not be served";
    } catch (const ClientError& e) {
        EXPECT_EQ(e.Kind(), ErrorKind::NotListening);
    }
    client.Connect("127.0.0.2", port);
    client.SetReadTimeout(30000);
    EXPECT_EQ(client.Request(GcRequest("1")).front().bytes, GcFrame("1", 1));
}

std::string AuthAnswer(const std::string& answer) {
    return "<vesk-cmd tag=\"a\"><cmd name=\"AUTH\" answer=\"" + answer + "\"/></vesk-cmd>";
}

// Connects and sends the request, again while the agent still serves the
// client before; the first frame of the answer.
std::string Open(VeskClient& client, int port, const std::string& request) {
    for (int attempt = 0; attempt < 50; attempt++) {
        client.Connect("127.0.0.1", port);
        client.SetReadTimeout(30000);
        client.Send(request);
        Frame frame = client.ReadFrame();
        if (frame.bytes != REJECT_FRAME) return frame.bytes;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

// Connects and asks for a challenge: its nonce.
std::string Challenge(VeskClient& client, int port) {
    std::string frame = Open(client, port, VeskClient::BuildRequest({"AUTH"}, "a"));
    for (const vesk::Prop& prop : vesk::CommandProps(frame.substr(frame.find("\">") + 2), "AUTH"))
        if (prop.name == "nonce") return prop.value;
    return "";
}

// True when the agent closes the connection without another frame.
bool Closed(VeskClient& client) {
    try {
        client.ReadFrame();
        return false;
    } catch (const ClientError& e) {
        return e.Kind() == ErrorKind::Dropped;
    }
}

// An agent started with auth= and min-interval=.
class AuthTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        keys = new TempDir();
        key = keys->WriteKey("agent.key", 'k');
        agentJvm = new AgentJvm(FreePort(), "address=127.0.0.1,min-interval=600,auth=" + key);
        ASSERT_TRUE(agentJvm->Ready()) << agentJvm->jvm->Stderr();
        ASSERT_TRUE(WaitForPort(agentJvm->port, 30000));
    }
    static void TearDownTestSuite() {
        delete agentJvm;
        delete keys;
    }
    int Vesk(const std::vector<std::string>& args) {
        std::vector<std::string> command = {VeskProgram(), "--port", std::to_string(agentJvm->port)};
        command.insert(command.end(), args.begin(), args.end());
        output = dir.File("vesk.out");
        int status = RunProgram(command, output);
        output = ReadFile(output);
        return status;
    }

    static TempDir* keys;
    static std::string key;
    static AgentJvm* agentJvm;
    TempDir dir;
    std::string output;
};

TempDir* AuthTest::keys = nullptr;
std::string AuthTest::key;
AgentJvm* AuthTest::agentJvm = nullptr;

// A client that knows nothing of AUTH gets one error frame and nothing else.
TEST_F(AuthTest, UnauthenticatedRequestGetsOneErrorFrameAndTheConnectionCloses) {
    for (const std::string& request : {VeskClient::BuildRequest({"SYSTEM_PROPS"}, "3"), std::string("<x")}) {
        VeskClient client;
        std::string tag = request == "<x" ? "0" : "3";
        EXPECT_EQ(Open(client, agentJvm->port, request), ErrorFrame(tag, "AUTH", "authentication required"));
        EXPECT_TRUE(Closed(client));
    }
}

TEST_F(AuthTest, VeskWithTheRightKeyIsServedAndWithoutOrWithAnotherIsNot) {
    EXPECT_EQ(Vesk({"--auth", key, "runtime"}), 0) << output;
    EXPECT_NE(output.find("total-classes"), std::string::npos) << output;
    EXPECT_EQ(output.find("unauthenticated"), std::string::npos) << output;
    // vesk tried TLS first; under --tls an agent without it is an error.
    EXPECT_EQ(Vesk({"--auth", key, "--tls", "runtime"}), 11) << output;
    EXPECT_NE(output.find("does not speak TLS (it was started without tls=on)"), std::string::npos) << output;
    EXPECT_EQ(Vesk({"--auth", key, "--no-tls", "runtime"}), 0) << output;

    EXPECT_EQ(Vesk({"runtime"}), 11) << output;
    EXPECT_EQ(output, "vesk: the agent requires an authentication key; give --auth FILE or set VESK_AUTH\n");
    EXPECT_EQ(Vesk({"props"}), 11) << output;

    std::string wrong = dir.WriteKey("wrong.key", 'w');
    EXPECT_EQ(Vesk({"--auth", wrong, "runtime"}), 11) << output;
    EXPECT_NE(output.find("refused the authentication key"), std::string::npos) << output;

    chmod(wrong.c_str(), 0644);
    EXPECT_EQ(Vesk({"--auth", wrong, "runtime"}), 6) << output;
    EXPECT_NE(output.find("is accessible by group or others"), std::string::npos) << output;
}

TEST_F(AuthTest, ReplayedAnswerFailsAndEndsTheConnection) {
    AuthKey agentKey;
    ASSERT_FALSE(AuthKey::Load(key, agentKey));
    std::string answer;
    {
        VeskClient first;
        answer = agentKey.Answer(Challenge(first, agentJvm->port));
        ASSERT_FALSE(answer.empty());
        EXPECT_FALSE(vesk::ResponseError(first.Request(AuthAnswer(answer)).at(0).Body(), nullptr));
        EXPECT_EQ(first.Request(GcRequest("g")).at(0).bytes, GcFrame("g", 1));
        // Pauses: min-interval=600 refuses the next one.
        std::string refused = first.Request(GcRequest("h")).at(0).bytes;
        EXPECT_NE(refused.find("is allowed in "), std::string::npos) << refused;
        EXPECT_NE(refused.find("(min-interval=600)"), std::string::npos) << refused;
    }
    VeskClient second;
    ASSERT_FALSE(Challenge(second, agentJvm->port).empty());
    second.Send(AuthAnswer(answer));
    EXPECT_EQ(second.ReadFrame().bytes, ErrorFrame("a", "AUTH", "authentication failed"));
    EXPECT_TRUE(Closed(second));
}

// Five wrong answers from one address: refused at connect for a minute,
// logged once.
TEST(AuthLockoutE2eTest, FiveFailuresLockTheAddressOut) {
    TempDir dir;
    std::string key = dir.WriteKey("agent.key", 'k');
    AgentJvm jvm(FreePort(), "address=127.0.0.1,auth=" + key);
    ASSERT_TRUE(jvm.Ready()) << jvm.jvm->Stderr();
    ASSERT_TRUE(WaitForPort(jvm.port, 30000));
    for (int i = 0; i < 5; i++) {
        VeskClient client;
        ASSERT_FALSE(Challenge(client, jvm.port).empty()) << i;
        client.Send(AuthAnswer(std::string(64, '0')));
        EXPECT_EQ(client.ReadFrame().bytes, ErrorFrame("a", "AUTH", "authentication failed")) << i;
        EXPECT_TRUE(Closed(client));
    }
    for (int i = 0; i < 2; i++) {
        VeskClient client;
        client.Connect("127.0.0.1", jvm.port);
        client.SetReadTimeout(30000);
        EXPECT_EQ(client.ReadFrame().bytes,
                  ErrorFrame("0", "AUTH",
                             "authentication refused: too many failures from this address; try again in a minute"));
    }
    std::string log = jvm.Log();
    const std::string line = "[ERROR]: Refusing 127.0.0.1 for 60 s: 5 failed authentications within 60 s";
    size_t at = log.find(line);
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find(line, at + 1), std::string::npos) << log;
}

// Without a key and on every interface: a warning in the log and in vesk runtime.
TEST(ExposedServerTest, WildcardWithoutKeyIsLoggedAndShown) {
    int port = FreePort();
    AgentJvm jvm(port, "port=" + std::to_string(port));
    ASSERT_TRUE(jvm.Ready()) << jvm.jvm->Stderr();
    ASSERT_TRUE(WaitForPort(port, 30000));
    std::string where = "0.0.0.0:" + std::to_string(port);
    EXPECT_TRUE(jvm.WaitForLog("[ERROR]: The command server listens on " + where + " without an authentication key",
                               20000))
        << jvm.Log();
    EXPECT_EQ(UnprefixedLogLines(jvm.Log()), std::vector<std::string>()) << jvm.Log();
    std::string output = jvm.dir.File("vesk.out");
    EXPECT_EQ(RunProgram({VeskProgram(), "--port", std::to_string(port), "runtime"}, output), 0) << ReadFile(output);
    EXPECT_NE(ReadFile(output).find("warning: unauthenticated, listening on " + where), std::string::npos)
        << ReadFile(output);
}

}  // namespace
