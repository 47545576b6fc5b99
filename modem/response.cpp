// The class 2 and 2.0 response interpreter. FaxWaitFor reads lines until one
// begins with what the caller expects, storing on the way what the modem's
// "+F" reports say (remote identity, session parameters, page status, hang-up)
// in the channel's reports record (FaxReports), the only writer of it, and
// ends early on the final failure words.
#include "modem/response.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/call_setup.h"
#include "modem/dialect.h"
#include "modem/session_words.h"
#include "modem/identity.h"
#include "modem/modem_io.h"
#include "platform/platform.h"

namespace {

// remote_id and dcs_report hold this many characters and a terminator.
constexpr size_t kReportTextMax = sizeof(FaxReports::remote_id) - 1;
static_assert(sizeof(FaxReports::dcs_report) - 1 == kReportTextMax, "both report fields hold 128 characters");

constexpr int32_t kNoLineCounts = 9999;

// What a line means for the wait.
enum class Verdict {
    kCompare,  // compare it with the expected text
    kEndWait,  // stop waiting now
    kAbort,    // a final failure word
    kDelayed,  // the modem refuses to dial for now
};

bool BeginsWith(const char *line, const char *prefix) { return strncmp(line, prefix, strlen(prefix)) == 0; }

template <size_t N>
bool BeginsWithAny(const char *line, const char *const (&prefixes)[N]) {
    for (const char *p : prefixes)
        if (BeginsWith(line, p)) return true;
    return false;
}

template <size_t N>
bool IsAnyOf(const char *line, const char *const (&words)[N]) {
    for (const char *w : words)
        if (strcmp(line, w) == 0) return true;
    return false;
}

// The text after the first colon, one space after it skipped; "" without a colon.
const char *ArgumentOf(const char *line) {
    const char *colon = strchr(line, ':');
    if (!colon) return "";
    return colon[1] == ' ' ? colon + 2 : colon + 1;
}

// Copies text into a report field, shortened to what the field holds.
void CopyReportText(char (&field)[kReportTextMax + 1], const char *text) {
    size_t n = strnlen(text, kReportTextMax);
    memcpy(field, text, n);
    field[n] = '\0';
}

}  // namespace

void FaxReportsBeginCall(FaxReports &reports) {
    reports.remote_id[0] = '\0';
    // The coding and error correction of an earlier call must not decide how
    // this call's pages are coded when its modem reports none.
    reports.session_params[kSessionDataFormat] = 0;
    reports.session_params[kSessionErrorCorrection] = 0;
}

void FaxReportsBeginDial(FaxReports &reports) { reports.hangup_code = kHangupNormal; }

void FaxReportsBeginPage(FaxReports &reports) {
    reports.hangup_seen = 0;
    reports.page_status = kStatusNone;
}

void FaxReportsBeginReception(FaxReports &reports) {
    reports.hangup_seen = 0;
    reports.poll_requested = 0;
}

void FaxReportsClearHangup(FaxReports &reports) {
    reports.hangup_seen = 0;
    reports.hangup_code = kHangupNormal;
}

void FaxReportsCallFailed(FaxReports &reports) { reports.hangup_code = kHangupCallFailed; }

int32_t FaxRecordHangup(FaxReports &reports, const char *line) {
    reports.hangup_seen = 1;
    int32_t code = 0;
    if (FaxScanNumbers(ArgumentOf(line), &code, 1) == 1) reports.hangup_code = code;
    return reports.hangup_code;
}

void FaxRecordPostPageAnswer(FaxReports &reports, bool accepted) {
    reports.page_status = accepted ? kStatusMcf : kStatusRtn;
}

int FaxScanNumbers(const char *text, int32_t *out, int max) {
    int count = 0;
    const char *p = text;
    while (count < max) {
        if (count > 0) {
            if (*p != ',') break;
            ++p;
        }
        char *end = nullptr;
        long value = strtol(p, &end, 10);
        if (end == p) break;
        if (value > INT32_MAX) value = INT32_MAX;
        if (value < INT32_MIN) value = INT32_MIN;
        out[count++] = static_cast<int32_t>(value);
        p = end;
    }
    return count;
}

