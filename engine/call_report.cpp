#include "engine/call_report.h"

#include <array>
#include <cstring>
#include <ctime>

#include "engine/channel.h"
#include "modem/dialect.h"
#include "modem/response.h"
#include "platform/platform.h"

namespace {

// The first version's record: hosts built against it keep working when the
// record grows.
constexpr uint32_t kFirstReportSize = sizeof(TollanCallReport);

// How often the host hears of page data at least.
constexpr uint32_t kProgressBytes = 64 * 1024;
constexpr uint32_t kProgressMs = 1000;

// One channel's report while its call runs and after it returned.
struct ReportState {
    TollanCallReport report;
    uint32_t started;          // tick count at the call's start
    uint32_t page_started;     // tick count at the running page's start
    int32_t page;              // page number being sent or received, 0 before the first
    int32_t pages_done;        // pages whose data ended in this call
    uint32_t bytes_total;      // the running page's size when sending, else 0
    uint32_t bytes_done;
    uint32_t progress_bytes;   // bytes_done when the host last heard
    uint32_t progress_tick;    // tick count when the host last heard
    int32_t retrains;          // trainings since the last page's data
    bool phase_frozen;         // a failure fixed the phase reached
};

struct ProgressHook {
    TollanProgressFn fn;
    void *user;
};

ReportState g_reports[kMaxChannels];
// Apart from the reports: a hook stays until the host changes it.
ProgressHook g_progress[kMaxChannels];

bool Receiving(int32_t call_kind) {
    return call_kind == TOLLAN_CALL_RECEIVE || call_kind == TOLLAN_CALL_RECEIVE_CLASS1;
}

// Tells the host where the call is. Only called with a hook set.
void Notify(int32_t channel, const ReportState &s) {
    const ProgressHook &hook = g_progress[channel];
    TollanProgress p{};
    p.size = sizeof p;
    p.phase = s.report.phase;
    p.page = s.page;
    p.pages = Receiving(s.report.call) ? s.pages_done : s.report.pages_total;
    p.bytes_done = s.bytes_done;
    p.bytes_total = s.bytes_total;
    p.rate = s.report.rate;
    p.remote_id = g_channels[channel].reports.remote_id;
    hook.fn(channel, &p, hook.user);
}

void NotifyNow(int32_t channel, ReportState &s) {
    if (!g_progress[channel].fn) return;
    s.progress_bytes = s.bytes_done;
    s.progress_tick = PlatTickCount();
    Notify(channel, s);
}

// What a return code says of the cause before the phase and the hang-up
// code refine it.
struct CodeCause {
    uint16_t code;
    int32_t cause;
};

constexpr std::array<CodeCause, 44> kCodeCauses = {{
    {TOLLAN_OK, TOLLAN_CAUSE_NONE},
    {TOLLAN_E_NOT_OPEN, TOLLAN_CAUSE_ARGUMENT},
    {TOLLAN_E_CHANNEL, TOLLAN_CAUSE_ARGUMENT},
    {TOLLAN_E_ARGUMENT, TOLLAN_CAUSE_ARGUMENT},
    {TOLLAN_E_PURGE, TOLLAN_CAUSE_PORT},
    {TOLLAN_E_CLOSE, TOLLAN_CAUSE_PORT},
    {TOLLAN_E_WRITE, TOLLAN_CAUSE_PORT},
    {TOLLAN_E_READ, TOLLAN_CAUSE_NO_RESPONSE},
    {TOLLAN_E_PORT_OPEN, TOLLAN_CAUSE_PORT},
    {TOLLAN_E_PORT_LOCKED, TOLLAN_CAUSE_PORT},
    {TOLLAN_E_INIT, TOLLAN_CAUSE_SETUP},
    {TOLLAN_E_RECEIVE_REFUSED, TOLLAN_CAUSE_SETUP},
    {TOLLAN_E_CLASS, TOLLAN_CAUSE_SETUP},
    {TOLLAN_E_NO_RESPONSE, TOLLAN_CAUSE_SETUP},
    {TOLLAN_E_LOCAL_ID, TOLLAN_CAUSE_SETUP},
    {TOLLAN_E_CAPABILITIES, TOLLAN_CAUSE_SETUP},
    {TOLLAN_E_BIT_ORDER, TOLLAN_CAUSE_SETUP},
    {TOLLAN_E_FLOW_CONTROL, TOLLAN_CAUSE_SETUP},
    {TOLLAN_E_RECEIVE_FAILED, TOLLAN_CAUSE_NO_FAX},
    {TOLLAN_E_BUSY, TOLLAN_CAUSE_BUSY},
    {TOLLAN_E_DELAYED, TOLLAN_CAUSE_BUSY},
    {TOLLAN_E_DIAL, TOLLAN_CAUSE_NO_ANSWER},
    {TOLLAN_E_ERROR, TOLLAN_CAUSE_MODEM},
    {TOLLAN_E_NO_CONNECT, TOLLAN_CAUSE_MODEM},
    {TOLLAN_E_FAILED, TOLLAN_CAUSE_MODEM},
    {TOLLAN_E_TIMEOUT, TOLLAN_CAUSE_NO_RESPONSE},
    {TOLLAN_E_NO_CARRIER, TOLLAN_CAUSE_REMOTE_HANGUP},
    {TOLLAN_E_FIRST_FRAME, TOLLAN_CAUSE_NO_DIS},
    {TOLLAN_E_PAGE_CREATE, TOLLAN_CAUSE_FILE},
    {TOLLAN_E_FILE_NAME, TOLLAN_CAUSE_FILE},
    {TOLLAN_E_OPEN_FILE, TOLLAN_CAUSE_FILE},
    {TOLLAN_E_NO_PAGE_FILE, TOLLAN_CAUSE_FILE},
    {TOLLAN_E_PAGE_EXISTS, TOLLAN_CAUSE_FILE},
    {TOLLAN_E_DISK, TOLLAN_CAUSE_DISK},
    {TOLLAN_E_PAGE_REJECTED, TOLLAN_CAUSE_PAGE_REJECTED},
    {TOLLAN_E_PAGE_TOO_LARGE, TOLLAN_CAUSE_LIMIT},
    {TOLLAN_E_TOO_MANY_PAGES, TOLLAN_CAUSE_LIMIT},
    {TOLLAN_E_RETRIES, TOLLAN_CAUSE_REPEATS},
    {TOLLAN_E_UNCONFIRMED, TOLLAN_CAUSE_UNCONFIRMED},
    {TOLLAN_E_CALL_TIME, TOLLAN_CAUSE_CALL_TIME},
    {TOLLAN_E_ABORTED, TOLLAN_CAUSE_ABORTED},
    {TOLLAN_E_HANGUP, TOLLAN_CAUSE_REMOTE_HANGUP},
    {TOLLAN_E_NO_MEMORY, TOLLAN_CAUSE_OTHER},
    {TOLLAN_E_THREAD, TOLLAN_CAUSE_OTHER},
}};

// Hang-up codes, by range, as the modem or the class 1 procedure reports
// them: the cause, and the phase the code names (a class 2 modem knows it
// better than the host, which has handed the page's data over long before).
struct HangupCause {
    int32_t first;
    int32_t last;
    int32_t cause;
    int32_t phase;  // TOLLAN_PHASE_NONE: the code names none
};

constexpr std::array<HangupCause, 21> kHangupCauses = {{
    {-4, -4, TOLLAN_CAUSE_MODEM, TOLLAN_PHASE_NONE},
    {-3, -3, TOLLAN_CAUSE_REMOTE_HANGUP, TOLLAN_PHASE_NONE},
    {-2, -2, TOLLAN_CAUSE_BUSY, TOLLAN_PHASE_DIAL},
    {1, 1, TOLLAN_CAUSE_NO_FAX, TOLLAN_PHASE_DIAL},
    {2, 2, TOLLAN_CAUSE_ABORTED, TOLLAN_PHASE_NONE},
    {3, 3, TOLLAN_CAUSE_NO_DIALTONE, TOLLAN_PHASE_DIAL},
    {4, 4, TOLLAN_CAUSE_NO_ANSWER, TOLLAN_PHASE_DIAL},
    {5, 5, TOLLAN_CAUSE_NO_FAX, TOLLAN_PHASE_DIAL},
    {10, 11, TOLLAN_CAUSE_NO_DIS, TOLLAN_PHASE_NEGOTIATION},
    {20, 20, TOLLAN_CAUSE_OTHER, TOLLAN_PHASE_NEGOTIATION},
    {21, 21, TOLLAN_CAUSE_REFUSED, TOLLAN_PHASE_NEGOTIATION},
    {22, 25, TOLLAN_CAUSE_NO_RESPONSE, TOLLAN_PHASE_NEGOTIATION},
    {26, 26, TOLLAN_CAUSE_REFUSED, TOLLAN_PHASE_NEGOTIATION},
    {27, 27, TOLLAN_CAUSE_TRAINING, TOLLAN_PHASE_TRAINING},
    {28, 28, TOLLAN_CAUSE_REPEATS, TOLLAN_PHASE_NEGOTIATION},
    {40, 49, TOLLAN_CAUSE_MODEM, TOLLAN_PHASE_PAGE},
    {50, 58, TOLLAN_CAUSE_UNCONFIRMED, TOLLAN_PHASE_POST_PAGE},
    {70, 72, TOLLAN_CAUSE_NO_RESPONSE, TOLLAN_PHASE_NEGOTIATION},
    {73, 74, TOLLAN_CAUSE_NO_RESPONSE, TOLLAN_PHASE_POST_PAGE},
    {90, 94, TOLLAN_CAUSE_NO_RESPONSE, TOLLAN_PHASE_PAGE},
    {100, 103, TOLLAN_CAUSE_UNCONFIRMED, TOLLAN_PHASE_POST_PAGE},
}};

int32_t CauseOfCode(uint16_t code) {
    for (const CodeCause &entry : kCodeCauses)
        if (entry.code == code) return entry.cause;
    return TOLLAN_CAUSE_OTHER;
}

const HangupCause *FindHangup(int32_t hangup_code) {
    for (const HangupCause &entry : kHangupCauses)
        if (hangup_code >= entry.first && hangup_code <= entry.last) return &entry;
    return nullptr;
}

int32_t CauseOfHangup(int32_t hangup_code) {
    const HangupCause *entry = FindHangup(hangup_code);
    return entry ? entry->cause : TOLLAN_CAUSE_OTHER;
}

// The cause a failure's code gives, made precise by where the call was, by
// the modem's hang-up code and by the call's direction.
int32_t FailureCause(uint16_t code, int32_t phase, int32_t hangup_code, bool receiving) {
    if (code == TOLLAN_E_HANGUP && hangup_code != 0) return CauseOfHangup(hangup_code);
    const int32_t cause = CauseOfCode(code);
    const bool line_up = phase >= TOLLAN_PHASE_NEGOTIATION;
    switch (cause) {
    case TOLLAN_CAUSE_REPEATS:
        return phase == TOLLAN_PHASE_TRAINING ? TOLLAN_CAUSE_TRAINING : cause;
    case TOLLAN_CAUSE_NO_RESPONSE:
        // T1 without the called station's DIS; a called station that sent
        // DIS and heard no DCS met a caller that stopped answering.
        return !receiving && phase == TOLLAN_PHASE_NEGOTIATION && hangup_code == 11 ? TOLLAN_CAUSE_NO_DIS : cause;
    case TOLLAN_CAUSE_REMOTE_HANGUP:
        // NO CARRIER to the dial: the call never came up.
        return line_up ? cause : TOLLAN_CAUSE_NO_ANSWER;
    case TOLLAN_CAUSE_PORT:
        return line_up ? TOLLAN_CAUSE_MODEM : cause;
    case TOLLAN_CAUSE_MODEM:
        if (phase == TOLLAN_PHASE_NONE) return TOLLAN_CAUSE_SETUP;
        // A called station that met a DCS asking for what its DIS did not
        // offer ends the call itself (hang-up 70): the caller refused the
        // offer, the modem did nothing wrong.
        return receiving && phase == TOLLAN_PHASE_NEGOTIATION && hangup_code == 70 ? TOLLAN_CAUSE_REFUSED : cause;
    default:
        return cause;
    }
}

int32_t OutcomeOf(int32_t cause, int32_t pages_done) {
    if (cause == TOLLAN_CAUSE_ABORTED) return TOLLAN_OUTCOME_ABORTED;
    if (pages_done > 0) return TOLLAN_OUTCOME_PARTIAL;
    if (FaxCauseIsLocal(cause)) return TOLLAN_OUTCOME_LOCAL;
    return FaxCauseWorthRetrying(cause) ? TOLLAN_OUTCOME_RETRY : TOLLAN_OUTCOME_FAILED;
}

// Rate and resolution a class 2 modem reported ("+FDCS:"), when the
// sessions did not say them.
// The class 2 data format (DF: 0 MH, 1 MR, 3 MMR) as a TOLLAN_COMPRESS_* value.
int32_t CompressionOfDataFormat(int16_t df) {
    if (df == 3) return TOLLAN_COMPRESS_MMR;
    return df == 1 ? TOLLAN_COMPRESS_MR : TOLLAN_COMPRESS_MH;
}

void TakeModemSession(TollanCallReport &r, const FaxChannel &c) {
    const FaxReports &reports = c.reports;
    if (reports.dcs_report[0] == '\0') return;
    const int16_t rate_code = reports.session_params[1];
    if (r.rate == 0 && rate_code >= 0 && rate_code <= 5) r.rate = 2400 * (rate_code + 1);
    if (r.resolution == 0) r.resolution = reports.session_params[0] ? 196 : 98;
    if (r.coding == 0) {
        r.coding = CompressionOfDataFormat(reports.session_params[kSessionDataFormat]);
        r.ecm = FaxEcmModeOf(c, reports.session_params[kSessionErrorCorrection]);
    }
}

}  // namespace

