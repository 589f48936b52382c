// Appends the protocol's fixed XML fragments and escaped values to a buffer.
#pragma once

#include <cstdint>
#include <string>

#include <pugixml.hpp>

#include "StringBuffer.h"
#include "VeskLogger.h"

namespace Orlo {

class XmlUtils {
public:
    static constexpr int ERROR_AREA = 1024;

    static void StartCommandElement(StringBuffer& buffer, const char* name);
    static void EndCommandElement(StringBuffer& buffer);
    static void StartXmlElement(StringBuffer& buffer, const char* name);
    static void EndXmlElement(StringBuffer& buffer, const char* name);
    static void AddStatusElement(StringBuffer& buffer, int value);
    static void AddLastElement(StringBuffer& buffer, int value);
    static void AddPropElement(StringBuffer& buffer, const char* name, int64_t value);
    static void AddPropElement(StringBuffer& buffer, const char* name, const char* value);
    static void AddErrorElement(StringBuffer& buffer, const char* message);
    // Status 0 and an error element; the message is cut at ERROR_AREA - 1.
    static void FormatError(StringBuffer& buffer, const char* format, ...) VESK_PRINTF(2, 3);
    static void FormatError(StringBuffer& buffer, const pugi::xml_parse_result& result);
    // Escapes markup characters, and control and non-ASCII bytes as "&#N;".
    // A null text appends nothing.
    static void EncodeXmlString(StringBuffer& buffer, const char* text);
    static void EncodeXmlString(StringBuffer& buffer, const std::string& text);
};

}  // namespace Orlo
