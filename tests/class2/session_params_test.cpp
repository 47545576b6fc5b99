// The set-up commands of both sides and the post-page exchange, each on its
// own against a scripted modem.
#include "class2/class2.h"
#include "class2_fixture.h"
#include "engine/tollan.h"

namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";

using SessionParamsTest = Class2Test;

TEST_F(SessionParamsTest, Class2IdentityRefusedAsFlidIsRetriedAsFli) {
    modem_.On("AT+FLID=\"A \"quoted\" id\"\r\n", kError).On("AT+FLI=\"A \"quoted\" id\"\r\n", kOk);
    int32_t ch = Attach(TOLLAN_CLASS_2);
    EXPECT_EQ(TOLLAN_OK, FaxSetLocalID(ch, "A \"quoted\" id"));
    EXPECT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_TRUE(Traced("FaxSetLocalID: cannot set local fax id"));
}

TEST_F(SessionParamsTest, Class20IdentityIsCutTo40AndNotRetried) {
    std::string id(45, 'x');
    modem_.On("AT+FLI=\"" + id.substr(0, 40) + "\"\r\n", kError);
    int32_t ch = Attach(TOLLAN_CLASS_2_0);
    EXPECT_EQ(TOLLAN_E_LOCAL_ID, FaxSetLocalID(ch, id.c_str()));
    EXPECT_EQ("AT+FLI=\"" + id.substr(0, 40) + "\"\r\n", modem_.Written());
}

TEST_F(SessionParamsTest, MinimumSpeedIsSentInEachClassAndItsRefusalIgnored) {
    modem_.On("AT+FDCC=0,5,0,2,0,0,0,3\r\n", kOk)
        .On("AT+FMINSP=1\r\n", kError)
        .On("AT+FCC=1,2,0,2,0,0,0,3\r\n", kOk);
    int32_t ch = Attach(TOLLAN_CLASS_2);
    g_channels[ch].scan_time = 3;
    EXPECT_EQ(TOLLAN_OK, FaxSetFDCC(ch, 0, 4800));
    EXPECT_TRUE(Traced("FaxSetFDCC: +FMINSP command failed, ignoring"));

    g_channels[ch].modem_class = TOLLAN_CLASS_2_0;
    g_channels[ch].bit_rate = 2;
    EXPECT_EQ(TOLLAN_OK, FaxSetFDCC(ch, 1, 2399));  // below 2400: no minimum speed
    EXPECT_EQ("AT+FDCC=0,5,0,2,0,0,0,3\r\nAT+FMINSP=1\r\nAT+FCC=1,2,0,2,0,0,0,3\r\n", modem_.Written());
}

TEST_F(SessionParamsTest, ReceivingSetUpUsesVrZeroForAnyOtherResolution) {
    modem_.On("AT+FCR=1\r\n", kOk).On("AT+FDCC=0,1,0,2,0,0,0,7\r\n", kError);
    int32_t ch = Attach(TOLLAN_CLASS_2);
    g_channels[ch].resolution = -3;
    g_channels[ch].bit_rate = 1;
    g_channels[ch].scan_time = 7;
    EXPECT_EQ(TOLLAN_E_CAPABILITIES, FaxSetUpReception(ch));
    EXPECT_TRUE(ScriptDone()) << modem_.Failure();
}

TEST_F(SessionParamsTest, Class20PostPageAnswerWithHangupAndTrailingBlank) {
    modem_.On("\x10.", "\r\n+FPS:1,1000,0,0,0\r\n\r\n+FHS:0\r\n\r\nOK \r\n\r\nOK\r\n");
    int32_t ch = Attach(TOLLAN_CLASS_2_0);
    g_channels[ch].reports.page_status = -1;
    EXPECT_EQ(TOLLAN_OK, FaxSendPPM(ch, kPpmEop));
    EXPECT_EQ(1, g_channels[ch].reports.page_status);
    EXPECT_EQ(1, g_channels[ch].reports.hangup_seen);
    EXPECT_EQ(0, g_channels[ch].reports.hangup_code);
    EXPECT_TRUE(Traced("FaxSendPPM: 接続ハングアップ: +FHS:0 (Normal and proper end of connection)"));
}

TEST_F(SessionParamsTest, UnknownPostPageTypes) {
    modem_.On("\x10\x03", kOk);
    int32_t ch = Attach(TOLLAN_CLASS_2);
    // Class 2 ends the data and hears its answer before it finds no command.
    EXPECT_EQ(TOLLAN_E_FAILED, FaxSendPPM(ch, 7));
    EXPECT_TRUE(ScriptDone()) << modem_.Failure();
    g_channels[ch].modem_class = TOLLAN_CLASS_2_0;
    EXPECT_EQ(TOLLAN_E_FAILED, FaxSendPPM(ch, -1));
    EXPECT_EQ("\x10\x03", modem_.Written());
    EXPECT_TRUE(Traced("FaxSendPPM: ppm type 7 not implemented"));
}

TEST_F(SessionParamsTest, Class20PostPageWithoutAnswerTimesOut) {
    int32_t ch = Attach(TOLLAN_CLASS_2_0);
    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxSendPPM(ch, kPpmMps));
    EXPECT_EQ("\x10,", modem_.Written());
    EXPECT_TRUE(Traced("FaxSendPPM: PPM送信後にタイムアウト"));
}

}  // namespace
