// The call report's judgement and texts, without a modem: the outcome and
// cause of each kind of ending, the record's size rule, and words for every
// code the header declares.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "engine/call_report.h"
#include "engine/channel.h"
#include "tollan.h"

namespace {

struct Judged {
    uint16_t code;
    int32_t phase;
    int32_t hangup;
    int32_t pages_done;
    bool all_pages;
    int32_t outcome;
    int32_t cause;
    bool receiving = false;
};

// One row per kind of ending the hosts must tell apart.
const Judged kJudged[] = {
    {TOLLAN_OK, TOLLAN_PHASE_RELEASE, 0, 2, true, TOLLAN_OUTCOME_SUCCESS, TOLLAN_CAUSE_NONE},
    {TOLLAN_OK, TOLLAN_PHASE_RELEASE, 0, 1, false, TOLLAN_OUTCOME_PARTIAL, TOLLAN_CAUSE_REMOTE_HANGUP},
    {TOLLAN_OK, TOLLAN_PHASE_NEGOTIATION, 0, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_REMOTE_HANGUP},
    {TOLLAN_E_BUSY, TOLLAN_PHASE_DIAL, 0, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_BUSY},
    {TOLLAN_E_DIAL, TOLLAN_PHASE_DIAL, 0, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_NO_ANSWER},
    {TOLLAN_E_NO_CARRIER, TOLLAN_PHASE_DIAL, 0, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_NO_ANSWER},
    {TOLLAN_E_NO_CARRIER, TOLLAN_PHASE_PAGE, 0, 1, false, TOLLAN_OUTCOME_PARTIAL, TOLLAN_CAUSE_REMOTE_HANGUP},
    {TOLLAN_E_RECEIVE_FAILED, TOLLAN_PHASE_DIAL, 0, 0, false, TOLLAN_OUTCOME_FAILED, TOLLAN_CAUSE_NO_FAX},
    {TOLLAN_E_FIRST_FRAME, TOLLAN_PHASE_NEGOTIATION, 0, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_NO_DIS},
    // T1 passed: without the called station's DIS, or, receiving, without the caller's DCS.
    {TOLLAN_E_TIMEOUT, TOLLAN_PHASE_NEGOTIATION, 11, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_NO_DIS},
    {TOLLAN_E_TIMEOUT, TOLLAN_PHASE_NEGOTIATION, 11, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_NO_RESPONSE, true},
    {TOLLAN_E_RETRIES, TOLLAN_PHASE_TRAINING, 0, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_TRAINING},
    {TOLLAN_E_RETRIES, TOLLAN_PHASE_POST_PAGE, 0, 0, false, TOLLAN_OUTCOME_FAILED, TOLLAN_CAUSE_REPEATS},
    {TOLLAN_E_HANGUP, TOLLAN_PHASE_NEGOTIATION, 27, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_TRAINING},
    {TOLLAN_E_HANGUP, TOLLAN_PHASE_NEGOTIATION, 21, 0, false, TOLLAN_OUTCOME_FAILED, TOLLAN_CAUSE_REFUSED},
    {TOLLAN_E_HANGUP, TOLLAN_PHASE_POST_PAGE, 54, 1, false, TOLLAN_OUTCOME_PARTIAL, TOLLAN_CAUSE_UNCONFIRMED},
    {TOLLAN_E_PAGE_REJECTED, TOLLAN_PHASE_POST_PAGE, 0, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_PAGE_REJECTED},
    {TOLLAN_E_UNCONFIRMED, TOLLAN_PHASE_POST_PAGE, 0, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_UNCONFIRMED},
    {TOLLAN_E_ARGUMENT, TOLLAN_PHASE_NONE, 0, 0, false, TOLLAN_OUTCOME_LOCAL, TOLLAN_CAUSE_ARGUMENT},
    {TOLLAN_E_PORT_LOCKED, TOLLAN_PHASE_NONE, 0, 0, false, TOLLAN_OUTCOME_LOCAL, TOLLAN_CAUSE_PORT},
    {TOLLAN_E_FAILED, TOLLAN_PHASE_NONE, 0, 0, false, TOLLAN_OUTCOME_LOCAL, TOLLAN_CAUSE_SETUP},
    {TOLLAN_E_FAILED, TOLLAN_PHASE_PAGE, 0, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_MODEM},
    // A called station refusing a DCS that asks for what its DIS did not offer.
    {TOLLAN_E_ERROR, TOLLAN_PHASE_NEGOTIATION, 70, 0, false, TOLLAN_OUTCOME_FAILED, TOLLAN_CAUSE_REFUSED, true},
    {TOLLAN_E_ERROR, TOLLAN_PHASE_NEGOTIATION, -3, 0, false, TOLLAN_OUTCOME_RETRY, TOLLAN_CAUSE_MODEM, true},
    {TOLLAN_E_DISK, TOLLAN_PHASE_PAGE, 0, 0, false, TOLLAN_OUTCOME_LOCAL, TOLLAN_CAUSE_DISK},
    {TOLLAN_E_DISK, TOLLAN_PHASE_PAGE, 0, 3, false, TOLLAN_OUTCOME_PARTIAL, TOLLAN_CAUSE_DISK},
    // The host's abort wins over pages done: the host asked for it.
    {TOLLAN_E_ABORTED, TOLLAN_PHASE_PAGE, 0, 1, false, TOLLAN_OUTCOME_ABORTED, TOLLAN_CAUSE_ABORTED},
    {TOLLAN_E_PAGE_TOO_LARGE, TOLLAN_PHASE_PAGE, 0, 0, false, TOLLAN_OUTCOME_FAILED, TOLLAN_CAUSE_LIMIT},
    // Every page confirmed, then hanging up failed: the fax went.
    {TOLLAN_E_ERROR, TOLLAN_PHASE_RELEASE, 0, 2, true, TOLLAN_OUTCOME_SUCCESS, TOLLAN_CAUSE_MODEM},
};

TEST(CallReportJudgement, EachKindOfEndingHasItsOutcomeAndCause) {
    for (const Judged &j : kJudged) {
        const CallVerdict v = FaxJudgeCall(j.code, j.phase, j.hangup, j.pages_done, j.all_pages, j.receiving);
        EXPECT_EQ(v.outcome, j.outcome) << "code " << j.code << " phase " << j.phase << " hang-up " << j.hangup;
        EXPECT_EQ(v.cause, j.cause) << "code " << j.code << " phase " << j.phase << " hang-up " << j.hangup;
    }
}

// The codes the header declares ("PREFIX_NAME = value"), read from it: a
// code added without words fails here.
std::vector<int> DeclaredCodes(const std::string &prefix) {
    std::ifstream header(TOLLAN_SOURCE_DIR "/engine/tollan.h");
    std::stringstream text;
    text << header.rdbuf();
    const std::string all = text.str();
    std::vector<int> codes;
    for (size_t at = all.find(prefix); at != std::string::npos; at = all.find(prefix, at + 1)) {
        const size_t name_end = all.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_", at);
        if (name_end == std::string::npos || all.compare(name_end, 3, " = ") != 0) continue;
        codes.push_back(std::stoi(all.substr(name_end + 3)));
    }
    return codes;
}

TEST(CallReportTexts, EveryDeclaredCodeAndCauseHasWordsAndUnknownOnesAFixedText) {
    const std::vector<int> codes = DeclaredCodes("TOLLAN_E_");
    ASSERT_GT(codes.size(), 50u);
    for (int code : codes) EXPECT_STRNE(GetReturnCodeText(static_cast<uint16_t>(code)), "unknown return code") << code;
    EXPECT_STREQ(GetReturnCodeText(TOLLAN_OK), "success");
    EXPECT_STREQ(GetReturnCodeText(101), "unknown return code");

    const std::vector<int> causes = DeclaredCodes("TOLLAN_CAUSE_");
    ASSERT_EQ(causes.size(), 23u);
    for (int cause : causes) EXPECT_STRNE(GetCauseText(cause), "unknown cause") << cause;
    EXPECT_STREQ(GetCauseText(-1), "unknown cause");
    EXPECT_STREQ(GetCauseText(23), "unknown cause");
    // The retry flags the documentation promises for the common causes.
    EXPECT_TRUE(FaxCauseWorthRetrying(TOLLAN_CAUSE_BUSY));
    EXPECT_TRUE(FaxCauseWorthRetrying(TOLLAN_CAUSE_TRAINING));
    EXPECT_FALSE(FaxCauseWorthRetrying(TOLLAN_CAUSE_NO_FAX));
    EXPECT_FALSE(FaxCauseWorthRetrying(TOLLAN_CAUSE_ARGUMENT));

    // A class 2 modem's hang-up code names the phase better than the host knows it.
    EXPECT_EQ(FaxHangupPhase(40), TOLLAN_PHASE_PAGE);
    EXPECT_EQ(FaxHangupPhase(54), TOLLAN_PHASE_POST_PAGE);
    EXPECT_EQ(FaxHangupPhase(27), TOLLAN_PHASE_TRAINING);
    EXPECT_EQ(FaxHangupPhase(-4), TOLLAN_PHASE_NONE);

    EXPECT_STREQ(GetHangupText(0), "Normal and proper end of connection");
    EXPECT_STREQ(GetHangupText(999), "unknown +FHNG error code");
}

TEST(CallReportRecord, SizeIsCheckedAndALargerRecordIsFilledAsFarAsKnown) {
    TollanCallReport r{};
    r.size = sizeof r - 1;
    EXPECT_EQ(GetCallReport(0, &r), TOLLAN_E_ARGUMENT);
    EXPECT_EQ(GetCallReport(0, nullptr), TOLLAN_E_ARGUMENT);
    r.size = sizeof r;
    EXPECT_EQ(GetCallReport(20, &r), TOLLAN_E_CHANNEL);

    struct Newer {
        TollanCallReport known;
        char later[64];
    } newer;
    memset(&newer, 0x5A, sizeof newer);
    newer.known.size = sizeof newer;
    ASSERT_EQ(GetCallReport(0, &newer.known), TOLLAN_OK);
    EXPECT_EQ(newer.known.size, sizeof(TollanCallReport));
    EXPECT_EQ(newer.later[0], 0x5A);  // beyond the library's record: untouched
}

// A call refused before it began still leaves its report: local, nothing reached.
TEST(CallReportRecord, ARefusedCallReportsLocalAndReplacesTheLastReport) {
    memset(g_channels, 0, sizeof g_channels);
    EXPECT_EQ(SendFax(3, "200", "doc.g3", 1), TOLLAN_E_NOT_OPEN);
    TollanCallReport r{};
    r.size = sizeof r;
    ASSERT_EQ(GetCallReport(3, &r), TOLLAN_OK);
    EXPECT_EQ(r.call, TOLLAN_CALL_SEND);
    EXPECT_EQ(r.code, TOLLAN_E_NOT_OPEN);
    EXPECT_EQ(r.outcome, TOLLAN_OUTCOME_LOCAL);
    EXPECT_EQ(r.cause, TOLLAN_CAUSE_ARGUMENT);
    EXPECT_EQ(r.phase, TOLLAN_PHASE_NONE);
    EXPECT_EQ(r.pages_total, 1);

    int16_t pages = 7;  // the host's counter, not set by a call refused at once
    EXPECT_EQ(ReceiveClass1Fax(3, "in.g3", &pages), TOLLAN_E_NOT_OPEN);
    ASSERT_EQ(GetCallReport(3, &r), TOLLAN_OK);
    EXPECT_EQ(r.call, TOLLAN_CALL_RECEIVE_CLASS1);
    EXPECT_EQ(r.pages_total, 0);
    EXPECT_EQ(r.pages_received, 0);
}

}  // namespace
