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
    // Keeps a Java thread object named name, made now, for the next thread
    // of that name to start on when the heap has no room for its own (after
    // an OutOfMemoryError); made again after each use, once there is room.
    static void KeepSpare(JNIEnv* jni, const char* name);
    static void JNICALL ThreadFunctionWrapper(jvmtiEnv* jvmti, JNIEnv* jni, void* argument);

protected:
    VeskSocket* GetSocket() const { return socket.get(); }
    std::unique_ptr<VeskSocket> ReleaseSocket() { return std::move(socket); }
    void SetStop() { stop.store(true); }

private:
    const char* name;
    jthread threadObject;  // global reference: Stop may run on another thread
    std::unique_ptr<VeskSocket> socket;
    std::atomic<bool> stop;

    static std::atomic<const char*> spareName;
    static std::atomic<jthread> spare;  // global reference
};

}  // namespace Orlo
