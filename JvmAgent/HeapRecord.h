// The <obj>, <arrayobj> and <ref> records of the heap walk, and its trace
// line. The records convert numbers by hand: they are written once per heap
// reference, on the VM thread at a safepoint, so no printf; the trace line is
// for trace logging only.
#pragma once

#include <jvmti.h>

#include <cstddef>
#include <cstdint>

namespace Orlo {

class HeapRecord {
public:
    // Room for one object record followed by one reference record.
    static constexpr size_t MAX_SIZE = 512;

    // CLASS, CLASS_LOADER, SIGNERS, PROTECTION_DOMAIN, INTERFACE,
    // CONSTANT_POOL, SUPERCLASS and SYSTEM_CLASS are not recorded.
    static bool IsSkippedKind(jvmtiHeapReferenceKind kind) {
        return kind >= 0 && kind <= 22 && ((0x4006F2u >> kind) & 1u) != 0;
    }
    static bool IsRootKind(jvmtiHeapReferenceKind kind) {
        return kind == JVMTI_HEAP_REFERENCE_JNI_GLOBAL || kind == JVMTI_HEAP_REFERENCE_MONITOR ||
               kind == JVMTI_HEAP_REFERENCE_STACK_LOCAL || kind == JVMTI_HEAP_REFERENCE_JNI_LOCAL ||
               kind == JVMTI_HEAP_REFERENCE_THREAD || kind == JVMTI_HEAP_REFERENCE_OTHER;
    }

    // Lower-case hex without prefix / signed decimal; return the end.
    static char* Hex(char* out, uint64_t value);
    static char* Decimal(char* out, int64_t value);

    // <obj .../> for length -1, else <arrayobj .../>; returns the byte count.
    static size_t FormatObject(char* out, jlong tag, jlong classTag, jlong size, jint length);
    // <ref .../>; referrerTag 0 writes no reftag; info may be null.
    static size_t FormatReference(char* out, jvmtiHeapReferenceKind kind,
                                  const jvmtiHeapReferenceInfo* info, jlong tag, jlong classTag,
                                  jlong size, jlong referrerTag, jint length);

    // Room for one trace line; a longer one is cut.
    static constexpr size_t TRACE_SIZE = 1024;
    // What the trace line names besides the callback's values: the class of
    // the object and of the referrer, and the classes of the objects the two
    // tags name ("?" where unknown).
    struct TraceNames {
        const char* clazz;
        const char* referrerClass;
        const char* target;
        const char* referrer;
    };
    // The trace line of one reference into out (TRACE_SIZE bytes), NUL
    // included. Goes through snprintf: only for trace logging.
    static void FormatTrace(char* out, jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                            jlong classTag, jlong referrerClassTag, jlong size, const jlong* tagPtr,
                            const jlong* referrerTagPtr, jint length, const TraceNames& names);

private:
    // thrdtag, tid, depth and mthdtag of a stack-local or JNI-local root.
    static char* PutLocal(char* out, jlong threadTag, jlong threadId, jint depth, jmethodID method);
};

}  // namespace Orlo
