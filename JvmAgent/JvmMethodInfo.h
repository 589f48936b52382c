// One method of a class, with its local variable table.
#pragma once

#include <jni.h>

#include <cstdint>
#include <string>
#include <vector>

#include "JvmMethodLocalVarInfo.h"

namespace Orlo {

class JvmClassInfo;
class StringBuffer;

class JvmMethodInfo {
public:
    JvmMethodInfo() = default;
    JvmMethodInfo(const JvmMethodInfo&) = default;
    JvmMethodInfo& operator=(const JvmMethodInfo&) = default;

    void SetJvmId(jmethodID id) { jvmId = id; }
    jmethodID GetJvmId() const { return jvmId; }
    void SetName(const char* value) { name = value; }
    const std::string& GetName() const { return name; }
    void SetSignature(const char* value) { signature = value; }
    const std::string& GetSignature() const { return signature; }
    void SetClass(JvmClassInfo* info) { ownerClass = info; }
    JvmClassInfo* GetClass() const { return ownerClass; }

    // Reads the local variable table; stays empty where the JVM refuses it.
    void LoadLocalVars();
    // Name of the first local variable in that slot, or null (part of the
    // agent's surface; nothing in the agent asks it).
    const char* GetVarName(int slot) const;

    int64_t RecordAsXml(StringBuffer& buffer) const;
    std::string& ToString(std::string& out) const;
    void PrintHierarchy(int depth) const;

private:
    jmethodID jvmId = nullptr;
    std::string name;
    std::string signature;
    JvmClassInfo* ownerClass = nullptr;
    std::vector<JvmMethodLocalVarInfo> localVars;
};

}  // namespace Orlo
