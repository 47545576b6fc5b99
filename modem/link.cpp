// The modem link: the one write loop, the one read primitive and what else
// touches the port during a call (purge, flow control, pending input).
#include "modem/link.h"

#include <cerrno>
#include <cstring>
#include <termios.h>

#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/modem_io.h"
#include "platform/platform.h"

namespace {

// Reads of nothing in a row, each after the port said it was readable,
// before the port counts as hung up.
constexpr int32_t kMaxEmptyWakes = 100;

uint32_t TimeLeft(uint32_t start, uint32_t limit) {
    const uint32_t elapsed = PlatElapsed(start);
    return elapsed < limit ? limit - elapsed : 0;
}

// The rule of FaxSendByte: each byte due within io_timeout, so a block
// waits io_timeout from the last byte the port took.
FaxWriteRule ByteRule(const FaxChannel &c) {
    return {c.io_timeout, /*renew_on_progress=*/true, /*strict=*/false, /*note_full=*/true};
}

// The write loop without the queue in front.
FaxWritten WriteNow(FaxChannel &c, const uint8_t *bytes, size_t size, const FaxWriteRule &rule) {
    const int fd = c.comm_handle;
    uint32_t start = PlatTickCount();
    size_t written = 0;
    while (written < size) {
        ssize_t n = Plat().port_write(fd, bytes + written, size - written);
        if (n < 0) {
            if (errno != EAGAIN) return {written, FaxWriteEnd::kFailed};
            if (rule.note_full) RecordLastError();
            n = 0;
        }
        written += static_cast<size_t>(n);
        if (n > 0 && rule.renew_on_progress) start = PlatTickCount();
        if (rule.strict) {
            // The port was full: wait for room, but not past the limit.
            if (n == 0) Plat().wait_writable(fd, TimeLeft(start, rule.limit_ms));
            // Checked after every write, the last included.
            if (PlatElapsed(start) >= rule.limit_ms) return {written, FaxWriteEnd::kTimeout};
            continue;
        }
        if (n > 0) continue;
        const uint32_t left = TimeLeft(start, rule.limit_ms);
        if (left == 0) return {written, FaxWriteEnd::kTimeout};
        if (Plat().wait_writable(fd, left) < 0) return {written, FaxWriteEnd::kFailed};
    }
    return {written, FaxWriteEnd::kDone};
}

}  // namespace

int32_t FaxChannelNumber(const FaxChannel &c) { return static_cast<int32_t>(&c - g_channels); }

void FaxLinkReset(FaxLink &link) {
    link.input_start = 0;
    link.input_end = 0;
    link.queued = 0;
    link.holding = false;
    link.empty_wakes = 0;
    link.woke_ready = false;
    link.line[0] = '\0';
}

uint16_t FaxLinkFlush(FaxChannel &c) {
    FaxLink &link = c.link;
    if (link.queued == 0) return TOLLAN_OK;
    const FaxWritten out = WriteNow(c, link.queue, link.queued, ByteRule(c));
    // What did not go out is dropped with the failure: the caller ends the page.
    link.queued = 0;
    if (out.end == FaxWriteEnd::kFailed) {
        RecordLastError();
        FaxTrace("FaxSendByte: ポート出力エラー %d", g_last_error);
        return TOLLAN_E_WRITE;
    }
    if (out.end == FaxWriteEnd::kTimeout) {
        FaxTrace("FaxSendByte: timeout");
        return TOLLAN_E_TIMEOUT;
    }
    return TOLLAN_OK;
}

FaxWritten FaxLinkWrite(FaxChannel &c, const void *data, size_t size, const FaxWriteRule &rule) {
    const uint16_t flushed = FaxLinkFlush(c);
    if (flushed == TOLLAN_E_WRITE) return {0, FaxWriteEnd::kFailed};
    if (flushed == TOLLAN_E_TIMEOUT) return {0, FaxWriteEnd::kTimeout};
    return WriteNow(c, static_cast<const uint8_t *>(data), size, rule);
}

uint16_t FaxSendByte(uint8_t byte, int32_t channel) {
    FaxChannel &c = g_channels[channel];
    FaxLink &link = c.link;
    link.data_last = true;
    link.queue[link.queued++] = byte;
    // A full port is waited on, but no longer than io_timeout a byte, like
    // the string writer: a port that never takes a byte must not hold the call.
    if (link.holding && link.queued < kLinkQueueSize) return TOLLAN_OK;
    return FaxLinkFlush(c);
}

