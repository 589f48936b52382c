// A class histogram of the heap: instances and bytes per loaded class, from
// one pass over the heap that reads each object's class tag and nothing else
// (no object tags, no references, no files). The classes are tagged in a
// JVMTI environment of the pass's own, disposed of with every tag when the
// pass ends. Used by the thread serving the request, under the agent monitor;
// the pass's callback runs on the VM thread at a safepoint meanwhile.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CancelCheck.h"
#include "Error.h"

namespace Orlo {

class HeapHistogram {
public:
    // Objects between two polls of the cancel check: a poll is a system call.
    static constexpr int64_t CANCEL_POLL_OBJECTS = 100000;

    struct Row {
        jlong tag = 0;  // the class object's tag in the pass: its row number + 1
        std::string name;
        int64_t instances = 0;
        int64_t bytes = 0;
    };

    // cancel, when given, is polled during the pass on the VM thread.
    explicit HeapHistogram(CancelCheck* cancel = nullptr) : cancel(cancel) {}

    // Tags the loaded classes, counts the heap, releases the tags. agentEnv
    // stands in when the JVM gives no environment of the pass's own (its
    // class tags are then removed one by one). An error when the pass could
    // not run or was cancelled (Protocol::CANCELLED_MESSAGE).
    Error Count(jvmtiEnv* agentEnv, JNIEnv* jni);

    // One row per class loaded when the pass began, in the JVM's order,
    // classes without instances included.
    const std::vector<Row>& Rows() const { return rows; }
    int64_t TotalInstances() const { return totalInstances; }
    int64_t TotalBytes() const { return totalBytes; }
    // Objects whose class was loaded after the tagging: counted in the totals only.
    int64_t UntaggedInstances() const { return untaggedInstances; }
    // The heap pass alone (the safepoint), and the tagging before it.
    int64_t PassMillis() const { return passMillis; }
    int64_t TagMillis() const { return tagMillis; }

    // The pass's callback, on the VM thread: no allocation, no blocking
    // beyond the cancel poll, nothing thrown. False stops the pass.
    bool CountObject(jlong classTag, jlong size);

private:
    // Tags every loaded class with its row number + 1 and names it.
    void TagClasses(jvmtiEnv* tags, JNIEnv* jni);

    CancelCheck* cancel;
    std::vector<Row> rows;
    int64_t totalInstances = 0;
    int64_t totalBytes = 0;
    int64_t untaggedInstances = 0;
    int64_t untilPoll = CANCEL_POLL_OBJECTS;
    bool cancelled = false;
    int64_t passMillis = 0;
    int64_t tagMillis = 0;
};

}  // namespace Orlo
