// The modem link: blocks both ways, each channel's own line, the hang-up
// rule on every read path. The port is a counting stand-in, so the figures
// asserted are system calls, not times.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "class2/class2.h"
#include "engine/call_limits.h"
#include "engine/channel.h"
#include "modem/link.h"
#include "modem/modem_io.h"
#include "platform/platform.h"
#include "support/scripted_modem.h"

namespace {

// The stand-in port: input from a string (per descriptor), writes recorded.
struct FakePort {
    std::string input[2];
    size_t position[2] = {0, 0};
    std::string written;
    int reads = 0;
    int writes = 0;
    bool hung_up = false;  // readable, yet every read gives end of file
} g_port;

ssize_t FakeRead(int fd, void *buf, size_t n) {
    ++g_port.reads;
    if (g_port.hung_up) return 0;
    const std::string &in = g_port.input[fd];
    size_t take = std::min(n, in.size() - g_port.position[fd]);
    memcpy(buf, in.data() + g_port.position[fd], take);
    g_port.position[fd] += take;
    if (take == 0) {
        errno = EAGAIN;
        return 0;
    }
    return static_cast<ssize_t>(take);
}
ssize_t FakeWrite(int, const void *buf, size_t n) {
    ++g_port.writes;
    g_port.written.append(static_cast<const char *>(buf), n);
    return static_cast<ssize_t>(n);
}
// The clock moves only while the library waits for input that is not there.
uint32_t g_now;
uint32_t FakeTick() { return g_now; }
int FakeReadable(int fd, int, uint32_t timeout_ms) {
    if (g_port.hung_up || g_port.position[fd] < g_port.input[fd].size()) return 1;
    g_now += timeout_ms;
    return 0;
}
int FakeWritable(int, uint32_t) { return 1; }
int FakePurge(int fd) {
    g_port.position[fd] = g_port.input[fd].size();
    return 0;
}
int FakeWaiting(int fd) { return static_cast<int>(g_port.input[fd].size() - g_port.position[fd]); }

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        memset(g_channels, 0, sizeof g_channels);
        g_port = FakePort{};
        ops_ = PlatformDefaults();
        ops_.tick_count = FakeTick;
        ops_.port_read = FakeRead;
        ops_.port_write = FakeWrite;
        ops_.wait_readable = FakeReadable;
        ops_.wait_writable = FakeWritable;
        ops_.port_purge = FakePurge;
        ops_.port_input_waiting = FakeWaiting;
        PlatformInstall(&ops_);
        for (int ch = 0; ch < 2; ++ch) {
            g_channels[ch].comm_handle = ch;
            g_channels[ch].io_timeout = 6000;
            g_channels[ch].in_use = 1;
            FaxBeginCall(ch);
        }
    }
    void TearDown() override {
        PlatformInstall(nullptr);
        memset(g_channels, 0, sizeof g_channels);
    }
    PlatformOps ops_{};
};

TEST_F(LinkTest, EachChannelReadsItsLinesIntoItsOwnBuffer) {
    g_port.input[0] = "\r\nOK\r\n";
    g_port.input[1] = "\r\nCONNECT\r\n";
    const char *first = FaxReadLine(0);
    const char *second = FaxReadLine(1);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_STREQ("OK", first);  // not overwritten by the other channel's line
    EXPECT_STREQ("CONNECT", second);
}

TEST_F(LinkTest, InputIsReadABlockAtATimeAndNothingIsLost) {
    std::string page;
    for (int i = 0; i < 20000; ++i) page += static_cast<char>(i * 7);
    g_port.input[0] = page + "\r\nOK\r\n";
    std::string got;
    for (size_t i = 0; i < page.size(); ++i) {
        uint8_t byte = 0;
        ASSERT_EQ(TOLLAN_OK, FaxReadByte(0, &byte));
        got += static_cast<char>(byte);
    }
    EXPECT_EQ(page, got);
    EXPECT_LE(g_port.reads, static_cast<int>(page.size() / kLinkInputSize) + 1);
    // What was read ahead is still there for the next reader.
    EXPECT_STREQ("OK", FaxReadLine(0));
    EXPECT_EQ(0, FaxPendingInput(g_channels[0]));
}

TEST_F(LinkTest, PageBytesGoOutInBlocksAndBeforeAnythingElse) {
    FaxOutputBlocks blocks(0);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(TOLLAN_OK, FaxSendByte(static_cast<uint8_t>(i), 0));
    EXPECT_EQ(static_cast<int>(2000 / kLinkQueueSize), g_port.writes);
    // A command or a read never overtakes queued page data.
    ASSERT_EQ(TOLLAN_OK, FaxSendString("AT\r", 0));
    std::string expected;
    for (int i = 0; i < 2000; ++i) expected += static_cast<char>(i);
    EXPECT_EQ(expected + "AT\r", g_port.written);
    ASSERT_EQ(TOLLAN_OK, FaxSendByte(0x10, 0));
    uint8_t byte = 0;
    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxReadByte(0, &byte));
    EXPECT_EQ('\x10', g_port.written.back());
    // Once the blocks end, every byte goes out at once again.
    ASSERT_EQ(TOLLAN_OK, FaxSendByte(0x41, 0));
    ASSERT_EQ(TOLLAN_OK, blocks.Finish());
    const int writes = g_port.writes;
    ASSERT_EQ(TOLLAN_OK, FaxSendByte(0x42, 0));
    EXPECT_EQ(writes + 1, g_port.writes);
    EXPECT_EQ('\x42', g_port.written.back());
}

TEST_F(LinkTest, PortClearDropsWhatTheLinkHolds) {
    g_port.input[0] = "\r\nRING\r\n\r\nRING\r\n";
    ASSERT_STREQ("RING", FaxReadLine(0));
    ASSERT_EQ(TOLLAN_OK, PortClear(0));
    EXPECT_EQ(0, FaxPendingInput(g_channels[0]));
    EXPECT_EQ(nullptr, FaxReadLine(0));
}

TEST_F(LinkTest, AHungUpPortFailsEveryReadPathInsteadOfLookingSilent) {
    g_port.hung_up = true;
    int32_t ring = -1;
    EXPECT_EQ(TOLLAN_E_READ, WaitForRing(0, &ring));
    EXPECT_EQ(EIO, g_last_error);
    uint8_t byte = 0;
    EXPECT_EQ(TOLLAN_E_READ, FaxReadByte(1, &byte));
    // A quiet port that is not hung up is simply silent.
    g_port.hung_up = false;
    g_port.input[0] = "\r\nRI";
    EXPECT_EQ(TOLLAN_OK, WaitForRing(0, &ring));
    EXPECT_EQ(0, ring);
    g_port.input[0] += "NG\r\n";
    EXPECT_EQ(TOLLAN_OK, WaitForRing(0, &ring));
    EXPECT_EQ(1, ring);
}

}  // namespace
