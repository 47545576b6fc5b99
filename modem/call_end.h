// Ending a call that its limits ended (the host's AbortCall, the call time):
// the modem's current step is stopped, the remote is told when the call is
// up, and the modem hangs up. The call is being abandoned, so every step
// waits only briefly for the modem's answer.
#pragma once

#include <cstdint>

// The longest one step of the ending waits for the modem's answer.
constexpr uint32_t kEndStepMs = 2000;
// A modem that says nothing this long after a step that expects no answer
// (it was idle) is taken as done with it. After page data it gets the whole
// step: it may still be sending what it took.
constexpr uint32_t kEndQuietMs = 250;

// How to end one call.
struct FaxCallEnding {
    bool connected;          // the remote is on the line and is told the call ends
    const char *disconnect;  // class 2/2.0: the command that makes the modem send DCN
    uint8_t dcn_fcf;         // class 1 (disconnect nullptr): FCF of the DCN frame the host sends
};

// The class 2/2.0 ending of the channel's call: the dialect's command, and
// connected once the modem reported the fax connection.
FaxCallEnding FaxClass2Ending(int32_t channel);
// The code a call returns: a step's failure while the call's limits had
// ended it is reported as that limit (158, 159); others unchanged.
uint16_t FaxCallOutcome(int32_t channel, uint16_t code);
// Ends the call as ending says, when code is one of the limits' codes (158,
// 159); returns code either way.
uint16_t FaxEndCall(int32_t channel, const FaxCallEnding &ending, uint16_t code);
