// The command layer against a scripted modem: which result word a line
// yields, and how SendCmd judges what a command drew.
#include "class1_fixture.h"
#include "engine/tollan.h"
#include "platform/platform.h"

namespace {

using CommandTest = Class1Test;

TEST_F(CommandTest, ResultWordsAreSearchedInTableOrderAnywhereInTheLine) {
    modem_.Send("\r\nDISCONNECT\r\n")    // contains "CONNECT\r", which comes first in the table
        .Send("CONNECT FAX\r\n")         // no "CONNECT\r" in it
        .Send("+FCERROR\r\n")            // the carrier mismatch ends in ERROR
        .Send("+FHNG: 0\r\n")
        .Send("RING\r\n")
        .Send("OK \r\n")                 // OK not at the line end: no word
        .Send("\x10\x03OK\r\n");         // leftovers of a frame in front of OK
    const int32_t ch = Attach();
    EXPECT_EQ(WaitResult(kWaitTimed, ch), kResultConnect);
    EXPECT_EQ(WaitResult(kWaitTimed, ch), kResultConnectFax);
    EXPECT_EQ(WaitResult(kWaitTimed | kWaitTraceError, ch), kResultError);
    EXPECT_EQ(WaitResult(kWaitTimed, ch), kResultFhng);
    EXPECT_EQ(WaitResult(kWaitTimed, ch), kResultRing);
    EXPECT_EQ(WaitResult(kWaitTimed, ch), kResultOk);
    EXPECT_TRUE(Traced("WaitResult: got CONNECT"));
    EXPECT_TRUE(Traced("WaitResult: ERROR"));
}

TEST_F(CommandTest, SendCmdAcceptsOkConnectAndErrorIncludingCarrierMismatch) {
    modem_.On("AT+FTS=8\r", "\r\nOK\r\n").On("AT+FTH=3\r", kConnect).On("AT+FRM=96\r", "\r\n+FCERROR\r\n");
    const int32_t ch = Attach();
    EXPECT_EQ(SendCmd("AT+FTS=8\r", ch), TOLLAN_OK);
    EXPECT_EQ(SendCmd("AT+FTH=3\r", ch), TOLLAN_OK);
    EXPECT_EQ(SendCmd("AT+FRM=96\r", ch), TOLLAN_OK);
    EXPECT_TRUE(Traced("SendCmd: cmd=AT+FRM=96  val=4"));
}

TEST_F(CommandTest, SendCmdFailsOnNoCarrierAndHangup) {
    modem_.On("AT+FRH=3\r", "\r\nNO CARRIER\r\n").On("AT+FRH=3\r", "\r\n+FHNG: 2\r\n");
    const int32_t ch = Attach();
    EXPECT_EQ(SendCmd("AT+FRH=3\r", ch), TOLLAN_E_ERROR);
    EXPECT_EQ(SendCmd("AT+FRH=3\r", ch), TOLLAN_E_ERROR);
}

TEST_F(CommandTest, ThreeRingsAndNothingElseGiveTimeout) {
    modem_.On("AT+FTH=3\r", "\r\nRING\r\n\r\nRING\r\n\r\nRING\r\n\r\nOK\r\n");
    const int32_t ch = Attach();
    EXPECT_EQ(SendCmd("AT+FTH=3\r", ch), TOLLAN_E_TIMEOUT);
    EXPECT_TRUE(Traced("timeout in CheckDoCount"));
    EXPECT_TRUE(Traced("SendCmd:: check do count fail 117"));
    EXPECT_EQ(Escaped(modem_.Written()), Escaped("AT+FTH=3\r"));  // written once, never repeated
}

TEST_F(CommandTest, SilentModemTimesOutAfterThreeWaits) {
    UseClock(200);
    const int32_t ch = Attach();
    // Long enough that writing the command never times out on a busy machine.
    g_channels[ch].io_timeout = 30000;
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(SendCmd("AT+FRS=8\r", ch), TOLLAN_E_TIMEOUT);
    // 5 s, then 30 s and 30 s, each ended only between (empty) lines.
    EXPECT_GE(PlatElapsed(start), 65000u);
    EXPECT_TRUE(Traced("SendCmd: timed out: AT+FRS=8"));
}

TEST_F(CommandTest, ASilentModemFailsWithinTheWaitsNotTheReadTimeout) {
    UseClock(100);
    const int32_t ch = Attach();
    g_channels[ch].io_timeout = 80000;  // the call's: a byte may take 80 s
    uint32_t start = PlatTickCount();
    EXPECT_EQ(WaitResult(kWaitTimed, ch), kResultTimeout);
    uint32_t spent = PlatElapsed(start);
    EXPECT_GE(spent, 5000u);
    EXPECT_LT(spent, 20000u);
    start = PlatTickCount();
    EXPECT_EQ(SendCmd("AT+FRS=8\r", ch), TOLLAN_E_TIMEOUT);
    spent = PlatElapsed(start);
    EXPECT_GE(spent, 65000u);  // 5 s, 30 s, 30 s
    EXPECT_LT(spent, 120000u);
}

TEST_F(CommandTest, ACommandOfAnAbortedCallSaysSo) {
    const int32_t ch = Attach();
    FaxBeginCall(ch);
    ASSERT_EQ(TOLLAN_OK, AbortCall(ch));
    EXPECT_EQ(SendCmd("AT+FRS=8\r", ch), TOLLAN_E_ABORTED);
    FaxBeginCall(ch);
}

TEST_F(CommandTest, WaitOkAndWaitConnectEndAfter30sWhateverOtherWordsCome) {
    UseClock(100);
    // A RING every clock second, for far longer than either wait.
    for (int i = 0; i < 500; ++i) modem_.Send("\r\nRING\r\n").Pause(10);
    const int32_t ch = Attach();
    for (void (*wait)(int32_t) : {WaitOk, WaitConnect}) {
        const uint32_t start = PlatTickCount();
        wait(ch);
        const uint32_t spent = PlatElapsed(start);
        EXPECT_GE(spent, 30000u);
        EXPECT_LT(spent, 60000u);
    }
    EXPECT_FALSE(modem_.Done(0)) << "the modem was still talking";
}

TEST_F(CommandTest, SendClass1FaxRefusesANumberThatWouldEndTheDialCommand) {
    const int32_t ch = Attach();
    for (const char *number : {"5551234\rATS0=1", "5551234\n", "555\x1b"}) {
        SCOPED_TRACE(Escaped(number));
        EXPECT_EQ(SendClass1Fax(ch, number, "fax.g3", 1), TOLLAN_E_ARGUMENT);
    }
    EXPECT_EQ(Escaped(modem_.Written()), "");
}

TEST_F(CommandTest, TranslateCmdPicksTrainingAndDirection) {
    const int32_t ch = Attach();
    constexpr Direction kTx = Direction::kTransmit;
    EXPECT_STREQ(TranslateCmd(4, true, kTx, ch), "AT+FTM=121\r");
    EXPECT_STREQ(TranslateCmd(4, false, kTx, ch), "AT+FTM=122\r");
    EXPECT_STREQ(TranslateCmd(0, true, kTx, ch), "AT+FTM=24\r");
    EXPECT_STREQ(TranslateCmd(5, false, Direction::kReceive, ch), "AT+FRM=146\r");
    EXPECT_EQ(TranslateCmd(6, false, Direction::kReceive, ch), nullptr);
    EXPECT_EQ(TranslateCmd(-1, true, kTx, ch), nullptr);
}

}  // namespace
