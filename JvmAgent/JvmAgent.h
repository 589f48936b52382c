// The one agent object: JVMTI environment, agent monitor, settings, and the
// snapshot and garbage-collection drivers.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AgentOptions.h"
#include "AuthKey.h"
#include "Error.h"
#include "TimeStamp.h"

namespace Orlo {

class CancelCheck;
class HeapDumper;
class JvmInfo;
class OomCapture;
class TlsContext;
class VeskServerThread;

class JvmAgent {
public:
    static constexpr int DEFAULT_PORT = AgentOptions::DEFAULT_PORT;
    // Size of the callback record of JVMTI 1.1; later JVMs accept it as is.
    static constexpr jint EVENT_CALLBACKS_SIZE = 280;
    // Agent_OnAttach's answer when this library already serves the JVM: the
    // marker in the high half, the serving port in the low half, so the
    // attaching tool can say where without asking again.
    static constexpr jint ATTACH_ALREADY_LOADED = 0x56450000;

    // Reads the options and the configuration file, sets up the log, then
    // JVMTI. A bad option is logged and written to standard error, one line
    // each, and leaves the agent disabled without JVMTI: the JVM runs on,
    // with no command server.
    JvmAgent(JavaVM* vm, char* options);
    ~JvmAgent();
    JvmAgent(const JvmAgent&) = delete;
    JvmAgent& operator=(const JvmAgent&) = delete;

    // VM init, on the JVM's VM-init thread: starts the command server thread.
    void JvmInit();
    // Starts the command server in a JVM that is already live (no VM-init
    // event will come). JNI_OK once it runs; JNI_ERR, with a log line saying
    // why and no thread started, when the capabilities or the port are not
    // to be had.
    jint JvmAttach();
    // Agent_OnAttach's answer to a second load: ATTACH_ALREADY_LOADED | port.
    jint AlreadyLoaded() const;
    // VM death: no snapshot, dump or collection starts any more, and every
    // temporary file and dump directory is deleted.
    void JvmDeath();
    // Agent unload: deletes what temporary files are left, as JvmDeath does.
    void Unload();
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
    // JVMTI_PHASE_DEAD without an environment or when GetPhase fails. Kept
    // with the agent's accessors; nothing in the agent consults it.
    jvmtiPhase GetJvmPhase() const;

    int GetPort() const { return options.port; }
    // IPv4 address the server binds to; empty means every interface.
    const std::string& GetAddress() const { return options.address; }
    const std::string& GetConfigFile() const { return options.configFile; }
    const std::string& GetLogFile() const { return options.logFile; }
    // Seconds a client may stay without sending a request; 0 means no limit.
    int GetIdleSeconds() const { return options.idleSeconds; }
    UntagMode GetUntagMode() const { return options.untagMode; }
    // False when the option heapdump=off disabled the HEAPDUMP command.
    bool IsHeapDumpEnabled() const { return options.heapDumpEnabled; }
    // The key of auth=FILE, loaded at construction; empty without the option.
    const AuthKey& GetAuthKey() const { return authKey; }
    // The server's TLS context, null without tls=on.
    const TlsContext* ServerTls() const;
    // Seconds a SNAPSHOT, HEAPDUMP or PERFORM_GC must wait after the last one
    // ended (min-interval); 0: none.
    int GetMinIntervalSeconds() const { return options.minIntervalSeconds; }
    // zstd level of SNAPSHOT and HEAPDUMP answers for clients that ask
    // (compress-level); 0: they go plain.
    int GetCompressLevel() const { return options.compressLevel; }
    // What a SNAPSHOT without a source attribute takes (snapshot-source).
    bool SnapshotFromDump() const { return options.snapshotFromDump; }
    // Empty when a pause may start now; else why not, saying in how many
    // seconds the next is allowed.
    Error CheckPauseInterval() const;
    // Problems of the options string and of the key file; any means no
    // command server.
    const std::vector<Error>& GetOptionErrors() const { return options.errors; }


    // The options string and the configuration file (AgentOptions), kept by
    // these names for the constructor; called in this order.
    void ParseOptions(const char* options);
    void LoadConfig();