namespace {

void RecordSessionParams(FaxReports &r, const char *line) {
    CopyReportText(r.dcs_report, line);
    int32_t values[8];
    int read = FaxScanNumbers(ArgumentOf(line), values, 8);
    for (int i = 0; i < read; ++i) r.session_params[i] = Low16(values[i]);
    if (read < 8) {
        FaxTrace("FaxWaitFor: cannot evaluate +FCS-Code!");
        r.session_params[0] = 0;
    }
}

void RecordHangup(FaxReports &r, const char *line) {
    FaxTrace("FaxWaitFor: %s", FaxHangupText(FaxRecordHangup(r, line)));
}

void RecordPageStatus(FaxReports &r, const char *line) {
    FaxTrace("FaxWaitFor: page status: %s", line);
    const char *argument = ArgumentOf(line);
    int32_t status = 0;
    if (FaxScanNumbers(argument, &status, 1) == 1) r.page_status = status;
    r.lines_received = kNoLineCounts;
    r.lines_bad = 0;
    r.lines_bad_run = 0;
    r.bytes_lost = 0;
    r.line_counts_valid = 0;
    // Counts follow only a one-digit status: "1,2200,3,0,12".
    if (argument[0] == '\0' || argument[1] != ',') return;
    int32_t counts[4];
    int read = FaxScanNumbers(argument + 2, counts, 4);
    int32_t *fields[4] = {&r.lines_received, &r.lines_bad, &r.lines_bad_run, &r.bytes_lost};
    for (int i = 0; i < read; ++i) *fields[i] = counts[i];
    if (read >= 2) {
        FaxTrace("FaxWaitFor: %d lines received, %d lines bad, %d bytes lost", r.lines_received, r.lines_bad,
                 r.bytes_lost);
        r.line_counts_valid = 1;
    }
}

// Sorts one line and stores what it reports. expected may become "OK".
Verdict InterpretLine(FaxReports &r, const char *line, const char *&expected) {
    static const char *const kIdentity[] = {"+FTSI:", "+FCSI:", "+FCIG:", "+FTI:", "+FCI:", "+FPI:"};
    static const char *const kSessionParams[] = {"+FDCS:", "+FCS:"};
    static const char *const kHangup[] = {"+FHNG:", "+FHS:"};
    static const char *const kPageStatus[] = {"+FPTS:", "+FPS:"};
    static const char *const kPollOffer[] = {"+FPOLL", "+FPO"};
    static const char *const kPollRequest[] = {"+FDTC:", "+FTC:"};
    static const char *const kFailureWords[] = {"ERROR", "NO CARRIER", "BUSY", "NO DIALTONE", "NO DIAL TONE"};

    if (BeginsWithAny(line, kIdentity)) {
        FaxNormaliseIdentity(ArgumentOf(line), kReportTextMax, r.remote_id, sizeof r.remote_id);
    } else if (BeginsWithAny(line, kSessionParams)) {
        RecordSessionParams(r, line);
    } else if (BeginsWithAny(line, kHangup)) {
        RecordHangup(r, line);
        // Waiting for "OK", the final "OK" still follows; anything else ends here.
        if (strcmp(expected, "OK") != 0) return Verdict::kEndWait;
    } else if (BeginsWithAny(line, kPageStatus)) {
        RecordPageStatus(r, line);
    } else if (IsAnyOf(line, kPollOffer)) {
        FaxTrace("FaxWaitFor: got +FPO -> will do polling");
    } else if (BeginsWithAny(line, kPollRequest)) {
        FaxTrace("FaxWaitFor: got +FTC -> will send polled document");
        r.poll_requested = 1;
        FaxTrace("FaxWaitFor: ('OK')");
        expected = "OK";
    } else if (IsAnyOf(line, kFailureWords)) {
        return Verdict::kAbort;
    } else if (strncasecmp(line, "DELAYED", 7) == 0) {
        return Verdict::kDelayed;
    }
    return BeginsWith(line, expected) ? Verdict::kEndWait : Verdict::kCompare;
}

uint16_t EndWait(const FaxReports &r, const char *line) {
    FaxTrace("FaxWaitFor: exiting main loop, %s %d %d", line, r.hangup_seen, r.hangup_code);
    return (r.hangup_seen && r.hangup_code != 0) ? TOLLAN_E_HANGUP : TOLLAN_OK;
}

uint16_t Abort(FaxChannel &c, const char *line) {
    // A class 2.0 modem answers ERROR to a refused command, not at the end of a call.
    if (FaxDialectOf(c).error_refuses_command && strcmp(line, "ERROR") == 0) {
        FaxTrace("FaxWaitFor: ERROR response");
        return TOLLAN_E_FAILED;
    }
    FaxTrace("FaxWaitFor: ABORTING: line='%s'", line);
    c.reports.hangup_seen = 1;
    c.reports.hangup_code = 0;
    if (strcmp(line, "BUSY") == 0) return TOLLAN_E_BUSY;
    if (strcmp(line, "ERROR") == 0) return TOLLAN_E_ERROR;
    if (strcmp(line, "NO CARRIER") == 0) return TOLLAN_E_NO_CARRIER;
    return TOLLAN_E_FAILED;  // NO DIALTONE, NO DIAL TONE
}

}  // namespace

uint16_t FaxWaitFor(int32_t channel, const char *expected) {
    FaxChannel &c = g_channels[channel];
    // Report lines that keep coming do not extend the wait: it ends
    // io_timeout after it began, as one silent pause would.
    const FaxDeadline deadline = FaxDeadlineIn(c.io_timeout);
    for (;;) {
        uint16_t code = TOLLAN_OK;
        const char *line = FaxReadLineUntil(channel, deadline, &code);
        if (!line) return FaxCallEnded(code) ? code : static_cast<uint16_t>(TOLLAN_E_READ);
        FaxTrace("FaxWaitFor: got line %s", line);
        if (strncmp(line, "+FCO", 4) == 0) FaxNoteConnected(channel);  // "+FCON" in class 2
        FaxTraceReportWords(line);
        switch (InterpretLine(c.reports, line, expected)) {
        case Verdict::kCompare:
            break;
        case Verdict::kEndWait:
            return EndWait(c.reports, line);
        case Verdict::kAbort:
            return Abort(c, line);
        case Verdict::kDelayed:
            return TOLLAN_E_DELAYED;
        }
    }
}

uint16_t FaxCommandWait(const char *command, const char *expected, int32_t channel) {
    uint16_t code = FaxSendString(command, channel);
    if (code != TOLLAN_OK) return code;
    FaxCommandPause(g_channels[channel]);
    return FaxWaitFor(channel, expected);
}
