// The last steps of an abandoned call, each bounded by a short wait of its
// own: stop what the modem is doing, tell the remote, hang up.
#include "modem/call_end.h"

#include <cstring>

#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/dialect.h"
#include "modem/link.h"
#include "modem/modem_io.h"

namespace {

// Results that end a modem's step, whatever the step was.
constexpr const char *kFinalResults[] = {"OK", "ERROR", "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE",
                                         "NO DIAL TONE"};
constexpr const char *kConnect[] = {"CONNECT"};
constexpr const char *kNothing[] = {nullptr};

constexpr size_t kEndLineSize = 128;
constexpr uint8_t kCan = 0x18;

template <size_t N>
bool LineIsOneOf(const char *line, const char *const (&words)[N]) {
    for (const char *word : words)
        if (word && strncmp(line, word, strlen(word)) == 0) return true;
    return false;
}

// What the modem answered to one step of the ending.
struct StepAnswer {
    bool word;          // a line beginning with one of the words came
    bool awaits_bytes;  // it said CONNECT last and fell quiet: a class 1 modem in HDLC transmit
};

// Reads what the modem sends, page data included, until a line that begins
// with one of the words or a final result. Ends after kEndStepMs, or once
// the modem stays quiet for kEndQuietMs when quiet says it may, or after it
// said CONNECT: a modem that says CONNECT and then nothing waits for bytes.
// With settle, a final result does not end the read: it may answer what the
// call had under way, and the answer to a command the host sent just before
// the stop may follow it; the modem's state is what it said last.
template <size_t N>
StepAnswer AwaitAnswer(int32_t channel, const char *const (&words)[N], bool quiet, bool settle = false) {
    const FaxDeadline step = FaxDeadlineIn(kEndStepMs);
    char line[kEndLineSize];
    size_t length = 0;
    bool connect_last = false;
    bool final_seen = false;
    for (;;) {
        const uint32_t left = FaxTimeLeft(step);
        if (left == 0) return {false, connect_last};
        uint8_t byte = 0;
        const bool may_rest = quiet || connect_last || final_seen;
        const FaxDeadline next = FaxDeadlineIn(may_rest && left > kEndQuietMs ? kEndQuietMs : left);
        if (FaxReadByteUntil(channel, next, &byte) != TOLLAN_OK) return {false, connect_last};
        if (byte == '\r' || byte == '\n') {
            line[length] = '\0';
            length = 0;
            if (line[0] == '\0') continue;
            FaxTrace("FaxEndCall: got line %s", line);
            connect_last = strncmp(line, "CONNECT", 7) == 0;
            // The connection came meanwhile: class 2 reports it, class 1
            // modems say CONNECT to the dial once the called station answered.
            if (strncmp(line, "+FCO", 4) == 0 || connect_last) FaxNoteConnected(channel);
            if (LineIsOneOf(line, words)) return {true, false};
            if (LineIsOneOf(line, kFinalResults)) {
                if (!settle) return {false, false};
                final_seen = true;
            }
        } else if (length + 1 < sizeof line) {
            line[length++] = static_cast<char>(byte);
        } else {
            length = 0;  // page data or a line too long to matter
        }
    }
}

// What is left of an earlier step's answer must not pass for the next one's.
void DropWaitingInput(int32_t channel) { FaxLinkPurge(g_channels[channel]); }

bool Send(int32_t channel, const void *bytes, size_t size) {
    return FaxPortWrite(channel, bytes, size) == static_cast<ssize_t>(size);
}

// CAN stops a modem sending received page data, and like any byte is a key
// that stops a modem dialling, answering or listening; DLE ETX ends page data
// or a frame the modem is taking (where the CAN was one more data byte). A
// modem idle in command mode passes over both. True when the modem then
// waits for frame bytes: a class 1 modem that was sending frames (after
// answering it sends the called station's, unasked) took the bytes as a
// frame and is ready for the next.
bool StopModemStep(int32_t channel) {
    const bool after_data = g_channels[channel].link.data_last;
    static constexpr uint8_t kStop[] = {kCan, kDle, kEtx};
    FaxTrace("FaxEndCall: stopping the modem's step (CAN DLE ETX)");
    if (!Send(channel, kStop, sizeof kStop)) return false;
    return AwaitAnswer(channel, kNothing, !after_data, true).awaits_bytes;
}

// Class 1: DCN in a frame of the host's own, the last of the frames the
// modem sends when it is sending frames already.
void SendDcnFrame(int32_t channel, uint8_t fcf, bool sending_frames) {
    FaxTrace("FaxEndCall: DCN%s", sending_frames ? " as the modem's next frame" : "");
    DropWaitingInput(channel);
    if (!sending_frames &&
        (FaxSendString("AT+FTH=3\r", channel) != TOLLAN_OK || !AwaitAnswer(channel, kConnect, false).word)) {
        FaxTrace("FaxEndCall: no CONNECT for DCN");
        return;
    }
    const uint8_t frame[] = {0xFF, 0x13, fcf, kDle, kEtx};
    if (Send(channel, frame, sizeof frame)) AwaitAnswer(channel, kNothing, false);
}

void TellRemote(int32_t channel, const FaxCallEnding &ending, bool sending_frames) {
    if (!ending.disconnect) {
        SendDcnFrame(channel, ending.dcn_fcf, sending_frames);
        return;
    }
    FaxTrace("FaxEndCall: %.*s", static_cast<int>(strcspn(ending.disconnect, "\r")), ending.disconnect);
    DropWaitingInput(channel);
    if (FaxSendString(ending.disconnect, channel) == TOLLAN_OK) AwaitAnswer(channel, kNothing, false);
}

}  // namespace

FaxCallEnding FaxClass2Ending(int32_t channel) {
    return {FaxCallConnected(channel), FaxDialectOf(g_channels[channel]).disconnect, 0};
}

uint16_t FaxCallOutcome(int32_t channel, uint16_t code) {
    if (code == TOLLAN_OK || FaxCallEnded(code)) return code;
    const uint16_t limit = FaxCallCheck(channel);
    return limit != TOLLAN_OK ? limit : code;
}

uint16_t FaxEndCall(int32_t channel, const FaxCallEnding &ending, uint16_t code) {
    if (!FaxCallEnded(code)) return code;
    FaxCallWindDown wind_down(channel, kEndStepMs);
    FaxTrace("FaxEndCall: %s; ending the call", code == TOLLAN_E_ABORTED ? "aborted by the host" : "out of time");
    const bool sending_frames = StopModemStep(channel);
    if (ending.connected || FaxCallConnected(channel)) {
        TellRemote(channel, ending, sending_frames);
    } else {
        FaxTrace("FaxEndCall: not connected: nothing to tell the remote");
    }
    FaxTrace("FaxEndCall: hanging up");
    DropWaitingInput(channel);
    if (FaxSendString("ATH0\r\n", channel) == TOLLAN_OK) AwaitAnswer(channel, kNothing, false);
    return code;
}
