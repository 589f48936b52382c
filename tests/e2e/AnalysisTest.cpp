// Heap analysis end to end: a JVM whose retained sizes follow from its
// construction (retain.RetainFixture), its snapshot saved by vesk and its
// heap dumped by the JDK, each analysed by every vesk command that reads a
// heap, plain and compressed, and analysed live.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <utility>
#include <string>
#include <vector>

#include "HprofBuilder.h"
#include "JavaProcess.h"
#include "SnapshotStream.h"
#include "TempDir.h"
#include "VeskProgram.h"
#include "ZstdFrames.h"

using namespace vesktest;
using nlohmann::json;

namespace {

const int ENTRIES = 2000;
const int64_t PAYLOAD = 1016;  // a byte[1000]: header, length, data

class AnalysisTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        port = FreePort();
        jvm = new JavaProcess({AgentArg("port=" + std::to_string(port) + ",address=127.0.0.1"), "-Xmx256m"},
                              "retain.RetainFixture", {std::to_string(ENTRIES)});
        if (!jvm->WaitForOutput("retain ready", 60000) || !WaitForPort(port, 30000)) return;
        file = jvm->Dir().File("heap.vsnap");
        saved = Vesk({"--port", std::to_string(port), "snapshot", "-o", file}, nullptr) == 0;
    }
    static void TearDownTestSuite() {
        delete jvm;
        jvm = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(saved) << jvm->Stderr(); }

    // Runs vesk; output (stdout and stderr) into *output when given.
    static int Vesk(std::vector<std::string> args, std::string* output) {
        args.insert(args.begin(), VeskProgram());
        std::string out = jvm->Dir().File("vesk.out");
        int status = RunProgram(args, out);
        if (output) *output = ReadFile(out);
        return status;
    }
    static json VeskJson(const std::vector<std::string>& args) {
        std::string out;
        EXPECT_EQ(Vesk(args, &out), 0) << out;
        return json::parse(Answer(out), nullptr, false);
    }

    static JavaProcess* jvm;
    static int port;
    static std::string file;
    static bool saved;
};
JavaProcess* AnalysisTest::jvm = nullptr;
int AnalysisTest::port = 0;
std::string AnalysisTest::file;
bool AnalysisTest::saved = false;

const json* Find(const json& rows, const char* key, const std::string& value) {
    for (const json& row : rows)
        if (row.value(key, "") == value) return &row;
    return nullptr;
}

}  // namespace

TEST_F(AnalysisTest, RetainedSizesFollowTheFixturesConstruction) {
    json byClass = VeskJson({"top", file, "--by-class", "-n", "100000", "--json"});
    const json* entry = Find(byClass["classes"], "name", "retain.RetainFixture$Entry");
    ASSERT_NE(entry, nullptr) << byClass.dump();
    EXPECT_EQ((*entry)["instances"], ENTRIES);
    // Every entry alone holds its payload; no entry dominates another.
    EXPECT_EQ((*entry)["retained"].get<int64_t>(), (*entry)["bytes"].get<int64_t>() + ENTRIES * PAYLOAD);

    json top = VeskJson({"top", file, "-n", "10", "--json"});
    EXPECT_EQ(top["unreachableObjects"].is_number(), true);
    const json* array = Find(top["top"], "class", "retain.RetainFixture$Entry[]");
    ASSERT_NE(array, nullptr) << top.dump();
    EXPECT_EQ((*array)["retained"].get<int64_t>(),
              (*array)["shallow"].get<int64_t>() + (*entry)["retained"].get<int64_t>());
    // The map: its payloads, and keys, nodes and table of a few dozen bytes per entry.
    const json* map = Find(top["top"], "class", "java.util.HashMap");
    ASSERT_NE(map, nullptr) << top.dump();
    EXPECT_GT((*map)["retained"].get<int64_t>(), ENTRIES * PAYLOAD);
    EXPECT_LT((*map)["retained"].get<int64_t>(), ENTRIES * (PAYLOAD + 150));
    // The class object holds both through its static fields.
    const json* holder = Find(top["top"], "class", "class retain.RetainFixture");
    ASSERT_NE(holder, nullptr) << top.dump();
    EXPECT_GE((*holder)["retained"].get<int64_t>(), (*array)["retained"].get<int64_t>() + (*map)["retained"].get<int64_t>());
}

