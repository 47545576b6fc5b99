// The plain command exchange, "OK" or "ERROR", and the two set-up commands
// built on it: the fax service class and class 2.0 flow control; what may go
// into a command, and the pause after one.
#include <cstring>

#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/dialect.h"
#include "modem/link.h"
#include "modem/modem_io.h"
#include "platform/platform.h"

namespace {

// Fixed, whatever the channel's command_interval says.
constexpr uint32_t kCommandSettleMs = 500;

}  // namespace

uint16_t FaxModemCommand(const char *command, int32_t channel) {
    uint16_t code = FaxSendString(command, channel);
    if (code != TOLLAN_OK) return code;
    PlatSleep(kCommandSettleMs);
    // Echoes and information lines do not extend the wait.
    const FaxDeadline deadline = FaxDeadlineIn(g_channels[channel].io_timeout);
    for (;;) {
        const char *line = FaxReadLineUntil(channel, deadline, &code);
        if (!line) return FaxCallEnded(code) ? code : static_cast<uint16_t>(TOLLAN_E_FAILED);
        FaxTrace("FaxModemCommand: got line %s", line);
        if (strcmp(line, "OK") == 0) return TOLLAN_OK;
        if (strcmp(line, "ERROR") == 0) return TOLLAN_E_FAILED;
        // An echo, "RING" or an information line: keep reading.
    }
}

void FaxCommandPause(const FaxChannel &c) {
    // The setter takes any value: a negative interval is no pause, not 49 days.
    const int32_t interval = c.command_interval;
    FaxCallPause(FaxChannelNumber(c), interval > 0 ? static_cast<uint32_t>(interval) : 0);
}

bool FaxCommandTextSafe(const char *text, bool quoted) {
    for (const char *p = text; *p; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        // CR or LF would end the command and start another.
        if (byte < 0x20 || byte == 0x7F) return false;
        if (quoted && byte == '"') return false;
    }
    return true;
}

uint16_t FaxSelectClass(int32_t channel, int16_t *modem_class) {
    if (*modem_class != TOLLAN_CLASS_2 && *modem_class != TOLLAN_CLASS_2_0) *modem_class = TOLLAN_CLASS_2_0;
    if (*modem_class == TOLLAN_CLASS_2_0 && FaxModemCommand("AT+FCLASS=2.0\r\n", channel) == TOLLAN_OK)
        return TOLLAN_OK;
    if (FaxModemCommand("AT+FCLASS=2\r\n", channel) == TOLLAN_OK) {
        *modem_class = TOLLAN_CLASS_2;
        return TOLLAN_OK;
    }
    *modem_class = -1;
    return TOLLAN_OK;
}

uint16_t FaxSetFlowControl(int32_t channel, int16_t prefer_hardware) {
    if (!FaxDialectOf(g_channels[channel]).sets_flow_control) return TOLLAN_OK;
    if (prefer_hardware != 0 && FaxModemCommand("AT+FLO=2\r\n", channel) == TOLLAN_OK) return TOLLAN_OK;
    return FaxModemCommand("AT+FLO=1\r\n", channel);
}
