// The library's sessions against emulated modems: each fax goes through the
// emulator to a built-in station, whose received pages must equal the pages
// sent.
#include <gtest/gtest.h>

#include "engine/tollan.h"
#include "support/fast_clock.h"
#include "support/scripted_modem.h"
#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

class LibraryTest : public ::testing::Test {
protected:
    SimFixture f;
    int modem = -1;
    std::string page1 = MakePage(60, 5), page2 = MakePage(90, 6);
    std::unique_ptr<ProfileFile> profile;
    std::unique_ptr<FastClock> clock;  // the library's waits, 20 times faster

    void SetUp() override {
        modem = f.AddModem("100");
        f.AddAnsweringStation("200");
        ASSERT_TRUE(SimStart(f.sim));
        profile = std::make_unique<ProfileFile>("[Ports]\nCOM1=" + f.Device(modem) + "\n");
        clock = std::make_unique<FastClock>(20);
        WriteFile(f.dir + "/doc_p1.g3", page1);
        WriteFile(f.dir + "/doc_p2.g3", page2);
    }

    int32_t Open(int modem_class) {
        int32_t ch = -1;
        SetModemClass(0, modem_class);
        EXPECT_EQ(PortOpen(&ch, 1, "ATZ"), TOLLAN_OK);
        SetLocalID(ch, "12345");
        return ch;
    }

    void ExpectStationGotBothPages() {
        ASSERT_TRUE(SimWaitStation(f.sim, f.station, 1, 5000));
        SimStationResult r = SimStationResults(f.sim, f.station);
        ASSERT_EQ(r.pages, 2);
        EXPECT_EQ(r.hangup_code, 0);
        EXPECT_EQ(r.remote_id, "12345");
        EXPECT_EQ(ReadFile(r.page_files[0]), page1);
        EXPECT_EQ(ReadFile(r.page_files[1]), page2);
    }
};

TEST_F(LibraryTest, SendClass1FaxSendsTwoPagesToTheStation) {
    int32_t ch = Open(TOLLAN_CLASS_1);
    EXPECT_EQ(SendClass1Fax(ch, "200", (f.dir + "/doc.g3").c_str(), 2), TOLLAN_OK);
    int16_t sent = 0;
    GetNumOfPagesSent(ch, &sent);
    EXPECT_EQ(sent, 2);
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);
    ExpectStationGotBothPages();
}

}  // namespace
