#include "report/HtmlText.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace vesk {

namespace {

const char REPLACEMENT[] = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at text[at], 0 when there is none.
size_t Utf8Length(std::string_view text, size_t at) {
    unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[at + i]);
        if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

}  // namespace

std::string EscapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (size_t at = 0; at < text.size();) {
        char c = text[at];
        size_t length = Utf8Length(text, at);
        if (length == 0) {
            out += REPLACEMENT;
            at++;
            continue;
        }
        at += length;
        if (length > 1) {
            out.append(text.substr(at - length, length));
            continue;
        }
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
                    char hex[8];
                    snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
                    out += hex;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string FitText(std::string_view text, size_t maxChars) {
    if (maxChars == 0) return "";
    size_t chars = 0, at = 0, cut = 0;
    while (at < text.size()) {
        if (chars == maxChars - 1) cut = at;
        if (chars == maxChars) return std::string(text.substr(0, cut)) + "\xE2\x80\xA6";
        size_t length = Utf8Length(text, at);
        at += length ? length : 1;
        chars++;
    }
    return std::string(text);
}

std::string FormatBytes(int64_t bytes) {
    static const char* const UNITS[] = {"KiB", "MiB", "GiB", "TiB"};
    if (llabs(bytes) < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    int unit = -1;
    do {
        value /= 1024;
        unit++;
    } while ((value >= 1024 || value <= -1024) && unit < 3);
    char text[32];
    snprintf(text, sizeof text, "%.1f %s", value, UNITS[unit]);
    return text;
}

std::string FormatGrouped(int64_t value) {
    std::string digits = std::to_string(value < 0 ? -static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
    std::string out = value < 0 ? "-" : "";
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace vesk