CallVerdict FaxJudgeCall(uint16_t code, int32_t phase, int32_t hangup_code, int32_t pages_done, bool all_pages,
                         bool receiving) {
    if (code == TOLLAN_OK) {
        if (all_pages) return {TOLLAN_OUTCOME_SUCCESS, TOLLAN_CAUSE_NONE};
        // The remote ended the call before every page went or any came.
        return {OutcomeOf(TOLLAN_CAUSE_REMOTE_HANGUP, pages_done), TOLLAN_CAUSE_REMOTE_HANGUP};
    }
    const int32_t cause = FailureCause(code, phase, hangup_code, receiving);
    // Every page confirmed, then a failure (hanging up): the fax went; the
    // cause says what failed after it.
    if (all_pages && pages_done > 0 && cause != TOLLAN_CAUSE_ABORTED) return {TOLLAN_OUTCOME_SUCCESS, cause};
    return {OutcomeOf(cause, pages_done), cause};
}

int32_t FaxHangupPhase(int32_t hangup_code) {
    const HangupCause *entry = FindHangup(hangup_code);
    return entry ? entry->phase : TOLLAN_PHASE_NONE;
}

void FaxReportBegin(int32_t channel, int32_t call_kind, int16_t pages_total) {
    if (!ChannelInRange(channel)) return;
    ReportState &s = g_reports[channel];
    s = ReportState{};
    s.report.size = sizeof s.report;
    s.report.call = call_kind;
    s.report.pages_total = Receiving(call_kind) ? 0 : pages_total;
    s.report.start = static_cast<int64_t>(time(nullptr));
    s.started = PlatTickCount();
}

