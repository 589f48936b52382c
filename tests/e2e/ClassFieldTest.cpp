// What only class objects' own fields hold (classref.ClassFieldFixture: a
// ClassValue's 16 MiB byte[] on Target.class, Target's reflection data):
// a snapshot records it through java.lang.Class's fields and counts it as
// the JVM does, and a vesk dump makes it reachable.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "JavaProcess.h"
#include "load/HprofFile.h"
#include "SnapshotStream.h"
#include "VeskProgram.h"
#include "protocol/VeskClient.h"

using namespace vesktest;
using vesk::Frame;
using vesk::VeskClient;

namespace {

constexpr int64_t ARRAY_BYTES = 16 << 20;

class ClassFieldTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        port = FreePort();
        jvm = new JavaProcess({AgentArg("port=" + std::to_string(port) + ",address=127.0.0.1"), "-Xmx512m"},
                              "classref.ClassFieldFixture");
        ready = jvm->WaitForOutput("classref ready", 60000) && WaitForPort(port, 30000);
    }
    static void TearDownTestSuite() {
        delete jvm;
        jvm = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(ready) << jvm->Stderr(); }

    // vesk against the fixture's agent, again while the last connection winds down (4).
    static int Vesk(std::vector<std::string> args, const std::string& out) {
        args.insert(args.begin(), {VeskProgram(), "--port", std::to_string(port)});
        for (int attempt = 0;; attempt++) {
            int status = RunProgram(args, out);
            if (status != 4 || attempt == 50) return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    std::string File(const std::string& name) const { return jvm->Dir().File(name); }

    static JavaProcess* jvm;
    static int port;
    static bool ready;
};
JavaProcess* ClassFieldTest::jvm = nullptr;
int ClassFieldTest::port = 0;
bool ClassFieldTest::ready = false;

TEST_F(ClassFieldTest, SnapshotRecordsClassObjectsFieldsAndCountsAsTheJvm) {
    SnapshotRecords records;
    // The port probe's connection may still be winding down.
    for (int attempt = 0;; attempt++) {
        try {
            VeskClient client;
            client.Connect("127.0.0.1", port);
            client.SetReadTimeout(300000);
            client.Send(VeskClient::BuildRequest({"SNAPSHOT"}, "1"));
            records.Read(client.ReadResponse());
            break;
        } catch (const vesk::ClientError& e) {
            if (e.Kind() != vesk::ErrorKind::Rejected || attempt == 50) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ASSERT_TRUE(records.whole) << records.error;
    uint64_t javaLangClass = 0, target = 0;
    for (const auto& [tag, record] : records.classes) {
        if (record.name == "java.lang.Class") javaLangClass = tag;
        if (record.name == "classref.Target") target = tag;
    }
    ASSERT_NE(javaLangClass, 0u);
    ASSERT_NE(target, 0u);
    // Target's class object holds its ClassValue map and reflection data
    // through fields that java.lang.Class's own record names.
    std::vector<std::string> named;
    for (const RefRecord& ref : records.refs) {
        if (ref.kind != 2 || ref.reftag != target) continue;
        auto field = records.classes[javaLangClass].fields.find(ref.index);
        named.push_back(field == records.classes[javaLangClass].fields.end() ? "?" : field->second);
    }
    EXPECT_NE(std::find(named.begin(), named.end(), "classValueMap"), named.end()) << ::testing::PrintToString(named);
    EXPECT_NE(std::find(named.begin(), named.end(), "reflectionData"), named.end()) << ::testing::PrintToString(named);

    // The snapshot's path names the field (a heap dump roots the value
    // instead), and byte[] counts as the JVM counts it.
    std::string out = File("path.out");
    ASSERT_EQ(Vesk({"--snapshot", "path", "--class", "byte[]", "-n", "1"}, out), 0) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("class classref.Target"), std::string::npos) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find(".classValueMap -> java.lang.ClassValue$ClassValueMap"), std::string::npos)
        << ReadFile(out);
    ASSERT_EQ(Vesk({"histo", "--json", "-n", "1000000"}, out), 0) << ReadFile(out);
    nlohmann::json histogram = nlohmann::json::parse(Answer(ReadFile(out)), nullptr, false);
    int64_t snapshotBytes = -1;
    for (const auto& row : histogram["classes"])
        if (row["name"] == "byte[]") snapshotBytes = row["bytes"].get<int64_t>();
    int64_t jvmBytes = JvmHistogram(jvm->Pid(), File("jcmd.out"))["[B"];
    ASSERT_GT(jvmBytes, ARRAY_BYTES) << ReadFile(File("jcmd.out"));
    EXPECT_NEAR(static_cast<double>(snapshotBytes), static_cast<double>(jvmBytes), jvmBytes * 0.01);
}

TEST_F(ClassFieldTest, DumpMakesWhatClassObjectsHoldReachable) {
    std::string dump = File("classref.hprof"), out = File("dump.out");
    ASSERT_EQ(Vesk({"dump", "-o", dump}, out), 0) << ReadFile(out);
    ASSERT_EQ(RunProgram({VeskProgram(), "path", dump, "--class", "byte[]", "-n", "1", "--no-index"}, out), 0)
        << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("java.lang.ClassValue$ClassValueMap"), std::string::npos) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("retained 16.0 MiB"), std::string::npos) << ReadFile(out);
    // Roots of kind unknown name the values, and no trace of the holder the
    // agent kept them in during the dump (an Object[] whose first slot is itself).
    struct Holders : vesk::HprofVisitor {
        explicit Holders(const vesk::HprofFile& file) : file(file) {}
        void OnRoot(uint8_t kind, uint64_t) override { unknownRoots += kind == 0xFF; }
        void OnObjectArray(uint64_t id, uint64_t, const uint8_t* elements, uint32_t count) override {
            selfHolding += count > 0 && file.Id(elements) == id;
        }
        const vesk::HprofFile& file;
        int unknownRoots = 0, selfHolding = 0;
    };
    vesk::HprofFile file(dump);
    Holders holders(file);
    file.Visit(holders);
    EXPECT_GT(holders.unknownRoots, 0);
    EXPECT_EQ(holders.selfHolding, 0);
}

}  // namespace
