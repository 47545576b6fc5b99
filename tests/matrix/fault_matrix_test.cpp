// The fault matrix: every phase of every kind of session the library runs,
// against three faults of the line emulator: the call is lost, the modem goes
// silent, the modem sends junk. For each cell: the return code, the pages
// counted, the call report's phase, outcome and cause, the page files (received pages that were complete stay whole on
// disk, a page cut short keeps what arrived; a sender's files stay as they
// were), and that the channel closes, opens again and answers.
//
// With TOLLAN_FAULT_MATRIX=<file> the run writes its results as a Markdown
// table to that file (scripts/fault-matrix.sh makes docs/fault-matrix.md);
// TOLLAN_FAULT_MATRIX_TRACE=1 sends the library's trace to standard error.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "engine/tollan.h"
#include "modem/modem_io.h"
#include "support/hang_guard.h"
#include "support/wait_clock.h"
#include "support/scripted_modem.h"
#include "tests/matrix/report_cells.h"
#include "tests/sim/ecm_pages.h"
#include "tests/sim/sim_client.h"

using namespace simtest;
using namespace matrix;

namespace {

// The ECM sessions are class 1 with error correction (256-octet frames), to and from stations that use it.
enum class Session { kSend2, kSend20, kReceive2, kReceive20, kSendClass1, kOpen2, kSendClass1Ecm, kReceiveClass1Ecm };
enum class Fault { kDrop, kSilent, kGarbage };

// One fault at one phase and what the library must make of it.
struct FaultSpec {
    const char *faults;  // the emulated modem's faults (SimParseFaults words)
    uint16_t expected;
    int pages;           // sent: GetNumOfPagesSent; received: the page counter
    Reported report;
    int partial = 0;     // received: this page's file holds only the start of its data
};

// One phase of one session kind, with its three faults.
struct Row {
    Session session;
    const char *phase;
    FaultSpec drop, silent, garbage;
};

// Class 2 and 2.0 modems run T.30 themselves: their training report comes
// with the negotiation, so these sessions have no row of their own for it.
// Drops are hang-up reports with the code a modem gives in that phase, or NO
// CARRIER where that is the usual word; class 1 modems only say NO CARRIER.
// A receiving call's negotiation is lost at its training check, after the
// connection report (losing it at its very start is the answer row's case).
//
// Why the codes. Sending through class 2 or 2.0: NO CARRIER at the dial is
// 124; silence at the dial or before the dial's OK is no response line
// (108); after that every failure, a silence included, takes SendFax's
// failure exit (136), and a page counts once its post-page exchange has
// ended well. Receiving: NO CARRIER or a hang-up report before the fax
// connection is 112, no answer to ATA at all the 117 of the line read;
// silence where OK or CONNECT is due is 108, in the middle of page data the
// page watchdog's 117; a hang-up report with a non-zero code afterwards is
// 136, NO CARRIER 124. Class 1: a command that draws NO CARRIER is 115, one
// that draws nothing 117 after its three waits, a silent modem before the
// first frame 173; the call lost at the end, after the last MCF, still
// counts as sent, while a silent modem there makes ATH0 fail (115).
//
// The report. A class 2 modem's hang-up code names its phase; without one
// the phase is where the library noticed: page data goes into the port's
// buffer at once, so a line lost during it shows in the post-page exchange.
// Class 1 knows no hang-up code: a command that failed is a modem error. A
// call that failed after every page was confirmed reports success with its
// cause.
const Row kRows[] = {
    // session, phase,
    //   drop, silent, garbage: {faults, code, pages, {report's phase, outcome, cause}[, partial page]}
    {Session::kSend2, "dial",
     {"nocarrier@dial", TOLLAN_E_NO_CARRIER, 0, {kDial, kRetry, kNoAnswer}},
     {"silent@dial", TOLLAN_E_READ, 0, {kDial, kRetry, kNoResponse}},
     {"garbage@dial", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend2, "negotiation + training report",
     {"hangup@B=20", TOLLAN_E_HANGUP, 0, {kNegotiation, kFailed, kOther}},
     {"silent@B", TOLLAN_E_READ, 0, {kDial, kRetry, kNoResponse}},
     {"garbage@B", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend2, "page 1 data",
     {"hangup@C1=40", TOLLAN_E_HANGUP, 0, {kPage, kRetry, kModem}},
     {"silent@C1", TOLLAN_E_HANGUP, 0, {kPostPage, kRetry, kRemoteHangup}},
     {"garbage@C1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend2, "page 2 data",
     {"hangup@C2=40", TOLLAN_E_HANGUP, 1, {kPage, kPartial, kModem}},
     {"silent@C2", TOLLAN_E_HANGUP, 1, {kPostPage, kPartial, kRemoteHangup}},
     {"garbage@C2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend2, "post-page 1 (MPS)",
     {"hangup@D1=52", TOLLAN_E_HANGUP, 0, {kPostPage, kRetry, kUnconfirmed}},
     {"silent@D1", TOLLAN_E_HANGUP, 0, {kPostPage, kRetry, kRemoteHangup}},
     {"garbage@D1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend2, "post-page 2 (EOP)",
     {"hangup@D2=54", TOLLAN_E_HANGUP, 1, {kPostPage, kPartial, kUnconfirmed}},
     {"silent@D2", TOLLAN_E_HANGUP, 1, {kPostPage, kPartial, kRemoteHangup}},
     {"garbage@D2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend2, "hang-up",
     {"nocarrier@end", TOLLAN_E_HANGUP, 1, {kPostPage, kPartial, kRemoteHangup}},
     {"silent@end", TOLLAN_E_HANGUP, 1, {kPostPage, kPartial, kRemoteHangup}},
     {"garbage@end", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend20, "dial",
     {"nocarrier@dial", TOLLAN_E_NO_CARRIER, 0, {kDial, kRetry, kNoAnswer}},
     {"silent@dial", TOLLAN_E_READ, 0, {kDial, kRetry, kNoResponse}},
     {"garbage@dial", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend20, "negotiation + training report",
     {"hangup@B=20", TOLLAN_E_HANGUP, 0, {kNegotiation, kFailed, kOther}},
     {"silent@B", TOLLAN_E_READ, 0, {kDial, kRetry, kNoResponse}},
     {"garbage@B", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend20, "page 1 data",
     {"hangup@C1=40", TOLLAN_E_HANGUP, 0, {kPage, kRetry, kModem}},
     {"silent@C1", TOLLAN_E_HANGUP, 0, {kPostPage, kRetry, kRemoteHangup}},
     {"garbage@C1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend20, "page 2 data",
     {"hangup@C2=40", TOLLAN_E_HANGUP, 1, {kPage, kPartial, kModem}},
     {"silent@C2", TOLLAN_E_HANGUP, 1, {kPostPage, kPartial, kRemoteHangup}},
     {"garbage@C2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend20, "post-page 1 (MPS)",
     {"hangup@D1=52", TOLLAN_E_HANGUP, 0, {kPostPage, kRetry, kUnconfirmed}},
     {"silent@D1", TOLLAN_E_HANGUP, 0, {kPostPage, kRetry, kRemoteHangup}},
     {"garbage@D1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend20, "post-page 2 (EOP)",
     {"hangup@D2=54", TOLLAN_E_HANGUP, 1, {kPostPage, kPartial, kUnconfirmed}},
     {"silent@D2", TOLLAN_E_HANGUP, 1, {kPostPage, kPartial, kRemoteHangup}},
     {"garbage@D2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSend20, "hang-up",
     {"nocarrier@end", TOLLAN_E_HANGUP, 1, {kPostPage, kPartial, kRemoteHangup}},
     {"silent@end", TOLLAN_E_HANGUP, 1, {kPostPage, kPartial, kRemoteHangup}},
     {"garbage@end", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},

    {Session::kReceive2, "answer",
     {"nocarrier@dial", TOLLAN_E_RECEIVE_FAILED, 0, {kDial, kFailed, kNoFax}},
     {"silent@dial", TOLLAN_E_TIMEOUT, 0, {kDial, kRetry, kNoResponse}},
     {"garbage@dial", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceive2, "negotiation + training report",
     {"hangup@T=72", TOLLAN_E_HANGUP, 0, {kNegotiation, kRetry, kNoResponse}},
     {"silent@B", TOLLAN_E_READ, 0, {kNegotiation, kRetry, kNoResponse}},
     {"garbage@B", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceive2, "page 1 data",
     {"hangup@C1=90", TOLLAN_E_HANGUP, 0, {kPage, kRetry, kNoResponse}},
     {"silent@C1", TOLLAN_E_TIMEOUT, 0, {kPage, kRetry, kNoResponse}, 1},
     {"garbage@C1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceive2, "page 2 data",
     {"hangup@C2=90", TOLLAN_E_HANGUP, 1, {kPage, kPartial, kNoResponse}},
     {"silent@C2", TOLLAN_E_TIMEOUT, 1, {kPage, kPartial, kNoResponse}, 2},
     {"garbage@C2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceive2, "post-page 1 (MPS)",
     {"hangup@D1=100", TOLLAN_E_HANGUP, 1, {kPostPage, kPartial, kUnconfirmed}},
     {"silent@D1", TOLLAN_E_READ, 1, {kPostPage, kPartial, kNoResponse}},
     {"garbage@D1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceive2, "post-page 2 (EOP)",
     {"hangup@D2=100", TOLLAN_E_HANGUP, 2, {kPostPage, kPartial, kUnconfirmed}},
     {"silent@D2", TOLLAN_E_READ, 2, {kPostPage, kPartial, kNoResponse}},
     {"garbage@D2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceive2, "hang-up",
     {"nocarrier@end", TOLLAN_E_NO_CARRIER, 2, {kPostPage, kPartial, kRemoteHangup}},
     {"silent@end", TOLLAN_E_READ, 2, {kPostPage, kPartial, kNoResponse}},
     {"garbage@end", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},

    {Session::kReceive20, "answer",
     {"nocarrier@dial", TOLLAN_E_RECEIVE_FAILED, 0, {kDial, kFailed, kNoFax}},
     {"silent@dial", TOLLAN_E_TIMEOUT, 0, {kDial, kRetry, kNoResponse}},
     {"garbage@dial", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceive20, "negotiation + training report",
     {"hangup@T=72", TOLLAN_E_HANGUP, 0, {kNegotiation, kRetry, kNoResponse}},
     {"silent@B", TOLLAN_E_READ, 0, {kNegotiation, kRetry, kNoResponse}},
     {"garbage@B", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceive20, "page 1 data",
     {"hangup@C1=90", TOLLAN_E_HANGUP, 0, {kPage, kRetry, kNoResponse}},
     {"silent@C1", TOLLAN_E_TIMEOUT, 0, {kPage, kRetry, kNoResponse}, 1},
     {"garbage@C1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceive20, "page 2 data",
     {"hangup@C2=90", TOLLAN_E_HANGUP, 1, {kPage, kPartial, kNoResponse}},
     {"silent@C2", TOLLAN_E_TIMEOUT, 1, {kPage, kPartial, kNoResponse}, 2},
     {"garbage@C2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceive20, "post-page 1 (MPS)",
     {"hangup@D1=100", TOLLAN_E_HANGUP, 1, {kPostPage, kPartial, kUnconfirmed}},
     {"silent@D1", TOLLAN_E_READ, 1, {kPostPage, kPartial, kNoResponse}},
     {"garbage@D1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceive20, "post-page 2 (EOP)",
     {"hangup@D2=100", TOLLAN_E_HANGUP, 2, {kPostPage, kPartial, kUnconfirmed}},
     {"silent@D2", TOLLAN_E_READ, 2, {kPostPage, kPartial, kNoResponse}},
     {"garbage@D2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceive20, "hang-up",
     {"nocarrier@end", TOLLAN_E_NO_CARRIER, 2, {kPostPage, kPartial, kRemoteHangup}},
     {"silent@end", TOLLAN_E_READ, 2, {kPostPage, kPartial, kNoResponse}},
     {"garbage@end", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},

    {Session::kSendClass1, "dial",
     {"nocarrier@dial", TOLLAN_E_NO_CARRIER, 0, {kDial, kRetry, kNoAnswer}},
     {"silent@dial", TOLLAN_E_READ, 0, {kDial, kRetry, kNoResponse}},
     {"garbage@dial", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSendClass1, "negotiation",
     {"nocarrier@B", TOLLAN_E_ERROR, 0, {kNegotiation, kRetry, kModem}},
     {"silent@B", TOLLAN_E_FIRST_FRAME, 0, {kNegotiation, kRetry, kNoDis}},
     {"garbage@B", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSendClass1, "training",
     {"nocarrier@T", TOLLAN_E_ERROR, 0, {kTraining, kRetry, kModem}},
     {"silent@T", TOLLAN_E_TIMEOUT, 0, {kTraining, kRetry, kNoResponse}},
     {"garbage@T", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSendClass1, "page 1 data",
     {"nocarrier@C1", TOLLAN_E_ERROR, 0, {kPostPage, kRetry, kModem}},
     {"silent@C1", TOLLAN_E_TIMEOUT, 0, {kPostPage, kRetry, kNoResponse}},
     {"garbage@C1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSendClass1, "page 2 data",
     {"nocarrier@C2", TOLLAN_E_ERROR, 1, {kPostPage, kPartial, kModem}},
     {"silent@C2", TOLLAN_E_TIMEOUT, 1, {kPostPage, kPartial, kNoResponse}},
     {"garbage@C2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSendClass1, "post-page 1 (MPS)",
     {"nocarrier@D1", TOLLAN_E_ERROR, 0, {kPostPage, kRetry, kModem}},
     {"silent@D1", TOLLAN_E_TIMEOUT, 0, {kPostPage, kRetry, kNoResponse}},
     {"garbage@D1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSendClass1, "post-page 2 (EOP)",
     {"nocarrier@D2", TOLLAN_E_ERROR, 1, {kPostPage, kPartial, kModem}},
     {"silent@D2", TOLLAN_E_TIMEOUT, 1, {kPostPage, kPartial, kNoResponse}},
     {"garbage@D2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSendClass1, "hang-up",
     {"nocarrier@end", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}},
     {"silent@end", TOLLAN_E_ERROR, 2, {kRelease, kSuccess, kModem}},
     {"garbage@end", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    // Error correction: a block's data is handed over and confirmed by the
    // modem before its PPS, so a line lost in it shows in the page's phase;
    // the PPS exchange is the post-page phase. Receiving: as without it.
    {Session::kSendClass1Ecm, "page 1 data (block)",
     {"nocarrier@C1", TOLLAN_E_ERROR, 0, {kPage, kRetry, kModem}},
     {"silent@C1", TOLLAN_E_TIMEOUT, 0, {kPage, kRetry, kNoResponse}},
     {"garbage@C1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSendClass1Ecm, "page 2 data (block)",
     {"nocarrier@C2", TOLLAN_E_ERROR, 1, {kPage, kPartial, kModem}},
     {"silent@C2", TOLLAN_E_TIMEOUT, 1, {kPage, kPartial, kNoResponse}},
     {"garbage@C2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSendClass1Ecm, "post-page 1 (PPS-MPS)",
     {"nocarrier@D1", TOLLAN_E_ERROR, 0, {kPostPage, kRetry, kModem}},
     {"silent@D1", TOLLAN_E_TIMEOUT, 0, {kPostPage, kRetry, kNoResponse}},
     {"garbage@D1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kSendClass1Ecm, "post-page 2 (PPS-EOP)",
     {"nocarrier@D2", TOLLAN_E_ERROR, 1, {kPostPage, kPartial, kModem}},
     {"silent@D2", TOLLAN_E_TIMEOUT, 1, {kPostPage, kPartial, kNoResponse}},
     {"garbage@D2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceiveClass1Ecm, "page 1 data (block)",
     {"nocarrier@C1", TOLLAN_E_UNCONFIRMED, 0, {kPage, kRetry, kUnconfirmed}},
     {"silent@C1", TOLLAN_E_UNCONFIRMED, 0, {kPage, kRetry, kUnconfirmed}},
     {"garbage@C1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceiveClass1Ecm, "page 2 data (block)",
     {"nocarrier@C2", TOLLAN_E_UNCONFIRMED, 1, {kPage, kPartial, kUnconfirmed}},
     {"silent@C2", TOLLAN_E_UNCONFIRMED, 1, {kPage, kPartial, kUnconfirmed}},
     {"garbage@C2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceiveClass1Ecm, "post-page 1 (PPS-MPS)",
     {"nocarrier@D1", TOLLAN_E_UNCONFIRMED, 0, {kPage, kRetry, kUnconfirmed}},
     {"silent@D1", TOLLAN_E_UNCONFIRMED, 0, {kPage, kRetry, kUnconfirmed}},
     {"garbage@D1", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
    {Session::kReceiveClass1Ecm, "post-page 2 (PPS-EOP)",
     {"nocarrier@D2", TOLLAN_E_UNCONFIRMED, 1, {kPage, kPartial, kUnconfirmed}},
     {"silent@D2", TOLLAN_E_UNCONFIRMED, 1, {kPage, kPartial, kUnconfirmed}},
     {"garbage@D2", TOLLAN_OK, 2, {kRelease, kSuccess, kNone}}},
};

const char *SessionName(Session s) {
    switch (s) {
    case Session::kSend2: return "class 2 send";
    case Session::kSend20: return "class 2.0 send";
    case Session::kReceive2: return "class 2 receive";
    case Session::kReceive20: return "class 2.0 receive";
    case Session::kSendClass1: return "class 1 send";
    case Session::kOpen2: return "PortOpen";
    case Session::kSendClass1Ecm: return "class 1 send, ECM";
    case Session::kReceiveClass1Ecm: return "class 1 receive, ECM";
    }
    return "?";
}

const char *FaultName(Fault f) {
    switch (f) {
    case Fault::kDrop: return "line drops";
    case Fault::kSilent: return "silent";
    case Fault::kGarbage: return "garbage";
    }
    return "?";
}

std::string CodeText(uint16_t code) {
    struct Name {
        uint16_t code;
        const char *text;
    };
    static const Name kNames[] = {
        {TOLLAN_OK, "OK"},
        {TOLLAN_E_READ, "no response line"},
        {TOLLAN_E_RECEIVE_FAILED, "hang-up before connection"},
        {TOLLAN_E_ERROR, "class 1 exchange failed"},
        {TOLLAN_E_TIMEOUT, "time-out"},
        {TOLLAN_E_DIAL, "dial failed"},
        {TOLLAN_E_NO_CARRIER, "NO CARRIER"},
        {TOLLAN_E_HANGUP, "hang-up / page failed"},
        {TOLLAN_E_FIRST_FRAME, "no first frame"},
        {TOLLAN_E_FAILED, "failed"},
        {TOLLAN_E_INIT, "init failed"},
        {TOLLAN_E_PAGE_TOO_LARGE, "page too large"},
        {TOLLAN_E_RETRIES, "retries"},
        {TOLLAN_E_CALL_TIME, "call time"},
        {TOLLAN_E_UNCONFIRMED, "unconfirmed"},
    };
    for (const Name &n : kNames)
        if (n.code == code) return std::to_string(code) + " " + n.text;
    return std::to_string(code);
}

bool IsReceive(Session s) {
    return s == Session::kReceive2 || s == Session::kReceive20 || s == Session::kReceiveClass1Ecm;
}

bool IsEcm(Session s) { return s == Session::kSendClass1Ecm || s == Session::kReceiveClass1Ecm; }

int ModemClassOf(Session s) {
    switch (s) {
    case Session::kSend2: case Session::kReceive2: case Session::kOpen2: return TOLLAN_CLASS_2;
    case Session::kSend20: case Session::kReceive20: return TOLLAN_CLASS_2_0;
    case Session::kSendClass1: case Session::kSendClass1Ecm: case Session::kReceiveClass1Ecm: return TOLLAN_CLASS_1;
    }
    return TOLLAN_CLASS_AUTO;
}

struct Cell {
    Session session;
    const char *phase;
    Fault fault;
    FaultSpec spec;
    int index;  // in the table, from 1
};

std::vector<Cell> AllCells() {
    std::vector<Cell> cells;
    for (const Row &r : kRows) {
        cells.push_back({r.session, r.phase, Fault::kDrop, r.drop, 0});
        cells.push_back({r.session, r.phase, Fault::kSilent, r.silent, 0});
        cells.push_back({r.session, r.phase, Fault::kGarbage, r.garbage, 0});
    }
    for (size_t i = 0; i < cells.size(); ++i) cells[i].index = static_cast<int>(i + 1);
    return cells;
}

// What a cell came to.
struct Outcome {
    uint16_t code = 0;
    int pages = -1;
    bool files_kept = false;
    bool reopened = false;
    Reported reported{-1, -1, -1};
    double seconds = 0;         // real time of the whole cell
    uint32_t clock_seconds = 0;  // the library's clock during the call
    bool passed = false;
};

// Real time after which a cell counts as hung (its guard ends the program at
// twice this). No cell asserts its real time: the clock makes the outcome
// independent of the machine's speed.
constexpr double kCellLimitSeconds = 20;
// The longest the library may take by its own clock: class 1 sits out at
// most a few rounds of 80 s line reads (the 5 s and 30 s response waits are
// checked between lines only), class 2 one 80 s read.
constexpr uint32_t kClockLimitSeconds = 15 * 60;
// The library and the emulator share a clock that moves only while both
// wait (support/wait_clock.h). The emulator's own timers (its ring interval,
// its T.30 waits) run this many times slower than the library's: the
// library's 6 s wait for an answer is 300 ms of the emulator's.
constexpr uint32_t kClockRatio = 20;
// The emulator answers at once: a short pause after each command keeps the
// cells quick (the default is 500 ms).
constexpr int32_t kCommandIntervalMs = 100;
constexpr uint16_t kNoRing = 0xFFFF;      // the test's own: the call never rang

// A cell's guard: twice its limit ends the program, with the clock's state.
class CellGuard : public HangGuard {
public:
    explicit CellGuard(const std::string &name, double limit_seconds = kCellLimitSeconds)
        : HangGuard("fault matrix: cell " + name, 2 * limit_seconds, WaitClockState) {}
};

// The results of the cells run, in table order, for the Markdown table.
std::vector<std::pair<Cell, Outcome>> &Results() {
    static std::vector<std::pair<Cell, Outcome>> results;
    return results;
}

std::string CellName(const Cell &c) {
    std::string name = std::to_string(c.index) + "_" + c.spec.faults;
    for (char &ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

class MatrixFixture : public ::testing::Test {
protected:
    WaitClock clock{kClockRatio};
    SimOnWaitClock sim_clock{clock};
    SimFixture f;
    int modem = -1;
    const std::string page1 = MakePage(60, 5), page2 = MakePage(90, 6);
    // Error correction codes the pages for the line and stores what it
    // receives as MH of its own: these pages are real rows, compared as rows.
    const std::string rows1 = DrawRows(kEcmRows1, 5), rows2 = DrawRows(kEcmRows2, 9);
    std::unique_ptr<ProfileFile> profile;
    static constexpr int32_t kEcmRows1 = 300, kEcmRows2 = 200;
    int ecm_station_index = -1;  // "201", answering with error correction

    void SetUp() override {
        SetModemCommandInterval(kCommandIntervalMs);
        modem = f.AddModem("100");
        SimStationConfig ecm_station;
        ecm_station.number = "201";
        ecm_station.page_dir = f.dir;
        ecm_station.base = "ecm_received";
        ecm_station.ecm = true;
        ecm_station_index = SimAddStation(f.sim, ecm_station);
        WriteFile(f.dir + "/ecm_p1.g3", CodeRows(rows1, kDfMh));
        WriteFile(f.dir + "/ecm_p2.g3", CodeRows(rows2, kDfMh));
        f.AddAnsweringStation("200");
        ASSERT_TRUE(SimStart(f.sim));
        profile = std::make_unique<ProfileFile>("[Ports]\nCOM1=" + f.Device(modem) + "\n");
        WriteFile(f.dir + "/doc_p1.g3", page1);
        WriteFile(f.dir + "/doc_p2.g3", page2);
    }

    // A calling station sends the two pages; the host answers after the first RING.
    uint16_t Receive(int32_t ch, int16_t *pages, bool ecm = false) {
        int caller = -1;
        if (ecm) {
            SimStationConfig c;
            c.number = "300";
            c.answering = false;
            c.ecm = true;
            c.page_dir = f.dir;
            c.pages = {f.dir + "/ecm_p1.g3", f.dir + "/ecm_p2.g3"};
            caller = SimAddStation(f.sim, c);
        } else {
            caller = f.AddCallingStation("300", {f.dir + "/doc_p1.g3", f.dir + "/doc_p2.g3"});
        }
        if (!SimStationCall(f.sim, caller, "100")) return kNoRing;
        // The host looks every 100 ms, for at most 100 s by the library's clock.
        int32_t ring = 0;
        for (int look = 0; ring != 1 && look < 1000; ++look) {
            if (WaitForRing(ch, &ring) != TOLLAN_OK) return kNoRing;
            if (ring != 1) PlatSleep(100);
        }
        if (ring != 1) return kNoRing;
        return ecm ? ReceiveClass1Fax(ch, (f.dir + "/in.g3").c_str(), pages)
                   : ReceiveFax(ch, (f.dir + "/in.g3").c_str(), pages);
    }

    void TearDown() override { SetModemCommandInterval(500); }

    uint16_t Send(int32_t ch, Session s, const std::string &base, int16_t *pages) {
        uint16_t code = s == Session::kSendClass1Ecm ? SendClass1Fax(ch, "201", (f.dir + "/ecm.g3").c_str(), 2)
                        : s == Session::kSendClass1  ? SendClass1Fax(ch, "200", base.c_str(), 2)
                                                     : SendFax(ch, "200", base.c_str(), 2);
        GetNumOfPagesSent(ch, pages);
        return code;
    }

    // Received: the pages counted are whole on disk and a page cut short holds
    // the start of its data. Sent: the page files are as they were.
    bool FilesKept(const Cell &c, int pages) {
        const std::string sent[] = {page1, page2};
        if (IsEcm(c.session)) return EcmFilesKept(c, pages);
        if (!IsReceive(c.session)) return ReadFile(f.dir + "/doc_p1.g3") == page1 && ReadFile(f.dir + "/doc_p2.g3") == page2;
        for (int i = 1; i <= pages && i <= 2; ++i)
            if (ReadFile(f.dir + "/in_p" + std::to_string(i) + ".g3") != sent[i - 1]) return false;
        if (c.spec.partial > 0) {
            std::string part = ReadFile(f.dir + "/in_p" + std::to_string(c.spec.partial) + ".g3");
            const std::string &whole = sent[c.spec.partial - 1];
            if (part.empty() || part.size() >= whole.size() || whole.compare(0, part.size(), part) != 0) return false;
        }
        return true;
    }

    // Error correction: the sender's files unchanged; the counted pages
    // received hold the rows sent.
    bool EcmFilesKept(const Cell &c, int pages) {
        const std::string coded[] = {CodeRows(rows1, kDfMh), CodeRows(rows2, kDfMh)};
        if (ReadFile(f.dir + "/ecm_p1.g3") != coded[0] || ReadFile(f.dir + "/ecm_p2.g3") != coded[1]) return false;
        if (!IsReceive(c.session)) return true;
        const std::string rows[] = {rows1, rows2};
        const int32_t counts[] = {kEcmRows1, kEcmRows2};
        for (int i = 0; i < pages && i < 2; ++i)
            if (DecodeRows(ReadFile(f.dir + "/in_p" + std::to_string(i + 1) + ".g3"), kDfMh, counts[i]) != rows[i])
                return false;
        return true;
    }

    // The port opens again with the faults gone, and the modem answers "AT".
    // Returns what failed, or "" when all went well.
    static std::string Reopen(Session s) {
        int32_t ch = -1;
        SetModemClass(0, ModemClassOf(s));
        uint16_t code = PortOpen(&ch, 1, "ATZ");
        if (code != TOLLAN_OK) return "PortOpen " + std::to_string(code);
        code = FaxModemCommand("AT\r\n", ch);
        uint16_t closed = PortClose(ch);
        if (code != TOLLAN_OK) return "AT " + std::to_string(code);
        return closed == TOLLAN_OK ? "" : "PortClose " + std::to_string(closed);
    }
};

class FaultMatrix : public MatrixFixture, public ::testing::WithParamInterface<Cell> {};

// The emulator hears of a closed port on its own thread; reopening before
// it has would find a silenced modem still silent. It needs no clock time,
// only its turn; the cell's hang guard bounds the wait.
void AwaitCloseHeard(Sim *sim, int modem) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (SimModemSilenced(sim, modem) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

TEST_P(FaultMatrix, Cell) {
    const Cell &c = GetParam();
    SimFaults faults;
    ASSERT_TRUE(SimParseFaults(c.spec.faults, &faults)) << c.spec.faults;
    CellGuard guard(CellName(c));
    if (getenv("TOLLAN_FAULT_MATRIX_TRACE")) SetTraceOption(2);
    auto start = std::chrono::steady_clock::now();

    Outcome out;
    int32_t ch = -1;
    SetModemClass(0, ModemClassOf(c.session));
    ASSERT_EQ(PortOpen(&ch, 1, "ATZ"), TOLLAN_OK);
    // The faults strike the call, not the opening of the port.
    SimSetModemFaults(f.sim, modem, faults);
    int16_t pages = -1;
    if (IsEcm(c.session)) {
        ASSERT_EQ(SetErrorCorrection(ch, TOLLAN_ECM_256), TOLLAN_OK);
    }
    uint32_t clock_start = PlatTickCount();
    out.code = IsReceive(c.session) ? Receive(ch, &pages, IsEcm(c.session))
                                    : Send(ch, c.session, f.dir + "/doc.g3", &pages);
    out.clock_seconds = PlatElapsed(clock_start) / 1000;
    SetErrorCorrection(ch, TOLLAN_ECM_OFF);  // kept across opens: the next cell starts from the default
    out.pages = IsReceive(c.session) && pages < 0 ? 0 : pages;
    out.reported = ReportOf(ch);
    uint16_t closed = PortClose(ch);
    SimSetModemFaults(f.sim, modem, SimFaults{});
    AwaitCloseHeard(f.sim, modem);
    std::string reopen = closed == TOLLAN_OK ? Reopen(c.session) : "PortClose " + std::to_string(closed);
    out.reopened = reopen.empty();
    out.files_kept = FilesKept(c, out.pages);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool reported = out.reported == c.spec.report;
    out.passed = out.code == c.spec.expected && out.pages == c.spec.pages && reported && out.files_kept &&
                 out.reopened && out.clock_seconds < kClockLimitSeconds;
    Results().push_back({c, out});

    EXPECT_EQ(out.code, c.spec.expected) << CodeText(out.code);
    EXPECT_EQ(out.pages, c.spec.pages);
    EXPECT_EQ(out.reported.phase, c.spec.report.phase) << GetCauseText(out.reported.cause);
    EXPECT_EQ(out.reported.outcome, c.spec.report.outcome) << GetCauseText(out.reported.cause);
    EXPECT_EQ(out.reported.cause, c.spec.report.cause) << GetCauseText(out.reported.cause);
    EXPECT_TRUE(out.files_kept);
    EXPECT_TRUE(out.reopened) << reopen;
    EXPECT_LT(out.clock_seconds, kClockLimitSeconds);
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultMatrix, ::testing::ValuesIn(AllCells()),
                         [](const ::testing::TestParamInfo<Cell> &i) { return CellName(i.param); });

// Hostile ends that never stop talking: a modem that never ends a line, a
// page that never ends, a station that answers every post-page message with
// EOM or every training check with FTT. Each call must end with its code
// within a bound by the library's clock, whatever keeps arriving.
struct HostileCell {
    Session session;
    const char *phase;
    const char *behaviour;
    const char *modem_faults;    // SimParseFaults words for the modem
    const char *station_faults;  // and for the answering station (sending calls)
    uint16_t expected;
    uint32_t clock_limit_seconds;  // by the library's clock
    int pages;                     // sent: GetNumOfPagesSent; received: the page counter
};

// A receiving call's page limit for the endless page: small, so the cell is quick.
constexpr int32_t kHostilePageBytes = 64 * 1024;
// Real time a hostile cell may take (its hang guard, at twice this, stays
// under the test runner's 120 s): class 1 rounds sit out response waits.
constexpr double kHostileCellSeconds = 55;

// Codes: a babbling modem makes the wait it strikes give up with no response
// line (108), but PortOpen reports its init command failing (109), a class
// 2.0 sending call after its page takes SendFax's failure exit (136), and the
// babble's own hang-up report ends an answer (112). Clock bounds: the wait
// the phase names plus slack: PortOpen's 6 s, the 80 s of a class 2 dial or
// answer, class 1's 60 s dial; an endless page ends at its size limit; the
// class 1 retry limits bound FTT forever (three tries a rate, six rates). A
// class 1 caller answers EOM by switching its modem to sending, so the
// emulated modem hands it no further frame: that call ends at the frame's
// time limit and the receive retries.
const HostileCell kHostileCells[] = {
    {Session::kOpen2, "open: init command", "babbling modem", "babble", "", TOLLAN_E_INIT, 10, 0},
    {Session::kSend2, "dial", "babbling modem", "babble@dial", "", TOLLAN_E_READ, 90, 0},
    {Session::kSend20, "post-page 1 (MPS)", "babbling modem", "babble@D1", "", TOLLAN_E_HANGUP, 90, 0},
    {Session::kReceive2, "answer", "babbling modem", "babble@dial", "", TOLLAN_E_RECEIVE_FAILED, 90, 0},
    {Session::kReceive2, "page 1 data", "endless page", "endlesspage", "", TOLLAN_E_PAGE_TOO_LARGE, 60, 0},
    {Session::kReceive20, "page 1 data", "endless page", "endlesspage", "", TOLLAN_E_PAGE_TOO_LARGE, 60, 0},
    {Session::kSend2, "training", "FTT forever", "", "fttforever", TOLLAN_E_HANGUP, 120, 0},
    {Session::kSend2, "post-page 1 (MPS)", "EOM forever", "", "eomforever", TOLLAN_E_HANGUP, 120, 0},
    {Session::kSendClass1, "dial", "babbling modem", "babble@dial", "", TOLLAN_E_READ, 90, 0},
    {Session::kSendClass1, "training", "FTT forever", "", "fttforever", TOLLAN_E_RETRIES, 300, 0},
    {Session::kSendClass1, "post-page 1 (MPS)", "EOM forever", "", "eomforever", TOLLAN_E_TIMEOUT, 120, 0},
    {Session::kSendClass1Ecm, "post-page 1 (PPS)", "PPS never answered", "", "ppsmute", TOLLAN_E_TIMEOUT, 120, 0},
    {Session::kSendClass1Ecm, "post-page 1 (PPS)", "RNR forever", "", "rnr=100000", TOLLAN_E_RETRIES, 120, 0},
};

std::string HostileName(const HostileCell &c) {
    std::string name = std::string("hostile_") + SessionName(c.session) + "_" + c.modem_faults + c.station_faults;
    for (char &ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

// For the test runner's listing.
void PrintTo(const HostileCell &c, std::ostream *os) { *os << HostileName(c); }

struct HostileOutcome {
    uint16_t code = 0;
    int pages = -1;
    uint32_t clock_seconds = 0;
    double seconds = 0;
    bool passed = false;
};

std::vector<std::pair<HostileCell, HostileOutcome>> &HostileResults() {
    static std::vector<std::pair<HostileCell, HostileOutcome>> results;
    return results;
}

class HostileMatrix : public MatrixFixture, public ::testing::WithParamInterface<HostileCell> {};

TEST_P(HostileMatrix, EndsInTime) {
    const HostileCell &c = GetParam();
    SimFaults modem_faults, station_faults;
    ASSERT_TRUE(SimParseFaults(c.modem_faults, &modem_faults)) << c.modem_faults;
    ASSERT_TRUE(SimParseFaults(c.station_faults, &station_faults)) << c.station_faults;
    CellGuard guard(HostileName(c), kHostileCellSeconds);
    if (getenv("TOLLAN_FAULT_MATRIX_TRACE")) SetTraceOption(2);
    auto start = std::chrono::steady_clock::now();
    const int station = IsEcm(c.session) ? ecm_station_index : f.station;
    SimSetStationFaults(f.sim, station, station_faults);

    HostileOutcome out;
    int32_t ch = -1;
    int16_t pages = 0;
    SetModemClass(0, ModemClassOf(c.session));
    uint32_t clock_start = PlatTickCount();
    if (c.session == Session::kOpen2) {
        SimSetModemFaults(f.sim, modem, modem_faults);
        out.code = PortOpen(&ch, 1, "ATZ");
    } else {
        ASSERT_EQ(PortOpen(&ch, 1, "ATZ"), TOLLAN_OK);
        SetReceiveLimits(ch, kHostilePageBytes, 0);
        if (IsEcm(c.session)) SetErrorCorrection(ch, TOLLAN_ECM_256);
        SimSetModemFaults(f.sim, modem, modem_faults);
        clock_start = PlatTickCount();
        out.code = IsReceive(c.session) ? Receive(ch, &pages) : Send(ch, c.session, f.dir + "/doc.g3", &pages);
    }
    out.clock_seconds = PlatElapsed(clock_start) / 1000;
    out.pages = pages < 0 ? 0 : pages;
    if (ch >= 0) {
        SetReceiveLimits(ch, 0, 0);  // kept across opens: the next cell starts from the defaults
        SetErrorCorrection(ch, TOLLAN_ECM_OFF);
        PortClose(ch);
    }
    SimSetModemFaults(f.sim, modem, SimFaults{});
    SimSetStationFaults(f.sim, station, SimFaults{});
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // An endless page keeps what arrived, up to the limit.
    bool page_kept = true;
    if (std::string(c.modem_faults) == "endlesspage") {
        size_t kept = ReadFile(f.dir + "/in_p1.g3").size();
        page_kept = kept > 0 && kept <= static_cast<size_t>(kHostilePageBytes);
        EXPECT_TRUE(page_kept) << kept << " bytes";
    }
    out.passed = out.code == c.expected && out.pages == c.pages && page_kept &&
                 out.clock_seconds <= c.clock_limit_seconds;
    HostileResults().push_back({c, out});

    EXPECT_EQ(out.code, c.expected) << CodeText(out.code);
    EXPECT_EQ(out.pages, c.pages);
    EXPECT_LE(out.clock_seconds, c.clock_limit_seconds);
}

INSTANTIATE_TEST_SUITE_P(Matrix, HostileMatrix, ::testing::ValuesIn(kHostileCells),
                         [](const ::testing::TestParamInfo<HostileCell> &i) { return HostileName(i.param); });

std::string Yes(bool b) { return b ? "yes" : "**no**"; }

// The class 1 reception cells (tests/matrix/receive_class1_matrix.cpp), when they ran.
void WriteReceiveClass1Table(std::ofstream &out) {
    if (ReceiveClass1Results().empty()) return;
    out << "\n## Class 1 reception\n\n"
           "`ReceiveClass1Fax` against the emulator's called class 1 modem and a calling\n"
           "station, each cell one two-page fax: the modem's faults (`phase B` and the like),\n"
           "and the caller's (`caller: ...`: it hangs up, goes silent, ends with DCN, sends a\n"
           "DCS not offered, a training check with errors, a page with bad lines, EOM between\n"
           "documents). The columns are those of the table above.\n\n"
           "| # | phase | emulator faults | expected | got | pages (exp/got) | report | files kept | reopen | library clock | result |\n"
           "|---|---|---|---|---|---|---|---|---|---|---|\n";
    int passed = 0, index = 0;
    for (const ReceiveClass1Result &r : ReceiveClass1Results()) {
        passed += r.passed ? 1 : 0;
        out << "| " << ++index << " | " << r.phase << " | `" << r.faults << "` | " << CodeText(r.expected) << " | "
            << CodeText(r.got) << " | " << r.pages_expected << "/" << r.pages_got << " | " << ReportText(r.report)
            << " | " << Yes(r.files_kept) << " | " << Yes(r.reopened) << " | " << r.clock_seconds << " s | "
            << (r.passed ? "pass" : "**FAIL**") << " |\n";
    }
    out << "\n" << passed << " of " << ReceiveClass1Results().size() << " cells pass.\n";
}

void WriteTable(const std::string &path) {
    std::ofstream out(path, std::ios::trunc);
    out << "# Fault matrix\n\n"
           "Every phase of every kind of session the library runs, against three faults of the\n"
           "line emulator (`tollan-sim`): the line drops (the modem reports a hang-up or says\n"
           "NO CARRIER), the line goes silent (from that phase on the modem sends nothing and the\n"
           "line carries nothing; in a page's data it strikes half way through the page), and\n"
           "garbage (junk bytes and a junk line before the modem's output in that phase). Each\n"
           "cell is one two-page fax. *Pages* is `GetNumOfPagesSent` for a sending call and the\n"
           "page counter of `ReceiveFax` for a receiving one. *Files kept*: a sender's page files\n"
           "are unchanged; a receiver's counted pages are whole on disk and a page cut short\n"
           "keeps what arrived. *Reopen*: the channel closes, opens again and answers `AT`.\n"
           "*Library clock*: how long the call took by the library's own clock (the tests run\n"
           "the library and the emulator on one clock that moves only while both wait, the\n"
           "emulator's timers 20 times slower than the library's); a silent modem shows the\n"
           "library's time-outs: 80 s line reads, and in class 1 the rounds of its response waits.\n"
           "Class 2 and 2.0 modems run the training themselves and report it during the\n"
           "negotiation, so their negotiation row covers the training.\n"
           "*Report*: the call report's phase, outcome and cause (`GetCallReport`), each\n"
           "asserted as well.\n\n"
           "This file is written by the test program `tollan_matrix_tests`\n"
           "(tests/matrix/fault_matrix_test.cpp); do not edit it by hand. To regenerate it run\n"
           "`scripts/fault-matrix.sh` from the source tree: it builds, runs the matrix and\n"
           "writes this file.\n\n"
           "| # | session | phase | fault | emulator faults | expected | got | pages (exp/got) | report | files kept | reopen | library clock | result |\n"
           "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    int passed = 0;
    for (const auto &[c, o] : Results()) {
        passed += o.passed ? 1 : 0;
        out << "| " << c.index << " | " << SessionName(c.session) << " | " << c.phase << " | " << FaultName(c.fault)
            << " | `" << c.spec.faults << "` | " << CodeText(c.spec.expected) << " | " << CodeText(o.code) << " | "
            << c.spec.pages << "/" << o.pages << (c.spec.partial ? " + part of " + std::to_string(c.spec.partial) : "")
            << " | " << ReportText(o.reported) << " | " << Yes(o.files_kept) << " | " << Yes(o.reopened) << " | "
            << o.clock_seconds << " s | "
            << (o.passed ? "pass" : "**FAIL**")
            << " |\n";
    }
    out << "\n" << passed << " of " << Results().size() << " cells pass.\n";
    WriteReceiveClass1Table(out);
    if (HostileResults().empty()) return;
    out << "\n## Hostile ends\n\n"
           "Ends that never stop: a babbling modem (text without a line end, as fast as the host\n"
           "reads), an endless page (the modem's page data never reaches DLE ETX; the receiving\n"
           "channel's page limit lowered to 64 KiB), and a called station that answers every\n"
           "training check with FTT or every post-page message, and every frame after it, with\n"
           "EOM. Each call must end with its code within its bound by the library's clock.\n\n"
           "| session | phase | hostile end | emulator faults | expected | got | bound | library clock | result |\n"
           "|---|---|---|---|---|---|---|---|---|\n";
    for (const auto &[c, o] : HostileResults()) {
        out << "| " << SessionName(c.session) << " | " << c.phase << " | " << c.behaviour << " | `" << c.modem_faults
            << c.station_faults << "` | " << CodeText(c.expected) << " | " << CodeText(o.code) << " | "
            << c.clock_limit_seconds << " s | " << o.clock_seconds << " s | " << (o.passed ? "pass" : "**FAIL**")
            << " |\n";
    }
}

// Writes the table once every cell has run.
class TableWriter : public ::testing::Environment {
public:
    void TearDown() override {
        const char *path = getenv("TOLLAN_FAULT_MATRIX");
        if (path && *path) WriteTable(path);
    }
};

const ::testing::Environment *const kTableWriter = ::testing::AddGlobalTestEnvironment(new TableWriter);

}  // namespace
