// Bytes and lines to and from the modem, each bounded by a deadline counted
// from the start of its wait (the channel's io_timeout unless the caller
// names another). Waiting is done in poll() on the port, never by spinning, so a
// silent modem costs no processor time while a byte is still taken the moment
// it arrives.
#include <cerrno>
#include <cstring>

#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/modem_io.h"
#include "platform/platform.h"

namespace {

constexpr size_t kMaxLineLength = 256;
// Wake-ups with nothing to read before a port counts as hung up.
constexpr int kMaxEmptyWakes = 100;
// The longest a read waits before it looks at the call's limits again.
constexpr uint32_t kCallCheckMs = 1000;
// The port's write time-out: 1 ms per byte plus 10 s (the per-byte part held
// below 2^31 so the sum stays a valid tick difference).
constexpr uint32_t kWriteConstantMs = 10000;
constexpr size_t kMaxPerByteMs = 0x7FFFFFFF - kWriteConstantMs;
// The line FaxReadLine returned last, one per thread: calls on different
// channels read lines at the same time.
thread_local char g_line[kMaxLineLength + 1];

// Milliseconds of io_timeout left since start; 0 once it has passed.
uint32_t TimeLeft(uint32_t start, uint32_t timeout) {
    uint32_t elapsed = PlatElapsed(start);
    return elapsed < timeout ? timeout - elapsed : 0;
}

bool IsPrintable(uint8_t byte) { return byte >= 32 && byte <= 126; }

}  // namespace

uint16_t FaxSendString(const char *text, int32_t channel) {
    const FaxChannel &c = g_channels[channel];
    const size_t length = strlen(text);
    const uint32_t start = PlatTickCount();
    size_t sent = 0;
    while (sent < length) {
        ssize_t written = Plat().port_write(c.comm_handle, text + sent, length - sent);
        if (written < 0) {
            RecordLastError();
            if (errno != EAGAIN) {
                FaxTrace("FaxSendString: ポート出力エラー %d (%s)", g_last_error, text);
                return TOLLAN_E_WRITE;
            }
            // The port is full: wait for room, but not past the deadline.
            Plat().wait_writable(c.comm_handle, TimeLeft(start, c.io_timeout));
            written = 0;
        }
        sent += static_cast<size_t>(written);
        // Checked after every write, the last included: a command that only
        // got out after the deadline still counts as timed out.
        if (PlatElapsed(start) >= c.io_timeout) {
            FaxTrace("FaxSendString: timeout");
            return TOLLAN_E_TIMEOUT;
        }
    }
    return TOLLAN_OK;
}

FaxDeadline FaxDeadlineIn(uint32_t limit_ms) { return {PlatTickCount(), limit_ms}; }

uint32_t FaxTimeLeft(const FaxDeadline &deadline) { return TimeLeft(deadline.start, deadline.limit_ms); }

bool FaxCallEnded(uint16_t code) { return code == TOLLAN_E_CALL_TIME || code == TOLLAN_E_ABORTED; }

uint16_t FaxReadByteUntil(int32_t channel, const FaxDeadline &deadline, uint8_t *out) {
    const FaxChannel &c = g_channels[channel];
    // Looked at on every call too, so a modem that never pauses cannot keep
    // a call past its limits.
    uint16_t limit = FaxCallCheck(channel);
    if (limit != TOLLAN_OK) return limit;
    int empty_wakes = 0;
    bool woke_ready = false;
    for (;;) {
        ssize_t got = Plat().port_read(c.comm_handle, out, 1);
        // A hung-up terminal reads as end of file while poll() keeps calling
        // it readable; that is the read failure a vanished device gives.
        if (got == 0 && woke_ready && ++empty_wakes >= kMaxEmptyWakes) {
            errno = EIO;
            got = -1;
        }
        if (got < 0) {
            RecordLastError();
            FaxTrace("FaxReadByte: ReadFile error %d", g_last_error);
            return TOLLAN_E_READ;
        }
        // The deadline is tested before the byte: a byte that arrives exactly
        // at the deadline is a time-out.
        uint32_t left = FaxTimeLeft(deadline);
        if (left == 0) {
            FaxTrace("FaxReadByte: timeout");
            return TOLLAN_E_TIMEOUT;
        }
        if (got == 1) return TOLLAN_OK;
        int ready = Plat().wait_readable(c.comm_handle, left < kCallCheckMs ? left : kCallCheckMs);
        if (ready < 0) {
            RecordLastError();
            FaxTrace("FaxReadByte: ReadFile error %d", g_last_error);
            return TOLLAN_E_READ;
        }
        woke_ready = ready > 0;
        if (!woke_ready) {
            limit = FaxCallCheck(channel);
            if (limit != TOLLAN_OK) return limit;
        }
    }
}

