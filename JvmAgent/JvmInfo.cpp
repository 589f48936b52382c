#include "JvmInfo.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "ClientConnection.h"
#include "HeapRecord.h"
#include "JvmAgent.h"
#include "JvmClassInfo.h"
#include "JvmInterfaceInfo.h"
#include "JvmThreadInfo.h"
#include "OrloUtils.h"
#include "StringBuffer.h"
#include "VeskLogger.h"
#include "XmlUtils.h"

namespace Orlo {

namespace {

constexpr size_t TRACE_AREA = 1024;
constexpr int64_t REFS_PER_PROGRESS_LINE = 5000000;

inline jlong TagOf(const void* record) { return static_cast<jlong>(reinterpret_cast<uintptr_t>(record)); }

// Index of the record a tag addresses within an array, or -1.
template <class T> int RecordIndex(jlong tag, const T* array, int count) {
    if (!array || tag == 0) return -1;
    uintptr_t address = static_cast<uintptr_t>(tag);
    uintptr_t start = reinterpret_cast<uintptr_t>(array);
    if (address < start || address >= reinterpret_cast<uintptr_t>(array + count)) return -1;
    if ((address - start) % sizeof(T) != 0) return -1;
    return static_cast<int>((address - start) / sizeof(T));
}

// Local references a pass may hold beyond those it counts: a superclass or
// the interfaces of the type being read, nested a few levels deep.
constexpr jint LOCAL_REF_HEADROOM = 64;

// A JNI local frame that is popped only when it was pushed. A pass that
// learns how many references it holds grows it with ReserveLocalRefs.
class LocalFrame {
public:
    LocalFrame(JNIEnv* jni, jint capacity)
        : jni(jni), pushed(jni && CheckJniError(jni->PushLocalFrame(capacity), "PushLocalFrame")) {}
    ~LocalFrame() {
        if (pushed) jni->PopLocalFrame(nullptr);
    }
    bool Pushed() const { return pushed; }

private:
    JNIEnv* jni;
    bool pushed;
};

// Room for `total` local references in the current frame altogether.
bool ReserveLocalRefs(JNIEnv* jni, jint total) {
    return CheckJniError(jni->EnsureLocalCapacity(total), "EnsureLocalCapacity");
}

// Logs and clears a pending Java exception; true when there was one.
bool JavaCallFailed(JNIEnv* jni, const char* method) {
    if (!jni->ExceptionCheck()) return false;
    CheckJniError(JNI_ERR, method);
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    return true;
}

// Modified UTF-8 characters of a string, released on scope exit.
class StringChars {
public:
    StringChars(JNIEnv* jni, jstring text) : jni(jni), text(text), chars(jni->GetStringUTFChars(text, nullptr)) {
        if (!chars) JavaCallFailed(jni, "GetStringUTFChars");
    }
    ~StringChars() {
        if (chars) jni->ReleaseStringUTFChars(text, chars);
    }
    const char* Get() const { return chars; }

private:
    JNIEnv* jni;
    jstring text;
    const char* chars;
};

// One <prop>; an entry whose characters cannot be had is skipped.
void AppendProperty(JNIEnv* jni, StringBuffer& buffer, jstring key, jstring value) {
    StringChars name(jni, key);
    if (!name.Get()) return;
    StringChars text(jni, value);
    if (!text.Get()) return;
    // Names are escaped too: a name holding '"' or '<' must not break the response.
    buffer.Append("<prop name=\"");
    XmlUtils::EncodeXmlString(buffer, name.Get());
    buffer.Append("\" value=\"");
    XmlUtils::EncodeXmlString(buffer, text.Get());
    buffer.Append("\"/>");
}

// A reference to the class declaring a method, valid in the current frame.
jclass DeclaringClass(const JvmMethodInfo* method) {
    jvmtiEnv* jvmti = agent ? agent->GetJvmtiEnv() : nullptr;
    jclass clazz = nullptr;
    if (jvmti && method)
        CheckJvmtiError(jvmti->GetMethodDeclaringClass(method->GetJvmId(), &clazz), "GetMethodDeclaringClass");
    return clazz;
}

}  // namespace

JvmInfo::JvmInfo() : clientConnection(nullptr) { Init(); }

JvmInfo::~JvmInfo() { Clear(); }

void JvmInfo::Init() {
    classInfos = nullptr;
    threadInfos = nullptr;
    classCount = 0;
    threadCount = 0;
    firstObjectTag = 0;
    nextObjectTag = 0;
    heapObjCount = 0;
    heapRefCount = 0;
    heapRootCount = 0;
    refsSinceFlush = 0;
    totalHeap = 0;
    maxHeap = 0;
    freeHeap = 0;
    cpuCount = 0;
    snapshotBuffer = nullptr;
    rtTime.Reset();
    snapshotStart.Reset();
    snapshotEnd.Reset();
    classTagStart.Reset();
    classTagEnd.Reset();
    snapshotError.clear();
}

void JvmInfo::Clear() {
    ReleaseRecords();
    DeleteSnapShotFiles();
    Init();
}

void JvmInfo::ReleaseRecords() {
    ReleaseTags();
    methodMap.Clear();
    interfaceMap.Clear();
    classMap.Clear();
    delete[] classInfos;
    classInfos = nullptr;
    classCount = 0;
    delete[] threadInfos;
    threadInfos = nullptr;
    threadCount = 0;
    javaLangClassInfo = nullptr;
}

void JvmInfo::ReleaseTags() {
    // A VM on its way out takes the tags with it; removing them would only
    // hold up its exit.
    if (agent && agent->IsDying())
        ;
    else if (ownsTagEnv)
        CheckJvmtiError(tagEnv->DisposeEnvironment(), "DisposeEnvironment");
    else
        RemoveRecordTags(tagEnv);
    tagEnv = nullptr;
    ownsTagEnv = false;
}

// A pass that was not followed by an untag walk leaves record addresses on
// class and thread objects; take them off before the records go away.
void JvmInfo::RemoveRecordTags(jvmtiEnv* jvmti) {
    JNIEnv* jni = jvmti ? agent->GetJniEnv() : nullptr;
    if (!jni || (classCount == 0 && threadCount == 0)) return;
    std::vector<jlong> tags;
    for (auto it = classMap.Begin(); it != classMap.End(); ++it) tags.push_back(TagOf(it->second));
    for (int i = 0; i < threadCount; i++) tags.push_back(TagOf(&threadInfos[i]));
    if (tags.empty()) return;
    // The objects' references die with this frame.
    LocalFrame frame(jni, LOCAL_REF_HEADROOM);
    jint count = 0;
    jobject* objects = nullptr;
    if (CheckJvmtiError(jvmti->GetObjectsWithTags(static_cast<jint>(tags.size()), tags.data(), &count,
                                                  &objects, nullptr),
                        "GetObjectsWithTags") &&
        ReserveLocalRefs(jni, count + LOCAL_REF_HEADROOM)) {
        for (jint i = 0; i < count; i++) CheckJvmtiError(jvmti->SetTag(objects[i], 0), "SetTag");
    }
    FreeJvmtiMemory(&objects);
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
    const JvmAgent* a = agent;
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
        {"$L$last.snapshot.classtag.class.count", classCount},
        {"$L$last.snapshot.classtag.interface.count", static_cast<int64_t>(interfaceMap.Size())},
        {"$L$last.snapshot.classtag.thread.count", threadCount},
        {"$T$last.snapshot.heapwalk.start.time", a ? a->GetHeapWalkStartTime() : 0},
        {"$T$last.snapshot.heapwalk.end.time", a ? a->GetHeapWalkEndTime() : 0},
        {"$L$last.snapshot.heapwalk.duration.msec", a ? a->GetHeapWalkDuration() : 0},
        {"$L$last.snapshot.heapwalk.heap.objects.count", heapObjCount},
        {"$L$last.snapshot.heapwalk.heap.refs.count", heapRefCount},
        {"$L$last.snapshot.heapwalk.heap.roots.count", heapRootCount},
        {"$T$last.snapshot.untag.start.time", a ? a->GetUntagStartTime() : 0},
        {"$T$last.snapshot.untag.end.time", a ? a->GetUntagEndTime() : 0},
        {"$L$last.snapshot.untag.duration.msec", a ? a->GetUntagDuration() : 0},
    };
    for (const auto& metric : metrics) XmlUtils::AddPropElement(buffer, metric.name, metric.value);
}

