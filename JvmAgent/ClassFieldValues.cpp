#include "ClassFieldValues.h"

#include <cstring>

#include "JniScope.h"
#include "Orlo.h"
#include "VeskLogger.h"

namespace Orlo {

std::vector<jfieldID> ClassFieldValues::ReferenceFields(jvmtiEnv* jvmti, JNIEnv* jni) {
    std::vector<jfieldID> found;
    if (!jvmti || !jni) return found;
    LocalRef<jclass> javaLangClass(jni, jni->FindClass("java/lang/Class"));
    if (ExceptionRaised(jni, "FindClass(java.lang.Class)") || !javaLangClass.Get()) return found;
    jint count = 0;
    JvmtiMemory<jfieldID> fields(jvmti);
    if (!CheckJvmtiError(jvmti->GetClassFields(javaLangClass.Get(), &count, fields.Out()), "GetClassFields"))
        return found;
    for (jint i = 0; i < count; i++) {
        jint modifiers = 0;
        JvmtiMemory<char> signature(jvmti);
        if (!CheckJvmtiError(jvmti->GetFieldModifiers(javaLangClass.Get(), fields[i], &modifiers),
                             "GetFieldModifiers") ||
            !CheckJvmtiError(jvmti->GetFieldName(javaLangClass.Get(), fields[i], nullptr, signature.Out(), nullptr),
                             "GetFieldName"))
            continue;
        const char kind = signature.Get() ? signature.Get()[0] : '\0';
        if ((modifiers & 0x0008) == 0 && (kind == 'L' || kind == '[')) found.push_back(fields[i]);
    }
    return found;
}

jobjectArray ClassFieldValues::Collect(JNIEnv* jni, const jobject* classes, jint count,
                                       const std::vector<jfieldID>& fields, jint reserved, bool valuesOnly,
                                       std::vector<Source>& sources) {
    sources.clear();
    if (!jni || fields.empty()) return nullptr;
    LocalRef<jclass> javaLangClass(jni, valuesOnly ? jni->FindClass("java/lang/Class") : nullptr);
    LocalRef<jclass> loaderClass(jni, valuesOnly ? jni->FindClass("java/lang/ClassLoader") : nullptr);
    LocalRef<jclass> domainClass(jni, valuesOnly ? jni->FindClass("java/security/ProtectionDomain") : nullptr);
    if (ExceptionRaised(jni, "FindClass")) return nullptr;
    auto wanted = [&](jobject value) {
        return value && (!valuesOnly || (!jni->IsInstanceOf(value, javaLangClass.Get()) &&
                                         !jni->IsInstanceOf(value, loaderClass.Get()) &&
                                         !jni->IsInstanceOf(value, domainClass.Get())));
    };
    // Counted first, so the holder is allocated once at its size.
    for (jint c = 0; c < count; c++) {
        if (!classes[c]) continue;
        for (size_t f = 0; f < fields.size(); f++) {
            LocalRef<jobject> value(jni, jni->GetObjectField(classes[c], fields[f]));
            if (wanted(value.Get())) sources.push_back({c, static_cast<jint>(f)});
        }
    }
    LocalRef<jclass> objectClass(jni, jni->FindClass("java/lang/Object"));
    if (ExceptionRaised(jni, "FindClass(java.lang.Object)")) return nullptr;
    jobjectArray holder =
        jni->NewObjectArray(reserved + static_cast<jint>(sources.size()), objectClass.Get(), nullptr);
    if (ExceptionRaised(jni, "NewObjectArray") || !holder) {
        sources.clear();
        return nullptr;
    }
    // Values set or cleared by Java threads since the count keep their slot or leave it null.
    for (size_t i = 0; i < sources.size(); i++) {
        LocalRef<jobject> value(jni, jni->GetObjectField(classes[sources[i].classIndex], fields[sources[i].field]));
        if (wanted(value.Get())) jni->SetObjectArrayElement(holder, reserved + static_cast<jint>(i), value.Get());
    }
    return holder;
}

jobjectArray ClassFieldValues::DumpHolder(jvmtiEnv* jvmti, JNIEnv* jni, jint& length) {
    length = 0;
    const std::vector<jfieldID> fields = ReferenceFields(jvmti, jni);
    JvmtiMemory<jclass> classes(jvmti);
    jint count = 0;
    if (fields.empty() || !CheckJvmtiError(jvmti->GetLoadedClasses(&count, classes.Out()), "GetLoadedClasses") ||
        count <= 0)
        return nullptr;
    // One local reference per class, the holder and a few more.
    if (jni->EnsureLocalCapacity(count + 16) != JNI_OK) {
        ExceptionRaised(jni, "EnsureLocalCapacity");
        return nullptr;
    }
    std::vector<Source> sources;
    jobjectArray holder =
        Collect(jni, reinterpret_cast<const jobject*>(classes.Get()), count, fields, 1, true, sources);
    for (jint i = 0; i < count; i++) jni->DeleteLocalRef(classes[i]);
    if (!holder) return nullptr;
    if (sources.empty()) {
        jni->DeleteLocalRef(holder);
        return nullptr;
    }
    jni->SetObjectArrayElement(holder, 0, holder);
    length = 1 + static_cast<jint>(sources.size());
    return holder;
}

}  // namespace Orlo
