// One live heap dump of the JVM into a private directory (mode 0700) that
// lives exactly as long as this object: the unredacted dump is readable by the
// JVM's user alone, and the directory with everything in it (the JVM's
// segment files included) is removed by the destructor, and by RemoveActive at
// VM death and agent unload. Used by the one client thread.
#pragma once

#include <jni.h>

#include <cstdint>
#include <string>

namespace Orlo {

class HeapDumper {
public:
    HeapDumper() = default;
    ~HeapDumper();
    HeapDumper(const HeapDumper&) = delete;
    HeapDumper& operator=(const HeapDumper&) = delete;

    // Creates the private directory: on /dev/shm when it is writable and has
    // at least usedHeap bytes free, else in the snapshot files' directory.
    // False with error set when neither works.
    bool CreateDirectory(int64_t usedHeap, std::string& error);
    // Asks HotSpotDiagnosticMXBean.dumpHeap(path, true) for a live dump into
    // the directory; a Java exception is logged, cleared and put into error.
    // Runs a safepoint operation that nothing interrupts.
    bool Dump(JNIEnv* jni, std::string& error);
    // Removes the directory and its files now; called again, does nothing.
    void Remove();

    const std::string& Directory() const { return directory; }
    const std::string& DumpPath() const { return dumpPath; }
    // Time the JVM took for the dump, safepoint and file writing included.
    int64_t DumpMillis() const { return dumpMillis; }

    // The JVM's used heap (Runtime total minus free), 0 when unknown.
    static int64_t UsedHeap(JNIEnv* jni);
    // Removes the directory of the dump in progress, if any: VM death and
    // agent unload. Takes the agent monitor, like Remove.
    static void RemoveActive();

private:
    std::string directory;
    std::string dumpPath;
    int64_t dumpMillis = 0;
};

}  // namespace Orlo
