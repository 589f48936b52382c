// Heap snapshots end to end: a JVM of known content (snap.SnapFixture), the
// stream read record by record by the client's own reader and checked
// against the heap and itself.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "AgentLog.h"
#include "JavaProcess.h"
#include "SnapshotStream.h"
#include "VeskProgram.h"
#include "heap/HeapText.h"
#include "protocol/VeskClient.h"

using namespace vesktest;
using vesk::Frame;
using vesk::Prop;
using vesk::VeskClient;

namespace {

const char FIXTURE[] = "snap.SnapFixture";
const char WALK_STARTED[] = "Starting FollowReferences";
const char CANCELLED_BODY[] = "<status value=\"0\"/><error msg=\"Operation cancelled by user\"/><last value=\"1\"/>";
const char* const METRIC_NAMES[] = {
    "$T$last.snapshot.overall.start.time",         "$T$last.snapshot.overall.end.time",
    "$L$last.snapshot.overall.duration.msec",      "$T$last.snapshot.classtag.start.time",
    "$T$last.snapshot.classtag.end.time",          "$L$last.snapshot.classtag.duration.msec",
    "$L$last.snapshot.classtag.class.count",       "$L$last.snapshot.classtag.interface.count",
    "$L$last.snapshot.classtag.thread.count",      "$T$last.snapshot.heapwalk.start.time",
    "$T$last.snapshot.heapwalk.end.time",          "$L$last.snapshot.heapwalk.duration.msec",
    "$L$last.snapshot.heapwalk.heap.objects.count", "$L$last.snapshot.heapwalk.heap.refs.count",
    "$L$last.snapshot.heapwalk.heap.roots.count",  "$T$last.snapshot.untag.start.time",
    "$T$last.snapshot.untag.end.time",             "$L$last.snapshot.untag.duration.msec"};

// One snapshot as the client received it, indexed.
struct Snapshot : SnapshotRecords {
    std::vector<Frame> frames;
    std::vector<Prop> counts;  // the SNAPSHOT element's props, in order
    std::vector<Prop> metrics;

    int64_t Count(const std::string& name) const {
        for (const Prop& p : counts)
            if (p.name == name) return strtoll(p.value.c_str(), nullptr, 10);
        return -1;
    }
    uint64_t ClassTag(const std::string& name) const {
        for (const auto& [tag, record] : classes)
            if (record.name == name && record.totalinst >= 0 && tag) return tag;
        return 0;
    }
    bool Resolves(uint64_t tag) const { return objects.count(tag) || classes.count(tag) || threads.count(tag); }
    // The class of the object a tag names; 0 for a thread object.
    uint64_t ClassOf(uint64_t tag) const {
        auto object = objects.find(tag);
        if (object != objects.end()) return object->second;
        return classes.count(tag) ? ClassTag("java.lang.Class") : 0;
    }
    // The references to objects of the named class.
    std::vector<RefRecord> RefsTo(const std::string& className) const {
        std::vector<RefRecord> found;
        uint64_t cls = ClassTag(className);
        for (const RefRecord& ref : refs)
            if (ref.clstag == cls) found.push_back(ref);
        return found;
    }

    void Parse() {
        Read(frames);
        counts = vesk::CommandProps(frames.front().Body(), "SNAPSHOT");
        metrics = vesk::CommandProps(frames.back().Body(), "");
    }
};

std::vector<std::string> SnapshotFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d))
            if (std::string(entry->d_name).rfind("VESK_", 0) == 0) names.push_back(dir + "/" + entry->d_name);
        closedir(d);
    }
    return names;
}

// The fixture JVM with the agent on a free loopback port; its temporary
// files go to a private directory (or to tempDir when given).
class SnapJvm {
public:
    // exitOnSignal: the fixture calls System.exit once SignalExit is called.
    SnapJvm(int bulk, const std::string& tempDir = "", const std::string& logLevel = "INFO",
            const std::vector<std::string>& jvmArgs = {}, bool exitOnSignal = false)
        : port(FreePort()) {
        temp = tempDir.empty() ? dir.File("tmp") : tempDir;
        mkdir(dir.File("tmp").c_str(), 0700);
        std::string config = dir.Write("agent.properties", "vesk.agent.log.level=" + logLevel +
                                                               "\nvesk.agent.log.file=" + dir.File("agent.log") + "\n");
        std::string options = "port=" + std::to_string(port) + ",address=127.0.0.1,cfgfile=" + config;
        std::vector<std::string> args{AgentArg(options), "-Xmx1g"};
        args.insert(args.end(), jvmArgs.begin(), jvmArgs.end());
        std::vector<std::string> programArgs{std::to_string(bulk)};
        if (exitOnSignal) programArgs.push_back(dir.File("exit"));
        jvm = std::make_unique<JavaProcess>(args, FIXTURE, programArgs,
                                            std::vector<std::string>{"TEMP=" + temp, "TMP=" + temp, "TMPDIR=" + temp});
        ready = jvm->WaitForOutput("snap ready", 60000) && WaitForPort(port, 30000);
    }

