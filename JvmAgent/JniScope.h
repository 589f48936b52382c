// Scope holders for what JNI and JVMTI hand out: whatever a scope takes goes
// back on every path, an exception's included, so error paths need no
// cleanup of their own. Each is used by the one thread that made it.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include "Orlo.h"

namespace Orlo {

// True when the last JNI call left a Java exception, which is then logged as
// call's failure and cleared: no JNI call may follow while one is pending.
inline bool ExceptionRaised(JNIEnv* jni, const char* call) {
    if (!jni->ExceptionCheck()) return false;
    CheckJniError(JNI_ERR, call);
    // Without an agent CheckJniError cannot reach the exception.
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    return true;
}

// Memory a JVMTI function allocated (a signature, a name, a list of classes,
// fields or methods), handed back through jvmti when the owner goes; through
// the agent's environment when jvmti is null. Out() gives the JVMTI call its
// out parameter; a call that fails leaves it null, which is fine.
template <class T> class JvmtiMemory {
public:
    explicit JvmtiMemory(jvmtiEnv* jvmti, T* adopted = nullptr) : jvmti(jvmti), memory(adopted) {}
    ~JvmtiMemory() { FreeJvmtiMemory(jvmti, &memory); }
    JvmtiMemory(const JvmtiMemory&) = delete;
    JvmtiMemory& operator=(const JvmtiMemory&) = delete;

    // What was held before goes back first.
    T** Out() {
        FreeJvmtiMemory(jvmti, &memory);
        return &memory;
    }
    T* Get() const { return memory; }
    T& operator[](jint index) const { return memory[index]; }

private:
    jvmtiEnv* jvmti;
    T* memory;
};

// A JNI local reference deleted with the scope, for references taken in a
// loop or in a frame that lives on; null is fine.
template <class T> class LocalRef {
public:
    LocalRef(JNIEnv* jni, T ref) : jni(jni), ref(ref) {}
    ~LocalRef() {
        if (ref && jni) jni->DeleteLocalRef(ref);
    }
    LocalRef(const LocalRef&) = delete;
    LocalRef& operator=(const LocalRef&) = delete;

    T Get() const { return ref; }

private:
    JNIEnv* jni;
    T ref;
};

// A JNI local frame for a scope, popped only when it was pushed; a failed
// push is logged and its exception cleared. Every local reference taken in
// the scope dies with it.
class LocalFrame {
public:
    LocalFrame(JNIEnv* jni, jint capacity)
        : jni(jni), pushed(jni && Succeeded(jni->PushLocalFrame(capacity), "PushLocalFrame")) {}
    ~LocalFrame() {
        if (pushed) jni->PopLocalFrame(nullptr);
    }
    LocalFrame(const LocalFrame&) = delete;
    LocalFrame& operator=(const LocalFrame&) = delete;

    bool Pushed() const { return pushed; }
    // Pops the frame now, keeping result as a reference of the frame around
    // it (null stays null); the scope's end then pops nothing.
    template <class T> T Pop(T result) {
        if (!pushed) return result;
        pushed = false;
        return static_cast<T>(jni->PopLocalFrame(result));
    }
    // Room for total local references in the frame altogether, for a scope
    // that learns only later how many it holds.
    bool Reserve(jint total) { return Succeeded(jni->EnsureLocalCapacity(total), "EnsureLocalCapacity"); }

private:
    bool Succeeded(jint result, const char* call) {
        if (CheckJniError(result, call)) return true;
        if (jni->ExceptionCheck()) jni->ExceptionClear();
        return false;
    }

    JNIEnv* jni;
    bool pushed;
};

// The modified UTF-8 characters of a string, released with the scope; null
// (logged) when the JVM cannot give them.
class StringChars {
public:
    StringChars(JNIEnv* jni, jstring text) : jni(jni), text(text), chars(jni->GetStringUTFChars(text, nullptr)) {
        if (!chars) ExceptionRaised(jni, "GetStringUTFChars");
    }
    ~StringChars() {
        if (chars) jni->ReleaseStringUTFChars(text, chars);
    }
    StringChars(const StringChars&) = delete;
    StringChars& operator=(const StringChars&) = delete;

    const char* Get() const { return chars; }

private:
    JNIEnv* jni;
    jstring text;
    const char* chars;
};

}  // namespace Orlo
