// HEAPDUMP end to end: a JVM holding known secret values (dump.DumpFixture);
// the redacted HPROF must hold none of them and keep everything else of the
// JVM's own dump, and the private dump directory must never outlive the
// command.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "heap/DominatorTree.h"
#include "HprofCounts.h"
#include "heap/ClassGroups.h"
#include "load/HeapDetails.h"
#include "load/HeapInput.h"
#include "load/HprofLoader.h"
#include "HprofRedactor.h"
#include "JavaProcess.h"
#include "protocol/VeskClient.h"
#include "VeskProgram.h"

using namespace vesktest;
using vesk::Frame;
using vesk::VeskClient;

namespace {

const char FIXTURE[] = "dump.DumpFixture";

std::string BigEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; i--) out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
    return out;
}

std::string Utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string(1, '\0') + c;
    return out;
}

// The fixture's values as they would appear in a dump, by name.
std::vector<std::pair<std::string, std::string>> Secrets() {
    double number = 12345.678901234;
    uint64_t bits;
    memcpy(&bits, &number, sizeof bits);
    return {{"built string", "Zq9VeskSecret42xW"},
            {"string literal", "VeskSecret"},
            {"char[] literal", "ch4rSecretQ"},
            {"char[] contents", Utf16("ch4rSecretQ")},
            {"long field", BigEndian(0x5EC2E710C0FFEEULL, 8)},
            {"double field", BigEndian(bits, 8)},
            {"int field", BigEndian(0x5EC12E7A, 4)},
            {"static long", BigEndian(0x57A71C5EC2E7ULL, 8)},
            {"byte[] contents", std::string("\xB1\x7E\x5E\xC2\xE7\x0B\x1E", 7)}};
}

std::vector<std::string> SecretsIn(const std::string& bytes) {
    std::vector<std::string> found;
    for (const auto& [name, pattern] : Secrets())
        if (bytes.find(pattern) != std::string::npos) found.push_back(name);
    return found;
}

// The agent's private dump directories of a JVM, in /dev/shm and in its temp dir.
std::vector<std::string> DumpDirectories(pid_t pid, const std::string& tempDir) {
    std::vector<std::string> found;
    std::string prefix = "VESKDUMP_" + std::to_string(pid) + "_";
    for (const std::string& dir : {std::string("/dev/shm"), tempDir}) {
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* entry = readdir(d))
                if (std::string(entry->d_name).rfind(prefix, 0) == 0) found.push_back(dir + "/" + entry->d_name);
            closedir(d);
        }
    }
    return found;
}

class StringSink : public Orlo::HprofSink {
public:
    void Write(const uint8_t* data, size_t length) override { bytes.append(reinterpret_cast<const char*>(data), length); }
    std::string bytes;
};

// The fixture with the agent on a free loopback port and a private temp dir.
class DumpJvm {
public:
    explicit DumpJvm(int bulk, const std::string& agentOptions = "", std::vector<std::string> jvmArgs = {})
        : port(FreePort()) {
        temp = dir.File("tmp");
        mkdir(temp.c_str(), 0700);
        exitFile = dir.File("exit-now");
        std::string config = dir.Write("agent.properties", "vesk.agent.log.level=DEBUG\nvesk.agent.log.file=" +
                                                               dir.File("agent.log") + "\n");
        std::string options = "port=" + std::to_string(port) + ",address=127.0.0.1,cfgfile=" + config + agentOptions;
        jvmArgs.insert(jvmArgs.begin(), {AgentArg(options), "-Xmx512m"});
        jvm = std::make_unique<JavaProcess>(jvmArgs, FIXTURE, std::vector<std::string>{std::to_string(bulk), exitFile},
                                            std::vector<std::string>{"TMPDIR=" + temp, "TMP=" + temp, "TEMP=" + temp});
        ready = jvm->WaitForOutput("dump ready", 60000) && WaitForPort(port, 30000);
    }
    std::vector<std::string> Directories() const { return DumpDirectories(pid, temp); }
    int Vesk(const std::vector<std::string>& args, const std::string& out) {
        std::vector<std::string> all{VeskProgram(), "--port", std::to_string(port)};
        all.insert(all.end(), args.begin(), args.end());
        return RunProgram(all, out);
    }
    std::string Log() const { return ReadFile(dir.File("agent.log")); }

