// Error correction and codings in the class 2 and 2.0 dialogue against a
// scripted modem: the capability lists' DF and EC values, and a call whose
// modem reports no session parameters keeping its page as it came.
#include "class2/class2.h"
#include "class2_fixture.h"
#include "engine/tollan.h"
#include "image/line_coding.h"

namespace {

const std::string kOk = "\r\nOK\r\n";

using CodingParamsTest = Class2Test;

struct Offer {
    int16_t modem_class;
    int16_t ecm;
    int16_t codings;
    const char *command;  // the capability list FaxSetFDCC sends with VR 1
};

// Class 2 names the frame size in EC (1: 64 octets, 2: 256); T.32's EC 1
// asks for error correction. DF is the best coding offered; MMR only with ECM.
constexpr Offer kOffers[] = {
    {TOLLAN_CLASS_2, TOLLAN_ECM_256, 7, "AT+FDCC=1,5,0,2,3,2,0,0\r\n"},
    {TOLLAN_CLASS_2, TOLLAN_ECM_64, 3, "AT+FDCC=1,5,0,2,1,1,0,0\r\n"},
    {TOLLAN_CLASS_2, TOLLAN_ECM_OFF, 7, "AT+FDCC=1,5,0,2,1,0,0,0\r\n"},
    {TOLLAN_CLASS_2, TOLLAN_ECM_OFF, 5, "AT+FDCC=1,5,0,2,0,0,0,0\r\n"},
    {TOLLAN_CLASS_2_0, TOLLAN_ECM_64, 7, "AT+FCC=1,5,0,2,3,1,0,0\r\n"},
    {TOLLAN_CLASS_2_0, TOLLAN_ECM_256, 1, "AT+FCC=1,5,0,2,0,1,0,0\r\n"},
};

TEST_F(CodingParamsTest, CapabilityListsOfferTheChannelsCodingsAndErrorCorrection) {
    std::string expected;
    for (const Offer &o : kOffers) {
        modem_.On(o.command, kOk);
        expected += o.command;
    }
    const int32_t ch = Attach(TOLLAN_CLASS_2);
    for (const Offer &o : kOffers) {
        g_channels[ch].modem_class = o.modem_class;
        g_channels[ch].error_correction = o.ecm;
        g_channels[ch].codings = o.codings;
        EXPECT_EQ(TOLLAN_OK, FaxSetFDCC(ch, 1, 0)) << o.command;
    }
    EXPECT_EQ(expected, modem_.Written());
}

TEST_F(CodingParamsTest, TheReceivingSetUpOffersThemToo) {
    modem_.On("AT+FCC=1,5,0,2,3,1,0,0\r\n", kOk).On("AT+FNR=1,1,1,0\r\n", kOk).On("AT+FLO=2\r\n", kOk);
    const int32_t ch = Attach(TOLLAN_CLASS_2_0);
    g_channels[ch].error_correction = TOLLAN_ECM_256;
    g_channels[ch].codings = 7;
    EXPECT_EQ(TOLLAN_OK, FaxSetUpReception(ch));
    EXPECT_TRUE(ScriptDone()) << modem_.Failure();
}

// A modem without error correction or MMR refuses the list that asks for
// them: it is asked again for what it had always been offered.
TEST_F(CodingParamsTest, AModemThatRefusesTheCodingsGetsThePlainList) {
    const std::string kError = "\r\nERROR\r\n";
    modem_.On("AT+FCC=1,5,0,2,3,1,0,0\r\n", kError)
        .On("AT+FCC=1,5,0,2,0,0,0,0\r\n", kOk)
        .On("AT+FCR=1\r\n", kOk)
        .On("AT+FDCC=1,5,0,2,3,2,0,0\r\n", kError)
        .On("AT+FDCC=1,5,0,2,0,0,0,0\r\n", kOk)
        .On("AT+FBOR=1\r\n", kOk)
        .On("AT+FDCC=1,5,0,2,0,0,0,0\r\n", kError);
    const int32_t ch = Attach(TOLLAN_CLASS_2_0);
    g_channels[ch].error_correction = TOLLAN_ECM_256;
    g_channels[ch].codings = 7;
    EXPECT_EQ(TOLLAN_OK, FaxSetFDCC(ch, 1, 0));
    g_channels[ch].modem_class = TOLLAN_CLASS_2;
    EXPECT_EQ(TOLLAN_OK, FaxSetUpReception(ch));
    EXPECT_TRUE(Traced("SendCapabilities: DF 3 and EC 2 refused; MH without error correction offered"));
    // With the defaults a refusal is final, as it always was.
    g_channels[ch].error_correction = TOLLAN_ECM_OFF;
    g_channels[ch].codings = TOLLAN_COMPRESS_MH;
    EXPECT_EQ(TOLLAN_E_CAPABILITIES, FaxSetFDCC(ch, 1, 0));
    EXPECT_TRUE(ScriptDone()) << modem_.Failure();
}

// The earlier call was MMR; this one's modem says nothing of its session,
// so its page is taken for MH and stored byte for byte.
TEST_F(CodingParamsTest, AnEarlierCallsCodingDoesNotDecideThisOnes) {
    const std::string page("\x00\x80\x12\x34\x56\x78\x9a\x00\x80\x00\x08\x00\x80", 13);
    modem_.On("AT+FCR=1\r\n", kOk)
        .On("AT+FDCC=1,5,0,2,0,0,0,0\r\n", kOk)
        .On("AT+FBOR=1\r\n", kOk)
        .On("ATA\r\n", "\r\n+FCON\r\n\r\nOK\r\n")
        .On("AT+FDR\r\n", "\r\nCONNECT\r\n")
        .On("\x12", DleDoubled(page) + "\x10\x03")
        .Send("\r\n+FPTS:1\r\n\r\n+FET:2\r\n\r\nOK\r\n")
        .On("AT+FDR\r\n", "\r\n+FHNG:0\r\n\r\nOK\r\n");
    const int32_t ch = Attach(TOLLAN_CLASS_2);
    g_channels[ch].reports.session_params[4] = 3;  // DF of the earlier call
    g_channels[ch].reports.session_params[5] = 2;
    int16_t pages = 0;
    EXPECT_EQ(TOLLAN_OK, ReceiveFax(ch, Path("in.g3").c_str(), &pages));
    EXPECT_EQ(1, pages);
    EXPECT_EQ(page, ReadFileBytes(Path("in_p1.g3")));
}

// The modem reports MR: the page goes coded so, from the data after a
// GhostScript header, with DLE doubled, and nothing of the header goes.
TEST_F(CodingParamsTest, AnMrSessionGetsThePageFileCodedAsMr) {
    std::vector<uint8_t> mh{0x00, 0x80};
    G3Encoder e;
    StartG3Encoder(&e, kCodingMh, 1, 1728, &mh);
    std::vector<uint8_t> row(216, 0);
    for (int y = 0; y < 120; ++y) {
        row[static_cast<size_t>(y % 200)] = 0x10;  // a DLE in the dots, a slanting line
        EncodeG3Row(&e, row.data());
    }
    FinishG3Encoder(&e);
    std::string header(64, '\0');
    header.replace(1, 17, std::string("PC Research, Inc\0", 17));
    header[29] = 1;  // fine
    WriteFileBytes(Path("doc_p1.g3"), header + std::string(mh.begin(), mh.end()));
    std::vector<uint8_t> mr;
    ASSERT_EQ(TOLLAN_OK, CodePageForLine(mh.data(), mh.size(), LineCodingOf(1, 1, 0), &mr));
    const std::string line(mr.begin(), mr.end());

    modem_.On("AT+FCLASS=2.0\r\n", kOk)
        .On("AT+FLI=\"TOLLAN TEST\"\r\n", kOk)
        .On("AT+FCC=1,5,0,2,1,0,0,0\r\n", kOk)
        .On("AT+FNR=1,1,1,0\r\n", kOk)
        .On("AT+FLO=2\r\n", kOk)
        .On("ATDT5551234\r\n", "\r\n+FCO\r\n\r\nOK\r\n")
        .On("AT+FDT\r\n", "\r\n+FCS:1,5,0,2,1,0,0,0\r\n\r\nCONNECT\r\n")
        .On(DleDoubled(line) + "\x10.", "\r\n+FPS:1\r\n\r\n+FHS:0\r\n\r\nOK\r\n");
    const int32_t ch = Attach(TOLLAN_CLASS_2_0);
    g_channels[ch].codings = TOLLAN_COMPRESS_MH | TOLLAN_COMPRESS_MR;
    EXPECT_EQ(TOLLAN_OK, SendFax(ch, "5551234", Path("doc.g3").c_str(), 1));
    EXPECT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_TRUE(Traced("FaxSessionLineCoding: pages go on the line as MR (DF 1, EC 0)"));
}

}  // namespace
