#include "HeapRecord.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "OrloUtils.h"

namespace Orlo {

namespace {

template <size_t N> inline char* Put(char* out, const char (&text)[N]) {
    memcpy(out, text, N - 1);
    return out + N - 1;
}

// "00" to "99" and "00" to "ff".
struct DigitPairs {
    char dec[200];
    char hex[512];
    constexpr DigitPairs() : dec(), hex() {
        for (int i = 0; i < 100; i++) {
            dec[2 * i] = static_cast<char>('0' + i / 10);
            dec[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
        for (int i = 0; i < 256; i++) {
            hex[2 * i] = "0123456789abcdef"[i >> 4];
            hex[2 * i + 1] = "0123456789abcdef"[i & 15];
        }
    }
};
constexpr DigitPairs PAIRS;

inline uint64_t Bits(const void* pointer) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer));
}

}  // namespace

char* HeapRecord::PutLocal(char* p, jlong threadTag, jlong threadId, jint depth, jmethodID method) {
    p = Put(p, " thrdtag=\"");
    p = Hex(p, static_cast<uint64_t>(threadTag));
    p = Put(p, "\" tid=\"");
    p = Decimal(p, threadId);
    p = Put(p, "\" depth=\"");
    p = Decimal(p, depth);
    p = Put(p, "\" mthdtag=\"");
    p = Hex(p, Bits(method));
    return Put(p, "\"");
}

char* HeapRecord::Hex(char* out, uint64_t value) {
    // Digits are placed from the end, two at a time: no reversal pass.
    char* end = out + (value ? (67 - __builtin_clzll(value)) / 4 : 1);
    char* p = end;
    for (; p - out >= 2; value >>= 8) {
        p -= 2;
        memcpy(p, PAIRS.hex + 2 * (value & 0xFF), 2);
    }
    if (p != out) *--p = PAIRS.hex[2 * value + 1];
    return end;
}

char* HeapRecord::Decimal(char* out, int64_t value) {
    // Negate in unsigned arithmetic so INT64_MIN is safe.
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
        *out++ = '-';
        magnitude = 0 - magnitude;
    }
    int digits = 1;
    for (uint64_t limit = 10; digits < 20 && magnitude >= limit; limit *= 10) digits++;
    char* end = out + digits;
    char* p = end;
    for (; magnitude >= 100; magnitude /= 100) {
        p -= 2;
        memcpy(p, PAIRS.dec + 2 * (magnitude % 100), 2);
    }
    if (magnitude >= 10)
        memcpy(p - 2, PAIRS.dec + 2 * magnitude, 2);
    else
        *--p = static_cast<char>('0' + magnitude);
    return end;
}

size_t HeapRecord::FormatObject(char* out, jlong tag, jlong classTag, jlong size, jint length) {
    char* p = length < 0 ? Put(out, "<obj tag=\"") : Put(out, "<arrayobj tag=\"");
    p = Hex(p, static_cast<uint64_t>(tag));
    p = Put(p, "\" clstag=\"");
    p = Hex(p, static_cast<uint64_t>(classTag));
    p = Put(p, "\" size=\"");
    p = Decimal(p, size);
    if (length >= 0) {
        p = Put(p, "\" len=\"");
        p = Decimal(p, length);
    }
    p = Put(p, "\"/>");
    return static_cast<size_t>(p - out);
}

size_t HeapRecord::FormatReference(char* out, jvmtiHeapReferenceKind kind,
                                   const jvmtiHeapReferenceInfo* info, jlong tag, jlong classTag,
                                   jlong size, jlong referrerTag, jint length) {
    char* p = Put(out, "<ref kind=\"");
    p = Decimal(p, kind);
    p = Put(p, "\" tag=\"");
    p = Hex(p, static_cast<uint64_t>(tag));
    p = Put(p, "\" clstag=\"");
    p = Hex(p, static_cast<uint64_t>(classTag));
    p = Put(p, "\" size=\"");
    p = Decimal(p, size);
    p = Put(p, "\"");
    if (referrerTag != 0) {
        p = Put(p, " reftag=\"");
        p = Hex(p, static_cast<uint64_t>(referrerTag));
        p = Put(p, "\"");
    }
    if (length >= 0) {
        p = Put(p, " len=\"");
        p = Decimal(p, length);
        p = Put(p, "\"");
    }
    switch (kind) {
    case JVMTI_HEAP_REFERENCE_FIELD:
    case JVMTI_HEAP_REFERENCE_STATIC_FIELD:
        if (info) {
            p = Put(p, " index=\"");
            p = Decimal(p, info->field.index);
            p = Put(p, "\"");
        }
        break;
    case JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT:
        if (info) {
            p = Put(p, " index=\"");
            p = Decimal(p, info->array.index);
            p = Put(p, "\"");
        }
        break;
    case JVMTI_HEAP_REFERENCE_STACK_LOCAL:
        if (info) {
            p = PutLocal(p, info->stack_local.thread_tag, info->stack_local.thread_id,
                         info->stack_local.depth, info->stack_local.method);
            p = Put(p, " slot=\"");
            p = Decimal(p, info->stack_local.slot);
            p = Put(p, "\"");
        }
        p = Put(p, " heaproot=\"1\"");
        break;
    case JVMTI_HEAP_REFERENCE_JNI_LOCAL:
        if (info)
            p = PutLocal(p, info->jni_local.thread_tag, info->jni_local.thread_id,
                         info->jni_local.depth, info->jni_local.method);
        p = Put(p, " heaproot=\"1\"");
        break;
    case JVMTI_HEAP_REFERENCE_JNI_GLOBAL:
    case JVMTI_HEAP_REFERENCE_MONITOR:
    case JVMTI_HEAP_REFERENCE_THREAD:
    case JVMTI_HEAP_REFERENCE_OTHER:
        p = Put(p, " heaproot=\"1\"");
        break;
    default:
        break;
    }
    p = Put(p, "/>");
    return static_cast<size_t>(p - out);
}

