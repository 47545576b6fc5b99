// Each fault and quirk of the emulator against the library: the code the
// library returns for it, and that the channel closes and opens again.
#include <gtest/gtest.h>

#include "engine/tollan.h"
#include "support/wait_clock.h"
#include "support/scripted_modem.h"
#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

enum class Call { kSendFax2, kSendFax20, kSendClass1, kReceive2 };

struct FaultCase {
    const char *name;
    Call call;
    const char *modem_faults;    // on the emulated modem
    const char *modem_quirks;
    const char *station_faults;  // on the built-in station
    uint16_t expected;
    int pages_sent;              // GetNumOfPagesSent afterwards (sending calls)
    uint32_t clock = 40;         // the library's clock, times real time
};

const FaultCase kCases[] = {
    // Dialling.
    {"Busy", Call::kSendFax2, "busy", "", "", TOLLAN_E_BUSY, 0},
    {"BusyClass1", Call::kSendClass1, "busy", "", "", TOLLAN_E_BUSY, 0},
    {"NoAnswer", Call::kSendFax2, "noanswer", "", "", TOLLAN_E_DIAL, 0},
    {"NoAnswerClass1", Call::kSendClass1, "noanswer", "", "", TOLLAN_E_NO_CARRIER, 0},
    {"NoDialTone", Call::kSendFax20, "nodialtone", "", "", TOLLAN_E_FAILED, 0},
    {"Delayed", Call::kSendFax2, "delayed", "", "", TOLLAN_E_DELAYED, 0},
    // The call lost in a phase.
    {"NoCarrierAtDial", Call::kSendFax2, "nocarrier@dial", "", "", TOLLAN_E_NO_CARRIER, 0},
    {"NoCarrierInPhaseB", Call::kSendFax2, "nocarrier@B", "", "", TOLLAN_E_HANGUP, 0},
    {"HangupInPhaseC", Call::kSendFax2, "hangup@C=43", "", "", TOLLAN_E_HANGUP, 0},
    {"HangupInPhaseD", Call::kSendFax20, "hangup@D=50", "", "", TOLLAN_E_HANGUP, 0},
    {"NoCarrierInPhaseCClass1", Call::kSendClass1, "nocarrier@C", "", "", TOLLAN_E_ERROR, 0},
    {"HangupInPhaseBReceiving", Call::kReceive2, "hangup@B=70", "", "", TOLLAN_E_RECEIVE_FAILED, 0},
    // What the far end does.
    {"RtnForPage2", Call::kSendFax2, "", "", "rtn@2", TOLLAN_E_PAGE_REJECTED, 1},
    {"RtnForPage1Class20", Call::kSendFax20, "", "", "rtn@1", TOLLAN_E_PAGE_REJECTED, 0},
    {"RtnForPage1Class1", Call::kSendClass1, "", "", "rtn@1", TOLLAN_E_PAGE_REJECTED, 0},
    {"BadFrameCheckIsRepeated", Call::kSendClass1, "", "", "badframe@2", TOLLAN_OK, 2},
    {"LineSilentInPage1", Call::kSendFax2, "silent@1", "", "", TOLLAN_E_HANGUP, 0},
    // Page 2 went out but its EOP was never confirmed: it does not count.
    {"LineSilentInPage2Class1", Call::kSendClass1, "silent@2", "", "", TOLLAN_E_ERROR, 1},
    // Noise and line time.
    {"GarbageAmongResponses", Call::kSendFax2, "garbage", "", "", TOLLAN_OK, 2},
    {"GarbageClass1", Call::kSendClass1, "garbage", "", "", TOLLAN_OK, 2},
    {"PacedAtTheLineRate", Call::kSendFax20, "paced", "", "", TOLLAN_OK, 2},
    // Quirks.
    // The 80 s wait for DC1 ends (before the station gives up on the page)
    // and SendFax's failure exit turns that into 136.
    {"NoDc1AfterConnect", Call::kSendFax2, "", "nodc1", "", TOLLAN_E_HANGUP, 0, 100},
    {"EchoStaysOn", Call::kSendFax20, "", "echo", "", TOLLAN_OK, 2},
    {"NoCarrierInsteadOfHangupReport", Call::kSendFax2, "", "nocarrier", "", TOLLAN_E_HANGUP, 1},
    // Slow enough for the library's 6 s waits to outlast the delay.
    {"AnswersAfter300ms", Call::kSendFax2, "", "delay=300", "", TOLLAN_OK, 2, 4},
};

