#include "JvmFieldInfo.h"

#include <cinttypes>

#include "JvmClassInfo.h"
#include "StringBuffer.h"
#include "XmlUtils.h"

namespace Orlo {

int64_t JvmFieldInfo::RecordAsXml(StringBuffer& buffer) const {
    buffer.Append("<field defclass=\"");
    if (definingClass) XmlUtils::EncodeXmlString(buffer, *definingClass->GetJavaType());
    buffer.Format("\" fldtag=\"%" PRIx64 "\" index=\"%d\" name=\"",
                  static_cast<uint64_t>(reinterpret_cast<uintptr_t>(jvmId)), index);
    XmlUtils::EncodeXmlString(buffer, name);
    buffer.Append("\"/>");
    return 1;
}

std::string& JvmFieldInfo::ToString(std::string& out) const {
    out = "FIELDINFO: id=";
    JvmObjectInfo::AppendPointer(out, jvmId);
    out += ", name=";
    out += name;
    out += ", index=";
    out += std::to_string(index);
    out += ", sig=";
    out += signature;
    out += ", defClass=";
    if (definingClass) out += *definingClass->GetJavaType();
    out += ", instClass=";
    if (instanceClass) out += *instanceClass->GetJavaType();
    return out;
}

}  // namespace Orlo
