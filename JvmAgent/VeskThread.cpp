#include "VeskThread.h"

#include <cstring>

#include "ExceptionBoundary.h"
#include "JniScope.h"
#include "JvmAgent.h"
#include "Orlo.h"
#include "VeskLogger.h"
#include "VeskSocket.h"

namespace Orlo {

VeskThread::VeskThread(const char* name, std::unique_ptr<VeskSocket> socket)
    : name(name), threadObject(nullptr), socket(std::move(socket)), stop(false) {}

VeskThread::~VeskThread() {
    if (threadObject && agent) {
        JNIEnv* jni = agent->GetJniEnv();
        if (jni) jni->DeleteGlobalRef(threadObject);
    }
}

bool VeskThread::Start() { return CreateJvmThread(this); }

void VeskThread::Stop() {
    SetStop();
    if (agent && threadObject) agent->GetJvmtiEnv()->InterruptThread(threadObject);
}

namespace {

// A global reference to a new java.lang.Thread named name; null when it
// cannot be made, the heap full among others.
jthread NewThreadObject(JNIEnv* jni, const char* name) {
    jthread made = nullptr;
    LocalRef<jclass> threadClass(jni, jni->FindClass("java/lang/Thread"));
    if (threadClass.Get()) {
        jmethodID constructor = jni->GetMethodID(threadClass.Get(), "<init>", "(Ljava/lang/String;)V");
        LocalRef<jstring> javaName(jni, constructor ? jni->NewStringUTF(name) : nullptr);
        if (javaName.Get()) {
            LocalRef<jobject> local(jni, jni->NewObject(threadClass.Get(), constructor, javaName.Get()));
            if (local.Get()) made = static_cast<jthread>(jni->NewGlobalRef(local.Get()));
        }
    }
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    return made;
}

}  // namespace

std::atomic<const char*> VeskThread::spareName{nullptr};
std::atomic<jthread> VeskThread::spare{nullptr};

void VeskThread::KeepSpare(JNIEnv* jni, const char* name) {
    spareName = name;
    if (!jni || spare.load()) return;
    jthread made = NewThreadObject(jni, name);
    jthread none = nullptr;
    if (made && !spare.compare_exchange_strong(none, made)) jni->DeleteGlobalRef(made);
}

bool VeskThread::CreateJvmThread(VeskThread* thread) {
    JNIEnv* jni = agent ? agent->GetJniEnv() : nullptr;
    if (!jni) return false;
    thread->threadObject = NewThreadObject(jni, thread->name);
    const char* kept = spareName.load();
    if (kept && strcmp(kept, thread->name) == 0) {
        if (thread->threadObject) {
            KeepSpare(jni, kept);
        } else if ((thread->threadObject = spare.exchange(nullptr))) {
            VeskLogger::LogInfo("%s starts on the thread object made ahead: the Java heap has no room for one",
                                thread->name);
        }
    }
    // Said once until a thread starts again: a client tries again and again.
    static std::atomic<bool> reported{false};
    if (!thread->threadObject) {
        if (!reported.exchange(true))
            VeskLogger::LogError(false, "%s not started: no room for its Java thread object (the Java heap may be full)",
                                 thread->name);
        return false;
    }
    reported = false;
    jvmtiError result = agent->GetJvmtiEnv()->RunAgentThread(
        thread->threadObject, ThreadFunctionWrapper, thread, JVMTI_THREAD_NORM_PRIORITY);
    return CheckJvmtiError(result, "RunAgentThread");
}

void JNICALL VeskThread::ThreadFunctionWrapper(jvmtiEnv*, JNIEnv*, void* argument) {
    // Last resort: each thread's own loop already keeps its work going.
    ExceptionBoundary::Run("Agent thread", [argument] { static_cast<VeskThread*>(argument)->ThreadFunction(); });
}

}  // namespace Orlo
