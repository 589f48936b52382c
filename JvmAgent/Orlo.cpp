#include "Orlo.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "ExceptionBoundary.h"
#include "JniScope.h"
#include "JvmAgent.h"
#include "OrloUtils.h"
#include "VeskLogger.h"
#include "VeskSocket.h"

namespace Orlo {

JvmAgent* agent = nullptr;
char libraryPath[LIBRARY_PATH_SIZE] = "";
#ifdef _WIN32
std::string baseDir = "./";
#else
std::string baseDir;
#endif
char fileSep = '/';

void DeriveBaseDir(const char* path) {
    const char* found = path ? strstr(path, "JvmAgent") : nullptr;
    if (!found) return;
    size_t length = static_cast<size_t>(found - path);
    baseDir.assign(path, length);
    if (length > 0) fileSep = path[length - 1];
}

void JNICALL JvmInitCB(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread) {
    ExceptionBoundary::Run("JvmInitCB", [&] {
        VeskLogger::LogDebug("Enter JvmInitCB, jvmti=%p, jnienv=%p, thread=%p, JNI Version=%x",
                             static_cast<void*>(jvmti), static_cast<void*>(jni),
                             static_cast<void*>(thread), jni ? jni->GetVersion() : 0);
        // Null when the agent's construction failed after the callbacks were set.
        if (agent) agent->JvmInit();
    });
}

void JNICALL JvmDeathCB(jvmtiEnv* jvmti, JNIEnv* jni) {
    ExceptionBoundary::Run("JvmDeathCB", [&] {
        VeskLogger::LogDebug("Enter JvmDeathCB, jvmti=%p, jnienv=%p", static_cast<void*>(jvmti),
                             static_cast<void*>(jni));
        if (agent) agent->JvmDeath();
    });
}

void JNICALL ResourceExhaustedCB(jvmtiEnv* jvmti, JNIEnv* jni, jint flags, const void* reserved,
                                 const char* description) {
    (void)jvmti;
    (void)reserved;
    ExceptionBoundary::Run("ResourceExhaustedCB", [&] {
        if (agent) agent->OnResourceExhausted(jni, flags, description);
    });
}

jint JNICALL HeapReferenceCB(jvmtiHeapReferenceKind reference_kind,
                             const jvmtiHeapReferenceInfo* reference_info, jlong class_tag,
                             jlong referrer_class_tag, jlong size, jlong* tag_ptr,
                             jlong* referrer_tag_ptr, jint length, void* user_data) {
    jint visit = JVMTI_VISIT_ABORT;
    ExceptionBoundary::Run("HeapReferenceCB", [&] {
        if (agent->RecordHeapReference(reference_kind, reference_info, class_tag, referrer_class_tag,
                                       size, tag_ptr, referrer_tag_ptr, length, user_data))
            visit = JVMTI_VISIT_OBJECTS;
    });
    return visit;
}

bool CheckJvmtiError(jvmtiError err, const char* operation) {
    if (err == JVMTI_ERROR_NONE) return true;
    std::string name;
    VeskLogger::LogError(false, "%s: JVMTI error=%s", operation ? operation : "",
                         OrloUtils::FormatJvmtiError(err, name).c_str());
    return false;
}

bool CheckJniError(int err, const char* operation) {
    if (err == JNI_OK) return true;
    const char* name = operation ? operation : "";
    JNIEnv* jni = agent ? agent->GetJniEnv() : nullptr;
    std::string description;
    if (jni && jni->ExceptionCheck()) {
        // Cleared before the class is looked up: few JNI calls are legal
        // while an exception is pending.
        LocalRef<jthrowable> exception(jni, jni->ExceptionOccurred());
        jni->ExceptionClear();
        description = "<UNDETERMINED>";
        LocalRef<jclass> clazz(jni, exception.Get() ? jni->GetObjectClass(exception.Get()) : nullptr);
        jvmtiEnv* jvmti = agent->GetJvmtiEnv();
        JvmtiMemory<char> signature(jvmti);
        if (clazz.Get() && jvmti &&
            jvmti->GetClassSignature(clazz.Get(), signature.Out(), nullptr) == JVMTI_ERROR_NONE && signature.Get())
            description = signature.Get();
    } else {
        OrloUtils::FormatJniError(err, description);
    }
    VeskLogger::LogError(false, "%s: JNI error=%s", name, description.c_str());
    return false;
}

void FreeJvmtiMemory(jvmtiEnv* jvmti, void** memory) {
    if (!memory) return;
    if (!jvmti && agent) jvmti = agent->GetJvmtiEnv();
    // Nulled first: a failed Deallocate is reported through code that may free again.
    void* block = *memory;
    *memory = nullptr;
    if (block && jvmti) CheckJvmtiError(jvmti->Deallocate(static_cast<unsigned char*>(block)), "Deallocate");
}

void FreeJvmtiMemory(void** memory) { FreeJvmtiMemory(nullptr, memory); }

std::string& operator+=(std::string& text, jlong value) {
    char digits[24];
    snprintf(digits, sizeof digits, "%" PRId64, static_cast<int64_t>(value));
    return text.append(digits);
}

}  // namespace Orlo

using namespace Orlo;

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void* reserved) {
    (void)reserved;
    // Without an agent the JVM still runs; it just has no command server.
    ExceptionBoundary::Run("Agent_OnLoad", [&] {
        DeriveBaseDir(libraryPath);
        VeskSocket::Initialize();
        JvmAgent* created = new JvmAgent(vm, options);
        agent = created;
    });
    return JNI_OK;
}

extern "C" JNIEXPORT void JNICALL Agent_OnUnload(JavaVM* vm) {
    ExceptionBoundary::Run("Agent_OnUnload", [&] {
        VeskLogger::LogDebug("Enter Agent_OnUnload, vm=%p", static_cast<void*>(vm));
        if (agent) agent->Unload();
    });
}

extern "C" JNIEXPORT jint JNICALL Agent_OnAttach(JavaVM* vm, char* options, void* reserved) {
    (void)reserved;
    // Anything but JNI_OK makes the JVM unload the library again: nothing
    // of this load may stay behind then (no thread, no event callback).
    jint result = JNI_ERR;
    JvmAgent* created = nullptr;
    ExceptionBoundary::Run("Agent_OnAttach", [&] {
        // The JVM maps a library once: a second load of it finds the first agent.
        if (agent) {
            result = agent->AlreadyLoaded();
            return;
        }
        DeriveBaseDir(libraryPath);
        VeskSocket::Initialize();
        created = new JvmAgent(vm, options);
        agent = created;  // the server thread reaches the JVM through it
        result = created->JvmAttach();
    });
    if (result != JNI_OK && created) {
        agent = nullptr;
        jvmtiEnv* jvmti = created->GetJvmtiEnv();
        ExceptionBoundary::Run("Agent_OnAttach", [&] { delete created; });
        if (jvmti) jvmti->DisposeEnvironment();
        VeskLogger::CloseLogFile();
    }
    return result;
}
