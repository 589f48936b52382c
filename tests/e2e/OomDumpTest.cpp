// oom-dump end to end: a JVM that leaks into a static map until
// OutOfMemoryError (oom.OomFixture, -Xmx64m), with G1 and with Parallel GC,
// keeps exactly one redacted, compressed heap in DIR and nothing anywhere
// else; the agent lists it and serves its very bytes; too little free space
// keeps nothing and says so once; vesk attach arms a running JVM the same way.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "JavaProcess.h"
#include "Ports.h"
#include "TempDir.h"
#include "VeskProgram.h"

using namespace vesktest;

namespace {

const char FIXTURE[] = "oom.OomFixture";
const char SECRET[] = "Zq9OomSecret42";
const std::string PATTERN("\xC0\xFF\xEE\x5E\xC2\xE7\x19", 7);

int Count(const std::string& text, const std::string& part) {
    int found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) found++;
    return found;
}

// The fixture with DIR and TMPDIR of its own; agentOptions empty: no agent
// at start, and the fixture waits for startFile before it leaks.
class OomJvm {
public:
    OomJvm(int rounds, const std::string& agentOptions, const std::string& gc = "-XX:+UseG1GC",
           const std::vector<std::string>& extra = {})
        : port(FreePort()), temp(dir.File("tmp")), dumps(dir.File("dumps")), startFile(dir.File("start")) {
        mkdir(temp.c_str(), 0700);
        config = dir.Write("agent.properties",
                           "vesk.agent.log.level=INFO\nvesk.agent.log.file=" + dir.File("agent.log") + "\n");
        std::vector<std::string> args{"-Xmx64m", gc};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<std::string> programArgs{std::to_string(rounds), dir.File("exit-now")};
        if (agentOptions.empty())
            programArgs.push_back(startFile);
        else
            args.insert(args.begin(), AgentArg(AgentOptions() + "," + agentOptions));
        jvm = std::make_unique<JavaProcess>(args, FIXTURE, programArgs,
                                            std::vector<std::string>{"TMPDIR=" + temp, "TMP=" + temp, "TEMP=" + temp});
    }
    std::string AgentOptions() const {
        return "port=" + std::to_string(port) + ",address=127.0.0.1,cfgfile=" + config + ",oom-dump=" + dumps;
    }
    // What the JVM leaves in DIR, in its temporary directory and in /dev/shm.
    std::vector<std::string> Kept() const { return EntriesStartingWith(dumps, ""); }
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> left = EntriesStartingWith(temp, "");
        for (const std::string& shm : EntriesStartingWith("/dev/shm", "VESKOOM_" + std::to_string(jvm->Pid()) + "_"))
            left.push_back(shm);
        return left;
    }
    std::string Log() const { return ReadFile(dir.File("agent.log")); }
    int Vesk(std::vector<std::string> args, std::string& output) {
        args.insert(args.begin(), {VeskProgram(), "--port", std::to_string(port)});
        int status = RunProgram(args, dir.File("vesk.txt"));
        output = ReadFile(dir.File("vesk.txt"));
        return status;
    }

    TempDir dir;
    int port;
    std::string temp, dumps, startFile, config;
    std::unique_ptr<JavaProcess> jvm;
};

class OomDumpTest : public ::testing::TestWithParam<const char*> {};

