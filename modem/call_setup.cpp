// Dialling, page file names and the other steps every class of call shares.
#include "modem/call_setup.h"

#include <cstring>
#include <sys/stat.h>

#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/modem_io.h"
#include "modem/response.h"

namespace {

// The "." that starts the extension of the base name's file name, or nullptr.
const char *ExtensionDot(const char *base_name) {
    const char *slash = strrchr(base_name, '/');
    const char *file_name = slash ? slash + 1 : base_name;
    return strrchr(file_name, '.');
}

// Length of the part of the base name kept in page names.
size_t StemLength(const char *base_name) {
    const char *dot = ExtensionDot(base_name);
    return dot ? static_cast<size_t>(dot - base_name) : strlen(base_name);
}

bool IsBusyOrNoAnswer(int32_t hangup_code) {
    return hangup_code == kHangupNoLoopCurrent || hangup_code == kHangupRingbackNoAnswer ||
           hangup_code == kHangupBusy;
}

}  // namespace

bool FaxFileExists(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0;
}

bool FaxPageFileName(char (&out)[kFaxPathSize], const char *base_name, int page, const char *extension) {
    size_t stem = StemLength(base_name);
    out[0] = '\0';
    if (stem >= kFaxPathSize) return false;
    int n = snprintf(out, kFaxPathSize, "%.*s_p%d%s", static_cast<int>(stem), base_name, page, extension);
    if (n < 0 || static_cast<size_t>(n) >= kFaxPathSize) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool FaxPageNamesFit(const char *base_name, int last_page, const char *extension) {
    if (strnlen(base_name, kFaxPathSize) >= kFaxPathSize) return false;
    // Page numbers only grow longer, so the last page's name is the longest.
    char name[kFaxPathSize];
    return FaxPageFileName(name, base_name, last_page, extension);
}

uint16_t FaxFindPageFile(char (&path)[kFaxPathSize], const char *base_name, int page, int pages) {
    if (!FaxPageFileName(path, base_name, page, ".g3")) return TOLLAN_E_ARGUMENT;
    if (FaxFileExists(path)) return TOLLAN_OK;
    if (pages == 1 && FaxFileExists(base_name) && strlen(base_name) < kFaxPathSize) {
        snprintf(path, sizeof path, "%s", base_name);
        return TOLLAN_OK;
    }
    return TOLLAN_E_NO_PAGE_FILE;
}

uint16_t FaxDial(int32_t channel, const char *number, const char *expected) {
    const FaxChannel &c = g_channels[channel];
    char command[kDialCommandSize];
    snprintf(command, sizeof command, c.line_type == 0 ? "ATDT%s\r\n" : "ATDP%s\r\n", number);
    const uint16_t code = FaxCommandWait(command, expected, channel);
    if (code == TOLLAN_OK) return TOLLAN_OK;
    FaxTrace("SendFax: ダイアル失敗 phone=\"%s\", +FHS:%d ", number, c.reports.hangup_code);
    if (IsBusyOrNoAnswer(c.reports.hangup_code)) {
        FaxTrace("SendFax: ダイアル失敗 (BUSY/NO ANSWER)");
        return TOLLAN_E_DIAL;
    }
    FaxTrace("SendFax: ダイアル %s 失敗 (ERROR / NO CARRIER)", number);
    return code;
}

uint16_t FaxCheckReceiveArguments(int32_t channel, const char *base_name, const int16_t *pages) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    if (!g_channels[channel].in_use) return TOLLAN_E_NOT_OPEN;
    FaxBeginCall(channel);
    if (!base_name || !*base_name || !pages) return TOLLAN_E_ARGUMENT;
    if (!FaxPageNamesFit(base_name, INT16_MAX, ".ffi")) return TOLLAN_E_ARGUMENT;
    return TOLLAN_OK;
}
