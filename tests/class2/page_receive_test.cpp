// FaxGetPageData's watchdog on a fast clock: a page that never starts and a
// page that stalls half-way both end after 60 s with 117, keeping what came.
#include <cerrno>

#include "class2/class2.h"
#include "class2_fixture.h"
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
        strcpy(g_channels[ch].remote_id, "FAR END");
        g_channels[ch].lines_received = 1234;
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
    EXPECT_EQ("RemoteID = FAR END\r\nHangupCode = 0\r\nLines = 1234\r\n", ReadFileBytes(Path("idle_p4.ffi")));
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
