// A JavaVM whose JNI and JVMTI function tables hold only what the agent core
// calls. Calls are recorded; results are set by the test. One at a time.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "Orlo.h"
#include "VeskLogger.h"

namespace vesktest {

// Puts back the process-wide state an agent test touches: the agent
// pointer, the globals of the library path, and the logger.
class AgentStateGuard {
public:
    AgentStateGuard()
        : path(Orlo::libraryPath), base(Orlo::baseDir), sep(Orlo::fileSep),
          level(Orlo::VeskLogger::GetLogLevel()), logName(Orlo::VeskLogger::GetLogFileName()) {
        Orlo::VeskLogger::CloseLogFile();
    }
    ~AgentStateGuard() {
        Orlo::agent = nullptr;
        snprintf(Orlo::libraryPath, Orlo::LIBRARY_PATH_SIZE, "%s", path.c_str());
        Orlo::baseDir = base;
        Orlo::fileSep = sep;
        Orlo::VeskLogger::CloseLogFile();
        Orlo::VeskLogger::SetLogLevel(level);
        Orlo::VeskLogger::SetLogFile(logName.c_str());
    }
    AgentStateGuard(const AgentStateGuard&) = delete;
    AgentStateGuard& operator=(const AgentStateGuard&) = delete;

private:
    std::string path, base;
    char sep;
    Orlo::LogLevel level;
    std::string logName;
};

class FakeJvm {
public:
    // Settings.
    jint jvmtiGetEnvResult = JNI_OK;
    jint jniGetEnvResult = JNI_OK;
    jint jniVersion = JNI_VERSION_1_8;
    jint jvmtiVersion = 0x30110000;
    std::set<std::string> failing;  // JVMTI functions that return JVMTI_ERROR_NOT_AVAILABLE
    bool exceptionPending = false;
    std::string exceptionSignature = "Ljava/lang/OutOfMemoryError;";
    std::function<void()> duringWalk;  // runs inside each FollowReferences

    // Records.
    std::vector<jint> getEnvVersions;
    jvmtiCapabilities capabilities{};
    jvmtiEventCallbacks callbacks{};
    jint callbacksSize = 0;
    std::vector<std::pair<jvmtiEventMode, jvmtiEvent>> eventModes;
    std::string monitorName;
    int jvmtiCalls = 0;
    int monitorEnters = 0, monitorExits = 0, monitorsDestroyed = 0;
    int gcCalls = 0;
    // A reference walk, or with iteration set a pass over the heap.
    struct Walk {
        const jvmtiEnv* env;
        jint filter;
        jvmtiHeapReferenceCallback callback;
        const void* userData;
        jvmtiHeapIterationCallback iteration = nullptr;
    };
    std::vector<Walk> walks;
    std::vector<const jvmtiEnv*> disposed;
    int allocations = 0, deallocations = 0;

    FakeJvm() {
        current = this;
        invoke.GetEnv = &GetEnv;
        vm.functions = &invoke;
        native.GetVersion = &GetVersion;
        native.ExceptionCheck = &ExceptionCheck;
        native.ExceptionOccurred = &ExceptionOccurred;
        native.ExceptionClear = &ExceptionClear;
        native.GetObjectClass = &GetObjectClass;
        native.DeleteLocalRef = &DeleteLocalRef;
        native.PushLocalFrame = &PushLocalFrame;
        native.FindClass = &FindClass;
        native.PopLocalFrame = &PopLocalFrame;
        native.EnsureLocalCapacity = &EnsureLocalCapacity;
        native.GetJavaVM = &GetJavaVM;
        jni.functions = &native;
        table.GetVersionNumber = &GetVersionNumber;
        table.AddCapabilities = &AddCapabilities;
        table.GetCapabilities = &GetCapabilities;
        table.CreateRawMonitor = &CreateRawMonitor;
        table.DestroyRawMonitor = &DestroyRawMonitor;
        table.RawMonitorEnter = &RawMonitorEnter;
        table.RawMonitorExit = &RawMonitorExit;
        table.SetEventCallbacks = &SetEventCallbacks;
        table.SetEventNotificationMode = &SetEventNotificationMode;
        table.GetPhase = &GetPhase;
        table.ForceGarbageCollection = &ForceGarbageCollection;
        table.FollowReferences = &FollowReferences;
        table.IterateThroughHeap = &IterateThroughHeap;
        table.DisposeEnvironment = &DisposeEnvironment;
        table.GetLoadedClasses = &GetLoadedClasses;
        table.GetAllThreads = &GetAllThreads;
        table.GetAvailableProcessors = &GetAvailableProcessors;
        table.GetErrorName = &GetErrorName;
        table.GetClassSignature = &GetClassSignature;
        table.Deallocate = &Deallocate;
        table.GetSystemProperty = &GetSystemProperty;
        jvmti.functions = &table;
        tagJvmti.functions = &table;
    }
    ~FakeJvm() { current = nullptr; }
    FakeJvm(const FakeJvm&) = delete;
    FakeJvm& operator=(const FakeJvm&) = delete;

