#include "JvmClassInfo.h"

#include <algorithm>
#include <cinttypes>

#include "JvmAgent.h"
#include "JniScope.h"
#include "JvmInfo.h"
#include "TagRange.h"
#include "OrloUtils.h"
#include "StringBuffer.h"
#include "VeskLogger.h"
#include "XmlUtils.h"

namespace Orlo {

namespace {

// A record's tag as the snapshot records print it.
uint64_t HexTag(const void* record) { return static_cast<uint64_t>(TagOf(record)); }

// Java name of a class from its signature; false when the JVM gave none.
bool ReadTypeName(jvmtiEnv* jvmti, jclass clazz, std::string& out) {
    JvmtiMemory<char> signature(jvmti);
    CheckJvmtiError(jvmti->GetClassSignature(clazz, signature.Out(), nullptr), "GetClassSignature");
    if (!signature.Get()) return false;
    OrloUtils::DeriveTypeFromJvmSignature(signature.Get(), out);
    return true;
}

}  // namespace

JvmClassInfo* JvmClassInfo::GetJvmClassInfo(JvmInfo* info) {
    jvmtiEnv* jvmti = agent ? agent->GetJvmtiEnv() : nullptr;
    JNIEnv* jni = jvmti ? agent->GetJniEnv() : nullptr;
    if (!jni) return nullptr;
    std::string name;
    if (ReadTypeName(jvmti, GetJniRef(), name)) SetJavaType(name);
    LocalRef<jclass> super(jni, jni->GetSuperclass(GetJniRef()));
    if (super.Get() && ReadTypeName(jvmti, super.Get(), name)) superClassName = name;
    JvmClassInfo* registered = info->FindClass(GetJavaType());
    if (!registered) {
        info->AddClass(GetJavaType(), this);
        registered = this;
    }
    if (jvmtiEnv* tags = info->GetTagEnv())
        CheckJvmtiError(tags->SetTag(GetJniRef(), TagOf(registered)), "SetTag");
    return registered;
}

void JvmClassInfo::LinkSuperClass(JvmInfo* info) {
    if (!superClass && !superClassName.empty()) superClass = info->FindClass(&superClassName);
}

void JvmClassInfo::BuildInterfaceList(JvmInfo* info, std::vector<JvmInterfaceInfo*>& list) {
    LinkSuperClass(info);
    if (superClass) superClass->BuildInterfaceList(info, list);
    AddOwnInterfaces(info, list);
}

void JvmClassInfo::AddFields(JvmInfo* info, std::vector<JvmFieldInfo>& list) {
    LinkSuperClass(info);
    if (superClass) superClass->AddFields(info, list);
    list.insert(list.end(), GetFields().begin(), GetFields().end());
}

bool JvmClassInfo::ChainListed() const {
    for (const JvmClassInfo* type = this;; type = type->superClass) {
        if (!type->IsListed()) return false;
        if (!type->superClass) return type->superClassName.empty();
    }
}

void JvmClassInfo::AssembleFields(JvmInfo* info) {
    LinkSuperClass(info);
    std::vector<JvmInterfaceInfo*> interfaceList;
    BuildInterfaceList(info, interfaceList);
    // A field's index counts every field of the types ahead of it. The JVM
    // lists nothing of a type it has not prepared, yet archived instances of
    // such a class can be on the heap: with one type unknown no index is
    // certain, and a guessed one would name the wrong field. Better none.
    allFields = ChainListed() && std::all_of(interfaceList.begin(), interfaceList.end(),
                                             [](const JvmInterfaceInfo* iface) { return iface->IsListed(); });
    if (!allFields) return;
    for (JvmInterfaceInfo* iface : interfaceList)
        masterFields.insert(masterFields.end(), iface->GetFields().begin(), iface->GetFields().end());
    AddFields(info, masterFields);
    for (size_t i = 0; i < masterFields.size(); i++) {
        masterFields[i].SetIndex(static_cast<int>(i));
        masterFields[i].SetInstanceClass(this);
    }
}

void JvmClassInfo::LoadMethods(JvmInfo* info) {
    jvmtiEnv* jvmti = agent ? agent->GetJvmtiEnv() : nullptr;
    if (!jvmti) return;
    jint count = 0;
    JvmtiMemory<jmethodID> ids(jvmti);
    if (jvmti->GetClassMethods(GetJniRef(), &count, ids.Out()) == JVMTI_ERROR_NONE && count > 0) {
        // Never resized again: the method map and local variables point into it.
        methods.resize(count);
        for (jint i = 0; i < count; i++) {
            JvmMethodInfo& method = methods[i];
            method.SetJvmId(ids[i]);
            method.SetClass(this);
            JvmtiMemory<char> name(jvmti), signature(jvmti);
            if (jvmti->GetMethodName(ids[i], name.Out(), signature.Out(), nullptr) == JVMTI_ERROR_NONE) {
                if (name.Get()) method.SetName(name.Get());
                if (signature.Get()) method.SetSignature(signature.Get());
            }
            method.LoadLocalVars();
            info->AddMethod(ids[i], &method);
        }
    }
}

const JvmMethodInfo* JvmClassInfo::FindMethod(const char* name) const {
    for (const JvmMethodInfo& method : methods)
        if (method.GetName() == name) return &method;
    return superClass ? superClass->FindMethod(name) : nullptr;
}

int64_t JvmClassInfo::RecordAsXml(StringBuffer& buffer) const {
    buffer.Format("<class clstag=\"%" PRIx64 "\" name=\"", HexTag(this));
    XmlUtils::EncodeXmlString(buffer, *GetJavaType());
    buffer.Append("\"");
    if (!superClassName.empty()) buffer.Format(" sprclstag=\"%" PRIx64 "\"", HexTag(superClass));
    buffer.Format(" totalinst=\"%" PRId64 "\" totalsize=\"%" PRId64 "\"", totalInst, totSize);
    if (masterFields.empty() && methods.empty()) {
        buffer.Append("/>");
        return 1;
    }
    if (!masterFields.empty()) buffer.Format(" fields=\"%" PRId64 "\"", static_cast<int64_t>(masterFields.size()));
    if (!methods.empty()) buffer.Format(" methods=\"%" PRId64 "\"", static_cast<int64_t>(methods.size()));
    buffer.Append(">");
    int64_t records = 1;
    for (const JvmFieldInfo& field : masterFields) records += field.RecordAsXml(buffer);
    for (const JvmMethodInfo& method : methods) records += method.RecordAsXml(buffer);
    buffer.Append("</class>");
    return records;
}

std::string& JvmClassInfo::ToString(std::string& out) const {
    JvmObjectInfo::ToString(out);
    out += ", class=";
    out += *GetJavaType();
    out += ", super=";
    out += superClassName;
    out += ", totalInst=";
    out += std::to_string(totalInst);
    out += ", totSize=";
    out += std::to_string(totSize);
    out += ", jniRef=";
    return AppendPointer(out, GetJniRef());
}

void JvmClassInfo::PrintHierarchy(int depth) const {
    std::string text;
    VeskLogger::LogTrace("%*s%s", 2 * depth, "", ToString(text).c_str());
    for (JvmInterfaceInfo* iface : GetInterfaces())
        if (iface) iface->PrintHierarchy(depth + 1);
    for (const JvmFieldInfo& field : GetFields())
        VeskLogger::LogTrace("%*s%s", 2 * depth + 2, "", field.ToString(text).c_str());
    for (const JvmMethodInfo& method : methods) method.PrintHierarchy(depth + 1);
    if (masterFields.empty()) return;
    VeskLogger::LogTrace("%*sMASTER FIELD LIST:", 2 * depth + 2, "");
    for (const JvmFieldInfo& field : masterFields)
        VeskLogger::LogTrace("%*s%s", 2 * depth + 4, "", field.ToString(text).c_str());
}

}  // namespace Orlo
