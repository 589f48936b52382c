// A snapshot made from the JVM's own heap dump instead of the reference
// walk. Before the dump, after the tagging pass: the roots of the heap as the
// JVM reports them (a reference walk that follows nothing, so every root
// keeps its exact kind, thread, depth, method and slot), the holder that
// names the dump's object ids (class objects, thread objects, root objects,
// the values of class objects' own fields) and the array layout measured on
// a few small arrays; then the dump (HeapDumper). Convert then reads the
// dump (DumpConverter) into the record's snapshot files, with no safepoint;
// an instance's size is GetObjectSize of one instance of its class,
// allocated without a constructor when the dump first needs it.
// Used by the client thread with the agent monitor held, in one local frame
// that lives as long as this object; the root walk's callback runs on the VM
// thread at its safepoint and only stores.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <memory>
#include <vector>

#include "DumpConverter.h"
#include "Error.h"
#include "JniScope.h"
#include "TagRange.h"

namespace Orlo {

class CancelCheck;
class HeapDumper;
class JvmClassInfo;
class JvmInfo;
class JvmThreadInfo;
class ReferenceBatch;

class DumpSource : private DumpRecordSink {
public:
    DumpSource(JvmInfo& info, jvmtiEnv* jvmti, JNIEnv* jni);
    ~DumpSource();
    DumpSource(const DumpSource&) = delete;
    DumpSource& operator=(const DumpSource&) = delete;

    // The roots, the holder and the dump into the dumper's directory.
    Error Take(HeapDumper& dumper);
    // Writes the records into the info's snapshot files and removes the
    // dump. Nothing when cancel reported the client's abort.
    Error Convert(HeapDumper& dumper, CancelCheck* cancel);

    // From the root walk's callback: stores a root and follows nothing.
    jint CaptureRoot(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* reference, jlong classTag,
                     jlong size, jlong* tagPtr, jint length);

private:
    bool Add(const HeapRecord::Captured& record) override;
    bool Cancelled() override;

    Error WalkRoots();
    Error BuildHolder();
    Error MeasureArrays();
    int64_t InstanceSize(uint32_t classSlot);
    // For a class not to be allocated (not initialized): the end of its
    // last instance field, aligned.
    int64_t SizeFromOffsets(jclass clazz);
    jint FieldIndex(uint32_t classSlot, uint32_t declaring, const std::string& name, bool isStatic) const;

    JvmInfo& info;
    jvmtiEnv* jvmti;
    JNIEnv* jni;
    LocalFrame frame;
    TagRange<JvmClassInfo, JvmThreadInfo> tags;
    DumpPlan plan;
    std::unique_ptr<ReferenceBatch> roots;  // filled by the root walk
    bool rootsOverflow = false;
    std::vector<jobject> classes;  // per class slot, local references
    std::vector<const JvmClassInfo*> classRecords;  // per class slot; null: untagged
    jobjectArray holder = nullptr;
    CancelCheck* cancel = nullptr;
};

}  // namespace Orlo