TEST_F(AnalysisTest, PathsNameStaticFieldsAndArrayIndexes) {
    json paths = VeskJson({"path", file, "--class", "retain.RetainFixture$Entry", "-n", "2", "--json"});
    ASSERT_EQ(paths.size(), 2u) << paths.dump();
    const json& steps = paths[0]["steps"];
    ASSERT_EQ(steps.size(), 3u) << paths.dump();
    EXPECT_EQ(steps[0]["class"], "class retain.RetainFixture");
    EXPECT_EQ(steps[1]["via"], ".entries");
    EXPECT_EQ(steps[2]["via"].get<std::string>().rfind("[", 0), 0u);
    EXPECT_EQ(paths[0]["retained"], paths[1]["retained"]);

    std::string tag = steps[1]["tag"];
    json one = VeskJson({"path", file, tag, "--json"});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0]["class"], "retain.RetainFixture$Entry[]");
}

TEST_F(AnalysisTest, DiffLiveAndBrokenInput) {
    // The live snapshot against the saved one: the fixture's classes have not changed.
    json diff = VeskJson({"diff", file, "--port", std::to_string(port), "--retained", "-n", "100000", "--json"});
    const json* entry = Find(diff, "name", "retain.RetainFixture$Entry");
    ASSERT_NE(entry, nullptr) << diff.dump();
    EXPECT_EQ((*entry)["instancesBefore"], (*entry)["instancesAfter"]);
    EXPECT_EQ((*entry)["retainedBefore"], (*entry)["retainedAfter"]);

    std::string whole = ReadFile(file), out;
    std::string cut = jvm->Dir().Write("cut.vsnap", whole.substr(0, whole.size() * 2 / 3));
    EXPECT_EQ(Vesk({"top", cut}, &out), 6);
    EXPECT_NE(out.find("truncated"), std::string::npos) << out;
    EXPECT_EQ(Vesk({"path", file, "--class", "no.such.Class"}, &out), 2) << out;
    EXPECT_EQ(Vesk({"path", file, "--class", "RetainFixture.Entyr"}, &out), 2) << out;
    EXPECT_NE(out.find("did you mean retain.RetainFixture$Entry"), std::string::npos) << out;
    EXPECT_EQ(Vesk({"diff", file, jvm->Dir().Write("notes.txt", "not a heap\n")}, &out), 6);
    EXPECT_NE(out.find("notes.txt: not a snapshot or HPROF file"), std::string::npos) << out;
    EXPECT_EQ(Vesk({"top", "--help"}, &out), 0);
    EXPECT_NE(out.find("plus every class object"), std::string::npos) << out;
}

