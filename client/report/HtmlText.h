// Text for the report page: escaping of whatever the JVM named (class, field
// and thread names, property values) and the page's number formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesk {

// Escapes text for an HTML text node or a double- or single-quoted attribute
// value: & < > " ' become character references, control characters other
// than tab and line feed become a visible "\xNN", and bytes that are not
// UTF-8 become U+FFFD, so nothing in text can open markup or end a value.
std::string EscapeHtml(std::string_view text);

// At most maxChars characters of UTF-8 text, the last one "…" when cut.
std::string FitText(std::string_view text, size_t maxChars);

// 1536 -> "1.5 KiB"; below 1 KiB plain bytes ("512 B").
std::string FormatBytes(int64_t bytes);
// 1234567 -> "1,234,567".
std::string FormatGrouped(int64_t value);

}  // namespace vesk
