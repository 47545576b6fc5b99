// FaxGetPageData on a fast clock: a page that never starts and a page that
// stalls half-way both end after 60 s with 117, keeping what came, whatever
// the read time-out; a page is bounded in size and by the call's own limits.
#include <cerrno>

#include "class2/class2.h"
#include "class2_fixture.h"
#include "engine/call_limits.h"
#include "engine/tollan.h"
#include "platform/platform.h"

namespace {

// 60 s of watchdog in 300 ms, the 80 s read time-out in 400 ms.
constexpr uint32_t kWatchdogClockFactor = 200;

class PageReceiveTest : public Class2Test {
protected:
    PageReceiveTest() : Class2Test(kWatchdogClockFactor) {}
    int32_t AttachReceiving() {
        int32_t ch = Attach(TOLLAN_CLASS_2);
        g_channels[ch].io_timeout = 80000;
        strcpy(g_channels[ch].reports.remote_id, "FAR END");
        g_channels[ch].reports.lines_received = 1234;
        return ch;
    }
};

TEST_F(PageReceiveTest, NoStartByteWithinTheLimitIsATimeOut) {
    g_settings.fax_info_option = 1;
    modem_.Send("\x7f\x11");  // not a start byte: dropped
    int32_t ch = AttachReceiving();

    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxGetPageData(ch, 4, Path("idle.tif").c_str()));
    EXPECT_TRUE(std::filesystem::exists(Path("idle_p4.g3")));
    EXPECT_EQ("", ReadFileBytes(Path("idle_p4.g3")));
    // A page that never came has no report to describe it.
    EXPECT_FALSE(std::filesystem::exists(Path("idle_p4.ffi")));
    EXPECT_TRUE(Traced("FaxTimeOutCounter: timout in thread"));
    EXPECT_TRUE(Traced("FaxGetPageData: タイムアウトのため受信中断"));
    EXPECT_TRUE(Traced("FaxTimeOutCounter: exiting..."));
}

TEST_F(PageReceiveTest, PageStalledAfterItsDataBeganKeepsWhatCame) {
    // 2100 data bytes, then silence: the last mark was at byte 2048.
    std::string data(1, '\0');
    for (int i = 1; i < 2100; ++i) data += static_cast<char>(i % 7 == 0 ? 0x10 : 0x20 + i % 90);
    modem_.Send(DleDoubled(data));
    int32_t ch = AttachReceiving();

    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxGetPageData(ch, 1, Path("stall").c_str()));
    EXPECT_EQ(data, ReadFileBytes(Path("stall_p1.g3")));
    EXPECT_FALSE(std::filesystem::exists(Path("stall_p1.ffi")));  // the option is off
    // Every byte after the start byte is counted, the escapes included.
    EXPECT_TRUE(Traced("FaxGetPageData: ページ終了, 受信バイト数: " + std::to_string(DleDoubled(data).size() - 1)));
}

TEST_F(PageReceiveTest, SteadyPageOutlastsTheLimit) {
    // A page that keeps coming for longer than 60 s on the clock is not cut:
    // each 1024 bytes move the watchdog's mark.
    std::string data(1, '\0');
    for (int i = 1; i < 4000; ++i) data += static_cast<char>(0x40 + i % 50);
    for (size_t at = 0; at < data.size(); at += 1000) modem_.Send(data.substr(at, 1000)).Pause(100);
    modem_.Send("\x10\x03");
    int32_t ch = AttachReceiving();

    EXPECT_EQ(TOLLAN_OK, FaxGetPageData(ch, 2, Path("slow.x").c_str()));
    EXPECT_EQ(data, ReadFileBytes(Path("slow_p2.g3")));
}

