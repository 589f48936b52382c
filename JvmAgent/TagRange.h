// The tags one tagging pass gives out, and the tests the heap walk makes on
// every tag it meets. A tag of this pass is the address of one of its class
// or thread records, or an object number in [firstObject, nextObject);
// anything else was left by an earlier pass and counts as no tag. Pure
// functions of addresses and numbers: no record is read, no JVM is asked.
// Inline, for the heap walk calls them once or more per reference.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

namespace Orlo {

// The tag of a record: its address.
inline jlong TagOf(const void* record) { return static_cast<jlong>(reinterpret_cast<uintptr_t>(record)); }

// Index of the record a tag addresses in an array of count records, or -1:
// also for an address inside a record or a null array.
template <class T> inline int RecordIndex(jlong tag, const T* array, int count) {
    if (!array || tag == 0) return -1;
    const uintptr_t address = static_cast<uintptr_t>(tag);
    const uintptr_t start = reinterpret_cast<uintptr_t>(array);
    if (address < start || address >= reinterpret_cast<uintptr_t>(array + count)) return -1;
    if ((address - start) % sizeof(T) != 0) return -1;
    return static_cast<int>((address - start) / sizeof(T));
}

template <class ClassRecord, class ThreadRecord> struct TagRange {
    const ClassRecord* classes = nullptr;
    int classCount = 0;
    const ThreadRecord* threads = nullptr;
    int threadCount = 0;
    // Object numbers start past the last record, so no number is a record's address.
    jlong firstObject = 0;
    jlong nextObject = 0;

    int ClassIndex(jlong tag) const { return RecordIndex(tag, classes, classCount); }
    int ThreadIndex(jlong tag) const { return RecordIndex(tag, threads, threadCount); }
    // Within the class records' addresses, whether or not at a record's start:
    // the cheap test for a referrer's class tag.
    bool InClassRange(jlong tag) const {
        return classes && tag >= TagOf(classes) && tag < TagOf(classes + classCount);
    }
    bool IsObjectNumber(jlong tag) const { return tag >= firstObject && tag < nextObject; }
    // Object numbers first: they are most of the tags the walk meets.
    bool IsCurrent(jlong tag) const { return IsObjectNumber(tag) || ClassIndex(tag) >= 0 || ThreadIndex(tag) >= 0; }
    // info, or a copy of it in copy without a thread tag of an earlier pass.
    const jvmtiHeapReferenceInfo* WithCurrentThread(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                                                    jvmtiHeapReferenceInfo& copy) const {
        const bool stack = kind == JVMTI_HEAP_REFERENCE_STACK_LOCAL;
        if (!info || (!stack && kind != JVMTI_HEAP_REFERENCE_JNI_LOCAL)) return info;
        const jlong thread = stack ? info->stack_local.thread_tag : info->jni_local.thread_tag;
        if (thread == 0 || ThreadIndex(thread) >= 0) return info;
        copy = *info;
        (stack ? copy.stack_local.thread_tag : copy.jni_local.thread_tag) = 0;
        return &copy;
    }
    // The first number past every record, where object numbers begin.
    jlong PastRecords() const {
        jlong past = classes ? TagOf(classes + classCount) : 0;
        if (threads && past < TagOf(threads + threadCount)) past = TagOf(threads + threadCount);
        return past;
    }
};

}  // namespace Orlo
