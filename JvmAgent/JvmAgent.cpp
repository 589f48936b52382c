#include "JvmAgent.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#ifdef __linux__
#include <malloc.h>
#endif

#include "ClassFieldValues.h"
#include "DumpSource.h"
#include "ExceptionBoundary.h"
#include "HeapDumper.h"
#include "JniScope.h"
#include "JvmInfo.h"
#include "OomCapture.h"
#include "OrloUtils.h"
#include "PortFile.h"
#include "TempFiles.h"
#ifndef _WIN32
#include "TlsContext.h"
#endif
#include "VeskProtocol.h"
#include "VeskLogger.h"
#include "VeskClientThread.h"
#include "VeskServerThread.h"
#include "VeskVersion.h"

namespace Orlo {

namespace {

int64_t SteadyMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Also where the JVM's user looks first: the log may be off or elsewhere.
void ReportToLogAndStderr(const std::string& line) {
    VeskLogger::LogError(false, "%s", line.c_str());
    fprintf(stderr, "%s\n", line.c_str());
}

// The untag pass over the heap reports tagged objects only.
jint JNICALL ClearTagCB(jlong, jlong, jlong* tag_ptr, jint, void*) {
    *tag_ptr = 0;
    return 0;
}

// The walk from the class objects' own fields.
jint JNICALL ClassFieldReferenceCB(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info, jlong class_tag,
                                   jlong referrer_class_tag, jlong size, jlong* tag_ptr, jlong* referrer_tag_ptr,
                                   jint length, void* user_data) {
    jint visit = JVMTI_VISIT_ABORT;
    ExceptionBoundary::Run("ClassFieldReferenceCB", [&] {
        visit = static_cast<ClassFieldValues*>(user_data)->Record(kind, info, class_tag, referrer_class_tag, size,
                                                                 tag_ptr, referrer_tag_ptr, length);
    });
    return visit;
}

// Holds the agent monitor for a scope, also when an exception leaves it:
// VM death and every later snapshot or collection wait on this monitor.
class MonitorLock {
public:
    explicit MonitorLock(JvmAgent& owner) : owner(owner) { owner.EnterAgentMonitor(); }
    ~MonitorLock() { owner.ExitAgentMonitor(); }
    MonitorLock(const MonitorLock&) = delete;
    MonitorLock& operator=(const MonitorLock&) = delete;

private:
    JvmAgent& owner;
};

// Marks an operation as running for a scope. Only the scope that set the flag
// clears it, so a nested call on the same thread cannot end the outer one.
class BusyFlag {
public:
    explicit BusyFlag(bool& flag) : flag(flag) { flag = true; }
    ~BusyFlag() { flag = false; }
    BusyFlag(const BusyFlag&) = delete;
    BusyFlag& operator=(const BusyFlag&) = delete;

private:
    bool& flag;
};

}  // namespace

JvmAgent::JvmAgent(JavaVM* vm, char* optionText) : vm(vm) {
    ParseOptions(optionText);
    LoadConfig();
    VeskLogger::SetLogFile(options.logFile.c_str());
    // The release first, on a line of its own: the load's line keeps its text.
    VeskLogger::LogDebug("veskjagent %s", VESK_VERSION);
    VeskLogger::LogDebug("Enter Agent_OnLoad, lib=%s, vm=%p, options=%s", libraryPath, static_cast<void*>(vm),
                         optionText ? optionText : "");
    // Launch scripts pass items meant for other tools or versions: they cost
    // no server, but whoever wrote them may have meant something.
    for (const std::string& note : options.ignored) ReportToLogAndStderr(note);
    // A key that is not private is no secret: the server had better not start.
    if (options.errors.empty() && !options.authFile.empty()) {
        if (Error error = AuthKey::Load(options.authFile, authKey)) options.errors.push_back(error);
    }
#ifndef _WIN32
    if (options.errors.empty() && options.tls) {
        Error error;
        tlsContext = TlsContext::Create(TlsContext::Side::Server, authKey, error);
        if (error) options.errors.push_back(error);
    }
#endif
    if (!options.errors.empty()) {
        // A server on another port or interface than asked for would be
        // found by nobody, or by the wrong people.
        for (const Error& error : options.errors)
            ReportToLogAndStderr(std::string(error.What()) + "; the command server does not start");
        agentEnabled = false;
        return;
    }

    jvmtiVersion = JVMTI_VERSION_1_1;
    jint result = vm->GetEnv(reinterpret_cast<void**>(&jvmti), jvmtiVersion);
    VeskLogger::LogDebug("Constructing JvmAgent:, jvmti=%p", static_cast<void*>(jvmti));
    if (result != JNI_OK) {
        std::string error;
        VeskLogger::LogError(true, "Unable to create jvmtiEnv for version %x, error=%s",
                             jvmtiVersion, OrloUtils::FormatJniError(result, error).c_str());
        jvmti = nullptr;
        agentEnabled = false;
    }
    if (!jvmti) {
        VeskLogger::LogError(true, "No jvmtiEnv* returned from GetEnv for version %x",
                             jvmtiVersion);
        agentEnabled = false;
        return;  // everything below needs JVMTI
    }

    CheckJvmtiError(jvmti->GetVersionNumber(&jvmtiVersion), "GetVersionNumber");
    VeskLogger::LogDebug("Loaded JVMTI Version %x", jvmtiVersion);

    jvmtiCapabilities capabilities;
    memset(&capabilities, 0, sizeof capabilities);
    capabilities.can_tag_objects = 1;
    capabilities.can_signal_thread = 1;
    CheckJvmtiError(jvmti->AddCapabilities(&capabilities), "AddCapabilities");
    if (!options.oomDumpDir.empty()) {
        // Apart, so that a JVM without it still gives the others.
        memset(&capabilities, 0, sizeof capabilities);
        capabilities.can_generate_resource_exhaustion_heap_events = 1;
        if (CheckJvmtiError(jvmti->AddCapabilities(&capabilities), "AddCapabilities(resource exhaustion)"))
            oomCapture = std::make_unique<OomCapture>(options.oomDumpDir, options.oomDumpCount, options.oomDumpMinFree);
    }

    CheckJvmtiError(jvmti->CreateRawMonitor("JvmAgent", &agentMonitor), "CreateRawMonitor");

    static_assert(sizeof(jvmtiEventCallbacks) >= EVENT_CALLBACKS_SIZE, "JVMTI headers too old");
    jvmtiEventCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.VMInit = &JvmInitCB;
    callbacks.VMDeath = &JvmDeathCB;
    if (oomCapture) callbacks.ResourceExhausted = &ResourceExhaustedCB;
    CheckJvmtiError(jvmti->SetEventCallbacks(&callbacks, EVENT_CALLBACKS_SIZE),
                    "SetEventCallbacks");
    CheckJvmtiError(jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_VM_INIT, nullptr),
                    "SetEventNotificationMode(JVMTI_EVENT_VM_INIT)");
    CheckJvmtiError(jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_VM_DEATH, nullptr),
                    "SetEventNotificationMode(JVMTI_EVENT_VM_DEATH)");
}

