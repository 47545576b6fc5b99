// T.30 control frames over V.21 channel 2. The modem does flags, bit
// stuffing and the checksum; the host writes the frame bytes after
// "AT+FTH=3" and reads them after "AT+FRH=3", each frame ended by DLE ETX.
#include <cerrno>
#include <cstring>

#include "class1/class1.h"
#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/modem_io.h"
#include "modem/session_words.h"
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

uint16_t SendFrameEnd(int32_t channel) {
    FaxTrace("SendFrameEnd:");
    const uint16_t code = FaxSendByte(kDle, channel);
    if (code != TOLLAN_OK) return code;
    return FaxSendByte(kEtx, channel);
}

// frame holds control, FCF and FIF; the address goes first.
uint16_t SendHdlc(const uint8_t *frame, size_t length, int32_t channel) {
    FaxTraceFrameWords(frame, length);
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

// A DLE DLE pair is one data byte 0x10, so only a DLE that is not the
// second of a pair arms the frame end.
bool EndsFrame(bool dle_pending, uint8_t byte) { return byte == kEtx && dle_pending; }

bool DlePendingAfter(bool dle_pending, uint8_t byte) { return byte == kDle && !dle_pending; }

namespace {

// The earlier of a byte's own deadline and the frame's.
FaxDeadline ByteDeadline(const FaxDeadline &frame, uint32_t byte_limit_ms) {
    const uint32_t frame_left = FaxTimeLeft(frame);
    return FaxDeadlineIn(frame_left < byte_limit_ms ? frame_left : byte_limit_ms);
}

}  // namespace

// Stores control, FCF, FIF and the closing DLE ETX. Bytes before the first
// 0xFF (the line end after CONNECT) and the 0xFF address bytes before the
// control byte are framing; every later byte is data, 0xFF included. The
// second DLE of a pair is not stored. A frame that does not fit is read to
// its end and reported too long. The frame must end within kFrameTimeLimitMs
// of the start, and no byte may take longer than io_timeout; the read itself
// sees an abort or the end of the call time.
FrameIn ReadFrame(uint8_t *buffer, size_t size, int32_t channel) {
    memset(buffer, 0, size);  // nothing of an earlier frame shows behind a shorter one
    bool dle_pending = false;  // each frame starts clean: one cut short leaves no DLE behind
    const FaxChannel &c = g_channels[channel];
    const FaxDeadline frame = FaxDeadlineIn(kFrameTimeLimitMs);
    bool address_seen = false;
    FrameIn in{TOLLAN_OK, 0, false};
    for (;;) {
        uint8_t byte = 0;
        in.code = FaxReadByteUntil(channel, ByteDeadline(frame, c.io_timeout), &byte);
        if (in.code == TOLLAN_E_TIMEOUT)
            FaxTrace("ReadFrame: no frame end after %u ms (%u bytes)", kFrameTimeLimitMs - FaxTimeLeft(frame),
                     static_cast<unsigned>(in.length));
        if (in.code != TOLLAN_OK) return in;
        const bool second_dle = byte == kDle && dle_pending;
        if (!address_seen) {
            address_seen = byte == kHdlcAddress;
        } else if (!(byte == kHdlcAddress && in.length == 0) && !second_dle) {
            if (in.length < size)
                buffer[in.length++] = byte;
            else
                in.too_long = true;
        }
        if (EndsFrame(dle_pending, byte)) {
            if (in.too_long) FaxTrace("ReadFrame: frame longer than %u bytes", static_cast<unsigned>(size));
            if (!in.too_long && in.length >= 2) FaxTraceFrameWords(buffer, in.length - 2);  // without DLE ETX
            return in;
        }
        dle_pending = DlePendingAfter(dle_pending, byte);
    }
}

// Reads one frame whose checksum the modem accepted (OK after DLE ETX); a
// bad frame (ERROR, or too long for the buffer) or a lost carrier asks for
// the next, three frames in all.
uint16_t RecvFrame(uint8_t *buffer, size_t size, int32_t channel) {
    FaxTrace("RecvFrame: size = %d", static_cast<int>(size));
    for (int attempt = 0;;) {
        uint16_t code = SendCmd(kReceiveFrames, channel);
        if (code != TOLLAN_OK) {
            FaxTrace("RecvFrame: AT+FRH3 fail %d", code);
            return code;
        }
        const FrameIn in = ReadFrame(buffer, size, channel);
        if (in.code != TOLLAN_OK) {
            FaxTrace("RecvFrame: fail %d", in.code);
            return in.code;
        }
        const int result = WaitResult(kWaitTimed | kWaitTraceError, channel);
        if (result == kResultOk && !in.too_long) return TOLLAN_OK;
        if (result == kResultNoCarrier) FaxTrace("RecvFrame: no carrier");
        code = CheckDoCount(++attempt);
        if (code != TOLLAN_OK) return code;
    }
}

uint16_t TakeFrame(uint8_t *frame, size_t size, int32_t channel, uint16_t read_failure) {
    const FrameIn in = ReadFrame(frame, size, channel);
    if (in.code == TOLLAN_E_ABORTED || in.code == TOLLAN_E_CALL_TIME) return in.code;
    if (in.code != TOLLAN_OK && read_failure != TOLLAN_OK) return read_failure;
    if (in.code == TOLLAN_OK && WaitResult(kWaitTimed | kWait30s, channel) == kResultOk && !in.too_long)
        return TOLLAN_OK;
    return RecvFrame(frame, size, channel);
}