    JavaVM* Vm() { return &vm; }
    JNIEnv* Jni() { return &jni; }
    // The agent's environment; every later JVMTI GetEnv gives TagJvmti.
    jvmtiEnv* Jvmti() { return &jvmti; }
    jvmtiEnv* TagJvmti() { return &tagJvmti; }

private:
    static inline FakeJvm* current = nullptr;
    static inline int monitorObject, throwableObject, classObject;

    JNIInvokeInterface_ invoke{};
    JavaVM vm{};
    JNINativeInterface_ native{};
    JNIEnv jni{};
    jvmtiInterface_1_ table{};
    jvmtiEnv jvmti{};
    jvmtiEnv tagJvmti{};
    bool jvmtiGiven = false;

    static jvmtiError Call(const char* name) {
        ++current->jvmtiCalls;
        return current->failing.count(name) ? JVMTI_ERROR_NOT_AVAILABLE : JVMTI_ERROR_NONE;
    }
    static char* Allocate(const std::string& text) {
        ++current->allocations;
        return strdup(text.c_str());
    }

    static jint JNICALL GetEnv(JavaVM*, void** env, jint version) {
        current->getEnvVersions.push_back(version);
        bool wantsJvmti = (version & 0x30000000) == 0x30000000;
        jint result = wantsJvmti ? current->jvmtiGetEnvResult : current->jniGetEnvResult;
        jvmtiEnv* jvmti = current->jvmtiGiven ? &current->tagJvmti : &current->jvmti;
        *env = result != JNI_OK ? nullptr
               : wantsJvmti     ? static_cast<void*>(jvmti)
                                : static_cast<void*>(&current->jni);
        if (wantsJvmti && result == JNI_OK) current->jvmtiGiven = true;
        return result;
    }

    static jint JNICALL GetVersion(JNIEnv*) { return current->jniVersion; }
    static jboolean JNICALL ExceptionCheck(JNIEnv*) { return current->exceptionPending; }
    static jthrowable JNICALL ExceptionOccurred(JNIEnv*) {
        return current->exceptionPending ? reinterpret_cast<jthrowable>(&throwableObject) : nullptr;
    }
    static void JNICALL ExceptionClear(JNIEnv*) { current->exceptionPending = false; }
    static jclass JNICALL GetObjectClass(JNIEnv*, jobject object) {
        return object ? reinterpret_cast<jclass>(&classObject) : nullptr;
    }
    static void JNICALL DeleteLocalRef(JNIEnv*, jobject) {}
    static jint JNICALL PushLocalFrame(JNIEnv*, jint) { return JNI_OK; }
    // No Java classes: what needs one (the heap dump's MXBean) fails cleanly.
    static jclass JNICALL FindClass(JNIEnv*, const char*) { return nullptr; }
    static jobject JNICALL PopLocalFrame(JNIEnv*, jobject result) { return result; }
    static jint JNICALL EnsureLocalCapacity(JNIEnv*, jint) { return JNI_OK; }
    static jint JNICALL GetJavaVM(JNIEnv*, JavaVM** vm) {
        *vm = &current->vm;
        return JNI_OK;
    }

