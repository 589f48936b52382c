// Description of one live Java thread: its name and JVMTI state.
#pragma once

#include <jni.h>

#include <string>

#include "JvmObjectInfo.h"

namespace Orlo {

class JvmThreadInfo : public JvmObjectInfo {
public:
    JvmThreadInfo() : JvmObjectInfo(JVM_OBJ_THREAD) {}
    ~JvmThreadInfo() override {
        jniRef = nullptr;
        threadState = 0;
    }

    // Stores the thread and reads its name and state.
    void SetJniRef(jobject ref) {
        jniRef = ref;
        GetJvmThreadInfo();
    }
    jobject GetJniRef() const { return jniRef; }
    void GetJvmThreadInfo();
    const std::string& GetThreadName() const { return threadName; }
    jint GetThreadState() const { return threadState; }

    JvmClassInfo* GetClass() override { return nullptr; }
    int64_t RecordAsXml(StringBuffer& buffer) const override;
    std::string& ToString(std::string& out) const override;

private:
    jobject jniRef = nullptr;
    std::string threadName;
    jint threadState = 0;
};

}  // namespace Orlo
