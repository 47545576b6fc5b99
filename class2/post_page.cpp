// The end of a page's data and its post-page message. Class 2 ends the data
// with DLE ETX and names the message in "AT+FET="; class 2.0 ends the data
// with one DLE-prefixed character that is the message.
#include <cstring>

#include "class2/class2.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/modem_io.h"
#include "modem/response.h"
#include "platform/platform.h"

namespace {

struct PostPageMessage {
    const char *class2_command;
    uint8_t class20_character;
};

// Indexed by FaxPpmType.
constexpr PostPageMessage kPostPageMessages[] = {
    {"AT+FET=0\r\n", ','},  // MPS
    {"AT+FET=1\r\n", ';'},  // EOM
    {"AT+FET=2\r\n", '.'},  // EOP
};

const PostPageMessage *FindPostPageMessage(int ppm_type) {
    if (ppm_type < 0 || ppm_type >= static_cast<int>(sizeof kPostPageMessages / sizeof kPostPageMessages[0]))
        return nullptr;
    return &kPostPageMessages[ppm_type];
}

// Class 2.0 page status from the modem's final answer to the message.
constexpr int32_t kStatusAccepted = 1;
constexpr int32_t kStatusRejected = 2;

// Reads a decimal number after a report's colon; keeps value when none. A
// number past the 32-bit range is held at its end.
void ReadReportNumber(const char *line, int32_t *value) {
    const char *colon = strchr(line, ':');
    int32_t number = 0;
    if (colon && FaxScanNumbers(colon + 1, &number, 1) == 1) *value = number;
}

uint16_t SendPostPageClass20(int32_t channel, int ppm_type) {
    FaxChannel &c = g_channels[channel];
    const PostPageMessage *message = FindPostPageMessage(ppm_type);
    if (!message) {
        FaxTrace("FaxSendPPM: ppm type %d not implemented", ppm_type);
        return TOLLAN_E_FAILED;
    }
    FaxTrace("FaxSendPPM: DLE 送信 %x", message->class20_character);
    const uint8_t bytes[2] = {kDle, message->class20_character};
    ssize_t written = FaxPortWrite(channel, bytes, sizeof bytes);
    if (written < 0) {
        RecordLastError();
        FaxTrace("FaxSendPPM: WriteFile失敗 PPM %d", g_last_error);
        return TOLLAN_E_WRITE;
    }
    if (written < static_cast<ssize_t>(sizeof bytes)) {
        FaxTrace("FaxSendPPM: WriteFile失敗 PPM for 2 bytes");
        return TOLLAN_E_WRITE;
    }
    // Hang-up reports and other lines do not extend the wait for the answer.
    const FaxDeadline deadline = FaxDeadlineIn(c.io_timeout);
    for (;;) {
        uint16_t code = TOLLAN_OK;
        const char *line = FaxReadLineUntil(channel, deadline, &code);
        if (!line) {
            FaxTrace("FaxSendPPM: PPM送信後にタイムアウト");
            return FaxCallEnded(code) ? code : static_cast<uint16_t>(TOLLAN_E_TIMEOUT);
        }
        FaxTrace("FaxSendPPM: getline: %s", line);
        if (strncmp(line, "+FHS:", 5) == 0) {
            c.hangup_seen = 1;
            ReadReportNumber(line, &c.hangup_code);
            FaxTrace("FaxSendPPM: 接続ハングアップ: %s (%s)", line, FaxHangupText(c.hangup_code));
            continue;
        }
        bool ok = strcmp(line, "OK") == 0;
        if (ok || strcmp(line, "ERROR") == 0) {
            FaxTrace("FaxSendPPM: got response: '%s'", line);
            // "ERROR" is the remote's rejection of the page, not a failure here.
            c.page_status = ok ? kStatusAccepted : kStatusRejected;
            return TOLLAN_OK;
        }
    }
}

uint16_t SendPostPageClass2(int32_t channel, int ppm_type) {
    static constexpr uint8_t kEndOfData[2] = {kDle, kEtx};
    FaxTrace("FaxSendPPM: sending DLE ETX...");
    // A lost DLE ETX shows as the modem's silence in the wait below.
    FaxPortWrite(channel, kEndOfData, sizeof kEndOfData);
    uint16_t rc = FaxWaitFor(channel, "OK");
    if (rc != TOLLAN_OK) return rc;
    const PostPageMessage *message = FindPostPageMessage(ppm_type);
    if (!message) {
        FaxTrace("FaxSendPPM: ppm type %d not implemented", ppm_type);
        return TOLLAN_E_FAILED;
    }
    // The answer carries the page's status ("+FPTS:") and, after EOP, the hang-up.
    return FaxCommandWait(message->class2_command, "OK", channel);
}

}  // namespace

uint16_t FaxSendPPM(int32_t channel, int ppm_type) {
    if (g_channels[channel].modem_class == TOLLAN_CLASS_2_0) return SendPostPageClass20(channel, ppm_type);
    return SendPostPageClass2(channel, ppm_type);
}