    TempDir dir;
    int port;
    std::string temp, exitFile;
    std::unique_ptr<JavaProcess> jvm;
    pid_t pid = 0;
    bool ready = false;
};

// A connection the agent serves; the port probe's may still be winding down.
VeskClient Connect(int port) {
    for (int attempt = 0;; attempt++) {
        VeskClient client;
        client.Connect("127.0.0.1", port);
        client.SetReadTimeout(300000);
        try {
            client.Request(VeskClient::BuildRequest({"RUNTIME"}, "sync"));
            return client;
        } catch (const vesk::ClientError& e) {
            if (e.Kind() != vesk::ErrorKind::Rejected || attempt == 50) throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::vector<Frame> Request(int port, const std::string& request, bool abort = false) {
    VeskClient client = Connect(port);
    client.Send(request);
    if (abort) {
        // Apart from the request, which one read takes whole; the dump takes longer.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        client.SendAbort();
    }
    return client.ReadResponse();
}

TEST(HeapDump, RedactionZeroesValuesAndKeepsEveryObjectReferenceAndRoot) {
    DumpJvm jvm(2000);
    ASSERT_TRUE(jvm.ready) << jvm.jvm->Stderr();
    jvm.pid = jvm.jvm->Pid();

    // The JVM's own dump, redacted here: the same objects, nothing secret.
    std::string own = jvm.dir.File("own.hprof"), redacted = jvm.dir.File("redacted.hprof");
    std::string out = jvm.dir.File("jcmd.out");
    ASSERT_EQ(RunProgram({TestJdk() + "/bin/jcmd", std::to_string(jvm.pid), "GC.heap_dump", own}, out), 0)
        << ReadFile(out);
    std::string original = ReadFile(own);
    EXPECT_EQ(SecretsIn(original).size(), Secrets().size()) << "the fixture's values are in the JVM's own dump";
    StringSink sink;
    Orlo::HprofRedactor redactor(sink);
    ASSERT_EQ(redactor.Redact(own.c_str()).Message(), "");
    EXPECT_EQ(redactor.InputBytes(), original.size());
    EXPECT_EQ(redactor.OutputBytes(), sink.bytes.size());
    EXPECT_EQ(SecretsIn(sink.bytes), std::vector<std::string>{});
    std::ofstream(redacted, std::ios::binary) << sink.bytes;
    HprofCounts before = CountHprof(own), after = CountHprof(redacted);
    EXPECT_EQ(before, after);
    EXPECT_EQ(after.instancesByClass["dump/Secrets"], 1);
    EXPECT_EQ(after.instancesByClass["dump/Filler"], 2000);
    EXPECT_GT(after.roots, 100);

    // The same through the agent and vesk dump, and no directory left.
    std::string saved = jvm.dir.File("vesk.hprof");
    ASSERT_EQ(jvm.Vesk({"dump", "-o", saved}, out), 0) << ReadFile(out) << jvm.Log();
    std::string dumped = ReadFile(saved);
    EXPECT_EQ(SecretsIn(dumped), std::vector<std::string>{});
    HprofCounts agent = CountHprof(saved);
    EXPECT_EQ(agent.instancesByClass["dump/Secrets"], 1);
    EXPECT_EQ(agent.instancesByClass["dump/Filler"], 2000);
    EXPECT_EQ(jvm.Directories(), std::vector<std::string>{});
    // Compressed as it came, it decodes to the same HPROF.
    std::string packed = jvm.dir.File("vesk.hprof.zst");
    ASSERT_EQ(jvm.Vesk({"dump", "-o", packed}, out), 0) << ReadFile(out) << jvm.Log();
    std::string decoded = ZstdFileText(packed);
    EXPECT_LT(ReadFile(packed).size(), decoded.size() / 4);
    EXPECT_EQ(SecretsIn(decoded), std::vector<std::string>{});
    HprofCounts again = CountHprof(jvm.dir.Write("decoded.hprof", decoded));
    EXPECT_EQ(again.instancesByClass["dump/Secrets"], 1);
    EXPECT_EQ(again.instancesByClass["dump/Filler"], 2000);

    // Sizes derived from the redacted dump: the JVM's own for the fixture's
    // classes, and Secrets retains itself, its string with its bytes, its
    // char[] and its byte[].
    std::map<std::string, int64_t> jvmBytes = JvmHistogram(jvm.pid, out);
    vesk::HeapGraph graph = vesk::LoadHprofFile(saved);
    std::map<std::string, int64_t> derived;
    for (const vesk::ClassTotals& totals : graph.Histogram()) derived[totals.name] += totals.bytes;
    EXPECT_EQ(derived["dump.Secrets"], jvmBytes["dump.Secrets"]);
    EXPECT_EQ(derived["dump.Filler"], jvmBytes["dump.Filler"]);
    vesk::NodeId secrets = vesk::NO_NODE;
    for (vesk::NodeId node = 0; node < graph.NodeCount(); node++)
        if (graph.ClassName(node) == "dump.Secrets") secrets = node;
    ASSERT_NE(secrets, vesk::NO_NODE);
    uint64_t owned = graph.ShallowSize(secrets);
    std::vector<std::string> ownedClasses;
    for (const vesk::HeapEdge* edge = graph.EdgesBegin(secrets); edge != graph.EdgesEnd(secrets); edge++) {
        if (edge->target == secrets) continue;
        owned += graph.ShallowSize(edge->target);
        ownedClasses.push_back(graph.ClassName(edge->target));
        if (graph.ClassName(edge->target) == "java.lang.String")
            for (const vesk::HeapEdge* inner = graph.EdgesBegin(edge->target); inner != graph.EdgesEnd(edge->target); inner++)
                owned += graph.ShallowSize(inner->target);
    }
    EXPECT_EQ(ownedClasses.size(), 3u);
    vesk::DominatorTree tree(graph);
    EXPECT_EQ(tree.Retained(secrets), owned);
    EXPECT_EQ(owned, 176u) << "48 + String 24 + byte[17] 40 + char[11] 40 + byte[7] 24 with compressed references";
}

// An input's details: the JVM's own dump gives the fixture's values back,
// its main thread's stack and the class loaders; the agent's dump
// (compressed as vesk dump saves it) names the same fields and references
// with no value.
TEST(HeapDump, DetailsGiveValuesOfTheJvmsDumpAndNoneOfTheRedactedOne) {
    DumpJvm jvm(100);
    ASSERT_TRUE(jvm.ready) << jvm.jvm->Stderr();
    std::string own = jvm.dir.File("own.hprof"), packed = jvm.dir.File("vesk.hprof.zst"), out = jvm.dir.File("out");
    ASSERT_EQ(RunProgram({TestJdk() + "/bin/jcmd", std::to_string(jvm.jvm->Pid()), "GC.heap_dump", own}, out), 0)
        << ReadFile(out);
    ASSERT_EQ(jvm.Vesk({"dump", "-o", packed}, out), 0) << ReadFile(out) << jvm.Log();

    for (const std::string& path : {own, packed}) {
        SCOPED_TRACE(path);
        bool values = path == own;
        vesk::InputSettings settings;
        settings.noIndex = true;
        vesk::HeapInput input(settings, path, true);
        vesk::HeapGraph graph = input.Graph();
        std::unique_ptr<vesk::HeapDetails> details = vesk::OpenDetails(input, graph);
        EXPECT_EQ(details->HasValues(), values);

        vesk::NodeId secrets = vesk::NO_NODE;
        for (vesk::NodeId node = 0; node < graph.NodeCount(); node++)
            if (graph.ClassName(node) == "dump.Secrets") secrets = node;
        ASSERT_NE(secrets, vesk::NO_NODE);
        std::map<std::string, vesk::FieldView> fields;
        for (const vesk::FieldView& field : details->Fields(secrets)) fields[field.name] = field;
        EXPECT_EQ(fields["intValue"].type, "int");
        EXPECT_EQ(fields["intValue"].value, values ? "1589718650" : "");
        EXPECT_EQ(fields["longValue"].value, values ? "26672945485119470" : "");
        EXPECT_EQ(fields["text"].type, "java.lang.String");
        EXPECT_EQ(fields["text"].value, values ? "Zq9VeskSecret42xW" : "");
        ASSERT_NE(fields["text"].target, vesk::NO_NODE);
        EXPECT_EQ(graph.ClassName(fields["text"].target), "java.lang.String");
        EXPECT_EQ(fields["self"].target, secrets);
        EXPECT_EQ(details->Length(fields["chars"].target), 11);
        if (values) EXPECT_EQ(details->Fields(fields["chars"].target, 4, 6)[0].value, "S");

        uint32_t cls = graph.ClassOf(secrets);
        std::map<std::string, std::string> statics;
        for (const vesk::FieldView& field : details->Fields(graph.Classes()[cls].node)) statics[field.name] = field.value;
        EXPECT_EQ(statics["staticValue"], values ? "96375247127271" : "");
        std::vector<vesk::NodeId> loaders = vesk::DefiningLoaders(graph);
        ASSERT_NE(loaders[cls], vesk::NO_NODE);
        EXPECT_EQ(graph.ClassName(loaders[cls]), "jdk.internal.loader.ClassLoaders$AppClassLoader");
        EXPECT_EQ(loaders[graph.ClassOf(fields["text"].target)], vesk::NO_NODE);

        // The main thread waits in main, which holds its arguments.
        const vesk::FrameView* main = nullptr;
        std::vector<vesk::ThreadView> threads = details->Threads();
        for (const vesk::ThreadView& thread : threads)
            for (const vesk::FrameView& frame : thread.frames)
                if (frame.method == "dump.DumpFixture.main") {
                    main = &frame;
                    EXPECT_EQ(thread.name, values ? "main" : "");
                    EXPECT_EQ(graph.ClassName(thread.node), "java.lang.Thread");
                }
        ASSERT_NE(main, nullptr);
        EXPECT_EQ(main->source, "DumpFixture.java");
        EXPECT_GT(main->line, 0);
        bool args = false;
        for (vesk::NodeId local : main->locals) args = args || graph.ClassName(local) == "java.lang.String[]";
        EXPECT_TRUE(args);
    }

    // A snapshot names the threads, and the methods whose frames hold locals.
    std::string snapshot = jvm.dir.File("heap.vsnap");
    ASSERT_EQ(jvm.Vesk({"snapshot", "-o", snapshot}, out), 0) << ReadFile(out) << jvm.Log();
    vesk::HeapInput input(vesk::InputSettings(), snapshot, true);
    vesk::HeapGraph graph = input.Graph();
    std::unique_ptr<vesk::HeapDetails> details = vesk::OpenDetails(input, graph);
    EXPECT_FALSE(details->HasValues());
    bool args = false;
    for (const vesk::ThreadView& thread : details->Threads())
        for (const vesk::FrameView& frame : thread.frames)
            if (frame.method == "dump.DumpFixture.main") {
                EXPECT_EQ(thread.name, "main");
                for (vesk::NodeId local : frame.locals) args = args || graph.ClassName(local) == "java.lang.String[]";
            }
    EXPECT_TRUE(args);
}

// An agent with compress-level=0 answers a client that asks for zstd as
// it answers one that does not.
TEST(HeapDump, FramesOfSixteenMiBThenFiguresAndRefusalWhenDisabled) {
    DumpJvm jvm(400000, ",compress-level=0");
    ASSERT_TRUE(jvm.ready) << jvm.jvm->Stderr();
    jvm.pid = jvm.jvm->Pid();
    std::vector<Frame> frames = Request(jvm.port, VeskClient::BuildRequest({"HEAPDUMP", "RUNTIME"}, "7", "zstd"));
    ASSERT_GE(frames.size(), 3u) << "a dump above 16 MiB and the RUNTIME answer";
    for (size_t i = 0; i + 1 < frames.size(); i++) {
        EXPECT_FALSE(frames[i].marked) << i;
        std::string_view body = frames[i].Body();
        EXPECT_EQ(body.find("<cmd name=\"HEAPDUMP\"><hprof>"), 0u) << i;
        EXPECT_FALSE(frames[i].last) << i;
        size_t text = body.find("</hprof>") - strlen("<cmd name=\"HEAPDUMP\"><hprof>");
        if (i + 2 < frames.size()) EXPECT_EQ(text, (16u << 20) / 3 * 4 + 4) << i;
    }
    std::vector<vesk::Prop> figures = vesk::CommandProps(frames[frames.size() - 2].Body(), "HEAPDUMP");
    std::vector<std::string> names;
    for (const vesk::Prop& p : figures) names.push_back(p.name);
    EXPECT_EQ(names, (std::vector<std::string>{"hprof-bytes", "dump-bytes", "dump-msec", "redact-msec", "stream-msec"}));
    EXPECT_TRUE(frames.back().last);
    EXPECT_EQ(jvm.Directories(), std::vector<std::string>{});
    // vesk asks, gets the dump plain, and compresses FILE.zst itself.
    std::string packed = jvm.dir.File("plain.hprof.zst"), out = jvm.dir.File("plain.out");
    ASSERT_EQ(jvm.Vesk({"dump", "-o", packed}, out), 0) << ReadFile(out);
    EXPECT_EQ(ZstdFileText(packed).rfind("JAVA PROFILE 1.0.2", 0), 0u);

    DumpJvm off(0, ",heapdump=off");
    ASSERT_TRUE(off.ready) << off.jvm->Stderr();
    frames = Request(off.port, VeskClient::BuildRequest({"HEAPDUMP"}, "8"));
    ASSERT_EQ(frames.size(), 1u);
    std::string message;
    EXPECT_TRUE(vesk::ResponseError(frames[0].Body(), &message));
    EXPECT_NE(message.find("heapdump=off"), std::string::npos) << message;
}

TEST(HeapDump, PrivateDirectoryGoneAfterErrorAbortAndExit) {
    // Error after the directory was made: without the jdk.management module
    // the JVM has no HotSpotDiagnosticMXBean.
    {
        DumpJvm jvm(0, "", {"--limit-modules", "java.base,java.management"});
        ASSERT_TRUE(jvm.ready) << jvm.jvm->Stderr();
        jvm.pid = jvm.jvm->Pid();
        std::vector<Frame> frames = Request(jvm.port, VeskClient::BuildRequest({"HEAPDUMP"}));
        std::string message;
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_TRUE(vesk::ResponseError(frames[0].Body(), &message));
        EXPECT_NE(message.find("HotSpotDiagnosticMXBean"), std::string::npos) << message;
        EXPECT_NE(jvm.Log().find("Heap dump directory"), std::string::npos) << "the directory had been made";
        EXPECT_EQ(jvm.Directories(), std::vector<std::string>{});
    }
    // "<ABORT>" right behind the request: the JVM's dump completes, the
    // transfer stops at the next frame.
    {
        DumpJvm jvm(1000000);
        ASSERT_TRUE(jvm.ready) << jvm.jvm->Stderr();
        jvm.pid = jvm.jvm->Pid();
        std::vector<Frame> frames = Request(jvm.port, VeskClient::BuildRequest({"HEAPDUMP"}), true);
        ASSERT_LE(frames.size(), 2u);
        EXPECT_EQ(frames.back().Body(), "<status value=\"0\"/><error msg=\"Operation cancelled by user\"/><last value=\"1\"/>");
        EXPECT_EQ(jvm.Directories(), std::vector<std::string>{});
    }
    // System.exit while the dump is read and sent.
    {
        DumpJvm jvm(400000);
        ASSERT_TRUE(jvm.ready) << jvm.jvm->Stderr();
        jvm.pid = jvm.jvm->Pid();
        VeskClient client = Connect(jvm.port);
        client.Send(VeskClient::BuildRequest({"HEAPDUMP"}));
        // The first byte of a response comes once the JVM's dump is written.
        ASSERT_TRUE(client.WaitReadable(120000));
        jvm.dir.Write("exit-now", "");
        EXPECT_EQ(jvm.jvm->WaitExit(60000), 3);
        EXPECT_EQ(jvm.Directories(), std::vector<std::string>{});
    }
}

}  // namespace