JvmAgent::~JvmAgent() {
    agentEnabled = false;
    serverThread.reset();
    if (jvmti && agentMonitor)
        CheckJvmtiError(jvmti->DestroyRawMonitor(agentMonitor), "DestroyRawMonitor");
}

const TlsContext* JvmAgent::ServerTls() const {
#ifdef _WIN32
    return nullptr;
#else
    return tlsContext.get();
#endif
}

void JvmAgent::JvmInit() {
    MonitorLock lock(*this);
    VeskLogger::LogDebug("Starting agent thread");
    serverThread = std::make_unique<VeskServerThread>(options.port, options.address.c_str(), options.idleSeconds,
                                                      authKey.Empty() ? nullptr : &authKey, ServerTls());
    serverThread->Start();
    ArmOomCapture(GetJniEnv());
}

void JvmAgent::ArmOomCapture(JNIEnv* jni) {
    if (!oomCapture) {
        if (!options.oomDumpDir.empty())
            VeskLogger::LogError(false, "oom-dump=%s not armed: the JVM gives no resource exhaustion events",
                                 options.oomDumpDir.c_str());
        return;
    }
    if (Error error = oomCapture->Arm(jvmti, jni)) {
        VeskLogger::LogError(false, "oom-dump=%s not armed: %s", options.oomDumpDir.c_str(), error.What());
        return;
    }
    if (!CheckJvmtiError(jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_RESOURCE_EXHAUSTED, nullptr),
                         "SetEventNotificationMode(JVMTI_EVENT_RESOURCE_EXHAUSTED)"))
        return;
    // The heap may have no room for a client's thread object after the error.
    VeskThread::KeepSpare(jni, VeskClientThread::NAME);
    VeskLogger::LogInfo("oom-dump armed: the heap at an OutOfMemoryError goes to %s (at most %d, keeping %" PRIu64
                        " bytes free)",
                        options.oomDumpDir.c_str(), options.oomDumpCount, options.oomDumpMinFree);
}

