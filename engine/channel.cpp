#include "engine/channel.h"

#include <cerrno>

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

int32_t g_last_error = 0;

int FindFreeSlot() {
    for (int i = 0; i < kMaxChannels; ++i)
        if (g_channels[i].in_use == 0) return i;
    return -1;
}

bool ChannelInRange(int32_t channel) { return channel >= 0 && channel < kMaxChannels; }

void RecordLastError() { g_last_error = errno; }

void LoadProfileSettings() {
    g_settings.xon_lim = Low16(PlatProfileInt("Fax", "xon_lim", 64));
    g_settings.xoff_lim = Low16(PlatProfileInt("Fax", "xoff_lim", 128));
    g_settings.fdr_wait = PlatProfileInt("Fax", "fdr_wait", 1500);
}

// Process detach: every open slot is marked free; ports are left as they are
// and nothing is sent to a modem.
__attribute__((destructor)) static void ReleaseChannelsAtDetach() {
    for (FaxChannel &c : g_channels) c.in_use = 0;
}
