// The type model and the tagging pass against a real JVM.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "JvmAgent.h"
#include "JvmClassInfo.h"
#include "JvmHarness.h"
#include "JvmInfo.h"
#include "Orlo.h"
#include "JvmThreadInfo.h"
#include "StringBuffer.h"
#include "TempDir.h"

using namespace Orlo;

namespace vesktest {
namespace {

class TypeModelTest : public ::testing::Test {
protected:
    void SetUp() override { info.TagLoadedClasses(HarnessJvmti(), HarnessJni()); }

    const JvmClassInfo* Class(const char* name) {
        std::string key(name);
        const JvmClassInfo* record = info.FindClass(&key);
        EXPECT_NE(record, nullptr) << name;
        return record;
    }

    // The tag of the class of a static field of model.ModelFixture in the
    // pass's environment; 0 once that has gone.
    jlong ClassTagOfFixtureField(const char* field) {
        if (!info.GetTagEnv()) return 0;
        JNIEnv* jni = HarnessJni();
        jclass fixture = jni->FindClass("model/ModelFixture");
        jobject value = jni->GetStaticObjectField(fixture, jni->GetStaticFieldID(fixture, field, "Ljava/lang/Object;"));
        jlong tag = 0;
        info.GetTagEnv()->GetTag(jni->GetObjectClass(value), &tag);
        return tag;
    }

    bool InClassArray(jlong tag) const {
        auto address = reinterpret_cast<const JvmClassInfo*>(tag);
        return address >= info.GetClassInfos() && address < info.GetClassInfos() + info.GetClassCount();
    }

