// ReceiveFax against the emulated modem, called by its built-in station: in
// class 2 and class 2.0 alike the caller's identity is known after the call,
// in the same form.
#include <gtest/gtest.h>

#include <chrono>


#include "engine/tollan.h"
#include "support/wait_clock.h"
#include "support/scripted_modem.h"
#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

class EmulatorReceiveTest : public ::testing::TestWithParam<int16_t> {};

// Polls for RING as a host does, then answers.
uint16_t AnswerAndReceive(int32_t ch, const std::string &base, int16_t *pages) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int32_t ring = 0;
    while (ring != 1 && std::chrono::steady_clock::now() < end) {
        if (WaitForRing(ch, &ring) != TOLLAN_OK) return TOLLAN_E_READ;
        if (ring != 1) PlatSleep(10);  // a wait of the clock, so the call can come
    }
    return ring == 1 ? ReceiveFax(ch, base.c_str(), pages) : uint16_t{TOLLAN_E_TIMEOUT};
}

TEST_P(EmulatorReceiveTest, TheCallersIdentityIsKnownAfterTheCall) {
    WaitClock clock{20};  // the library and the emulator move only while both wait
    SimOnWaitClock sim_clock{clock};
    SimFixture f;
    const int modem = f.AddModem("100");
    const std::string page1 = MakePage(60, 5), page2 = MakePage(90, 6);
    WriteFile(f.dir + "/doc_p1.g3", page1);
    WriteFile(f.dir + "/doc_p2.g3", page2);
    const int caller = f.AddCallingStation("300", {f.dir + "/doc_p1.g3", f.dir + "/doc_p2.g3"});
    ASSERT_TRUE(SimStart(f.sim));
    ProfileFile profile("[Ports]\nCOM1=" + f.Device(modem) + "\n");

    int32_t ch = -1;
    SetModemClass(0, GetParam());
    ASSERT_EQ(TOLLAN_OK, PortOpen(&ch, 1, "ATZ"));
    ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
    int16_t pages = 0;
    EXPECT_EQ(TOLLAN_OK, AnswerAndReceive(ch, f.dir + "/in.g3", &pages));
    EXPECT_EQ(2, pages);
    EXPECT_EQ(page1, ReadFile(f.dir + "/in_p1.g3"));
    EXPECT_EQ(page2, ReadFile(f.dir + "/in_p2.g3"));
    const char *remote = nullptr;
    ASSERT_EQ(TOLLAN_OK, GetRemoteID(ch, &remote));
    EXPECT_STREQ("TOLLAN STATION", remote);
    EXPECT_EQ(TOLLAN_OK, PortClose(ch));
}

INSTANTIATE_TEST_SUITE_P(Classes, EmulatorReceiveTest, ::testing::Values(TOLLAN_CLASS_2, TOLLAN_CLASS_2_0));

}  // namespace
