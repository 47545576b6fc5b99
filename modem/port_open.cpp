// PortOpen: claim a channel, open and set up its serial port, and bring the
// modem into a known state: the host's initialisation string, the fax service
// class, verbose result codes.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/call_setup.h"
#include "modem/modem_io.h"
#include "modem/response.h"
#include "modem/serial_port.h"
#include "platform/platform.h"

namespace {

// The initialisation line is the host's string, CR LF and a terminator in 256 bytes.
constexpr size_t kInitLineSize = 256;
constexpr size_t kMaxInitLength = kInitLineSize - 3;
// Device paths are longer than COM names; still a fixed, bounded buffer.
constexpr size_t kDeviceNameSize = PATH_MAX;
constexpr uint32_t kModemSettleMs = 1000;
constexpr int16_t kDefaultBitRate = 5;  // 14400 bit/s

// A line end in the initialisation string would send a second command.
bool ValidOpenArguments(const int32_t *channel, int16_t port, const char *init) {
    return channel && port >= 1 && port <= kMaxPorts && init && init[0] != '\0' &&
           strlen(init) <= kMaxInitLength && FaxCommandTextSafe(init, false);
}

// The fields every open sets afresh.
void ResetChannelForOpen(FaxChannel &c) {
    c.command_interval = g_settings.modem_command_interval;
    c.io_timeout = kSetUpTimeoutMs;
    c.scan_time = 0;
    c.resolution = 0;
    c.bit_rate = kDefaultBitRate;
    // A ring line an earlier port began is not this port's.
    c.ring_length = 0;
    // Nor is anything an earlier port's link held.
    FaxLinkReset(c.link);
}

// Records errno as the last error, then gives the port back and returns code.
uint16_t FailOpen(int32_t slot, int fd, uint16_t code) {
    RecordLastError();
    ReleasePort(slot, fd);
    return code;
}

// Purge, read the settings, change and write them, hold DTR on. The driver
// queue sizes, event mask and time-outs have no separate call here (see
// ApplyModemLineSettings), so 145, 147 and 148 cannot occur.
uint16_t ConfigurePort(int32_t slot, int fd) {
    if (Plat().port_purge(fd) == -1) return FailOpen(slot, fd, TOLLAN_E_PORT_PURGE);
    struct termios settings;
    memset(&settings, 0, sizeof settings);
    if (Plat().port_get_settings(fd, &settings) == -1) return FailOpen(slot, fd, TOLLAN_E_PORT_GET_STATE);
    RememberPortSettings(slot, settings);
    ApplyModemLineSettings(settings);
    if (Plat().port_set_settings(fd, &settings) == -1) return FailOpen(slot, fd, TOLLAN_E_PORT_SET_STATE);
    // A pseudo-terminal has no modem lines: ENOTTY/EINVAL mean not applicable.
    if (Plat().port_raise_lines(fd) == -1 && errno != ENOTTY && errno != EINVAL)
        return FailOpen(slot, fd, TOLLAN_E_PORT_SET_STATE);
    return TOLLAN_OK;
}

// The initialisation string, the service class and verbose result codes.
uint16_t InitialiseModem(int32_t slot, int fd, const char *init) {
    FaxChannel &c = g_channels[slot];
    char line[kInitLineSize];
    snprintf(line, sizeof line, "%s\r\n", init);
    if (FaxCommandWait(line, "OK", slot) != TOLLAN_OK) return FailOpen(slot, fd, TOLLAN_E_INIT);
    PlatSleep(kModemSettleMs);

    if (c.modem_class != TOLLAN_CLASS_1) {
        FaxSelectClass(slot, &c.modem_class);
        if (c.modem_class != TOLLAN_CLASS_2_0 && c.modem_class != TOLLAN_CLASS_2) {
            FaxTrace("PortOpen: modem class set error %d", c.modem_class);
            ReleasePort(slot, fd);
            return TOLLAN_E_CLASS;
        }
    }
    if (FaxCommandWait("ATV1Q0\r\n", "OK", slot) != TOLLAN_OK) {
        FaxTrace("PortOpen: モデムから応答がありません");
        ReleasePort(slot, fd);
        return TOLLAN_E_NO_RESPONSE;
    }
    return TOLLAN_OK;
}

}  // namespace

uint16_t PortOpen(int32_t *channel, int port, const char *init) {
    LoadProfileSettings();
    const int16_t port_number = Low16(port);
    if (!ValidOpenArguments(channel, port_number, init)) return TOLLAN_E_ARGUMENT;
    const int slot = FindFreeSlot();
    if (slot < 0) return TOLLAN_E_NO_FREE_SLOT;
    FaxChannel &c = g_channels[slot];
    ResetChannelForOpen(c);
    // The modem dialogue of the open is bounded like a call's, and an
    // abort asked of an earlier call on the slot is forgotten.
    FaxBeginCall(slot);

    char device[kDeviceNameSize];
    if (!PortDeviceName(port_number, device, sizeof device)) {
        errno = ENAMETOOLONG;
        RecordLastError();
        FaxTrace("PortOpen: CreateFile error, %d", g_last_error);
        return TOLLAN_E_PORT_OPEN;
    }
    // Taken before the device is opened, so a program using the port never
    // sees a byte of ours.
    uint16_t code = LockPort(slot, device);
    if (code != TOLLAN_OK) return code;
    const int fd = Plat().port_open(device);
    if (fd == -1) {
        RecordLastError();
        UnlockPort(slot);
        FaxTrace("PortOpen: CreateFile error, %d", g_last_error);
        return TOLLAN_E_PORT_OPEN;
    }
    code = ConfigurePort(slot, fd);
    if (code != TOLLAN_OK) return code;

    c.comm_handle = fd;
    FaxReportsClearHangup(c.reports);
    code = InitialiseModem(slot, fd, init);
    if (code != TOLLAN_OK) return code;

    c.in_use = 1;
    *channel = slot;
    return TOLLAN_OK;
}