    void SignalExit() { dir.Write("exit", ""); }
    // Waits for the fixture's exit; returns the milliseconds from the time
    // it began to exit until it was gone, or -1.
    int64_t ExitMillis() {
        if (jvm->WaitExit(120000) != 0) return -1;
        auto gone = std::chrono::system_clock::now().time_since_epoch();
        std::string out = jvm->Stdout();
        size_t at = out.find("exit at ");
        if (at == std::string::npos) return -1;
        return std::chrono::duration_cast<std::chrono::milliseconds>(gone).count() -
               strtoll(out.c_str() + at + 8, nullptr, 10);
    }

    // A connection the agent serves; the one before may still be winding down.
    VeskClient Connect() {
        for (int attempt = 0;; attempt++) {
            VeskClient client;
            client.Connect("127.0.0.1", port);
            client.SetReadTimeout(300000);
            try {
                Sync(client);
                return client;
            } catch (const vesk::ClientError& e) {
                if (e.Kind() != vesk::ErrorKind::Rejected || attempt == 50) throw;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    // Runs the vesk program against this agent, again while it is rejected
    // (4). Live snapshots by the walk, which these tests are about: a dump
    // would also load the classes that take it between the walks compared.
    int Vesk(std::vector<std::string> args, const std::string& out,
             const std::function<bool()>& interruptWhen = nullptr) {
        args.insert(args.begin(), {VeskProgram(), "--port", std::to_string(port), "--walk"});
        for (int attempt = 0;; attempt++) {
            int status = RunProgram(args, out, interruptWhen);
            if (status != 4 || attempt == 50) return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    // The frames of one SNAPSHOT request; files seen in the temp directory
    // while the header frame arrived go to filesDuring.
    Snapshot Take(VeskClient& client, std::vector<std::string>* filesDuring = nullptr,
                  const std::string& encoding = "") {
        Snapshot s;
        client.Send(VeskClient::BuildRequest({"SNAPSHOT"}, "42", encoding));
        client.ReadResponse([&](const Frame& frame) {
            if (s.frames.empty() && filesDuring) *filesDuring = SnapshotFiles(temp);
            s.frames.push_back(frame);
        });
        s.Parse();
        return s;
    }
    // A round trip after a request: by then the agent has cleared that request.
    void Sync(VeskClient& client) { client.Request(VeskClient::BuildRequest({"RUNTIME"}, "sync")); }
    std::string Log() const { return ReadFile(dir.File("agent.log")); }
    // The heap walks the agent has begun, as its log tells (at DEBUG).
    size_t WalksStarted() const {
        std::string log = Log();
        size_t count = 0;
        for (size_t at = log.find(WALK_STARTED); at != std::string::npos; at = log.find(WALK_STARTED, at + 1)) count++;
        return count;
    }
    // Waits until more than `walks` heap walks have begun; false after a minute.
    bool WaitForWalk(size_t walks) const {
        for (int i = 0; i < 6000 && WalksStarted() <= walks; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return WalksStarted() > walks;
    }

    TempDir dir;
    int port;
    std::string temp;
    std::unique_ptr<JavaProcess> jvm;
    bool ready = false;
};

// One JVM of 150,000 Bulk objects (some 225,000 objects and more references
// than one snapshot file holds) and one snapshot shared by the tests.
class SnapshotTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        jvm = new SnapJvm(150000, "", "DEBUG");
        if (!jvm->ready) return;
        VeskClient client = jvm->Connect();
        first = new Snapshot(jvm->Take(client, &filesDuring));
        jvm->Sync(client);
        filesAfter = SnapshotFiles(jvm->temp);
    }
    static void TearDownTestSuite() {
        delete first;
        delete jvm;
        first = nullptr;
        jvm = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(jvm->ready) << jvm->jvm->Stderr();
        ASSERT_NE(first, nullptr);
    }

    static SnapJvm* jvm;
    static Snapshot* first;
    static std::vector<std::string> filesDuring, filesAfter;
};
SnapJvm* SnapshotTest::jvm = nullptr;
Snapshot* SnapshotTest::first = nullptr;
std::vector<std::string> SnapshotTest::filesDuring, SnapshotTest::filesAfter;

TEST_F(SnapshotTest, StreamIsHeaderFilesAndFinalFrameWithMetrics) {
    EXPECT_TRUE(first->whole) << first->error;
    const auto& frames = first->frames;
    ASSERT_GE(frames.size(), 3u) << "more than 250,000 references make at least two files";
    std::string_view header = frames[0].Body();
    EXPECT_EQ(header.find("<cmd name=\"RUNTIME\">"), 0u);
    EXPECT_NE(header.find("<cmd name=\"SYSTEM_PROPS\">"), std::string_view::npos);
    ASSERT_EQ(first->counts.size(), 4u);
    const char* countNames[] = {"ss-time", "total-roots", "total-objs", "total-refs"};
    for (int i = 0; i < 4; i++) EXPECT_EQ(first->counts[i].name, countNames[i]);
    EXPECT_NE(header.find("<snapshot><class "), std::string_view::npos);
    const std::string headerEnd = "</snapshot><status value=\"1\"/></cmd><last value=\"0\"/>";
    ASSERT_GT(header.size(), headerEnd.size());
    EXPECT_EQ(header.substr(header.size() - headerEnd.size()), headerEnd);
    for (size_t i = 0; i < frames.size(); i++) {
        EXPECT_EQ(frames[i].tag, "42");
        EXPECT_EQ(frames[i].last, i + 1 == frames.size()) << i;
        if (i == 0) continue;
        std::string_view body = frames[i].Body();
        EXPECT_EQ(body.find("<cmd name=\"SNAPSHOT\"><snapshot>"), 0u) << i;
        std::string end = std::string("</snapshot><status value=\"1\"/></cmd><last value=\"") +
                          (frames[i].last ? "1" : "0") + "\"/>";
        size_t at = body.find(end);
        ASSERT_NE(at, std::string_view::npos) << i;
        if (!frames[i].last) EXPECT_EQ(at + end.size(), body.size()) << "metrics only after the final file";
    }
    ASSERT_EQ(first->metrics.size(), 18u);
    for (int i = 0; i < 18; i++) EXPECT_EQ(first->metrics[i].name, METRIC_NAMES[i]);
    EXPECT_EQ(first->metrics[13].value, std::to_string(first->Count("total-refs")));
}

// The DEBUG log of a whole snapshot is one log readers parse, and it holds
// the class-field walk's own time (the bench reads it), which the heap
// walk's duration includes.
TEST_F(SnapshotTest, LogLinesParseAndNameTheClassFieldWalksTime) {
    std::string log = jvm->Log();
    EXPECT_EQ(UnprefixedLogLines(log), std::vector<std::string>()) << log;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(log, match,
                                  std::regex(R"(\[DEBUG\]: Finished class field walk, values=[1-9]\d*, ref\.count=\d+, )"
                                             R"(obj\.count=\d+, elapsed\.msec=(\d+)\n)")))
        << log;
    ASSERT_EQ(first->metrics.size(), 18u);
    EXPECT_GE(std::stoll(first->metrics[11].value), std::stoll(match[1].str()));
}

TEST_F(SnapshotTest, CountsMatchRecordsAndEveryTagResolves) {
    int64_t roots = 0, unresolved = 0;
    for (const RefRecord& ref : first->refs) {
        roots += ref.root;
        if (!first->Resolves(ref.tag) || (ref.reftag && !first->Resolves(ref.reftag))) unresolved++;
        if (!first->classes.count(ref.clstag)) unresolved++;
    }
    EXPECT_EQ(unresolved, 0);
    EXPECT_EQ(first->Count("total-objs"), static_cast<int64_t>(first->objects.size()));
    EXPECT_EQ(first->Count("total-refs"), static_cast<int64_t>(first->refs.size()));
    EXPECT_EQ(first->Count("total-roots"), roots);
    EXPECT_GT(first->Count("total-objs"), 225000);
    EXPECT_EQ(first->classes.at(first->ClassTag("snap.Triple")).totalinst, 3);
    EXPECT_EQ(first->classes.at(first->ClassTag("snap.Bulk")).totalinst, 150000);
}

TEST_F(SnapshotTest, StaticFieldReferenceNamesItsClass) {
    std::vector<RefRecord> refs = first->RefsTo("snap.StaticHeld");
    ASSERT_EQ(refs.size(), 1u);
    uint64_t holder = first->ClassTag("snap.Holder");
    EXPECT_EQ(refs[0].kind, 8);
    EXPECT_EQ(refs[0].reftag, holder);
    EXPECT_EQ(first->classes.at(holder).fields.at(refs[0].index), "held");
}

TEST_F(SnapshotTest, StackLocalRootNamesThreadMethodAndSlot) {
    std::vector<RefRecord> refs = first->RefsTo("snap.StackOnly");
    ASSERT_EQ(refs.size(), 1u) << "held by the worker's stack only";
    const RefRecord& ref = refs[0];
    EXPECT_EQ(ref.kind, 24);
    EXPECT_TRUE(ref.root);
    EXPECT_EQ(ref.reftag, 0u);
    ASSERT_TRUE(first->threads.count(ref.thrdtag));
    EXPECT_EQ(first->threads.at(ref.thrdtag), "snap-worker");
    ASSERT_TRUE(first->methods.count(ref.mthdtag));
    EXPECT_EQ(first->methods.at(ref.mthdtag), "holdOnStack");
    // Local variable tables need can_access_local_variables, which the agent
    // does not add: the slot is written but names no <lvar>.
    EXPECT_EQ(ref.slot, 0);
}

TEST_F(SnapshotTest, FieldIndexesResolveToFieldsOfTheReferrersClass) {
    std::vector<RefRecord> leaves = first->RefsTo("snap.Leaf");
    ASSERT_EQ(leaves.size(), 3u);
    for (const RefRecord& ref : leaves) {
        EXPECT_EQ(ref.kind, 2);
        EXPECT_EQ(first->ClassOf(ref.reftag), first->ClassTag("snap.Triple"));
        EXPECT_EQ(first->classes.at(first->ClassTag("snap.Triple")).fields.at(ref.index), "leaf");
    }
    int64_t checked = 0, unresolved = 0;
    for (const RefRecord& ref : first->refs) {
        if (ref.kind != 2 && ref.kind != 8) continue;
        uint64_t cls = ref.kind == 8 ? ref.reftag : first->ClassOf(ref.reftag);
        if (!cls) continue;  // a thread object: its record does not name its class
        auto found = first->classes.find(cls);
        // Objects of a class that is not yet prepared (archived with the
        // JDK's class data) exist, but JVMTI lists no fields for it.
        if (found != first->classes.end() && found->second.fields.empty()) continue;
        checked++;
        if (found == first->classes.end() || !found->second.fields.count(ref.index)) {
            if (++unresolved <= 5)
                ADD_FAILURE() << "kind " << ref.kind << " index " << ref.index << " of "
                              << (found == first->classes.end() ? "?" : found->second.name);
        }
    }
    EXPECT_GT(checked, 75000);
    EXPECT_EQ(unresolved, 0);
}

TEST_F(SnapshotTest, TemporaryFilesAreOwnerOnlyAndGoneAfterTheRequest) {
    ASSERT_FALSE(filesDuring.empty()) << "the snapshot files are written to $TEMP";
    for (const std::string& file : filesDuring) {
        struct stat st {};
        if (stat(file.c_str(), &st) == 0) EXPECT_EQ(st.st_mode & 077, 0u) << file;
    }
    EXPECT_TRUE(filesAfter.empty());
}

TEST_F(SnapshotTest, NoTagSurvivesASnapshot) {
    // Objects still tagged would get no object record and go uncounted.
    VeskClient client = jvm->Connect();
    Snapshot again = jvm->Take(client);
    // The JVM may allocate an object or two for the agent's own calls between
    // snapshots; a surviving tag would lose hundreds of thousands.
    EXPECT_NEAR(again.Count("total-objs"), first->Count("total-objs"), 100);
    EXPECT_NEAR(again.Count("total-refs"), first->Count("total-refs"), 100);
    for (const char* name : {"snap.Triple", "snap.Leaf", "snap.Bulk", "snap.StaticHeld", "snap.StackOnly"})
        EXPECT_EQ(again.classes.at(again.ClassTag(name)).totalinst,
                  first->classes.at(first->ClassTag(name)).totalinst) << name;

    // Two snapshots in one request: each starts afresh and both are complete.
    client.Send("<vesk-cmd tag=\"2\"><cmd name=\"SNAPSHOT\"/><cmd name=\"SNAPSHOT\"/></vesk-cmd>");
    std::vector<Frame> frames = client.ReadResponse();
    std::vector<std::vector<Prop>> headers;
    int finals = 0;
    for (const Frame& frame : frames) {
        if (frame.Body().find("<cmd name=\"RUNTIME\">") == 0) headers.push_back(vesk::CommandProps(frame.Body(), "SNAPSHOT"));
        finals += frame.Body().find("</snapshot><status value=\"1\"/></cmd><last value=\"") != std::string_view::npos &&
                  frame.Body().find("<prop name=\"$T$last.snapshot.overall.start.time\"") != std::string_view::npos;
    }
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_EQ(finals, 2);
    for (const auto& props : headers)
        EXPECT_NEAR(strtoll(props.at(2).value.c_str(), nullptr, 10), first->Count("total-objs"), 100);
    jvm->Sync(client);
    EXPECT_TRUE(SnapshotFiles(jvm->temp).empty());
}

TEST_F(SnapshotTest, VeskSavesTheStreamAndPrintsItsHistogram) {
    std::string file = jvm->dir.File("heap.vsnap"), out = jvm->dir.File("vesk.out");
    ASSERT_EQ(jvm->Vesk({"snapshot", "-o", file}, out), 0) << ReadFile(out);
    const std::regex TRIPLE_ROW("\n +[0-9]+: {13}3 +[0-9]+ B  snap\\.Triple\n");
    std::string saved = ReadFile(file);
    EXPECT_EQ(saved.rfind("<vesk-resp tag=\"", 0), 0u);
    EXPECT_EQ(saved.substr(saved.size() - 13), "</vesk-resp>\n");
    EXPECT_FALSE(FileExists(file + ".part"));

    ASSERT_EQ(RunProgram({VeskProgram(), "histo", file}, out), 0) << ReadFile(out);
    std::string table = Answer(ReadFile(out));
    EXPECT_EQ(table.rfind(" num     #instances         #bytes  class name\n", 0), 0u) << table;
    EXPECT_TRUE(std::regex_search(table, TRIPLE_ROW)) << table;
    EXPECT_NE(table.find(":        150000"), std::string::npos) << table;
    EXPECT_NE(table.find("\nTotal "), std::string::npos);
    EXPECT_EQ(table.find("snap.Holder\n"), std::string::npos) << "classes without instances are left out";
    ASSERT_EQ(RunProgram({VeskProgram(), "histo", file, "-n", "1", "--json"}, out), 0) << ReadFile(out);
    nlohmann::json histogram = nlohmann::json::parse(Answer(ReadFile(out)), nullptr, false);
    ASSERT_EQ(histogram["classes"].size(), 1u) << ReadFile(out);
    EXPECT_GE(histogram["bytes"].get<int64_t>(), histogram["classes"][0]["bytes"].get<int64_t>()) << ReadFile(out);

    // Straight from the agent: the same rows.
    std::string live = jvm->dir.File("live.out");
    ASSERT_EQ(jvm->Vesk({"histo"}, live), 0) << ReadFile(live);
    EXPECT_TRUE(std::regex_search(ReadFile(live), TRIPLE_ROW)) << ReadFile(live);

    EXPECT_EQ(RunProgram({VeskProgram(), "histo", jvm->dir.File("missing.vsnap")}, out), 6);
    EXPECT_NE(ReadFile(out).find("cannot open"), std::string::npos);
}

// Asked for zstd, the agent sends each frame compressed whole; decoded, the
// stream reads as the plain one does, and vesk saves FILE.zst as it came.
TEST_F(SnapshotTest, CompressedStreamDecodesToThePlainOne) {
    for (const Frame& frame : first->frames) EXPECT_FALSE(frame.marked) << "nothing asked, nothing compressed";
    VeskClient client = jvm->Connect();
    Snapshot packed = jvm->Take(client, nullptr, "zstd");
    EXPECT_TRUE(packed.whole) << packed.error;
    EXPECT_EQ(packed.frames.size(), first->frames.size());
    uint64_t wire = 0, plain = 0;
    for (const Frame& frame : packed.frames) {
        EXPECT_TRUE(frame.marked);
        EXPECT_FALSE(frame.zstd.empty());
        EXPECT_EQ(frame.bytes.rfind("<vesk-resp tag=\"42\">", 0), 0u);
        wire += frame.wireSize;
        plain += frame.bytes.size();
    }
    EXPECT_LT(wire, plain / 8) << "base64 of zstd at level 1";
    EXPECT_NEAR(packed.Count("total-objs"), first->Count("total-objs"), 100);
    for (const char* name : {"snap.Triple", "snap.Bulk"})
        EXPECT_EQ(packed.classes.at(packed.ClassTag(name)).totalinst,
                  first->classes.at(first->ClassTag(name)).totalinst) << name;
    jvm->Sync(client);
    client.Close();

    std::string file = jvm->dir.File("heap.vsnap.zst"), out = jvm->dir.File("zst.out");
    ASSERT_EQ(jvm->Vesk({"snapshot", "-o", file}, out), 0) << ReadFile(out);
    // Saved: the size on disk, what it decodes to, and as many objects as histo counts.
    std::smatch said;
    std::string message = ReadFile(out);
    ASSERT_TRUE(std::regex_search(message, said, std::regex("saved to \\S+: ([0-9]+) objects, ([0-9.]+ [KM]iB) \\(decoded: ([0-9.]+ MiB)\\)")))
        << message;
    EXPECT_EQ(said[2].str(), vesk::SizeText(ReadFile(file).size()));
    ASSERT_EQ(RunProgram({VeskProgram(), "histo", file, "--json", "-n", "1"}, out), 0) << ReadFile(out);
    EXPECT_EQ(nlohmann::json::parse(Answer(ReadFile(out)))["instances"].get<int64_t>(), std::stoll(said[1].str()));
    std::string decoded = ZstdFileText(file);
    EXPECT_EQ(said[3].str(), vesk::SizeText(decoded.size()));
    EXPECT_LT(ReadFile(file).size(), decoded.size() / 10);
    EXPECT_EQ(decoded.rfind("<vesk-resp tag=\"1\"><cmd name=\"RUNTIME\">", 0), 0u);
    std::string saved = jvm->dir.Write("decoded.vsnap", decoded);
    ASSERT_EQ(RunProgram({VeskProgram(), "histo", saved}, out), 0) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find(":        150000"), std::string::npos) << ReadFile(out);
}

TEST_F(SnapshotTest, VeskCommandLineOptionsExitCodesAndOutput) {
    std::string out = jvm->dir.File("cli.out"), port = std::to_string(jvm->port);
    // Back to back, as from a script: the agent is still letting the previous
    // client go when the next one connects.
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(RunProgram({VeskProgram(), "--port", port, "gc"}, out), 0) << i << ReadFile(out);
        ASSERT_EQ(RunProgram({VeskProgram(), "props", "--port=" + port}, out), 0) << i << ReadFile(out);
    }
    // One property per line, control characters escaped.
    std::string props = ReadFile(out);
    EXPECT_NE(props.find("\nline.separator=\\n\n"), std::string::npos) << props;

    // A client leaving while vesk is being rejected: vesk tries again.
    VeskClient holder = jvm->Connect();
    std::thread leave([&holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        holder.Close();
    });
    EXPECT_EQ(RunProgram({VeskProgram(), "--port", port, "gc"}, out), 0) << ReadFile(out);
    leave.join();

    std::string junk = jvm->dir.Write("junk.txt", "not a snapshot\n");
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"--port", port, "histo", junk}, 6},
        {{"--port", port, "histo", junk, junk}, 2},
        {{"--port", port, "--raw=1", "gc"}, 2},
        {{"--port", port, "--colour", "gc"}, 2},
        {{"--port"}, 2},
        {{"--port", port, "snapshot", "-o"}, 2},
        {{"--port", port, "nosuchcommand"}, 2},
        {{"--port", std::to_string(FreePort()), "runtime"}, 3},
        {{"--port", port, "raw", "<vesk-cmd tag=\"1\"><cmd name=\"NOPE\"/></vesk-cmd>"}, 1},
        {{"--port", port, "raw", std::string(3000, ' ')}, 2},  // longer than one agent read
        {{"--port", port, "gc", "props"}, 2},
        {{"--port", "0x10", "gc"}, 2},
        {{"--help"}, 0},
    };
    for (Case& c : cases) {
        c.args.insert(c.args.begin(), VeskProgram());
        EXPECT_EQ(RunProgram(c.args, out), c.status) << c.args[c.args.size() - 1] << ": " << ReadFile(out);
    }
    // A command vesk does not have is named as such, before its arguments.
    EXPECT_EQ(RunProgram({VeskProgram(), "threads", junk}, out), 2);
    EXPECT_EQ(ReadFile(out), "vesk: unknown command 'threads' (see vesk --help)\n");
    // Nothing listening: the next step is named.
    EXPECT_EQ(RunProgram({VeskProgram(), "--port", std::to_string(FreePort()), "runtime"}, out), 3);
    EXPECT_NE(ReadFile(out).find("-agentpath"), std::string::npos) << ReadFile(out);

    // Each command has its own help, which names its arguments.
    for (const char* command : {"gc", "histo", "props", "raw", "runtime", "snapshot"}) {
        ASSERT_EQ(RunProgram({VeskProgram(), command, "--help"}, out), 0) << command << ReadFile(out);
        EXPECT_NE(ReadFile(out).find(std::string("Usage: vesk ") + command), std::string::npos) << ReadFile(out);
    }
    EXPECT_NE(ReadFile(out).find("-o FILE"), std::string::npos) << ReadFile(out);
}

