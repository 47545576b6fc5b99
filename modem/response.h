// The class 2 and 2.0 response interpreter: waits for a chosen response while
// recording the modem's "+F" reports in the channel record.
#pragma once

#include <cstdint>

struct FaxReports;

// Reads lines until one begins with expected, all within io_timeout of the
// start. 0, 136, 108 (no line in time), 114, 115, 124, 174, 999; 158, 159
// when the call's limits end the wait.
uint16_t FaxWaitFor(int32_t channel, const char *expected);
// Sends command, sleeps command_interval, then FaxWaitFor(channel, expected).
uint16_t FaxCommandWait(const char *command, const char *expected, int32_t channel);
// Reads up to max decimal numbers separated by single commas, as "%d,%d,..."
// would (leading blanks skipped), into out; returns how many were read.
// Out-of-range numbers are held at the ends of the 32-bit range.
int FaxScanNumbers(const char *text, int32_t *out, int max);
// ---- The reports record (FaxChannel::reports) -------------------------------
// Only the response interpreter writes it; these mark where a call, a page or
// a reception begins, and what the library itself concludes.

// Positions in FaxReports::session_params of what decides the page coding.
constexpr int kSessionResolution = 0;
constexpr int kSessionWidth = 2;
constexpr int kSessionDataFormat = 4;
constexpr int kSessionErrorCorrection = 5;

// A call begins: an earlier remote's identity, data format and error
// correction must not pass for this one's.
void FaxReportsBeginCall(FaxReports &reports);
// A dial begins: the hang-up code is this dial's.
void FaxReportsBeginDial(FaxReports &reports);
// A page begins: no hang-up seen, no page status yet.
void FaxReportsBeginPage(FaxReports &reports);
// The pages of a reception begin: no hang-up seen, no poll request yet.
void FaxReportsBeginReception(FaxReports &reports);
// A port was opened afresh: no hang-up.
void FaxReportsClearHangup(FaxReports &reports);
// The library ended a reception it could not finish.
void FaxReportsCallFailed(FaxReports &reports);
// A hang-up report outside FaxWaitFor ("+FHS:<code>"): seen, and its code
// when it has one. Returns the code now recorded.
int32_t FaxRecordHangup(FaxReports &reports, const char *line);
// Class 2.0 sending: the modem's final answer to the post-page message is the
// page's status ("OK" good, "ERROR" bad).
void FaxRecordPostPageAnswer(FaxReports &reports, bool accepted);

// The text of a class 2 hang-up code, or "unknown +FHNG error code".
const char *FaxHangupText(int32_t code);
