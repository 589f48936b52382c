#include "VeskThread.h"

#include "ExceptionBoundary.h"
#include "JniScope.h"
#include "JvmAgent.h"
#include "Orlo.h"
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

bool VeskThread::CreateJvmThread(VeskThread* thread) {
    JNIEnv* jni = agent ? agent->GetJniEnv() : nullptr;
    if (!jni) return false;
    LocalRef<jclass> threadClass(jni, jni->FindClass("java/lang/Thread"));
    if (threadClass.Get()) {
        jmethodID constructor = jni->GetMethodID(threadClass.Get(), "<init>", "(Ljava/lang/String;)V");
        LocalRef<jstring> name(jni, constructor ? jni->NewStringUTF(thread->name) : nullptr);
        if (name.Get()) {
            LocalRef<jobject> local(jni, jni->NewObject(threadClass.Get(), constructor, name.Get()));
            if (local.Get()) thread->threadObject = static_cast<jthread>(jni->NewGlobalRef(local.Get()));
        }
    }
    // A failed look-up leaves a pending exception; RunAgentThread reports it.
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    jvmtiError result = agent->GetJvmtiEnv()->RunAgentThread(
        thread->threadObject, ThreadFunctionWrapper, thread, JVMTI_THREAD_NORM_PRIORITY);
    return CheckJvmtiError(result, "RunAgentThread");
}

void JNICALL VeskThread::ThreadFunctionWrapper(jvmtiEnv*, JNIEnv*, void* argument) {
    // Last resort: each thread's own loop already keeps its work going.
    ExceptionBoundary::Run("Agent thread", [argument] { static_cast<VeskThread*>(argument)->ThreadFunction(); });
}

}  // namespace Orlo