TEST_P(OomDumpTest, KeepsOneRedactedHeapListsItAndServesItsBytes) {
    OomJvm jvm(2, "oom-dump-count=1", GetParam());
    ASSERT_TRUE(jvm.jvm->WaitForOutput("oom done", 120000)) << jvm.jvm->Stdout() << jvm.Log();

    std::vector<std::string> kept = jvm.Kept();
    ASSERT_EQ(kept.size(), 1u) << jvm.Log();
    const std::string file = kept[0];
    const std::string name = file.substr(file.rfind('/') + 1);
    EXPECT_EQ(name.rfind(std::to_string(jvm.jvm->Pid()) + "-", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 10), ".hprof.zst");
    struct stat info;
    ASSERT_EQ(stat(jvm.dumps.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(jvm.Leftovers(), std::vector<std::string>{});
    EXPECT_EQ(Count(jvm.Log(), "OutOfMemoryError heap captured"), 1) << jvm.Log();

    std::string plain = ZstdFileText(file);
    EXPECT_EQ(plain.rfind("JAVA PROFILE 1.0.2", 0), 0u);
    EXPECT_EQ(plain.find(SECRET), std::string::npos);
    EXPECT_EQ(plain.find(PATTERN), std::string::npos);

    std::string output;
    ASSERT_EQ(RunVesk(jvm.dir, {"suspects", file}, &output), 0) << output;
    EXPECT_NE(output.find("java.util.HashMap"), std::string::npos) << output;
    EXPECT_NE(output.find("oom.OomFixture$LeakedRecord"), std::string::npos) << output;
    // An error thrown inside HashMap.putVal leaves the table in that frame's
    // locals as well, a root of its own: then the table is the suspect.
    bool viaField = output.find(".table -> java.util.HashMap$Node[]") != std::string::npos;
    bool viaFrame = output.find("HashMap$Node[]") != std::string::npos &&
                    output.find("root: stack local") != std::string::npos;
    EXPECT_TRUE(viaField || viaFrame) << output;

    ASSERT_EQ(jvm.Vesk({"dumps"}, output), 0) << output;
    EXPECT_NE(output.find(name), std::string::npos) << output;
    EXPECT_NE(output.find("2 OutOfMemoryErrors"), std::string::npos) << output;
    // Parallel GC may give up early, with the other message of a full Java heap.
    EXPECT_TRUE(output.find("Java heap space") != std::string::npos ||
                output.find("GC overhead limit exceeded") != std::string::npos)
        << output;

    const std::string fetched = jvm.dir.File("fetched.hprof.zst");
    ASSERT_EQ(jvm.Vesk({"dump", "--oom", "-o", fetched}, output), 0) << output;
    EXPECT_TRUE(ReadFile(fetched) == ReadFile(file)) << output;
    const std::string plainFetched = jvm.dir.File("fetched.hprof");
    ASSERT_EQ(jvm.Vesk({"dump", "--oom", "--name", name, "-o", plainFetched}, output), 0) << output;
    EXPECT_TRUE(ReadFile(plainFetched) == plain);
    EXPECT_NE(jvm.Vesk({"dump", "--oom", "--name", "nothing.hprof.zst", "-o", plainFetched}, output), 0);
    EXPECT_NE(output.find("No kept heap dump named nothing.hprof.zst"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Collectors, OomDumpTest, ::testing::Values("-XX:+UseG1GC", "-XX:+UseParallelGC"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param).find("G1") != std::string::npos ? "G1" : "Parallel";
                         });

TEST(OomDumpLimits, TooLittleFreeSpaceKeepsNothingAndSaysSoOnce) {
    OomJvm jvm(1, "oom-dump-min-free=1000000g");
    ASSERT_TRUE(jvm.jvm->WaitForOutput("oom done", 120000)) << jvm.jvm->Stdout() << jvm.Log();
    EXPECT_EQ(jvm.Kept(), std::vector<std::string>{});
    EXPECT_EQ(jvm.Leftovers(), std::vector<std::string>{});
    const std::string log = jvm.Log();
    EXPECT_EQ(Count(log, "[ERROR]"), 1) << log;
    EXPECT_EQ(Count(log, "OutOfMemoryError heap not captured: " + jvm.dumps + " has "), 1) << log;
}

// A connection's Java thread object cannot be made in a heap that stays
// full: the one made ahead lets a client fetch the kept heap all the same,
// and a later one is told why it is refused.
TEST(OomDumpLimits, AHeapThatStaysFullStillServesTheKeptHeap) {
    OomJvm jvm(1, "oom-dump-count=1", "-XX:+UseG1GC", {"-Doom.full=true"});
    ASSERT_TRUE(jvm.jvm->WaitForOutput("oom done", 120000)) << jvm.jvm->Stdout() << jvm.Log();
    std::vector<std::string> kept = jvm.Kept();
    ASSERT_EQ(kept.size(), 1u) << jvm.Log();
    std::string output;
    ASSERT_EQ(jvm.Vesk({"dump", "--oom", "-o", jvm.dir.File("fetched.hprof.zst")}, output), 0) << output << jvm.Log();
    EXPECT_TRUE(ReadFile(jvm.dir.File("fetched.hprof.zst")) == ReadFile(kept[0]));
    // The object made ahead is used up: a later connection is served if
    // the heap found room meanwhile, else told why, never just reset.
    if (jvm.Vesk({"dumps"}, output) != 0)
        EXPECT_NE(output.find("the JVM's Java heap is full"), std::string::npos) << output << jvm.Log();
}

TEST(OomDumpLimits, AttachArmsARunningJvm) {
    OomJvm jvm(1, "");
    ASSERT_TRUE(jvm.jvm->WaitForOutput("oom waiting", 30000)) << jvm.jvm->Stderr();
    std::string output;
    const std::string pid = std::to_string(jvm.jvm->Pid());
    ASSERT_EQ(RunVesk(jvm.dir,
                      {"attach", pid, "--port", std::to_string(jvm.port), "--agent", VESK_AGENT_LIB, "--",
                       "cfgfile=" + jvm.config, "oom-dump=" + jvm.dumps},
                      &output),
              0)
        << output;
    jvm.dir.Write("start", "");
    ASSERT_TRUE(jvm.jvm->WaitForOutput("oom done", 120000)) << jvm.jvm->Stdout() << jvm.Log();
    EXPECT_EQ(jvm.Kept().size(), 1u) << jvm.Log();
    EXPECT_EQ(jvm.Leftovers(), std::vector<std::string>{});
}

}  // namespace
