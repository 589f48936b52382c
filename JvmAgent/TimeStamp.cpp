#include "TimeStamp.h"

#include <ctime>

#ifdef _WIN32
#include <sys/timeb.h>
#endif

namespace Orlo {

void TimeStamp::Now() {
#ifdef _WIN32
    __timeb64 now;
    _ftime64(&now);
    seconds = now.time;
    millis = now.millitm;
#else
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    seconds = now.tv_sec;
    millis = static_cast<uint16_t>(now.tv_nsec / 1000000);
#endif
}

}  // namespace Orlo
