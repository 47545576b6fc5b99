// The class 2 and 2.0 response interpreter: waits for a chosen response while
// recording the modem's "+F" reports in the channel record.
#pragma once

#include <cstdint>

// Reads lines until one begins with expected. 0, 136, 108, 114, 115, 124, 174, 999.
uint16_t FaxWaitFor(int32_t channel, const char *expected);
// Sends command, sleeps command_interval, then FaxWaitFor(channel, expected).
uint16_t FaxCommandWait(const char *command, const char *expected, int32_t channel);
// The text of a class 2 hang-up code, or "unknown +FHNG error code".
const char *FaxHangupText(int32_t code);
