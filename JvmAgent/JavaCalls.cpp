#include "JavaCalls.h"

#include "JniScope.h"
#include "JvmInfo.h"
#include "JvmMethodInfo.h"
#include "Orlo.h"
#include "StringBuffer.h"
#include "XmlUtils.h"

namespace Orlo {

namespace {

// One <prop>; an entry whose characters cannot be had is skipped.
void AppendProperty(JNIEnv* jni, StringBuffer& buffer, jstring key, jstring value) {
    StringChars name(jni, key);
    if (!name.Get()) return;
    StringChars text(jni, value);
    if (!text.Get()) return;
    // Names are escaped too: a name holding '"' or '<' must not break the response.
    buffer.Append("<prop name=\"");
    XmlUtils::EncodeXmlString(buffer, name.Get());
    buffer.Append("\" value=\"");
    XmlUtils::EncodeXmlString(buffer, text.Get());
    buffer.Append("\"/>");
}

}  // namespace

jobject JavaCalls::CallObject(JNIEnv* jni, jobject object, jmethodID method, bool& failed) {
    if (!object || !method || failed) return nullptr;
    jobject result = jni->CallObjectMethod(object, method);
    failed = ExceptionRaised(jni, "CallObjectMethod");
    return failed ? nullptr : result;
}

jobject JavaCalls::CallStaticObject(JNIEnv* jni, jclass clazz, jmethodID method, bool& failed) {
    if (!clazz || !method || failed) return nullptr;
    jobject result = jni->CallStaticObjectMethod(clazz, method);
    failed = ExceptionRaised(jni, "CallStaticObjectMethod");
    return failed ? nullptr : result;
}

bool JavaCalls::FindRuntimeMethods(JNIEnv* jni, RuntimeMethods& methods) {
    methods = RuntimeMethods();
    methods.runtimeClass = jni->FindClass("java/lang/Runtime");
    if (!methods.runtimeClass) {
        if (jni->ExceptionCheck()) jni->ExceptionClear();
        return false;
    }
    // A method JNI cannot find leaves an exception; the figure is then left out.
    auto find = [&](const char* name, const char* signature, bool isStatic) {
        jmethodID id = isStatic ? jni->GetStaticMethodID(methods.runtimeClass, name, signature)
                                : jni->GetMethodID(methods.runtimeClass, name, signature);
        if (jni->ExceptionCheck()) jni->ExceptionClear();
        return id;
    };
    methods.getRuntime = find("getRuntime", "()Ljava/lang/Runtime;", true);
    methods.totalMemory = find("totalMemory", "()J", false);
    methods.maxMemory = find("maxMemory", "()J", false);
    methods.freeMemory = find("freeMemory", "()J", false);
    return methods.getRuntime != nullptr;
}

bool JavaCalls::ReadHeapTotals(JNIEnv* jni, const RuntimeMethods& methods, HeapTotals& totals) {
    bool failed = false;
    LocalRef<jobject> runtime(jni, CallStaticObject(jni, methods.runtimeClass, methods.getRuntime, failed));
    if (!runtime.Get()) return false;
    const struct {
        jmethodID method;
        int64_t* figure;
    } figures[] = {{methods.totalMemory, &totals.total},
                   {methods.maxMemory, &totals.max},
                   {methods.freeMemory, &totals.free}};
    for (const auto& figure : figures) {
        if (!figure.method) continue;
        jlong value = jni->CallLongMethod(runtime.Get(), figure.method);
        if (ExceptionRaised(jni, "CallLongMethod")) return false;
        *figure.figure = value;
    }
    return true;
}

jclass JavaCalls::DeclaringClass(jvmtiEnv* jvmti, jmethodID method) {
    jclass clazz = nullptr;
    if (jvmti && method) CheckJvmtiError(jvmti->GetMethodDeclaringClass(method, &clazz), "GetMethodDeclaringClass");
    return clazz;
}

void JavaCalls::WriteProperties(JNIEnv* jni, jobject iterator, const PropertyMethods& methods,
                                StringBuffer& buffer) {
    if (!iterator || !methods.hasNext || !methods.next || !methods.getKey || !methods.getValue ||
        !methods.stringClass)
        return;
    bool failed = false;
    while (!failed) {
        jboolean more = jni->CallBooleanMethod(iterator, methods.hasNext);
        if (ExceptionRaised(jni, "CallBooleanMethod") || !more) break;
        LocalRef<jobject> entry(jni, CallObject(jni, iterator, methods.next, failed));
        LocalRef<jobject> key(jni, CallObject(jni, entry.Get(), methods.getKey, failed));
        LocalRef<jobject> value(jni, CallObject(jni, entry.Get(), methods.getValue, failed));
        if (key.Get() && value.Get() && jni->IsInstanceOf(key.Get(), methods.stringClass) &&
            jni->IsInstanceOf(value.Get(), methods.stringClass))
            AppendProperty(jni, buffer, static_cast<jstring>(key.Get()), static_cast<jstring>(value.Get()));
    }
}

void JavaCalls::WriteSystemProperties(JvmInfo& info, jvmtiEnv* jvmti, JNIEnv* jni, StringBuffer& buffer) {
    bool failed = false;
    jobject table = info.CallStaticObjectMethod(jvmti, jni, "java.lang.System", "getProperties", failed);
    jobject entries = info.CallObjectMethod(jni, table, "java.util.Properties", "entrySet", failed);
    jobject iterator = info.CallObjectMethod(jni, entries, "java.util.Set", "iterator", failed);
    if (!iterator) return;

    const JvmClassInfo* iteratorClass = nullptr;
    const JvmClassInfo* entryClass = nullptr;
    const JvmClassInfo* stringClass = nullptr;
    const JvmMethodInfo *hasNext = nullptr, *next = nullptr, *getKey = nullptr, *getValue = nullptr,
                        *length = nullptr;
    info.GetClassMethodHandles("java.util.Iterator", "hasNext", &iteratorClass, &hasNext);
    info.GetClassMethodHandles("java.util.Iterator", "next", &iteratorClass, &next);
    info.GetClassMethodHandles("java.util.Map$Entry", "getKey", &entryClass, &getKey);
    info.GetClassMethodHandles("java.util.Map$Entry", "getValue", &entryClass, &getValue);
    info.GetClassMethodHandles("java.lang.String", "length", &stringClass, &length);
    if (!hasNext || !next || !getKey || !getValue) return;
    // Keys and values are read as text only when they are strings.
    const PropertyMethods methods = {hasNext->GetJvmId(), next->GetJvmId(), getKey->GetJvmId(), getValue->GetJvmId(),
                                     DeclaringClass(jvmti, length ? length->GetJvmId() : nullptr)};
    WriteProperties(jni, iterator, methods, buffer);
}

}  // namespace Orlo
