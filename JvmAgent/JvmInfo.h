// Per-connection record of everything gathered for one request: runtime
// figures, the class and thread descriptions of the last tagging pass, the
// heap-walk counters, the snapshot buffer and its temporary files.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Orlo.h"
#include "SnapshotWriter.h"

namespace Orlo {

class ClientConnection;
class JvmClassInfo;
class JvmInterfaceInfo;
class JvmMethodInfo;
class JvmObjectInfo;
class JvmThreadInfo;
class StringBuffer;

// Orders string keys by the text they point to.
struct StringCompare {
    bool operator()(const std::string* a, const std::string* b) const { return a->compare(*b) < 0; }
};

// An ordered map that never replaces an entry and may own its values.
template <class Key, class Value, class Compare, bool OwnsValues>
class InfoMap {
public:
    typedef typename std::map<Key, Value, Compare>::const_iterator Iterator;

    InfoMap() : ownsValues(OwnsValues) {}
    ~InfoMap() { Clear(); }
    InfoMap(const InfoMap&) = delete;
    InfoMap& operator=(const InfoMap&) = delete;

    bool Add(Key key, Value value) { return entries.emplace(key, value).second; }
    Value Get(Key key) const {
        auto it = entries.find(key);
        return it == entries.end() ? nullptr : it->second;
    }
    size_t Size() const { return entries.size(); }
    void Clear() {
        if (ownsValues)
            for (auto& entry : entries) delete entry.second;
        entries.clear();
    }
    Iterator Begin() const { return entries.begin(); }
    Iterator End() const { return entries.end(); }

private:
    std::map<Key, Value, Compare> entries;
    bool ownsValues;
};

class JvmInfo {
public:
    static constexpr uint64_t SNAPSHOT_BUFFER_SIZE = 134217728;
    static constexpr uint64_t SNAPSHOT_BUFFER_INCREMENT = 1048576;
    static constexpr int64_t REFS_PER_FILE = 250000;
    static constexpr int CALLBACKS_PER_CANCEL_CHECK = 10000;

    JvmInfo();
    ~JvmInfo();
    JvmInfo(const JvmInfo&) = delete;
    JvmInfo& operator=(const JvmInfo&) = delete;

    void Init();
    void Clear();
    void SetClientConnection(ClientConnection* connection) { clientConnection = connection; }

    JvmClassInfo* FindClass(const std::string* name) const { return classMap.Get(name); }
    bool AddClass(const std::string* name, JvmClassInfo* info) { return classMap.Add(name, info); }
    bool AddMethod(jmethodID id, JvmMethodInfo* info) { return methodMap.Add(id, info); }
    JvmInterfaceInfo* GetInterface(jclass clazz, const std::string* name);

    int64_t GetSnapShotStartTime() const { return snapshotStart.Millis(); }
    int64_t GetSnapShotEndTime() const { return snapshotEnd.Millis(); }
    int64_t GetSnapShotDuration() const { return GetSnapShotEndTime() - GetSnapShotStartTime(); }
    int64_t GetClassTagStartTime() const { return classTagStart.Millis(); }
    int64_t GetClassTagEndTime() const { return classTagEnd.Millis(); }
    int64_t GetClassTagDuration() const { return GetClassTagEndTime() - GetClassTagStartTime(); }
    int64_t GetHeapObjCount() const { return heapObjCount; }
    int64_t GetHeapRefCount() const { return heapRefCount; }
    int64_t GetHeapRootCount() const { return heapRootCount; }
    const std::vector<std::string>& GetSnapShotFileNames() const { return snapshotWriter.Files(); }
    void GetAgentMetrics(StringBuffer& buffer);
    void PrintJvmInfo();

    // Tagging (before a walk). A tagging pass sets its tags in a JVMTI
    // environment of this request's own, made for the pass; when the JVM
    // gives none, in the agent's environment (logged), and then only an
    // untag walk removes them.
    void PrepareSnapShot(jvmtiEnv* jvmti, JNIEnv* jni);
    void TagLoadedClasses(jvmtiEnv* jvmti, JNIEnv* jni);
    // The environment holding this pass's tags, for every SetTag, GetTag and
    // heap walk of the request; null before a pass and once its tags are gone.
    jvmtiEnv* GetTagEnv() const { return tagEnv; }
    // False when the tags are in the agent's own environment.
    bool OwnsTagEnv() const { return ownsTagEnv; }
    // Ends the pass's tags: disposes of its own environment, which takes every
    // tag with it, or clears the class and thread tags in the agent's.
    void ReleaseTags();

