// The bounds every call keeps, named once, and the per-call state that
// enforces them: the call's start and the host's request to abort it.
#pragma once

#include <cstdint>

#include "engine/channel.h"

// Received page size: no real page of one-dimensional data comes near it.
constexpr int32_t kMaxPageBytes = 32 * 1024 * 1024;
// Pages of one receiving call.
constexpr int32_t kMaxPagesPerCall = 1000;
// One sending or receiving call, start to end, by default and at most.
constexpr int32_t kDefaultCallSeconds = 4 * 60 * 60;
constexpr int32_t kMaxCallSeconds = 24 * 60 * 60;
// Class 1: tries of the training check at one rate before stepping down, as
// T.30 has it, and repeats of a command frame the station sends again.
constexpr int kTrainingTriesPerRate = 3;
constexpr int kMaxCommandRepeats = 3;
// Class 1: EOM rounds (a new procedure after a page) in one call.
constexpr int kMaxEomRounds = 100;
// Received page and page information files, unless the host chose otherwise.
constexpr int32_t kDefaultPageFileMode = 0600;

// The channel's limits, its own where the host set them.
int32_t PageByteLimit(const FaxChannel &c);
int32_t PageCountLimit(const FaxChannel &c);
uint32_t CallTimeLimitMs(const FaxChannel &c);

// Marks the start of a call on the channel: its clock starts and an earlier
// abort request is forgotten.
void FaxBeginCall(int32_t channel);
// 0 while the call may go on; TOLLAN_E_ABORTED once the host asked it to
// stop, TOLLAN_E_CALL_TIME once it ran past its limit.
uint16_t FaxCallCheck(int32_t channel);
// Sleeps ms, in short slices, ending early once the call's limits end the
// call (the next read then says why): no pause of a call outlasts an abort
// by more than a slice.
void FaxCallPause(int32_t channel, uint32_t ms);
// True once the host asked the channel's call to stop.
bool FaxAbortRequested(int32_t channel);
// The descriptor AbortCall makes readable, for a wait on the port to end at
// once; -1 when there is none or the call is already being ended.
int FaxCallWakeFd(int32_t channel);
// The running call reached its connection (class 2: "+FCO"/"+FCON"): ending
// it early now means telling the remote. FaxBeginCall forgets it.
void FaxNoteConnected(int32_t channel);
bool FaxCallConnected(int32_t channel);

// While one lives, the channel's call is being ended after its limits ended
// it: waits stop only at their own (short) deadlines, not for the limits,
// and io_timeout is short. At its end the host's request counts as acted on.
class FaxCallWindDown {
public:
    FaxCallWindDown(int32_t channel, uint32_t io_timeout_ms);
    ~FaxCallWindDown();
    FaxCallWindDown(const FaxCallWindDown &) = delete;
    FaxCallWindDown &operator=(const FaxCallWindDown &) = delete;

private:
    int32_t channel_;
    uint32_t saved_io_timeout_;
};
