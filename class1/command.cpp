// Class 1 commands: write one AT command, sort the modem's result lines into
// the words of one table, and pick the modulation command for a bit rate.
#include <array>
#include <cstring>
#include <string_view>

#include "class1/class1.h"
#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/modem_io.h"
#include "platform/platform.h"

namespace {

// Searched in this order; the index of the first word found is the result.
// A word ending in "\r" matches only at a line end, and a longer line that
// contains a word matches it too (the carrier-mismatch result ends in ERROR).
constexpr std::array<std::string_view, 19> kResultWords = {
    "OK\r",          // kResultOk
    "CONNECT\r",     // kResultConnect
    "RING\r",        // kResultRing
    "NO CARRIER\r",  // kResultNoCarrier
    "ERROR\r",       // kResultError
    "VOICE\r",       // kResultVoice
    "NO DIALTONE\r", // kResultNoDialtone
    "BUSY\r",        // kResultBusy
    "NO ANSWER\r",   // kResultNoAnswer
    "+FCON\r",       // kResultFcon
    "+FCFR\r",       // kResultFcfr
    "+FTSI:",        // kResultFtsi
    "+FDCS:",        // kResultFdcs
    "+FDIS:",        // kResultFdis
    "+FCSI:",        // kResultFcsi
    "+FET:",         // kResultFet
    "+FHNG:",        // kResultFhng
    "DISCONNECT",    // kResultDisconnect
    "CONNECT FAX",   // kResultConnectFax
};

// Modulation commands by bit-rate code. Only V.17 tells long training (for
// the training check) from short training (for page data).
struct Modulation {
    const char *transmit_training;
    const char *transmit_page;
    const char *receive_training;
    const char *receive_page;
};
constexpr std::array<Modulation, kBitRateCodes> kModulations = {{
    {"AT+FTM=24\r", "AT+FTM=24\r", "AT+FRM=24\r", "AT+FRM=24\r"},      // 2400 V.27 ter
    {"AT+FTM=48\r", "AT+FTM=48\r", "AT+FRM=48\r", "AT+FRM=48\r"},      // 4800 V.27 ter
    {"AT+FTM=72\r", "AT+FTM=72\r", "AT+FRM=72\r", "AT+FRM=72\r"},      // 7200 V.29
    {"AT+FTM=96\r", "AT+FTM=96\r", "AT+FRM=96\r", "AT+FRM=96\r"},      // 9600 V.29
    {"AT+FTM=121\r", "AT+FTM=122\r", "AT+FRM=121\r", "AT+FRM=122\r"},  // 12000 V.17
    {"AT+FTM=145\r", "AT+FTM=146\r", "AT+FRM=145\r", "AT+FRM=146\r"},  // 14400 V.17
}};

constexpr int kMaxAttempts = 3;
constexpr size_t kResultLineSize = 256;

uint32_t WaitLimit(int flags) {
    if (flags & kWait60s) return 60000;
    if (flags & kWait30s) return 30000;
    return 5000;
}

// A timed wait lasts as long as its flags say; an untimed one is still
// bounded, by the channel's io_timeout.
FaxDeadline ResultDeadline(int flags, int32_t channel) {
    return FaxDeadlineIn((flags & kWaitTimed) ? WaitLimit(flags) : g_channels[channel].io_timeout);
}

// The bytes of the line: up to its line feed, or up to the last byte that
// arrived when the line was cut short (the buffer was zeroed first).
std::string_view LineIn(const char *buffer, size_t size) {
    const void *feed = memchr(buffer, '\n', size);
    if (feed) return {buffer, static_cast<size_t>(static_cast<const char *>(feed) - buffer) + 1};
    size_t length = size;
    while (length > 0 && buffer[length - 1] == '\0') --length;
    return {buffer, length};
}

// Reads lines until one holds a result word or the deadline passes; lines
// without a word do not extend the wait, and no line read outlasts it.
int WaitResultUntil(int flags, const FaxDeadline &deadline, int32_t channel) {
    for (;;) {
        if (FaxTimeLeft(deadline) == 0) return kResultTimeout;
        // The last byte stays 0: a line longer than the buffer comes in pieces.
        char buffer[kResultLineSize] = {};
        const uint16_t code = FaxReadRawLineUntil(channel, deadline, buffer, sizeof buffer - 1);
        // A line cut short is searched as far as it came.
        const std::string_view line = LineIn(buffer, sizeof buffer - 1);
        for (size_t index = 0; index < kResultWords.size(); ++index) {
            const size_t at = line.find(kResultWords[index]);
            if (at == std::string_view::npos) continue;
            const std::string_view rest = line.substr(at);
            const int length = static_cast<int>(rest.size());
            if ((flags & kWaitTraceError) && static_cast<int>(index) == kResultError)
                FaxTrace("WaitResult: %.*s\n", length, rest.data());
            FaxTrace("WaitResult: got %.*s", length, rest.data());
            return static_cast<int>(index);
        }
        // The deadline passed, the port failed or the call must end: no
        // later line can come in time.
        if (code != TOLLAN_OK) return kResultTimeout;
    }
}

// One 30 s wait for the word, however many other words come before it.
void WaitForWord(int word, int32_t channel) {
    constexpr int kFlags = kWaitTimed | kWait30s;
    const FaxDeadline deadline = ResultDeadline(kFlags, channel);
    for (;;) {
        const int result = WaitResultUntil(kFlags, deadline, channel);
        if (result == word || result == kResultTimeout) return;
    }
}

}  // namespace

