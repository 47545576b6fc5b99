// The exported setters and getters of the channel table and the library-wide
// settings. Each checks its arguments in the documented order and leaves all
// state unchanged when it fails.
#include <cstring>

#include "engine/channel.h"
#include "engine/trace.h"
#include "image/page_header.h"
#include "modem/modem_io.h"

extern "C" {

uint16_t GetRemoteID(int32_t channel, const char **remote_id) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    if (!g_channels[channel].in_use) return TOLLAN_E_NOT_OPEN;
    if (!remote_id) return TOLLAN_E_ARGUMENT;
    *remote_id = g_channels[channel].reports.remote_id;
    return TOLLAN_OK;
}

uint16_t GetHangupCode(int32_t channel, int32_t *code) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    if (!code) return TOLLAN_E_ARGUMENT;
    *code = g_channels[channel].reports.hangup_code;
    return TOLLAN_OK;
}

uint16_t GetNumOfPagesSent(int32_t channel, int16_t *pages) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    if (!pages) return TOLLAN_E_ARGUMENT;
    *pages = g_channels[channel].pages_sent;
    return TOLLAN_OK;
}

int32_t GetLastFaxError(void) {
    int32_t value = g_last_error;
    g_last_error = 0;
    return value;
}

uint16_t SetLineType(int32_t channel, int line_type) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    int16_t value = Low16(line_type);
    if (value != 0 && value != 1) return TOLLAN_E_ARGUMENT;
    g_channels[channel].line_type = value;
    return TOLLAN_OK;
}

uint16_t SetScanTime(int32_t channel, int code) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    int16_t value = Low16(code);
    if (value < 0 || value > 7) return TOLLAN_E_ARGUMENT;
    g_channels[channel].scan_time = value;
    return TOLLAN_OK;
}

uint16_t SetBitRate(int32_t channel, int code) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    int16_t value = Low16(code);
    if (value < 0 || value > 5) return TOLLAN_E_ARGUMENT;
    g_channels[channel].bit_rate = value;
    return TOLLAN_OK;
}

uint16_t SetResolution(int32_t channel, int32_t resolution) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    g_channels[channel].resolution = resolution;
    return TOLLAN_OK;
}

uint16_t SetLocalID(int32_t channel, const char *id) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    if (!id || !*id) return TOLLAN_E_ARGUMENT;
    // The identity goes between quotes into an AT command.
    if (!FaxCommandTextSafe(id, true)) return TOLLAN_E_ARGUMENT;
    size_t n = strnlen(id, sizeof g_channels[channel].local_id);
    if (n >= sizeof g_channels[channel].local_id) return TOLLAN_E_ARGUMENT;
    memcpy(g_channels[channel].local_id, id, n + 1);
    return TOLLAN_OK;
}

uint16_t SetModemClass(int32_t /*unused*/, int modem_class) {
    int slot = FindFreeSlot();
    if (slot < 0) return TOLLAN_E_NO_FREE_SLOT;
    int16_t value = Low16(modem_class);
    if (value < 0 || value > 3) return TOLLAN_E_ARGUMENT;
    g_channels[slot].modem_class = value;
    return TOLLAN_OK;
}

uint16_t SetModemCommandInterval(int32_t milliseconds) {
    g_settings.modem_command_interval = milliseconds;
    return TOLLAN_OK;
}

uint16_t SetFaxInfoOption(int option) {
    int16_t value = Low16(option);
    if (value < 0 || value > 2) return TOLLAN_E_ARGUMENT;
    g_settings.fax_info_option = value;
    return TOLLAN_OK;
}

uint16_t SetTraceOption(int option) {
    int16_t value = Low16(option);
    // 0, 1 or 2; 1 or 2 may carry the channel flag (5, 6).
    const int16_t target = value & kTraceTargetMask;
    if (value < 0 || value > (kTraceWithChannel | 2) || target == 3 || (value & kTraceWithChannel && target == 0))
        return TOLLAN_E_ARGUMENT;
    g_settings.trace_option = value;
    return TOLLAN_OK;
}

uint16_t SetTraceFileName(const char *path) {
    if (!path || !*path) return TOLLAN_E_ARGUMENT;
    // A longer path is refused rather than cut: a cut path names another file.
    size_t n = strnlen(path, sizeof g_settings.trace_file);
    if (n >= sizeof g_settings.trace_file) return TOLLAN_E_ARGUMENT;
    memcpy(g_settings.trace_file, path, n + 1);
    return TOLLAN_OK;
}

uint16_t SetStretchOption(int option) {
    int16_t value = Low16(option);
    if (value < 0 || value > 5) return TOLLAN_E_ARGUMENT;
    g_settings.stretch_option = value;
    return TOLLAN_OK;
}

uint16_t SetShrinkOption(int option) {
    int16_t value = Low16(option);
    if (value < 0 || value > 3) return TOLLAN_E_ARGUMENT;
    g_settings.shrink_option = value;
    return TOLLAN_OK;
}

uint16_t SetShrinkHeight(int lines) {
    int16_t value = Low16(lines);
    if (value < 0) return TOLLAN_E_ARGUMENT;
    g_settings.shrink_height = value;
    return TOLLAN_OK;
}

uint16_t SetShrinkWidth(int dots) {
    int16_t value = Low16(dots);
    if (value < 0 || value > 1728) return TOLLAN_E_ARGUMENT;
    g_settings.shrink_width = value;
    return TOLLAN_OK;
}

uint16_t SetPageHeader(int32_t channel, const char *format) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    char *kept = g_page_headers[channel].format;
    if (!format || !*format) {
        kept[0] = '\0';
        return TOLLAN_OK;
    }
    // strnlen: an overlong format is refused without reading all of it.
    const size_t n = strnlen(format, kMaxPageHeaderFormat + 1);
    if (CheckPageHeaderFormat(std::string_view(format, n)) != TOLLAN_OK) return TOLLAN_E_ARGUMENT;
    memcpy(kept, format, n);
    kept[n] = '\0';
    return TOLLAN_OK;
}

uint16_t SetErrorCorrection(int32_t channel, int32_t mode) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    if (mode < TOLLAN_ECM_OFF || mode > TOLLAN_ECM_64) return TOLLAN_E_ARGUMENT;
    g_channels[channel].error_correction = static_cast<int16_t>(mode);
    return TOLLAN_OK;
}

uint16_t SetCompression(int32_t channel, int32_t codings) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    constexpr int32_t kAll = TOLLAN_COMPRESS_MH | TOLLAN_COMPRESS_MR | TOLLAN_COMPRESS_MMR;
    if ((codings & ~kAll) != 0 || (codings & TOLLAN_COMPRESS_MH) == 0) return TOLLAN_E_ARGUMENT;
    g_channels[channel].codings = static_cast<int16_t>(codings);
    return TOLLAN_OK;
}

}  // extern "C"

int32_t OfferedCodings(const FaxChannel &c) {
    int32_t codings = c.codings | TOLLAN_COMPRESS_MH;
    if (c.error_correction == TOLLAN_ECM_OFF) codings &= ~TOLLAN_COMPRESS_MMR;
    return codings;
}