class FaultTest : public ::testing::TestWithParam<FaultCase> {
protected:
    // The library and the emulator on one clock that moves only while both
    // wait; the emulator's own times (its delays) at the case's ratio.
    WaitClock clock{GetParam().clock};
    SimOnWaitClock sim_clock{clock};
    SimFixture f;
    int modem = -1;
    std::string page1 = MakePage(60, 9), page2 = MakePage(70, 10);
    std::unique_ptr<ProfileFile> profile;

    void SetUp() override {
        const FaultCase &c = GetParam();
        SimFaults modem_faults, station_faults;
        SimQuirks quirks;
        ASSERT_TRUE(SimParseFaults(c.modem_faults, &modem_faults));
        ASSERT_TRUE(SimParseFaults(c.station_faults, &station_faults));
        ASSERT_TRUE(SimParseQuirks(c.modem_quirks, &quirks));
        modem = f.AddModem("100", kSimAllClasses, quirks);
        f.AddAnsweringStation("200", station_faults);
        ASSERT_TRUE(SimStart(f.sim));
        profile = std::make_unique<ProfileFile>("[Ports]\nCOM1=" + f.Device(modem) + "\n");
        WriteFile(f.dir + "/doc_p1.g3", page1);
        WriteFile(f.dir + "/doc_p2.g3", page2);
        // The faults strike the call, not the opening of the port.
        faults_ = modem_faults;
    }

    int32_t Open(int modem_class) {
        int32_t ch = -1;
        SetModemClass(0, modem_class);
        EXPECT_EQ(PortOpen(&ch, 1, "ATZ"), TOLLAN_OK);
        return ch;
    }

    SimFaults faults_;
};

TEST_P(FaultTest, ReturnCodeThenTheChannelOpensAgain) {
    const FaultCase &c = GetParam();
    int modem_class = c.call == Call::kSendClass1 ? TOLLAN_CLASS_1
                      : c.call == Call::kSendFax20 ? TOLLAN_CLASS_2_0 : TOLLAN_CLASS_2;
    int32_t ch = Open(modem_class);
    ASSERT_GE(ch, 0);
    SimSetModemFaults(f.sim, modem, faults_);
    std::string base = f.dir + "/doc.g3";
    uint16_t rc = TOLLAN_OK;
    int16_t pages = 0;
    switch (c.call) {
    case Call::kSendFax2: case Call::kSendFax20:
        rc = SendFax(ch, "200", base.c_str(), 2);
        GetNumOfPagesSent(ch, &pages);
        break;
    case Call::kSendClass1:
        rc = SendClass1Fax(ch, "200", base.c_str(), 2);
        GetNumOfPagesSent(ch, &pages);
        break;
    case Call::kReceive2: {
        int caller = f.AddCallingStation("300", {f.dir + "/doc_p1.g3"});
        ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
        int32_t ring = 0;
        for (int i = 0; i < 500 && ring != 1; ++i) {
            WaitForRing(ch, &ring);
            if (ring != 1) PlatSleep(100);
        }
        ASSERT_EQ(ring, 1);
        rc = ReceiveFax(ch, (f.dir + "/in.g3").c_str(), &pages);
        break;
    }
    }
    EXPECT_EQ(rc, c.expected);
    if (c.call != Call::kReceive2) {
        EXPECT_EQ(pages, c.pages_sent);
    }
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);

    // The same port opens again and the modem answers.
    SimSetModemFaults(f.sim, modem, SimFaults{});
    int32_t again = Open(modem_class);
    EXPECT_GE(again, 0);
    EXPECT_EQ(PortClose(again), TOLLAN_OK);
}