static_assert(sizeof(HeapRecord::Captured) == 72, "the walk stores 72 bytes a reference");

size_t HeapRecord::FormatCaptured(char* out, const Captured& record) {
    const auto kind = static_cast<jvmtiHeapReferenceKind>(record.kind & KIND_MASK);
    size_t used = 0;
    if (record.kind & NEW_OBJECT) used = FormatObject(out, record.tag, record.classTag, record.size, record.length);
    // Only the members Capture stored for this kind are read back.
    jvmtiHeapReferenceInfo info;
    if (record.kind & HAS_INFO) {
        switch (kind) {
        case JVMTI_HEAP_REFERENCE_FIELD:
        case JVMTI_HEAP_REFERENCE_STATIC_FIELD:
            info.field.index = record.index;
            break;
        case JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT:
            info.array.index = record.index;
            break;
        case JVMTI_HEAP_REFERENCE_STACK_LOCAL:
            info.stack_local.thread_tag = record.threadTag;
            info.stack_local.thread_id = record.threadId;
            info.stack_local.depth = record.index;
            info.stack_local.method = reinterpret_cast<jmethodID>(static_cast<uintptr_t>(record.method));
            info.stack_local.location = 0;
            info.stack_local.slot = record.slot;
            break;
        case JVMTI_HEAP_REFERENCE_JNI_LOCAL:
            info.jni_local.thread_tag = record.threadTag;
            info.jni_local.thread_id = record.threadId;
            info.jni_local.depth = record.index;
            info.jni_local.method = reinterpret_cast<jmethodID>(static_cast<uintptr_t>(record.method));
            break;
        default:
            break;
        }
    }
    return used + FormatReference(out + used, kind, (record.kind & HAS_INFO) ? &info : nullptr, record.tag,
                                  record.classTag, record.size, record.referrerTag, record.length);
}

void HeapRecord::FormatTrace(char* out, jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                             jlong classTag, jlong referrerClassTag, jlong size, const jlong* tagPtr,
                             const jlong* referrerTagPtr, jint length, const TraceNames& names) {
    auto asPointer = [](jlong value) { return reinterpret_cast<void*>(static_cast<uintptr_t>(value)); };
    const jlong tag = *tagPtr;
    const jlong referrerTag = referrerTagPtr ? *referrerTagPtr : 0;
    std::string kindName;
    OrloUtils::FormatHeapReference(kind, kindName);

    // Names are cut so the line always fits the area.
    int used = snprintf(out, TRACE_SIZE,
                        "HEAP: kind=%s, class=%.200s(%p), refClass=%.200s(%p), tagPtr=%p(->%p=%.200s), "
                        "refTagPtr=%p(->%p=%.200s), size=%" PRId64 ", length=%d",
                        kindName.c_str(), names.clazz, asPointer(classTag), names.referrerClass,
                        asPointer(referrerClassTag), static_cast<const void*>(tagPtr), asPointer(tag), names.target,
                        static_cast<const void*>(referrerTagPtr), asPointer(referrerTag), names.referrer,
                        static_cast<int64_t>(size), static_cast<int>(length));
    if (used < 0) {
        out[0] = '\0';
        return;
    }
    size_t pos = static_cast<size_t>(used) < TRACE_SIZE ? static_cast<size_t>(used) : TRACE_SIZE - 1;
    char* rest = out + pos;
    size_t room = TRACE_SIZE - pos;
    if (!info) return;
    switch (kind) {
    case JVMTI_HEAP_REFERENCE_FIELD:
    case JVMTI_HEAP_REFERENCE_STATIC_FIELD:
        snprintf(rest, room, ", INFO: index=%d", static_cast<int>(info->field.index));
        break;
    case JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT:
        snprintf(rest, room, ", INFO: index=%d", static_cast<int>(info->array.index));
        break;
    case JVMTI_HEAP_REFERENCE_CONSTANT_POOL:
        snprintf(rest, room, ", INFO: index=%d", static_cast<int>(info->constant_pool.index));
        break;
    case JVMTI_HEAP_REFERENCE_STACK_LOCAL: {
        const jvmtiHeapReferenceInfoStackLocal& local = info->stack_local;
        snprintf(rest, room, ", INFO: threadTag=%p, threadId=%" PRId64 ", depth=%d, method=%p, location=%" PRId64
                 ", slot=%d",
                 asPointer(local.thread_tag), static_cast<int64_t>(local.thread_id), static_cast<int>(local.depth),
                 static_cast<void*>(local.method), static_cast<int64_t>(local.location), static_cast<int>(local.slot));
        break;
    }
    case JVMTI_HEAP_REFERENCE_JNI_LOCAL: {
        const jvmtiHeapReferenceInfoJniLocal& local = info->jni_local;
        snprintf(rest, room, ", INFO: threadTag=%p, threadId=%" PRId64 ", depth=%d, method=%p",
                 asPointer(local.thread_tag), static_cast<int64_t>(local.thread_id), static_cast<int>(local.depth),
                 static_cast<void*>(local.method));
        break;
    }
    default:
        snprintf(rest, room, ", INFO: <unexpected>");
        break;
    }
}

}  // namespace Orlo
