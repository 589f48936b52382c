// The values of the instance fields that java.lang.Class itself declares
// (reflection caches, ClassValue maps, annotation data...) on class objects:
// the JVM's reference walk and its heap dump report none of them, so what
// only they hold would look unreachable. Gathered through JNI into one
// temporary Object[], the holder, from which a further walk of the snapshot,
// or the heap dump's reader, finds them.
// The snapshot's walk belongs to one JvmInfo: Gather and End run on the
// client thread under the agent monitor, Record is that walk's callback.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstddef>
#include <functional>
#include <vector>

namespace Orlo {

class JvmInfo;

class ClassFieldValues {
public:
    // What DumpHolder's values need, made while the heap has room, for
    // FillDumpHolder once it has none: java.lang.Class's reference fields,
    // global references to the classes whose instances a dump links to their
    // classes already, and the holder, of a length fixed then.
    struct PreparedHolder {
        std::vector<jfieldID> fields;
        std::vector<jclass> linked;
        jobjectArray holder = nullptr;
        jint length = 0;
    };

    // The holder's tag during the snapshot's walk.
    static constexpr jlong HOLDER_TAG = -1;

    explicit ClassFieldValues(JvmInfo& info) : info(info) {}
    ClassFieldValues(const ClassFieldValues&) = delete;
    ClassFieldValues& operator=(const ClassFieldValues&) = delete;

    // The snapshot's walk, after the heap walk. Gather puts the values on
    // every class object the tagging pass tagged (classes loaded since are
    // left out, as the heap walk leaves them out) into a new holder tagged
    // HOLDER_TAG: a local reference of the caller's frame; null when there
    // are none or on failure (logged). The walk starts at the holder with a
    // callback that forwards to Record; End untags the holder.
    jobjectArray Gather(JNIEnv* jni);
    // Writes each holder slot as a field reference of the class object it
    // came from, and every other reference as the heap walk does; follows
    // only objects that were not recorded before. JVMTI visit flags. On the
    // VM thread: no allocation.
    jint Record(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* reference, jlong classTag,
                jlong referrerClassTag, jlong size, jlong* tagPtr, jlong* referrerTagPtr, jint length);
    void End(jobject holder);

    // Gather's values for a snapshot made from a heap dump, whose reader
    // finds them by their slots: from slot `reserved` on (slots before it
    // left null for the caller), in a holder left untagged; Value(i) says
    // where slot reserved + i came from, and no object is tagged. Null when
    // there are no values or on failure (logged).
    jobjectArray GatherForDump(JNIEnv* jni, jint reserved);
    // The class object's tag and java.lang.Class's field index (-1: not
    // listed) of the i-th value of the last Gather or GatherForDump.
    jlong ValueClassTag(size_t i) const { return sources[i].classKey; }
    jint ValueFieldIndex(size_t i) const { return sources[i].field; }

    // Forgets the last Gather.
    void Clear();
    // Values found on class objects by the last Gather.
    size_t Count() const { return sources.size(); }
    // The first object number the last walk gave; 0: none. Only these
    // objects' own tags hold them: no untag walk from the roots reaches them.
    jlong FirstTag() const { return firstTag; }

    // For a heap dump: the values on every loaded class but class objects,
    // class loaders and protection domains, which the dump links to their
    // classes already, in a holder whose slot 0 holds the holder itself, so
    // that it can be told from the application's arrays in the dump; a local
    // reference of the caller's frame. Null when there are no values or on
    // failure (logged); length: the holder's length.
    static jobjectArray DumpHolder(jvmtiEnv* jvmti, JNIEnv* jni, jint& length);
    // A holder of room for four values per class loaded now and some more.
    // False (logged) when something cannot be had.
    static bool PrepareDumpHolder(jvmtiEnv* jvmti, JNIEnv* jni, PreparedHolder& prepared);
    // DumpHolder's values in the prepared holder, which then names itself in
    // slot 0; values beyond its length are left out. Takes nothing from the
    // Java heap. False when there are none (the holder is then of no use).
    static bool FillDumpHolder(jvmtiEnv* jvmti, JNIEnv* jni, const PreparedHolder& prepared);
    // Empties the prepared holder, so that it keeps nothing alive.
    static void ClearDumpHolder(JNIEnv* jni, const PreparedHolder& prepared);

private:
    // Where one slot of a holder came from: the key the class was kept under
    // and the field, by its index in the walked list or, once Gather has
    // mapped it, in java.lang.Class's field list of the tagging pass (-1:
    // not listed).
    struct Source {
        jlong classKey;
        jint field;
    };
    // Whether a loaded class takes part, and under which key.
    using ClassFilter = std::function<bool(jclass clazz, jlong& key)>;

    // java.lang.Class's own non-static fields of reference type on this JVM
    // (the set differs between releases; fields the VM injects are not listed).
    static std::vector<jfieldID> ReferenceFields(jvmtiEnv* jvmti, JNIEnv* jni);
    // The one walk over the loaded classes every holder comes from: an
    // Object[] (a local reference of the caller's frame) holding, from slot
    // `reserved` on, each non-null value of fields on the classes keep
    // accepts that is an instance of none of the classes `linked`, with
    // found[i] saying where slot reserved + i came from. A new array, or
    // `into` when given: values beyond its length are then left out and its
    // slots after the last value cleared. Null, logged, on a Java exception
    // (out of memory); slots left null when values went null meanwhile.
    static jobjectArray Collect(jvmtiEnv* jvmti, JNIEnv* jni, const std::vector<jfieldID>& fields, jint reserved,
                                const std::vector<jclass>& linked, const ClassFilter& keep, std::vector<Source>& found,
                                jobjectArray into = nullptr);
    // The classes whose instances a dump links to their classes already, as
    // local references of the caller's frame; empty after a Java exception.
    static std::vector<jclass> LinkedClasses(JNIEnv* jni);

    JvmInfo& info;
    std::vector<Source> sources;  // per holder slot of the last Gather
    jlong firstTag = 0;
};

}  // namespace Orlo
