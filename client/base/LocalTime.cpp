#include "base/LocalTime.h"

#include <ctime>

namespace vesk {

std::string LocalTimeText(int64_t millis) {
    time_t seconds = static_cast<time_t>(millis / 1000);
    tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace vesk
