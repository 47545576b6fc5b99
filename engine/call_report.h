// The report of each channel's last call and the host's progress callback.
// The four calls open the report when they start and close it with their
// return code; the sessions' hooks in between say which phase the call
// reached and what each page did. Closing derives the outcome and the cause
// in one place, so every call reports the same way.
#pragma once

#include <cstdint>

#include "tollan.h"

// Starts the channel's report for a new call of the kind (TOLLAN_CALL_*).
void FaxReportBegin(int32_t channel, int32_t call_kind, int16_t pages_total);
// Ends the report with the call's return code and the host's counter of
// pages received (receiving calls; nullptr sending), read only once the call
// took the line; derives outcome and cause. Returns code.
uint16_t FaxReportEnd(int32_t channel, uint16_t code, const int16_t *pages_received);

// The call entered a phase (TOLLAN_PHASE_*); the host hears of each change.
// A phase entered to end a failed call leaves the one it failed in.
void FaxReportPhase(int32_t channel, int32_t phase, uint16_t code_so_far = TOLLAN_OK);
// The rate (bit/s) and resolution (lines per inch, 0 unknown) negotiated.
void FaxReportSession(int32_t channel, int32_t rate, int32_t resolution);
// The line coding (TOLLAN_COMPRESS_*) and error correction (TOLLAN_ECM_*)
// the session chose; a class 2 or 2.0 modem's session report says them itself.
void FaxReportLineMode(int32_t channel, int32_t coding, int32_t ecm);
// A training again at a lower or the same rate, before the page is confirmed.
void FaxReportRetrain(int32_t channel);
// Page data of page number page starts; total_bytes is 0 when not known.
void FaxReportPageStart(int32_t channel, int32_t page, uint32_t total_bytes);
// Bytes of the page's data so far; the host hears at least every 64 KiB or
// second. Costs one test when no callback is set.
void FaxReportPageBytes(int32_t channel, uint32_t bytes_done);
// The page's data ended after bytes (lines and bad lines 0 when not counted).
void FaxReportPageEnd(int32_t channel, uint32_t bytes, uint32_t lines, uint32_t bad_lines);
// The counted lines of the page whose data ended last (a report after it).
void FaxReportPageLines(int32_t channel, uint32_t lines, uint32_t bad_lines);
// The remote rejected the page sent, or this end rejected the page received.
void FaxReportPageRejected(int32_t channel);

// The cause table's retry flag for a cause; false for unknown causes.
bool FaxCauseWorthRetrying(int32_t cause);
// The cause table's flag for a fault on this side (files, port, arguments).
bool FaxCauseIsLocal(int32_t cause);
// Outcome and cause from the return code, the phase reached, the hang-up
// code, the page counts and the call's direction: the one place that decides
// them.
struct CallVerdict {
    int32_t outcome;
    int32_t cause;
};
CallVerdict FaxJudgeCall(uint16_t code, int32_t phase, int32_t hangup_code, int32_t pages_done, bool all_pages,
                         bool receiving);
// The phase a hang-up code names, TOLLAN_PHASE_NONE when it names none.
int32_t FaxHangupPhase(int32_t hangup_code);
