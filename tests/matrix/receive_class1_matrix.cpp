// Class 1 reception in every phase: the called modem's own faults (the call
// lost, the modem silent, junk from it) and the calling station's (it hangs
// up or goes silent, ends with DCN, slips a DCS not offered, a training check
// with errors, a page with bad lines, EOM between documents). For each cell:
// whether the call ends well, the pages counted, every page counted whole on
// disk, and that the channel closes, opens again and answers.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "engine/tollan.h"
#include "support/fast_clock.h"
#include "support/scripted_modem.h"
#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

struct Cell {
    const char *phase;
    const char *modem_faults;    // the called modem's (SimParseFaults words)
    const char *station_faults;  // the calling station's
    bool ends_well;              // TOLLAN_OK, else any failure code
    int pages;                   // the page counter at the end
};

void PrintTo(const Cell &c, std::ostream *os) { *os << c.phase << " [" << c.modem_faults << "|" << c.station_faults << "]"; }

// Whole pages count; a lost or silent call leaves fewer.
const Cell kCells[] = {
    {"answer", "nocarrier@dial", "", false, 0},
    {"answer", "silent@dial", "", false, 0},
    {"answer", "garbage@dial", "", true, 2},
    {"phase B", "nocarrier@B", "", false, 0},
    {"phase B", "silent@B", "", false, 0},
    {"phase B", "garbage@B", "", true, 2},
    {"training", "nocarrier@T", "", false, 0},
    {"training", "silent@T", "", false, 0},
    {"training", "garbage@T", "", true, 2},
    {"page 1 data", "nocarrier@C1", "", false, 0},
    {"page 1 data", "silent@C1", "", false, 0},
    {"page 1 data", "garbage@C1", "", true, 2},
    {"page 2 data", "nocarrier@C2", "", false, 1},
    {"page 2 data", "silent@C2", "", false, 1},
    {"post-page 1 (MPS)", "nocarrier@D1", "", false, 1},
    {"post-page 1 (MPS)", "silent@D1", "", false, 1},
    {"post-page 1 (MPS)", "garbage@D1", "", true, 2},
    {"post-page 2 (EOP)", "nocarrier@D2", "", false, 2},
    {"post-page 2 (EOP)", "silent@D2", "", false, 2},
    {"hang-up", "nocarrier@end", "", true, 2},
    {"hang-up", "garbage@end", "", true, 2},
    // The caller.
    {"caller: phase B", "", "nocarrier@B", false, 0},
    {"caller: phase B", "", "silent@B", false, 0},
    {"caller: phase B", "", "garbage@B", true, 2},
    {"caller: phase B", "", "dcn@B", false, 0},
    {"caller: phase B", "", "baddcs", true, 2},
    {"caller: training", "", "nocarrier@T", false, 0},
    {"caller: training", "", "badtcf", true, 2},
    {"caller: page 2 data", "", "nocarrier@C2", false, 1},
    {"caller: page 2 data", "", "silent@C2", false, 1},
    {"caller: page 2 data", "", "dcn@C2", false, 1},
    {"caller: page 2 data", "", "badlines@2", true, 2},
    {"caller: post-page 1", "", "nocarrier@D1", false, 1},
    {"caller: post-page 1", "", "silent@D1", false, 1},
    {"caller: post-page 1", "", "dcn@D1", false, 1},
    {"caller: post-page 1", "", "eom@1", true, 2},
    {"caller: hang-up", "", "nocarrier@end", true, 2},
};

class ReceiveClass1Matrix : public ::testing::TestWithParam<Cell> {
protected:
    SimFixture f;
    std::string page1 = MakePage(60, 7), page2 = MakePage(80, 8);
    std::unique_ptr<ProfileFile> profile;
    FastClock clock{20};  // the library's waits, 20 times faster

    int32_t Open() {
        SetModemClass(0, TOLLAN_CLASS_1);
        int32_t ch = -1;
        EXPECT_EQ(PortOpen(&ch, 1, "ATZ"), TOLLAN_OK);
        return ch;
    }
};

TEST_P(ReceiveClass1Matrix, Cell) {
    const Cell &c = GetParam();
    SimFaults modem_faults;
    ASSERT_TRUE(SimParseFaults(c.modem_faults, &modem_faults));
    int modem = f.AddModem("100", kSimClass1, SimQuirks{}, modem_faults);
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
    ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
    int32_t ring = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ring != 1 && std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(WaitForRing(ch, &ring), TOLLAN_OK);
        if (ring != 1) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(ring, 1);
    int16_t pages = 0;
    uint16_t rc = ReceiveClass1Fax(ch, (f.dir + "/in.g3").c_str(), &pages);
    if (c.ends_well) EXPECT_EQ(rc, TOLLAN_OK);
    else EXPECT_NE(rc, TOLLAN_OK);
    EXPECT_EQ(pages, c.pages);
    if (pages >= 1) {
        EXPECT_EQ(ReadFile(f.dir + "/in_p1.g3"), page1);
    }
    if (pages >= 2) {
        EXPECT_EQ(ReadFile(f.dir + "/in_p2.g3"), page2);
    }
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);

    // The modem is as good as new: the channel opens again and answers.
    SimSetModemFaults(f.sim, modem, SimFaults{});
    int32_t again = Open();
    EXPECT_EQ(WaitForRing(again, &ring), TOLLAN_OK);
    EXPECT_EQ(PortClose(again), TOLLAN_OK);
}

INSTANTIATE_TEST_SUITE_P(Phases, ReceiveClass1Matrix, ::testing::ValuesIn(kCells));

}  // namespace
