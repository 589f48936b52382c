// Description of a loaded class: name, superclass, methods, the master field
// list numbered as the JVM numbers fields in heap references, and the
// instance totals the heap walk counts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "JvmFieldInfo.h"
#include "JvmInterfaceInfo.h"
#include "JvmMethodInfo.h"

namespace Orlo {

class JvmClassInfo : public JvmInterfaceInfo {
public:
    JvmClassInfo() : JvmInterfaceInfo(JVM_OBJ_CLASS) { init(); }
    ~JvmClassInfo() override { init(); }

    void init() {
        superClass = nullptr;
        totalInst = 0;
        totSize = 0;
    }

    // Names, registers and tags this class; the registered description of
    // its name, or null without a JVMTI or JNI environment.
    JvmClassInfo* GetJvmClassInfo(JvmInfo* info);
    void LinkSuperClass(JvmInfo* info);
    void BuildInterfaceList(JvmInfo* info, std::vector<JvmInterfaceInfo*>& list) override;
    // Declared fields of the superclass chain, root first, then this class's.
    void AddFields(JvmInfo* info, std::vector<JvmFieldInfo>& list);
    // Builds and numbers the master field list; leaves it empty when the JVM
    // has not listed every type it is built from.
    void AssembleFields(JvmInfo* info);
    // False when the master field list cannot name the JVM's field indices.
    bool HasAllFields() const { return allFields; }
    void LoadMethods(JvmInfo* info);
    // First method of that name here or up the linked superclasses.
    const JvmMethodInfo* FindMethod(const char* name) const;
    void AddInstance(int64_t size) {
        totalInst++;
        totSize += size;
    }

    JvmClassInfo* GetSuperClass() const { return superClass; }
    const std::vector<JvmMethodInfo>& GetMethods() const { return methods; }
    const std::vector<JvmFieldInfo>& GetMasterFields() const { return masterFields; }
    int64_t GetTotalInst() const { return totalInst; }

    JvmClassInfo* GetClass() override { return this; }
    int64_t RecordAsXml(StringBuffer& buffer) const override;
    std::string& ToString(std::string& out) const override;
    void PrintHierarchy(int depth) const;

private:
    // This class and every superclass are described and listed by the JVM.
    bool ChainListed() const;

    JvmClassInfo* superClass;
    std::string superClassName;
    std::vector<JvmMethodInfo> methods;
    std::vector<JvmFieldInfo> masterFields;
    int64_t totalInst;
    int64_t totSize;
    bool allFields = false;
};

}  // namespace Orlo
