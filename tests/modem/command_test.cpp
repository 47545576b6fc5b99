// The command exchange and the class and flow control commands, against a
// scripted modem.
#include <string>

#include "modem/modem_io.h"
#include "modem_fixture.h"
#include "platform/platform.h"

namespace {

using CommandTest = ModemTest;

TEST_F(CommandTest, PassesOverTheEchoAndOtherLines) {
    modem_.On("ATZ\r\n", "ATZ\r\r\nRING\r\nOK \r\n\r\nOK\r\n");
    int32_t ch = Attach();
    EXPECT_EQ(TOLLAN_OK, FaxModemCommand("ATZ\r\n", ch));
    EXPECT_TRUE(modem_.Done(1000)) << modem_.Failure();
    std::vector<std::string> lines = trace_->Lines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("FaxModemCommand: got line ATZ", lines[0]);
    EXPECT_EQ("FaxModemCommand: got line OK ", lines[2]);
    EXPECT_EQ("FaxModemCommand: got line OK", lines[3]);
}

TEST_F(CommandTest, ErrorGives999) {
    modem_.On("AT+FCLASS=2.0\r\n", "\r\nERROR\r\n");
    int32_t ch = Attach();
    EXPECT_EQ(TOLLAN_E_FAILED, FaxModemCommand("AT+FCLASS=2.0\r\n", ch));
}

TEST_F(CommandTest, ASilentModemGives999WithTheTwoTraceLines) {
    modem_.Expect("AT\r\n");  // then silence
    int32_t ch = Attach();
    EXPECT_EQ(TOLLAN_E_FAILED, FaxModemCommand("AT\r\n", ch));
    EXPECT_TRUE(modem_.Done(1000)) << modem_.Failure();
    std::vector<std::string> lines = trace_->Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("FaxReadByte: timeout", lines[0]);
    EXPECT_EQ("FaxReadByte returned error 117", lines[1]);
}

TEST_F(CommandTest, AModemThatPausesWithinTheTimeoutIsWaitedFor) {
    // 200 real ms is 4000 clock ms, inside io_timeout between two bytes.
    modem_.Expect("AT\r\n").Send("\r\nO").Pause(200).Send("K\r\n");
    int32_t ch = Attach();
    EXPECT_EQ(TOLLAN_OK, FaxModemCommand("AT\r\n", ch));
}

TEST_F(CommandTest, SelectClassByRequestedClass) {
    struct Case {
        int16_t requested;
        bool accepts_2_0;
        bool accepts_2;
        const char *sent;
        int16_t result;
    };
    const Case cases[] = {
        {2, true, true, "AT+FCLASS=2\r\n", 2},
        {3, true, true, "AT+FCLASS=2.0\r\n", 3},
        {0, true, true, "AT+FCLASS=2.0\r\n", 3},
        {1, true, true, "AT+FCLASS=2.0\r\n", 3},
        {0, false, true, "AT+FCLASS=2.0\r\nAT+FCLASS=2\r\n", 2},
        {3, false, false, "AT+FCLASS=2.0\r\nAT+FCLASS=2\r\n", -1},
        {2, true, false, "AT+FCLASS=2\r\n", -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "class " << c.requested << " 2.0:" << c.accepts_2_0 << " 2:" << c.accepts_2);
        ScriptedModem modem;
        if (c.requested != 2) modem.On("AT+FCLASS=2.0\r\n", c.accepts_2_0 ? "\r\nOK\r\n" : "\r\nERROR\r\n");
        if (c.requested == 2 || !c.accepts_2_0) modem.On("AT+FCLASS=2\r\n", c.accepts_2 ? "\r\nOK\r\n" : "\r\nERROR\r\n");
        modem.Start();
        int32_t ch = AttachChannel(modem, 0, c.requested);
        int16_t cls = c.requested;
        EXPECT_EQ(TOLLAN_OK, FaxSelectClass(ch, &cls));
        EXPECT_EQ(c.result, cls);
        EXPECT_TRUE(modem.Done(1000)) << modem.Failure();
        EXPECT_EQ(c.sent, modem.Written());
        DetachChannel(ch);
    }
}

TEST_F(CommandTest, EchoesAndRingsThatKeepComingDoNotExtendTheWait) {
    modem_.Expect("ATZ\r\n");
    Babble("RING\r\n", 25);
    int32_t ch = Attach();
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(TOLLAN_E_FAILED, FaxModemCommand("ATZ\r\n", ch));
    const uint32_t spent = PlatElapsed(start);
    EXPECT_GE(spent, 6500u);  // the 500 ms pause, then 6 s
    EXPECT_LT(spent, 30000u);
    EXPECT_FALSE(modem_.Done(0)) << "the modem was still talking";
}

TEST_F(CommandTest, CommandTextWithLineEndsOrControlBytesIsUnsafe) {
    EXPECT_TRUE(FaxCommandTextSafe("+1 (555) 123-4567,,9W*#", false));
    EXPECT_TRUE(FaxCommandTextSafe("\x82\xa0 caf\xc3\xa9", true));  // Shift_JIS and UTF-8 text pass
    EXPECT_TRUE(FaxCommandTextSafe("say \"hi\"", false));
    EXPECT_FALSE(FaxCommandTextSafe("say \"hi\"", true));
    for (const char *text : {"5551234\rATS0=1", "5551234\n", "\x1b[2J", "\t", "A\x7f"}) {
        SCOPED_TRACE(Escaped(text));
        EXPECT_FALSE(FaxCommandTextSafe(text, false));
    }
}

TEST_F(CommandTest, FlowControlOnClass2SendsNothing) {
    int32_t ch = Attach(2);
    EXPECT_EQ(TOLLAN_OK, FaxSetFlowControl(ch, 1));
    EXPECT_EQ("", modem_.Written());
}

TEST_F(CommandTest, FlowControlOnClass2_0FallsBackToSoftware) {
    modem_.On("AT+FLO=2\r\n", "\r\nERROR\r\n").On("AT+FLO=1\r\n", "\r\nOK\r\n");
    int32_t ch = Attach(3);
    EXPECT_EQ(TOLLAN_OK, FaxSetFlowControl(ch, 1));
    EXPECT_TRUE(modem_.Done(1000)) << modem_.Failure();
}

TEST_F(CommandTest, FlowControlRefusedBothWaysGivesTheSoftwareCode) {
    modem_.On("AT+FLO=2\r\n", "\r\nERROR\r\n").On("AT+FLO=1\r\n", "\r\nERROR\r\n");
    int32_t ch = Attach(3);
    EXPECT_EQ(TOLLAN_E_FAILED, FaxSetFlowControl(ch, 1));
    EXPECT_EQ("AT+FLO=2\r\nAT+FLO=1\r\n", modem_.Written());
}

TEST_F(CommandTest, FlowControlWithoutHardwarePreferenceAsksForSoftware) {
    modem_.On("AT+FLO=1\r\n", "\r\nOK\r\n");
    int32_t ch = Attach(3);
    EXPECT_EQ(TOLLAN_OK, FaxSetFlowControl(ch, 0));
    EXPECT_EQ("AT+FLO=1\r\n", modem_.Written());
}

}  // namespace
