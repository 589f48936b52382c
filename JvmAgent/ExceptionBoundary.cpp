#include "ExceptionBoundary.h"

#include "VeskLogger.h"

namespace Orlo {

void ExceptionBoundary::Report(const char* where, const char* what) noexcept {
    VeskLogger::LogError(false, "%s stopped by an exception: %s", where ? where : "?",
                         what ? what : "unknown exception");
}

}  // namespace Orlo