void JvmAgent::OnResourceExhausted(JNIEnv* jni, jint flags, const char* description) {
    if (oomCapture && !IsDying()) oomCapture->OnResourceExhausted(jni, flags, description);
}

Error JvmAgent::CheckPauseInterval() const {
    int64_t last = lastPauseEndMs;
    if (options.minIntervalSeconds <= 0 || last < 0) return Error();
    int64_t wait = last + options.minIntervalSeconds * int64_t(1000) - SteadyMillis();
    if (wait <= 0) return Error();
    return Error::Format("Refused: the next SNAPSHOT, HEAPDUMP, HISTOGRAM or PERFORM_GC is allowed in %" PRId64
                         " s (min-interval=%d)",
                         (wait + 999) / 1000, options.minIntervalSeconds);
}

void JvmAgent::NotePauseEnd() { lastPauseEndMs = SteadyMillis(); }

jint JvmAgent::JvmAttach() {
    if (!options.errors.empty()) return JNI_ERR;  // each one logged already
    if (!jvmti || !IsEnabled()) {
        VeskLogger::LogError(false, "Agent not started: no usable JVMTI environment");
        return JNI_ERR;
    }
    jvmtiCapabilities held;
    memset(&held, 0, sizeof held);
    if (!CheckJvmtiError(jvmti->GetCapabilities(&held), "GetCapabilities") || !held.can_tag_objects) {
        VeskLogger::LogError(false,
                             "Agent not started: this JVM does not give the capability to tag objects "
                             "to an agent loaded while it runs; start it with -agentpath instead");
        return JNI_ERR;
    }
    const char* where = options.address.empty() ? "*" : options.address.c_str();
    MonitorLock lock(*this);
    serverThread = std::make_unique<VeskServerThread>(options.port, options.address.c_str(), options.idleSeconds,
                                                      authKey.Empty() ? nullptr : &authKey, ServerTls());
    if (Error refused = serverThread->Listen()) {
        serverThread.reset();
        VeskLogger::LogError(false, "Agent not started: %s", refused.What());
        return JNI_ERR;
    }
    if (!serverThread->Start()) {
        serverThread.reset();
        VeskLogger::LogError(false, "Agent not started: its server thread could not be started");
        return JNI_ERR;
    }
    VeskLogger::LogInfo("Agent attached, serving %s:%d", where, options.port);
    ArmOomCapture(GetJniEnv());
    // Written before the load returns, so that vesk --pid finds it as soon as vesk attach is done.
    PortFile::Write(options.address, options.port);
    return JNI_OK;
}

jint JvmAgent::AlreadyLoaded() const {
    VeskLogger::LogInfo("Agent already loaded, serving %s:%d; the new load starts nothing",
                        options.address.empty() ? "*" : options.address.c_str(), options.port);
    return ATTACH_ALREADY_LOADED | (options.port & 0xFFFF);
}

void JvmAgent::JvmDeath() {
    // Raised before the wait: a snapshot holding the monitor then stops
    // after its walk instead of untagging and writing for nobody.
    dying = true;
    MonitorLock lock(*this);
    vmDead = true;
    TempFiles::RemoveAll();
}

void JvmAgent::Unload() { TempFiles::RemoveAll(); }

void JvmAgent::EnterAgentMonitor() {
    if (jvmti) CheckJvmtiError(jvmti->RawMonitorEnter(agentMonitor), "RawMonitorEnter");
}

void JvmAgent::ExitAgentMonitor() {
    if (jvmti) CheckJvmtiError(jvmti->RawMonitorExit(agentMonitor), "RawMonitorExit");
}