// A bulk large enough that the walk is still running when "<ABORT>" arrives.
TEST(SnapshotCancel, AbortStopsTheWalkAndTheConnectionGoesOn) {
    SnapJvm jvm(3000000, "", "DEBUG");
    ASSERT_TRUE(jvm.ready) << jvm.jvm->Stderr();
    VeskClient client = jvm.Connect();
    client.Send(VeskClient::BuildRequest({"SNAPSHOT"}, "9"));
    ASSERT_TRUE(jvm.WaitForWalk(0)) << jvm.Log();  // the abort then comes in a read of its own
    client.SendAbort();
    std::vector<Frame> frames = client.ReadResponse();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].tag, "9");
    EXPECT_EQ(frames[0].Body(), CANCELLED_BODY);
    jvm.Sync(client);
    EXPECT_TRUE(SnapshotFiles(jvm.temp).empty());

    // The aborted walk left no tags: a new snapshot counts every object.
    client.Send(VeskClient::BuildRequest({"SNAPSHOT"}, "10"));
    Frame header = client.ReadFrame();
    std::vector<Prop> counts = vesk::CommandProps(header.Body(), "SNAPSHOT");
    ASSERT_EQ(counts.size(), 4u);
    EXPECT_GT(strtoll(counts[2].value.c_str(), nullptr, 10), 4500000);
    client.SendAbort();
    std::vector<Frame> rest = client.ReadResponse();
    ASSERT_FALSE(rest.empty());
    jvm.Sync(client);
    EXPECT_TRUE(SnapshotFiles(jvm.temp).empty());
    client.Close();

    // Ctrl-C on vesk snapshot: the agent stops, nothing is saved.
    std::string file = jvm.dir.File("cut.vsnap"), out = jvm.dir.File("vesk.out");
    size_t walks = jvm.WalksStarted();
    EXPECT_EQ(jvm.Vesk({"snapshot", "-o", file}, out, [&] { return jvm.WalksStarted() > walks; }), 130)
        << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("cancelled"), std::string::npos) << ReadFile(out);
    EXPECT_FALSE(FileExists(file));
    EXPECT_FALSE(FileExists(file + ".part"));
    VeskClient after = jvm.Connect();
    jvm.Sync(after);
    EXPECT_TRUE(SnapshotFiles(jvm.temp).empty());
}

