// The end of a page's data and its post-page message. Class 2 ends the data
// with DLE ETX and names the message in "AT+FET="; class 2.0 ends the data
// with one DLE-prefixed character that is the message.
#include <cstring>

#include "class2/class2.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/dialect.h"
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
            const int32_t code = FaxRecordHangup(c.reports, line);
            FaxTrace("FaxSendPPM: 接続ハングアップ: %s (%s)", line, FaxHangupText(code));
            continue;
        }
        bool ok = strcmp(line, "OK") == 0;
        if (ok || strcmp(line, "ERROR") == 0) {
            FaxTrace("FaxSendPPM: got response: '%s'", line);
            // "ERROR" is the remote's rejection of the page, not a failure here.
            FaxRecordPostPageAnswer(c.reports, ok);
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

uint16_t FaxSendPPM(int32_t channel, int ppm_type, int32_t *page_status) {
    const FaxChannel &c = g_channels[channel];
    const uint16_t rc = FaxDialectOf(c).post_page_by_dle ? SendPostPageClass20(channel, ppm_type)
                                                          : SendPostPageClass2(channel, ppm_type);
    // The page's status is what the modem reported in answer to the message.
    if (page_status) *page_status = c.reports.page_status;
    return rc;
}
