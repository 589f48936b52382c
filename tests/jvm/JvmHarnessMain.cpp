// Starts a JVM in this process, puts the agent on it in the live phase (no
// VM-init event follows, so no server thread starts) and runs the tests.
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "JavaProcess.h"
#include "JvmAgent.h"
#include "JvmHarness.h"
#include "Orlo.h"
#include "StringBuffer.h"

namespace vesktest {

namespace {

JavaVM* vm = nullptr;
int argCount;
char** args;
int exitCode = 1;

typedef jint(JNICALL* CreateJavaVMFn)(JavaVM**, void**, void*);

bool StartJvm() {
    std::string lib = TestJdk() + "/lib/server/libjvm.so";
    void* handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle) {
        fprintf(stderr, "Cannot load %s: %s\n", lib.c_str(), dlerror());
        return false;
    }
    auto create = reinterpret_cast<CreateJavaVMFn>(dlsym(handle, "JNI_CreateJavaVM"));
    std::string classPath = std::string("-Djava.class.path=") + VESK_FIXTURE_DIR;
    JavaVMOption options[] = {{const_cast<char*>(classPath.c_str()), nullptr},
                              {const_cast<char*>("-Xmx256m"), nullptr}};
    JavaVMInitArgs init = {JNI_VERSION_1_8, 2, options, JNI_FALSE};
    JNIEnv* jni = nullptr;
    if (!create || create(&vm, reinterpret_cast<void**>(&jni), &init) != JNI_OK) {
        fprintf(stderr, "JNI_CreateJavaVM failed\n");
        return false;
    }
    return true;
}

// Loads the fixture heap: model.ModelFixture.setup(classPath).
bool SetUpFixture() {
    JNIEnv* jni = HarnessJni();
    jclass fixture = jni->FindClass("model/ModelFixture");
    jmethodID setup = fixture ? jni->GetStaticMethodID(fixture, "setup", "(Ljava/lang/String;)V") : nullptr;
    if (setup) jni->CallStaticVoidMethod(fixture, setup, jni->NewStringUTF(VESK_FIXTURE_DIR));
    if (jni->ExceptionCheck() || !setup) {
        jni->ExceptionDescribe();
        return false;
    }
    return true;
}

void CreateAgent() {
    TempDir config;
    std::string options = "cfgfile=" +
                          config.Write("veskjagent.properties",
                                       "vesk.agent.log.level=ERROR\nvesk.agent.log.file=/dev/stderr\n");
    Orlo::agent = new Orlo::JvmAgent(vm, const_cast<char*>(options.c_str()));
}

// Ends the process from the thread that created the JVM: that thread must
// not exit while attached, and the JVM's own threads still run.
void* Run(void*) {
    if (StartJvm()) {
        CreateAgent();
        if (Orlo::agent->GetJvmtiEnv() && SetUpFixture()) {
            ::testing::InitGoogleTest(&argCount, args);
            exitCode = RUN_ALL_TESTS();
        }
    }
    fflush(stdout);
    fflush(stderr);
    _exit(exitCode);
}

}  // namespace

JavaVM* HarnessVm() { return vm; }

JNIEnv* HarnessJni() {
    JNIEnv* jni = nullptr;
    vm->GetEnv(reinterpret_cast<void**>(&jni), JNI_VERSION_1_8);
    return jni;
}

jvmtiEnv* HarnessJvmti() { return Orlo::agent->GetJvmtiEnv(); }

const std::string& Record::operator[](const std::string& key) const {
    static const std::string none;
    auto it = attrs.find(key);
    return it == attrs.end() ? none : it->second;
}

static Record ToRecord(const pugi::xml_node& node) {
    Record record;
    record.name = node.name();
    for (pugi::xml_attribute attr : node.attributes()) record.attrs[attr.name()] = attr.value();
    for (pugi::xml_node child : node.children()) record.children.push_back(ToRecord(child));
    return record;
}

std::vector<Record> ParseRecords(const std::string& text) {
    pugi::xml_document doc;
    pugi::xml_parse_result result =
        doc.load_buffer(text.data(), text.size(), pugi::parse_default | pugi::parse_fragment);
    EXPECT_TRUE(result) << result.description() << " at " << result.offset;
    std::vector<Record> records;
    for (pugi::xml_node node : doc.children()) records.push_back(ToRecord(node));
    return records;
}

}  // namespace vesktest

int main(int argc, char** argv) {
    vesktest::argCount = argc;
    vesktest::args = argv;
    // The JVM wants a roomier stack than the primordial thread may give.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 16 * 1024 * 1024);
    pthread_t thread;
    if (pthread_create(&thread, &attr, &vesktest::Run, nullptr) != 0) return 1;
    pthread_join(thread, nullptr);
    return 1;
}
