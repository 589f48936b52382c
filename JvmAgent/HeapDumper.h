// One live heap dump of the JVM into a private directory (mode 0700) that
// lives at most as long as this object: the unredacted dump is readable by the
// JVM's user alone, and the directory with everything in it (the JVM's
// segment files included) is removed by the destructor, or before by Remove,
// or at VM death and agent unload through the TempFiles list. Used by one
// thread: the client thread, or the one whose allocation failed (oom-dump).
#pragma once

#include <jni.h>

#include <cstdint>
#include <string>

#include "Error.h"
#include "JvmManagement.h"

namespace Orlo {

class HeapDumper {
public:
    HeapDumper() = default;
    ~HeapDumper();
    HeapDumper(const HeapDumper&) = delete;
    HeapDumper& operator=(const HeapDumper&) = delete;

    // Creates the private directory: on /dev/shm when it is writable and has
    // at least usedHeap bytes free, else in the snapshot files' directory.
    // An error (logged) when neither works.
    Error MakeDirectory(int64_t usedHeap);
    // The private directory at a path fixed beforehand, for a dump whose
    // path's String was made then. An error when it cannot be made, also
    // when the name is taken.
    Error MakeDirectoryAt(const std::string& path);
    // Asks HotSpotDiagnosticMXBean.dumpHeap(path, true) for a live dump into
    // the directory; a Java exception is logged, cleared and returned as the
    // error. Runs a safepoint operation that nothing interrupts.
    Error Dump(JNIEnv* jni);
    // The JVM's dump of every object, no collection first, through its
    // management interface into DumpPath(), whose String is path: takes
    // nothing from the Java heap, so it works with the heap full. A Java
    // exception is cleared and named by its class only (more would allocate).
    Error DumpWithoutAllocating(jvmtiEnv* jvmti, JNIEnv* jni, JvmManagement::DumpHeapFunction dump, jstring path);
    // Removes the directory and its files now; called again, does nothing.
    void Remove();

    const std::string& DumpPath() const { return dumpPath; }
    // Length of the class field holder the dump holds (ClassFieldValues::
    // DumpHolder); 0: none.
    void SetHolderLength(uint32_t length) { holderLength = length; }
    uint32_t HolderLength() const { return holderLength; }
    // Time the JVM took for the dump, safepoint and file writing included.
    int64_t DumpMillis() const { return dumpMillis; }

    // The JVM's used heap (Runtime total minus free), 0 when unknown.
    static int64_t UsedHeap(JNIEnv* jni);
    // Whether /dev/shm is there, writable and has room for a dump of usedHeap.
    static bool MemoryFileSystemFits(int64_t usedHeap);
    // The file a dump directory holds.
    static std::string DumpPathIn(const std::string& directory);

private:
    std::string directory;
    std::string dumpPath;
    int64_t dumpMillis = 0;
    uint32_t holderLength = 0;
};

}  // namespace Orlo
