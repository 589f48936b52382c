#include "TagEnvironment.h"

#include <cstring>
#include <string>

#include "JniScope.h"
#include "Orlo.h"
#include "OrloUtils.h"
#include "VeskLogger.h"

namespace Orlo {

namespace {

// Local references a removal may hold beyond the tagged objects.
constexpr jint LOCAL_REF_HEADROOM = 64;

}  // namespace

jvmtiEnv* TagEnvironment::Open(JNIEnv* jni, jvmtiEnv* fallback) {
    Release(false, std::vector<jlong>());
    vm = nullptr;
    if (jni) CheckJniError(jni->GetJavaVM(&vm), "GetJavaVM");
    jvmtiEnv* made = nullptr;
    jint result = vm ? vm->GetEnv(reinterpret_cast<void**>(&made), JVMTI_VERSION_1_1) : JNI_ERR;
    if (result != JNI_OK || !made) {
        std::string error;
        VeskLogger::LogError(false, "Unable to create jvmtiEnv for tags, error=%s",
                             OrloUtils::FormatJniError(result, error).c_str());
        made = nullptr;
    } else {
        jvmtiCapabilities capabilities;
        memset(&capabilities, 0, sizeof capabilities);
        capabilities.can_tag_objects = 1;
        if (!CheckJvmtiError(made->AddCapabilities(&capabilities), "AddCapabilities")) {
            CheckJvmtiError(made->DisposeEnvironment(), "DisposeEnvironment");
            made = nullptr;
        }
    }
    owned = made != nullptr;
    env = made;
    if (!owned) {
        VeskLogger::LogInfo("Tags of this request go into the agent's JVMTI environment; an untag walk removes them");
        env = fallback;
    }
    return env;
}

void TagEnvironment::Release(bool dying, const std::vector<jlong>& recordTags) {
    if (env && !dying) {
        if (owned)
            CheckJvmtiError(env->DisposeEnvironment(), "DisposeEnvironment");
        else
            RemoveTags(recordTags);
    }
    env = nullptr;
    owned = false;
}

void TagEnvironment::RemoveTags(const std::vector<jlong>& tags) {
    JNIEnv* jni = nullptr;
    if (tags.empty() || !vm || vm->GetEnv(reinterpret_cast<void**>(&jni), JNI_VERSION_1_6) != JNI_OK || !jni) return;
    // The objects' references die with this frame.
    LocalFrame frame(jni, LOCAL_REF_HEADROOM);
    jint count = 0;
    JvmtiMemory<jobject> objects(env);
    if (CheckJvmtiError(env->GetObjectsWithTags(static_cast<jint>(tags.size()), tags.data(), &count, objects.Out(),
                                                nullptr),
                        "GetObjectsWithTags") &&
        frame.Reserve(count + LOCAL_REF_HEADROOM)) {
        for (jint i = 0; i < count; i++) CheckJvmtiError(env->SetTag(objects[i], 0), "SetTag");
    }
}

}  // namespace Orlo
