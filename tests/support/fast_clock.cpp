#include "support/fast_clock.h"

#include <mutex>

namespace {

// The clock reads base_tick at real time base_real and runs factor times
// faster from there; a new factor starts a new base, so the clock never jumps.
struct ClockState {
    std::mutex lock;
    uint32_t factor = 1;
    uint32_t base_tick = 0;
    uint32_t base_real = 0;
};

ClockState g_clock;

// Waits are cut into slices of real time, each ended by the clock, so that a
// wait begun at one factor ends in time when the factor goes up.
constexpr uint32_t kSliceMs = 10;

uint32_t FastTick() {
    std::lock_guard<std::mutex> hold(g_clock.lock);
    return g_clock.base_tick + (PlatformDefaults().tick_count() - g_clock.base_real) * g_clock.factor;
}

uint32_t Factor() {
    std::lock_guard<std::mutex> hold(g_clock.lock);
    return g_clock.factor;
}

void SetClock(uint32_t factor) {
    uint32_t now = FastTick();
    std::lock_guard<std::mutex> hold(g_clock.lock);
    g_clock.base_real = PlatformDefaults().tick_count();
    g_clock.base_tick = now;
    g_clock.factor = factor;
}

// Real milliseconds for the next slice of a wait with `left` clock ms to go.
uint32_t SliceFor(uint32_t left) {
    uint32_t real = left / Factor() + 1;
    return real < kSliceMs ? real : kSliceMs;
}

uint32_t ClockLeft(uint32_t start, uint32_t ms) {
    uint32_t elapsed = FastTick() - start;
    return elapsed < ms ? ms - elapsed : 0;
}

// Sleeps at least once, a sleep under one real millisecond included: the
// sleep lets other threads (the emulator's) run, as a real one would.
void FastSleep(uint32_t ms) {
    uint32_t start = FastTick();
    uint32_t left = ms;
    do {
        uint32_t real = left / Factor();
        PlatformDefaults().sleep_ms(real < kSliceMs ? real : kSliceMs);
        left = ClockLeft(start, ms);
    } while (left >= Factor());  // less than a real millisecond is left
}

template <typename Wait>
int FastWait(uint32_t ms, Wait wait) {
    uint32_t start = FastTick();
    for (uint32_t left = ms;;) {
        int ready = wait(SliceFor(left));
        if (ready != 0) return ready;
        left = ClockLeft(start, ms);
        if (left == 0) return 0;
    }
}

int FastWaitReadable(int fd, int wake, uint32_t ms) {
    return FastWait(ms, [&](uint32_t slice) { return PlatformDefaults().wait_readable(fd, wake, slice); });
}
int FastWaitWritable(int fd, uint32_t ms) {
    return FastWait(ms, [&](uint32_t slice) { return PlatformDefaults().wait_writable(fd, slice); });
}

}  // namespace

FastClock::FastClock(uint32_t factor) : ops_(PlatformDefaults()) {
    SetClock(factor);
    ops_.tick_count = FastTick;
    ops_.sleep_ms = FastSleep;
    ops_.wait_readable = FastWaitReadable;
    ops_.wait_writable = FastWaitWritable;
    previous_ = PlatformInstall(&ops_);
}

FastClock::~FastClock() {
    PlatformInstall(previous_);
    SetClock(1);
}

void FastClock::SetFactor(uint32_t factor) { SetClock(factor); }
