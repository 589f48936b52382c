// What went wrong, or nothing: the result of the agent's own operations that
// can fail, as one value. Empty means success; otherwise the message is the
// one line that the caller logs or sends to the client, once, where it is
// handled.
#pragma once

#include <string>
#include <utility>

#include "VeskLogger.h"

namespace Orlo {

class Error {
public:
    Error() = default;
    explicit Error(std::string message) : message(std::move(message)) {}
    // printf-style; a message longer than 1023 bytes is cut.
    static Error Format(const char* format, ...) VESK_PRINTF(1, 2);

    // True when something went wrong, as a pointer to a failure would be.
    explicit operator bool() const { return !message.empty(); }
    const std::string& Message() const { return message; }
    const char* What() const { return message.c_str(); }

private:
    std::string message;
};

}  // namespace Orlo
