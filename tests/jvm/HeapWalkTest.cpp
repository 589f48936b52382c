// Whole snapshots through the agent's driver into private temporary files.
#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>
#include <dirent.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "JvmAgent.h"
#include "JvmHarness.h"
#include "JvmInfo.h"
#include "Orlo.h"
#include "StringBuffer.h"
#include "TempDir.h"
#include "VeskLogger.h"

using namespace Orlo;

namespace vesktest {
namespace {

// Sets an environment variable for one test and puts the old value back.
class EnvGuard {
public:
    EnvGuard(const char* name, const std::string& value) : name(name) {
        const char* old = getenv(name);
        had = old != nullptr;
        if (had) saved = old;
        setenv(name, value.c_str(), 1);
    }
    ~EnvGuard() {
        if (had)
            setenv(name, saved.c_str(), 1);
        else
            unsetenv(name);
    }

private:
    const char* name;
    bool had;
    std::string saved;
};

void CallFixture(const char* method, const char* signature, jint count = 0) {
    JNIEnv* jni = HarnessJni();
    jclass fixture = jni->FindClass("model/ModelFixture");
    jmethodID id = jni->GetStaticMethodID(fixture, method, signature);
    if (count)
        jni->CallStaticVoidMethod(fixture, id, count);
    else
        jni->CallStaticVoidMethod(fixture, id);
    ASSERT_FALSE(jni->ExceptionCheck());
    jni->DeleteLocalRef(fixture);
}

// What a client makes of one snapshot: the class and thread records and the
// heap records of every file, in order.
struct Snapshot {
    std::map<std::string, Record> classes;  // by clstag
    std::map<std::string, std::string> classNames;
    std::map<std::string, std::string> threads;  // thrdtag -> name
    std::vector<std::vector<Record>> files;

    explicit Snapshot(JvmInfo& info) {
        StringBuffer buffer(1 << 24, 1 << 24);
        info.AddClassesToResult(buffer);
        for (Record& record : ParseRecords(BufferText(buffer))) {
            if (record.name == "class") {
                classNames[record["clstag"]] = record["name"];
                classes[record["clstag"]] = record;
            } else {
                threads[record["thrdtag"]] = record["name"];
            }
        }
        for (const std::string& name : info.GetSnapShotFileNames()) files.push_back(ParseRecords(ReadFile(name)));
    }
    std::string ClassTag(const std::string& name) const {
        for (const auto& entry : classNames)
            if (entry.second == name) return entry.first;
        return "";
    }
    // The name of the field an index names in a class record.
    std::string FieldName(const std::string& clstag, const std::string& index) const {
        auto it = classes.find(clstag);
        if (it == classes.end()) return "";
        for (const Record& child : it->second.children)
            if (child.name == "field" && child["index"] == index) return child["name"];
        return "";
    }
};

class HeapWalkTest : public ::testing::Test {
protected:
    void Take(JvmInfo& info) { agent->GenerateSnapShot(&info); }

