// Base64 text of bytes handed over in pieces, appended to a StringBuffer as
// they come (whole groups of three bytes; at most two wait for the next
// piece). Finish pads the last group, so each text decodes on its own. One
// thread; a full buffer throws as StringBuffer does.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Orlo {

class StringBuffer;

class Base64Text {
public:
    void Append(StringBuffer& out, const uint8_t* data, size_t length);
    void Finish(StringBuffer& out);

private:
    uint8_t pending[3];
    int pendingCount = 0;
};

}  // namespace Orlo
