// Times for people: milliseconds since the epoch as the local date and time.
#pragma once

#include <cstdint>
#include <string>

namespace vesk {

// "2026-12-09 23:34:27" in the local time zone; the milliseconds dropped.
std::string LocalTimeText(int64_t millis);

}  // namespace vesk