JNIEnv* JvmAgent::GetJniEnv() {
    // Asked with a local version so other threads never see the transient one.
    jint version = JNI_VERSION_1_4;
    JNIEnv* jni = nullptr;
    jint result = vm->GetEnv(reinterpret_cast<void**>(&jni), version);
    if (result != JNI_OK) {
        std::string error;
        VeskLogger::LogError(true, "Unable to get jniEnv version %x, error=%s", version,
                             OrloUtils::FormatJniError(result, error).c_str());
        version = 0;
        jni = nullptr;
    }
    if (!jni) {
        VeskLogger::LogError(true, "No jniEnv* returned from GetEnv for version %x", version);
        jniVersion = 0;
        return nullptr;
    }
    version = jni->GetVersion();
    jniVersion = version;
    if (version <= 0x10005)
        VeskLogger::LogError(true, "Java 1.6 or later required, found version %x", version);
    return jni;
}

jint JvmAgent::GetJniVersion() {
    if (jniVersion == 0) GetJniEnv();
    return jniVersion;
}

jvmtiPhase JvmAgent::GetJvmPhase() const {
    jvmtiPhase phase = JVMTI_PHASE_DEAD;
    if (jvmti && !CheckJvmtiError(jvmti->GetPhase(&phase), "GetPhase")) phase = JVMTI_PHASE_DEAD;
    return phase;
}

void JvmAgent::ParseOptions(const char* optionText) { options.Parse(optionText); }

void JvmAgent::LoadConfig() { options.LoadConfig(); }

void JvmAgent::GenerateSnapShot(JvmInfo* info) {
    Snap(info, true);
    ReturnFreedMemory();
}

bool JvmAgent::TakeSnapShot(JvmInfo* info) { return Snap(info, false); }

bool JvmAgent::Snap(JvmInfo* info, bool untag) {
    if (!IsEnabled()) {
        VeskLogger::LogTrace("JVM Agent has been disabled, skipping snapshot");
        return false;
    }
    bool taken = false;
    VeskLogger::LogTrace("Waiting on monitor to start snapshot");
    {
        MonitorLock lock(*this);
        VeskLogger::LogTrace("Received monitor");
        JNIEnv* jni = GetJniEnv();
        if (!vmDead && !IsDying() && !snapshotActive && !gcActive && !dumpActive && !histogramActive && jni) {
            BusyFlag busy(snapshotActive);
            info->PrepareSnapShot(jvmti, jni);

            heapWalkStart.Now();
            untagStart = untagEnd = TimeStamp();
            VeskLogger::LogDebug("Starting FollowReferences");
            jvmtiHeapCallbacks callbacks;
            memset(&callbacks, 0, sizeof callbacks);
            callbacks.heap_reference_callback = &HeapReferenceCB;
            // The walk reads and sets tags where the tagging pass set them.
            if (jvmtiEnv* tags = info->GetTagEnv())
                CheckJvmtiError(tags->FollowReferences(JVMTI_HEAP_FILTER_CLASS_UNTAGGED, nullptr,
                                                       nullptr, &callbacks, info),
                                "FollowReferences");
            TimeStamp followEnd;
            followEnd.Now();
            VeskLogger::LogDebug(
                "Finished FollowReferences, ref.count=%" PRId64 ", obj.count=%" PRId64
                ", elapsed.msec=%" PRId64,
                info->GetHeapRefCount(), info->GetHeapObjCount(), followEnd.Millis() - heapWalkStart.Millis());
            if (!info->WalkStopped() && !IsDying()) WalkClassFields(info, jni);
            // The class-field walk is part of the heap walk: the metrics keep their 18.
            heapWalkEnd.Now();

            info->FinishSnapShotFiles(IsDying());
            info->SetWalkTimes({heapWalkStart, heapWalkEnd, untagStart, untagEnd});
            taken = true;
            if (untag) UnTagLocked(info);
        }
    }
    VeskLogger::LogTrace("Released monitor for snapshot");
    return taken;
}

