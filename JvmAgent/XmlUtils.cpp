#include "XmlUtils.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace Orlo {

void XmlUtils::StartCommandElement(StringBuffer& buffer, const char* name) {
    buffer.Append("<cmd name=\"");
    buffer.Append(name);
    buffer.Append("\">");
}

void XmlUtils::EndCommandElement(StringBuffer& buffer) { EndXmlElement(buffer, "cmd"); }

void XmlUtils::StartXmlElement(StringBuffer& buffer, const char* name) {
    buffer.Append('<');
    buffer.Append(name);
    buffer.Append('>');
}

void XmlUtils::EndXmlElement(StringBuffer& buffer, const char* name) {
    buffer.Append("</");
    buffer.Append(name);
    buffer.Append('>');
}

void XmlUtils::AddStatusElement(StringBuffer& buffer, int value) {
    buffer.Format("<status value=\"%d\"/>", value);
}

void XmlUtils::AddLastElement(StringBuffer& buffer, int value) {
    buffer.Format("<last value=\"%d\"/>", value);
}

void XmlUtils::AddPropElement(StringBuffer& buffer, const char* name, int64_t value) {
    buffer.Format("<prop name=\"%s\" value=\"%" PRId64 "\"/>", name, value);
}

void XmlUtils::AddPropElement(StringBuffer& buffer, const char* name, const char* value) {
    buffer.Append("<prop name=\"");
    buffer.Append(name);
    buffer.Append("\" value=\"");
    EncodeXmlString(buffer, value);
    buffer.Append("\"/>");
}

void XmlUtils::AddErrorElement(StringBuffer& buffer, const char* message) {
    buffer.Append("<error msg=\"");
    EncodeXmlString(buffer, message);
    buffer.Append("\"/>");
}

void XmlUtils::FormatError(StringBuffer& buffer, const char* format, ...) {
    AddStatusElement(buffer, 0);
    char message[ERROR_AREA];
    va_list args;
    va_start(args, format);
    if (vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';
    va_end(args);
    AddErrorElement(buffer, message);
}

void XmlUtils::FormatError(StringBuffer& buffer, const pugi::xml_parse_result& result) {
    FormatError(buffer, "%s at offset %" PRId64, result.description(),
                static_cast<int64_t>(result.offset));
}

void XmlUtils::EncodeXmlString(StringBuffer& buffer, const char* text) {
    if (!text) return;
    // Plain runs are copied in one piece; only special bytes are expanded.
    const char* run = text;
    for (const char* p = text;; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        const char* entity = nullptr;
        switch (c) {
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            case '&': entity = "&amp;"; break;
            case '\'': entity = "&apos;"; break;
            case '"': entity = "&quot;"; break;
            default:
                if (c != 0 && c >= 0x20 && c < 0x7F) continue;
        }
        if (p > run) buffer.Append(run, p - run);
        if (c == 0) return;
        if (entity) {
            buffer.Append(entity);
        } else {
            char ref[8] = {'&', '#'};
            int n = 2;
            if (c >= 100) ref[n++] = static_cast<char>('0' + c / 100);
            if (c >= 10) ref[n++] = static_cast<char>('0' + c / 10 % 10);
            ref[n++] = static_cast<char>('0' + c % 10);
            ref[n++] = ';';
            buffer.Append(ref, n);
        }
        run = p + 1;
    }
}

void XmlUtils::EncodeXmlString(StringBuffer& buffer, const std::string& text) {
    EncodeXmlString(buffer, text.c_str());
}

}  // namespace Orlo
