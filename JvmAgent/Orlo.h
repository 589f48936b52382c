// Process-wide state of the agent library and the JVMTI/JNI status checks.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace Orlo {

class JvmAgent;

// The one agent, set by Agent_OnLoad once its constructor has returned.
extern JvmAgent* agent;

// Path of this library as the loader reports it; empty when unknown or too
// long, as a cut path would give a wrong base directory.
constexpr size_t LIBRARY_PATH_SIZE = 4096;
extern char libraryPath[LIBRARY_PATH_SIZE];

// Installation base directory (with trailing separator) and its separator.
extern std::string baseDir;
extern char fileSep;

// Derives baseDir and fileSep from a library path: the text before the first
// "JvmAgent" is the base directory. Leaves both alone when it is not found.
void DeriveBaseDir(const char* path);

// JVMTI event and heap callbacks; they forward to the agent.
void JNICALL JvmInitCB(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread);
void JNICALL JvmDeathCB(jvmtiEnv* jvmti, JNIEnv* jni);
// On the thread whose allocation failed, before the JVM throws to it.
void JNICALL ResourceExhaustedCB(jvmtiEnv* jvmti, JNIEnv* jni, jint flags, const void* reserved,
                                 const char* description);
jint JNICALL HeapReferenceCB(jvmtiHeapReferenceKind reference_kind,
                             const jvmtiHeapReferenceInfo* reference_info, jlong class_tag,
                             jlong referrer_class_tag, jlong size, jlong* tag_ptr,
                             jlong* referrer_tag_ptr, jint length, void* user_data);

// Log a failed call as "<operation>: JVMTI error=<name>(<code>)"; true on success.
bool CheckJvmtiError(jvmtiError err, const char* operation);
// Log a failed JNI status; true on success. With an agent, a Java exception
// pending on the calling thread is named and cleared.
bool CheckJniError(int err, const char* operation);
// Hand a JVMTI-allocated block back through jvmti (the agent's environment
// when null) and null the pointer; null is fine. Code holds such memory in a
// JvmtiMemory (JniScope.h), which calls this; the one-argument form is part
// of the agent's surface.
void FreeJvmtiMemory(jvmtiEnv* jvmti, void** memory);
void FreeJvmtiMemory(void** memory);
template <class T> inline void FreeJvmtiMemory(jvmtiEnv* jvmti, T** memory) {
    FreeJvmtiMemory(jvmti, reinterpret_cast<void**>(memory));
}
template <class T> inline void FreeJvmtiMemory(T** memory) {
    FreeJvmtiMemory(reinterpret_cast<void**>(memory));
}

// A stdio file closed when its owner goes; release() it to check fclose.
struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

std::string& operator+=(std::string& text, jlong value);

}  // namespace Orlo
