// The class 2 and 2.0 response interpreter: waits for a chosen response while
// recording the modem's "+F" reports in the channel record.
#pragma once

#include <cstdint>

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
// The text of a class 2 hang-up code, or "unknown +FHNG error code".
const char *FaxHangupText(int32_t code);
