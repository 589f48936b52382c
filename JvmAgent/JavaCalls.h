// The Java method calls behind the runtime figures and the system
// properties, on the calling thread with its own JNI environment. Callers
// resolve the methods (JvmInfo through its class model, HeapDumper through
// JNI; WriteSystemProperties through JvmInfo's); these make the calls. A Java exception ends a call: it is logged and
// cleared, the result is null or false, and a `failed` flag, where there is
// one, turns true so that no further call is made.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

namespace Orlo {

class JvmInfo;
class StringBuffer;

// The java.lang.Runtime methods the heap totals come from; a null figure
// method leaves its figure alone.
struct RuntimeMethods {
    jclass runtimeClass = nullptr;
    jmethodID getRuntime = nullptr;
    jmethodID totalMemory = nullptr;
    jmethodID maxMemory = nullptr;
    jmethodID freeMemory = nullptr;
};

// Runtime.totalMemory(), maxMemory() and freeMemory(), in bytes.
struct HeapTotals {
    int64_t total = 0;
    int64_t max = 0;
    int64_t free = 0;
};

// Iterator.hasNext and next, Map.Entry.getKey and getValue, and the String
// class, for walking a property table's entry set.
struct PropertyMethods {
    jmethodID hasNext = nullptr;
    jmethodID next = nullptr;
    jmethodID getKey = nullptr;
    jmethodID getValue = nullptr;
    jclass stringClass = nullptr;
};

class JavaCalls {
public:
    // A parameterless method returning an object; null for a null object or
    // method, or after a failure (failed then true). Nothing is called once
    // failed is true.
    static jobject CallObject(JNIEnv* jni, jobject object, jmethodID method, bool& failed);
    static jobject CallStaticObject(JNIEnv* jni, jclass clazz, jmethodID method, bool& failed);
    // A local reference to the class declaring method, valid in the current
    // frame; null for a null method or jvmti (a failure is logged).
    static jclass DeclaringClass(jvmtiEnv* jvmti, jmethodID method);

    // The Runtime methods through JNI's own class look-up; false (nothing
    // logged) when Runtime or getRuntime cannot be had. The class reference
    // is a local reference of the caller's frame.
    static bool FindRuntimeMethods(JNIEnv* jni, RuntimeMethods& methods);
    // Calls getRuntime, then each figure method present, in the order total,
    // max, free, into totals. A figure is stored only when its call
    // succeeded; a failure stops the rest. True when every call succeeded.
    static bool ReadHeapTotals(JNIEnv* jni, const RuntimeMethods& methods, HeapTotals& totals);

    // Appends one <prop> per entry the iterator yields, while hasNext says
    // so; an entry whose key or value is null or not a String is skipped. Each
    // entry's references go before the next.
    static void WriteProperties(JNIEnv* jni, jobject iterator, const PropertyMethods& methods, StringBuffer& buffer);
    // System.getProperties() as <prop> elements, every class and method
    // found in info's class model; nothing when one is missing. Every
    // reference stays in the caller's frame.
    static void WriteSystemProperties(JvmInfo& info, jvmtiEnv* jvmti, JNIEnv* jni, StringBuffer& buffer);
};

}  // namespace Orlo
