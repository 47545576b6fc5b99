// Called stations that never let a call end: each repeat they can draw out
// is bounded, and the call ends with a code that says why.
#include <thread>

#include "class1_fixture.h"

namespace {

// DCS byte 2 (fine resolution), training command and length by bit-rate code.
struct Rate {
    uint8_t dcs_byte2;
    const char *training;
    size_t zeros;
};
const Rate kRates[] = {{0x42, "AT+FTM=24\r", 450},   {0x4A, "AT+FTM=48\r", 900},   {0x4E, "AT+FTM=72\r", 1350},
                       {0x46, "AT+FTM=96\r", 1800},  {0x6A, "AT+FTM=121\r", 2250}, {0x62, "AT+FTM=145\r", 2700}};

class HostileStationTest : public Class1Test {
protected:
    uint16_t Send(int pages) {
        pages_.Write("h_p1.g3", kPage);
        pages_.Write("h_p2.g3", kPage);
        return SendClass1Fax(Attach(), "5551234", pages_.Path("h.tif").c_str(), pages);
    }
    // TSI, DCS at the rate and its training check.
    static Dialogue &Train(Dialogue &d, int rate) {
        const Rate &r = kRates[rate];
        return d.TsiDcs(IdentityField("12345"), Bytes({0x00, r.dcs_byte2, 0x88, 0x00})).Training(r.training, r.zeros);
    }
};

TEST_F(HostileStationTest, FttForeverStepsDownEveryRateThenGivesUp) {
    Dialogue d(modem_);
    d.DialAndTrainAtV17();
    for (int rate = 5; rate >= 0; --rate) {
        if (rate < 5) Train(d, rate);  // a new DCS announces the lower rate
        for (int retry = 1; retry < kTrainingTriesPerRate; ++retry)
            d.Deliver(ModemFrame(kFcfFtt)).Training(kRates[rate].training, kRates[rate].zeros);
        d.Deliver(ModemFrame(kFcfFtt));
    }
    d.Frame(kFcfDcn).Hangup();
    EXPECT_EQ(Send(1), TOLLAN_E_RETRIES);
    ExpectDialogue(d);
    EXPECT_EQ(g_channels[0].bit_rate, 5);  // a bad line does not lower the next call's rate
    EXPECT_TRUE(Traced("FrameSense: training failed at every bit rate"));
}

TEST_F(HostileStationTest, DisRepeatedPastTheLimitEndsTheCall) {
    Dialogue d(modem_);
    d.DialAndTrainAtV17();
    for (int repeat = 0; repeat < kMaxCommandRepeats; ++repeat) Train(d.Deliver(kDisV17), 5);
    d.Deliver(kDisV17).Frame(kFcfDcn).Hangup();
    EXPECT_EQ(Send(1), TOLLAN_E_RETRIES);
    ExpectDialogue(d);
    EXPECT_TRUE(Traced("FrameSense: frame 0x80 repeated 4 times"));
}

TEST_F(HostileStationTest, EomForeverEndsAfterTheLastRound) {
    Dialogue d(modem_);
    d.DialAndTrainAtV17().Deliver(ModemFrame(kFcfEom));
    for (int round = 0; round < kMaxEomRounds; ++round)
        d.Frame(kFcfMcf).On("AT+FTH=3\r", kConnect + ModemFrame(kFcfEom));
    d.Frame(kFcfDcn).Hangup();
    EXPECT_EQ(Send(1), TOLLAN_E_RETRIES);
    ExpectDialogue(d);
    EXPECT_TRUE(Traced("FrameSense: more than 100 EOM rounds"));
}

TEST_F(HostileStationTest, RtpConfirmsThePageAndTrainsAgainBeforeTheNext) {
    Dialogue d(modem_);
    d.DialAndTrainAtV17()
        .Deliver(ModemFrame(kFcfCfr))
        .Page("AT+FTM=146\r", kPage)
        .Frame(kFcfMps)
        .Deliver(ModemFrame(kFcfRtp));
    Train(d, 5)
        .Deliver(ModemFrame(kFcfCfr))
        .Page("AT+FTM=146\r", kPage)
        .Frame(kFcfEop)
        .Deliver(ModemFrame(kFcfRtp))
        .Frame(kFcfDcn)
        .Hangup();
    EXPECT_EQ(Send(2), TOLLAN_OK);
    ExpectDialogue(d);
    EXPECT_EQ(g_channels[0].pages_sent, 2);
}

TEST_F(HostileStationTest, AnAbortWhileAFrameIsAwaitedHangsUp) {
    clock_.reset();  // real time: the frame wait outlasts the abort by far
    Dialogue d(modem_);
    d.DialAndTrainAtV17().On("AT+FRH=3\r", kConnect);  // then nothing
    const size_t before_hangup = d.Host().size();
    d.Hangup();
    std::thread host([this, before_hangup] {
        for (int i = 0; i < 5000 && modem_.Written().size() < before_hangup; ++i) usleep(1000);
        AbortCall(0);
    });
    const uint16_t code = Send(1);
    host.join();
    EXPECT_EQ(code, TOLLAN_E_ABORTED);
    ExpectDialogue(d);
}

}  // namespace
