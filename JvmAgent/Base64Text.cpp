#include "Base64Text.h"

#include "StringBuffer.h"

namespace Orlo {

namespace {
const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

void Base64Text::Append(StringBuffer& out, const uint8_t* data, size_t length) {
    char text[4096];
    size_t used = 0;
    while (length > 0) {
        pending[pendingCount++] = *data++;
        length--;
        if (pendingCount < 3) continue;
        text[used++] = ALPHABET[pending[0] >> 2];
        text[used++] = ALPHABET[(pending[0] & 3) << 4 | pending[1] >> 4];
        text[used++] = ALPHABET[(pending[1] & 15) << 2 | pending[2] >> 6];
        text[used++] = ALPHABET[pending[2] & 63];
        pendingCount = 0;
        if (used == sizeof text) {
            out.Append(text, used);
            used = 0;
        }
    }
    if (used) out.Append(text, used);
}

void Base64Text::Finish(StringBuffer& out) {
    if (pendingCount == 0) return;
    uint8_t second = pendingCount > 1 ? pending[1] : 0;
    char text[4] = {ALPHABET[pending[0] >> 2], ALPHABET[(pending[0] & 3) << 4 | second >> 4], '=', '='};
    if (pendingCount > 1) text[2] = ALPHABET[(second & 15) << 2];
    out.Append(text, 4);
    pendingCount = 0;
}

}  // namespace Orlo
