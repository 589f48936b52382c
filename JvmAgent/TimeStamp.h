// A wall-clock instant as seconds and milliseconds since the epoch, the form
// every time of the agent's metrics and log lines takes. Plain data; each
// holder's own thread sets it.
#pragma once

#include <cstdint>

namespace Orlo {

struct TimeStamp {
    int64_t seconds = 0;
    uint16_t millis = 0;

    void Now();
    void Reset() { seconds = 0; millis = 0; }
    int64_t Millis() const { return seconds * 1000 + millis; }
};

}  // namespace Orlo