uint16_t FaxReportEnd(int32_t channel, uint16_t code, const int16_t *pages_received) {
    if (!ChannelInRange(channel)) return code;
    ReportState &s = g_reports[channel];
    TollanCallReport &r = s.report;
    const FaxChannel &c = g_channels[channel];
    const bool receiving = Receiving(r.call);
    r.code = code;
    r.hangup_code = c.reports.hangup_code;
    // An argument refused before the call began leaves the last call's
    // results in the channel; the report says only that nothing happened.
    if (r.phase != TOLLAN_PHASE_NONE || code == TOLLAN_OK) {
        memcpy(r.remote_id, c.reports.remote_id, sizeof r.remote_id - 1);
        r.remote_id[sizeof r.remote_id - 1] = '\0';
    }
    if (receiving) {
        // A call refused before it took the line may not have set the counter.
        r.pages_received = pages_received && r.phase != TOLLAN_PHASE_NONE ? *pages_received : 0;
        r.pages_confirmed = r.pages_received;
    } else {
        r.pages_sent = s.pages_done;
        r.pages_confirmed = c.pages_sent;
        if (code == TOLLAN_E_PAGE_REJECTED && r.pages_rejected == 0) r.pages_rejected = 1;
    }
    if (r.phase >= TOLLAN_PHASE_NEGOTIATION) TakeModemSession(r, c);
    if (r.phase >= TOLLAN_PHASE_PAGE && r.coding == 0) r.coding = TOLLAN_COMPRESS_MH;
    // A modem's hang-up code names the phase it failed in.
    if (code == TOLLAN_E_HANGUP && FaxHangupPhase(r.hangup_code) != TOLLAN_PHASE_NONE)
        r.phase = FaxHangupPhase(r.hangup_code);
    const int32_t pages_done = receiving ? r.pages_received : r.pages_confirmed;
    // A receiver cannot know whether more pages were to come unless the call ended well.
    const bool all_pages = receiving ? code == TOLLAN_OK && pages_done > 0 : pages_done >= r.pages_total;
    const CallVerdict verdict = FaxJudgeCall(code, r.phase, r.hangup_code, pages_done, all_pages, receiving);
    r.outcome = verdict.outcome;
    r.cause = verdict.cause;
    r.duration_ms = PlatElapsed(s.started);
    return code;
}

