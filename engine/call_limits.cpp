#include "engine/call_limits.h"

#include <atomic>

#include "engine/trace.h"
#include "platform/platform.h"

namespace {

// Apart from the records: a signal handler may set a flag while the record is
// in use, and only a lock-free atomic is safe there.
std::atomic<int32_t> g_abort_requested[kMaxChannels];
static_assert(std::atomic<int32_t>::is_always_lock_free, "AbortCall must be safe in a signal handler");
// Each channel's wake descriptor plus one (0: not made yet), made at its
// first call and kept for the library's life.
std::atomic<int32_t> g_abort_wake[kMaxChannels];

int WakeOf(int32_t channel) { return g_abort_wake[channel].load() - 1; }

// Made by the call's own thread: AbortCall may run in a signal handler,
// where nothing may be made.
void PrepareWake(int32_t channel) {
    int wake = WakeOf(channel);
    if (wake < 0) {
        wake = PlatWakeCreate();
        // Without one an abort is still heard, at the next look at the limits.
        if (wake < 0) return;
        g_abort_wake[channel].store(wake + 1);
    }
    PlatWakeClear(wake);
}

// What the call's own thread knows of how to end it; only that thread
// touches these.
struct CallEnding {
    bool connected;     // the remote is on the line
    bool winding_down;  // a FaxCallWindDown lives
};
CallEnding g_call_ending[kMaxChannels];

}  // namespace

int32_t PageByteLimit(const FaxChannel &c) { return c.max_page_bytes > 0 ? c.max_page_bytes : kMaxPageBytes; }

int32_t PageCountLimit(const FaxChannel &c) { return c.max_pages > 0 ? c.max_pages : kMaxPagesPerCall; }

uint32_t CallTimeLimitMs(const FaxChannel &c) {
    int32_t seconds = c.call_seconds > 0 ? c.call_seconds : kDefaultCallSeconds;
    return static_cast<uint32_t>(seconds) * 1000u;
}

void FaxBeginCall(int32_t channel) {
    FaxTraceChannel(channel);
    g_abort_requested[channel].store(0);
    PrepareWake(channel);
    g_call_ending[channel] = CallEnding{};
    g_channels[channel].call_started = PlatTickCount();
}

bool FaxAbortRequested(int32_t channel) { return g_abort_requested[channel].load() != 0; }

int FaxCallWakeFd(int32_t channel) { return g_call_ending[channel].winding_down ? -1 : WakeOf(channel); }

void FaxCallPause(int32_t channel, uint32_t ms) {
    constexpr uint32_t kSliceMs = 100;
    // Counted in the slices asked for, not by the clock: a clock that moves
    // only with the sleeps (as test clocks may) still ends the pause.
    for (uint32_t done = 0; done < ms;) {
        if (!g_call_ending[channel].winding_down && FaxAbortRequested(channel)) return;
        const uint32_t slice = ms - done < kSliceMs ? ms - done : kSliceMs;
        PlatSleep(slice);
        done += slice;
    }
}

void FaxNoteConnected(int32_t channel) { g_call_ending[channel].connected = true; }

bool FaxCallConnected(int32_t channel) { return g_call_ending[channel].connected; }

FaxCallWindDown::FaxCallWindDown(int32_t channel, uint32_t io_timeout_ms)
    : channel_(channel), saved_io_timeout_(g_channels[channel].io_timeout) {
    g_call_ending[channel].winding_down = true;
    g_channels[channel].io_timeout = io_timeout_ms;
}

FaxCallWindDown::~FaxCallWindDown() {
    g_call_ending[channel_].winding_down = false;
    g_channels[channel_].io_timeout = saved_io_timeout_;
    g_abort_requested[channel_].store(0);
}

uint16_t FaxCallCheck(int32_t channel) {
    // The limits already ended the call; its last steps have bounds of their own.
    if (g_call_ending[channel].winding_down) return TOLLAN_OK;
    if (FaxAbortRequested(channel)) {
        FaxTrace("FaxCallCheck: aborted by the host");
        return TOLLAN_E_ABORTED;
    }
    const FaxChannel &c = g_channels[channel];
    if (PlatElapsed(c.call_started) >= CallTimeLimitMs(c)) {
        FaxTrace("FaxCallCheck: the call passed its limit of %u s", CallTimeLimitMs(c) / 1000u);
        return TOLLAN_E_CALL_TIME;
    }
    return TOLLAN_OK;
}

extern "C" {

uint16_t SetReceiveLimits(int32_t channel, int32_t max_page_bytes, int32_t max_pages) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    if (max_page_bytes < 0 || max_page_bytes > kMaxPageBytes) return TOLLAN_E_ARGUMENT;
    if (max_pages < 0 || max_pages > kMaxPagesPerCall) return TOLLAN_E_ARGUMENT;
    g_channels[channel].max_page_bytes = max_page_bytes;
    g_channels[channel].max_pages = max_pages;
    return TOLLAN_OK;
}

uint16_t SetCallTimeLimit(int32_t channel, int32_t seconds) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    if (seconds < 0 || seconds > kMaxCallSeconds) return TOLLAN_E_ARGUMENT;
    g_channels[channel].call_seconds = seconds;
    return TOLLAN_OK;
}

uint16_t SetPageFileMode(int32_t mode) {
    if (mode < 0 || mode > 0777) return TOLLAN_E_ARGUMENT;
    g_settings.page_file_mode = mode;
    return TOLLAN_OK;
}

uint16_t AbortCall(int32_t channel) {
    // Nothing here may trace or lock: a signal handler calls this.
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    g_abort_requested[channel].store(1);
    const int wake = WakeOf(channel);
    if (wake >= 0) PlatWakeSignal(wake);
    return TOLLAN_OK;
}

}  // extern "C"
