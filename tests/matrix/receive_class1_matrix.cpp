// Class 1 reception in every phase: the called modem's own faults (the call
// lost, the modem silent, junk from it) and the calling station's (it hangs
// up or goes silent, ends with DCN, slips a DCS not offered, a training check
// with errors, a page with bad lines, EOM between documents). For each cell:
// the return code, the pages counted, the call report's phase, outcome and
// cause, every page counted whole on disk, and that the channel closes, opens
// again and answers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "engine/tollan.h"
#include "modem/modem_io.h"
#include "support/hang_guard.h"
#include "support/scripted_modem.h"
#include "support/wait_clock.h"
#include "tests/matrix/report_cells.h"
#include "tests/sim/sim_client.h"

using namespace simtest;
using namespace matrix;

namespace {

struct Cell {
    const char *phase;
    const char *modem_faults;    // the called modem's (SimParseFaults words)
    const char *station_faults;  // the calling station's
    uint16_t expected;
    int pages;                   // the page counter at the end
    Reported report;             // the call report's phase, outcome and cause
};

void PrintTo(const Cell &c, std::ostream *os) { *os << c.phase << " [" << c.modem_faults << "|" << c.station_faults << "]"; }

// A lost or silent line ends the call with the pages confirmed so far; a
// call that reached EOP's answer is whole whatever follows. After a command
// silence is T2 waits in a row (157); in phase B no DCS within T1 is 117, and
// a call lost there fails the DIS sent again (115); no CONNECT to the answer
// is 112; a DCS asking for what the DIS did not offer is refused with DCN (115).
//
// The report: the phase is where the procedure noticed (waiting for a page's
// carrier is the page's phase; a page cut short whose data still ended shows
// in the post-page wait). Class 1 modems only say NO CARRIER: a frame command
// that draws it is a modem error, a caller gone before EOP is unconfirmed. No
// DCS within T1 is a caller that stopped answering; a DCS not offered is the
// caller refusing the offer.
constexpr Reported kWhole = {kRelease, kSuccess, kNone};

const Cell kCells[] = {
    {"answer", "nocarrier@dial", "", TOLLAN_E_RECEIVE_FAILED, 0, {kDial, kFailed, kNoFax}},
    {"answer", "silent@dial", "", TOLLAN_E_RECEIVE_FAILED, 0, {kDial, kFailed, kNoFax}},
    {"answer", "garbage@dial", "", TOLLAN_OK, 2, kWhole},
    {"phase B", "nocarrier@B", "", TOLLAN_E_ERROR, 0, {kNegotiation, kRetry, kModem}},
    {"phase B", "silent@B", "", TOLLAN_E_RECEIVE_FAILED, 0, {kDial, kFailed, kNoFax}},  // silent from the answer on
    {"phase B", "garbage@B", "", TOLLAN_OK, 2, kWhole},
    {"training", "nocarrier@T", "", TOLLAN_E_UNCONFIRMED, 0, {kTraining, kRetry, kUnconfirmed}},
    {"training", "silent@T", "", TOLLAN_E_UNCONFIRMED, 0, {kTraining, kRetry, kUnconfirmed}},
    {"training", "garbage@T", "", TOLLAN_OK, 2, kWhole},
    {"page 1 data", "nocarrier@C1", "", TOLLAN_E_UNCONFIRMED, 0, {kPage, kRetry, kUnconfirmed}},
    {"page 1 data", "silent@C1", "", TOLLAN_E_UNCONFIRMED, 0, {kPage, kRetry, kUnconfirmed}},
    {"page 1 data", "garbage@C1", "", TOLLAN_OK, 2, kWhole},
    {"page 2 data", "nocarrier@C2", "", TOLLAN_E_UNCONFIRMED, 1, {kPage, kPartial, kUnconfirmed}},
    {"page 2 data", "silent@C2", "", TOLLAN_E_UNCONFIRMED, 1, {kPage, kPartial, kUnconfirmed}},
    {"post-page 1 (MPS)", "nocarrier@D1", "", TOLLAN_E_UNCONFIRMED, 0, {kPostPage, kRetry, kUnconfirmed}},
    {"post-page 1 (MPS)", "silent@D1", "", TOLLAN_E_UNCONFIRMED, 0, {kPostPage, kRetry, kUnconfirmed}},
    {"post-page 1 (MPS)", "garbage@D1", "", TOLLAN_OK, 2, kWhole},
    {"post-page 2 (EOP)", "nocarrier@D2", "", TOLLAN_E_UNCONFIRMED, 1, {kPostPage, kPartial, kUnconfirmed}},
    {"post-page 2 (EOP)", "silent@D2", "", TOLLAN_E_UNCONFIRMED, 1, {kPostPage, kPartial, kUnconfirmed}},
    {"hang-up", "nocarrier@end", "", TOLLAN_OK, 2, kWhole},
    {"hang-up", "garbage@end", "", TOLLAN_OK, 2, kWhole},
    // The caller.
    {"caller: phase B", "", "nocarrier@B", TOLLAN_E_ERROR, 0, {kNegotiation, kRetry, kModem}},
    {"caller: phase B", "", "silent@B", TOLLAN_E_TIMEOUT, 0, {kNegotiation, kRetry, kNoResponse}},
    {"caller: phase B", "", "garbage@B", TOLLAN_OK, 2, kWhole},
    {"caller: phase B", "", "dcn@B", TOLLAN_E_UNCONFIRMED, 0, {kNegotiation, kRetry, kUnconfirmed}},
    {"caller: phase B", "", "baddcs", TOLLAN_E_ERROR, 0, {kNegotiation, kFailed, kRefused}},
    {"caller: training", "", "nocarrier@T", TOLLAN_E_UNCONFIRMED, 0, {kTraining, kRetry, kUnconfirmed}},
    {"caller: training", "", "badtcf", TOLLAN_OK, 2, kWhole},
    {"caller: page 2 data", "", "nocarrier@C2", TOLLAN_E_UNCONFIRMED, 1, {kPage, kPartial, kUnconfirmed}},
    {"caller: page 2 data", "", "silent@C2", TOLLAN_E_UNCONFIRMED, 1, {kPostPage, kPartial, kUnconfirmed}},
    {"caller: page 2 data", "", "dcn@C2", TOLLAN_E_UNCONFIRMED, 1, {kPage, kPartial, kUnconfirmed}},
    {"caller: page 2 data", "", "badlines@2", TOLLAN_OK, 2, kWhole},
    {"caller: post-page 1", "", "nocarrier@D1", TOLLAN_E_UNCONFIRMED, 0, {kPostPage, kRetry, kUnconfirmed}},
    {"caller: post-page 1", "", "silent@D1", TOLLAN_E_UNCONFIRMED, 0, {kPostPage, kRetry, kUnconfirmed}},
    {"caller: post-page 1", "", "dcn@D1", TOLLAN_E_UNCONFIRMED, 0, {kPostPage, kRetry, kUnconfirmed}},
    {"caller: post-page 1", "", "eom@1", TOLLAN_OK, 2, kWhole},
    {"caller: hang-up", "", "nocarrier@end", TOLLAN_OK, 2, kWhole},
};

// The library and the emulator share a clock that moves only while both
// wait; the emulator's own timers run this many times slower.
constexpr uint32_t kClockRatio = 20;
constexpr double kCellLimitSeconds = 60;  // real time, only to catch a hang

class ReceiveClass1Matrix : public ::testing::TestWithParam<Cell> {
protected:
    WaitClock clock{kClockRatio};
    SimOnWaitClock sim_clock{clock};
    SimFixture f;
    std::string page1 = MakePage(60, 7), page2 = MakePage(80, 8);
    std::unique_ptr<ProfileFile> profile;