void FaxReportPhase(int32_t channel, int32_t phase, uint16_t code_so_far) {
    ReportState &s = g_reports[channel];
    if (s.phase_frozen || s.report.phase == phase) return;
    // A failed call is ended in the release phase; the report keeps the
    // phase the failure came in.
    if (code_so_far != TOLLAN_OK) {
        s.phase_frozen = true;
        return;
    }
    s.report.phase = phase;
    NotifyNow(channel, s);
}

void FaxReportSession(int32_t channel, int32_t rate, int32_t resolution) {
    TollanCallReport &r = g_reports[channel].report;
    if (rate > 0) r.rate = rate;
    if (resolution > 0) r.resolution = resolution;
}

void FaxReportLineMode(int32_t channel, int32_t coding, int32_t ecm) {
    TollanCallReport &r = g_reports[channel].report;
    r.coding = coding;
    r.ecm = ecm;
}

void FaxReportRetrain(int32_t channel) { ++g_reports[channel].retrains; }

void FaxReportPageStart(int32_t channel, int32_t page, uint32_t total_bytes) {
    ReportState &s = g_reports[channel];
    if (s.report.rate == 0) TakeModemSession(s.report, g_channels[channel]);
    s.page = page;
    s.bytes_total = total_bytes;
    s.bytes_done = 0;
    s.page_started = PlatTickCount();
    s.report.phase = TOLLAN_PHASE_PAGE;
    NotifyNow(channel, s);
}

