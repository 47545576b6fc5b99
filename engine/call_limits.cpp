#include "engine/call_limits.h"

#include <atomic>

#include "engine/trace.h"
#include "platform/platform.h"

namespace {

// Apart from the records: a signal handler may set a flag while the record is
// in use, and only a lock-free atomic is safe there.
std::atomic<int32_t> g_abort_requested[kMaxChannels];
static_assert(std::atomic<int32_t>::is_always_lock_free, "AbortCall must be safe in a signal handler");

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
    g_channels[channel].call_started = PlatTickCount();
}

bool FaxAbortRequested(int32_t channel) { return g_abort_requested[channel].load() != 0; }

uint16_t FaxCallCheck(int32_t channel) {
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
    return TOLLAN_OK;
}

}  // extern "C"
