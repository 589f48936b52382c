#include "JvmInfo.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "CancelCheck.h"
#include "HeapRecord.h"
#include "JavaCalls.h"
#include "JniScope.h"
#include "JvmAgent.h"
#include "JvmClassInfo.h"
#include "JvmInterfaceInfo.h"
#include "JvmThreadInfo.h"
#include "OrloUtils.h"
#include "ReferenceBatch.h"
#include "StringBuffer.h"
#include "VeskLogger.h"
#include "XmlUtils.h"

namespace Orlo {

namespace {

constexpr int64_t REFS_PER_PROGRESS_LINE = 5000000;

// Local references a pass may hold beyond those it counts: a superclass or
// the interfaces of the type being read, nested a few levels deep.
constexpr jint LOCAL_REF_HEADROOM = 64;

}  // namespace

JvmInfo::JvmInfo() { Init(); }

JvmInfo::~JvmInfo() { Clear(); }

void JvmInfo::Init() {
    classInfos = nullptr;
    threadInfos = nullptr;
    tags = TagRange<JvmClassInfo, JvmThreadInfo>();
    heapObjCount = 0;
    heapRefCount = 0;
    heapRootCount = 0;
    refsSinceFlush = 0;
    totalHeap = 0;
    maxHeap = 0;
    freeHeap = 0;
    cpuCount = 0;
    snapshotBuffer = nullptr;
    classFields.Clear();
    rtTime.Reset();
    snapshotStart.Reset();
    snapshotEnd.Reset();
    classTagStart.Reset();
    classTagEnd.Reset();
    walkTimes = WalkTimes();
    snapshotError.clear();
}

void JvmInfo::Clear() {
    ReleaseRecords();
    DeleteSnapShotFiles();
    Init();
}

void JvmInfo::ReleaseRecords() {
    // A VM on its way out would wait for the dispose.
    ReleaseTags(agent && agent->IsDying());
    methodMap.Clear();
    interfaceMap.Clear();
    classMap.Clear();
    delete[] classInfos;
    classInfos = nullptr;
    delete[] threadInfos;
    threadInfos = nullptr;
    tags = TagRange<JvmClassInfo, JvmThreadInfo>();
    javaLangClassInfo = nullptr;
}

void JvmInfo::ReleaseTags(bool dying) {
    // In the agent's environment the class and thread objects keep record
    // addresses unless taken off here, before the records go away.
    std::vector<jlong> recordTags;
    if (!dying && tagEnv.Get() && !tagEnv.Owned()) {
        for (auto it = classMap.Begin(); it != classMap.End(); ++it) recordTags.push_back(TagOf(it->second));
        for (int i = 0; i < tags.threadCount; i++) recordTags.push_back(TagOf(&threadInfos[i]));
        // No untag walk from the roots reaches what only class objects' own fields hold.
        for (jlong tag = classFields.FirstTag(); tag > 0 && tag < tags.nextObject; tag++) recordTags.push_back(tag);
    }
    tagEnv.Release(dying, recordTags);
}

void JvmInfo::DeleteSnapShotFiles() {
    snapshotBuffer = nullptr;
    snapshotWriter.DeleteFiles();
}

JvmInterfaceInfo* JvmInfo::GetInterface(jclass clazz, const std::string* name) {
    if (JvmInterfaceInfo* known = interfaceMap.Get(name)) return known;
    JvmInterfaceInfo* iface = new JvmInterfaceInfo(clazz, *name);
    // Registered before loading, so the extends graph is walked once.
    interfaceMap.Add(iface->GetJavaType(), iface);
    iface->LoadFields();
    iface->LoadInterfaces(this);
    return iface;
}

void JvmInfo::GetAgentMetrics(StringBuffer& buffer) {
    const WalkTimes& t = walkTimes;
    const struct {
        const char* name;
        int64_t value;
    } metrics[] = {
        {"$T$last.snapshot.overall.start.time", GetSnapShotStartTime()},
        {"$T$last.snapshot.overall.end.time", GetSnapShotEndTime()},
        {"$L$last.snapshot.overall.duration.msec", GetSnapShotDuration()},
        {"$T$last.snapshot.classtag.start.time", GetClassTagStartTime()},
        {"$T$last.snapshot.classtag.end.time", GetClassTagEndTime()},
        {"$L$last.snapshot.classtag.duration.msec", GetClassTagDuration()},
        {"$L$last.snapshot.classtag.class.count", tags.classCount},
        {"$L$last.snapshot.classtag.interface.count", static_cast<int64_t>(interfaceMap.Size())},
        {"$L$last.snapshot.classtag.thread.count", tags.threadCount},
        {"$T$last.snapshot.heapwalk.start.time", t.walkStart.Millis()},
        {"$T$last.snapshot.heapwalk.end.time", t.walkEnd.Millis()},
        {"$L$last.snapshot.heapwalk.duration.msec", t.walkEnd.Millis() - t.walkStart.Millis()},
        {"$L$last.snapshot.heapwalk.heap.objects.count", heapObjCount},
        {"$L$last.snapshot.heapwalk.heap.refs.count", heapRefCount},
        {"$L$last.snapshot.heapwalk.heap.roots.count", heapRootCount},
        {"$T$last.snapshot.untag.start.time", t.untagStart.Millis()},
        {"$T$last.snapshot.untag.end.time", t.untagEnd.Millis()},
        {"$L$last.snapshot.untag.duration.msec", t.untagEnd.Millis() - t.untagStart.Millis()},
    };
    for (const auto& metric : metrics) XmlUtils::AddPropElement(buffer, metric.name, metric.value);
}

void JvmInfo::PrintJvmInfo() {
    std::string text;
    VeskLogger::LogTrace("\n\nComplete Thread Info:");
    for (int i = 0; i < tags.threadCount; i++) VeskLogger::LogTrace("%s", threadInfos[i].ToString(text).c_str());
    VeskLogger::LogTrace("\n\nComplete Class Info:");
    for (int i = 0; i < tags.classCount; i++) classInfos[i].PrintHierarchy(0);
}

// ---- Tagging ----

void JvmInfo::PrepareSnapShot(jvmtiEnv* jvmti, JNIEnv* jni) {
    // A second snapshot in one request starts from nothing.
    DeleteSnapShotFiles();
    snapshotError.clear();
    snapshotStart.Now();
    VeskLogger::LogDebug("Starting heap snapshot");
    heapObjCount = 0;
    heapRefCount = 0;
    refsSinceFlush = 0;
    heapRootCount = 0;
    callbacksSinceCancelCheck = 0;
    walkStopped = false;
    classFields.Clear();
    javaLangClassInfo = nullptr;
    TagLoadedClasses(jvmti, jni);
    GatherRuntimeInfo(jvmti, jni);
    snapshotBuffer = snapshotWriter.Begin();
}

void JvmInfo::TagLoadedClasses(jvmtiEnv* jvmti, JNIEnv* jni) {
    ReleaseRecords();
    if (!jvmti || !jni) return;
    tagEnv.Open(jni, jvmti);
    // Holds every class reference of the pass and every thread reference.
    LocalFrame frame(jni, LOCAL_REF_HEADROOM);
    classTagStart.Now();
    VeskLogger::LogDebug("Tagging classes and threads");
    {
        JvmtiMemory<jclass> classes(jvmti);
        try {
            jint count = 0;
            if (CheckJvmtiError(jvmti->GetLoadedClasses(&count, classes.Out()), "GetLoadedClasses") && count > 0 &&
                frame.Reserve(count + LOCAL_REF_HEADROOM)) {
                classInfos = new (std::nothrow) JvmClassInfo[count];
                if (!classInfos) {
                    VeskLogger::LogError(false, "Cannot allocate %d class records", static_cast<int>(count));
                } else {
                    tags.classes = classInfos;
                    tags.classCount = count;
                }
            }
            for (int i = 0; i < tags.classCount; i++) {
                JvmClassInfo& record = classInfos[i];
                record.SetJniRef(classes[i]);
                JvmClassInfo* registered = record.GetJvmClassInfo(this);
                if (*record.GetJavaType() == "java.lang.Class") javaLangClassInfo = registered;
                record.LoadFields();
                record.LoadMethods(this);
                record.LoadInterfaces(this);
            }
        } catch (const std::exception& e) {
            VeskLogger::LogError(false, "Tagging classes stopped: %s", e.what());
        }
    }
    tags.firstObject = tags.nextObject = tags.PastRecords();
    try {
        for (int i = 0; i < tags.classCount; i++) classInfos[i].AssembleFields(this);
    } catch (const std::exception& e) {
        VeskLogger::LogError(false, "Assembling fields stopped: %s", e.what());
    }
    TagThreads(frame);
    classTagEnd.Now();
    VeskLogger::LogDebug("Finished tagging classes and threads, classes=%d, threads=%d, elapsed.msec=%" PRId64,
                         tags.classCount, tags.threadCount, GetClassTagDuration());
}

void JvmInfo::TagThreads(LocalFrame& frame) {
    jvmtiEnv* env = tagEnv.Get();
    JvmtiMemory<jthread> threads(env);
    try {
        jint count = 0;
        if (CheckJvmtiError(env->GetAllThreads(&count, threads.Out()), "GetAllThreads") && count > 0 &&
            frame.Reserve(tags.classCount + count + LOCAL_REF_HEADROOM)) {
            threadInfos = new (std::nothrow) JvmThreadInfo[count];
            if (!threadInfos) {
                VeskLogger::LogError(false, "Cannot allocate %d thread records", static_cast<int>(count));
            } else {
                tags.threads = threadInfos;
                tags.threadCount = count;
            }
        }
        for (int i = 0; i < tags.threadCount; i++) {
            threadInfos[i].SetJniRef(threads[i]);
            CheckJvmtiError(env->SetTag(threads[i], TagOf(&threadInfos[i])), "SetTag");
        }
    } catch (const std::exception& e) {
        VeskLogger::LogError(false, "Tagging threads stopped: %s", e.what());
    }
    tags.firstObject = tags.nextObject = tags.PastRecords();
}

// ---- Heap walk ----

JvmClassInfo* JvmInfo::ClassRecord(jlong tag) const {
    int index = tags.ClassIndex(tag);
    return index < 0 ? nullptr : &classInfos[index];
}

bool JvmInfo::IsCurrentTag(jlong tag) const { return tags.IsCurrent(tag); }

bool JvmInfo::IsClassTag(jlong tag) const { return tags.ClassIndex(tag) >= 0; }

JvmObjectInfo* JvmInfo::TaggedRecord(jlong tag) const {
    if (JvmClassInfo* record = ClassRecord(tag)) return record;
    int index = tags.ThreadIndex(tag);
    return index < 0 ? nullptr : &threadInfos[index];
}

bool JvmInfo::RecordHeapReference(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                                  jlong classTag, jlong referrerClassTag, jlong size, jlong* tagPtr,
                                  jlong* referrerTagPtr, jint length) {
    // Nothing may leave this function as an exception: the JVM is the caller.
    try {
        if (++callbacksSinceCancelCheck >= CALLBACKS_PER_CANCEL_CHECK) {
            if (cancelCheck && cancelCheck->Cancelled()) {
                VeskLogger::LogDebug("Aborting heap walk");
                return Stop();
            }
            if (snapshotWriter.Failed()) return Stop();
            callbacksSinceCancelCheck = 0;
        }
        // Below debug level every step up to the kind test ends in this same silent skip.
        if (HeapRecord::IsSkippedKind(kind) && !VeskLogger::IsDebugLevel()) return true;
        if (classTag == 0) {
            VeskLogger::LogTrace("Skipping reference with NULL class tag");
            return true;
        }
        // A tag left by an earlier pass counts as none.
        jlong tag = tags.IsCurrent(*tagPtr) ? *tagPtr : 0;
        const jlong referrerTag = referrerTagPtr && tags.IsCurrent(*referrerTagPtr) ? *referrerTagPtr : 0;
        if (classTag == TagOf(javaLangClassInfo) && tag == 0) {
            VeskLogger::LogTrace("Skipping reference to untagged (unloaded) class");
            return true;
        }
        JvmClassInfo* classInfo = ClassRecord(classTag);
        if (!classInfo || classInfo->GetType() != JVM_OBJ_CLASS) {
            VeskLogger::LogDebug("Processing heap reference with classTag that's not a JvmClassInfo instance");
            return true;
        }
        if (HeapRecord::IsSkippedKind(kind)) {
            if (!VeskLogger::IsTraceLevel()) return true;
            std::string name;
            VeskLogger::LogTrace("Skipping %s reference", OrloUtils::FormatHeapReference(kind, name).c_str());
        } else {
            // Full only when a flush failed to give the next batch.
            HeapRecord::Captured* record = snapshotBuffer ? snapshotBuffer->Next() : nullptr;
            if (!record) return Stop();
            const bool newObject = tag == 0;
            if (newObject) {
                tag = tags.nextObject++;
                *tagPtr = tag;
                heapObjCount++;
                classInfo->AddInstance(size);
            }
            heapRefCount++;
            refsSinceFlush++;
            const jlong shownReferrer = tags.InClassRange(referrerClassTag) ? referrerTag : 0;
            jvmtiHeapReferenceInfo copy;
            HeapRecord::Capture(*record, kind, tags.WithCurrentThread(kind, info, copy), tag, classTag, size,
                                shownReferrer, length, newObject);
            if (HeapRecord::IsRootKind(kind)) heapRootCount++;
            if (refsSinceFlush >= REFS_PER_FILE) {
                FlushOutput();
                refsSinceFlush = 0;
                if (!snapshotBuffer) return Stop();
            }
        }
        if (VeskLogger::IsDebugLevel() && heapRefCount % REFS_PER_PROGRESS_LINE == 0)
            VeskLogger::LogDebug("Processed %" PRId64 " heap references, %" PRId64 " heap objects", heapRefCount,
                                 heapObjCount);
        if (VeskLogger::IsTraceLevel())
            LogHeapReference(kind, info, classTag, referrerClassTag, size, tagPtr, referrerTagPtr, length);
        return true;
    } catch (const std::exception& e) {
        if (snapshotError.empty()) snapshotError = e.what();
        VeskLogger::LogError(false, "Heap walk stopped: %s", e.what());
        return Stop();
    }
}

bool JvmInfo::AddRecord(const HeapRecord::Captured& record) {
    HeapRecord::Captured* slot = snapshotBuffer ? snapshotBuffer->Next() : nullptr;
    if (!slot) return false;
    *slot = record;
    if (record.kind & HeapRecord::NEW_OBJECT) {
        heapObjCount++;
        if (JvmClassInfo* classInfo = ClassRecord(record.classTag)) classInfo->AddInstance(record.size);
    }
    heapRefCount++;
    if (HeapRecord::IsRootKind(static_cast<jvmtiHeapReferenceKind>(record.kind & HeapRecord::KIND_MASK)))
        heapRootCount++;
    if (++refsSinceFlush >= REFS_PER_FILE) {
        FlushOutput();
        refsSinceFlush = 0;
    }
    return snapshotBuffer != nullptr;
}

void JvmInfo::LogHeapReference(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                               jlong classTag, jlong referrerClassTag, jlong size, jlong* tagPtr,
                               jlong* referrerTagPtr, jint length) const {
    auto nameOf = [](JvmObjectInfo* record) -> const char* {
        JvmClassInfo* clazz = record ? record->GetClass() : nullptr;
        return clazz ? clazz->GetJavaType()->c_str() : "?";
    };
    const HeapRecord::TraceNames names = {
        nameOf(ClassRecord(classTag)), nameOf(referrerClassTag ? ClassRecord(referrerClassTag) : nullptr),
        nameOf(TaggedRecord(*tagPtr)), nameOf(TaggedRecord(referrerTagPtr ? *referrerTagPtr : 0))};
    char line[HeapRecord::TRACE_SIZE];
    HeapRecord::FormatTrace(line, kind, info, classTag, referrerClassTag, size, tagPtr, referrerTagPtr, length, names);
    VeskLogger::LogTrace("%s", line);
}

void JvmInfo::FailSnapShot(const std::string& message) {
    if (snapshotError.empty()) snapshotError = message;
    VeskLogger::LogError(false, "%s", message.c_str());
    // Partial output is worthless; nothing of this snapshot stays on disk.
    DeleteSnapShotFiles();
}

void JvmInfo::FlushOutput() {
    if (snapshotBuffer) snapshotBuffer = snapshotWriter.Hand(snapshotBuffer);
}

void JvmInfo::FinishSnapShotFiles(bool dying) {
    const bool writeLast = !dying && !SnapShotFailed();
    Error failure = snapshotWriter.End(writeLast ? snapshotBuffer : nullptr);
    snapshotBuffer = nullptr;
    if (dying)
        DeleteSnapShotFiles();
    else if (failure)
        FailSnapShot(failure.Message());
}

void JvmInfo::TerminateSnapShot() {
    VeskLogger::LogTrace("Terminating snapshot");
    snapshotEnd.Now();
    VeskLogger::LogDebug("Finished heap snapshot, elapsed.msec=%" PRId64, GetSnapShotDuration());
}

// ---- Runtime figures and system properties ----

void JvmInfo::GetClassMethodHandles(const char* className, const char* methodName,
                                    const JvmClassInfo** classInfo, const JvmMethodInfo** methodInfo) {
    *methodInfo = nullptr;
    if (!*classInfo) {
        std::string name(className);
        *classInfo = FindClass(&name);
        if (!*classInfo) return;
    }
    *methodInfo = (*classInfo)->FindMethod(methodName);
}

jobject JvmInfo::CallObjectMethod(JNIEnv* jni, jobject object, const JvmMethodInfo* method, bool& failed) {
    return method ? JavaCalls::CallObject(jni, object, method->GetJvmId(), failed) : nullptr;
}

jobject JvmInfo::CallObjectMethod(JNIEnv* jni, jobject object, const char* className, const char* methodName,
                                  bool& failed) {
    const JvmClassInfo* classInfo = nullptr;
    const JvmMethodInfo* method = nullptr;
    GetClassMethodHandles(className, methodName, &classInfo, &method);
    return CallObjectMethod(jni, object, method, failed);
}

jobject JvmInfo::CallStaticObjectMethod(jvmtiEnv* jvmti, JNIEnv* jni, const JvmClassInfo* classInfo,
                                        const JvmMethodInfo* method, bool& failed) {
    if (!classInfo || !method || failed) return nullptr;
    LocalRef<jclass> clazz(jni, JavaCalls::DeclaringClass(jvmti, method->GetJvmId()));
    return JavaCalls::CallStaticObject(jni, clazz.Get(), method->GetJvmId(), failed);
}

jobject JvmInfo::CallStaticObjectMethod(jvmtiEnv* jvmti, JNIEnv* jni, const char* className, const char* methodName,
                                        bool& failed) {
    const JvmClassInfo* classInfo = nullptr;
    const JvmMethodInfo* method = nullptr;
    GetClassMethodHandles(className, methodName, &classInfo, &method);
    return CallStaticObjectMethod(jvmti, jni, classInfo, method, failed);
}

void JvmInfo::GatherRuntimeInfo(jvmtiEnv* jvmti, JNIEnv* jni) {
    VeskLogger::LogTrace("Gathering JVM Runtime information");
    if (!jvmti || !jni) return;
    if (tags.classCount == 0 && !tagEnv.Get()) TagLoadedClasses(jvmti, jni);
    jint processors = 0;
    if (CheckJvmtiError(jvmti->GetAvailableProcessors(&processors), "GetAvailableProcessors"))
        cpuCount = processors;
    rtTime.Now();

    const JvmClassInfo* runtimeClass = nullptr;
    const JvmMethodInfo* getRuntime = nullptr;
    GetClassMethodHandles("java.lang.Runtime", "getRuntime", &runtimeClass, &getRuntime);
    if (!getRuntime) return;
    auto idOf = [runtimeClass](const char* name) {
        const JvmMethodInfo* method = runtimeClass->FindMethod(name);
        return method ? method->GetJvmId() : nullptr;
    };
    // The record's own class reference died with the tagging pass's frame.
    LocalRef<jclass> clazz(jni, JavaCalls::DeclaringClass(jvmti, getRuntime->GetJvmId()));
    const RuntimeMethods methods = {clazz.Get(), getRuntime->GetJvmId(), idOf("totalMemory"), idOf("maxMemory"),
                                    idOf("freeMemory")};
    HeapTotals totals = {totalHeap, maxHeap, freeHeap};
    JavaCalls::ReadHeapTotals(jni, methods, totals);
    totalHeap = totals.total;
    maxHeap = totals.max;
    freeHeap = totals.free;
}

void JvmInfo::AddRuntimeToResult(StringBuffer& buffer) {
    XmlUtils::AddPropElement(buffer, "rt-time", rtTime.Millis());
    XmlUtils::AddPropElement(buffer, "cpus", cpuCount);
    XmlUtils::AddPropElement(buffer, "total-heap", totalHeap);
    XmlUtils::AddPropElement(buffer, "max-heap", maxHeap);
    XmlUtils::AddPropElement(buffer, "free-heap", freeHeap);
    XmlUtils::AddPropElement(buffer, "total-classes", tags.classCount);
    XmlUtils::AddPropElement(buffer, "total-threads", tags.threadCount);
}

void JvmInfo::AddClassesToResult(StringBuffer& buffer) {
    for (int i = 0; i < tags.classCount; i++) {
        const JvmClassInfo& record = classInfos[i];
        record.RecordAsXml(buffer);
        if (!record.HasAllFields() && record.GetTotalInst() > 0)
            VeskLogger::LogInfo("Fields of %s not listed by the JVM (type not prepared): field references "
                                "from its %" PRId64 " instances carry indices no field record names",
                                record.GetJavaType()->c_str(), record.GetTotalInst());
    }
    for (int i = 0; i < tags.threadCount; i++) threadInfos[i].RecordAsXml(buffer);
}

void JvmInfo::GetSystemProperties(StringBuffer& buffer) {
    VeskLogger::LogTrace("Gathering JVM System Properties");
    jvmtiEnv* jvmti = agent ? agent->GetJvmtiEnv() : nullptr;
    JNIEnv* jni = jvmti ? agent->GetJniEnv() : nullptr;
    if (!jni) return;
    if (tags.classCount == 0 && !tagEnv.Get()) TagLoadedClasses(jvmti, jni);
    // Every reference of the operation dies with this frame.
    LocalFrame frame(jni, 16);
    if (frame.Pushed()) JavaCalls::WriteSystemProperties(*this, jvmti, jni, buffer);
}

}  // namespace Orlo