void FaxReportPageBytes(int32_t channel, uint32_t bytes_done) {
    if (!g_progress[channel].fn) return;
    ReportState &s = g_reports[channel];
    s.bytes_done = bytes_done;
    if (bytes_done - s.progress_bytes < kProgressBytes && PlatElapsed(s.progress_tick) < kProgressMs) return;
    NotifyNow(channel, s);
}

void FaxReportPageEnd(int32_t channel, uint32_t bytes, uint32_t lines, uint32_t bad_lines) {
    ReportState &s = g_reports[channel];
    s.bytes_done = bytes;
    TollanCallReport &r = s.report;
    ++s.pages_done;
    if (r.page_count < TOLLAN_REPORT_PAGES) {
        TollanPageReport &p = r.page[r.page_count++];
        p.bytes = s.bytes_done;
        p.lines = lines;
        p.bad_lines = bad_lines;
        p.rate = r.rate;
        p.coding = r.coding != 0 ? r.coding : TOLLAN_COMPRESS_MH;
        p.retrains = s.retrains;
        p.ms = PlatElapsed(s.page_started);
    }
    s.retrains = 0;
    r.phase = TOLLAN_PHASE_POST_PAGE;
    NotifyNow(channel, s);
}

void FaxReportPageLines(int32_t channel, uint32_t lines, uint32_t bad_lines) {
    TollanCallReport &r = g_reports[channel].report;
    if (r.page_count == 0 || g_reports[channel].pages_done > TOLLAN_REPORT_PAGES) return;
    r.page[r.page_count - 1].lines = lines;
    r.page[r.page_count - 1].bad_lines = bad_lines;
}

void FaxReportPageRejected(int32_t channel) { ++g_reports[channel].report.pages_rejected; }

extern "C" {

uint16_t GetCallReport(int32_t channel, TollanCallReport *report) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    if (!report || report->size < kFirstReportSize) return TOLLAN_E_ARGUMENT;
    // A newer host's larger record is filled as far as this library knows it.
    const uint32_t size = report->size < sizeof(TollanCallReport) ? report->size : sizeof(TollanCallReport);
    memcpy(report, &g_reports[channel].report, size);
    report->size = size;
    return TOLLAN_OK;
}

uint16_t SetProgressCallback(int32_t channel, TollanProgressFn fn, void *user) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    g_progress[channel] = {fn, user};
    return TOLLAN_OK;
}

}  // extern "C"
