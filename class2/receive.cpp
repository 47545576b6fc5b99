// The answering side: WaitForRing looks at what the modem sent on its own,
// ReceiveFax answers and receives the pages of a class 2 or 2.0 call.
#include <cstring>

#include "class2/class2.h"
#include "engine/channel.h"
#include "engine/call_limits.h"
#include "engine/call_report.h"
#include "engine/trace.h"
#include "modem/call_end.h"
#include "modem/dialect.h"
#include "modem/link.h"
#include "modem/modem_io.h"
#include "modem/response.h"
#include "platform/platform.h"

namespace {

// Text a poll gathers: what an earlier poll left after its last line end,
// then what has arrived, NULs left out. The last byte stays a terminator.
constexpr size_t kRingTextSize = sizeof(FaxChannel::ring_text);
// Bytes one poll takes at most: a poll never blocks, even when the modem
// sends without end what makes no line (NULs).
constexpr size_t kRingPollBytes = 4 * kRingTextSize;

struct RingText {
    int32_t ring_class;
    const char *text;
};

// Searched in this order; the first text found wins.
constexpr RingText kRingTexts[] = {
    {1, "RING"},  {2, "BUSY"},        {3, "NO CARRIER"},
    {4, "ERROR"}, {5, "NO DIALTONE"}, {5, "NO DIAL TONE"},
};

int32_t ClassifyRing(const char *text) {
    for (const RingText &ring : kRingTexts)
        if (strstr(text, ring.text)) return ring.ring_class;
    return 0;
}

constexpr uint32_t kAfterConnectMs = 1000;
constexpr size_t kRawLineSize = 256;

// Page quality limits, applied when the modem's page report counted lines.
constexpr int32_t kMinimumLines = 50;
constexpr int32_t kBadLinesAllowance = 30;  // plus a tenth of the lines
constexpr int32_t kMaximumBadLines = 500;
static_assert(kMaxPagesPerCall <= INT16_MAX, "page numbers and the host's counter are 16-bit");

bool PageIsBad(const FaxReports &page) {
    return page.lines_received < kMinimumLines || page.lines_bad > page.lines_received / 10 + kBadLinesAllowance ||
           page.lines_bad > kMaximumBadLines;
}

// Reads the modem's lines after "ATA" until the fax connection. 0, 112
// (ERROR, a hang-up report or NO CARRIER), or the read's code; 117 once
// lines that are none of these have gone on for the answer's time-out;
// the call's own limit codes.
uint16_t AwaitFaxConnection(int32_t channel) {
    const uint32_t start = PlatTickCount();
    char line[kRawLineSize];
    for (;;) {
        uint16_t rc = FaxCallCheck(channel);
        if (rc != TOLLAN_OK) return rc;
        if (PlatElapsed(start) >= kCallTimeoutMs) {
            FaxTrace("ReceiveFax: no fax connection within %u ms of the answer", kCallTimeoutMs);
            return TOLLAN_E_TIMEOUT;
        }
        rc = FaxReadRawLine(channel, line, sizeof line);
        if (rc != TOLLAN_OK) return rc;
        FaxTrace("ReceiveFax: got line %s", line);
        if (strstr(line, "+FCO")) {  // class 2.0 "+FCO", class 2 "+FCON"
            FaxNoteConnected(channel);
            return TOLLAN_OK;
        }
        if (strstr(line, "ERROR")) {
            FaxTrace("ReveiveFax: 接続エラー");
            return TOLLAN_E_RECEIVE_FAILED;
        }
        // A modem that lost the call before the connection may say only NO
        // CARRIER; nothing follows it, so waiting on would end in a time-out.
        if (strstr(line, "+FHNG:") || strstr(line, "+FHS:") || strstr(line, "NO CARRIER")) {
            FaxTrace("ReceiveFax: hang up detected");
            return TOLLAN_E_RECEIVE_FAILED;
        }
    }
}

// The command that asks the modem to answer the page just received with RTN.
const char *RejectCommand(const FaxChannel &c) { return FaxDialectOf(c).reject_page; }

// Asks the modem to answer the page with RTN when it is bad by the line
// counts or by the modem's own status, both from the page's own report.
void JudgePage(int32_t channel) {
    const FaxChannel &c = g_channels[channel];
    const FaxReports &page = c.reports;
    if (page.line_counts_valid && PageIsBad(page)) {
        FaxTrace("ReceiveFax: ページ不良 retail 要求(MPS)");
    } else if (page.page_status == kStatusRtn) {
        FaxTrace("ReceiveFax: +FTPS 2 detected.");
    } else {
        return;
    }
    FaxReportPageRejected(channel);
    FaxCommandWait(RejectCommand(c), "OK", channel);
}

// A page the disk did not take whole is not received: once its report is
// in, the modem is told to answer it as bad, and the call ends. 153, with
// the disk's errno kept in last_error.
uint16_t RejectUnwrittenPage(int32_t channel) {
    FaxChannel &c = g_channels[channel];
    const int32_t disk_error = g_last_error;
    if (FaxWaitFor(channel, "OK") == TOLLAN_OK) FaxCommandWait(RejectCommand(c), "OK", channel);
    FaxReportsCallFailed(c.reports);
    PortClear(channel);
    g_last_error = disk_error;
    return TOLLAN_E_DISK;
}

// One page: DC2 to start the data, the data, the modem's report, the page
// information, the judgement, and "AT+FDR" for what comes next. 0 or a
// failure code.
uint16_t ReceiveOnePage(int32_t channel, int16_t page, const char *base_name, int16_t *pages) {
    FaxChannel &c = g_channels[channel];
    const uint8_t dc2 = kDc2;
    ssize_t written = FaxPortWrite(channel, &dc2, 1);
    if (written != 1) {
        if (written < 0) RecordLastError();
        FaxTrace("ReceiveFax: DC2送信エラー %d", g_last_error);
        PortClear(channel);
        return TOLLAN_E_WRITE;
    }
    uint16_t rc = FaxGetPageData(channel, page, base_name);
    if (rc == TOLLAN_E_DISK) return RejectUnwrittenPage(channel);
    if (rc != TOLLAN_OK) {
        FaxReportsCallFailed(c.reports);
        PortClear(channel);
        return rc;
    }
    FaxTrace("ReceiveFax: ページ %d 受信", page);
    *pages = page;

    rc = FaxWaitFor(channel, "OK");
    if (rc != TOLLAN_OK) {
        FaxTrace("ReceiveFax: レスポンスエラー %d", rc);
        PortClear(channel);
        return rc;
    }
    if (c.reports.line_counts_valid)
        FaxReportPageLines(channel, static_cast<uint32_t>(c.reports.lines_received),
                           static_cast<uint32_t>(c.reports.lines_bad));
    // Written once the page's own report is in, so that it describes this page.
    if (g_settings.fax_info_option) FaxWriteInfo(c, page, base_name);
    JudgePage(channel);
    rc = FaxSendString("AT+FDR\r\n", channel);
    if (rc == TOLLAN_OK) rc = FaxWaitFor(channel, "CONNECT");
    // Failures after the data phase began discard what is queued both ways.
    if (rc != TOLLAN_OK) PortClear(channel);
    return rc;
}

// Before the call is answered: the first page's files can be made, and none
// of them exists already (an earlier fax under the same name, or a planted
// link). 0, 116, 154.
uint16_t CheckInbox(const char *base_name) {
    uint16_t rc = FaxProbePageFile(base_name, 1, ".g3");
    if (rc == TOLLAN_OK && g_settings.fax_info_option) rc = FaxProbePageFile(base_name, 1, ".ffi");
    if (rc != TOLLAN_OK) FaxTrace("ReceiveFax: the call is not answered: page files of %s cannot be made", base_name);
    return rc;
}

// Length of the gathered text up to and including its last line end (CR or
// LF); the whole text once it fills the buffer without one; else 0.
size_t CompleteLines(const char *text, size_t length) {
    for (size_t i = length; i > 0; --i)
        if (text[i - 1] == '\r' || text[i - 1] == '\n') return i;
    return length + 1 >= kRingTextSize ? length : 0;
}

// Appends the bytes that arrived to the channel's ring text, NULs left out.
void AppendRingBytes(FaxChannel &c, const char *bytes, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (bytes[i] != '\0') c.ring_text[c.ring_length++] = bytes[i];
    c.ring_text[c.ring_length] = '\0';
}

// Classifies the complete lines gathered so far and keeps the rest for the
// next poll. False while no line is complete.
bool JudgeRingLines(FaxChannel &c, int32_t *ring) {
    size_t length = static_cast<size_t>(c.ring_length);
    size_t complete = CompleteLines(c.ring_text, length);
    if (complete == 0) return false;
    char lines[kRingTextSize];
    memcpy(lines, c.ring_text, complete);
    lines[complete] = '\0';
    *ring = ClassifyRing(lines);
    memmove(c.ring_text, c.ring_text + complete, length - complete);
    c.ring_length = static_cast<int32_t>(length - complete);
    c.ring_text[c.ring_length] = '\0';
    return true;
}

}  // namespace