INSTANTIATE_TEST_SUITE_P(Emulator, FaultTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase> &i) { return std::string(i.param.name); });

// A modem that hands received data over with each byte's bits reversed: the
// library stores what it is given.
TEST(ReversedBits, ReceivedPagesComeOutReversed) {
    WaitClock clock(40);
    SimOnWaitClock sim_clock(clock);
    SimFixture f;
    SimQuirks reversed;
    reversed.reversed_bits = true;
    int modem = f.AddModem("100", kSimAllClasses, reversed);
    std::string page = MakePage(60, 11);
    WriteFile(f.dir + "/out_p1.g3", page);
    int caller = f.AddCallingStation("300", {f.dir + "/out_p1.g3"});
    ASSERT_TRUE(SimStart(f.sim));
    ProfileFile profile("[Ports]\nCOM1=" + f.Device(modem) + "\n");
    int32_t ch = -1;
    SetModemClass(0, TOLLAN_CLASS_2_0);
    ASSERT_EQ(PortOpen(&ch, 1, "ATZ"), TOLLAN_OK);
    ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
    int32_t ring = 0;
    for (int i = 0; i < 500 && ring != 1; ++i) {
        WaitForRing(ch, &ring);
        if (ring != 1) PlatSleep(100);
    }
    int16_t pages = 0;
    EXPECT_EQ(ReceiveFax(ch, (f.dir + "/in.g3").c_str(), &pages), TOLLAN_OK);
    EXPECT_EQ(pages, 1);
    std::string got = ReadFile(f.dir + "/in_p1.g3");
    ASSERT_EQ(got.size(), page.size());
    for (size_t i = 0; i < got.size(); ++i) {
        uint8_t b = static_cast<uint8_t>(page[i]), r = 0;
        for (int k = 0; k < 8; ++k)
            if (b & (1 << k)) r = static_cast<uint8_t>(r | (0x80 >> k));
        ASSERT_EQ(static_cast<uint8_t>(got[i]), r) << "byte " << i;
    }
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);
}

}  // namespace

namespace {

// The phase-targeted words: a phase, with a page for C and D.
TEST(FaultWords, PhaseTargetedFaultsParse) {
    SimFaults f;
    ASSERT_TRUE(SimParseFaults("silent@C2", &f));
    EXPECT_EQ(f.silent_phase, SimPhase::kC);
    EXPECT_EQ(f.fault_page, 2);
    ASSERT_TRUE(SimParseFaults("garbage@T", &f));
    EXPECT_EQ(f.garbage_phase, SimPhase::kTraining);
    EXPECT_FALSE(f.garbage);
    ASSERT_TRUE(SimParseFaults("hangup@D1=52", &f));
    EXPECT_EQ(f.fail_phase, SimPhase::kD);
    EXPECT_EQ(f.fault_page, 1);
    EXPECT_EQ(f.fail_code, 52);
    ASSERT_TRUE(SimParseFaults("nocarrier@end", &f));
    EXPECT_EQ(f.fail_phase, SimPhase::kEnd);
    EXPECT_EQ(f.fail_code, -1);
    // The older forms keep their meaning.
    ASSERT_TRUE(SimParseFaults("silent@1,garbage", &f));
    EXPECT_EQ(f.silent_page, 1);
    EXPECT_EQ(f.silent_phase, SimPhase::kNone);
    EXPECT_TRUE(f.garbage);
    for (const char *bad : {"silent@C0", "garbage@X", "nocarrier@Cx", "hangup@end", "silent@"})
        EXPECT_FALSE(SimParseFaults(bad, &f)) << bad;
}

}  // namespace
