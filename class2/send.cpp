// SendFax: a whole fax through a class 2 or 2.0 modem. The modem runs the
// T.30 procedure; the library sets it up, dials, feeds it page after page and
// judges each page's post-page status.
#include <cstdio>
#include <cstring>

#include "class2/class2.h"
#include "engine/channel.h"
#include "engine/call_limits.h"
#include "engine/call_report.h"
#include "engine/trace.h"
#include "image/page_header.h"
#include "modem/call_end.h"
#include "modem/dialect.h"
#include "modem/modem_io.h"
#include "modem/response.h"

namespace {

bool IsEmpty(const char *text) { return !text || !*text; }

bool HangupPending(const FaxChannel &c) { return c.reports.hangup_seen && c.reports.hangup_code != 0; }

// Refuses what the call could not carry out, before anything reaches the
// modem: numbers the dial command cannot hold or that would end it (a line
// end starts another command) and base names whose page file names do not
// fit. 0, 118.
uint16_t CheckNames(const char *number, const char *base_name, int16_t pages) {
    if (strnlen(number, kDialCommandSize) > kMaxDialNumberLength) return TOLLAN_E_ARGUMENT;
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
    const FaxDialect &dialect = FaxDialectOf(c);
    if (dialect.reports && FaxModemCommand(dialect.reports, channel) != TOLLAN_OK) return TOLLAN_E_CLASS;
    if (dialect.sets_flow_control && FaxSetFlowControl(channel, 1) != TOLLAN_OK) {
        FaxTrace("SendFax: フロー制御設定失敗");
        return TOLLAN_E_FLOW_CONTROL;
    }
    return TOLLAN_OK;
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
    FaxTrace("SendFax: 送信失敗 %s: +FHS:%2d", page_file, c.reports.hangup_code);
    FaxTrace("SendFax: 送信失敗 +FHNG:%2d (%s)", c.reports.hangup_code, FaxHangupText(c.reports.hangup_code));
    FaxResetClass(channel);
    return TOLLAN_E_HANGUP;
}

// The call from set-up to the last page; the arguments are checked.
uint16_t RunSending(int32_t channel, const char *number, const char *base_name, int16_t page_count) {
    FaxChannel &c = g_channels[channel];
    c.io_timeout = kSetUpTimeoutMs;
    c.pages_sent = 0;
    // The identity of an earlier call's remote must not pass for this one's.
    FaxReportsBeginCall(c.reports);
    uint16_t rc = SetUpModem(channel);
    if (rc != TOLLAN_OK) return rc;

    c.io_timeout = kCallTimeoutMs;
    FaxReportsBeginDial(c.reports);
    FaxReportPhase(channel, TOLLAN_PHASE_DIAL);
    // Class 2 modems answer the dial with OK once they have the remote's capabilities.
    rc = FaxDial(channel, number, "OK");
    if (rc != TOLLAN_OK) return rc;
    FaxReportPhase(channel, TOLLAN_PHASE_NEGOTIATION);

    char page_file[kFaxPathSize] = "";
    for (int16_t i = 0; i < page_count;) {
        rc = FaxFindPageFile(page_file, base_name, i + 1, page_count);
        if (rc != TOLLAN_OK) return rc;
        FaxTrace("SendFax: 送信中 '%s'...", page_file);
        int32_t status = kStatusNone;
        rc = FaxSendPage(page_file, i + 1 == page_count ? kPpmEop : kPpmMps, channel, &status);
        // An abandoned call is ended by the caller, not by leaving fax mode.
        if (FaxCallEnded(FaxCallOutcome(channel, rc))) return rc;
        if (rc != TOLLAN_OK) return FailSending(channel, page_file);
        if (status == kStatusRtn) {
            FaxTrace("SendFax: WARNING ページ不良 (RTN), 無視します");
            return TOLLAN_E_PAGE_REJECTED;
        }
        TracePageStatus(status);
        if (HangupPending(c)) return FailSending(channel, page_file);
        ++i;
        c.pages_sent = i;
    }
    // A hang-up with code 0 after the last page is the normal end of the call.
    if (HangupPending(c)) return FailSending(channel, page_file);
    FaxReportPhase(channel, TOLLAN_PHASE_RELEASE);
    return TOLLAN_OK;
}

}  // namespace

static uint16_t SendFaxCall(int32_t channel, const char *number, const char *base_name, int pages) {
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
    // out reports that, whatever code the step itself gives, and the call
    // is ended properly: AT+FK(S) once connected, then the hang-up.
    return FaxEndCall(channel, FaxClass2Ending(channel), FaxCallOutcome(channel, rc));
}

extern "C" uint16_t SendFax(int32_t channel, const char *number, const char *base_name, int pages) {
    FaxReportBegin(channel, TOLLAN_CALL_SEND, Low16(pages));
    return FaxReportEnd(channel, SendFaxCall(channel, number, base_name, pages), nullptr);
}
