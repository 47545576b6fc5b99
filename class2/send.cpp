// SendFax: a whole fax through a class 2 or 2.0 modem. The modem runs the
// T.30 procedure; the library sets it up, dials, feeds it page after page and
// judges each page's post-page status.
#include <cstdio>
#include <cstring>
#include <system_error>
#include <filesystem>

#include "class2/class2.h"
#include "engine/channel.h"
#include "engine/call_limits.h"
#include "engine/trace.h"
#include "image/page_header.h"
#include "modem/modem_io.h"
#include "modem/response.h"

namespace {

constexpr uint32_t kSetUpTimeoutMs = 6000;
// From the dial on the modem may be silent for the length of a T.30 phase.
constexpr uint32_t kCallTimeoutMs = 80000;
constexpr size_t kDialCommandSize = 128;
constexpr size_t kDialCommandOverhead = sizeof "ATDT\r\n";  // terminator included

// Post-page status numbers of "+FPTS:" / "+FPS:".
enum : int32_t {
    kStatusNone = -1,  // set before each page: nothing reported
    kStatusMcf = 1,    // page good
    kStatusRtn = 2,    // page bad
    kStatusRtp = 3,    // page good, retrain
    kStatusPip = 4,    // procedure interrupt, page good
    kStatusPin = 5,    // procedure interrupt, page bad
};

// Hang-up codes of a dial that met a busy line or no answer.
constexpr int32_t kHangupNoLoopCurrent = 3;
constexpr int32_t kHangupRingbackNoAnswer = 4;
constexpr int32_t kHangupBusy = -2;

bool IsEmpty(const char *text) { return !text || !*text; }

bool FileExists(const char *path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

bool HangupPending(const FaxChannel &c) { return c.hangup_seen && c.hangup_code != 0; }

// Refuses what the call could not carry out, before anything reaches the
// modem: numbers the dial command cannot hold or that would end it (a line
// end starts another command) and base names whose page file names do not
// fit. 0, 118.
uint16_t CheckNames(const char *number, const char *base_name, int16_t pages) {
    if (strnlen(number, kDialCommandSize) > kDialCommandSize - kDialCommandOverhead) return TOLLAN_E_ARGUMENT;
    if (!FaxCommandTextSafe(number, false)) return TOLLAN_E_ARGUMENT;
    if (!FaxPageNamesFit(base_name, pages, ".g3")) return TOLLAN_E_ARGUMENT;
    return TOLLAN_OK;
}

// Class, identity and capabilities, and for class 2.0 negotiation reports and
// flow control. 0, 111, 120, 122, 142.
uint16_t SetUpModem(int32_t channel) {
    FaxChannel &c = g_channels[channel];
    FaxSelectClass(channel, &c.modem_class);
    if (c.modem_class != TOLLAN_CLASS_2 && c.modem_class != TOLLAN_CLASS_2_0) {
        FaxTrace("SendFax: モデムクラス設定エラー %d", c.modem_class);
        return TOLLAN_E_CLASS;
    }
    if (FaxSetLocalID(channel, c.local_id) != TOLLAN_OK) {
        FaxTrace("SendFax: ファックスステーションID設定失敗");
        return TOLLAN_E_NO_RESPONSE;
    }
    if (FaxSetFDCC(channel, FaxVerticalResolution(c.resolution), 0) != TOLLAN_OK) return TOLLAN_E_CAPABILITIES;
    if (c.modem_class == TOLLAN_CLASS_2_0) {
        if (FaxModemCommand("AT+FNR=1,1,1,0\r\n", channel) != TOLLAN_OK) return TOLLAN_E_CLASS;
        if (FaxSetFlowControl(channel, 1) != TOLLAN_OK) {
            FaxTrace("SendFax: フロー制御設定失敗");
            return TOLLAN_E_FLOW_CONTROL;
        }
    }
    return TOLLAN_OK;
}

// Dials and waits until the modem has the call and the remote's
// capabilities. 0, 123, or the code of the failed wait.
uint16_t Dial(int32_t channel, const char *number) {
    FaxChannel &c = g_channels[channel];
    char command[kDialCommandSize];
    snprintf(command, sizeof command, c.line_type == 0 ? "ATDT%s\r\n" : "ATDP%s\r\n", number);
    uint16_t rc = FaxCommandWait(command, "OK", channel);
    if (rc == TOLLAN_OK) return TOLLAN_OK;
    FaxTrace("SendFax: ダイアル失敗 phone=\"%s\", +FHS:%d ", number, c.hangup_code);
    if (c.hangup_code == kHangupNoLoopCurrent || c.hangup_code == kHangupRingbackNoAnswer ||
        c.hangup_code == kHangupBusy) {
        FaxTrace("SendFax: ダイアル失敗 (BUSY/NO ANSWER)");
        return TOLLAN_E_DIAL;
    }
    FaxTrace("SendFax: ダイアル %s 失敗 (ERROR / NO CARRIER)", number);
    return rc;
}

// The page file of page (1-based): "<stem>_p<page>.g3", or for a one-page fax
// the base name itself when that does not exist. 0, 141.
uint16_t FindPageFile(char (&path)[kFaxPathSize], const char *base_name, int page, int16_t pages) {
    FaxPageFileName(path, base_name, page, ".g3");  // fits: checked on entry
    if (FileExists(path)) return TOLLAN_OK;
    if (pages == 1 && FileExists(base_name)) {
        snprintf(path, sizeof path, "%s", base_name);
        return TOLLAN_OK;
    }
    return TOLLAN_E_NO_PAGE_FILE;
}

// Traces a post-page status that lets the call go on.
void TracePageStatus(int32_t status) {
    switch (status) {
    case kStatusMcf:
        break;
    case kStatusRtp:
        FaxTrace("SendFax: ページ良好でも retrain 要求");
        break;
    case kStatusPip:
    case kStatusPin:
        FaxTrace("SendFax: procedure interrupt 要求");
        break;
    case kStatusNone:
        FaxTrace("SendFax: 内部ロジックエラー +FTPS:-1");
        break;
    default:
        FaxTrace("SendFax: ステータス不良 +FPTS:%d", status);
        break;
    }
}

// A page failed or the remote hung up with an error: tell the modem to leave
// fax mode and report the hang-up. 136.
uint16_t FailSending(int32_t channel, const char *page_file) {
    const FaxChannel &c = g_channels[channel];
    FaxTrace("SendFax: 送信失敗 %s: +FHS:%2d", page_file, c.hangup_code);
    FaxTrace("SendFax: 送信失敗 +FHNG:%2d (%s)", c.hangup_code, FaxHangupText(c.hangup_code));
    FaxResetClass(channel);
    return TOLLAN_E_HANGUP;
}

// The call from set-up to the last page; the arguments are checked.
uint16_t RunSending(int32_t channel, const char *number, const char *base_name, int16_t page_count) {
    FaxChannel &c = g_channels[channel];
    c.io_timeout = kSetUpTimeoutMs;
    c.pages_sent = 0;
    // The identity of an earlier call's remote must not pass for this one's.
    c.remote_id[0] = '\0';
    uint16_t rc = SetUpModem(channel);
    if (rc != TOLLAN_OK) return rc;

    c.io_timeout = kCallTimeoutMs;
    c.hangup_code = 0;
    rc = Dial(channel, number);
    if (rc != TOLLAN_OK) return rc;

    char page_file[kFaxPathSize] = "";
    for (int16_t i = 0; i < page_count;) {
        rc = FindPageFile(page_file, base_name, i + 1, page_count);
        if (rc != TOLLAN_OK) return rc;
        FaxTrace("SendFax: 送信中 '%s'...", page_file);
        c.page_status = kStatusNone;
        rc = FaxSendPage(page_file, i + 1 == page_count ? kPpmEop : kPpmMps, channel);
        if (rc != TOLLAN_OK) return FailSending(channel, page_file);
        if (c.page_status == kStatusRtn) {
            FaxTrace("SendFax: WARNING ページ不良 (RTN), 無視します");
            return TOLLAN_E_PAGE_REJECTED;
        }
        TracePageStatus(c.page_status);
        if (HangupPending(c)) return FailSending(channel, page_file);
        ++i;
        c.pages_sent = i;
    }
    // A hang-up with code 0 after the last page is the normal end of the call.
    if (HangupPending(c)) return FailSending(channel, page_file);
    return TOLLAN_OK;
}

}  // namespace

extern "C" uint16_t SendFax(int32_t channel, const char *number, const char *base_name, int pages) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    FaxChannel &c = g_channels[channel];
    if (!c.in_use) return TOLLAN_E_NOT_OPEN;
    FaxBeginCall(channel);
    const int16_t page_count = Low16(pages);
    if (page_count <= 0 || IsEmpty(number) || IsEmpty(base_name)) return TOLLAN_E_ARGUMENT;
    uint16_t rc = CheckNames(number, base_name, page_count);
    if (rc != TOLLAN_OK) return rc;
    FaxBeginPageHeader(channel, number, page_count);
    rc = RunSending(channel, number, base_name, page_count);
    // A step that failed because the host aborted the call or its time ran
    // out reports that, whatever code the step itself gives.
    if (rc == TOLLAN_OK || FaxCallEnded(rc)) return rc;
    const uint16_t limit = FaxCallCheck(channel);
    return limit != TOLLAN_OK ? limit : rc;
}