void JvmAgent::WalkClassFields(JvmInfo* info, JNIEnv* jni) {
    jvmtiEnv* tags = info->GetTagEnv();
    if (!tags) return;
    TimeStamp start;
    start.Now();
    ClassFieldValues& fields = info->GetClassFields();
    {
        LocalFrame frame(jni, 64);
        jobjectArray holder = frame.Pushed() ? fields.Gather(jni) : nullptr;
        if (holder) {
            jvmtiHeapCallbacks callbacks;
            memset(&callbacks, 0, sizeof callbacks);
            callbacks.heap_reference_callback = &ClassFieldReferenceCB;
            CheckJvmtiError(
                tags->FollowReferences(JVMTI_HEAP_FILTER_CLASS_UNTAGGED, nullptr, holder, &callbacks, &fields),
                "FollowReferences(class fields)");
            fields.End(holder);
        }
    }
    TimeStamp end;
    end.Now();
    VeskLogger::LogDebug("Finished class field walk, values=%zu, ref.count=%" PRId64 ", obj.count=%" PRId64
                         ", elapsed.msec=%" PRId64,
                         fields.Count(), info->GetHeapRefCount(), info->GetHeapObjCount(),
                         end.Millis() - start.Millis());
}

void JvmAgent::UnTagObjects(JvmInfo* info) {
    MonitorLock lock(*this);
    UnTagLocked(info);
}

void JvmAgent::UnTagLocked(JvmInfo* info) {
    // An exit under way takes the tags with the VM, and a dispose begun now
    // would hold up its end: the VM's exit waits for it.
    if (IsDying() || vmDead) {
        info->ReleaseTags(true);
    } else {
        untagStart.Now();
        VeskLogger::LogDebug("Starting Untag FollowReferences");
        jvmtiHeapCallbacks callbacks;
        memset(&callbacks, 0, sizeof callbacks);
        jvmtiEnv* tags = info->GetTagEnv();
        if (tags && (options.untagMode == UntagMode::Walk || !info->OwnsTagEnv())) {
            callbacks.heap_reference_callback = &HeapReferenceCB;
            CheckJvmtiError(
                tags->FollowReferences(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, nullptr, &callbacks, nullptr),
                "FollowReferences");
        } else if (tags && options.untagMode == UntagMode::Iterate) {
            callbacks.heap_iteration_callback = &ClearTagCB;
            CheckJvmtiError(tags->IterateThroughHeap(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, &callbacks, nullptr),
                            "IterateThroughHeap");
        }
        // Whatever a walk missed (objects that died since the snapshot walk) goes with the environment.
        info->ReleaseTags(false);
        untagEnd.Now();
        VeskLogger::LogDebug("Tags removed, elapsed.msec=%" PRId64, GetUntagDuration());
        VeskLogger::LogDebug("Finished Untag FollowReferences, elapsed.msec=%" PRId64, GetUntagDuration());
    }
    info->SetWalkTimes({heapWalkStart, heapWalkEnd, untagStart, untagEnd});
    info->TerminateSnapShot();
    // The untag step holds safepoints back too: the pause ends with it.
    NotePauseEnd();
    if (VeskLogger::IsTraceLevel()) info->PrintJvmInfo();
}

void JvmAgent::ReturnFreedMemory() {
#ifdef __linux__
    // The JVM's tag map went back to the C library, which keeps freed memory
    // (not worth the time when the process is ending); the JVM's threads free
    // more of it a little later.
    if (IsDying()) return;
    malloc_trim(0);
    if (serverThread) serverThread->TrimMemoryLater();
#endif
}

void JvmAgent::RunGC(JvmInfo* info) {
    (void)info;
    if (!jvmti) return;
    MonitorLock lock(*this);
    if (vmDead || snapshotActive || gcActive || dumpActive || histogramActive) return;
    BusyFlag busy(gcActive);
    TimeStamp start, end;
    start.Now();
    VeskLogger::LogDebug("Starting GC");
    jvmti->ForceGarbageCollection();
    CheckJvmtiError(jvmti->ForceGarbageCollection(), "ForceGarbageCollection");
    NotePauseEnd();
    end.Now();
    VeskLogger::LogDebug("Finished GC, elapsed.msec=%" PRId64, end.Millis() - start.Millis());
}

Error JvmAgent::DumpHeap(HeapDumper& dumper) {
    if (!options.heapDumpEnabled) return Error(Protocol::HEAPDUMP_DISABLED_MESSAGE);
    VeskLogger::LogDebug("Starting heap dump");
    Error error = ExclusivePause([&](JNIEnv* jni) {
        if (Error made = dumper.MakeDirectory(HeapDumper::UsedHeap(jni))) return made;
        // The values of class objects' own fields, held through the dump so
        // that its reader can name them as roots; the JVM's dump does not.
        LocalFrame frame(jni, 64);
        jint holderLength = 0;
        jobjectArray holder = frame.Pushed() ? ClassFieldValues::DumpHolder(jvmti, jni, holderLength) : nullptr;
        dumper.SetHolderLength(holder ? static_cast<uint32_t>(holderLength) : 0);
        return dumper.Dump(jni);
    });
    VeskLogger::LogDebug("Finished heap dump, elapsed.msec=%" PRId64, dumper.DumpMillis());
    return error;
}

