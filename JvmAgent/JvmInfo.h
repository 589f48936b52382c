// Per-connection record of everything gathered for one request: runtime
// figures, the class and thread descriptions of the last tagging pass with
// the maps that find them by name, the heap-walk counters and times, and the
// snapshot's temporary files. Used by the one thread serving the connection
// (the heap-walk callback included); no lock of its own, the snapshot driver
// holds the agent monitor around a snapshot.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ClassFieldValues.h"
#include "HeapRecord.h"
#include "SnapshotWriter.h"
#include "TagEnvironment.h"
#include "TagRange.h"
#include "TimeStamp.h"
#include "VeskProtocol.h"

namespace Orlo {

class CancelCheck;
class JvmClassInfo;
class JvmInterfaceInfo;
class JvmMethodInfo;
class JvmObjectInfo;
class JvmThreadInfo;
class LocalFrame;
class ReferenceBatch;
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

// What the snapshot driver timed around the walk: the heap walk (the walk
// from the class objects' own fields included) and the untag step.
struct WalkTimes {
    TimeStamp walkStart, walkEnd, untagStart, untagEnd;
};

class JvmInfo {
public:
    static constexpr int64_t REFS_PER_FILE = Protocol::REFS_PER_FILE;
    static constexpr int CALLBACKS_PER_CANCEL_CHECK = 10000;

    JvmInfo();
    ~JvmInfo();
    JvmInfo(const JvmInfo&) = delete;
    JvmInfo& operator=(const JvmInfo&) = delete;

    // Zeroes the counters, times and figures; frees nothing.
    void Init();
    // Releases the records, the tags and the snapshot files, then Init().
    void Clear();
    // The owning connection, polled during a walk for the client's abort
    // (part of the agent's surface under this name); null polls nothing.
    void SetClientConnection(CancelCheck* connection) { cancelCheck = connection; }

    JvmClassInfo* FindClass(const std::string* name) const { return classMap.Get(name); }
    bool AddClass(const std::string* name, JvmClassInfo* info) { return classMap.Add(name, info); }
    bool AddMethod(jmethodID id, JvmMethodInfo* info) { return methodMap.Add(id, info); }
    // The interface record of that name, created and loaded on first request.
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
    // The driver's times of the last walk, for the metrics; zero until given.
    void SetWalkTimes(const WalkTimes& times) { walkTimes = times; }
    // Appends the 18 metric <prop> elements that close a snapshot stream.
    void GetAgentMetrics(StringBuffer& buffer);
    // Trace dump of every thread and class record; the caller checks the level.
    void PrintJvmInfo();

    // Tagging (before a walk). A tagging pass sets its tags in a JVMTI
    // environment of this request's own, made for the pass; when the JVM
    // gives none, in the agent's environment (logged), and then only an
    // untag walk removes them.
    void PrepareSnapShot(jvmtiEnv* jvmti, JNIEnv* jni);
    void TagLoadedClasses(jvmtiEnv* jvmti, JNIEnv* jni);
    // The environment holding this pass's tags, for every SetTag, GetTag and
    // heap walk of the request; null before a pass and once its tags are gone.
    jvmtiEnv* GetTagEnv() const { return tagEnv.Get(); }
    // False when the tags are in the agent's own environment.
    bool OwnsTagEnv() const { return tagEnv.Owned(); }
    // Ends the pass's tags: disposes of its own environment, which takes every
    // tag with it, or clears the class and thread tags in the agent's. dying:
    // the VM takes the tags with it; nothing is removed.
    void ReleaseTags(bool dying);

    // Heap walk: one call per reported reference, on the thread running the
    // walk; false aborts the walk (client abort, failed snapshot file).
    bool RecordHeapReference(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                             jlong classTag, jlong referrerClassTag, jlong size, jlong* tagPtr,
                             jlong* referrerTagPtr, jint length);
    // A record made outside a heap walk (a snapshot from a heap dump),
    // counted and written as the walk's are: an object record when flagged
    // new, its class's totals raised. False when the snapshot files failed.
    bool AddRecord(const HeapRecord::Captured& record);
    // False once a walk callback stopped the walk (abort, failed file).
    bool WalkStopped() const { return walkStopped; }

    // The walk from java.lang.Class's own reference fields, after the heap
    // walk: the JVM reports none of them.
    ClassFieldValues& GetClassFields() { return classFields; }

    // Hands the filled batch to the writer thread; a new file follows.
    void FlushOutput();
    // After the walk: writes the last batch and waits for the writer. dying:
    // the VM is going, so nothing more is written and the files are deleted.
    void FinishSnapShotFiles(bool dying);
    void TerminateSnapShot();
    // True once a snapshot file could not be created or written, or the walk
    // stopped on an exception; the files are then gone.
    bool SnapShotFailed() const { return !snapshotError.empty(); }
    const std::string& GetSnapShotError() const { return snapshotError; }

