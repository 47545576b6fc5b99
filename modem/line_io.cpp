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
#include "modem/link.h"
#include "modem/modem_io.h"
#include "platform/platform.h"

namespace {

// The longest a read waits before it looks at the call's time limit again.
// An AbortCall ends the wait itself (the channel's wake descriptor).
constexpr uint32_t kCallCheckMs = 1000;
// The port's write time-out: 1 ms per byte plus 10 s (the per-byte part held
// below 2^31 so the sum stays a valid tick difference).
constexpr uint32_t kWriteConstantMs = 10000;
constexpr size_t kMaxPerByteMs = 0x7FFFFFFF - kWriteConstantMs;

bool IsPrintable(uint8_t byte) { return byte >= 32 && byte <= 126; }

// A command is due whole within io_timeout of its start: one that only got
// out after it, on its last write, still timed out.
FaxWriteRule CommandRule(const FaxChannel &c) {
    return {c.io_timeout, /*renew_on_progress=*/false, /*strict=*/true, /*note_full=*/true};
}

// Raw bytes as the port's own write time-out has it: 1 ms a byte plus 10 s,
// then what went out is reported.
FaxWriteRule RawRule(size_t size) {
    const uint32_t limit = static_cast<uint32_t>(size > kMaxPerByteMs ? kMaxPerByteMs : size) + kWriteConstantMs;
    return {limit, /*renew_on_progress=*/false, /*strict=*/false, /*note_full=*/false};
}

}  // namespace

uint16_t FaxSendString(const char *text, int32_t channel) {
    FaxChannel &c = g_channels[channel];
    c.link.data_last = false;
    const FaxWritten out = FaxLinkWrite(c, text, strlen(text), CommandRule(c));
    if (out.end == FaxWriteEnd::kFailed) {
        RecordLastError();
        FaxTrace("FaxSendString: ポート出力エラー %d (%s)", g_last_error, text);
        return TOLLAN_E_WRITE;
    }
    if (out.end == FaxWriteEnd::kTimeout) {
        FaxTrace("FaxSendString: timeout");
        return TOLLAN_E_TIMEOUT;
    }
    return TOLLAN_OK;
}

FaxDeadline FaxDeadlineIn(uint32_t limit_ms) { return {PlatTickCount(), limit_ms}; }

uint32_t FaxTimeLeft(const FaxDeadline &deadline) {
    const uint32_t elapsed = PlatElapsed(deadline.start);
    return elapsed < deadline.limit_ms ? deadline.limit_ms - elapsed : 0;
}

bool FaxCallEnded(uint16_t code) { return code == TOLLAN_E_CALL_TIME || code == TOLLAN_E_ABORTED; }

uint16_t FaxReadByteUntil(int32_t channel, const FaxDeadline &deadline, uint8_t *out) {
    FaxChannel &c = g_channels[channel];
    // Looked at on every call too, so a modem that never pauses cannot keep
    // a call past its limits.
    uint16_t limit = FaxCallCheck(channel);
    if (limit != TOLLAN_OK) return limit;
    for (;;) {
        const ssize_t got = FaxLinkTake(c, out, 1);
        if (got < 0) {
            RecordLastError();
            FaxTrace("FaxReadByte: ReadFile error %d", g_last_error);
            return TOLLAN_E_READ;
        }
        // The deadline is tested before the byte: a byte that arrives exactly
        // at the deadline is a time-out.
        const uint32_t left = FaxTimeLeft(deadline);
        if (left == 0) {
            FaxTrace("FaxReadByte: timeout");
            return TOLLAN_E_TIMEOUT;
        }
        if (got == 1) return TOLLAN_OK;
        const int ready = FaxLinkWait(c, left < kCallCheckMs ? left : kCallCheckMs);
        if (ready < 0) {
            RecordLastError();
            FaxTrace("FaxReadByte: ReadFile error %d", g_last_error);
            return TOLLAN_E_READ;
        }
        if (ready == 0) {
            limit = FaxCallCheck(channel);
            if (limit != TOLLAN_OK) return limit;
        }
    }
}

uint16_t FaxReadByte(int32_t channel, uint8_t *out) {
    return FaxReadByteUntil(channel, FaxDeadlineIn(g_channels[channel].io_timeout), out);
}

const char *FaxReadLineUntil(int32_t channel, const FaxDeadline &deadline, uint16_t *code) {
    // Each channel's link holds its own line: calls on other channels do not touch it.
    char *line = g_channels[channel].link.line;
    size_t length = 0;
    line[0] = '\0';
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
            line[length++] = static_cast<char>(byte);
            line[length] = '\0';
        }
        // Line feeds before the first printable byte are passed over, so an
        // empty line is never returned.
        if (byte == '\n' && length > 0) return line;
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
    g_channels[channel].link.data_last = true;
    const FaxWritten out = FaxLinkWrite(g_channels[channel], data, size, RawRule(size));
    if (out.end == FaxWriteEnd::kFailed) return -1;
    return static_cast<ssize_t>(out.count);
}

void FaxResetClass(int32_t channel) {
    static constexpr char kResetClass[] = "AT+FCLASS=0\r\n";
    ssize_t ignored = FaxPortWrite(channel, kResetClass, sizeof kResetClass - 1);
    (void)ignored;
}
