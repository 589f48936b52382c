#include "JvmInterfaceInfo.h"

#include <algorithm>
#include <cinttypes>

#include "JvmAgent.h"
#include "JniScope.h"
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
    JvmtiMemory<jfieldID> ids(jvmti);
    fieldsListed = jvmti->GetClassFields(jniRef, &count, ids.Out()) == JVMTI_ERROR_NONE;
    if (fieldsListed && count > 0) {
        fields.resize(count);
        for (jint i = 0; i < count; i++) {
            JvmFieldInfo& field = fields[i];
            field.SetJvmId(ids[i]);
            field.SetDefiningClass(this);
            JvmtiMemory<char> name(jvmti), signature(jvmti);
            if (jvmti->GetFieldName(jniRef, ids[i], name.Out(), signature.Out(), nullptr) == JVMTI_ERROR_NONE) {
                if (name.Get()) field.SetName(name.Get());
                if (signature.Get()) field.SetSignature(signature.Get());
            }
            jint modifiers = 0;
            if (jvmti->GetFieldModifiers(jniRef, ids[i], &modifiers) == JVMTI_ERROR_NONE)
                field.SetModifiers(modifiers);
        }
    }
}

void JvmInterfaceInfo::LoadInterfaces(JvmInfo* info) {
    jvmtiEnv* jvmti = agent ? agent->GetJvmtiEnv() : nullptr;
    if (!jvmti) return;
    jint count = 0;
    JvmtiMemory<jclass> classes(jvmti);
    interfacesListed = jvmti->GetImplementedInterfaces(jniRef, &count, classes.Out()) == JVMTI_ERROR_NONE;
    if (!interfacesListed || count <= 0) return;
    JNIEnv* jni = agent->GetJniEnv();
    interfaces.assign(count, nullptr);
    std::string name;
    for (jint i = 0; i < count; i++) {
        // A new interface reads its fields and interfaces through the
        // reference before it goes.
        LocalRef<jclass> iface(jni, classes[i]);
        JvmtiMemory<char> signature(jvmti);
        CheckJvmtiError(jvmti->GetClassSignature(iface.Get(), signature.Out(), nullptr), "GetInterfaceSignature");
        if (!signature.Get()) continue;
        OrloUtils::DeriveTypeFromJvmSignature(signature.Get(), name);
        interfaces[i] = info->GetInterface(iface.Get(), &name);
    }
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