    // Heap walk: one call per reported reference; false aborts the walk.
    bool RecordHeapReference(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                             jlong classTag, jlong referrerClassTag, jlong size, jlong* tagPtr,
                             jlong* referrerTagPtr, jint length);
    // Hands the filled buffer to the writer thread; a new file follows.
    void FlushOutput();
    // After the walk: writes the last buffer and waits for the writer. dying:
    // the VM is going, so nothing more is written and the files are deleted.
    void FinishSnapShotFiles(bool dying);
    void TerminateSnapShot();
    // True once a snapshot file could not be created or written.
    bool SnapShotFailed() const { return !snapshotError.empty(); }
    const std::string& GetSnapShotError() const { return snapshotError; }

    // Runtime figures and system properties.
    void GatherRuntimeInfo(jvmtiEnv* jvmti, JNIEnv* jni);
    void AddRuntimeToResult(StringBuffer& buffer);
    void GetSystemProperties(StringBuffer& buffer);
    void AddClassesToResult(StringBuffer& buffer);

    int GetClassCount() const { return classCount; }
    int GetThreadCount() const { return threadCount; }
    const JvmClassInfo* GetClassInfos() const { return classInfos; }
    const JvmThreadInfo* GetThreadInfos() const { return threadInfos; }
    jlong GetNextObjectTag() const { return nextObjectTag; }

private:
    // Untags and releases the records and maps of the last tagging pass.
    void ReleaseRecords();
    void RemoveRecordTags(jvmtiEnv* jvmti);
    void TagThreads(JNIEnv* jni);
    void DeleteSnapShotFiles();
    void FailSnapShot(const std::string& message);
    // The class or thread record a tag addresses, or null (range checked).
    JvmClassInfo* ClassRecord(jlong tag) const;
    JvmObjectInfo* TaggedRecord(jlong tag) const;
    // A tag this pass gave: a class or thread record's, or an object number
    // of this walk. Anything else was left by an earlier pass.
    bool IsCurrentTag(jlong tag) const;
    // Within the class records (the alignment not checked).
    bool InClassRange(jlong tag) const;
    // info, or a copy of it without a thread tag of an earlier pass.
    const jvmtiHeapReferenceInfo* WithCurrentThreadTag(jvmtiHeapReferenceKind kind,
                                                       const jvmtiHeapReferenceInfo* info,
                                                       jvmtiHeapReferenceInfo& copy) const;
    void LogHeapReference(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                          jlong classTag, jlong referrerClassTag, jlong size, jlong* tagPtr,
                          jlong* referrerTagPtr, jint length) const;

    // Java calls through the class model; failed turns true on an exception.
    void GetClassMethodHandles(const char* className, const char* methodName,
                               const JvmClassInfo** classInfo, const JvmMethodInfo** methodInfo);
    jobject CallObjectMethod(JNIEnv* jni, jobject object, const JvmMethodInfo* method, bool& failed);
    jobject CallObjectMethod(JNIEnv* jni, jobject object, const char* className,
                             const char* methodName, bool& failed);
    jobject CallStaticObjectMethod(JNIEnv* jni, const JvmClassInfo* classInfo,
                                   const JvmMethodInfo* method, bool& failed);
    jobject CallStaticObjectMethod(JNIEnv* jni, const char* className, const char* methodName,
                                   bool& failed);
    void WriteSystemProperties(JNIEnv* jni, StringBuffer& buffer);

    TimeStamp rtTime;
    int64_t totalHeap;
    int64_t maxHeap;
    int64_t freeHeap;
    int cpuCount;
    TimeStamp snapshotStart, snapshotEnd, classTagStart, classTagEnd;
    int64_t heapObjCount;
    int64_t heapRefCount;
    int64_t heapRootCount;
    int64_t refsSinceFlush;
    int callbacksSinceCancelCheck = 0;
    JvmClassInfo* classInfos;
    int classCount;
    JvmClassInfo* javaLangClassInfo = nullptr;
    JvmThreadInfo* threadInfos;
    int threadCount;
    InfoMap<jmethodID, JvmMethodInfo*, std::less<jmethodID>, false> methodMap;
    InfoMap<const std::string*, JvmInterfaceInfo*, StringCompare, true> interfaceMap;
    InfoMap<const std::string*, JvmClassInfo*, StringCompare, false> classMap;
    jlong firstObjectTag;
    jlong nextObjectTag;
    jvmtiEnv* tagEnv = nullptr;
    bool ownsTagEnv = false;
    StringBuffer* snapshotBuffer;  // the writer's buffer the walk fills
    SnapshotWriter snapshotWriter{SNAPSHOT_BUFFER_SIZE, SNAPSHOT_BUFFER_INCREMENT};
    ClientConnection* clientConnection;
    std::string snapshotError;
};

}  // namespace Orlo
