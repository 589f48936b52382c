// The agent object against a fake JVM: start-up steps, fatal paths, the
// monitor discipline of the snapshot and GC drivers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "FakeJvm.h"
#include "JvmAgent.h"
#include "OomCapture.h"
#include "JvmInfo.h"
#include "Orlo.h"
#include "TempDir.h"
#include "VeskLogger.h"
#include "VeskVersion.h"

using namespace Orlo;
using vesktest::FakeJvm;

extern "C" jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void* reserved);
extern "C" jint JNICALL Agent_OnAttach(JavaVM* vm, char* options, void* reserved);

namespace {

class FakeJvmTest : public ::testing::Test {
protected:
    // Starts an agent logging at `level` into agent.log of the temp dir.
    std::unique_ptr<JvmAgent> Start(const std::string& level = "TRACE") {
        Configure(level);
        std::unique_ptr<JvmAgent> created(new JvmAgent(jvm.Vm(), options.data()));
        agent = created.get();
        return created;
    }
    void Configure(const std::string& level) {
        dir.Write("agent.properties", "vesk.agent.log.level=" + level +
                                          "\nvesk.agent.log.file=" + dir.File("agent.log") + "\n");
        options = "port=1,cfgfile=" + dir.File("agent.properties");
    }
    std::string Log() {
        VeskLogger::CloseLogFile();
        return vesktest::ReadFile(dir.File("agent.log"));
    }
    static bool HasLine(const std::string& log, const std::string& level, const std::string& text) {
        return log.find("[" + level + "]: " + text + "\n") != std::string::npos;
    }