    void SetUp() override { SetModemCommandInterval(100); }
    void TearDown() override { SetModemCommandInterval(500); }

    int32_t Open() {
        SetModemClass(0, TOLLAN_CLASS_1);
        int32_t ch = -1;
        EXPECT_EQ(PortOpen(&ch, 1, "ATZ"), TOLLAN_OK);
        return ch;
    }

    // The host looks for the first RING every 100 ms by the library's clock.
    static bool Rang(int32_t ch) {
        int32_t ring = 0;
        for (int look = 0; ring != 1 && look < 1000; ++look) {
            if (WaitForRing(ch, &ring) != TOLLAN_OK) return false;
            if (ring != 1) PlatSleep(100);
        }
        return ring == 1;
    }
};

TEST_P(ReceiveClass1Matrix, Cell) {
    const Cell &c = GetParam();
    HangGuard guard(std::string("class 1 receive matrix: ") + c.phase, kCellLimitSeconds, WaitClockState);
    if (getenv("TOLLAN_FAULT_MATRIX_TRACE")) SetTraceOption(2);
    SimFaults modem_faults;
    ASSERT_TRUE(SimParseFaults(c.modem_faults, &modem_faults));
    int modem = f.AddModem("100", kSimClass1);
    WriteFile(f.dir + "/doc_p1.g3", page1);
    WriteFile(f.dir + "/doc_p2.g3", page2);
    SimStationConfig station;
    station.number = "300";
    station.answering = false;
    station.pages = {f.dir + "/doc_p1.g3", f.dir + "/doc_p2.g3"};
    ASSERT_TRUE(SimParseFaults(c.station_faults, &station.faults));
    int caller = SimAddStation(f.sim, station);
    ASSERT_TRUE(SimStart(f.sim));
    profile = std::make_unique<ProfileFile>("[Ports]\nCOM1=" + f.Device(modem) + "\n");

    int32_t ch = Open();
    // The faults strike the call, not the opening of the port.
    SimSetModemFaults(f.sim, modem, modem_faults);
    ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
    ASSERT_TRUE(Rang(ch));
    int16_t pages = -1;
    const uint32_t clock_start = PlatTickCount();
    const uint16_t rc = ReceiveClass1Fax(ch, (f.dir + "/in.g3").c_str(), &pages);
    const uint32_t clock_seconds = PlatElapsed(clock_start) / 1000;
    const Reported reported = ReportOf(ch);
    EXPECT_EQ(rc, c.expected);
    EXPECT_EQ(pages, c.pages);
    EXPECT_EQ(ReportText(reported), ReportText(c.report));
    const std::string sent[] = {page1, page2};
    bool files_kept = true;
    for (int n = 1; n <= pages && n <= 2; ++n) {
        const bool whole = ReadFile(f.dir + "/in_p" + std::to_string(n) + ".g3") == sent[n - 1];
        EXPECT_TRUE(whole) << "page " << n;
        files_kept = files_kept && whole;
    }
    const bool closed = PortClose(ch) == TOLLAN_OK;
    EXPECT_TRUE(closed);

    // The modem is as good as new: the channel opens again and answers.
    SimSetModemFaults(f.sim, modem, SimFaults{});
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (SimModemSilenced(f.sim, modem) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    int32_t again = Open();
    const bool answers = FaxModemCommand("AT\r\n", again) == TOLLAN_OK;
    EXPECT_TRUE(answers);
    EXPECT_EQ(PortClose(again), TOLLAN_OK);
    ReceiveClass1Results().push_back({c.phase, std::string(c.modem_faults) + c.station_faults, c.expected, rc, c.pages,
                                      pages, reported, files_kept, closed && answers, clock_seconds,
                                      !HasFailure()});
}

INSTANTIATE_TEST_SUITE_P(Phases, ReceiveClass1Matrix, ::testing::ValuesIn(kCells));

}  // namespace
