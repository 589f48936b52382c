// One field of a class or interface; master-list copies carry their index.
#pragma once

#include <jni.h>

#include <cstdint>
#include <string>

namespace Orlo {

class JvmClassInfo;
class JvmInterfaceInfo;
class StringBuffer;

class JvmFieldInfo {
public:
    JvmFieldInfo() = default;
    JvmFieldInfo(const JvmFieldInfo&) = default;
    JvmFieldInfo& operator=(const JvmFieldInfo&) = default;
    ~JvmFieldInfo() { jvmId = nullptr; }

    void SetJvmId(jfieldID id) { jvmId = id; }
    jfieldID GetJvmId() const { return jvmId; }
    void SetIndex(int value) { index = value; }
    int GetIndex() const { return index; }
    void SetName(const char* value) { name = value; }
    const std::string& GetName() const { return name; }
    void SetSignature(const char* value) { signature = value; }
    const std::string& GetSignature() const { return signature; }
    void SetModifiers(int value) { modifiers = value; }
    int GetModifiers() const { return modifiers; }
    void SetDefiningClass(JvmInterfaceInfo* info) { definingClass = info; }
    JvmInterfaceInfo* GetDefiningClass() const { return definingClass; }
    void SetInstanceClass(JvmClassInfo* info) { instanceClass = info; }
    JvmClassInfo* GetInstanceClass() const { return instanceClass; }

    int64_t RecordAsXml(StringBuffer& buffer) const;
    std::string& ToString(std::string& out) const;

private:
    jfieldID jvmId = nullptr;
    int index = -1;
    std::string name;
    std::string signature;
    int modifiers = 0;
    JvmInterfaceInfo* definingClass = nullptr;
    JvmClassInfo* instanceClass = nullptr;
};

}  // namespace Orlo
