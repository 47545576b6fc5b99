#include "engine/channel.h"

#include <atomic>
#include <cerrno>

#include "engine/trace.h"
#include "platform/platform.h"

FaxChannel g_channels[kMaxChannels];

LibrarySettings g_settings = {
    500,  // modem_command_interval
    0,    // trace_option
    "",   // trace_file
    0,    // fax_info_option
    3,    // stretch_option
    0,    // shrink_option
    1145, // shrink_height
    864,  // shrink_width
    64,   // xon_lim
    128,  // xoff_lim
    1500, // fdr_wait
    0600, // page_file_mode
};

// Per thread: calls on different channels run on different threads, and
// each host thread reads the error of its own last failing call.
__thread int32_t g_last_error = 0;

namespace {
// A slot has been sought: before that none can be in use (PortOpen takes
// them through FindFreeSlot).
std::atomic<bool> g_slot_sought{false};
}  // namespace

int FindFreeSlot() {
    g_slot_sought.store(true, std::memory_order_relaxed);
    for (int i = 0; i < kMaxChannels; ++i)
        if (g_channels[i].in_use == 0) return i;
    return -1;
}

bool ChannelInRange(int32_t channel) { return channel >= 0 && channel < kMaxChannels; }

void RecordLastError() { g_last_error = errno; }

namespace {

// The longest pause before "AT+FDR" the profile may ask for (fdr_wait, ms).
constexpr int32_t kMaxFdrWaitMs = 60000;

// A profile integer of [Fax] within low..high; outside it (a negative wait
// would sleep for weeks) the default is taken and the trace says so.
int32_t ProfileSetting(const char *key, int32_t fallback, int32_t low, int32_t high) {
    const int value = PlatProfileInt("Fax", key, fallback);
    if (value >= low && value <= high) return value;
    FaxTrace("LoadProfileSettings: %s=%d is outside %d..%d, %d taken", key, value, low, high, fallback);
    return fallback;
}

}  // namespace

// Stores only a changed value: another channel's call may be reading the
// setting, and an unchanged profile then writes nothing.
template <typename T>
void StoreIfChanged(T &setting, T value) {
    if (setting != value) setting = value;
}

void LoadProfileSettings() {
    StoreIfChanged(g_settings.xon_lim, static_cast<int16_t>(ProfileSetting("xon_lim", 64, 0, INT16_MAX)));
    StoreIfChanged(g_settings.xoff_lim, static_cast<int16_t>(ProfileSetting("xoff_lim", 128, 0, INT16_MAX)));
    StoreIfChanged(g_settings.fdr_wait, ProfileSetting("fdr_wait", 1500, 0, kMaxFdrWaitMs));
}

// Process detach: every open slot is marked free; ports are left as they are
// and nothing is sent to a modem. A process that never sought a slot has
// none to free, and reading the slots would cost it a page fault for each.
__attribute__((destructor)) static void ReleaseChannelsAtDetach() {
    if (!g_slot_sought.load(std::memory_order_relaxed)) return;
    for (FaxChannel &c : g_channels) c.in_use = 0;
}