    static jvmtiError JNICALL GetVersionNumber(jvmtiEnv*, jint* version) {
        *version = current->jvmtiVersion;
        return Call("GetVersionNumber");
    }
    static jvmtiError JNICALL AddCapabilities(jvmtiEnv*, const jvmtiCapabilities* caps) {
        current->capabilities = *caps;
        return Call("AddCapabilities");
    }
    // What AddCapabilities gave, nothing when it failed.
    static jvmtiError JNICALL GetCapabilities(jvmtiEnv*, jvmtiCapabilities* caps) {
        *caps = current->failing.count("AddCapabilities") ? jvmtiCapabilities{} : current->capabilities;
        return Call("GetCapabilities");
    }
    static jvmtiError JNICALL CreateRawMonitor(jvmtiEnv*, const char* name, jrawMonitorID* id) {
        current->monitorName = name;
        *id = reinterpret_cast<jrawMonitorID>(&monitorObject);
        return Call("CreateRawMonitor");
    }
    static jvmtiError JNICALL DestroyRawMonitor(jvmtiEnv*, jrawMonitorID) {
        ++current->monitorsDestroyed;
        return Call("DestroyRawMonitor");
    }
    static jvmtiError JNICALL RawMonitorEnter(jvmtiEnv*, jrawMonitorID) {
        ++current->monitorEnters;
        return Call("RawMonitorEnter");
    }
    static jvmtiError JNICALL RawMonitorExit(jvmtiEnv*, jrawMonitorID) {
        ++current->monitorExits;
        return Call("RawMonitorExit");
    }
    static jvmtiError JNICALL SetEventCallbacks(jvmtiEnv*, const jvmtiEventCallbacks* cbs,
                                                jint size) {
        memcpy(&current->callbacks, cbs, static_cast<size_t>(size));
        current->callbacksSize = size;
        return Call("SetEventCallbacks");
    }
    static jvmtiError JNICALL SetEventNotificationMode(jvmtiEnv*, jvmtiEventMode mode,
                                                       jvmtiEvent event, jthread, ...) {
        current->eventModes.emplace_back(mode, event);
        return Call("SetEventNotificationMode");
    }
    static jvmtiError JNICALL GetPhase(jvmtiEnv*, jvmtiPhase* phase) {
        *phase = JVMTI_PHASE_LIVE;
        return Call("GetPhase");
    }
    static jvmtiError JNICALL ForceGarbageCollection(jvmtiEnv*) {
        ++current->gcCalls;
        return Call("ForceGarbageCollection");
    }
    static jvmtiError JNICALL FollowReferences(jvmtiEnv* env, jint filter, jclass, jobject,
                                               const jvmtiHeapCallbacks* callbacks,
                                               const void* userData) {
        current->walks.push_back({env, filter, callbacks->heap_reference_callback, userData});
        if (current->duringWalk) current->duringWalk();
        return Call("FollowReferences");
    }
    static jvmtiError JNICALL IterateThroughHeap(jvmtiEnv* env, jint filter, jclass,
                                                 const jvmtiHeapCallbacks* callbacks,
                                                 const void* userData) {
        current->walks.push_back({env, filter, nullptr, userData, callbacks->heap_iteration_callback});
        return Call("IterateThroughHeap");
    }
    static jvmtiError JNICALL DisposeEnvironment(jvmtiEnv* env) {
        current->disposed.push_back(env);
        return Call("DisposeEnvironment");
    }
    // An empty heap: no classes, no threads.
    static jvmtiError JNICALL GetLoadedClasses(jvmtiEnv*, jint* count, jclass** classes) {
        *count = 0;
        *classes = nullptr;
        return Call("GetLoadedClasses");
    }
    static jvmtiError JNICALL GetAllThreads(jvmtiEnv*, jint* count, jthread** threads) {
        *count = 0;
        *threads = nullptr;
        return Call("GetAllThreads");
    }
    static jvmtiError JNICALL GetAvailableProcessors(jvmtiEnv*, jint* processors) {
        *processors = 2;
        return Call("GetAvailableProcessors");
    }
    // No VM properties: code that needs a real VM's falls back.
    static jvmtiError JNICALL GetSystemProperty(jvmtiEnv*, const char*, char**) {
        Call("GetSystemProperty");
        return JVMTI_ERROR_NOT_AVAILABLE;
    }
    static jvmtiError JNICALL GetErrorName(jvmtiEnv*, jvmtiError error, char** name) {
        *name = Allocate("FAKE_ERROR_" + std::to_string(error));
        return JVMTI_ERROR_NONE;
    }
    static jvmtiError JNICALL GetClassSignature(jvmtiEnv*, jclass, char** signature,
                                                char** generic) {
        if (generic) *generic = nullptr;
        if (current->exceptionSignature.empty()) return JVMTI_ERROR_INVALID_CLASS;
        *signature = Allocate(current->exceptionSignature);
        return Call("GetClassSignature");
    }
    static jvmtiError JNICALL Deallocate(jvmtiEnv*, unsigned char* memory) {
        ++current->deallocations;
        free(memory);
        return Call("Deallocate");
    }
};

}  // namespace vesktest