    vesktest::AgentStateGuard guard;
    vesktest::TempDir dir;
    FakeJvm jvm;
    std::string options;
};

TEST_F(FakeJvmTest, ConstructorSetsUpJvmtiInOrder) {
    auto created = Start("DEBUG");
    EXPECT_TRUE(created->IsEnabled());
    EXPECT_EQ(created->GetJvmtiEnv(), jvm.Jvmti());
    ASSERT_FALSE(jvm.getEnvVersions.empty());
    EXPECT_EQ(jvm.getEnvVersions[0], JVMTI_VERSION_1_1);

    jvmtiCapabilities expected;
    memset(&expected, 0, sizeof expected);
    expected.can_tag_objects = 1;
    expected.can_signal_thread = 1;
    EXPECT_EQ(memcmp(&jvm.capabilities, &expected, sizeof expected), 0);
    EXPECT_EQ(jvm.monitorName, "JvmAgent");

    EXPECT_EQ(jvm.callbacksSize, 280);
    EXPECT_EQ(jvm.callbacks.VMInit, &JvmInitCB);
    EXPECT_EQ(jvm.callbacks.VMDeath, &JvmDeathCB);
    jvmtiEventCallbacks others = jvm.callbacks;
    others.VMInit = nullptr;
    others.VMDeath = nullptr;
    jvmtiEventCallbacks none;
    memset(&none, 0, sizeof none);
    EXPECT_EQ(memcmp(&others, &none, sizeof none), 0);

    ASSERT_EQ(jvm.eventModes.size(), 2u);
    EXPECT_EQ(jvm.eventModes[0], std::make_pair(JVMTI_ENABLE, JVMTI_EVENT_VM_INIT));
    EXPECT_EQ(jvm.eventModes[1], std::make_pair(JVMTI_ENABLE, JVMTI_EVENT_VM_DEATH));

    std::string log = Log();
    EXPECT_TRUE(HasLine(log, "DEBUG", "Loaded JVMTI Version 30110000")) << log;
    // The first line says which release runs; the load's line follows.
    EXPECT_LT(log.find(std::string("[DEBUG]: veskjagent ") + VESK_VERSION + "\n"), log.find('\n')) << log;
    EXPECT_NE(log.find(std::string("[DEBUG]: Enter Agent_OnLoad, lib=") + libraryPath + ", vm="), std::string::npos)
        << log;
    EXPECT_NE(log.find(", options=" + options + "\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;

    created.reset();
    EXPECT_EQ(jvm.monitorsDestroyed, 1);
}

// oom-dump asks for the heap's resource-exhaustion events on its own, after
// the capabilities every agent asks for, and only then takes the event.
TEST_F(FakeJvmTest, OomDumpAddsTheExhaustionCapabilityAndCallback) {
    Configure("ERROR");
    options += ",oom-dump=" + dir.File("heaps");
    std::unique_ptr<JvmAgent> created(new JvmAgent(jvm.Vm(), options.data()));
    agent = created.get();
    EXPECT_TRUE(created->IsEnabled());
    jvmtiCapabilities expected;
    memset(&expected, 0, sizeof expected);
    expected.can_generate_resource_exhaustion_heap_events = 1;
    EXPECT_EQ(memcmp(&jvm.capabilities, &expected, sizeof expected), 0) << "the last capabilities added";
    EXPECT_EQ(jvm.callbacks.ResourceExhausted, &ResourceExhaustedCB);
    ASSERT_NE(created->GetOomCapture(), nullptr);
    EXPECT_EQ(created->GetOomCapture()->Directory(), dir.File("heaps"));
    EXPECT_EQ(jvm.eventModes.size(), 2u) << "the event is enabled once the capture is armed, at VM init";
}

TEST_F(FakeJvmTest, FailedSetupCallIsLoggedAndSetupGoesOn) {
    jvm.failing = {"AddCapabilities", "SetEventCallbacks"};
    auto created = Start("ERROR");
    EXPECT_TRUE(created->IsEnabled());
    EXPECT_EQ(jvm.monitorName, "JvmAgent");
    EXPECT_EQ(jvm.eventModes.size(), 2u);
    // Named from the built-in table: the agent is not published yet.
    std::string log = Log();
    EXPECT_TRUE(HasLine(log, "ERROR", "AddCapabilities: JVMTI error=JVMTI_ERROR_NOT_AVAILABLE(98)"))
        << log;
    EXPECT_TRUE(
        HasLine(log, "ERROR", "SetEventCallbacks: JVMTI error=JVMTI_ERROR_NOT_AVAILABLE(98)"));
    EXPECT_EQ(jvm.allocations, 0);
}

TEST_F(FakeJvmTest, AttachWithoutTheTagCapabilityFailsAndLeavesNothing) {
    jvm.failing = {"AddCapabilities"};
    Configure("ERROR");
    EXPECT_EQ(Agent_OnAttach(jvm.Vm(), options.data(), nullptr), JNI_ERR);
    EXPECT_EQ(agent, nullptr);
    // The JVM unloads the library: no callback of it may stay registered.
    ASSERT_EQ(jvm.disposed.size(), 1u);
    EXPECT_EQ(jvm.disposed[0], jvm.Jvmti());
    EXPECT_EQ(jvm.monitorsDestroyed, 1);
    std::string log = Log();
    EXPECT_NE(log.find("[ERROR]: Agent not started: this JVM does not give the capability to tag objects"),
              std::string::npos)
        << log;
}

TEST_F(FakeJvmTest, SecondAttachAnswersAlreadyLoadedWithThePort) {
    auto created = Start("INFO");
    std::string again = "port=2";
    EXPECT_EQ(Agent_OnAttach(jvm.Vm(), again.data(), nullptr), JvmAgent::ATTACH_ALREADY_LOADED | 1);
    EXPECT_EQ(agent, created.get());
    EXPECT_TRUE(jvm.disposed.empty());
    std::string log = Log();
    EXPECT_TRUE(HasLine(log, "INFO", "Agent already loaded, serving *:1; the new load starts nothing")) << log;
}

TEST_F(FakeJvmTest, NoJvmtiEnvIsFatalAndSkipsJvmtiSetup) {
    jvm.jvmtiGetEnvResult = JNI_EVERSION;
    auto created = Start("ERROR");
    EXPECT_FALSE(created->IsEnabled());
    EXPECT_EQ(created->GetJvmtiEnv(), nullptr);
    EXPECT_EQ(jvm.jvmtiCalls, 0);
    std::string log = Log();
    EXPECT_TRUE(HasLine(log, "FATAL ERROR",
                        "Unable to create jvmtiEnv for version 30010100, error=JNI_EVERSION(-3)"))
        << log;
    EXPECT_TRUE(HasLine(log, "FATAL ERROR", "No jvmtiEnv* returned from GetEnv for version 30010100"));

    // Nothing that needs JVMTI may crash on such an agent.
    EXPECT_EQ(created->GetJvmPhase(), JVMTI_PHASE_DEAD);
    created->RunGC(nullptr);
    created->GenerateSnapShot(nullptr);
    created->JvmDeath();
    EXPECT_EQ(jvm.jvmtiCalls, 0);
}

TEST_F(FakeJvmTest, OldJniIsFatalAndDisablesAgent) {
    jvm.jniVersion = 0x10005;
    auto created = Start("ERROR");
    ASSERT_TRUE(created->IsEnabled());
    EXPECT_EQ(created->GetJniEnv(), jvm.Jni());  // still handed out
    EXPECT_FALSE(created->IsEnabled());
    EXPECT_EQ(created->GetJniVersion(), 0x10005);
    EXPECT_TRUE(HasLine(Log(), "FATAL ERROR", "Java 1.6 or later required, found version 10005"));
}

TEST_F(FakeJvmTest, JniVersionIsAskedOnceAndCurrentOnesPass) {
    auto created = Start("ERROR");
    size_t asked = jvm.getEnvVersions.size();
    EXPECT_EQ(created->GetJniVersion(), JNI_VERSION_1_8);
    EXPECT_EQ(created->GetJniVersion(), JNI_VERSION_1_8);
    ASSERT_EQ(jvm.getEnvVersions.size(), asked + 1);
    EXPECT_EQ(jvm.getEnvVersions.back(), JNI_VERSION_1_4);
    jvm.jniVersion = 0x10006;
    EXPECT_EQ(created->GetJniEnv(), jvm.Jni());
    EXPECT_TRUE(created->IsEnabled());
    EXPECT_FALSE(vesktest::FileExists(dir.File("agent.log")));
}

TEST_F(FakeJvmTest, UnavailableJniEnvIsFatal) {
    jvm.jniGetEnvResult = JNI_EDETACHED;
    auto created = Start("ERROR");
    EXPECT_EQ(created->GetJniEnv(), nullptr);
    EXPECT_FALSE(created->IsEnabled());
    EXPECT_EQ(created->GetJniVersion(), 0);
    std::string log = Log();
    EXPECT_TRUE(HasLine(log, "FATAL ERROR",
                        "Unable to get jniEnv version 10004, error=JNI_EDETACHED(-2)"))
        << log;
    EXPECT_TRUE(HasLine(log, "FATAL ERROR", "No jniEnv* returned from GetEnv for version 0"));
}

TEST_F(FakeJvmTest, AgentOnLoadPublishesAgentAndAlwaysReturnsOk) {
    jvm.jvmtiGetEnvResult = JNI_ERR;
    Configure("ERROR");
    EXPECT_EQ(Agent_OnLoad(jvm.Vm(), options.data(), nullptr), JNI_OK);
    ASSERT_NE(agent, nullptr);
    EXPECT_FALSE(agent->IsEnabled());
    EXPECT_EQ(agent->GetPort(), 1);
    delete agent;
    EXPECT_TRUE(HasLine(Log(), "FATAL ERROR",
                        "Unable to create jvmtiEnv for version 30010100, error=JNI_ERR(-1)"));
}

TEST_F(FakeJvmTest, NothingRunsAfterVmDeath) {
    auto created = Start("DEBUG");
    JvmDeathCB(jvm.Jvmti(), jvm.Jni());
    created->RunGC(nullptr);
    created->GenerateSnapShot(nullptr);
    EXPECT_EQ(jvm.gcCalls, 0);
    EXPECT_TRUE(jvm.walks.empty());
    EXPECT_EQ(jvm.monitorEnters, jvm.monitorExits);
    EXPECT_EQ(created->GetHeapWalkStartTime(), 0);
    EXPECT_EQ(created->GetUntagEndTime(), 0);
}

TEST_F(FakeJvmTest, FailedGcAndMonitorCallsAreOnlyLogged) {
    jvm.failing = {"ForceGarbageCollection", "RawMonitorEnter"};
    auto created = Start("ERROR");
    created->RunGC(nullptr);
    EXPECT_EQ(jvm.gcCalls, 2);
    std::string log = Log();
    EXPECT_TRUE(HasLine(log, "ERROR", "RawMonitorEnter: JVMTI error=FAKE_ERROR_98(98)")) << log;
    // Only the second request is checked.
    size_t first = log.find("ForceGarbageCollection: JVMTI error=");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("ForceGarbageCollection", first + 1), std::string::npos);
}

TEST_F(FakeJvmTest, SnapshotWalksThenUntagsUnderMonitor) {
    auto created = Start("TRACE");
    EXPECT_EQ(created->GetHeapWalkStartTime(), 0);
    EXPECT_EQ(created->GetUntagDuration(), 0);
    JvmInfo info;
    created->GenerateSnapShot(&info);

    // The walk tags in the request's own environment; disposing of it is the untag step.
    ASSERT_EQ(jvm.walks.size(), 1u);
    EXPECT_EQ(jvm.walks[0].env, jvm.TagJvmti());
    EXPECT_EQ(jvm.walks[0].filter, JVMTI_HEAP_FILTER_CLASS_UNTAGGED);
    EXPECT_EQ(jvm.walks[0].userData, &info);
    EXPECT_EQ(jvm.walks[0].callback, &HeapReferenceCB);
    EXPECT_EQ(jvm.disposed, std::vector<const jvmtiEnv*>{jvm.TagJvmti()});
    EXPECT_EQ(info.GetTagEnv(), nullptr);
    EXPECT_EQ(jvm.monitorEnters, 1);
    EXPECT_EQ(jvm.monitorExits, 1);

    EXPECT_GT(created->GetHeapWalkStartTime(), 0);
    EXPECT_EQ(created->GetHeapWalkDuration(),
              created->GetHeapWalkEndTime() - created->GetHeapWalkStartTime());
    EXPECT_GE(created->GetUntagStartTime(), created->GetHeapWalkEndTime());
    EXPECT_EQ(created->GetUntagDuration(),
              created->GetUntagEndTime() - created->GetUntagStartTime());

    std::string log = Log();
    size_t at = 0;
    for (const char* line : {"[TRACE]: Waiting on monitor to start snapshot\n",
                             "[TRACE]: Received monitor\n", "[DEBUG]: Starting FollowReferences\n",
                             "[DEBUG]: Finished FollowReferences, ref.count=0, obj.count=0, elapsed.msec=",
                             "[DEBUG]: Starting Untag FollowReferences\n",
                             "[DEBUG]: Finished Untag FollowReferences, elapsed.msec=",
                             "[TRACE]: Released monitor for snapshot\n"}) {
        at = log.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\nin order in\n" << log;
    }
}

// Each mode clears the tags its way in the request's environment and then
// disposes of it; without an environment of its own the tags go into the
// agent's and the untag walk removes them.
TEST_F(FakeJvmTest, UntagModesAndFallback) {
    const struct {
        const char* option;
        bool ownEnv;
        jint filter;
        bool iteration;
    } cases[] = {{"untag=walk", true, JVMTI_HEAP_FILTER_UNTAGGED, false},
                 {"untag=iterate", true, JVMTI_HEAP_FILTER_UNTAGGED, true},
                 {"untag=iterate", false, JVMTI_HEAP_FILTER_UNTAGGED, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.option) + (c.ownEnv ? "" : ", no environment for tags"));
        FakeJvm fresh;
        Configure("ERROR");
        options += std::string(",") + c.option;
        JvmAgent created(fresh.Vm(), options.data());
        agent = &created;
        if (!c.ownEnv) fresh.jvmtiGetEnvResult = JNI_EVERSION;
        JvmInfo info;
        created.GenerateSnapShot(&info);
        jvmtiEnv* tags = c.ownEnv ? fresh.TagJvmti() : fresh.Jvmti();
        ASSERT_EQ(fresh.walks.size(), 2u);
        EXPECT_EQ(fresh.walks[0].env, tags);
        EXPECT_EQ(fresh.walks[1].env, tags);
        EXPECT_EQ(fresh.walks[1].filter, c.filter);
        EXPECT_EQ(fresh.walks[1].userData, nullptr);
        EXPECT_EQ(fresh.walks[1].iteration != nullptr, c.iteration);
        EXPECT_EQ(fresh.walks[1].callback, c.iteration ? nullptr : &HeapReferenceCB);
        EXPECT_EQ(fresh.disposed.size(), c.ownEnv ? 1u : 0u);
        EXPECT_EQ(info.GetTagEnv(), nullptr);
        if (c.iteration) {
            jlong tag = 42;
            EXPECT_EQ(fresh.walks[1].iteration(1, 16, &tag, -1, nullptr), 0);
            EXPECT_EQ(tag, 0);
        }
        agent = nullptr;
    }
}

// The busy flags refuse nested work on the snapshot's own thread (the monitor
// lets its owner in again), and neither they nor the monitor outlive an
// exception: VM death would wait for ever.
TEST_F(FakeJvmTest, SnapshotFlagAndMonitorAreReleasedWhateverHappens) {
    auto created = Start("ERROR");
    JvmInfo info;
    jvm.duringWalk = [&] {
        if (jvm.walks.size() > 1) return;
        created->RunGC(nullptr);
        created->GenerateSnapShot(&info);
    };
    created->GenerateSnapShot(&info);
    EXPECT_EQ(jvm.gcCalls, 0);
    EXPECT_EQ(jvm.walks.size(), 1u);
    EXPECT_EQ(jvm.monitorEnters, jvm.monitorExits);

    jvm.duringWalk = [] { throw std::bad_alloc(); };
    EXPECT_THROW(created->GenerateSnapShot(&info), std::bad_alloc);
    EXPECT_EQ(jvm.monitorEnters, jvm.monitorExits);
    jvm.duringWalk = nullptr;
    created->RunGC(nullptr);
    EXPECT_EQ(jvm.gcCalls, 2);
    created->GenerateSnapShot(&info);
    EXPECT_EQ(jvm.walks.size(), 3u);
    EXPECT_EQ(jvm.monitorEnters, jvm.monitorExits);
}

TEST_F(FakeJvmTest, DisabledAgentSkipsSnapshotWithoutMonitor) {
    auto created = Start("TRACE");
    created->Disable();
    created->GenerateSnapShot(nullptr);
    EXPECT_EQ(jvm.monitorEnters, 0);
    EXPECT_TRUE(jvm.walks.empty());
    EXPECT_EQ(created->GetHeapWalkDuration(), 0);
    std::string log = Log();
    EXPECT_TRUE(HasLine(log, "TRACE", "JVM Agent has been disabled, skipping snapshot")) << log;
    EXPECT_EQ(log.find("monitor"), std::string::npos);
}

TEST_F(FakeJvmTest, UntagWalkClearsTagAndContinues) {
    auto created = Start("ERROR");
    jlong tag = 42, referrer = 7;
    EXPECT_EQ(HeapReferenceCB(JVMTI_HEAP_REFERENCE_FIELD, nullptr, 1, 2, 16, &tag, &referrer, -1,
                              nullptr),
              JVMTI_VISIT_OBJECTS);
    EXPECT_EQ(tag, 0);
    EXPECT_EQ(referrer, 7);
}

TEST_F(FakeJvmTest, PhaseComesFromJvmtiAndFailureMeansDead) {
    auto created = Start("ERROR");
    EXPECT_EQ(created->GetJvmPhase(), JVMTI_PHASE_LIVE);
    jvm.failing = {"GetPhase"};
    EXPECT_EQ(created->GetJvmPhase(), JVMTI_PHASE_DEAD);
    EXPECT_TRUE(HasLine(Log(), "ERROR", "GetPhase: JVMTI error=FAKE_ERROR_98(98)"));
}

TEST_F(FakeJvmTest, JniErrorNamesPendingExceptionAndClearsIt) {
    auto created = Start("ERROR");
    jvm.exceptionPending = true;
    EXPECT_FALSE(CheckJniError(JNI_ERR, "PushLocalFrame"));
    EXPECT_FALSE(jvm.exceptionPending);
    EXPECT_EQ(jvm.allocations, jvm.deallocations);

    jvm.exceptionPending = true;
    jvm.exceptionSignature.clear();  // class signature unavailable
    EXPECT_FALSE(CheckJniError(JNI_ERR, "NewObject"));
    EXPECT_FALSE(jvm.exceptionPending);

    EXPECT_FALSE(CheckJniError(JNI_ENOMEM, "PopLocalFrame"));
    EXPECT_TRUE(CheckJniError(JNI_OK, "Nothing"));

    std::string log = Log();
    EXPECT_TRUE(HasLine(log, "ERROR", "PushLocalFrame: JNI error=Ljava/lang/OutOfMemoryError;"))
        << log;
    EXPECT_TRUE(HasLine(log, "ERROR", "NewObject: JNI error=<UNDETERMINED>")) << log;
    EXPECT_TRUE(HasLine(log, "ERROR", "PopLocalFrame: JNI error=JNI_ENOMEM(-4)")) << log;
    EXPECT_EQ(log.find("Nothing"), std::string::npos);
}

TEST_F(FakeJvmTest, FreeJvmtiMemoryReturnsBlockAndNullsPointer) {
    auto created = Start("ERROR");
    char* name = nullptr;
    ASSERT_EQ(jvm.Jvmti()->GetErrorName(JVMTI_ERROR_NONE, &name), JVMTI_ERROR_NONE);
    FreeJvmtiMemory(&name);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(jvm.deallocations, 1);
    FreeJvmtiMemory(&name);  // a null block is fine
    EXPECT_EQ(jvm.deallocations, 1);

    // A failing Deallocate is reported, and reporting it (which frees the
    // error name again) must not go round for ever.
    jvm.failing = {"Deallocate"};
    ASSERT_EQ(jvm.Jvmti()->GetErrorName(JVMTI_ERROR_NONE, &name), JVMTI_ERROR_NONE);
    FreeJvmtiMemory(&name);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(jvm.deallocations, 3);  // the block, then the name of its error
    std::string log = Log();
    EXPECT_TRUE(HasLine(log, "ERROR", "Deallocate: JVMTI error=FAKE_ERROR_98(98)")) << log;
    EXPECT_TRUE(HasLine(log, "ERROR", "Deallocate: JVMTI error=JVMTI_ERROR_NOT_AVAILABLE(98)"))
        << log;
}

}  // namespace
