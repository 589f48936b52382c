#include "HeapHistogram.h"

#include <chrono>
#include <cinttypes>
#include <cstring>
#include <exception>

#include "ExceptionBoundary.h"
#include "JniScope.h"
#include "Orlo.h"
#include "OrloUtils.h"
#include "TagEnvironment.h"
#include "VeskLogger.h"
#include "VeskProtocol.h"

namespace Orlo {

namespace {

// Local references the tagging holds beyond one per class.
constexpr jint LOCAL_REF_HEADROOM = 64;

int64_t MillisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

jint JNICALL CountObjectCB(jlong class_tag, jlong size, jlong*, jint, void* user_data) {
    jint visit = JVMTI_VISIT_ABORT;
    ExceptionBoundary::Run("CountObjectCB", [&] {
        visit = static_cast<HeapHistogram*>(user_data)->CountObject(class_tag, size) ? 0 : JVMTI_VISIT_ABORT;
    });
    return visit;
}

}  // namespace

Error HeapHistogram::Count(jvmtiEnv* agentEnv, JNIEnv* jni) {
    if (!jni) return Error("No JNI environment for the histogram");
    TagEnvironment environment;
    jvmtiEnv* tags = environment.Open(jni, agentEnv);
    if (!tags) return Error("No JVMTI environment for the histogram");
    auto start = std::chrono::steady_clock::now();
    {
        LocalFrame frame(jni, LOCAL_REF_HEADROOM);
        if (!frame.Pushed()) return Error("No JNI local frame for the histogram");
        TagClasses(tags, jni);
    }
    tagMillis = MillisSince(start);
    std::vector<jlong> classTags;
    if (!environment.Owned()) {
        classTags.reserve(rows.size());
        for (const Row& row : rows) classTags.push_back(row.tag);
    }
    if (cancel && cancel->Cancelled()) cancelled = true;
    if (!cancelled) {
        jvmtiHeapCallbacks callbacks;
        memset(&callbacks, 0, sizeof callbacks);
        callbacks.heap_iteration_callback = &CountObjectCB;
        start = std::chrono::steady_clock::now();
        bool passed = CheckJvmtiError(tags->IterateThroughHeap(0, nullptr, &callbacks, this), "IterateThroughHeap");
        passMillis = MillisSince(start);
        if (!passed && !cancelled) {
            environment.Release(false, classTags);
            return Error("The heap pass failed (IterateThroughHeap)");
        }
    }
    environment.Release(false, classTags);
    if (cancelled) return Error(Protocol::CANCELLED_MESSAGE);
    VeskLogger::LogDebug("Histogram: classes=%zu, objects=%" PRId64 ", bytes=%" PRId64 ", untagged=%" PRId64
                         ", tag.msec=%" PRId64 ", pass.msec=%" PRId64,
                         rows.size(), totalInstances, totalBytes, untaggedInstances, tagMillis, passMillis);
    return Error();
}

void HeapHistogram::TagClasses(jvmtiEnv* tags, JNIEnv* jni) {
    JvmtiMemory<jclass> classes(tags);
    jint count = 0;
    if (!CheckJvmtiError(tags->GetLoadedClasses(&count, classes.Out()), "GetLoadedClasses") || count <= 0) return;
    if (jni->EnsureLocalCapacity(count + LOCAL_REF_HEADROOM) != JNI_OK) {
        ExceptionRaised(jni, "EnsureLocalCapacity");
        return;
    }
    rows.reserve(static_cast<size_t>(count));
    std::string name;
    for (jint i = 0; i < count; i++) {
        JvmtiMemory<char> signature(tags);
        if (!CheckJvmtiError(tags->GetClassSignature(classes[i], signature.Out(), nullptr), "GetClassSignature"))
            continue;
        jlong tag = static_cast<jlong>(rows.size()) + 1;
        if (!CheckJvmtiError(tags->SetTag(classes[i], tag), "SetTag")) continue;
        Row row;
        row.tag = tag;
        row.name = OrloUtils::DeriveTypeFromJvmSignature(signature.Get(), name);
        rows.push_back(std::move(row));
    }
}

bool HeapHistogram::CountObject(jlong classTag, jlong size) {
    totalInstances++;
    totalBytes += size;
    if (classTag > 0 && classTag <= static_cast<jlong>(rows.size())) {
        Row& row = rows[static_cast<size_t>(classTag - 1)];
        row.instances++;
        row.bytes += size;
    } else {
        untaggedInstances++;
    }
    if (cancel && --untilPoll <= 0) {
        untilPoll = CANCEL_POLL_OBJECTS;
        if (cancel->Cancelled()) {
            cancelled = true;
            return false;
        }
    }
    return true;
}

}  // namespace Orlo
