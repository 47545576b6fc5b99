#include "support/fast_clock.h"

#include <atomic>

namespace {

std::atomic<uint32_t> g_factor{1};

uint32_t FastTick() { return PlatformDefaults().tick_count() * g_factor.load(); }
void FastSleep(uint32_t ms) { PlatformDefaults().sleep_ms(ms / g_factor.load()); }
int FastWaitReadable(int fd, uint32_t ms) { return PlatformDefaults().wait_readable(fd, ms / g_factor.load() + 1); }
int FastWaitWritable(int fd, uint32_t ms) { return PlatformDefaults().wait_writable(fd, ms / g_factor.load() + 1); }

}  // namespace

FastClock::FastClock(uint32_t factor) : ops_(PlatformDefaults()) {
    g_factor = factor;
    ops_.tick_count = FastTick;
    ops_.sleep_ms = FastSleep;
    ops_.wait_readable = FastWaitReadable;
    ops_.wait_writable = FastWaitWritable;
    previous_ = PlatformInstall(&ops_);
}

FastClock::~FastClock() {
    PlatformInstall(previous_);
    g_factor = 1;
}
