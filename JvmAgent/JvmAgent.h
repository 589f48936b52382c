// The one agent object: JVMTI environment, agent monitor, settings, and the
// snapshot and garbage-collection drivers.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "Orlo.h"

namespace Orlo {

class HeapDumper;
class JvmInfo;
class VeskServerThread;

// How a snapshot's untag step takes the tags off the request's own JVMTI
// environment: dispose of it with all its tags at once; clear them in one
// pass over the heap, then dispose of it; or clear them with a second
// reference walk (the untag walk), then dispose of it.
enum class UntagMode { Dispose, Iterate, Walk };

class JvmAgent {
public:
    static constexpr int DEFAULT_PORT = 16400;
    // Size of the callback record of JVMTI 1.1; later JVMs accept it as is.
    static constexpr jint EVENT_CALLBACKS_SIZE = 280;

    JvmAgent(JavaVM* vm, char* options);
    ~JvmAgent();
    JvmAgent(const JvmAgent&) = delete;
    JvmAgent& operator=(const JvmAgent&) = delete;

    void JvmInit();
    void JvmDeath();
    void EnterAgentMonitor();
    void ExitAgentMonitor();

    bool IsEnabled() const { return agentEnabled; }
    // Raised first thing at VM death, before the agent monitor is asked for:
    // work that sees it writes no more files and sends nothing more.
    bool IsDying() const { return dying; }
    void Disable() { agentEnabled = false; }
    jvmtiEnv* GetJvmtiEnv() const { return jvmti; }
    JNIEnv* GetJniEnv();
    jint GetJniVersion();
    jvmtiPhase GetJvmPhase() const;

    int GetPort() const { return port; }
    // IPv4 address the server binds to; empty means every interface.
    const std::string& GetAddress() const { return address; }
    const std::string& GetConfigFile() const { return configFile; }
    const std::string& GetLogFile() const { return logFile; }
    // Seconds a client may stay without sending a request; 0 means no limit.
    int GetIdleSeconds() const { return idleSeconds; }

    UntagMode GetUntagMode() const { return untagMode; }

    // False when the option heapdump=off disabled the HEAPDUMP command.
    bool IsHeapDumpEnabled() const { return heapDumpEnabled; }

    // Options: comma-separated key=value items "port", "cfgfile", "address",
    // "idle", "untag" (dispose, iterate or walk), "heapdump" (on or off).
    // Other keys and unknown untag values are kept for LogIgnoredOptions.
    void ParseOptions(const char* options);
    // Logs each ignored option key once, at INFO level.
    void LogIgnoredOptions();
    // Reads the properties file: log level and log file name.
    void LoadConfig();

    // Both run under the agent monitor and do nothing after VM death or while
    // a snapshot, dump or collection is running. An exception (allocation
    // failure) passes through with the monitor released. A snapshot that finds
    // the VM dying after its walk leaves the tags (they die with it) and
    // deletes its files. The snapshot hands its walk and untag times to info.
    void GenerateSnapShot(JvmInfo* info);
    void RunGC(JvmInfo* info);
    // The JVM's live heap dump into the dumper's private directory, under the
    // agent monitor. Refused (false, error says why) when the command is
    // disabled, after VM death, or while a snapshot, dump or collection runs.
    bool DumpHeap(HeapDumper& dumper, std::string& error);
    void GatherRuntimeInfo(JvmInfo* info);
    bool RecordHeapReference(jvmtiHeapReferenceKind reference_kind,
                             const jvmtiHeapReferenceInfo* reference_info, jlong class_tag,
                             jlong referrer_class_tag, jlong size, jlong* tag_ptr,
                             jlong* referrer_tag_ptr, jint length, void* user_data);

    // The last snapshot's walk and untag times, also handed to its record
    // (the start and end getters are part of the agent's surface).
    int64_t GetHeapWalkStartTime() const { return heapWalkStart.Millis(); }
    int64_t GetHeapWalkEndTime() const { return heapWalkEnd.Millis(); }
    int64_t GetUntagStartTime() const { return untagStart.Millis(); }
    int64_t GetUntagEndTime() const { return untagEnd.Millis(); }
    int64_t GetHeapWalkDuration() const { return GetHeapWalkEndTime() - GetHeapWalkStartTime(); }
    int64_t GetUntagDuration() const { return GetUntagEndTime() - GetUntagStartTime(); }

private:
    // Removes every tag of the request's pass and gives freed memory back to
    // the system; timed as the untag step.
    void UnTagObjects(JvmInfo* info);

    JavaVM* vm;
    jvmtiEnv* jvmti = nullptr;
    jint jvmtiVersion = 0;
    std::atomic<jint> jniVersion{0};  // read by other threads while one asks again
    jrawMonitorID agentMonitor = nullptr;
    bool vmDead = false;
    bool snapshotActive = false;
    bool gcActive = false;
    bool dumpActive = false;
    bool heapDumpEnabled = true;
    VeskServerThread* serverThread = nullptr;
    std::atomic<bool> agentEnabled{true};  // cleared by any thread's fatal error
    std::atomic<bool> dying{false};
    int port = -1;
    std::string address;
    std::string configFile;
    std::string logFile;
    int idleSeconds = 0;
    std::vector<std::string> ignoredOptions;
    UntagMode untagMode = UntagMode::Dispose;
    TimeStamp heapWalkStart, heapWalkEnd, untagStart, untagEnd;
};

}  // namespace Orlo
