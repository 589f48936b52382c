// Description of a Java interface: its name, declared fields and the
// interfaces it extends. Classes build on it.
#pragma once

#include <jni.h>

#include <string>
#include <vector>

#include "JvmFieldInfo.h"
#include "JvmObjectInfo.h"

namespace Orlo {

class JvmInfo;

class JvmInterfaceInfo : public JvmObjectInfo {
public:
    // Only the (jclass, std::string) form and the kind-only one are used; the
    // other overloads are part of the agent's surface.
    JvmInterfaceInfo() : JvmInterfaceInfo(JVM_OBJ_INTERFACE) {}
    explicit JvmInterfaceInfo(JvmObjectType type) : JvmObjectInfo(type) { Init(); }
    JvmInterfaceInfo(JvmObjectType type, jclass ref, const std::string& name);
    JvmInterfaceInfo(JvmObjectType type, jclass ref, const char* name)
        : JvmInterfaceInfo(type, ref, std::string(name)) {}
    JvmInterfaceInfo(jclass ref, const char* name) : JvmInterfaceInfo(JVM_OBJ_INTERFACE, ref, name) {}
    JvmInterfaceInfo(jclass ref, const std::string& name)
        : JvmInterfaceInfo(JVM_OBJ_INTERFACE, ref, name) {}
    ~JvmInterfaceInfo() override;

    void Init() { jniRef = nullptr; }
    void SetJniRef(jclass ref) { jniRef = ref; }
    jclass GetJniRef() const { return jniRef; }
    void SetJavaType(const char* name) { javaType = name; }
    void SetJavaType(const std::string& name) { javaType = name; }
    // Stable for the object's life: the name maps use it as their key.
    const std::string* GetJavaType() const { return &javaType; }
    const std::vector<JvmFieldInfo>& GetFields() const { return fields; }
    const std::vector<JvmInterfaceInfo*>& GetInterfaces() const { return interfaces; }

    void LoadFields();
    void LoadInterfaces(JvmInfo* info);
    // True once the JVM has listed both the fields and the interfaces; it
    // refuses both for a type it has not prepared yet.
    bool IsListed() const { return fieldsListed && interfacesListed; }
    // Adds every interface reachable through the extends graph once, deepest first.
    virtual void BuildInterfaceList(JvmInfo* info, std::vector<JvmInterfaceInfo*>& list);

    int64_t RecordAsXml(StringBuffer& buffer) const override;
    std::string& ToString(std::string& out) const override;
    void PrintHierarchy(int depth) const;

protected:
    // The interface algorithm on this type's own interface list.
    void AddOwnInterfaces(JvmInfo* info, std::vector<JvmInterfaceInfo*>& list);

private:
    jclass jniRef;
    std::string javaType;
    std::vector<JvmFieldInfo> fields;
    std::vector<JvmInterfaceInfo*> interfaces;
    bool fieldsListed = false;
    bool interfacesListed = false;
};

}  // namespace Orlo