FaxOutputBlocks::FaxOutputBlocks(int32_t channel) : channel_(channel), open_(true) {
    g_channels[channel].link.holding = true;
}

FaxOutputBlocks::~FaxOutputBlocks() {
    if (open_) (void)Finish();
}

uint16_t FaxOutputBlocks::Finish() {
    FaxChannel &c = g_channels[channel_];
    open_ = false;
    c.link.holding = false;
    return FaxLinkFlush(c);
}

ssize_t FaxLinkTake(FaxChannel &c, uint8_t *out, size_t max) {
    FaxLink &link = c.link;
    // Queued page data goes out before anything is read: the modem answers
    // only once it has it. A failed write fails the read with its error.
    if (link.queued > 0 && FaxLinkFlush(c) != TOLLAN_OK) {
        errno = g_last_error;
        return -1;
    }
    if (link.input_start == link.input_end) {
        const ssize_t got = Plat().port_read(c.comm_handle, link.input, sizeof link.input);
        if (got < 0) return -1;
        if (got == 0) {
            // A hung-up terminal reads as end of file while poll() keeps
            // calling it readable; that is the read failure a vanished device gives.
            if (link.woke_ready && ++link.empty_wakes >= kMaxEmptyWakes) {
                link.empty_wakes = 0;
                errno = EIO;
                return -1;
            }
            return 0;
        }
        link.empty_wakes = 0;
        link.input_start = 0;
        link.input_end = static_cast<uint32_t>(got > static_cast<ssize_t>(kLinkInputSize) ? kLinkInputSize : got);
    }
    size_t n = link.input_end - link.input_start;
    if (n > max) n = max;
    if (n == 1) {
        *out = link.input[link.input_start];
    } else {
        memcpy(out, link.input + link.input_start, n);
    }
    link.input_start += static_cast<uint32_t>(n);
    return static_cast<ssize_t>(n);
}

int FaxLinkWait(FaxChannel &c, uint32_t ms) {
    FaxLink &link = c.link;
    if (link.input_start != link.input_end) return 1;
    const int wake = FaxCallWakeFd(FaxChannelNumber(c));
    int ready = Plat().wait_readable(c.comm_handle, wake, ms);
    if (ready == 2) {
        // The host's AbortCall: the caller looks at the limits as after a
        // quiet wait. Cleared, so a wake the limits no longer count cannot
        // end every later wait at once.
        PlatWakeClear(wake);
        ready = 0;
    }
    link.woke_ready = ready > 0;
    // Only a port that stays readable without giving anything is hung up.
    if (ready == 0) link.empty_wakes = 0;
    return ready < 0 ? -1 : ready > 0 ? 1 : 0;
}

int FaxLinkPurge(FaxChannel &c) {
    FaxLinkReset(c.link);
    return Plat().port_purge(c.comm_handle);
}

uint16_t FaxSetXonXoff(const FaxChannel &c, bool on) {
    const int port = c.comm_handle;
    termios settings{};
    if (Plat().port_get_settings(port, &settings) != 0) {
        RecordLastError();
        return TOLLAN_E_FAILED;
    }
    // Output stops on the modem's XOFF, input is held back with our own XOFF.
    // The XON and XOFF limits of the input queue are the driver's own here.
    const tcflag_t flow = IXON | IXOFF;
    settings.c_iflag = on ? (settings.c_iflag | flow) : (settings.c_iflag & ~flow);
    settings.c_cc[VSTART] = kDc1;
    settings.c_cc[VSTOP] = kDc3;
    if (Plat().port_set_settings(port, &settings) != 0) {
        RecordLastError();
        return TOLLAN_E_FAILED;
    }
    return TOLLAN_OK;
}

uint16_t FaxPendingInput(FaxChannel &c) {
    const int held = static_cast<int>(c.link.input_end - c.link.input_start);
    const int waiting = Plat().port_input_waiting(c.comm_handle);
    // A port that says it holds bytes was found readable.
    c.link.woke_ready = waiting > 0;
    const int total = held + (waiting > 0 ? waiting : 0);
    return total > UINT16_MAX ? UINT16_MAX : static_cast<uint16_t>(total);
}
