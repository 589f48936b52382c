#include "ClassFieldValues.h"

#include <cstring>

#include "JniScope.h"
#include "JvmAgent.h"
#include "JvmClassInfo.h"
#include "JvmFieldInfo.h"
#include "JvmInfo.h"
#include "Orlo.h"
#include "VeskLogger.h"

namespace Orlo {

namespace {

// Local references a walk holds beside one per class: the holder, the
// classes it tests values against, a value.
constexpr jint FRAME_HEADROOM = 16;

}  // namespace

jobjectArray ClassFieldValues::Gather(JNIEnv* jni) {
    jobjectArray holder = GatherForDump(jni, 0);
    firstTag = info.GetNextObjectTag();
    if (!holder) return nullptr;
    if (!CheckJvmtiError(info.GetTagEnv()->SetTag(holder, HOLDER_TAG), "SetTag")) {
        sources.clear();
        jni->DeleteLocalRef(holder);
        return nullptr;
    }
    return holder;
}

jobjectArray ClassFieldValues::GatherForDump(JNIEnv* jni, jint reserved) {
    Clear();
    jvmtiEnv* tags = info.GetTagEnv();
    jvmtiEnv* jvmti = agent ? agent->GetJvmtiEnv() : nullptr;
    const JvmClassInfo* javaLangClass = info.GetJavaLangClass();
    if (!tags || !jvmti || !jni || !javaLangClass || info.GetClassCount() == 0) return nullptr;
    const std::vector<jfieldID> fields = ReferenceFields(jvmti, jni);
    // Each field's index as the walk numbers java.lang.Class's fields.
    std::vector<jint> indices(fields.size(), -1);
    for (size_t f = 0; f < fields.size(); f++)
        for (const JvmFieldInfo& field : javaLangClass->GetMasterFields())
            if (field.GetJvmId() == fields[f]) indices[f] = field.GetIndex();
    // The class objects as they are now, each known by its record's tag.
    auto tagged = [&](jclass clazz, jlong& tag) {
        tag = 0;
        return CheckJvmtiError(tags->GetTag(clazz, &tag), "GetTag") && info.IsClassTag(tag);
    };
    jobjectArray holder = Collect(jvmti, jni, fields, reserved, {}, tagged, sources);
    if (!holder) return nullptr;
    for (Source& source : sources) source.field = indices[static_cast<size_t>(source.field)];
    if (sources.empty()) {
        jni->DeleteLocalRef(holder);
        return nullptr;
    }
    return holder;
}

jint ClassFieldValues::Record(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* reference, jlong classTag,
                              jlong referrerClassTag, jlong size, jlong* tagPtr, jlong* referrerTagPtr, jint length) {
    // What the heap walk recorded was followed then.
    const bool recorded = info.IsCurrentTag(*tagPtr);
    bool go = true;
    if (referrerTagPtr && *referrerTagPtr == HOLDER_TAG) {
        if (kind != JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT || !reference || reference->array.index < 0 ||
            static_cast<size_t>(reference->array.index) >= sources.size())
            return 0;  // the holder's class
        // The reference the walk would have reported: the class object's field.
        const Source& source = sources[static_cast<size_t>(reference->array.index)];
        jvmtiHeapReferenceInfo field;
        memset(&field, 0, sizeof field);
        field.field.index = source.field;
        jlong classObject = source.classKey;
        go = info.RecordHeapReference(JVMTI_HEAP_REFERENCE_FIELD, source.field >= 0 ? &field : nullptr, classTag,
                                      info.GetJavaLangClassTag(), size, tagPtr, &classObject, length);
    } else {
        go = info.RecordHeapReference(kind, reference, classTag, referrerClassTag, size, tagPtr, referrerTagPtr,
                                      length);
    }
    if (!go) return JVMTI_VISIT_ABORT;
    return recorded ? 0 : JVMTI_VISIT_OBJECTS;
}

void ClassFieldValues::End(jobject holder) {
    if (holder && info.GetTagEnv()) CheckJvmtiError(info.GetTagEnv()->SetTag(holder, 0), "SetTag");
}

void ClassFieldValues::Clear() {
    sources.clear();
    firstTag = 0;
}

jobjectArray ClassFieldValues::DumpHolder(jvmtiEnv* jvmti, JNIEnv* jni, jint& length) {
    length = 0;
    const std::vector<jfieldID> fields = ReferenceFields(jvmti, jni);
    auto every = [](jclass, jlong& key) {
        key = 0;
        return true;
    };
    std::vector<Source> found;
    LocalFrame frame(jni, FRAME_HEADROOM);
    std::vector<jclass> linked = frame.Pushed() ? LinkedClasses(jni) : std::vector<jclass>();
    if (linked.empty()) return nullptr;
    jobjectArray holder = Collect(jvmti, jni, fields, 1, linked, every, found);
    if (!holder) return nullptr;
    if (found.empty()) return nullptr;
    jni->SetObjectArrayElement(holder, 0, holder);
    length = 1 + static_cast<jint>(found.size());
    return frame.Pop(holder);
}

std::vector<jclass> ClassFieldValues::LinkedClasses(JNIEnv* jni) {
    std::vector<jclass> linked;
    for (const char* name : {"java/lang/Class", "java/lang/ClassLoader", "java/security/ProtectionDomain"})
        linked.push_back(jni->FindClass(name));
    if (ExceptionRaised(jni, "FindClass")) linked.clear();
    return linked;
}

bool ClassFieldValues::PrepareDumpHolder(jvmtiEnv* jvmti, JNIEnv* jni, PreparedHolder& prepared) {
    LocalFrame frame(jni, FRAME_HEADROOM);
    if (!frame.Pushed()) return false;
    prepared.fields = ReferenceFields(jvmti, jni);
    std::vector<jclass> linked = LinkedClasses(jni);
    jclass objectClass = jni->FindClass("java/lang/Object");
    jint classes = 0;
    JvmtiMemory<jclass> loaded(jvmti);
    if (prepared.fields.empty() || linked.empty() || ExceptionRaised(jni, "FindClass(java.lang.Object)") ||
        !CheckJvmtiError(jvmti->GetLoadedClasses(&classes, loaded.Out()), "GetLoadedClasses"))
        return false;
    for (jint i = 0; i < classes; i++) jni->DeleteLocalRef(loaded[i]);
    const jint length = 4 * classes + 4096;
    jobjectArray holder = jni->NewObjectArray(length, objectClass, nullptr);
    if (ExceptionRaised(jni, "NewObjectArray") || !holder) return false;
    prepared.holder = static_cast<jobjectArray>(jni->NewGlobalRef(holder));
    for (jclass clazz : linked) prepared.linked.push_back(static_cast<jclass>(jni->NewGlobalRef(clazz)));
    prepared.length = length;
    return prepared.holder != nullptr;
}

bool ClassFieldValues::FillDumpHolder(jvmtiEnv* jvmti, JNIEnv* jni, const PreparedHolder& prepared) {
    if (!prepared.holder) return false;
    auto every = [](jclass, jlong& key) {
        key = 0;
        return true;
    };
    std::vector<Source> found;
    LocalFrame frame(jni, FRAME_HEADROOM);
    if (!frame.Pushed() ||
        !Collect(jvmti, jni, prepared.fields, 1, prepared.linked, every, found, prepared.holder) || found.empty())
        return false;
    jni->SetObjectArrayElement(prepared.holder, 0, prepared.holder);
    return true;
}

void ClassFieldValues::ClearDumpHolder(JNIEnv* jni, const PreparedHolder& prepared) {
    for (jint i = 0; prepared.holder && i < prepared.length; i++)
        jni->SetObjectArrayElement(prepared.holder, i, nullptr);
}

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

jobjectArray ClassFieldValues::Collect(jvmtiEnv* jvmti, JNIEnv* jni, const std::vector<jfieldID>& fields,
                                       jint reserved, const std::vector<jclass>& linked, const ClassFilter& keep,
                                       std::vector<Source>& found, jobjectArray into) {
    found.clear();
    if (!jvmti || !jni || fields.empty()) return nullptr;
    // Every class reference dies with the frame; the holder leaves it.
    LocalFrame frame(jni, FRAME_HEADROOM);
    if (!frame.Pushed()) return nullptr;
    JvmtiMemory<jclass> loaded(jvmti);
    jint count = 0;
    if (!CheckJvmtiError(jvmti->GetLoadedClasses(&count, loaded.Out()), "GetLoadedClasses") || count <= 0 ||
        !frame.Reserve(count + FRAME_HEADROOM))
        return nullptr;
    std::vector<jclass> classes;
    std::vector<jlong> keys;
    classes.reserve(static_cast<size_t>(count));
    keys.reserve(static_cast<size_t>(count));
    for (jint i = 0; i < count; i++) {
        jlong key = 0;
        if (!keep(loaded[i], key)) continue;
        classes.push_back(loaded[i]);
        keys.push_back(key);
    }
    auto wanted = [&](jobject value) {
        if (!value) return false;
        for (jclass clazz : linked)
            if (jni->IsInstanceOf(value, clazz)) return false;
        return true;
    };
    // Counted first, so the holder is allocated once at its size.
    std::vector<Source> slots;
    for (size_t c = 0; c < classes.size(); c++) {
        for (size_t f = 0; f < fields.size(); f++) {
            LocalRef<jobject> value(jni, jni->GetObjectField(classes[c], fields[f]));
            if (wanted(value.Get())) slots.push_back({static_cast<jlong>(c), static_cast<jint>(f)});
        }
    }
    jobjectArray holder = into;
    if (holder) {
        const jint length = jni->GetArrayLength(holder);
        if (static_cast<jint>(slots.size()) > length - reserved) slots.resize(static_cast<size_t>(length - reserved));
        for (jint i = reserved + static_cast<jint>(slots.size()); i < length; i++)
            jni->SetObjectArrayElement(holder, i, nullptr);
    } else {
        jclass objectClass = jni->FindClass("java/lang/Object");
        if (ExceptionRaised(jni, "FindClass(java.lang.Object)")) return nullptr;
        holder = jni->NewObjectArray(reserved + static_cast<jint>(slots.size()), objectClass, nullptr);
        if (ExceptionRaised(jni, "NewObjectArray") || !holder) return nullptr;
    }
    // Values set or cleared by Java threads since the count keep their slot or leave it null.
    for (size_t i = 0; i < slots.size(); i++) {
        const size_t c = static_cast<size_t>(slots[i].classKey);
        LocalRef<jobject> value(jni, jni->GetObjectField(classes[c], fields[static_cast<size_t>(slots[i].field)]));
        if (wanted(value.Get())) jni->SetObjectArrayElement(holder, reserved + static_cast<jint>(i), value.Get());
        slots[i].classKey = keys[c];
    }
    found.swap(slots);
    return frame.Pop(holder);
}

}  // namespace Orlo
