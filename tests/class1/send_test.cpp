// Whole class 1 calls against a scripted modem, every byte the host writes
// compared with the dialogue: training, pages, post-page frames, the end.
#include "class1_fixture.h"

namespace {

class SendTest : public Class1Test {
protected:
    uint16_t Send(const std::string &base, int pages) {
        const int32_t ch = Attach();
        return SendClass1Fax(ch, "5551234", pages_.Path(base).c_str(), pages);
    }
    const FaxChannel &Channel() const { return g_channels[0]; }
};

TEST_F(SendTest, DefaultSettingsAgainstAV17Receiver) {
    pages_.Write("letter_p1.g3", kPage + kAfterRtc);
    Dialogue d(modem_);
    d.DialAndTrainAtV17()
        .Deliver(ModemFrame(kFcfCfr))
        .Page("AT+FTM=146\r", kPage)
        .Frame(kFcfEop)
        .Deliver(ModemFrame(kFcfMcf))
        .Frame(kFcfDcn)
        .Hangup();
    EXPECT_EQ(Send("letter.tif", 1), TOLLAN_OK);
    ExpectDialogue(d);
    EXPECT_EQ(Channel().pages_sent, 1);
    EXPECT_EQ(Channel().bit_rate, 5);
    EXPECT_TRUE(Traced("setting 14400 speed"));
    EXPECT_TRUE(Traced("DCS sending 0 62 88 0"));
    for (const char *phase : {"ChangePhase: waiting for DIS -> training", "ChangePhase: training -> waiting for CFR",
                              "ChangePhase: waiting for CFR -> sending a page",
                              "ChangePhase: sending a page -> waiting for the post-page response",
                              "ChangePhase: waiting for the post-page response -> disconnecting",
                              "ChangePhase: disconnecting -> hanging up", "ChangePhase: hanging up -> done"})
        EXPECT_TRUE(Traced(phase)) << phase;
}

TEST_F(SendTest, APageFileWithoutRtcGoesOutWithOne) {
    pages_.Write("bare_p1.g3", kPageLines);
    Dialogue d(modem_);
    d.DialAndTrainAtV17()
        .Deliver(ModemFrame(kFcfCfr))
        .Page("AT+FTM=146\r", kPageLines + kRtc)
        .Frame(kFcfEop)
        .Deliver(ModemFrame(kFcfMcf))
        .Frame(kFcfDcn)
        .Hangup();
    EXPECT_EQ(Send("bare.tif", 1), TOLLAN_OK);
    ExpectDialogue(d);
}

struct RateCase {
    uint8_t dis_rate_bits;
    int16_t bit_rate;
    int32_t resolution;
    uint8_t dcs_byte2;
    const char *training;
    size_t zeros;
    const char *page;
    int16_t bit_rate_after;
};

class RateTest : public SendTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(RateTest, TheReceiversModulationsSetRateTrainingAndPageCommands) {
    const RateCase &r = GetParam();
    pages_.Write("r_p1.g3", kPage);
    Dialogue d(modem_);
    d.Dial(ModemFrame(kFcfDis, Bytes({0x00, static_cast<uint8_t>(0x42 | r.dis_rate_bits), 0x88, 0x00})))
        .TsiDcs(IdentityField("12345"), Bytes({0x00, r.dcs_byte2, 0x88, 0x00}))
        .Training(r.training, r.zeros)
        .Deliver(ModemFrame(kFcfCfr))
        .Page(r.page, kPage)
        .Frame(kFcfEop)
        .Deliver(ModemFrame(kFcfMcf))
        .Frame(kFcfDcn)
        .Hangup();
    const int32_t ch = Attach();
    g_channels[ch].bit_rate = r.bit_rate;
    g_channels[ch].resolution = r.resolution;
    EXPECT_EQ(SendClass1Fax(ch, "5551234", pages_.Path("r.tif").c_str(), 1), TOLLAN_OK);
    ExpectDialogue(d);
    EXPECT_EQ(Channel().bit_rate, r.bit_rate_after);
}

INSTANTIATE_TEST_SUITE_P(Dis, RateTest,
                         ::testing::Values(
                             // V.27 ter only: 4800 bit/s whatever was set.
                             RateCase{0x08, 5, 0, 0x4A, "AT+FTM=48\r", 900, "AT+FTM=48\r", 1},
                             // V.29: up to 9600 bit/s, raised from 7200.
                             RateCase{0x0C, 2, 0, 0x46, "AT+FTM=96\r", 1800, "AT+FTM=96\r", 3},
                             // V.17 at 12000: long training, short training for the page.
                             RateCase{0x2C, 4, 1, 0x2A, "AT+FTM=121\r", 2250, "AT+FTM=122\r", 4},
                             RateCase{0x2C, 4, 0, 0x6A, "AT+FTM=121\r", 2250, "AT+FTM=122\r", 4}));

TEST_F(SendTest, FttIsAnsweredByATrainingCheckAlone) {
    pages_.Write("t_p1.g3", kPage);
    Dialogue d(modem_);
    d.DialAndTrainAtV17()
        .Deliver(ModemFrame(kFcfFtt))
        .Training("AT+FTM=145\r", 2700)  // no TSI or DCS again
        .Deliver(ModemFrame(kFcfCfr))
        .Page("AT+FTM=146\r", kPage)
        .Frame(kFcfEop)
        .Deliver(ModemFrame(kFcfMcf))
        .Frame(kFcfDcn)
        .Hangup();
    EXPECT_EQ(Send("t.tif", 1), TOLLAN_OK);
    ExpectDialogue(d);
}

TEST_F(SendTest, DcnBeforeTheLastPageIsConfirmedIsNotASuccess) {
    pages_.Write("n_p1.g3", kPage);
    Dialogue early(modem_);
    early.DialAndTrainAtV17()
        .Deliver(ModemFrame(kFcfDcn))
        .Hangup();
    EXPECT_EQ(Send("n.tif", 1), TOLLAN_E_UNCONFIRMED);
    ExpectDialogue(early);
    EXPECT_EQ(Channel().pages_sent, 0);
}

TEST_F(SendTest, APageCountsOnlyOnceConfirmed) {
    // Page 1 is confirmed; the station answers page 2's EOP with DCN.
    pages_.Write("u_p1.g3", kPage);
    pages_.Write("u_p2.g3", kPage);
    Dialogue d(modem_);
    d.DialAndTrainAtV17()
        .Deliver(ModemFrame(kFcfCfr))
        .Page("AT+FTM=146\r", kPage)
        .Frame(kFcfMps)
        .Deliver(ModemFrame(kFcfMcf))
        .Page("AT+FTM=146\r", kPage)
        .Frame(kFcfEop)
        .Deliver(ModemFrame(kFcfDcn))
        .Hangup();
    EXPECT_EQ(Send("u.tif", 2), TOLLAN_E_UNCONFIRMED);
    ExpectDialogue(d);
    EXPECT_EQ(Channel().pages_sent, 1);
}

TEST_F(SendTest, TwoPagesGoWithMpsThenEop) {
    const std::string page2 = Bytes({0x00, 0x80, 0x21, 0x43, 0x65}) + kRtc;
    pages_.Write("two_p1.g3", kPage);
    pages_.Write("two_p2.g3", page2);
    Dialogue d(modem_);
    // The called station names itself first, its number written in groups.
    d.Dial(ModemFrame(kFcfCsi, IdentityField("+49 30 1234"), kControlNotFinal))
        .Deliver(kDisV17)
        .TsiDcs(IdentityField("12345"), kDcsDefault)
        .Training("AT+FTM=145\r", 2700)
        .Deliver(ModemFrame(kFcfCfr))
        .Page("AT+FTM=146\r", kPage)
        .Frame(kFcfMps)
        .Deliver(ModemFrame(kFcfMcf))
        .Page("AT+FTM=146\r", page2)
        .Frame(kFcfEop)
        .Deliver(ModemFrame(kFcfMcf))
        .Frame(kFcfDcn)
        .Hangup();
    EXPECT_EQ(Send("two.tif", 2), TOLLAN_OK);
    ExpectDialogue(d);
    EXPECT_EQ(Channel().pages_sent, 2);
    EXPECT_STREQ(Channel().reports.remote_id, "+49 30 1234");  // spaces inside kept, padding trimmed
}

TEST_F(SendTest, ARejectedPageEndsTheCallWithDcnAndIsNotCounted) {
    pages_.Write("rej_p1.g3", kPage);
    pages_.Write("rej_p2.g3", kPage);
    Dialogue d(modem_);
    d.DialAndTrainAtV17()
        .Deliver(ModemFrame(kFcfCfr))
        .Page("AT+FTM=146\r", kPage)
        .Frame(kFcfMps)
        .Deliver(ModemFrame(kFcfRtn))
        .Frame(kFcfDcn)
        .Hangup();
    EXPECT_EQ(Send("rej.tif", 2), TOLLAN_E_PAGE_REJECTED);
    ExpectDialogue(d);
    EXPECT_EQ(Channel().pages_sent, 0);
}

TEST_F(SendTest, AMissingSecondPageFileEndsTheCallWithItsCode) {
    pages_.Write("gap_p1.g3", kPage);
    Dialogue d(modem_);
    d.DialAndTrainAtV17()
        .Deliver(ModemFrame(kFcfCfr))
        .Page("AT+FTM=146\r", kPage)
        .Frame(kFcfMps)
        .Deliver(ModemFrame(kFcfMcf))
        .Frame(kFcfDcn)  // the modem is left in command mode, and the call ends
        .Hangup();
    EXPECT_EQ(Send("gap.tif", 2), TOLLAN_E_NO_PAGE_FILE);
    ExpectDialogue(d);
    EXPECT_EQ(Channel().pages_sent, 1);
    EXPECT_TRUE(Traced("SendFaxFile: failed 141"));
}

TEST_F(SendTest, EomIsConfirmedAndTheFollowingFrameTakenWithoutACommand) {
    pages_.Write("e_p1.g3", kPage);
    Dialogue d(modem_);
    d.DialAndTrainAtV17()
        .Deliver(ModemFrame(kFcfEom))
        .Frame(kFcfMcf)
        .On("AT+FTH=3\r", kConnect + ModemFrame(kFcfCsi, IdentityField("999")))
        .Deliver(ModemFrame(kFcfDcn))
        .Hangup();
    EXPECT_EQ(Send("e.tif", 1), TOLLAN_E_UNCONFIRMED);
    ExpectDialogue(d);
    EXPECT_STREQ(Channel().reports.remote_id, "999");
    EXPECT_TRUE(Traced("**************"));
}

TEST_F(SendTest, FramesOfACallingStationAreReadOrConfirmed) {
    Dialogue d(modem_);
    // NSF carries an identity from its ninth byte.
    d.Dial(ModemFrame(kFcfNsf, "VENDOR01" + IdentityField("4711"), kControlNotFinal))
        .Deliver(ModemFrame(kFcfTsiX, IdentityField("0815")))
        .Deliver(ModemFrame(kFcfDcs, Bytes({0x00, 0x62, 0x88, 0x00})))
        .Deliver(ModemFrame(0x99, "Z"))  // unknown: passed over
        .Deliver(ModemFrame(kFcfMps))
        .Frame(kFcfMcf)
        .Deliver(ModemFrame(kFcfEop))
        .Frame(kFcfMcf)
        .Deliver(ModemFrame(kFcfRtp))
        .Frame(kFcfMcf)
        .Deliver(ModemFrame(kFcfDcnX))
        .Hangup();
    EXPECT_EQ(Send("none.tif", 1), TOLLAN_E_UNCONFIRMED);  // no page went out
    ExpectDialogue(d);
    EXPECT_STREQ(Channel().reports.remote_id, "0815");
    EXPECT_TRUE(Traced("CopyFIF: remote = 4711"));
    EXPECT_TRUE(Traced("FrameSense: unknown frame - 0x13, 0x99, 0x5a"));
}

TEST_F(SendTest, SetUpAndDiallingFailures) {
    modem_.On("AT+FCLASS=1\r\n", "\r\nERROR\r\n")
        .On("AT+FCLASS=1\r\n", kOk).On("AT+FLO=2\r\n", "\r\nERROR\r\n").On("ATDP5551234\r\n", "\r\nBUSY\r\n");
    const int32_t ch = Attach();
    EXPECT_EQ(SendClass1Fax(ch, "5551234", "x.tif", 1), TOLLAN_E_CLASS);
    g_channels[ch].line_type = 1;
    EXPECT_EQ(SendClass1Fax(ch, "5551234", "x.tif", 1), TOLLAN_E_BUSY);
    EXPECT_TRUE(Traced("fail to set flow control"));
    EXPECT_TRUE(Traced("SendFax: ダイアル 5551234 失敗 (ERROR / NO CARRIER)"));
    EXPECT_EQ(Channel().modem_class, 1);
}

TEST_F(SendTest, NoFirstFrameAfterConnect) {
    UseClock(100);
    modem_.On("AT+FCLASS=1\r\n", kOk).On("AT+FLO=2\r\n", kOk).On("ATDT1\r\n", kConnect);
    const int32_t ch = Attach();
    EXPECT_EQ(SendClass1Fax(ch, "1", "x.tif", 1), TOLLAN_E_FIRST_FRAME);
}

TEST_F(SendTest, ArgumentsAreCheckedBeforeTheModemIsTouched) {
    EXPECT_EQ(SendClass1Fax(20, "1", "x.tif", 1), TOLLAN_E_CHANNEL);
    EXPECT_EQ(SendClass1Fax(-1, "1", "x.tif", 1), TOLLAN_E_CHANNEL);
    EXPECT_EQ(SendClass1Fax(3, "1", "x.tif", 1), TOLLAN_E_NOT_OPEN);
    const int32_t ch = Attach();
    EXPECT_EQ(SendClass1Fax(ch, "1", "x.tif", 0), TOLLAN_E_ARGUMENT);
    EXPECT_EQ(SendClass1Fax(ch, "1", "x.tif", 65536), TOLLAN_E_ARGUMENT);  // low 16 bits: 0
    EXPECT_EQ(SendClass1Fax(ch, "", "x.tif", 1), TOLLAN_E_ARGUMENT);
    EXPECT_EQ(SendClass1Fax(ch, nullptr, "x.tif", 1), TOLLAN_E_ARGUMENT);
    EXPECT_EQ(SendClass1Fax(ch, "1", "", 1), TOLLAN_E_ARGUMENT);
    EXPECT_EQ(SendClass1Fax(ch, "1", nullptr, 1), TOLLAN_E_ARGUMENT);
    EXPECT_EQ(SendClass1Fax(ch, std::string(122, '5').c_str(), "x.tif", 1), TOLLAN_E_ARGUMENT);
    EXPECT_EQ(SendClass1Fax(ch, "1", (std::string(256, 'f') + ".tif").c_str(), 1), TOLLAN_E_ARGUMENT);
    usleep(20000);
    EXPECT_EQ(modem_.Written(), "");
}

TEST(TsiIdentity, ReversedAndPaddedWithNothingLeftOfALongerOne) {
    uint8_t id[20];
    BuildTsiId(id, "12345");
    EXPECT_EQ(std::string(id, id + 20), "54321" + std::string(15, ' '));
    BuildTsiId(id, "678");
    EXPECT_EQ(std::string(id, id + 20), "876" + std::string(17, ' '));
    BuildTsiId(id, "ABCDEFGHIJKLMNOPQRSTUVWXY");  // 25: the last 20 characters
    EXPECT_EQ(std::string(id, id + 20), "YXWVUTSRQPONMLKJIHGF");
}

TEST(DcsCoding, DcsRateReadsBackTheRateBitsOfEveryCode) {
    for (int rate = 0; rate < kBitRateCodes; ++rate) {
        uint8_t fif[4] = {0x00, 0x46, 0x88, 0x00};
        SetRateBits(fif, rate);
        EXPECT_EQ(DcsRate(fif), rate);
    }
    const uint8_t v17_and_v29[4] = {0x00, 0x2C, 0x88, 0x00};  // a DIS offer, no DCS choice
    EXPECT_EQ(DcsRate(v17_and_v29), -1);
}

}  // namespace