// The JDK's own heap dump of the same JVM, through every command that reads a file.
TEST_F(AnalysisTest, EveryCommandReadsAnHprofFile) {
    std::string hprof = jvm->Dir().File("heap.hprof"), out;
    ASSERT_EQ(RunProgram({TestJdk() + "/bin/jcmd", std::to_string(jvm->Pid()), "GC.heap_dump", hprof},
                         jvm->Dir().File("jcmd.out")), 0) << ReadFile(jvm->Dir().File("jcmd.out"));
    const std::string entryClass = "retain.RetainFixture$Entry";

    ASSERT_EQ(Vesk({"histo", hprof}, &out), 0) << out;
    std::regex entryRow(":\\s+" + std::to_string(ENTRIES) + "\\s.*  retain\\.RetainFixture\\$Entry\n");
    EXPECT_TRUE(std::regex_search(out, entryRow)) << out;

    json byClass = VeskJson({"top", hprof, "--by-class", "-n", "100000", "--json"});
    const json* entry = Find(byClass["classes"], "name", entryClass);
    ASSERT_NE(entry, nullptr) << byClass.dump();
    EXPECT_EQ((*entry)["instances"], ENTRIES);
    EXPECT_EQ((*entry)["retained"].get<int64_t>(), (*entry)["bytes"].get<int64_t>() + ENTRIES * PAYLOAD);

    json paths = VeskJson({"path", hprof, "--class", entryClass, "-n", "1", "--json"});
    ASSERT_EQ(paths.size(), 1u) << paths.dump();
    ASSERT_EQ(paths[0]["steps"].size(), 3u) << paths.dump();
    EXPECT_EQ(paths[0]["steps"][1]["via"], ".entries");

    // A snapshot stream against a dump, and a dump against itself with retained sizes.
    json diff = VeskJson({"diff", file, hprof, "-n", "100000", "--json"});
    const json* row = Find(diff, "name", entryClass);
    ASSERT_NE(row, nullptr) << diff.dump();
    EXPECT_EQ((*row)["instancesBefore"], ENTRIES);
    EXPECT_EQ((*row)["instancesAfter"], ENTRIES);
    json retained = VeskJson({"diff", hprof, hprof, "--retained", "-n", "100000", "--json"});
    row = Find(retained, "name", entryClass);
    ASSERT_NE(row, nullptr) << retained.dump();
    EXPECT_EQ((*row)["retainedAfter"], (*entry)["retained"]);

    std::string page = jvm->Dir().File("hprof.html");
    ASSERT_EQ(Vesk({"report", hprof, "-o", page}, &out), 0) << out;
    EXPECT_NE(ReadFile(page).find(entryClass), std::string::npos);
    EXPECT_FALSE(FileExists(page + ".part"));

    // Compressed, whatever the name: the same answers; cut, refused with the offset.
    // The first command says where it left the index, which is at most half
    // the compressed file.
    for (const std::string& plain : {file, hprof}) {
        std::string packed = ZstdFrames(ReadFile(plain), 1 << 20);
        std::string zst = jvm->Dir().Write("packed-" + plain.substr(plain.rfind('/') + 1), packed);
        ASSERT_EQ(Vesk({"top", zst, "-n", "1"}, &out), 0) << out;
        std::string index = zst + ".vidx";
        EXPECT_NE(out.find("vesk: wrote " + index + " ("), std::string::npos) << out;
        EXPECT_NE(out.find("--no-index writes none, VESK_INDEX=cache keeps indexes in "), std::string::npos) << out;
        EXPECT_LE(ReadFile(index).size(), packed.size() / 2);
        ASSERT_EQ(Vesk({"top", zst, "-n", "1"}, &out), 0) << out;
        EXPECT_EQ(out.find("vesk: wrote"), std::string::npos) << out;
        for (std::vector<std::string> args : {std::vector<std::string>{"top", "-n", "20", "--json"},
                                              {"path", "--class", entryClass, "-n", "2", "--json"}}) {
            args.insert(args.begin() + 1, plain);
            json expected = VeskJson(args);
            args[1] = zst;
            EXPECT_EQ(VeskJson(args), expected) << args[0] << " " << plain;
        }
        std::string cut = jvm->Dir().Write("cut.zst", packed.substr(0, packed.size() / 2));
        EXPECT_EQ(Vesk({"top", cut}, &out), 6);
        EXPECT_NE(out.find("cut.zst: the zstd data stops inside a frame at compressed byte " + std::to_string(packed.size() / 2)),
                  std::string::npos) << out;
    }
}

// Instances and bytes over every class of a --json list: histo's and top
// --by-class's "classes", diff's rows (after).
std::pair<int64_t, int64_t> Sum(const json& rows, const char* instances = "instances", const char* bytes = "bytes") {
    std::pair<int64_t, int64_t> sum{0, 0};
    for (const json& row : rows) {
        sum.first += row[instances].get<int64_t>();
        sum.second += row[bytes].get<int64_t>();
    }
    return sum;
}

// histo, top --by-class and diff count the same objects on a snapshot and on
// a heap dump; on the dump, as many as the JVM's own class histogram but for
// class objects (the dump holds fewer) and the fillers vesk leaves out.
TEST_F(AnalysisTest, OneTotalInEveryCommandAndAsTheJvmCounts) {
    std::string hprof = jvm->Dir().File("totals.hprof");
    ASSERT_EQ(RunProgram({TestJdk() + "/bin/jcmd", std::to_string(jvm->Pid()), "GC.heap_dump", hprof},
                         jvm->Dir().File("jcmd.out")), 0) << ReadFile(jvm->Dir().File("jcmd.out"));
    std::string histogramFile = jvm->Dir().File("histogram.txt");
    ASSERT_EQ(RunProgram({TestJdk() + "/bin/jcmd", std::to_string(jvm->Pid()), "GC.class_histogram"}, histogramFile), 0);
    std::pair<int64_t, int64_t> jvmTotal{0, 0};
    std::istringstream lines(ReadFile(histogramFile));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string number, name;
        int64_t instances, bytes;
        if (!(fields >> number >> instances >> bytes >> name) || number.back() != ':') continue;
        if (name == "java.lang.Class" || name.find("jdk.internal.vm.Filler") != std::string::npos) continue;
        jvmTotal.first += instances;
        jvmTotal.second += bytes;
    }
    ASSERT_GT(jvmTotal.first, 0) << ReadFile(histogramFile);

    for (const std::string& input : {file, hprof}) {
        json histo = VeskJson({"histo", input, "--json"});
        std::pair<int64_t, int64_t> total{histo["instances"].get<int64_t>(), histo["bytes"].get<int64_t>()};
        EXPECT_EQ(Sum(histo["classes"]), total) << input;
        EXPECT_EQ(Sum(VeskJson({"top", input, "--by-class", "-n", "100000", "--json"})["classes"]), total) << input;
        EXPECT_EQ(Sum(VeskJson({"diff", input, input, "-n", "100000", "--json"}), "instancesAfter", "bytesAfter"), total)
            << input;
        const json* classes = Find(histo["classes"], "name", "java.lang.Class");
        ASSERT_NE(classes, nullptr) << input;
        if (input != hprof) continue;
        total.first -= (*classes)["instances"].get<int64_t>();
        total.second -= (*classes)["bytes"].get<int64_t>();
        EXPECT_NEAR(static_cast<double>(total.first), static_cast<double>(jvmTotal.first), 0.01 * jvmTotal.first);
        EXPECT_NEAR(static_cast<double>(total.second), static_cast<double>(jvmTotal.second), 0.01 * jvmTotal.second);
    }
}

