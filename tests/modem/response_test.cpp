// FaxWaitFor's rules, one group per kind of report line, against a scripted modem.
#include <string>

#include "modem/response.h"
#include "platform/platform.h"
#include "modem_fixture.h"

namespace {

using ResponseTest = ModemTest;

// Plays the lines and waits for expected on channel 0. Hang-up fields that the
// test set beforehand survive the attach.
class WaitTest : public ModemTest {
protected:
    uint16_t Wait(const std::string &lines, const char *expected, int16_t modem_class = 2) {
        modem_.Send(lines);
        const int32_t seen = Ch().reports.hangup_seen, code = Ch().reports.hangup_code;
        int32_t ch = Attach(modem_class);
        Ch().reports.hangup_seen = seen;
        Ch().reports.hangup_code = code;
        return FaxWaitFor(ch, expected);
    }
    FaxChannel &Ch() { return g_channels[0]; }
};

// ---- Identity and session parameters ----------------------------------------

TEST_F(WaitTest, IdentityLosesItsQuotesAndOuterSpacesNotItsInnerOnes) {
    EXPECT_EQ(TOLLAN_OK, Wait("+FCSI:  \"+49 30 1234\" \r\nCONNECT\r\n", "CONNECT"));
    EXPECT_STREQ("+49 30 1234", Ch().reports.remote_id);
    EXPECT_TRUE(Traced("FaxWaitFor: exiting main loop, CONNECT 0 0"));
}

TEST_F(WaitTest, EveryIdentityReportIsStored) {
    for (const char *report : {"+FTSI:", "+FCIG:", "+FTI:", "+FCI:", "+FPI:"}) {
        SCOPED_TRACE(report);
        ScriptedModem modem;
        modem.Send(std::string(report) + "ID-" + report + "\r\nOK\r\n").Start();
        int32_t ch = AttachChannel(modem, 1);
        EXPECT_EQ(TOLLAN_OK, FaxWaitFor(ch, "OK"));
        EXPECT_EQ(std::string("ID-") + report, g_channels[ch].reports.remote_id);
        DetachChannel(ch);
    }
}

TEST_F(WaitTest, ALongIdentityIsShortenedToItsField) {
    std::string id(200, 'A');
    memset(Ch().local_id, 'L', sizeof Ch().local_id - 1);  // the field after dcs_report
    EXPECT_EQ(TOLLAN_OK, Wait("+FTSI:" + id + "\r\n+FCS:" + id + "\r\nOK\r\n", "OK"));
    EXPECT_EQ(std::string(128, 'A'), Ch().reports.remote_id);
    EXPECT_EQ("+FCS:" + std::string(123, 'A'), Ch().reports.dcs_report);
    EXPECT_EQ('L', Ch().local_id[0]);
}

TEST_F(WaitTest, SessionParamsWithEightNumbers) {
    EXPECT_EQ(TOLLAN_OK, Wait("+FDCS:1,5,0,2,0,0,0,3\r\nOK\r\n", "OK"));
    const int16_t want[8] = {1, 5, 0, 2, 0, 0, 0, 3};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(want[i], Ch().reports.session_params[i]) << i;
    EXPECT_STREQ("+FDCS:1,5,0,2,0,0,0,3", Ch().reports.dcs_report);
    EXPECT_FALSE(Traced("cannot evaluate"));
}

TEST_F(WaitTest, SessionParamsWithTwoNumbers) {
    for (int i = 0; i < 8; ++i) Ch().reports.session_params[i] = 7;
    EXPECT_EQ(TOLLAN_OK, Wait("+FCS: 1,4\r\nOK\r\n", "OK"));
    const int16_t want[8] = {0, 4, 7, 7, 7, 7, 7, 7};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(want[i], Ch().reports.session_params[i]) << i;
    EXPECT_TRUE(Traced("FaxWaitFor: cannot evaluate +FCS-Code!"));
}

// ---- Hang-up reports ------------------------------------------------------------

TEST_F(WaitTest, HangupZeroWhileWaitingForOk) {
    EXPECT_EQ(TOLLAN_OK, Wait("+FHNG:0\r\nOK\r\n", "OK"));
    EXPECT_EQ(1, Ch().reports.hangup_seen);
    EXPECT_TRUE(Traced("FaxWaitFor: Normal and proper end of connection"));
    EXPECT_TRUE(Traced("FaxWaitFor: exiting main loop, OK 1 0"));
}

TEST_F(WaitTest, HangupFiftyWhileWaitingForOkWaitsForTheOk) {
    EXPECT_EQ(TOLLAN_E_HANGUP, Wait("+FHS:50\r\nRING\r\nOK\r\n", "OK"));
    EXPECT_EQ(50, Ch().reports.hangup_code);
    EXPECT_TRUE(Traced("FaxWaitFor: exiting main loop, OK 1 50"));
}

TEST_F(WaitTest, HangupWhileWaitingForSomethingElseEndsAtOnce) {
    modem_.Send("+FHNG:50\r\n").Pause(100).Send("CONNECT\r\n");
    int32_t ch = Attach();
    EXPECT_EQ(TOLLAN_E_HANGUP, FaxWaitFor(ch, "CONNECT"));
    EXPECT_TRUE(Traced("FaxWaitFor: exiting main loop, +FHNG:50 1 50"));
    EXPECT_FALSE(Traced("got line CONNECT"));
}

TEST_F(WaitTest, HangupWithoutANumberKeepsTheCode) {
    Ch().reports.hangup_code = 23;
    EXPECT_EQ(TOLLAN_E_HANGUP, Wait("+FHNG:\r\n", "CONNECT"));
    EXPECT_EQ(23, Ch().reports.hangup_code);
}

TEST_F(WaitTest, APendingHangupMakesLaterWaitsReturn136) {
    Ch().reports.hangup_seen = 1;
    Ch().reports.hangup_code = 11;
    EXPECT_EQ(TOLLAN_E_HANGUP, Wait("OK\r\n", "OK"));
}

// ---- Page status ----------------------------------------------------------------

TEST_F(WaitTest, PageStatusWithCounts) {
    EXPECT_EQ(TOLLAN_OK, Wait("+FPTS:1,2200,3,0,12\r\nOK\r\n", "OK"));
    EXPECT_EQ(1, Ch().reports.page_status);
    EXPECT_EQ(2200, Ch().reports.lines_received);
    EXPECT_EQ(3, Ch().reports.lines_bad);
    EXPECT_EQ(0, Ch().reports.lines_bad_run);
    EXPECT_EQ(12, Ch().reports.bytes_lost);
    EXPECT_EQ(1, Ch().reports.line_counts_valid);
    EXPECT_TRUE(Traced("FaxWaitFor: page status: +FPTS:1,2200,3,0,12"));
    EXPECT_TRUE(Traced("FaxWaitFor: 2200 lines received, 3 lines bad, 12 bytes lost"));
}

TEST_F(WaitTest, PageStatusAloneResetsTheCounts) {
    Ch().reports.lines_bad = 5;
    Ch().reports.bytes_lost = 5;
    Ch().reports.line_counts_valid = 1;
    EXPECT_EQ(TOLLAN_OK, Wait("+FPS: 1\r\nOK\r\n", "OK"));
    EXPECT_EQ(1, Ch().reports.page_status);
    EXPECT_EQ(9999, Ch().reports.lines_received);
    EXPECT_EQ(0, Ch().reports.lines_bad);
    EXPECT_EQ(0, Ch().reports.bytes_lost);
    EXPECT_EQ(0, Ch().reports.line_counts_valid);
}

TEST_F(WaitTest, PageStatusWithATwoDigitStatusCarriesNoCounts) {
    EXPECT_EQ(TOLLAN_OK, Wait("+FPTS:10,2200,3\r\nOK\r\n", "OK"));
    EXPECT_EQ(10, Ch().reports.page_status);
    EXPECT_EQ(9999, Ch().reports.lines_received);
    EXPECT_EQ(0, Ch().reports.line_counts_valid);
}

// ---- Polling --------------------------------------------------------------------

TEST_F(WaitTest, PollRequestSwitchesTheWaitToOk) {
    EXPECT_EQ(TOLLAN_OK, Wait("+FTC:0,5,0,2,0,0,0,0\r\nCONNECT\r\nOK\r\n", "CONNECT"));
    EXPECT_EQ(1, Ch().reports.poll_requested);
    EXPECT_TRUE(Traced("FaxWaitFor: got +FTC -> will send polled document"));
    EXPECT_TRUE(Traced("FaxWaitFor: ('OK')"));
    EXPECT_TRUE(Traced("FaxWaitFor: exiting main loop, OK 0 0"));
}

TEST_F(WaitTest, PollOfferIsTracedOnlyForTheWholeWord) {
    EXPECT_EQ(TOLLAN_OK, Wait("+FPOLL\r\n+FPOX\r\nOK\r\n", "OK"));
    std::string text = trace_->Text();
    size_t first = text.find("will do polling");
    ASSERT_NE(std::string::npos, first);
    EXPECT_EQ(std::string::npos, text.find("will do polling", first + 1));
}

// ---- Final words ----------------------------------------------------------------

TEST_F(WaitTest, ErrorOnClass2Gives115AndMarksTheHangup) {
    Ch().reports.hangup_code = 50;
    EXPECT_EQ(TOLLAN_E_ERROR, Wait("error\r\nERROR\r\n", "OK", 2));
    EXPECT_EQ(1, Ch().reports.hangup_seen);
    EXPECT_EQ(0, Ch().reports.hangup_code);
    EXPECT_TRUE(Traced("FaxWaitFor: ABORTING: line='ERROR'"));
    EXPECT_TRUE(Traced("FaxWaitFor: got line error"));  // lower case passed over
}

TEST_F(WaitTest, ErrorOnClass2_0Gives999AndLeavesTheHangupAlone) {
    Ch().reports.hangup_code = 50;
    EXPECT_EQ(TOLLAN_E_FAILED, Wait("ERROR\r\n", "OK", 3));
    EXPECT_EQ(0, Ch().reports.hangup_seen);
    EXPECT_EQ(50, Ch().reports.hangup_code);
    EXPECT_TRUE(Traced("FaxWaitFor: ERROR response"));
}

TEST_F(WaitTest, FailureWords) {
    struct Case {
        const char *line;
        uint16_t code;
    };
    for (const Case &c : {Case{"BUSY", TOLLAN_E_BUSY}, Case{"NO CARRIER", TOLLAN_E_NO_CARRIER},
                          Case{"NO DIALTONE", TOLLAN_E_FAILED}, Case{"NO DIAL TONE", TOLLAN_E_FAILED}}) {
        SCOPED_TRACE(c.line);
        ScriptedModem modem;
        modem.Send(std::string("RING\r\n") + c.line + "\r\nOK\r\n").Start();
        int32_t ch = AttachChannel(modem, 1, 3);
        g_channels[ch].reports.hangup_code = 50;
        EXPECT_EQ(c.code, FaxWaitFor(ch, "OK"));
        EXPECT_EQ(1, g_channels[ch].reports.hangup_seen);
        EXPECT_EQ(0, g_channels[ch].reports.hangup_code);
        DetachChannel(ch);
    }
}

TEST_F(WaitTest, AFailureWordWithMoreOnTheLineIsPassedOver) {
    EXPECT_EQ(TOLLAN_OK, Wait("BUSY NOW\r\nNO CARRIER \r\nOK\r\n", "OK"));
}

TEST_F(WaitTest, DelayedInAnyCaseGives174) {
    EXPECT_EQ(TOLLAN_E_DELAYED, Wait("delayed 30\r\n", "OK"));
    EXPECT_EQ(0, Ch().reports.hangup_seen);
}

TEST_F(WaitTest, TheExpectedTextIsAPrefixAndCaseSensitive) {
    EXPECT_EQ(TOLLAN_OK, Wait("connect\r\nCONNECT 14400\r\n", "CONNECT"));
    EXPECT_TRUE(Traced("exiting main loop, CONNECT 14400 0 0"));
}

TEST_F(WaitTest, SilenceGives108) {
    EXPECT_EQ(TOLLAN_E_READ, Wait("RING\r\n", "OK"));
}

TEST_F(WaitTest, ReportLinesThatKeepComingDoNotExtendTheWait) {
    // A report every 0.5 clock seconds, never the final OK.
    Babble("\r\n+FPTS:1\r\n", 25);
    int32_t ch = Attach();
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(TOLLAN_E_READ, FaxWaitFor(ch, "OK"));
    const uint32_t spent = PlatElapsed(start);
    EXPECT_GE(spent, 6000u);
    EXPECT_LT(spent, 30000u);
    EXPECT_FALSE(modem_.Done(0)) << "the modem was still talking";
    EXPECT_EQ(1, Ch().reports.page_status);  // the reports were still read
}

// ---- Command and wait -------------------------------------------------------

TEST_F(ResponseTest, CommandWaitSendsThenWaits) {
    modem_.On("ATDT123\r\n", "\r\n+FCSI: REMOTE\r\nOK\r\n");
    int32_t ch = Attach();
    g_channels[ch].command_interval = -5;  // taken as no pause
    EXPECT_EQ(TOLLAN_OK, FaxCommandWait("ATDT123\r\n", "OK", ch));
    EXPECT_STREQ("REMOTE", g_channels[ch].reports.remote_id);
    EXPECT_EQ("ATDT123\r\n", modem_.Written());
}

TEST_F(ResponseTest, CommandWaitReturnsTheWriteFailure) {
    int32_t ch = Attach();
    int fd = g_channels[ch].comm_handle;
    g_channels[ch].comm_handle = -1;
    EXPECT_EQ(TOLLAN_E_WRITE, FaxCommandWait("AT\r\n", "OK", ch));
    g_channels[ch].comm_handle = fd;
}

TEST_F(ResponseTest, HangupTexts) {
    EXPECT_STREQ("Normal and proper end of connection", FaxHangupText(0));
    EXPECT_STREQ("Invalid response to EOP", FaxHangupText(55));
    EXPECT_STREQ("Unexpected hangup / read() error / write() error (int.)", FaxHangupText(-4));
    EXPECT_STREQ("Unable to continue after PIN or PIP", FaxHangupText(103));
    for (int32_t unknown : {6, 104, -5, 59})
        EXPECT_STREQ("unknown +FHNG error code", FaxHangupText(unknown)) << unknown;
}

}  // namespace
