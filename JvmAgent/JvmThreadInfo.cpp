#include "JvmThreadInfo.h"

#include <jvmti.h>

#include <cinttypes>
#include <cstring>

#include "JniScope.h"
#include "JvmAgent.h"
#include "Orlo.h"
#include "OrloUtils.h"
#include "StringBuffer.h"
#include "XmlUtils.h"

namespace Orlo {

void JvmThreadInfo::GetJvmThreadInfo() {
    jvmtiEnv* jvmti = agent ? agent->GetJvmtiEnv() : nullptr;
    if (!jvmti) return;
    jvmtiThreadInfo info;
    memset(&info, 0, sizeof info);
    CheckJvmtiError(jvmti->GetThreadInfo(jniRef, &info), "GetThreadInfo");
    JvmtiMemory<char> name(jvmti, info.name);
    JNIEnv* jni = agent->GetJniEnv();
    LocalRef<jthreadGroup> group(jni, info.thread_group);
    LocalRef<jobject> loader(jni, info.context_class_loader);
    if (name.Get()) threadName = name.Get();
    CheckJvmtiError(jvmti->GetThreadState(jniRef, &threadState), "GetThreadState");
}

int64_t JvmThreadInfo::RecordAsXml(StringBuffer& buffer) const {
    buffer.Format("<thread thrdtag=\"%" PRIx64 "\" name=\"",
                  static_cast<uint64_t>(reinterpret_cast<uintptr_t>(this)));
    XmlUtils::EncodeXmlString(buffer, threadName);
    buffer.Format("\" state=\"%d\"/>", static_cast<int>(threadState));
    return 1;
}

std::string& JvmThreadInfo::ToString(std::string& out) const {
    JvmObjectInfo::ToString(out);
    out += ", threadName=";
    out += threadName;
    out += ", threadState=";
    std::string state;
    return out += OrloUtils::FormatThreadState(static_cast<int>(threadState), state);
}

}  // namespace Orlo