void JvmInfo::PrintJvmInfo() {
    std::string text;
    VeskLogger::LogTrace("\n\nComplete Thread Info:");
    for (int i = 0; i < threadCount; i++) VeskLogger::LogTrace("%s", threadInfos[i].ToString(text).c_str());
    VeskLogger::LogTrace("\n\nComplete Class Info:");
    for (int i = 0; i < classCount; i++) classInfos[i].PrintHierarchy(0);
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
    javaLangClassInfo = nullptr;
    TagLoadedClasses(jvmti, jni);
    GatherRuntimeInfo(jvmti, jni);
    snapshotBuffer = snapshotWriter.Begin();
}

void JvmInfo::TagLoadedClasses(jvmtiEnv* jvmti, JNIEnv* jni) {
    ReleaseRecords();
    if (!jvmti || !jni) return;
    tagEnv = agent ? agent->NewTagEnvironment() : nullptr;
    ownsTagEnv = tagEnv != nullptr;
    if (!ownsTagEnv) {
        VeskLogger::LogInfo("Tags of this request go into the agent's JVMTI environment; an untag walk removes them");
        tagEnv = jvmti;
    }
    // Holds every class reference of the pass and every thread reference.
    LocalFrame frame(jni, LOCAL_REF_HEADROOM);
    classTagStart.Now();
    VeskLogger::LogDebug("Tagging classes and threads");
    jclass* classes = nullptr;
    try {
        jint count = 0;
        if (CheckJvmtiError(jvmti->GetLoadedClasses(&count, &classes), "GetLoadedClasses") && count > 0 &&
            ReserveLocalRefs(jni, count + LOCAL_REF_HEADROOM)) {
            classInfos = new (std::nothrow) JvmClassInfo[count];
            if (!classInfos)
                VeskLogger::LogError(false, "Cannot allocate %d class records", static_cast<int>(count));
            else
                classCount = count;
        }
        for (int i = 0; i < classCount; i++) {
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
    FreeJvmtiMemory(&classes);
    nextObjectTag = classInfos ? TagOf(classInfos + classCount) : 0;
    firstObjectTag = nextObjectTag;
    try {
        for (int i = 0; i < classCount; i++) classInfos[i].AssembleFields(this);
    } catch (const std::exception& e) {
        VeskLogger::LogError(false, "Assembling fields stopped: %s", e.what());
    }
    TagThreads(jni);
    classTagEnd.Now();
    VeskLogger::LogDebug("Finished tagging classes and threads, classes=%d, threads=%d, elapsed.msec=%" PRId64,
                         classCount, threadCount, GetClassTagDuration());
}

void JvmInfo::TagThreads(JNIEnv* jni) {
    jthread* threads = nullptr;
    try {
        jint count = 0;
        if (CheckJvmtiError(tagEnv->GetAllThreads(&count, &threads), "GetAllThreads") && count > 0 &&
            ReserveLocalRefs(jni, classCount + count + LOCAL_REF_HEADROOM)) {
            threadInfos = new (std::nothrow) JvmThreadInfo[count];
            if (!threadInfos)
                VeskLogger::LogError(false, "Cannot allocate %d thread records", static_cast<int>(count));
            else
                threadCount = count;
        }
        for (int i = 0; i < threadCount; i++) {
            threadInfos[i].SetJniRef(threads[i]);
            CheckJvmtiError(tagEnv->SetTag(threads[i], TagOf(&threadInfos[i])), "SetTag");
        }
    } catch (const std::exception& e) {
        VeskLogger::LogError(false, "Tagging threads stopped: %s", e.what());
    }
    FreeJvmtiMemory(&threads);
    if (threadInfos && nextObjectTag < TagOf(threadInfos + threadCount))
        nextObjectTag = TagOf(threadInfos + threadCount);
    firstObjectTag = nextObjectTag;
}

// ---- Heap walk ----

JvmClassInfo* JvmInfo::ClassRecord(jlong tag) const {
    int index = RecordIndex(tag, classInfos, classCount);
    return index < 0 ? nullptr : &classInfos[index];
}

JvmObjectInfo* JvmInfo::TaggedRecord(jlong tag) const {
    if (JvmClassInfo* record = ClassRecord(tag)) return record;
    int index = RecordIndex(tag, threadInfos, threadCount);
    return index < 0 ? nullptr : &threadInfos[index];
}

inline bool JvmInfo::IsCurrentTag(jlong tag) const {
    return (tag >= firstObjectTag && tag < nextObjectTag) || TaggedRecord(tag) != nullptr;
}

inline bool JvmInfo::InClassRange(jlong tag) const {
    return classInfos && tag >= TagOf(classInfos) && tag < TagOf(classInfos + classCount);
}

const jvmtiHeapReferenceInfo* JvmInfo::WithCurrentThreadTag(jvmtiHeapReferenceKind kind,
                                                             const jvmtiHeapReferenceInfo* info,
                                                             jvmtiHeapReferenceInfo& copy) const {
    if (!info || (kind != JVMTI_HEAP_REFERENCE_STACK_LOCAL && kind != JVMTI_HEAP_REFERENCE_JNI_LOCAL)) return info;
    jlong thread = kind == JVMTI_HEAP_REFERENCE_STACK_LOCAL ? info->stack_local.thread_tag : info->jni_local.thread_tag;
    if (thread == 0 || RecordIndex(thread, threadInfos, threadCount) >= 0) return info;
    copy = *info;
    if (kind == JVMTI_HEAP_REFERENCE_STACK_LOCAL)
        copy.stack_local.thread_tag = 0;
    else
        copy.jni_local.thread_tag = 0;
    return &copy;
}

bool JvmInfo::RecordHeapReference(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                                  jlong classTag, jlong referrerClassTag, jlong size, jlong* tagPtr,
                                  jlong* referrerTagPtr, jint length) {
    // Nothing may leave this function as an exception: the JVM is the caller.
    try {
        if (++callbacksSinceCancelCheck >= CALLBACKS_PER_CANCEL_CHECK) {
            if (clientConnection && clientConnection->CheckForCancel()) {
                VeskLogger::LogDebug("Aborting heap walk");
                return false;
            }
            if (snapshotWriter.Failed()) return false;
            callbacksSinceCancelCheck = 0;
        }
        // Below debug level every step up to the kind test ends in this same silent skip.
        if (HeapRecord::IsSkippedKind(kind) && !VeskLogger::IsDebugLevel()) return true;
        if (classTag == 0) {
            VeskLogger::LogTrace("Skipping reference with NULL class tag");
            return true;
        }
        // A tag left by an earlier pass counts as none.
        jlong tag = IsCurrentTag(*tagPtr) ? *tagPtr : 0;
        const jlong referrerTag = referrerTagPtr && IsCurrentTag(*referrerTagPtr) ? *referrerTagPtr : 0;
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
            if (!snapshotBuffer) return false;
            char record[HeapRecord::MAX_SIZE];
            size_t used = 0;
            if (tag == 0) {
                tag = nextObjectTag++;
                *tagPtr = tag;
                heapObjCount++;
                classInfo->AddInstance(size);
                used = HeapRecord::FormatObject(record, tag, classTag, size, length);
            }
            heapRefCount++;
            refsSinceFlush++;
            const jlong shownReferrer = InClassRange(referrerClassTag) ? referrerTag : 0;
            jvmtiHeapReferenceInfo copy;
            used += HeapRecord::FormatReference(record + used, kind, WithCurrentThreadTag(kind, info, copy), tag,
                                                classTag, size, shownReferrer, length);
            if (HeapRecord::IsRootKind(kind)) heapRootCount++;
            snapshotBuffer->Append(record, used);
            if (refsSinceFlush >= REFS_PER_FILE) {
                FlushOutput();
                refsSinceFlush = 0;
                if (!snapshotBuffer) return false;
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
        return false;
    }
}

void JvmInfo::LogHeapReference(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                               jlong classTag, jlong referrerClassTag, jlong size, jlong* tagPtr,
                               jlong* referrerTagPtr, jint length) const {
    auto nameOf = [this](jlong tag) -> const char* {
        JvmObjectInfo* record = TaggedRecord(tag);
        JvmClassInfo* clazz = record ? record->GetClass() : nullptr;
        return clazz ? clazz->GetJavaType()->c_str() : "?";
    };
    auto asPointer = [](jlong value) { return reinterpret_cast<void*>(static_cast<uintptr_t>(value)); };
    const JvmClassInfo* clazz = ClassRecord(classTag);
    const JvmClassInfo* refClazz = referrerClassTag ? ClassRecord(referrerClassTag) : nullptr;
    const jlong tag = *tagPtr;
    const jlong referrerTag = referrerTagPtr ? *referrerTagPtr : 0;
    std::string kindName;
    OrloUtils::FormatHeapReference(kind, kindName);

    // Names are cut so the line always fits the area.
    char line[TRACE_AREA];
    int used = snprintf(line, sizeof line,
                        "HEAP: kind=%s, class=%.200s(%p), refClass=%.200s(%p), tagPtr=%p(->%p=%.200s), "
                        "refTagPtr=%p(->%p=%.200s), size=%" PRId64 ", length=%d",
                        kindName.c_str(), clazz ? clazz->GetJavaType()->c_str() : "?", asPointer(classTag),
                        refClazz ? refClazz->GetJavaType()->c_str() : "?", asPointer(referrerClassTag),
                        static_cast<void*>(tagPtr), asPointer(tag), nameOf(tag),
                        static_cast<void*>(referrerTagPtr), asPointer(referrerTag), nameOf(referrerTag),
                        static_cast<int64_t>(size), static_cast<int>(length));
    if (used < 0) return;
    size_t pos = static_cast<size_t>(used) < sizeof line ? static_cast<size_t>(used) : sizeof line - 1;
    char* rest = line + pos;
    size_t room = sizeof line - pos;
    if (info) {
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
                     static_cast<void*>(local.method), static_cast<int64_t>(local.location),
                     static_cast<int>(local.slot));
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
    std::string failure = snapshotWriter.End(writeLast ? snapshotBuffer : nullptr);
    snapshotBuffer = nullptr;
    if (dying)
        DeleteSnapShotFiles();
    else if (!failure.empty())
        FailSnapShot(failure);
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
    if (!object || !method || failed) return nullptr;
    jobject result = jni->CallObjectMethod(object, method->GetJvmId());
    if (JavaCallFailed(jni, "CallObjectMethod")) {
        failed = true;
        return nullptr;
    }
    return result;
}

jobject JvmInfo::CallObjectMethod(JNIEnv* jni, jobject object, const char* className, const char* methodName,
                                  bool& failed) {
    const JvmClassInfo* classInfo = nullptr;
    const JvmMethodInfo* method = nullptr;
    GetClassMethodHandles(className, methodName, &classInfo, &method);
    return CallObjectMethod(jni, object, method, failed);
}

jobject JvmInfo::CallStaticObjectMethod(JNIEnv* jni, const JvmClassInfo* classInfo, const JvmMethodInfo* method,
                                        bool& failed) {
    if (!classInfo || !method || failed) return nullptr;
    // The record's own class reference died with the tagging pass's frame.
    jclass clazz = DeclaringClass(method);
    if (!clazz) return nullptr;
    jobject result = jni->CallStaticObjectMethod(clazz, method->GetJvmId());
    failed = JavaCallFailed(jni, "CallStaticObjectMethod");
    jni->DeleteLocalRef(clazz);
    return failed ? nullptr : result;
}

jobject JvmInfo::CallStaticObjectMethod(JNIEnv* jni, const char* className, const char* methodName, bool& failed) {
    const JvmClassInfo* classInfo = nullptr;
    const JvmMethodInfo* method = nullptr;
    GetClassMethodHandles(className, methodName, &classInfo, &method);
    return CallStaticObjectMethod(jni, classInfo, method, failed);
}

void JvmInfo::GatherRuntimeInfo(jvmtiEnv* jvmti, JNIEnv* jni) {
    VeskLogger::LogTrace("Gathering JVM Runtime information");
    if (!jvmti || !jni) return;
    if (classCount == 0 && !tagEnv) TagLoadedClasses(jvmti, jni);
    jint processors = 0;
    if (CheckJvmtiError(jvmti->GetAvailableProcessors(&processors), "GetAvailableProcessors"))
        cpuCount = processors;
    rtTime.Now();

    const JvmClassInfo* runtimeClass = nullptr;
    const JvmMethodInfo* getRuntime = nullptr;
    GetClassMethodHandles("java.lang.Runtime", "getRuntime", &runtimeClass, &getRuntime);
    bool failed = false;
    jobject runtime = CallStaticObjectMethod(jni, runtimeClass, getRuntime, failed);
    if (!runtime) return;
    const struct {
        const char* method;
        int64_t* field;
    } figures[] = {{"totalMemory", &totalHeap}, {"maxMemory", &maxHeap}, {"freeMemory", &freeHeap}};
    for (const auto& figure : figures) {
        const JvmMethodInfo* method = runtimeClass->FindMethod(figure.method);
        if (!method) continue;
        jlong value = jni->CallLongMethod(runtime, method->GetJvmId());
        if (JavaCallFailed(jni, "CallLongMethod")) break;
        *figure.field = value;
    }
    jni->DeleteLocalRef(runtime);
}

void JvmInfo::AddRuntimeToResult(StringBuffer& buffer) {
    XmlUtils::AddPropElement(buffer, "rt-time", rtTime.Millis());
    XmlUtils::AddPropElement(buffer, "cpus", cpuCount);
    XmlUtils::AddPropElement(buffer, "total-heap", totalHeap);
    XmlUtils::AddPropElement(buffer, "max-heap", maxHeap);
    XmlUtils::AddPropElement(buffer, "free-heap", freeHeap);
    XmlUtils::AddPropElement(buffer, "total-classes", classCount);
    XmlUtils::AddPropElement(buffer, "total-threads", threadCount);
}

void JvmInfo::AddClassesToResult(StringBuffer& buffer) {
    for (int i = 0; i < classCount; i++) {
        const JvmClassInfo& record = classInfos[i];
        record.RecordAsXml(buffer);
        if (!record.HasAllFields() && record.GetTotalInst() > 0)
            VeskLogger::LogInfo("Fields of %s not listed by the JVM (type not prepared): field references "
                                "from its %" PRId64 " instances carry indices no field record names",
                                record.GetJavaType()->c_str(), record.GetTotalInst());
    }
    for (int i = 0; i < threadCount; i++) threadInfos[i].RecordAsXml(buffer);
}

void JvmInfo::GetSystemProperties(StringBuffer& buffer) {
    VeskLogger::LogTrace("Gathering JVM System Properties");
    jvmtiEnv* jvmti = agent ? agent->GetJvmtiEnv() : nullptr;
    JNIEnv* jni = jvmti ? agent->GetJniEnv() : nullptr;
    if (!jni) return;
    if (classCount == 0 && !tagEnv) TagLoadedClasses(jvmti, jni);
    // Every reference of the operation dies with this frame.
    LocalFrame frame(jni, 16);
    if (frame.Pushed()) WriteSystemProperties(jni, buffer);
}

void JvmInfo::WriteSystemProperties(JNIEnv* jni, StringBuffer& buffer) {
    bool failed = false;
    jobject table = CallStaticObjectMethod(jni, "java.lang.System", "getProperties", failed);
    jobject entries = CallObjectMethod(jni, table, "java.util.Properties", "entrySet", failed);
    jobject iterator = CallObjectMethod(jni, entries, "java.util.Set", "iterator", failed);
    if (!iterator) return;

    const JvmClassInfo* iteratorClass = nullptr;
    const JvmClassInfo* entryClass = nullptr;
    const JvmClassInfo* stringClass = nullptr;
    const JvmMethodInfo *hasNext = nullptr, *next = nullptr, *getKey = nullptr, *getValue = nullptr,
                        *length = nullptr;
    GetClassMethodHandles("java.util.Iterator", "hasNext", &iteratorClass, &hasNext);
    GetClassMethodHandles("java.util.Iterator", "next", &iteratorClass, &next);
    GetClassMethodHandles("java.util.Map$Entry", "getKey", &entryClass, &getKey);
    GetClassMethodHandles("java.util.Map$Entry", "getValue", &entryClass, &getValue);
    GetClassMethodHandles("java.lang.String", "length", &stringClass, &length);
    if (!hasNext || !next || !getKey || !getValue) return;
    // Keys and values are read as text only when they are strings.
    jclass stringRef = DeclaringClass(length);
    if (!stringRef) return;

    while (!failed) {
        jboolean more = jni->CallBooleanMethod(iterator, hasNext->GetJvmId());
        if (JavaCallFailed(jni, "CallBooleanMethod") || !more) break;
        jobject entry = CallObjectMethod(jni, iterator, next, failed);
        jobject key = CallObjectMethod(jni, entry, getKey, failed);
        jobject value = CallObjectMethod(jni, entry, getValue, failed);
        if (key && value && jni->IsInstanceOf(key, stringRef) && jni->IsInstanceOf(value, stringRef))
            AppendProperty(jni, buffer, static_cast<jstring>(key), static_cast<jstring>(value));
        if (value) jni->DeleteLocalRef(value);
        if (key) jni->DeleteLocalRef(key);
        if (entry) jni->DeleteLocalRef(entry);
    }
}

}  // namespace Orlo
