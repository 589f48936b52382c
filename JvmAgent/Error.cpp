#include "Error.h"

#include <cstdarg>
#include <cstdio>

namespace Orlo {

Error Error::Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // A failure without words is still a failure.
    return Error(length > 0 ? text : "unknown error");
}

}  // namespace Orlo
