#include "CancelledException.h"

namespace Orlo {

CancelledException::CancelledException(const char* message) : message(message) {}

CancelledException::~CancelledException() = default;

const char* CancelledException::what() const noexcept { return message.c_str(); }

}  // namespace Orlo