    // Runtime figures and system properties, through Java calls; each runs a
    // tagging pass first when the record holds none.
    void GatherRuntimeInfo(jvmtiEnv* jvmti, JNIEnv* jni);
    void AddRuntimeToResult(StringBuffer& buffer);
    // Uses the agent's JVMTI environment and the calling thread's JNI one.
    void GetSystemProperties(StringBuffer& buffer);
    void AddClassesToResult(StringBuffer& buffer);

    // Java calls through the class model (JavaCalls makes them): a class
    // record given is used as is; failed turns true on a Java exception.
    void GetClassMethodHandles(const char* className, const char* methodName,
                               const JvmClassInfo** classInfo, const JvmMethodInfo** methodInfo);
    jobject CallObjectMethod(JNIEnv* jni, jobject object, const JvmMethodInfo* method, bool& failed);
    jobject CallObjectMethod(JNIEnv* jni, jobject object, const char* className,
                             const char* methodName, bool& failed);
    // The class is the method's declaring class, asked of jvmti: the class
    // record's own reference died with the tagging pass's local frame.
    jobject CallStaticObjectMethod(jvmtiEnv* jvmti, JNIEnv* jni, const JvmClassInfo* classInfo,
                                   const JvmMethodInfo* method, bool& failed);
    jobject CallStaticObjectMethod(jvmtiEnv* jvmti, JNIEnv* jni, const char* className,
                                   const char* methodName, bool& failed);

    int GetClassCount() const { return tags.classCount; }
    int GetThreadCount() const { return tags.threadCount; }
    const JvmClassInfo* GetClassInfos() const { return classInfos; }
    const JvmThreadInfo* GetThreadInfos() const { return threadInfos; }
    jlong GetNextObjectTag() const { return tags.nextObject; }
    // A tag of this pass: an object number or a class or thread record's.
    bool IsCurrentTag(jlong tag) const;
    bool IsClassTag(jlong tag) const;
    // java.lang.Class's record and its tag; null and 0 before a pass.
    const JvmClassInfo* GetJavaLangClass() const { return javaLangClassInfo; }
    jlong GetJavaLangClassTag() const { return TagOf(javaLangClassInfo); }

private:
    // Untags and releases the records and maps of the last tagging pass.
    void ReleaseRecords();
    // Within the pass's frame, which holds the thread references too.
    void TagThreads(LocalFrame& frame);
    void DeleteSnapShotFiles();
    void FailSnapShot(const std::string& message);
    // A walk callback's false: the walk stops.
    bool Stop() {
        walkStopped = true;
        return false;
    }
    // The class or thread record a tag addresses, or null (range checked).
    JvmClassInfo* ClassRecord(jlong tag) const;
    JvmObjectInfo* TaggedRecord(jlong tag) const;
    void LogHeapReference(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                          jlong classTag, jlong referrerClassTag, jlong size, jlong* tagPtr,
                          jlong* referrerTagPtr, jint length) const;

    TimeStamp rtTime;
    int64_t totalHeap;
    int64_t maxHeap;
    int64_t freeHeap;
    int cpuCount;
    TimeStamp snapshotStart, snapshotEnd, classTagStart, classTagEnd;
    WalkTimes walkTimes;
    int64_t heapObjCount;
    int64_t heapRefCount;
    int64_t heapRootCount;
    int64_t refsSinceFlush;
    int callbacksSinceCancelCheck = 0;
    bool walkStopped = false;
    ClassFieldValues classFields{*this};
    // The records, owned (array allocations); tags.classes and tags.threads
    // point at them with their counts.
    JvmClassInfo* classInfos;
    JvmThreadInfo* threadInfos;
    JvmClassInfo* javaLangClassInfo = nullptr;
    TagRange<JvmClassInfo, JvmThreadInfo> tags;
    InfoMap<jmethodID, JvmMethodInfo*, std::less<jmethodID>, false> methodMap;
    InfoMap<const std::string*, JvmInterfaceInfo*, StringCompare, true> interfaceMap;
    InfoMap<const std::string*, JvmClassInfo*, StringCompare, false> classMap;
    TagEnvironment tagEnv;
    ReferenceBatch* snapshotBuffer;  // the writer's batch the walk fills
    SnapshotWriter snapshotWriter{static_cast<size_t>(REFS_PER_FILE)};
    CancelCheck* cancelCheck = nullptr;
    std::string snapshotError;
};

}  // namespace Orlo
