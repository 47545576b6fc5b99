// The setters and getters: range checks, state left alone on failure, the
// 16-bit truncation and the slot search shared with PortOpen.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/channel.h"
#include "engine/call_limits.h"

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = g_settings;
        memset(g_channels, 0, sizeof g_channels);
    }
    void TearDown() override {
        g_settings = saved_;
        memset(g_channels, 0, sizeof g_channels);
    }
    LibrarySettings saved_{};
};

TEST_F(SettingsTest, EveryPerChannelExportChecksTheChannelRange) {
    const char *id = nullptr;
    int32_t code = 0;
    int16_t pages = 0;
    for (int32_t ch : {-1, 20, 1000}) {
        SCOPED_TRACE(ch);
        EXPECT_EQ(TOLLAN_E_CHANNEL, GetRemoteID(ch, &id));
        EXPECT_EQ(TOLLAN_E_CHANNEL, GetHangupCode(ch, &code));
        EXPECT_EQ(TOLLAN_E_CHANNEL, GetNumOfPagesSent(ch, &pages));
        EXPECT_EQ(TOLLAN_E_CHANNEL, SetLineType(ch, 0));
        EXPECT_EQ(TOLLAN_E_CHANNEL, SetScanTime(ch, 0));
        EXPECT_EQ(TOLLAN_E_CHANNEL, SetBitRate(ch, 0));
        EXPECT_EQ(TOLLAN_E_CHANNEL, SetResolution(ch, 0));
        EXPECT_EQ(TOLLAN_E_CHANNEL, SetLocalID(ch, "x"));
    }
    // The range is checked before the value.
    EXPECT_EQ(TOLLAN_E_CHANNEL, SetLineType(20, 7));
}

TEST_F(SettingsTest, GettersOnAClosedChannel) {
    const char *id = nullptr;
    EXPECT_EQ(TOLLAN_E_NOT_OPEN, GetRemoteID(3, &id));
    g_channels[3].reports.hangup_code = 50;
    g_channels[3].pages_sent = 2;
    int32_t code = 0;
    int16_t pages = 0;
    EXPECT_EQ(TOLLAN_OK, GetHangupCode(3, &code));
    EXPECT_EQ(TOLLAN_OK, GetNumOfPagesSent(3, &pages));
    EXPECT_EQ(50, code);
    EXPECT_EQ(2, pages);
    g_channels[3].in_use = 1;
    strcpy(g_channels[3].reports.remote_id, "+49 30 1234");
    ASSERT_EQ(TOLLAN_OK, GetRemoteID(3, &id));
    EXPECT_STREQ("+49 30 1234", id);
}

TEST_F(SettingsTest, ValueChecksLeaveStateUnchanged) {
    EXPECT_EQ(TOLLAN_OK, SetLineType(0, 1));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetLineType(0, 2));
    EXPECT_EQ(1, g_channels[0].line_type);

    EXPECT_EQ(TOLLAN_OK, SetScanTime(0, 7));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetScanTime(0, 8));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetScanTime(0, -1));
    EXPECT_EQ(7, g_channels[0].scan_time);

    EXPECT_EQ(TOLLAN_OK, SetBitRate(0, 3));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetBitRate(0, 6));
    EXPECT_EQ(3, g_channels[0].bit_rate);

    EXPECT_EQ(TOLLAN_OK, SetResolution(0, 12345));
    EXPECT_EQ(12345, g_channels[0].resolution);

    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetFaxInfoOption(3));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetTraceOption(3));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetStretchOption(6));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetShrinkOption(4));
    EXPECT_EQ(saved_.fax_info_option, g_settings.fax_info_option);
    EXPECT_EQ(saved_.trace_option, g_settings.trace_option);
    EXPECT_EQ(3, g_settings.stretch_option);
    EXPECT_EQ(0, g_settings.shrink_option);

    EXPECT_EQ(TOLLAN_OK, SetShrinkWidth(1728));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetShrinkWidth(1729));
    EXPECT_EQ(1728, g_settings.shrink_width);
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetShrinkHeight(-1));
    EXPECT_EQ(TOLLAN_OK, SetShrinkHeight(32767));
    EXPECT_EQ(32767, g_settings.shrink_height);

    EXPECT_EQ(TOLLAN_OK, SetModemCommandInterval(-5));
    EXPECT_EQ(-5, g_settings.modem_command_interval);
}

TEST_F(SettingsTest, SixteenBitArgumentsTakeTheLowBits) {
    EXPECT_EQ(TOLLAN_OK, SetLineType(0, 65537));
    EXPECT_EQ(1, g_channels[0].line_type);
    // 0x10005 is 5 in its low bits; 0xFFFF is -1.
    EXPECT_EQ(TOLLAN_OK, SetBitRate(0, 0x10005));
    EXPECT_EQ(5, g_channels[0].bit_rate);
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetShrinkHeight(0xFFFF));
    EXPECT_EQ(TOLLAN_OK, SetTraceOption(0x20000));
    EXPECT_EQ(0, g_settings.trace_option);
}

TEST_F(SettingsTest, LocalIdLengthLimits) {
    std::string id129(129, 'a');
    std::string id130(130, 'b');
    EXPECT_EQ(TOLLAN_OK, SetLocalID(0, id129.c_str()));
    EXPECT_EQ(id129, g_channels[0].local_id);
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetLocalID(0, id130.c_str()));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetLocalID(0, ""));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetLocalID(0, nullptr));
    EXPECT_EQ(id129, g_channels[0].local_id);
}