TEST_F(PageReceiveTest, StallEndsAtTheWatchdogsLimitWhateverTheReadTimeOut) {
    modem_.Send(std::string("\x00\x41\x42", 3));
    int32_t ch = AttachReceiving();
    g_channels[ch].io_timeout = 600000;  // ten minutes for one byte
    // A slower clock than the other cases: the bound below has half a real
    // second of room.
    clock_->SetRatio(20);
    const uint32_t start = PlatTickCount();

    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxGetPageData(ch, 1, Path("stall").c_str()));
    const uint32_t took = PlatElapsed(start);
    EXPECT_GE(took, 60000u);
    EXPECT_LT(took, 70000u);
    EXPECT_EQ(600000u, g_channels[ch].io_timeout);
    EXPECT_EQ(std::string("\x00\x41\x42", 3), ReadFileBytes(Path("stall_p1.g3")));
}

TEST_F(PageReceiveTest, PagePastTheSizeLimitKeepsOnlyWhatFits) {
    ASSERT_EQ(TOLLAN_OK, SetReceiveLimits(0, 4096, 0));
    // A page whose stream is the limit exactly, DLE ETX included, is taken.
    const std::string fits = std::string(1, '\0') + std::string(4093, 'B');
    const std::string endless = std::string(1, '\0') + std::string(3 * 4096, 'A');
    modem_.Send(fits + "\x10\x03").Pause(50).Send(endless);
    int32_t ch = AttachReceiving();

    EXPECT_EQ(TOLLAN_OK, FaxGetPageData(ch, 1, Path("big").c_str()));
    EXPECT_TRUE(fits == ReadFileBytes(Path("big_p1.g3")));
    EXPECT_EQ(TOLLAN_E_PAGE_TOO_LARGE, FaxGetPageData(ch, 2, Path("big").c_str()));
    EXPECT_TRUE(endless.substr(0, 4096) == ReadFileBytes(Path("big_p2.g3")));
    EXPECT_TRUE(Traced("FaxGetPageData: the page passed its limit of 4096 bytes"));
}

TEST_F(PageReceiveTest, AbortAndTheCallsTimeLimitEndAPage) {
    modem_.Send(std::string("\x00\x41", 2));
    int32_t ch = AttachReceiving();
    FaxBeginCall(ch);
    ASSERT_EQ(TOLLAN_OK, AbortCall(ch));
    EXPECT_EQ(TOLLAN_E_ABORTED, FaxGetPageData(ch, 1, Path("cut").c_str()));

    // The next call may last 30 s: its stalled page ends then, before the
    // watchdog's 60 s.
    ASSERT_EQ(TOLLAN_OK, SetCallTimeLimit(ch, 30));
    FaxBeginCall(ch);
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(TOLLAN_E_CALL_TIME, FaxGetPageData(ch, 2, Path("cut").c_str()));
    EXPECT_GE(PlatElapsed(start), 30000u);
    EXPECT_EQ(std::string("\x00\x41", 2), ReadFileBytes(Path("cut_p2.g3")));
}

int RefuseThread(uint64_t *, void *(*)(void *), void *) {
    errno = EAGAIN;
    return -1;
}

TEST_F(PageReceiveTest, WatchdogThatCannotStartEndsThePageBeforeItBegins) {
    modem_.Send(std::string("\x00\x41\x10\x03", 4));
    int32_t ch = AttachReceiving();
    const int port = g_channels[ch].comm_handle;
    for (int i = 0; i < 200 && Plat().port_input_waiting(port) < 4; ++i) PlatformDefaults().sleep_ms(5);
    PlatformOps ops = Plat();
    ops.thread_start = RefuseThread;
    const PlatformOps *previous = PlatformInstall(&ops);

    EXPECT_EQ(TOLLAN_E_THREAD, FaxGetPageData(ch, 1, Path("nothread.g3").c_str()));
    PlatformInstall(previous);
    EXPECT_EQ(EAGAIN, GetLastFaxError());
    EXPECT_EQ("", ReadFileBytes(Path("nothread_p1.g3")));
    EXPECT_EQ(4, Plat().port_input_waiting(port));  // nothing was read
}

}  // namespace