// System.exit while the client is being sent the files, then while the
// agent walks the heap: the exiting thread runs again once the walk is over,
// and the VM is gone soon after, beyond what an exit takes anyway (a second,
// twice that allowed for a loaded machine). No snapshot file is left.
TEST(SnapshotExit, ExitDuringStreamingOrTheWalkLeavesNoFile) {
    int64_t plainExit = 0;
    for (bool streaming : {true, false}) {
        SCOPED_TRACE(streaming ? "exit while streaming" : "exit during the walk");
        SnapJvm jvm(500000, "", "DEBUG", {}, true);
        ASSERT_TRUE(jvm.ready) << jvm.jvm->Stderr();
        VeskClient client = jvm.Connect();
        client.Send(VeskClient::BuildRequest({"SNAPSHOT"}, "7"));
        if (streaming) {
            client.ReadFrame();  // and no more: the rest waits in the agent
            ASSERT_FALSE(SnapshotFiles(jvm.temp).empty());
        } else {
            ASSERT_TRUE(jvm.WaitForWalk(0)) << jvm.Log();
        }
        auto signalled = std::chrono::system_clock::now();
        jvm.SignalExit();
        int64_t exitMillis = jvm.ExitMillis();
        ASSERT_GE(exitMillis, 0) << jvm.jvm->Stdout() << jvm.jvm->Stderr();
        RecordProperty(streaming ? "exit_while_streaming_ms" : "exit_after_walk_ms", std::to_string(exitMillis));
        EXPECT_TRUE(SnapshotFiles(jvm.temp).empty());
        if (streaming) {
            plainExit = exitMillis;  // nothing of the agent's to wait for
            continue;
        }
        // Held up that long, the fixture's thread was stopped by the walk.
        auto held = std::chrono::system_clock::now() - signalled - std::chrono::milliseconds(exitMillis);
        EXPECT_GT(held, std::chrono::milliseconds(100));
        EXPECT_LE(exitMillis, plainExit + 2000);
    }
}

