// What a fault matrix cell asserts of the call report: the phase reached,
// the outcome class and the cause, with short names for the cells' tables;
// and the class 1 reception cells' results, for the table the fault matrix
// writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/tollan.h"

namespace matrix {

constexpr int32_t kDial = TOLLAN_PHASE_DIAL, kNegotiation = TOLLAN_PHASE_NEGOTIATION, kTraining = TOLLAN_PHASE_TRAINING,
                  kPage = TOLLAN_PHASE_PAGE, kPostPage = TOLLAN_PHASE_POST_PAGE, kRelease = TOLLAN_PHASE_RELEASE;
constexpr int32_t kSuccess = TOLLAN_OUTCOME_SUCCESS, kPartial = TOLLAN_OUTCOME_PARTIAL, kRetry = TOLLAN_OUTCOME_RETRY,
                  kFailed = TOLLAN_OUTCOME_FAILED;
constexpr int32_t kModem = TOLLAN_CAUSE_MODEM, kNoAnswer = TOLLAN_CAUSE_NO_ANSWER, kNoDis = TOLLAN_CAUSE_NO_DIS,
                  kNoFax = TOLLAN_CAUSE_NO_FAX, kNoResponse = TOLLAN_CAUSE_NO_RESPONSE, kNone = TOLLAN_CAUSE_NONE,
                  kOther = TOLLAN_CAUSE_OTHER, kRemoteHangup = TOLLAN_CAUSE_REMOTE_HANGUP,
                  kUnconfirmed = TOLLAN_CAUSE_UNCONFIRMED, kRefused = TOLLAN_CAUSE_REFUSED,
                  kRepeats = TOLLAN_CAUSE_REPEATS;

// What the call report must say of a cell's call.
struct Reported {
    int32_t phase;
    int32_t outcome;
    int32_t cause;
};

inline bool operator==(const Reported &a, const Reported &b) {
    return a.phase == b.phase && a.outcome == b.outcome && a.cause == b.cause;
}

// The channel's report of its last call.
inline Reported ReportOf(int32_t channel) {
    TollanCallReport report{};
    report.size = sizeof report;
    if (GetCallReport(channel, &report) != TOLLAN_OK) return {-1, -1, -1};
    return {report.phase, report.outcome, report.cause};
}

// "page data, retry: the line is busy" for the tables and failure messages.
inline std::string ReportText(const Reported &r) {
    static const char *const kPhases[] = {"set-up", "dial/answer", "negotiation", "training",
                                          "page data", "post-page", "release"};
    static const char *const kOutcomes[] = {"none", "success", "partial", "retry", "failed", "local", "aborted"};
    if (r.phase < 0 || r.phase > 6 || r.outcome < 0 || r.outcome > 6) return "?";
    return std::string(kPhases[r.phase]) + ", " + kOutcomes[r.outcome] + ": " + GetCauseText(r.cause);
}

// One class 1 reception cell as it ran.
struct ReceiveClass1Result {
    std::string phase;
    std::string faults;  // the modem's, then the calling station's
    uint16_t expected, got;
    int pages_expected, pages_got;
    Reported report;     // as the call reported it
    bool files_kept, reopened;
    uint32_t clock_seconds;  // the call by the library's clock
    bool passed;
};

// The results in the order the cells ran; the fault matrix's table writer
// reads them once every cell has run.
inline std::vector<ReceiveClass1Result> &ReceiveClass1Results() {
    static std::vector<ReceiveClass1Result> results;
    return results;
}

}  // namespace matrix
