// A platform clock that runs faster than real time, so that a 60-second
// watchdog or an 80-second receive time-out passes in well under a second.
// Everything else stays the real POSIX implementation.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class FastClock {
public:
    // factor: clock milliseconds per real millisecond.
    explicit FastClock(uint32_t factor);
    ~FastClock();
    FastClock(const FastClock &) = delete;
    FastClock &operator=(const FastClock &) = delete;

    // From now on the clock runs at this factor. It does not jump, and the
    // waits and sleeps already running end by the clock, so they speed up too.
    void SetFactor(uint32_t factor);

private:
    PlatformOps ops_;
    const PlatformOps *previous_;
};