TEST(SnapshotWriteFailure, BareErrorFrameAndNothingLeftOnDisk) {
    TempDir parent;
    std::string missing = parent.File("no-such-dir");
    SnapJvm jvm(0, missing);
    ASSERT_TRUE(jvm.ready) << jvm.jvm->Stderr();
    VeskClient client = jvm.Connect();
    client.Send(VeskClient::BuildRequest({"SNAPSHOT"}, "5"));
    std::vector<Frame> frames = client.ReadResponse();
    ASSERT_EQ(frames.size(), 1u);
    std::string_view body = frames[0].Body();
    EXPECT_EQ(body.find("<status value=\"0\"/><error msg=\""), 0u) << body;
    EXPECT_EQ(body.substr(body.size() - 17), "<last value=\"1\"/>");
    jvm.Sync(client);
    EXPECT_TRUE(SnapshotFiles(parent.Path()).empty());
    EXPECT_FALSE(FileExists(missing));
    // The agent goes on serving: the next snapshot fails the same way, cleanly.
    client.Send(VeskClient::BuildRequest({"SNAPSHOT"}, "6"));
    EXPECT_EQ(client.ReadResponse().size(), 1u);
}

// Other clients while a long walk runs: each is answered at once, and a
// client that leaves mid-walk takes the walk with it.
class BusyAgentTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { jvm = new SnapJvm(3000000, "", "DEBUG"); }
    static void TearDownTestSuite() {
        delete jvm;
        jvm = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(jvm->ready) << jvm->jvm->Stderr(); }

    // A client whose snapshot walk is under way.
    static VeskClient Walking() {
        VeskClient client = jvm->Connect();
        size_t walks = jvm->WalksStarted();
        client.Send(VeskClient::BuildRequest({"SNAPSHOT"}, "1"));
        EXPECT_TRUE(jvm->WaitForWalk(walks)) << jvm->Log();
        return client;
    }

    static SnapJvm* jvm;
};
SnapJvm* BusyAgentTest::jvm = nullptr;

