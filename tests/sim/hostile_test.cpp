// The emulator's hostile ends, driven by a plain host or by its own
// stations: a babbling modem never ends a line, an endless page never ends,
// a station that rejects every training check or answers every post-page
// message with EOM never confirms a page.
#include <gtest/gtest.h>

#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

SimFaults Faults(const char *words) {
    SimFaults f;
    EXPECT_TRUE(SimParseFaults(words, &f)) << words;
    return f;
}

// Reads until `bytes` have arrived or two seconds have passed.
std::string ReadAtLeast(PtyClient &host, size_t bytes) {
    std::string all;
    for (int round = 0; round < 20 && all.size() < bytes; ++round) all += host.Drain(100);
    return all;
}

TEST(HostileWords, Parse) {
    SimFaults f = Faults("babble@C2,endlesspage,fttforever,eomforever");
    EXPECT_EQ(f.babble_phase, SimPhase::kC);
    EXPECT_EQ(f.fault_page, 2);
    EXPECT_FALSE(f.babble);
    EXPECT_TRUE(f.endless_page && f.ftt_forever && f.eom_forever);
    EXPECT_TRUE(Faults("babble").babble);
    EXPECT_FALSE(SimParseFaults("babble@Q", &f));
}

// From the port's opening, then from the dial on: text without a line end,
// as fast as the host reads; the modem answers again once the port is closed
// and the fault gone.
TEST(HostileModem, BabbleNeverEndsALine) {
    SimFixture f;
    int modem = f.AddModem("100", kSimAllClasses, {}, Faults("babble"));
    f.AddAnsweringStation("200");
    ASSERT_TRUE(SimStart(f.sim));
    {
        PtyClient host(f.Device(modem));
        host.Write("ATZ\r");
        std::string got = ReadAtLeast(host, 16384);
        EXPECT_GE(got.size(), 16384u);
        EXPECT_FALSE(Has(got, "\n") || Has(got, "\r"));
    }
    SimSetModemFaults(f.sim, modem, Faults("babble@dial"));
    PtyClient host(f.Device(modem));
    for (int i = 0; i < 50 && !Has(host.Command("AT\r", "OK\r\n", 100), "OK"); ++i) {
    }
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2\r"), "OK"));
    host.Write("ATD200\r");
    std::string got = ReadAtLeast(host, 16384);
    EXPECT_GE(got.size(), 16384u);
    EXPECT_FALSE(Has(got, "+FCON"));
}

// Receiving class 2: after DC2 the page's data flows on without DLE ETX.
TEST(HostileModem, EndlessPageHasNoEnd) {
    SimFixture f;
    int modem = f.AddModem("100", kSimAllClasses, {}, Faults("endlesspage"));
    ASSERT_TRUE(SimStart(f.sim));
    std::string p1 = f.dir + "/out_p1.g3";
    WriteFile(p1, MakePage(20, 3));
    int caller = f.AddCallingStation("300", {p1});
    PtyClient host(f.Device(modem));
    ASSERT_TRUE(AnswerAndAskForPage(f, host, caller));
    std::string data = ReadAtLeast(host, 65536);
    EXPECT_GE(data.size(), 65536u);
    EXPECT_FALSE(Has(data, "\x10"));
}

// Station to station: the calling station gives up and counts no page (with
// no fault, as a check of the set-up, it counts its page).
class HostileStation : public ::testing::TestWithParam<const char *> {};

TEST_P(HostileStation, NoPageIsConfirmed) {
    SimFixture f;
    f.AddAnsweringStation("200", Faults(GetParam()));
    ASSERT_TRUE(SimStart(f.sim));
    std::string p1 = f.dir + "/out_p1.g3";
    WriteFile(p1, MakePage(20, 4));
    int caller = f.AddCallingStation("300", {p1});
    ASSERT_TRUE(SimStationCall(f.sim, caller, "200"));
    ASSERT_TRUE(SimWaitStation(f.sim, caller, 1, 20000));
    EXPECT_EQ(SimStationResults(f.sim, caller).pages, *GetParam() ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Emulator, HostileStation, ::testing::Values("", "fttforever", "eomforever"),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             return *i.param ? std::string(i.param) : std::string("none");
                         });

}  // namespace
