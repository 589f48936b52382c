// The values of the instance fields that java.lang.Class itself declares
// (reflection caches, ClassValue maps, annotation data...) on class objects:
// the JVM's reference walk and its heap dump report none of them, so what
// only they hold would look unreachable. Gathered through JNI into one
// temporary Object[], from which a further walk, or the dump, finds them.
// Used by the client thread under the agent monitor; no JVMTI callback.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <vector>

namespace Orlo {

class ClassFieldValues {
public:
    // Where one slot of the holder came from.
    struct Source {
        jint classIndex;  // into the class objects given to Collect
        jint field;       // into the fields given to Collect
    };

    // java.lang.Class's own non-static fields of reference type on this JVM
    // (the set differs between releases; fields the VM injects are not listed).
    static std::vector<jfieldID> ReferenceFields(jvmtiEnv* jvmti, JNIEnv* jni);

    // A new Object[] (a local reference of the caller's frame) holding, from
    // slot `reserved` on, each non-null value of fields on the count class
    // objects, with sources[i] saying where slot reserved + i came from.
    // valuesOnly leaves out class objects, class loaders and protection
    // domains, which a heap dump links to their classes already. Null, logged, on a Java exception
    // (out of memory); slots left null when values went null meanwhile.
    static jobjectArray Collect(JNIEnv* jni, const jobject* classes, jint count, const std::vector<jfieldID>& fields,
                                jint reserved, bool valuesOnly, std::vector<Source>& sources);

    // For a heap dump: the values (valuesOnly) on every loaded class in an
    // Object[] whose slot 0 holds the array itself, so that it can be told
    // from the application's arrays in the dump; a local reference of the
    // caller's frame (it makes room for its own). Null when there are no
    // values or on failure (logged); length: the array's length.
    static jobjectArray DumpHolder(jvmtiEnv* jvmti, JNIEnv* jni, jint& length);
};

}  // namespace Orlo