int WaitResult(int flags, int32_t channel) { return WaitResultUntil(flags, ResultDeadline(flags, channel), channel); }

uint16_t CheckDoCount(int attempt) {
    if (attempt < kMaxAttempts) return TOLLAN_OK;
    FaxTrace("timeout in CheckDoCount");
    return TOLLAN_E_TIMEOUT;
}

// Writes the command once; the attempts are waits for its result.
uint16_t SendCmd(const char *command, int32_t channel) {
    FaxTrace("SendCmd: %s", command);
    uint16_t code = FaxSendString(command, channel);
    if (code != TOLLAN_OK) return code;
    int flags = kWaitTimed;
    for (int attempt = 0;; ++attempt) {
        code = CheckDoCount(attempt);
        if (code != TOLLAN_OK) {
            FaxTrace("SendCmd:: check do count fail %d", code);
            return code;
        }
        const int result = WaitResult(flags, channel);
        switch (result) {
        case kResultOk:
        case kResultConnect:
        case kResultError:
            FaxTrace("SendCmd: cmd=%s val=%d", command, result);
            return TOLLAN_OK;
        case kResultNoCarrier:
        case kResultVoice:
        case kResultNoAnswer:
        case kResultFhng:
            FaxTrace("SendCmd: err val=%d", result);
            return TOLLAN_E_ERROR;
        case kResultTimeout: {
            FaxTrace("SendCmd: timed out: %s\n", command);
            // An aborted call or one past its time says so, not "time-out".
            const uint16_t ended = FaxCallCheck(channel);
            if (ended != TOLLAN_OK) return ended;
            flags |= kWait30s;
            break;
        }
        default:  // RING, BUSY, the "+F" reports and the rest: keep waiting
            break;
        }
    }
}

void WaitOk(int32_t channel) { WaitForWord(kResultOk, channel); }

void WaitConnect(int32_t channel) { WaitForWord(kResultConnect, channel); }

const char *TranslateCmd(int bit_rate, bool training, Direction direction, int32_t channel) {
    FaxTrace("TranslateCmd: bitrate = %d %d", bit_rate, g_channels[channel].bit_rate);
    if (bit_rate < 0 || bit_rate >= static_cast<int>(kModulations.size())) return nullptr;
    const Modulation &m = kModulations[static_cast<size_t>(bit_rate)];
    if (direction == Direction::kReceive) return training ? m.receive_training : m.receive_page;
    return training ? m.transmit_training : m.transmit_page;
}
