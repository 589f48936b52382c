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
    // Runs one command line ("GC.class_histogram -all") and gives its text
    // output. The calling thread waits for the command, however long it
    // takes: the JVM offers no way to stop one. An error says why it could
    // not run: the interface missing or of a layout not known for this Java
    // release (read through jvmti), or the command raised a Java exception
    // (an unknown command, an OutOfMemoryError), then cleared.
    static Error Execute(jvmtiEnv* jvmti, JNIEnv* jni, const char* command, std::string& output);
};

}  // namespace Orlo