    // Both run under the agent monitor and do nothing after VM death or while
    // a snapshot, dump or collection is running. An exception (allocation
    // failure) passes through with the monitor released. GenerateSnapShot is
    // TakeSnapShot followed by UnTagObjects.
    void GenerateSnapShot(JvmInfo* info);
    // Tags, walks and writes the files, leaving the tags in place for
    // UnTagObjects; true when it did so. A snapshot that finds the VM dying
    // after its walk deletes its files. Hands the walk's times to info.
    bool TakeSnapShot(JvmInfo* info);
    // The untag step, under the agent monitor: removes every tag of the
    // request's pass, timed, then stamps the snapshot's end and hands the
    // times to info. When the VM is dying the tags are left to it, untimed:
    // its exit would wait for a dispose under way.
    void UnTagObjects(JvmInfo* info);
    // The snapshot made from the JVM's own live heap dump (DumpSource): the
    // tagging pass, the roots and the dump under the monitor as a snapshot's
    // walk is, then, with no safepoint, the conversion into the snapshot
    // files, polling cancel, and the untag step; the dump file is gone when
    // it returns. Its metrics: the heap-walk times are the dump's (roots
    // included), the untag times the conversion's and the untag step's. An
    // error when the dump cannot be taken or read (no walk instead); a
    // cancelled conversion returns none and leaves cancel set.
    Error TakeDumpSnapShot(JvmInfo* info, CancelCheck* cancel);
    // Gives the memory freed by the untag step back to the system; slow, so
    // outside the monitor and after the client has its answer.
    void ReturnFreedMemory();
    void RunGC(JvmInfo* info);
    // The JVM's live heap dump into the dumper's private directory, under the
    // agent monitor. Refused (the error says why) when the command is
    // disabled, after VM death, or while a snapshot, dump or collection runs.
    Error DumpHeap(HeapDumper& dumper);
    // Runs dump under the agent monitor as a heap dump is run, with the
    // calling thread's JNI environment; refused (the error says why) after
    // VM death or while a snapshot, dump or collection runs (also one of this
    // thread's: the monitor is re-entrant).
    Error ExclusivePause(const std::function<Error(JNIEnv*)>& dump);
    // The ResourceExhausted event, on the thread whose allocation failed.
    void OnResourceExhausted(JNIEnv* jni, jint flags, const char* description);
    // The heap capture at OutOfMemoryError; null without oom-dump.
    const OomCapture* GetOomCapture() const { return oomCapture.get(); }
    // A class histogram under the agent monitor, made by count; live: a full
    // collection first, its time into gcMillis. Refused (the error says why)
    // after VM death or while another pause runs; else count's own error.
    Error CountHeap(bool live, int64_t& gcMillis, const std::function<Error(jvmtiEnv*, JNIEnv*)>& count);
    void GatherRuntimeInfo(JvmInfo* info);
    // From HeapReferenceCB, on the VM thread at a safepoint while the client
    // thread waits in the walk: clears the tag (the untag walk, user_data
    // null) or forwards to the JvmInfo in user_data; false aborts the walk.
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
    // The snapshot under the monitor; untag: the untag step too, before the
    // monitor is let go.
    bool Snap(JvmInfo* info, bool untag);
    // After the heap walk, under the monitor: one further walk from the
    // values of java.lang.Class's own reference fields on the class objects,
    // which the JVM's walk does not report; its time is part of the heap walk's.
    void WalkClassFields(JvmInfo* info, JNIEnv* jni);
    // UnTagObjects with the monitor held.
    void UnTagLocked(JvmInfo* info);
    // Starts the clock of min-interval: a pause has just ended.
    void NotePauseEnd();
    // Under the monitor: why a dump cannot start now (VM death, another
    // pause, no JNI environment); none when it can.
    Error PauseRefusal(JNIEnv* jni) const;
    // Prepares the oom-dump capture once the JVM runs; logs the outcome.
    void ArmOomCapture(JNIEnv* jni);

    JavaVM* vm;
    jvmtiEnv* jvmti = nullptr;
    jint jvmtiVersion = 0;
    std::atomic<jint> jniVersion{0};  // read by other threads while one asks again
    jrawMonitorID agentMonitor = nullptr;
    bool vmDead = false;
    bool snapshotActive = false;
    bool gcActive = false;
    bool dumpActive = false;
    bool histogramActive = false;
    std::unique_ptr<VeskServerThread> serverThread;
    std::unique_ptr<OomCapture> oomCapture;
    std::atomic<bool> agentEnabled{true};  // cleared by any thread's fatal error
    std::atomic<bool> dying{false};
    AgentOptions options;
    AuthKey authKey;
#ifndef _WIN32
    std::unique_ptr<TlsContext> tlsContext;  // tls=on: what every client must speak
#endif
    // Steady-clock milliseconds when the last pause ended; negative: none yet.
    std::atomic<int64_t> lastPauseEndMs{-1};
    TimeStamp heapWalkStart, heapWalkEnd, untagStart, untagEnd;
};

}  // namespace Orlo