TEST_F(SettingsTest, ALocalIdThatWouldBreakOutOfItsQuotesIsRefused) {
    ASSERT_EQ(TOLLAN_OK, SetLocalID(0, "+1 555 0100"));
    for (const char *id : {"X\"\r\nATS0=1", "ID\rATS0=1", "ID\n", "\"", "A\x1b[31m", "A\x7f"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(TOLLAN_E_ARGUMENT, SetLocalID(0, id));
    }
    EXPECT_STREQ("+1 555 0100", g_channels[0].local_id);
    EXPECT_EQ(TOLLAN_OK, SetLocalID(0, "\x82\xa0 caf\xc3\xa9"));  // Shift_JIS, UTF-8
}

TEST_F(SettingsTest, TraceFileNameLimits) {
    std::string path259(259, 'p');
    EXPECT_EQ(TOLLAN_OK, SetTraceFileName(path259.c_str()));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetTraceFileName(std::string(260, 'q').c_str()));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetTraceFileName(""));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetTraceFileName(nullptr));
    EXPECT_EQ(path259, g_settings.trace_file);
}

TEST_F(SettingsTest, ModemClassLandsInTheFirstFreeSlot) {
    g_channels[0].in_use = 1;
    g_channels[1].in_use = 1;
    EXPECT_EQ(TOLLAN_OK, SetModemClass(0, 1));
    EXPECT_EQ(1, g_channels[2].modem_class);
    EXPECT_EQ(2, FindFreeSlot());
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetModemClass(0, 4));
    EXPECT_EQ(1, g_channels[2].modem_class);

    for (FaxChannel &c : g_channels) c.in_use = 1;
    EXPECT_EQ(TOLLAN_E_NO_FREE_SLOT, SetModemClass(0, 4));
    EXPECT_EQ(TOLLAN_E_NO_FREE_SLOT, SetModemClass(0, 2));
}

TEST_F(SettingsTest, LastErrorIsReturnedOnce) {
    errno = ENOENT;
    RecordLastError();
    EXPECT_EQ(ENOENT, GetLastFaxError());
    EXPECT_EQ(0, GetLastFaxError());
}

}  // namespace

namespace {

TEST_F(SettingsTest, LimitsAcceptTheirRangeAndZeroRestoresTheDefault) {
    EXPECT_EQ(TOLLAN_E_CHANNEL, SetReceiveLimits(20, 0, 0));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetReceiveLimits(1, kMaxPageBytes + 1, 0));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetReceiveLimits(1, 0, kMaxPagesPerCall + 1));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetReceiveLimits(1, -1, 0));
    EXPECT_EQ(kMaxPageBytes, PageByteLimit(g_channels[1]));
    ASSERT_EQ(TOLLAN_OK, SetReceiveLimits(1, 4096, 3));
    EXPECT_EQ(4096, PageByteLimit(g_channels[1]));
    EXPECT_EQ(3, PageCountLimit(g_channels[1]));
    ASSERT_EQ(TOLLAN_OK, SetReceiveLimits(1, 0, 0));
    EXPECT_EQ(kMaxPagesPerCall, PageCountLimit(g_channels[1]));

    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetCallTimeLimit(1, kMaxCallSeconds + 1));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetCallTimeLimit(1, -5));
    ASSERT_EQ(TOLLAN_OK, SetCallTimeLimit(1, 30));
    EXPECT_EQ(30000u, CallTimeLimitMs(g_channels[1]));

    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetPageFileMode(01000));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetPageFileMode(-1));
    EXPECT_EQ(TOLLAN_OK, SetPageFileMode(0640));
    EXPECT_EQ(0640, g_settings.page_file_mode);
}

TEST_F(SettingsTest, ErrorCorrectionAndCodingsAreCheckedAndMmrNeedsErrorCorrection) {
    EXPECT_EQ(TOLLAN_E_CHANNEL, SetErrorCorrection(20, TOLLAN_ECM_256));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetErrorCorrection(1, 3));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetCompression(1, TOLLAN_COMPRESS_MR));  // MH is always offered
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SetCompression(1, 8 | TOLLAN_COMPRESS_MH));
    EXPECT_EQ(TOLLAN_COMPRESS_MH, OfferedCodings(g_channels[1]));
    const int32_t all = TOLLAN_COMPRESS_MH | TOLLAN_COMPRESS_MR | TOLLAN_COMPRESS_MMR;
    ASSERT_EQ(TOLLAN_OK, SetCompression(1, all));
    EXPECT_EQ(TOLLAN_COMPRESS_MH | TOLLAN_COMPRESS_MR, OfferedCodings(g_channels[1]));
    ASSERT_EQ(TOLLAN_OK, SetErrorCorrection(1, TOLLAN_ECM_64));
    EXPECT_EQ(all, OfferedCodings(g_channels[1]));
    SetErrorCorrection(1, TOLLAN_ECM_OFF);
    SetCompression(1, TOLLAN_COMPRESS_MH);
}

TEST_F(SettingsTest, AnAbortIsSeenByTheRunningCallAndForgottenByTheNext) {
    FaxBeginCall(3);  // a call that began: a slot never used counts its time from the clock's zero
    FaxBeginCall(2);
    EXPECT_EQ(TOLLAN_OK, FaxCallCheck(2));
    ASSERT_EQ(TOLLAN_OK, AbortCall(2));
    EXPECT_EQ(TOLLAN_E_ABORTED, FaxCallCheck(2));
    EXPECT_EQ(TOLLAN_OK, FaxCallCheck(3)) << "another channel's call goes on";
    FaxBeginCall(2);
    EXPECT_EQ(TOLLAN_OK, FaxCallCheck(2));
    EXPECT_EQ(TOLLAN_E_CHANNEL, AbortCall(-1));
}

}  // namespace