// A header announcing 400 million objects: the graph reserves room for them
// at once, far more than an address space of 1 GiB holds.
TEST(AnalysisOutOfMemory, AllocationFailureExitsWithItsDocumentedStatus) {
    TempDir dir;
    std::string stream = GraphStream({16}, {}, {1});
    const std::string announced = "<prop name=\"total-objs\" value=\"1\"/>";
    size_t at = stream.find(announced);
    ASSERT_NE(at, std::string::npos) << stream;
    stream.replace(at, announced.size(), "<prop name=\"total-objs\" value=\"400000000\"/>");
    std::string file = dir.Write("huge.vsnap", stream), out = dir.File("vesk.out");
    EXPECT_EQ(RunProgram({VeskProgram(), "top", file}, out, nullptr, 1ull << 30), 7) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("vesk: out of memory"), std::string::npos) << ReadFile(out);
    ASSERT_EQ(RunProgram({VeskProgram(), "--help"}, out), 0);
    EXPECT_NE(ReadFile(out).find("\n  7    out of memory"), std::string::npos) << ReadFile(out);
}

TEST(AnalysisCancel, CtrlCWhileReadingEndsWithTheCancelStatusAndMessage) {
    TempDir dir;
    std::string fifo = dir.File("heap.vsnap"), out = dir.File("vesk.out");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A writer opens without waiting once vesk has the FIFO open (past its
    // Ctrl-C handler) and then writes nothing: vesk is still reading.
    int writer = -1;
    auto reading = [&] { return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; };
    EXPECT_EQ(RunProgram({VeskProgram(), "top", fifo}, out, reading), 130) << ReadFile(out);
    if (writer >= 0) close(writer);
    EXPECT_NE(ReadFile(out).find("vesk: top cancelled"), std::string::npos) << ReadFile(out);
}

// The first analysis of a file leaves an index that later commands read
// while the file keeps its size and modification time.
TEST(AnalysisIndex, LaterCommandsReadTheIndexUntilTheFileChanges) {
    TempDir dir;
    ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
    const std::string stream = GraphStream({111, 222, 333}, {{1, 2}, {2, 3}}, {1});
    std::string file = dir.Write("heap.vsnap", stream), index = file + ".vidx", out = dir.File("vesk.out");
    auto top = [&](const std::string& path, std::vector<std::string> before = {}) {
        before.insert(before.end(), {VeskProgram(), "top", path, "--json"});
        EXPECT_EQ(RunProgram(before, out), 0) << ReadFile(out);
        return Answer(ReadFile(out));
    };
    // --no-index writes none; the first command that may, does.
    ASSERT_EQ(RunProgram({VeskProgram(), "--no-index", "top", file, "--json"}, out), 0);
    const std::string first = ReadFile(out);
    ASSERT_NE(first.find("\"retained\": 666"), std::string::npos) << first;
    EXPECT_FALSE(FileExists(index));
    EXPECT_EQ(top(file), first);
    ASSERT_TRUE(FileExists(index));

    // Other content of the same size and time: what answers is the index.
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    std::string changed = stream;
    for (size_t at = changed.find("222"); at != std::string::npos; at = changed.find("222", at)) changed.replace(at, 3, "999");
    dir.Write("heap.vsnap", changed);
    timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    EXPECT_EQ(top(file), first);
    EXPECT_EQ(RunProgram({VeskProgram(), "top", file, "--json", "--no-index"}, out), 0);
    EXPECT_NE(ReadFile(out).find("\"retained\": 1443"), std::string::npos) << ReadFile(out);

    // Touched: read again and indexed again.
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), nullptr, 0), 0);
    const std::string rebuilt = top(file);
    EXPECT_NE(rebuilt.find("\"retained\": 1443"), std::string::npos) << rebuilt;

    // A damaged index is never trusted: rebuilt, same answer.
    std::string stored = ReadFile(index);
    ASSERT_GT(stored.size(), 200u);
    std::string damaged = stored;
    damaged[stored.size() / 2] ^= 0x55;
    dir.Write("heap.vsnap.vidx", damaged);
    EXPECT_EQ(top(file), rebuilt);
    EXPECT_NE(ReadFile(index), damaged);
    EXPECT_EQ(top(file), rebuilt);

    // A directory vesk cannot write to: the index goes to the cache
    // directory, named after the file. Root writes anywhere, so it runs vesk
    // as nobody.
    std::string ro = dir.File("ro"), cache = dir.File("cache");
    ASSERT_EQ(mkdir(ro.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(cache.c_str(), 0777), 0);
    ASSERT_EQ(chmod(cache.c_str(), 0777), 0);
    std::string roFile = dir.Write("ro/heap.vsnap", stream);
    std::vector<std::string> as = {"/usr/bin/env", "XDG_CACHE_HOME=" + cache};
    if (geteuid() == 0) as.insert(as.end(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    else ASSERT_EQ(chmod(ro.c_str(), 0555), 0);
    EXPECT_EQ(top(roFile, as), first);
    EXPECT_FALSE(FileExists(roFile + ".vidx"));
    EXPECT_EQ(EntriesStartingWith(cache + "/vesk", "heap.vsnap-").size(), 1u);
    EXPECT_EQ(top(roFile, as), first);
    chmod(ro.c_str(), 0755);

    // VESK_INDEX=cache: never beside the file, one index in the cache for
    // the file as it is now, the one before it forgotten.
    std::string other = dir.File("cached"), otherFile = dir.Write("heap2.vsnap", stream);
    std::vector<std::string> cached = {"/usr/bin/env", "XDG_CACHE_HOME=" + other, "VESK_INDEX=cache"};
    EXPECT_EQ(top(otherFile, cached), first);
    EXPECT_EQ(ReadFile(out).find("vesk: wrote"), std::string::npos);
    EXPECT_FALSE(FileExists(otherFile + ".vidx"));
    ASSERT_EQ(EntriesStartingWith(other + "/vesk", "heap2.vsnap-").size(), 1u);
    std::string was = EntriesStartingWith(other + "/vesk", "heap2.vsnap-")[0];
    dir.Write("heap2.vsnap", changed);
    EXPECT_EQ(top(otherFile, cached), rebuilt);
    ASSERT_EQ(EntriesStartingWith(other + "/vesk", "heap2.vsnap-").size(), 1u);
    EXPECT_NE(EntriesStartingWith(other + "/vesk", "heap2.vsnap-")[0], was);
    EXPECT_EQ(RunProgram({"/usr/bin/env", "VESK_INDEX=elsewhere", VeskProgram(), "top", otherFile}, out), 2);
}

// On a terminal the phases show as one line, and Ctrl-C in the midst of the
// analysis ends it at once, the line erased for the message.
TEST(AnalysisCancel, CtrlCDuringAnalysisOnATerminalEndsPromptly) {
    TempDir dir;
    std::string file = dir.Write("chain.hprof", ChainHprof(2000000));
    TerminalRun run = RunOnTerminal({VeskProgram(), "top", file}, "top: reading chain.hprof (objects)");
    EXPECT_EQ(run.status, 130) << run.shown;
    EXPECT_NE(run.shown.find("\rtop: reading chain.hprof (classes): "), std::string::npos) << run.shown;
    EXPECT_NE(run.shown.find("\r\x1b[Kvesk: top cancelled (Ctrl-C)"), std::string::npos) << run.shown;
    EXPECT_GE(run.secondsAfterInterrupt, 0.0);
    EXPECT_LT(run.secondsAfterInterrupt, 5.0);
}