Error JvmAgent::ExclusivePause(const std::function<Error(JNIEnv*)>& dump) {
    MonitorLock lock(*this);
    JNIEnv* jni = GetJniEnv();
    if (Error refused = PauseRefusal(jni)) return refused;
    BusyFlag busy(dumpActive);
    Error error = dump(jni);
    NotePauseEnd();
    return error;
}

Error JvmAgent::PauseRefusal(JNIEnv* jni) const {
    if (vmDead || IsDying()) return Error("The JVM is shutting down");
    if (snapshotActive || gcActive || dumpActive || histogramActive)
        return Error("Another snapshot, heap dump, histogram or collection is running");
    if (!jni) return Error("No JNI environment for the heap dump");
    return Error();
}

Error JvmAgent::TakeDumpSnapShot(JvmInfo* info, CancelCheck* cancel) {
    if (!IsEnabled()) return Error("JVM Agent has been disabled");
    if (!options.heapDumpEnabled)
        return Error("SNAPSHOT from a heap dump is disabled by the agent option heapdump=off");
    MonitorLock lock(*this);
    JNIEnv* jni = GetJniEnv();
    if (Error refused = PauseRefusal(jni)) return refused;
    BusyFlag busy(snapshotActive);
    info->PrepareSnapShot(jvmti, jni);
    heapWalkStart.Now();
    heapWalkEnd = untagStart = untagEnd = TimeStamp();
    Error error;
    TimeStamp convertStart;
    {
        HeapDumper dumper;
        DumpSource source(*info, jvmti, jni);
        error = source.Take(dumper);
        heapWalkEnd.Now();
        NotePauseEnd();
        convertStart.Now();
        if (!error && !IsDying()) error = source.Convert(dumper, cancel);
    }
    info->FinishSnapShotFiles(IsDying());
    UnTagLocked(info);
    if (!IsDying()) untagStart = convertStart;
    info->SetWalkTimes({heapWalkStart, heapWalkEnd, untagStart, untagEnd});
    if (error) VeskLogger::LogError(false, "%s", error.What());
    return error;
}

Error JvmAgent::CountHeap(bool live, int64_t& gcMillis, const std::function<Error(jvmtiEnv*, JNIEnv*)>& count) {
    gcMillis = 0;
    if (!IsEnabled() || !jvmti) return Error("The agent is disabled");
    MonitorLock lock(*this);
    JNIEnv* jni = GetJniEnv();
    if (vmDead || IsDying()) return Error("The JVM is shutting down");
    if (snapshotActive || gcActive || dumpActive || histogramActive)
        return Error("Another snapshot, heap dump, histogram or collection is running");
    BusyFlag busy(histogramActive);
    if (live) {
        int64_t start = SteadyMillis();
        CheckJvmtiError(jvmti->ForceGarbageCollection(), "ForceGarbageCollection");
        gcMillis = SteadyMillis() - start;
    }
    Error error = count(jvmti, jni);
    NotePauseEnd();
    return error;
}

void JvmAgent::GatherRuntimeInfo(JvmInfo* info) {
    JNIEnv* jni = GetJniEnv();
    if (jni) info->GatherRuntimeInfo(jvmti, jni);
}

bool JvmAgent::RecordHeapReference(jvmtiHeapReferenceKind reference_kind,
                                   const jvmtiHeapReferenceInfo* reference_info, jlong class_tag,
                                   jlong referrer_class_tag, jlong size, jlong* tag_ptr,
                                   jlong* referrer_tag_ptr, jint length, void* user_data) {
    if (!user_data) {
        *tag_ptr = 0;
        return true;
    }
    return static_cast<JvmInfo*>(user_data)->RecordHeapReference(
        reference_kind, reference_info, class_tag, referrer_class_tag, size, tag_ptr,
        referrer_tag_ptr, length);
}

}  // namespace Orlo