    JvmInfo info;
};

std::vector<std::string> FieldNames(const std::vector<JvmFieldInfo>& fields) {
    std::vector<std::string> names;
    for (const JvmFieldInfo& field : fields) names.push_back(field.GetName());
    return names;
}

// Class.forName(name, false, system loader): loaded, not linked.
jclass LoadUnlinked(const char* name) {
    JNIEnv* jni = HarnessJni();
    jclass loaderClass = jni->FindClass("java/lang/ClassLoader");
    jobject loader = jni->CallStaticObjectMethod(
        loaderClass, jni->GetStaticMethodID(loaderClass, "getSystemClassLoader", "()Ljava/lang/ClassLoader;"));
    jclass classClass = jni->FindClass("java/lang/Class");
    jmethodID forName =
        jni->GetStaticMethodID(classClass, "forName", "(Ljava/lang/String;ZLjava/lang/ClassLoader;)Ljava/lang/Class;");
    jobject loaded = jni->CallStaticObjectMethod(classClass, forName, jni->NewStringUTF(name), JNI_FALSE, loader);
    if (jni->ExceptionCheck()) {
        jni->ExceptionDescribe();
        return nullptr;
    }
    return static_cast<jclass>(loaded);
}

TEST_F(TypeModelTest, MasterFieldListRunsInterfacesThenRootToLeaf) {
    const JvmClassInfo* leaf = Class("model.ModelLeaf");
    ASSERT_NE(leaf, nullptr);
    const std::vector<std::string> expected = {"BASE_VAL", "FACE_NUM", "FACE_VAL",   "rootNum", "rootVal",
                                               "MID_STATIC", "midNum", "midVal", "leafVal", "LEAF_STATIC"};
    EXPECT_EQ(FieldNames(leaf->GetMasterFields()), expected);
    const std::vector<std::string> definers = {"model.ModelBase", "model.ModelFace", "model.ModelFace",
                                               "model.ModelRoot", "model.ModelRoot", "model.ModelMid",
                                               "model.ModelMid",  "model.ModelMid",  "model.ModelLeaf",
                                               "model.ModelLeaf"};
    for (size_t i = 0; i < leaf->GetMasterFields().size(); i++) {
        const JvmFieldInfo& field = leaf->GetMasterFields()[i];
        EXPECT_EQ(field.GetIndex(), static_cast<int>(i));
        EXPECT_EQ(field.GetInstanceClass(), leaf);
        EXPECT_EQ(*field.GetDefiningClass()->GetJavaType(), definers[i]) << field.GetName();
    }
    EXPECT_EQ(*leaf->GetSuperClass()->GetJavaType(), "model.ModelMid");
    EXPECT_TRUE(Class("java.lang.Object")->GetMasterFields().empty());
    // A copy keeps the field ID and definer but is numbered for its holder.
    const JvmFieldInfo& inMid = Class("model.ModelMid")->GetMasterFields()[0];
    EXPECT_EQ(inMid.GetName(), "rootNum");
    EXPECT_EQ(inMid.GetJvmId(), leaf->GetMasterFields()[3].GetJvmId());
    EXPECT_EQ(inMid.GetIndex(), 0);
}

TEST_F(TypeModelTest, SharedSuperInterfaceComesOnceBeforeItsChildren) {
    const JvmClassInfo* both = Class("model.Both");
    ASSERT_NE(both, nullptr);
    std::vector<JvmInterfaceInfo*> list;
    const_cast<JvmClassInfo*>(both)->BuildInterfaceList(&info, list);
    std::vector<std::string> names;
    for (JvmInterfaceInfo* iface : list) names.push_back(*iface->GetJavaType());
    EXPECT_EQ(names, (std::vector<std::string>{"model.ModelShared", "model.LeftFace", "model.RightFace"}));
    EXPECT_EQ(FieldNames(both->GetMasterFields()), (std::vector<std::string>{"SHARED", "LEFT", "RIGHT", "own"}));
    // One interface record per name, however many types name it.
    std::string shared = "model.ModelShared";
    EXPECT_EQ(info.GetInterface(nullptr, &shared), list[0]);
    EXPECT_EQ(list[1]->GetInterfaces().front(), list[0]);
}

TEST_F(TypeModelTest, TwoLoadersShareTheFirstRecord) {
    int records = 0;
    const JvmClassInfo* first = nullptr;
    for (int i = 0; i < info.GetClassCount(); i++) {
        const JvmClassInfo& record = info.GetClassInfos()[i];
        if (*record.GetJavaType() != "model.ModelTwin") continue;
        if (!first) first = &record;
        records++;
    }
    ASSERT_EQ(records, 2);
    EXPECT_EQ(Class("model.ModelTwin"), first);
    EXPECT_EQ(ClassTagOfFixtureField("twin"), reinterpret_cast<jlong>(first));
    EXPECT_EQ(ClassTagOfFixtureField("otherTwin"), reinterpret_cast<jlong>(first));
}

TEST_F(TypeModelTest, ThreadsAreTaggedWithTheirRecords) {
    jint count = 0;
    jthread* threads = nullptr;
    ASSERT_EQ(HarnessJvmti()->GetAllThreads(&count, &threads), JVMTI_ERROR_NONE);
    const JvmThreadInfo* begin = info.GetThreadInfos();
    const JvmThreadInfo* end = begin + info.GetThreadCount();
    bool sawWorker = false;
    for (jint i = 0; i < count; i++) {
        jlong tag = 0;
        info.GetTagEnv()->GetTag(threads[i], &tag);
        auto record = reinterpret_cast<const JvmThreadInfo*>(tag);
        ASSERT_TRUE(record >= begin && record < end) << "thread " << i;
        jvmtiThreadInfo threadInfo = {};
        HarnessJvmti()->GetThreadInfo(threads[i], &threadInfo);
        EXPECT_EQ(record->GetThreadName(), threadInfo.name);
        HarnessJvmti()->Deallocate(reinterpret_cast<unsigned char*>(threadInfo.name));
        if (record->GetThreadName() != "model-worker & co") continue;
        sawWorker = true;
        StringBuffer buffer;
        record->RecordAsXml(buffer);
        char expected[128];
        snprintf(expected, sizeof expected, "<thread thrdtag=\"%llx\" name=\"model-worker &amp; co\" state=\"%d\"/>",
                 static_cast<unsigned long long>(tag), record->GetThreadState());
        EXPECT_EQ(BufferText(buffer), expected);
        EXPECT_TRUE(record->GetThreadState() & JVMTI_THREAD_STATE_WAITING);
    }
    HarnessJvmti()->Deallocate(reinterpret_cast<unsigned char*>(threads));
    EXPECT_TRUE(sawWorker);
    const jlong next = info.GetNextObjectTag();
    EXPECT_GE(next, reinterpret_cast<jlong>(end));
    EXPECT_GE(next, reinterpret_cast<jlong>(info.GetClassInfos() + info.GetClassCount()));
}

TEST_F(TypeModelTest, SecondPassLeavesNoStaleRecord) {
    info.TagLoadedClasses(HarnessJvmti(), HarnessJni());
    const JvmClassInfo* leaf = Class("model.ModelLeaf");
    EXPECT_TRUE(InClassArray(reinterpret_cast<jlong>(leaf)));
    EXPECT_TRUE(InClassArray(ClassTagOfFixtureField("twin")));
    // Superclass links and field definers point into the new pass too.
    EXPECT_TRUE(InClassArray(reinterpret_cast<jlong>(leaf->GetSuperClass())));
    for (const JvmFieldInfo& field : leaf->GetMasterFields()) {
        std::string name = *field.GetDefiningClass()->GetJavaType();
        EXPECT_FALSE(name.empty());
    }
    // Clearing disposes of the environment that holds the record addresses.
    info.Clear();
    EXPECT_EQ(info.GetTagEnv(), nullptr);
    EXPECT_EQ(ClassTagOfFixtureField("twin"), 0);
    EXPECT_EQ(info.GetClassCount(), 0);
}

TEST_F(TypeModelTest, ClassRecordNestsFieldsAndMethods) {
    const JvmClassInfo* root = Class("model.ModelRoot");
    ASSERT_NE(root, nullptr);
    StringBuffer buffer;
    int64_t count = root->RecordAsXml(buffer);
    std::vector<Record> records = ParseRecords(BufferText(buffer));
    ASSERT_EQ(records.size(), 1u);
    const Record& record = records[0];
    EXPECT_EQ(record.name, "class");
    EXPECT_EQ(record["name"], "model.ModelRoot");
    EXPECT_EQ(std::stoull(record["sprclstag"], nullptr, 16), reinterpret_cast<uintptr_t>(Class("java.lang.Object")));
    EXPECT_EQ(record["fields"], "2");
    EXPECT_EQ(record["methods"], std::to_string(root->GetMethods().size()));
    EXPECT_EQ(count, 1 + 2 + static_cast<int64_t>(root->GetMethods().size()));
    ASSERT_GE(record.children.size(), 3u);
    EXPECT_EQ(record.children[1]["name"], "rootVal");
    EXPECT_EQ(record.children[1]["index"], "1");
    EXPECT_EQ(record.children[1]["defclass"], "model.ModelRoot");
    EXPECT_EQ(record.children[2].name, "mthd");
    EXPECT_EQ(record.children[2]["name"], "<init>");
    // java.lang.Object has no superclass attribute.
    StringBuffer object;
    Class("java.lang.Object")->RecordAsXml(object);
    EXPECT_EQ(BufferText(object).find("sprclstag"), std::string::npos);
}

TEST_F(TypeModelTest, FindMethodClimbsTheSuperclassChain) {
    const JvmClassInfo* leaf = Class("model.ModelLeaf");
    const JvmMethodInfo* hash = leaf->FindMethod("hashCode");
    ASSERT_NE(hash, nullptr);
    EXPECT_EQ(*hash->GetClass()->GetJavaType(), "java.lang.Object");
    EXPECT_EQ(leaf->FindMethod("noSuchMethod"), nullptr);
}

TEST_F(TypeModelTest, UnpreparedClassNamesNoGuessedIndex) {
    jclass lazy = LoadUnlinked("model.ModelLazy");
    ASSERT_NE(lazy, nullptr);
    jint status = 0;
    HarnessJvmti()->GetClassStatus(lazy, &status);
    if (status & JVMTI_CLASS_STATUS_PREPARED) GTEST_SKIP() << "model.ModelLazy is linked already";
    info.TagLoadedClasses(HarnessJvmti(), HarnessJni());
    // Its interface is unknown, so ModelRoot's fields would come out as 0
    // and 1, where the JVM counts them 1 and 2.
    const JvmClassInfo* unprepared = Class("model.ModelLazy");
    ASSERT_NE(unprepared, nullptr);
    EXPECT_FALSE(unprepared->HasAllFields());
    EXPECT_TRUE(unprepared->GetMasterFields().empty());
    EXPECT_TRUE(Class("model.ModelRoot")->HasAllFields());

    // Once the class is initialised its fields are all there, in JVM order.
    HarnessJni()->GetFieldID(lazy, "lazyVal", "Ljava/lang/Object;");
    ASSERT_FALSE(HarnessJni()->ExceptionCheck());
    info.TagLoadedClasses(HarnessJvmti(), HarnessJni());
    const JvmClassInfo* prepared = Class("model.ModelLazy");
    EXPECT_TRUE(prepared->HasAllFields());
    EXPECT_EQ(FieldNames(prepared->GetMasterFields()),
              (std::vector<std::string>{"LAZY_CONST", "rootNum", "rootVal", "lazyVal"}));
}

// Every field index the JVM reports, for every class of the JDK it has
// prepared, names a field of the referrer's class record.
TEST_F(TypeModelTest, FieldIndicesOfListedClassesAllResolve) {
    TempDir dir;
    const char* temp = getenv("TEMP");
    const std::string savedTemp = temp ? temp : "";
    setenv("TEMP", dir.Path().c_str(), 1);
    JvmInfo snap;
    agent->GenerateSnapShot(&snap);
    temp ? setenv("TEMP", savedTemp.c_str(), 1) : unsetenv("TEMP");
    ASSERT_FALSE(snap.SnapShotFailed()) << snap.GetSnapShotError();

    std::map<std::string, const JvmClassInfo*> classes;  // by clstag
    for (int i = 0; i < snap.GetClassCount(); i++) {
        char tag[32];
        snprintf(tag, sizeof tag, "%llx", static_cast<unsigned long long>(
                                              reinterpret_cast<uintptr_t>(&snap.GetClassInfos()[i])));
        classes[tag] = &snap.GetClassInfos()[i];
    }
    std::map<std::string, std::string> objectClass;  // tag -> clstag
    int checked = 0;
    for (const std::string& name : snap.GetSnapShotFileNames()) {
        for (const Record& record : ParseRecords(ReadFile(name))) {
            if (record.name != "ref") {
                objectClass[record["tag"]] = record["clstag"];
                continue;
            }
            const std::string& kind = record["kind"];
            if (kind != "2" && kind != "8") continue;
            // An instance field's referrer is an object (or a class object),
            // a static field's the class itself.
            std::string holder = record["reftag"];
            if (kind == "2") holder = objectClass.count(holder) ? objectClass[holder] : "";
            auto it = classes.find(holder);
            if (it == classes.end() || !it->second->HasAllFields()) continue;
            const std::vector<JvmFieldInfo>& fields = it->second->GetMasterFields();
            const int index = std::stoi(record["index"]);
            ASSERT_TRUE(index >= 0 && index < static_cast<int>(fields.size()))
                << *it->second->GetJavaType() << " index " << index;
            // A misnumbered list shows as a primitive or wrongly static field.
            const JvmFieldInfo& field = fields[index];
            const char type = field.GetSignature()[0];
            EXPECT_TRUE(type == 'L' || type == '[') << field.GetName() << " " << field.GetSignature();
            EXPECT_EQ((field.GetModifiers() & 0x0008) != 0, kind == "8") << field.GetName();
            checked++;
        }
    }
    EXPECT_GT(checked, 1000);
    snap.Clear();
}

}  // namespace
}  // namespace vesktest