    TempDir dir;
    EnvGuard temp{"TEMP", dir.Path()};
};

TEST_F(HeapWalkTest, EveryTagResolvesAndCountsMatch) {
    JvmInfo info;
    Take(info);
    ASSERT_FALSE(info.SnapShotFailed()) << info.GetSnapShotError();
    ASSERT_EQ(info.GetSnapShotFileNames().size(), 1u);
    const std::string file = info.GetSnapShotFileNames()[0];
    EXPECT_EQ(file.rfind(dir.Path() + "/VESK_", 0), 0u) << file;
    struct stat status;
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    Snapshot snap(info);
    std::map<std::string, std::string> objectClass;  // tag -> clstag
    int64_t refs = 0, roots = 0;
    const std::string leafTag = snap.ClassTag("model.ModelLeaf");
    std::set<std::string> leafObjects;
    std::set<std::string> checkedFields;
    bool sawStackRoot = false;
    auto resolves = [&](const std::string& tag) {
        return objectClass.count(tag) || snap.classes.count(tag) || snap.threads.count(tag);
    };
    for (const Record& record : snap.files[0]) {
        if (record.name == "obj" || record.name == "arrayobj") {
            EXPECT_EQ(objectClass.count(record["tag"]), 0u) << "tag given twice";
            EXPECT_EQ(snap.classes.count(record["clstag"]), 1u);
            EXPECT_EQ(record.Has("len"), record.name == "arrayobj");
            objectClass[record["tag"]] = record["clstag"];
            if (record["clstag"] == leafTag) leafObjects.insert(record["tag"]);
            continue;
        }
        ASSERT_EQ(record.name, "ref");
        refs++;
        if (record["heaproot"] == "1") roots++;
        EXPECT_TRUE(resolves(record["tag"])) << record["tag"];
        EXPECT_EQ(snap.classes.count(record["clstag"]), 1u);
        if (record.Has("reftag")) {
            EXPECT_TRUE(resolves(record["reftag"])) << record["reftag"];
            EXPECT_FALSE(record.Has("heaproot"));
        }
        const std::string target = snap.classNames[record["clstag"]];
        const std::string kind = record["kind"];
        // Field indices as the JVM reports them name the right field.
        if (kind == "2" && leafObjects.count(record["reftag"])) {
            const std::map<std::string, std::string> expected = {
                {"model.RootVal", "rootVal"}, {"model.MidVal", "midVal"}, {"model.LeafVal", "leafVal"}};
            auto it = expected.find(target);
            if (it != expected.end()) {
                EXPECT_EQ(snap.FieldName(leafTag, record["index"]), it->second);
                checkedFields.insert(it->second);
            }
        }
        if (kind == "8") {
            const std::map<std::string, std::pair<std::string, std::string>> statics = {
                {"model.LeafStatic", {"model.ModelLeaf", "LEAF_STATIC"}},
                {"model.MidStatic", {"model.ModelMid", "MID_STATIC"}},
                {"model.FaceVal", {"model.ModelFace", "FACE_VAL"}},
                {"model.BaseVal", {"model.ModelBase", "BASE_VAL"}}};
            auto it = statics.find(target);
            if (it != statics.end()) {
                EXPECT_EQ(record["reftag"], snap.ClassTag(it->second.first));
                EXPECT_EQ(snap.FieldName(record["reftag"], record["index"]), it->second.second);
                checkedFields.insert(it->second.second);
            }
        }
        if (kind == "24" && target == "model.HeldByStack") {
            sawStackRoot = true;
            EXPECT_EQ(snap.threads[record["thrdtag"]], "model-worker & co");
            EXPECT_EQ(record["heaproot"], "1");
        }
    }
    EXPECT_EQ(refs, info.GetHeapRefCount());
    EXPECT_EQ(static_cast<int64_t>(objectClass.size()), info.GetHeapObjCount());
    EXPECT_EQ(roots, info.GetHeapRootCount());
    EXPECT_EQ(snap.classes[leafTag]["totalinst"], "3");
    EXPECT_EQ(leafObjects.size(), 3u);
    EXPECT_EQ(checkedFields.size(), 7u);
    EXPECT_TRUE(sawStackRoot);

    // The untag walk left nothing behind; clearing removes the file.
    jlong tag = -1;
    JNIEnv* jni = HarnessJni();
    jclass leafClass = jni->FindClass("model/ModelLeaf");
    HarnessJvmti()->GetTag(leafClass, &tag);
    EXPECT_EQ(tag, 0);
    info.Clear();
    EXPECT_FALSE(FileExists(file));
}

TEST_F(HeapWalkTest, NewFileEvery250000References) {
    CallFixture("grow", "(I)V", 300000);
    JvmInfo info;
    Take(info);
    CallFixture("drop", "()V");
    ASSERT_FALSE(info.SnapShotFailed()) << info.GetSnapShotError();
    ASSERT_GE(info.GetSnapShotFileNames().size(), 2u);
    Snapshot snap(info);
    int64_t total = 0;
    for (size_t i = 0; i < snap.files.size(); i++) {
        int64_t refs = 0;
        for (const Record& record : snap.files[i]) refs += record.name == "ref";
        if (i + 1 < snap.files.size()) EXPECT_EQ(refs, JvmInfo::REFS_PER_FILE) << "file " << i;
        total += refs;
    }
    EXPECT_EQ(total, info.GetHeapRefCount());
}

TEST_F(HeapWalkTest, SecondSnapshotReplacesTheFirstFiles) {
    JvmInfo info;
    Take(info);
    std::string first = info.GetSnapShotFileNames().at(0);
    Take(info);
    ASSERT_EQ(info.GetSnapShotFileNames().size(), 1u);
    EXPECT_FALSE(FileExists(first));
    EXPECT_TRUE(FileExists(info.GetSnapShotFileNames()[0]));
    EXPECT_GT(info.GetHeapObjCount(), 0);
}

TEST_F(HeapWalkTest, UnusableDirectoryFailsAndLeavesNothing) {
    EnvGuard missing("TEMP", dir.File("missing/dir"));
    CallFixture("grow", "(I)V", 600000);
    JvmInfo info;
    Take(info);
    CallFixture("drop", "()V");
    EXPECT_TRUE(info.SnapShotFailed());
    EXPECT_NE(info.GetSnapShotError().find(dir.File("missing/dir")), std::string::npos) << info.GetSnapShotError();
    EXPECT_TRUE(info.GetSnapShotFileNames().empty());
    // The walk stopped once the writer had failed the first file, at the
    // latest when it handed over the second.
    EXPECT_GE(info.GetHeapRefCount(), JvmInfo::REFS_PER_FILE);
    EXPECT_LE(info.GetHeapRefCount(), 2 * JvmInfo::REFS_PER_FILE);
}

// Tags an earlier pass left behind (objects its untag step did not reach, in
// an environment that outlived it) do not pass for this walk's: the objects
// get records and new numbers.
TEST_F(HeapWalkTest, StaleObjectTagsAreIgnored) {
    JNIEnv* jni = HarnessJni();
    jclass fixture = jni->FindClass("model/ModelFixture");
    jfieldID field = jni->GetStaticFieldID(fixture, "leaves", "[Lmodel/ModelLeaf;");
    auto leaves = static_cast<jobjectArray>(jni->GetStaticObjectField(fixture, field));
    jobject first = jni->GetObjectArrayElement(leaves, 0);
    jobject second = jni->GetObjectArrayElement(leaves, 1);
    // Below and far above any number this walk gives out.
    const jlong below = 1, above = INT64_MAX - 7;
    // The snapshot's steps one by one, to plant the tags where the walk looks.
    JvmInfo info;
    info.PrepareSnapShot(HarnessJvmti(), jni);
    jvmtiEnv* tags = info.GetTagEnv();
    ASSERT_NE(tags, nullptr);
    ASSERT_EQ(tags->SetTag(first, below), JVMTI_ERROR_NONE);
    ASSERT_EQ(tags->SetTag(second, above), JVMTI_ERROR_NONE);
    jvmtiHeapCallbacks callbacks{};
    callbacks.heap_reference_callback = &HeapReferenceCB;
    EXPECT_EQ(tags->FollowReferences(JVMTI_HEAP_FILTER_CLASS_UNTAGGED, nullptr, nullptr, &callbacks, &info),
              JVMTI_ERROR_NONE);
    info.FinishSnapShotFiles(false);
    info.ReleaseTags(false);
    ASSERT_FALSE(info.SnapShotFailed()) << info.GetSnapShotError();

    Snapshot snap(info);
    const std::string leafTag = snap.ClassTag("model.ModelLeaf");
    EXPECT_EQ(snap.classes[leafTag]["totalinst"], "3");
    std::set<std::string> leafObjects, referenced;
    for (const Record& record : snap.files[0]) {
        if (record.name == "obj" && record["clstag"] == leafTag) leafObjects.insert(record["tag"]);
        if (record.name == "ref" && record["clstag"] == leafTag) referenced.insert(record["tag"]);
        for (const char* attr : {"tag", "reftag"})
            if (record.Has(attr)) EXPECT_TRUE(record[attr] != "1" && record[attr] != "7ffffffffffffff8") << record[attr];
    }
    EXPECT_EQ(leafObjects.size(), 3u);
    EXPECT_EQ(referenced, leafObjects) << "every reference to a leaf names its record";
    jni->DeleteLocalRef(second);
    jni->DeleteLocalRef(first);
    jni->DeleteLocalRef(leaves);
    jni->DeleteLocalRef(fixture);
}

int FilesIn(const std::string& path) {
    int count = 0;
    DIR* dir = opendir(path.c_str());
    while (dirent* entry = dir ? readdir(dir) : nullptr) count += entry->d_name[0] != '.';
    if (dir) closedir(dir);
    return count;
}

TEST_F(HeapWalkTest, WriteFailureRemovesThePartialFile) {
    CallFixture("grow", "(I)V", 300000);
    JvmInfo info;
    // Files may grow to 64 KiB only; a larger write fails with EFBIG.
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    Take(info);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    CallFixture("drop", "()V");
    EXPECT_TRUE(info.SnapShotFailed());
    EXPECT_NE(info.GetSnapShotError().find("Cannot write"), std::string::npos) << info.GetSnapShotError();
    EXPECT_TRUE(info.GetSnapShotFileNames().empty());
    EXPECT_EQ(FilesIn(dir.Path()), 0);
}

// Trace logging composes a line per reference; long names must not hurt.
TEST_F(HeapWalkTest, TraceLoggingWalk) {
    TempDir logDir;
    const std::string log = logDir.File("trace.log");
    VeskLogger::CloseLogFile();
    VeskLogger::SetLogFile(log.c_str());
    VeskLogger::SetLogLevel(LOG_TRACE);
    JvmInfo info;
    Take(info);
    VeskLogger::SetLogLevel(LOG_ERROR);
    VeskLogger::CloseLogFile();
    VeskLogger::SetLogFile("/dev/stderr");
    EXPECT_FALSE(info.SnapShotFailed());
    std::string text = ReadFile(log);
    EXPECT_NE(text.find("HEAP: kind=STACK_LOCAL, class="), std::string::npos);
    EXPECT_NE(text.find("Skipping CLASS reference"), std::string::npos);
    EXPECT_NE(text.find("Complete Class Info:"), std::string::npos);
    EXPECT_NE(text.find("threadName=model-worker & co"), std::string::npos);
}

jint JNICALL CountTagged(jlong, jlong, jlong*, jint, void* count) {
    ++*static_cast<int64_t*>(count);
    return 0;
}

// Objects carrying a tag in the agent's own environment.
int64_t AgentTagged() {
    jvmtiHeapCallbacks callbacks{};
    callbacks.heap_iteration_callback = &CountTagged;
    int64_t count = 0;
    EXPECT_EQ(HarnessJvmti()->IterateThroughHeap(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, &callbacks, &count),
              JVMTI_ERROR_NONE);
    return count;
}

// Tags live in an environment of the request's own, which goes when the
// tags must: after a snapshot, finished or aborted, and at the end of a
// request that only tagged. Stale tags would change the next counts.
TEST_F(HeapWalkTest, NoTagOutlivesItsPassInAnyUntagMode) {
    JNIEnv* jni = HarnessJni();
    jclass leafClass = jni->FindClass("model/ModelLeaf");
    for (const char* mode : {"walk", "iterate", "dispose"}) {  // the default last, so it stays
        SCOPED_TRACE(mode);
        agent->ParseOptions(("untag=" + std::string(mode)).c_str());
        ASSERT_EQ(agent->GetUntagMode() == UntagMode::Walk, std::string(mode) == "walk");
        JvmInfo info;
        Take(info);
        ASSERT_FALSE(info.SnapShotFailed()) << info.GetSnapShotError();
        EXPECT_EQ(info.GetTagEnv(), nullptr);
        const int64_t objects = info.GetHeapObjCount(), refs = info.GetHeapRefCount();
        Take(info);
        EXPECT_NEAR(info.GetHeapObjCount(), objects, 100);
        EXPECT_NEAR(info.GetHeapRefCount(), refs, 100);
        info.Clear();
        JvmInfo next;
        Take(next);
        EXPECT_NEAR(next.GetHeapObjCount(), objects, 100);
        EXPECT_EQ(next.GetTagEnv(), nullptr);

        {
            EnvGuard missing("TEMP", dir.File("missing/dir"));
            CallFixture("grow", "(I)V", 300000);
            JvmInfo aborted;
            Take(aborted);
            CallFixture("drop", "()V");
            EXPECT_TRUE(aborted.SnapShotFailed());
            EXPECT_EQ(aborted.GetTagEnv(), nullptr);
        }

        JvmInfo runtime;
        runtime.GatherRuntimeInfo(HarnessJvmti(), jni);
        jvmtiEnv* tags = runtime.GetTagEnv();
        ASSERT_NE(tags, nullptr);
        EXPECT_NE(tags, HarnessJvmti());
        jlong tag = 0;
        EXPECT_EQ(tags->GetTag(leafClass, &tag), JVMTI_ERROR_NONE);
        EXPECT_NE(tag, 0);
        runtime.Clear();
        EXPECT_EQ(runtime.GetTagEnv(), nullptr);
        EXPECT_EQ(AgentTagged(), 0);
    }
    jni->DeleteLocalRef(leafClass);
}

TEST_F(HeapWalkTest, EmptyOrOverlongTempFallsBack) {
    EnvGuard longTemp("TEMP", std::string(600, 'x'));
    EnvGuard tmp("TMP", "");
    EnvGuard tmpdir("TMPDIR", dir.Path() + "/");
    JvmInfo info;
    Take(info);
    ASSERT_FALSE(info.SnapShotFailed()) << info.GetSnapShotError();
    EXPECT_EQ(std::string(info.GetSnapShotFileNames().at(0)).rfind(dir.Path() + "/VESK_", 0), 0u);
}

}  // namespace
}  // namespace vesktest
