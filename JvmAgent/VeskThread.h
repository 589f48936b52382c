// Base of the agent's threads: each runs as a JVM agent thread and owns the
// socket it works on.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>

namespace Orlo {

class VeskSocket;

class VeskThread {
public:
    explicit VeskThread(VeskSocket* socket);
    virtual ~VeskThread();
    VeskThread(const VeskThread&) = delete;
    VeskThread& operator=(const VeskThread&) = delete;

    virtual void ThreadFunction() = 0;

    // False when the JVM thread could not be started; the object is then
    // still the caller's to delete.
    bool Start();
    void Stop();
    bool IsStopped() const { return stop.load(); }

    static bool CreateJvmThread(VeskThread* thread);
    static void JNICALL ThreadFunctionWrapper(jvmtiEnv* jvmti, JNIEnv* jni, void* argument);

protected:
    VeskSocket* GetSocket() const { return socket; }
    void SetStop() { stop.store(true); }

private:
    jthread threadObject;  // global reference: Stop may run on another thread
    VeskSocket* socket;
    std::atomic<bool> stop;
};

}  // namespace Orlo
