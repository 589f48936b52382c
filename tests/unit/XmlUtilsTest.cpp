#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "BufferText.h"
#include "XmlUtils.h"

using Orlo::StringBuffer;
using Orlo::XmlUtils;

namespace {

std::string Encode(const std::string& raw) {
    StringBuffer buffer(64, 0);
    XmlUtils::EncodeXmlString(buffer, raw);
    return vesktest::BufferText(buffer);
}

}  // namespace

TEST(XmlUtilsTest, EscapesMarkupControlAndHighBytes) {
    EXPECT_EQ(Encode("a<b & \"c\""), "a&lt;b &amp; &quot;c&quot;");
    EXPECT_EQ(Encode("'>"), "&apos;&gt;");
    EXPECT_EQ(Encode("x\ty\nz\r"), "x&#9;y&#10;z&#13;");
    EXPECT_EQ(Encode("\x01\x1f\x7f"), "&#1;&#31;&#127;");
    EXPECT_EQ(Encode("caf\xc3\xa9"), "caf&#195;&#169;");
    EXPECT_EQ(Encode("\xff"), "&#255;");
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("plain text 123 ~"), "plain text 123 ~");
    EXPECT_EQ(Encode(std::string("stop\0here", 9)), "stop");
}

TEST(XmlUtilsTest, Elements) {
    StringBuffer buffer(64, 0);
    XmlUtils::StartCommandElement(buffer, "RUNTIME");
    XmlUtils::AddPropElement(buffer, "cpus", static_cast<int64_t>(-1));
    XmlUtils::AddPropElement(buffer, "big", INT64_C(9223372036854775807));
    XmlUtils::AddPropElement(buffer, "k", "v<1>");
    XmlUtils::StartXmlElement(buffer, "snapshot");
    XmlUtils::EndXmlElement(buffer, "snapshot");
    XmlUtils::AddStatusElement(buffer, 1);
    XmlUtils::EndCommandElement(buffer);
    XmlUtils::AddLastElement(buffer, 0);
    XmlUtils::AddErrorElement(buffer, "");
    XmlUtils::AddErrorElement(buffer, nullptr);  // no message at all: no crash either
    EXPECT_EQ(vesktest::BufferText(buffer),
              "<cmd name=\"RUNTIME\"><prop name=\"cpus\" value=\"-1\"/>"
              "<prop name=\"big\" value=\"9223372036854775807\"/>"
              "<prop name=\"k\" value=\"v&lt;1&gt;\"/><snapshot></snapshot>"
              "<status value=\"1\"/></cmd><last value=\"0\"/><error msg=\"\"/><error msg=\"\"/>");
}

TEST(XmlUtilsTest, FormatErrorEscapesAndBounds) {
    StringBuffer buffer(64, 0);
    XmlUtils::FormatError(buffer, "Failed opening %s, errno=%d", "a&b", 2);
    EXPECT_EQ(vesktest::BufferText(buffer), "<status value=\"0\"/><error msg=\"Failed opening a&amp;b, errno=2\"/>");

    StringBuffer big(64, 0);
    std::string longText(3000, 'm');
    XmlUtils::FormatError(big, "%s", longText.c_str());
    std::string expected = "<status value=\"0\"/><error msg=\"" + std::string(1023, 'm') + "\"/>";
    EXPECT_EQ(vesktest::BufferText(big), expected);
}

TEST(XmlUtilsTest, FormatParseError) {
    pugi::xml_document doc;
    const char request[] = "<vesk-cmd <";
    pugi::xml_parse_result result = doc.load_buffer(request, sizeof request - 1);
    ASSERT_FALSE(result);
    StringBuffer buffer(64, 0);
    XmlUtils::FormatError(buffer, result);
    std::string expected = std::string("<status value=\"0\"/><error msg=\"") +
                           result.description() + " at offset " +
                           std::to_string(result.offset) + "\"/>";
    EXPECT_EQ(vesktest::BufferText(buffer), expected);
}
