// The JVM's own diagnostic commands (those jcmd sends), run in process
// through HotSpot's management interface, the table of functions that the
// JVM library hands out from its exported JVM_GetManagement. A JVM without it
// (not HotSpot, a minimal VM, an interface of unknown layout) is told apart by
// the error, on which the caller takes another way; nothing is thrown and no
// Java exception is left pending. Used by a thread attached to the JVM.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <string>

#include "Error.h"

namespace Orlo {

class JvmManagement {
public:
    // The JVM's own heap dump into a file (what HotSpotDiagnosticMXBean.
    // dumpHeap ends in): path a String made beforehand, live true for a full
    // collection first. 0 when written; else a Java exception is pending.
    using DumpHeapFunction = jint(JNICALL*)(JNIEnv* jni, jstring path, jboolean live);

    // The JVM's feature release (17, 25); 0 when unknown.
    static int JavaRelease(jvmtiEnv* jvmti);
    // Finds the dump function, to be called later on any attached thread. It
    // takes nothing from the Java heap but its path's characters (a UTF-8 or
    // Latin-1 locale reads them natively), so it works with the heap full.
    static Error FindDumpHeap(jvmtiEnv* jvmti, JNIEnv* jni, DumpHeapFunction& dump);
    // Runs one command line ("GC.class_histogram -all") and gives its text
    // output. The calling thread waits for the command, however long it
    // takes: the JVM offers no way to stop one. An error says why it could
    // not run: the interface missing or of a layout not known for this Java
    // release (read through jvmti), or the command raised a Java exception
    // (an unknown command, an OutOfMemoryError), then cleared.
    static Error Execute(jvmtiEnv* jvmti, JNIEnv* jni, const char* command, std::string& output);
};

}  // namespace Orlo