uint16_t FaxReadByte(int32_t channel, uint8_t *out) {
    return FaxReadByteUntil(channel, FaxDeadlineIn(g_channels[channel].io_timeout), out);
}

const char *FaxReadLineUntil(int32_t channel, const FaxDeadline &deadline, uint16_t *code) {
    size_t length = 0;
    g_line[0] = '\0';
    for (;;) {
        uint8_t byte = 0;
        *code = FaxReadByteUntil(channel, deadline, &byte);
        if (*code != TOLLAN_OK) {
            FaxTrace("FaxReadByte returned error %d", *code);
            return nullptr;
        }
        // Line ends and other control bytes are never stored, and printable
        // bytes past the 256th are dropped.
        if (IsPrintable(byte) && length < kMaxLineLength) {
            g_line[length++] = static_cast<char>(byte);
            g_line[length] = '\0';
        }
        // Line feeds before the first printable byte are passed over, so an
        // empty line is never returned.
        if (byte == '\n' && length > 0) return g_line;
    }
}

const char *FaxReadLine(int32_t channel) {
    uint16_t code = TOLLAN_OK;
    return FaxReadLineUntil(channel, FaxDeadlineIn(g_channels[channel].io_timeout), &code);
}

uint16_t FaxReadRawLineUntil(int32_t channel, const FaxDeadline &deadline, char *buffer, size_t size) {
    if (size == 0) return TOLLAN_OK;
    memset(buffer, 0, size);
    // The last byte stays 0, so the buffer is always a terminated text; a
    // line longer than the buffer comes back in pieces.
    for (size_t stored = 0; stored + 1 < size;) {
        uint8_t byte = 0;
        uint16_t code = FaxReadByteUntil(channel, deadline, &byte);
        if (code != TOLLAN_OK) return code;
        buffer[stored++] = static_cast<char>(byte);
        if (byte == '\n') break;
    }
    return TOLLAN_OK;
}

uint16_t FaxReadRawLine(int32_t channel, char *buffer, size_t size) {
    return FaxReadRawLineUntil(channel, FaxDeadlineIn(g_channels[channel].io_timeout), buffer, size);
}

ssize_t FaxPortWrite(int32_t channel, const void *data, size_t size) {
    const int fd = g_channels[channel].comm_handle;
    const uint32_t limit = static_cast<uint32_t>(size > kMaxPerByteMs ? kMaxPerByteMs : size) + kWriteConstantMs;
    const uint32_t start = PlatTickCount();
    const char *bytes = static_cast<const char *>(data);
    size_t written = 0;
    while (written < size) {
        ssize_t n = Plat().port_write(fd, bytes + written, size - written);
        if (n < 0 && errno != EAGAIN) return -1;
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        uint32_t left = TimeLeft(start, limit);
        if (left == 0) break;
        if (Plat().wait_writable(fd, left) < 0) return -1;
    }
    return static_cast<ssize_t>(written);
}

void FaxResetClass(int32_t channel) {
    static constexpr char kResetClass[] = "AT+FCLASS=0\r\n";
    ssize_t ignored = FaxPortWrite(channel, kResetClass, sizeof kResetClass - 1);
    (void)ignored;
}