TEST_F(BusyAgentTest, EveryConnectionDuringAWalkIsRejectedAtOnce) {
    VeskClient walking = Walking();
    std::vector<VeskClient> others(20);
    for (VeskClient& other : others) {
        other.Connect("127.0.0.1", jvm->port);
        other.SetReadTimeout(10000);
        other.Send(VeskClient::BuildRequest({"PERFORM_GC"}, "2"));
    }
    int rejected = 0;
    for (VeskClient& other : others) {
        try {
            other.ReadResponse();
        } catch (const vesk::ClientError& e) {
            rejected += e.Kind() == vesk::ErrorKind::Rejected;
        }
    }
    EXPECT_EQ(rejected, 20);
    // All of them answered while the walk still ran: it ends cancelled, with no header.
    walking.SendAbort();
    std::vector<Frame> frames = walking.ReadResponse();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Body(), CANCELLED_BODY);
}

TEST_F(BusyAgentTest, ClientLeavingMidWalkEndsTheWalk) {
    VeskClient walking = Walking();
    walking.Close();
    auto left = std::chrono::steady_clock::now();
    VeskClient next = jvm->Connect();
    auto served = std::chrono::steady_clock::now();
    RecordProperty("next_client_served_ms",
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(served - left).count()));
    std::string log = jvm->Log();
    EXPECT_NE(log.find("Client connection closed, cancelling"), std::string::npos) << log;
    EXPECT_NE(log.find("Aborting heap walk"), std::string::npos);
    jvm->Sync(next);
    EXPECT_TRUE(SnapshotFiles(jvm->temp).empty());
}

// Every JNI call of the agent passes the JVM's own checks: local frames
// sized for what they hold, exceptions checked where required.
TEST(SnapshotCheckedJni, SnapshotRuntimeAndPropsWarnOfNothing) {
    SnapJvm jvm(1000, "", "INFO", {"-Xcheck:jni"});
    ASSERT_TRUE(jvm.ready) << jvm.jvm->Stderr();
    VeskClient client = jvm.Connect();
    client.Send(VeskClient::BuildRequest({"SNAPSHOT", "RUNTIME", "SYSTEM_PROPS"}, "7"));
    std::vector<Frame> frames = client.ReadResponse();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_NE(frames.back().Body().find("<cmd name=\"SYSTEM_PROPS\">"), std::string_view::npos);
    jvm.Sync(client);
    client.Close();
    for (const std::string& text : {jvm.jvm->Stdout(), jvm.jvm->Stderr()})
        EXPECT_EQ(text.find("WARNING"), std::string::npos) << text;
}

}  // namespace
