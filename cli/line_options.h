// Error correction, codings and the retry ladder of the send and receive
// commands: the options, the channel settings they make, and the ladder's
// steps after a call that failed while its pages went.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "cli/common.h"

struct LineChoice {
    bool no_ecm = false;          // --no-ecm
    std::string coding = "mmr";   // --coding: the best coding offered
    bool no_retry_ladder = false;  // --no-retry-ladder (send)
};

// --no-ecm and --coding; with ladder, --no-retry-ladder too.
void AddLineOptions(CLI::App *command, LineChoice &choice, bool ladder);
// Sets the channel's error correction (on with 256-octet frames unless
// switched off) and the codings up to --coding; fails the command when the
// library refuses them.
void ApplyLineChoice(int32_t channel, bool ecm, const std::string &coding);

// True when a call failed once its pages had begun: a page rejected or not
// confirmed, no CONNECT for a page, a hang-up in the transmitting page or
// post-page phases (class 2 codes 40 to 69), or pages already sent. A call
// stopped by the user, or one that ran out of time, is not.
bool FailedInPagePhase(uint16_t rc, const CallOutcome &call);

// Tries after the first one: without error correction, then at a lower rate.
constexpr int kMaxLadderRetries = 2;

// One attempt of the ladder: error correction on or off, the highest rate.
struct LadderStep {
    bool ecm;
    int rate;      // bit/s
    int retries;   // attempts before this one
};
// The step after a failure in the page phase: without error correction when
// it was on, else at the next lower rate; at most kMaxLadderRetries in all.
// False when none is left.
bool NextLadderStep(LadderStep *step);
// What the step after `before` changed: "without error correction" or
// "at 9600 bit/s", for the message.
std::string LadderStepText(const LadderStep &before, const LadderStep &after);