uint16_t SendString(int32_t channel, const char *text) {
    if (FaxPortWrite(channel, text, strlen(text)) < 0) {
        RecordLastError();
        FaxTrace("SendString: ポート出力エラー %d (%s)", g_last_error, text);
        return TOLLAN_E_WRITE;
    }
    return TOLLAN_OK;
}

extern "C" uint16_t WaitForRing(int32_t channel, int32_t *ring) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    FaxChannel &c = g_channels[channel];
    if (!c.in_use) return TOLLAN_E_NOT_OPEN;
    if (!ring) return TOLLAN_E_ARGUMENT;
    FaxTraceChannel(channel);  // the ring text it traces is this channel's
    *ring = 0;
    if (c.ring_length < 0 || static_cast<size_t>(c.ring_length) >= kRingTextSize) c.ring_length = 0;
    for (size_t taken = 0; taken < kRingPollBytes;) {
        // Returns at once with what has arrived. A line that is not complete
        // yet waits in the record for the next poll.
        uint8_t bytes[kRingTextSize];
        size_t room = kRingTextSize - 1 - static_cast<size_t>(c.ring_length);
        ssize_t got = FaxLinkTake(c, bytes, room);
        // Nothing yet: the port is looked at once more without waiting, so a
        // hung-up port, readable yet empty, fails here as in every read.
        if (got == 0) {
            const int ready = FaxLinkWait(c, 0);
            if (ready == 0) return TOLLAN_OK;
            if (ready > 0) continue;
            got = -1;
        }
        if (got < 0) {
            RecordLastError();
            return TOLLAN_E_READ;
        }
        taken += static_cast<size_t>(got);
        AppendRingBytes(c, reinterpret_cast<const char *>(bytes), static_cast<size_t>(got));
        FaxTrace("WaitForRing: 受信文字列 %s", c.ring_text);
        if (JudgeRingLines(c, ring)) return TOLLAN_OK;
    }
    return TOLLAN_OK;
}

