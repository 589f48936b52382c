// The <obj>, <arrayobj> and <ref> records of the heap walk, and its trace
// line. The walk, on the VM thread at a safepoint, only captures each
// reference's values (Capture: stores, nothing else); the snapshot writer
// thread turns them into text (FormatCaptured) beside the walk. The records
// convert numbers by hand, so no printf; the trace line is for trace
// logging only.
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

    // One recorded reference as the walk saw it, and the object record
    // before it when the object was reached for the first time: what the
    // text needs and no more, fixed size so the walk only stores.
    struct Captured {
        jlong tag;
        jlong classTag;
        jlong size;
        jlong referrerTag;  // 0: none shown
        jlong threadTag;    // this and the next two: locals only
        jlong threadId;
        uint64_t method;
        jint kind;    // the kind, with NEW_OBJECT and HAS_INFO
        jint length;  // -1: not an array
        jint index;   // field or array index, a local's depth
        jint slot;
    };
    static constexpr jint KIND_MASK = 0xFF;
    static constexpr jint NEW_OBJECT = 0x100;
    static constexpr jint HAS_INFO = 0x200;

    // Stores one reference's values; referrerTag 0 shows none. Inline, for
    // the heap callback.
    static void Capture(Captured& out, jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info, jlong tag,
                        jlong classTag, jlong size, jlong referrerTag, jint length, bool newObject) {
        out.tag = tag;
        out.classTag = classTag;
        out.size = size;
        out.referrerTag = referrerTag;
        out.length = length;
        out.kind = static_cast<jint>(kind) | (newObject ? NEW_OBJECT : 0) | (info ? HAS_INFO : 0);
        if (!info) return;
        switch (kind) {
        case JVMTI_HEAP_REFERENCE_FIELD:
        case JVMTI_HEAP_REFERENCE_STATIC_FIELD:
            out.index = info->field.index;
            break;
        case JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT:
            out.index = info->array.index;
            break;
        case JVMTI_HEAP_REFERENCE_STACK_LOCAL:
            out.threadTag = info->stack_local.thread_tag;
            out.threadId = info->stack_local.thread_id;
            out.index = info->stack_local.depth;
            out.method = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(info->stack_local.method));
            out.slot = info->stack_local.slot;
            break;
        case JVMTI_HEAP_REFERENCE_JNI_LOCAL:
            out.threadTag = info->jni_local.thread_tag;
            out.threadId = info->jni_local.thread_id;
            out.index = info->jni_local.depth;
            out.method = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(info->jni_local.method));
            break;
        default:
            break;
        }
    }
    // The text of a captured reference: its object record when new, then
    // its reference record, exactly as FormatObject and FormatReference
    // write them; returns the byte count (at most MAX_SIZE).
    static size_t FormatCaptured(char* out, const Captured& record);

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
