#include "JvmInterfaceInfo.h"

#include <algorithm>
#include <cinttypes>

#include "JvmAgent.h"
#include "JvmInfo.h"
#include "OrloUtils.h"
#include "StringBuffer.h"
#include "VeskLogger.h"
#include "XmlUtils.h"

namespace Orlo {

JvmInterfaceInfo::JvmInterfaceInfo(JvmObjectType type, jclass ref, const std::string& name)
    : JvmObjectInfo(type) {
    Init();
    SetJniRef(ref);
    SetJavaType(name);
}

JvmInterfaceInfo::~JvmInterfaceInfo() { Init(); }

void JvmInterfaceInfo::LoadFields() {
    jvmtiEnv* jvmti = agent ? agent->GetJvmtiEnv() : nullptr;
    if (!jvmti) return;
    jint count = 0;
    jfieldID* ids = nullptr;
    fieldsListed = jvmti->GetClassFields(jniRef, &count, &ids) == JVMTI_ERROR_NONE;
    if (fieldsListed && count > 0) {
        fields.resize(count);
        for (jint i = 0; i < count; i++) {
            JvmFieldInfo& field = fields[i];
            field.SetJvmId(ids[i]);
            field.SetDefiningClass(this);
            char* name = nullptr;
            char* signature = nullptr;
            if (jvmti->GetFieldName(jniRef, ids[i], &name, &signature, nullptr) == JVMTI_ERROR_NONE) {
                if (name) field.SetName(name);
                if (signature) field.SetSignature(signature);
            }
            jint modifiers = 0;
            if (jvmti->GetFieldModifiers(jniRef, ids[i], &modifiers) == JVMTI_ERROR_NONE)
                field.SetModifiers(modifiers);
            FreeJvmtiMemory(&name);
            FreeJvmtiMemory(&signature);
        }
    }
    FreeJvmtiMemory(&ids);
}

void JvmInterfaceInfo::LoadInterfaces(JvmInfo* info) {
    jvmtiEnv* jvmti = agent ? agent->GetJvmtiEnv() : nullptr;
    if (!jvmti) return;
    jint count = 0;
    jclass* classes = nullptr;
    interfacesListed = jvmti->GetImplementedInterfaces(jniRef, &count, &classes) == JVMTI_ERROR_NONE;
    if (interfacesListed && count > 0) {
        interfaces.assign(count, nullptr);
        std::string name;
        for (jint i = 0; i < count; i++) {
            char* signature = nullptr;
            CheckJvmtiError(jvmti->GetClassSignature(classes[i], &signature, nullptr),
                            "GetInterfaceSignature");
            if (!signature) continue;
            OrloUtils::DeriveTypeFromJvmSignature(signature, name);
            interfaces[i] = info->GetInterface(classes[i], &name);
            FreeJvmtiMemory(&signature);
        }
        // A new interface read its fields and interfaces through the reference just now.
        if (JNIEnv* jni = agent->GetJniEnv())
            for (jint i = 0; i < count; i++) jni->DeleteLocalRef(classes[i]);
    }
    FreeJvmtiMemory(&classes);
}

void JvmInterfaceInfo::BuildInterfaceList(JvmInfo* info, std::vector<JvmInterfaceInfo*>& list) {
    AddOwnInterfaces(info, list);
}

void JvmInterfaceInfo::AddOwnInterfaces(JvmInfo* info, std::vector<JvmInterfaceInfo*>& list) {
    for (JvmInterfaceInfo* iface : interfaces)
        if (iface) iface->BuildInterfaceList(info, list);
    for (JvmInterfaceInfo* iface : interfaces)
        if (iface && std::find(list.begin(), list.end(), iface) == list.end()) list.push_back(iface);
}

int64_t JvmInterfaceInfo::RecordAsXml(StringBuffer& buffer) const {
    buffer.Format("<iface clstag=\"%" PRIx64 "\" name=\"",
                  static_cast<uint64_t>(reinterpret_cast<uintptr_t>(this)));
    XmlUtils::EncodeXmlString(buffer, javaType);
    buffer.Append("\"/>");
    return 1;
}

std::string& JvmInterfaceInfo::ToString(std::string& out) const {
    JvmObjectInfo::ToString(out);
    out += ", interface=";
    out += javaType;
    out += ", jniRef=";
    return AppendPointer(out, jniRef);
}

void JvmInterfaceInfo::PrintHierarchy(int depth) const {
    std::string text;
    VeskLogger::LogTrace("%*s%s", 2 * depth, "", ToString(text).c_str());
    for (const JvmFieldInfo& field : fields)
        VeskLogger::LogTrace("%*s%s", 2 * depth + 2, "", field.ToString(text).c_str());
}

}  // namespace Orlo