namespace {

// The call from the answer to the last page; the arguments are checked.
uint16_t RunReceiving(int32_t channel, const char *base_name, int16_t *pages) {
    FaxChannel &c = g_channels[channel];
    // The call takes the line: what WaitForRing had begun to gather is over.
    c.ring_length = 0;
    uint16_t rc = CheckInbox(base_name);
    if (rc != TOLLAN_OK) return rc;

    // The identity of an earlier call's remote must not pass for this
    // caller's, which a modem may not report at all.
    FaxReportsBeginCall(c.reports);
    rc = FaxSetUpReception(channel);
    if (rc != TOLLAN_OK) return rc;
    c.io_timeout = kCallTimeoutMs;
    FaxReportPhase(channel, TOLLAN_PHASE_DIAL);
    rc = SendString(channel, "ATA\r\n");
    if (rc != TOLLAN_OK) return rc;
    rc = AwaitFaxConnection(channel);
    if (rc != TOLLAN_OK) return rc;
    FaxReportPhase(channel, TOLLAN_PHASE_NEGOTIATION);
    // The remote's identity and the negotiated parameters come before "OK".
    rc = FaxWaitFor(channel, "OK");
    if (rc != TOLLAN_OK) {
        FaxTrace("ReceiveFax: レスポンス待ちエラー rc=%d", rc);
        return rc;
    }
    // A negative wait is no pause.
    if (g_settings.fdr_wait > 0) FaxCallPause(channel, static_cast<uint32_t>(g_settings.fdr_wait));
    rc = FaxCommandWait("AT+FDR\r\n", "CONNECT", channel);
    if (rc != TOLLAN_OK) {
        FaxTrace("ReceiveFax: AT+FDR エラー %d", rc);
        PortClear(channel);
        return rc;
    }
    FaxCallPause(channel, kAfterConnectMs);
    FaxReportsBeginReception(c.reports);
    // A remote that wants to poll us ends the reception; one that hangs up
    // with code 0 instead of sending a page ends it too.
    const int32_t page_limit = PageCountLimit(c);
    for (int32_t page = 1; !c.reports.poll_requested; ++page) {
        if (page > page_limit) {
            // The pages so far were answered; the next one is not taken.
            FaxTrace("ReceiveFax: the call passed its limit of %d pages", page_limit);
            PortClear(channel);
            return TOLLAN_E_TOO_MANY_PAGES;
        }
        rc = ReceiveOnePage(channel, static_cast<int16_t>(page), base_name, pages);
        if (rc != TOLLAN_OK) return rc;
        if (c.reports.hangup_seen) break;
    }
    FaxReportPhase(channel, TOLLAN_PHASE_RELEASE);
    PortClear(channel);
    c.io_timeout = kSetUpTimeoutMs;
    return TOLLAN_OK;
}

// The checks, the call and its ending.
uint16_t ReceiveFaxCall(int32_t channel, const char *base_name, int16_t *pages) {
    const uint16_t refused = FaxCheckReceiveArguments(channel, base_name, pages);
    if (refused != TOLLAN_OK) return refused;
    *pages = 0;
    const uint16_t rc = RunReceiving(channel, base_name, pages);
    // Aborted or out of time: the pages counted stay, the modem is told to
    // end the session (AT+FK(S) once connected) and hangs up.
    return FaxEndCall(channel, FaxClass2Ending(channel), FaxCallOutcome(channel, rc));
}

}  // namespace

extern "C" uint16_t ReceiveFax(int32_t channel, const char *base_name, int16_t *pages) {
    FaxReportBegin(channel, TOLLAN_CALL_RECEIVE, 0);
    return FaxReportEnd(channel, ReceiveFaxCall(channel, base_name, pages), pages);
}
