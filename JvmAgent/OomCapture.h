// The heap at an OutOfMemoryError (oom-dump=DIR): the JVM's own dump, taken
// when the JVMTI resource-exhausted event of the Java heap comes, redacted
// and zstd-compressed natively into DIR/<pid>-<time>.hprof.zst (DIR 0700, the
// file 0600), written under a temporary name and renamed when complete.
//
// The heap is full by then, so whatever needs the Java heap is made when the
// capture is armed: the dump's path as a String (one per place the dump may
// go), the Runtime methods for the used heap, the management interface's dump
// function, which then takes nothing from the Java heap. The event comes on
// the thread whose allocation failed, before the JVM throws to it; the
// capture runs there and the exception goes on unchanged afterwards. The
// values of class objects' own fields go into a holder made then too, as
// HEAPDUMP's do, for the redactor to name as roots.
//
// Rules: the unredacted dump lives only in a private 0700 directory, removed
// within the capture (in /dev/shm when it has room, else in the temporary
// files' directory); no capture starts when DIR's file system has less free
// than min-free plus an eighth of the used heap (one ERROR line instead); the
// first `count` events try one capture each, later ones and those during a
// capture are counted only (one INFO line); nothing is overwritten and a
// failure leaves no file under a final name.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ClassFieldValues.h"
#include "Error.h"
#include "JavaCalls.h"
#include "JvmManagement.h"

namespace Orlo {

// One capture kept in DIR, as DUMPS lists it.
struct KeptDump {
    std::string name;        // file name in DIR
    uint64_t fileBytes = 0;  // compressed, on disk
    int64_t timeMillis = 0;  // when the error came, since the epoch
    std::string message;     // the OutOfMemoryError's, as the JVM gave it
    uint64_t hprofBytes = 0; // the JVM's dump
    uint64_t dumpBytes = 0;  // the redacted HPROF the file decompresses to
    int64_t dumpMillis = 0;
    int64_t redactMillis = 0;  // redaction and compression
};

class OomCapture {
public:
    OomCapture(const std::string& directory, int count, uint64_t minFree);
    ~OomCapture();
    OomCapture(const OomCapture&) = delete;
    OomCapture& operator=(const OomCapture&) = delete;

    // Once the JVM runs (VM init, attach), on a thread attached to it:
    // creates DIR (0700) when missing and prepares the capture. An error
    // (for the caller to log) leaves it unarmed: events do nothing then.
    Error Arm(jvmtiEnv* jvmti, JNIEnv* jni);
    bool Armed() const { return armed; }

    // The ResourceExhausted event, on the thread that failed to allocate.
    void OnResourceExhausted(JNIEnv* jni, jint flags, const char* description);

    // The captures of this JVM, oldest first. Any thread.
    std::vector<KeptDump> Kept() const;
    // Java heap OutOfMemoryErrors seen since arming.
    uint64_t Events() const { return events; }
    const std::string& Directory() const { return directory; }
    // The path of a listed capture and its record; empty for a name not listed.
    std::string Find(const std::string& name, KeptDump& record) const;

private:
    // The whole capture; an error says why nothing was kept.
    Error Capture(JNIEnv* jni, const char* description, int64_t startMillis);
    // The redacted, compressed file under a temporary name in DIR, renamed
    // to a free final name; record gets its name and figures.
    Error WriteKept(const std::string& dumpPath, uint32_t holderLength, KeptDump& record);

    const std::string directory;
    const int count;
    const uint64_t minFree;
    jvmtiEnv* jvmti = nullptr;
    bool armed = false;
    JvmManagement::DumpHeapFunction dump = nullptr;
    RuntimeMethods runtime;  // runtimeClass a global reference
    // The class objects' own field values, held through the dump as HEAPDUMP holds them.
    ClassFieldValues::PreparedHolder holder;
    // Where the JVM's dump may go, and their Strings (global references).
    std::string memoryDirectory, diskDirectory;
    int dumpCopies = 1;  // the JVM's dump at its largest, in heaps in use
    jstring memoryPath = nullptr, diskPath = nullptr;

    std::atomic<uint64_t> events{0};
    std::atomic<int> attempts{0};
    std::atomic<bool> capturing{false};
    std::atomic<bool> skipReported{false};
    mutable std::mutex keptLock;
    std::vector<KeptDump> kept;
};

}  // namespace Orlo
