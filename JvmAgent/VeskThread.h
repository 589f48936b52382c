// Base of the agent's threads: each runs as a JVM agent thread, named so that
// a thread dump shows whose it is, and owns the socket it works on.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <memory>

#include "VeskSocket.h"

namespace Orlo {

class VeskThread {
public:
    // name: the Java thread's name, a literal that outlives the thread.
    VeskThread(const char* name, std::unique_ptr<VeskSocket> socket);
    // Closes the socket. Runs on the thread itself for a client thread.
    virtual ~VeskThread();
    VeskThread(const VeskThread&) = delete;
    VeskThread& operator=(const VeskThread&) = delete;

    virtual void ThreadFunction() = 0;

    // False when the JVM thread could not be started; the object then stays
    // its owner's and never runs.
    bool Start();
    // Ends the loop from outside: sets the flag and interrupts the Java
    // thread. Kept for that purpose; nothing in the agent calls it.
    void Stop();
    bool IsStopped() const { return stop.load(); }

    static bool CreateJvmThread(VeskThread* thread);
    static void JNICALL ThreadFunctionWrapper(jvmtiEnv* jvmti, JNIEnv* jni, void* argument);

protected:
    VeskSocket* GetSocket() const { return socket.get(); }
    void SetStop() { stop.store(true); }

private:
    const char* name;
    jthread threadObject;  // global reference: Stop may run on another thread
    std::unique_ptr<VeskSocket> socket;
    std::atomic<bool> stop;
};

}  // namespace Orlo
