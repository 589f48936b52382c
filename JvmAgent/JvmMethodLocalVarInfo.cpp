#include "JvmMethodLocalVarInfo.h"

#include "StringBuffer.h"
#include "XmlUtils.h"

namespace Orlo {

int64_t JvmMethodLocalVarInfo::RecordAsXml(StringBuffer& buffer) const {
    buffer.Append("<lvar name=\"");
    XmlUtils::EncodeXmlString(buffer, name);
    buffer.Append("\" sig=\"");
    XmlUtils::EncodeXmlString(buffer, signature);
    buffer.Format("\" slot=\"%d\"/>", jvmSlot);
    return 1;
}

std::string& JvmMethodLocalVarInfo::ToString(std::string& out) const {
    out = "LOCALVAR: name=";
    out += name;
    out += ", sig=";
    out += signature;
    out += ", slot=";
    out += std::to_string(jvmSlot);
    return out;
}

}  // namespace Orlo
