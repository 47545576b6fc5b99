// A clock that moves only while everything waits. The library's threads and
// the emulated far end (tollan-sim, through SimUseClock) share one virtual
// clock; it stands still while any of them is busy or bytes are on their way
// through the pty, and when all of them wait it jumps to the earliest end of
// their waits. A call's outcome then depends on what each side does, never
// on how fast the machine runs it: a loaded machine only makes it slower.
//
//   WaitClock clock;                 // before SimCreate
//   SimUseClock(&clock.ForSim());    // the emulator runs on it too
//   ... SimFixture, calls ...
//   SimUseClock(nullptr);            // after SimDestroy
//
// The thread that makes the clock takes part (unless told otherwise): while
// it is outside a library wait the clock stands still. Threads the library
// starts take part too. Any other thread that calls the library takes part
// through a WaitClockParty for as long as its calls run: a thread that does
// not takes part only while it waits, and the clock may run on between two
// of its waits. Bytes are counted per pty.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "sim/sim.h"

class WaitClock {
public:
    // far_end_ratio: library milliseconds per millisecond of the emulator's
    // own timers (its ring interval, its T.30 waits). far_ends: emulators
    // whose loop must have started before the clock may move.
    explicit WaitClock(uint32_t far_end_ratio = 20, bool creator_takes_part = true, int far_ends = 1);
    ~WaitClock();
    WaitClock(const WaitClock &) = delete;
    WaitClock &operator=(const WaitClock &) = delete;

    const SimClockOps &ForSim() const;
    // From now on the far end's timers run at this ratio; its clock does not jump.
    void SetRatio(uint32_t far_end_ratio);

private:
    PlatformOps ops_;
    const PlatformOps *previous_;
};

// The calling thread takes part in the clock while this lives: the clock
// stands still while the thread is outside its waits.
class WaitClockParty {
public:
    WaitClockParty();
    ~WaitClockParty();
    WaitClockParty(const WaitClockParty &) = delete;
    WaitClockParty &operator=(const WaitClockParty &) = delete;
};

// The clock's parties and byte counts, for a test's message when a call hangs.
std::string WaitClockState();

// A scripted far end's operations while a WaitClock lives (its writes are
// not paced like the emulator's), else nullptr.
const SimClockOps *WaitClockFarOps();
// A far end on a thread of its own (a scripted modem's player): reserved on
// the starting thread before the thread starts, so the clock waits for it
// from then on; the thread takes the place over as it begins and leaves the
// clock when it ends.
void *WaitClockReserveFarEnd();
void WaitClockTakeOverFarEnd(void *reserved);

// The calling thread waits outside the library while this lives (a test
// waiting for a script to end): the clock may move meanwhile.
class WaitClockOutside {
public:
    WaitClockOutside();
    ~WaitClockOutside();
    WaitClockOutside(const WaitClockOutside &) = delete;
    WaitClockOutside &operator=(const WaitClockOutside &) = delete;
};

// The emulator runs on the clock from before it starts until it stops: make
// this after the WaitClock and before the SimFixture (members in that order).
class SimOnWaitClock {
public:
    explicit SimOnWaitClock(const WaitClock &clock) { SimUseClock(&clock.ForSim()); }
    ~SimOnWaitClock() { SimUseClock(nullptr); }
    SimOnWaitClock(const SimOnWaitClock &) = delete;
    SimOnWaitClock &operator=(const SimOnWaitClock &) = delete;
};
