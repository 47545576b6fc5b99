// T.30 control frames over V.21 channel 2. The modem does flags, bit
// stuffing and the checksum; the host writes the frame bytes after
// "AT+FTH=3" and reads them after "AT+FRH=3", each frame ended by DLE ETX.
#include <cerrno>
#include <cstring>

#include "class1/class1.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/modem_io.h"
#include "platform/platform.h"

namespace {

constexpr char kTransmitFrames[] = "AT+FTH=3\r";
constexpr char kReceiveFrames[] = "AT+FRH=3\r";

// Writes the byte, doubled when it is DLE so the modem takes it as data.
uint16_t SendFrameByte(uint8_t byte, int32_t channel) {
    if (byte == kDle) {
        const uint16_t code = FaxSendByte(kDle, channel);
        if (code != TOLLAN_OK) return code;
    }
    return FaxSendByte(byte, channel);
}

uint16_t SendFixedFrame(uint8_t fcf, int32_t channel) {
    const uint8_t frame[] = {kControlFinal, fcf};
    return SendFrame(frame, sizeof frame, channel);
}

}  // namespace

// A full port is waited on, but no longer than io_timeout, like the string
// writer: a port that never takes the byte must not hold the call for ever.
uint16_t FaxSendByte(uint8_t byte, int32_t channel) {
    const FaxChannel &c = g_channels[channel];
    const uint32_t start = PlatTickCount();
    for (;;) {
        const ssize_t written = Plat().port_write(c.comm_handle, &byte, 1);
        if (written == 1) return TOLLAN_OK;
        if (written < 0) {
            RecordLastError();
            if (errno != EAGAIN) {
                FaxTrace("FaxSendByte: ポート出力エラー %d", g_last_error);
                return TOLLAN_E_WRITE;
            }
        }
        const uint32_t elapsed = PlatElapsed(start);
        if (elapsed >= c.io_timeout) {
            FaxTrace("FaxSendByte: timeout");
            return TOLLAN_E_TIMEOUT;
        }
        Plat().wait_writable(c.comm_handle, c.io_timeout - elapsed);
    }
}

uint16_t SendFrameEnd(int32_t channel) {
    FaxTrace("SendFrameEnd:");
    const uint16_t code = FaxSendByte(kDle, channel);
    if (code != TOLLAN_OK) return code;
    return FaxSendByte(kEtx, channel);
}

// frame holds control, FCF and FIF; the address goes first.
uint16_t SendHdlc(const uint8_t *frame, size_t length, int32_t channel) {
    uint16_t code = FaxSendByte(kHdlcAddress, channel);
    for (size_t i = 0; code == TOLLAN_OK && i < length; ++i) code = SendFrameByte(frame[i], channel);
    if (code != TOLLAN_OK) return code;
    return SendFrameEnd(channel);
}

// Sends a final frame and waits for the modem's OK; a frame that draws
// anything else is sent again, three times in all.
uint16_t SendFrame(const uint8_t *frame, size_t length, int32_t channel) {
    for (int attempt = 0;;) {
        uint16_t code = SendCmd(kTransmitFrames, channel);
        if (code != TOLLAN_OK) {
            FaxTrace("SendFrame: at+fth3 fail");
            return code;
        }
        code = SendHdlc(frame, length, channel);
        if (code != TOLLAN_OK) {
            FaxTrace("SendFrame: _send fail %d", code);
            return code;
        }
        const int result = WaitResult(kWaitTimed | kWaitTraceError, channel);
        if (result == kResultNoCarrier) {
            FaxTrace("SendFrame: error line hang");
            return TOLLAN_E_ERROR;
        }
        if (result == kResultOk) return TOLLAN_OK;
        code = CheckDoCount(++attempt);
        if (code != TOLLAN_OK) return code;
    }
}

uint16_t SendMCF(int32_t channel) { return SendFixedFrame(kFcfMcf, channel); }
uint16_t SendEOP(int32_t channel) { return SendFixedFrame(kFcfEop, channel); }
uint16_t SendMPS(int32_t channel) { return SendFixedFrame(kFcfMps, channel); }
uint16_t SendDCN(int32_t channel) { return SendFixedFrame(kFcfDcn, channel); }

// A DLE DLE pair is one data byte 0x10, so a DLE only arms the frame end
// when the DLE before it did not.
int IsFrameEnd(uint8_t byte) {
    if (byte == kEtx && g_class1.dle_pending) {
        g_class1.dle_pending = 0;
        return 1;
    }
    g_class1.dle_pending = byte == kDle ? !g_class1.dle_pending : 0;
    return 0;
}

// Stores control, FCF, FIF and the closing DLE ETX. Bytes before the
// address (the line end after CONNECT) are dropped, 0xFF is never stored,
// the second DLE of a pair is not stored, and a frame longer than the buffer
// is read to its end with the excess dropped.
uint16_t ReadFrame(uint8_t *buffer, size_t size, int32_t channel) {
    memset(buffer, 0, size);  // nothing of an earlier frame shows behind a shorter one
    bool address_seen = false;
    size_t stored = 0;
    for (;;) {
        uint8_t byte = 0;
        const uint16_t code = FaxReadByte(channel, &byte);
        if (code != TOLLAN_OK) return code;
        const bool second_dle = byte == kDle && g_class1.dle_pending;
        if (!address_seen)
            address_seen = byte == kHdlcAddress;
        else if (byte != kHdlcAddress && !second_dle && stored < size)
            buffer[stored++] = byte;
        if (IsFrameEnd(byte)) return TOLLAN_OK;
    }
}

// Reads one frame whose checksum the modem accepted (OK after DLE ETX); a
// bad frame (ERROR) or a lost carrier asks for the next, three frames in all.
uint16_t RecvFrame(uint8_t *buffer, size_t size, int32_t channel) {
    FaxTrace("RecvFrame: size = %d", static_cast<int>(size));
    for (int attempt = 0;;) {
        uint16_t code = SendCmd(kReceiveFrames, channel);
        if (code != TOLLAN_OK) {
            FaxTrace("RecvFrame: AT+FRH3 fail %d", code);
            return code;
        }
        code = ReadFrame(buffer, size, channel);
        if (code != TOLLAN_OK) {
            FaxTrace("RecvFrame: fail %d", code);
            return code;
        }
        const int result = WaitResult(kWaitTimed | kWaitTraceError, channel);
        if (result == kResultOk) return TOLLAN_OK;
        if (result == kResultNoCarrier) FaxTrace("RecvFrame: no carrier");
        code = CheckDoCount(++attempt);
        if (code != TOLLAN_OK) return code;
    }
}
