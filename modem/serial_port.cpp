// The serial port of a channel: device naming, line settings, and the exports
// that close, clear and hand out the port.
#include "modem/serial_port.h"

#include <cerrno>
#include <climits>
#include <cstdio>

#include "engine/channel.h"
#include "engine/trace.h"
#include "platform/platform.h"

namespace {

// The settings each port had before its channel opened it, put back at close.
struct SavedPortSettings {
    bool valid;
    struct termios settings;
};
SavedPortSettings g_saved_settings[kMaxChannels];
// The lock file each channel took for its device; empty when it has none.
char g_lock_paths[kMaxChannels][PATH_MAX];

}  // namespace

uint16_t LockPort(int32_t channel, const char *device) {
    char *path = g_lock_paths[channel];
    long holder = 0;
    switch (PlatLockDevice(device, path, sizeof g_lock_paths[channel], &holder)) {
    case PlatLockOutcome::kTaken:
        return TOLLAN_OK;
    case PlatLockOutcome::kHeld:
        FaxTrace("PortOpen: %s is locked by process %ld (%s)", device, holder, path);
        path[0] = '\0';
        return TOLLAN_E_PORT_LOCKED;
    case PlatLockOutcome::kUnavailable:
        break;
    }
    // Users without access to the lock directory can still use their modem.
    FaxTrace("PortOpen: no lock file for %s in %s, error %d: opened without one", device, PlatLockDirectory(),
             errno);
    path[0] = '\0';
    return TOLLAN_OK;
}

void UnlockPort(int32_t channel) {
    char *path = g_lock_paths[channel];
    if (!path[0]) return;
    PlatUnlockDevice(path);
    path[0] = '\0';
}

bool PortDeviceName(int port, char *name, size_t size) {
    char key[16];
    snprintf(key, sizeof key, "COM%d", port);
    if (PlatProfileString("Ports", key, name, size)) return true;
    int n = snprintf(name, size, "/dev/ttyS%d", port - 1);
    return n > 0 && static_cast<size_t>(n) < size;
}

// The modem line: 19200 bit/s, 8 data bits, no parity, one stop bit, every
// byte passed through untouched, RTS/CTS hardware flow control, no XON/XOFF
// until page data switches it on. Fields not named here stay as the driver
// reported them.
//
// Without a termios equivalent, and what the library does instead:
//  - DSR output flow control and DSR sensitivity: none; output waits for CTS only.
//  - DTR handshake: DTR is simply held on (raised at open, see PortOpen).
//  - driver queue sizes (256/256), event mask: the kernel's own queues; no events are used.
//  - XonLim/XoffLim: the kernel throttles at its own fill levels; the
//    profile's xon_lim/xoff_lim are read but have nothing to set.
//  - abort on error, error character: a failed read or write is reported by
//    the call itself; parity checking is off, so no byte is replaced.
//  - read time-outs (return at once): VMIN 0, VTIME 0 on a non-blocking
//    descriptor; FaxReadByte waits in poll() for its io_timeout.
//  - write time-outs (1 ms a byte plus 10 s): kept by the library's writers,
//    FaxSendString (io_timeout) and FaxPortWrite.
void ApplyModemLineSettings(struct termios &t) {
    cfsetispeed(&t, B19200);
    cfsetospeed(&t, B19200);

    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8;      // 8 data bits, no parity, one stop bit
    t.c_cflag |= CREAD;    // receiver on
    t.c_cflag |= CLOCAL;   // carrier loss must not hang up the descriptor between calls
    t.c_cflag |= CRTSCTS;  // output waits for CTS, RTS tells the modem when we can take more

    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);  // no XON/XOFF at open
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | ISTRIP | PARMRK);  // no parity check, 8 bits kept
    t.c_iflag &= ~static_cast<tcflag_t>(INLCR | IGNCR | ICRNL);    // CR and LF arrive as sent
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT);          // a break is a NUL, not a signal
    t.c_iflag &= ~static_cast<tcflag_t>(IGNPAR);

    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // bytes go out as written (binary)

    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN);  // no line editing

    t.c_cc[VSTART] = 0x11;  // DC1 (XON), used once page data turns XON/XOFF on
    t.c_cc[VSTOP] = 0x13;   // DC3 (XOFF)
    t.c_cc[VMIN] = 0;       // reads return at once with what has arrived
    t.c_cc[VTIME] = 0;
}

void RememberPortSettings(int32_t channel, const struct termios &settings) {
    g_saved_settings[channel].valid = true;
    g_saved_settings[channel].settings = settings;
}

int ReleasePort(int32_t channel, int fd) {
    SavedPortSettings &saved = g_saved_settings[channel];
    if (saved.valid) {
        Plat().port_set_settings(fd, &saved.settings);  // best effort: the device may be gone
        saved.valid = false;
    }
    const int closed = Plat().port_close(fd);
    const int error = errno;
    UnlockPort(channel);
    errno = error;
    return closed;
}

uint16_t PortClose(int32_t channel) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    FaxChannel &c = g_channels[channel];
    if (!c.in_use) return TOLLAN_E_NOT_OPEN;
    int closed = ReleasePort(channel, c.comm_handle);
    // Linux frees the descriptor even when close reports an error, so the
    // channel cannot stay open on it: its number may already be reused.
    c.in_use = 0;
    if (closed == -1) {
        RecordLastError();
        return TOLLAN_E_CLOSE;
    }
    return TOLLAN_OK;
}

uint16_t PortClear(int32_t channel) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    if (!g_channels[channel].in_use) return TOLLAN_E_NOT_OPEN;
    if (FaxLinkPurge(g_channels[channel]) == -1) {
        FaxTraceChannel(channel);
        FaxTrace("PortClear: API エラー %d", errno);
        return TOLLAN_E_PURGE;
    }
    return TOLLAN_OK;
}

uint16_t GetCommHandle(int32_t channel, int *handle) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    if (!g_channels[channel].in_use) return TOLLAN_E_NOT_OPEN;
    if (!handle) return TOLLAN_E_ARGUMENT;
    *handle = g_channels[channel].comm_handle;
    return TOLLAN_OK;
}
