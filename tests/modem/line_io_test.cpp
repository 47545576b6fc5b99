// Bytes and lines: what is stored, what is passed over, and the time-outs.
#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "engine/call_limits.h"
#include "modem/modem_io.h"
#include "modem_fixture.h"
#include "platform/platform.h"
#include "support/fault_platform.h"

namespace {

using LineIoTest = ModemTest;

TEST_F(LineIoTest, ReadLinePassesOverLineEndsAndControlBytes) {
    modem_.Send("\r\n\r\nOK\r\n" "\x01" "CON\x80NECT\x7F\r\n" "\n\n+FHNG:0\r\n");
    int32_t ch = Attach();
    const char *line = FaxReadLine(ch);
    ASSERT_NE(nullptr, line);
    EXPECT_STREQ("OK", line);
    EXPECT_STREQ("CONNECT", FaxReadLine(ch));
    EXPECT_STREQ("+FHNG:0", FaxReadLine(ch));
}

TEST_F(LineIoTest, ReadLineKeepsTheFirst256Characters) {
    std::string digits;
    for (int i = 0; i < 300; ++i) digits += static_cast<char>('0' + i % 10);
    modem_.Send(digits + "\r\nOK\r\n");
    int32_t ch = Attach();
    const char *line = FaxReadLine(ch);
    ASSERT_NE(nullptr, line);
    EXPECT_EQ(digits.substr(0, 256), line);
    // The rest of the long line was consumed with it.
    EXPECT_STREQ("OK", FaxReadLine(ch));
}

TEST_F(LineIoTest, ReadLineOnASilentModemTracesTheTimeout) {
    modem_.Send("PARTIAL");  // never ended by a line feed
    int32_t ch = Attach();
    EXPECT_EQ(nullptr, FaxReadLine(ch));
    std::vector<std::string> lines = trace_->Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("FaxReadByte: timeout", lines[0]);
    EXPECT_EQ("FaxReadByte returned error 117", lines[1]);
}

TEST_F(LineIoTest, ReadByteTakesBytesAsTheyComeFromASlowModem) {
    modem_.Trickle("AB", 30);
    int32_t ch = Attach();
    uint8_t b = 0;
    ASSERT_EQ(TOLLAN_OK, FaxReadByte(ch, &b));
    EXPECT_EQ('A', b);
    ASSERT_EQ(TOLLAN_OK, FaxReadByte(ch, &b));
    EXPECT_EQ('B', b);
    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxReadByte(ch, &b));
    EXPECT_TRUE(Traced("FaxReadByte: timeout"));
}

TEST_F(LineIoTest, AModemThatVanishesGivesReadAndWriteErrors) {
    modem_.Send("O").Vanish();
    int32_t ch = AttachChannel(modem_);  // the port must be open before the modem goes
    modem_.Start();
    EXPECT_TRUE(modem_.Done(1000)) << modem_.Failure();
    uint8_t b = 0;
    EXPECT_EQ(TOLLAN_E_READ, FaxReadByte(ch, &b));
    EXPECT_EQ(EIO, g_last_error);
    EXPECT_EQ(TOLLAN_E_WRITE, FaxSendString("AT\r\n", ch));
}

TEST_F(LineIoTest, RawLineKeepsEveryByteUpToTheLineFeed) {
    modem_.Send("\r\n+FCON\r\n");
    int32_t ch = Attach();
    char buf[256];
    ASSERT_EQ(TOLLAN_OK, FaxReadRawLine(ch, buf, sizeof buf));
    EXPECT_STREQ("\r\n", buf);
    ASSERT_EQ(TOLLAN_OK, FaxReadRawLine(ch, buf, sizeof buf));
    EXPECT_STREQ("+FCON\r\n", buf);
}

TEST_F(LineIoTest, RawLineStopsAtTheBufferSizeAndStaysTerminated) {
    modem_.Send("0123456789abc\r\n");
    int32_t ch = Attach();
    char buf[12];
    ASSERT_EQ(TOLLAN_OK, FaxReadRawLine(ch, buf, 8));
    EXPECT_STREQ("0123456", buf);
    buf[8] = 0x55;  // past the given size: must stay untouched
    ASSERT_EQ(TOLLAN_OK, FaxReadRawLine(ch, buf, 8));
    EXPECT_STREQ("789abc\r", buf);
    EXPECT_EQ(0x55, buf[8]);
    ASSERT_EQ(TOLLAN_OK, FaxReadRawLine(ch, buf, 8));
    EXPECT_STREQ("\n", buf);
}

TEST_F(LineIoTest, RawLineKeepsWhatArrivedBeforeATimeout) {
    modem_.Send("+FC");
    int32_t ch = Attach();
    char buf[256];
    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxReadRawLine(ch, buf, sizeof buf));
    EXPECT_STREQ("+FC", buf);
}

TEST_F(LineIoTest, SendStringWritesTheWholeText) {
    int32_t ch = Attach();
    EXPECT_EQ(TOLLAN_OK, FaxSendString("ATDT0123\r\n", ch));
    EXPECT_EQ(TOLLAN_OK, FaxSendString("", ch));
    FaxResetClass(ch);
    EXPECT_EQ("ATDT0123\r\nAT+FCLASS=0\r\n", modem_.Written());
}

TEST_F(LineIoTest, AReadErrorGives108AndRecordsTheErrorValue) {
    int32_t ch = Attach();
    FaultPlatform port;  // a port that is not open, as far as reads and writes go
    port.Fail(PortOp::kRead, 1, EBADF, FaultPlatform::kFromThenOn);
    port.Fail(PortOp::kWrite, 1, EBADF, FaultPlatform::kFromThenOn);
    uint8_t b = 0;
    EXPECT_EQ(TOLLAN_E_READ, FaxReadByte(ch, &b));
    EXPECT_EQ(EBADF, g_last_error);
    EXPECT_TRUE(Traced("FaxReadByte: ReadFile error 9"));
    g_last_error = 0;
    EXPECT_EQ(TOLLAN_E_WRITE, FaxSendString("AT\r\n", ch));
    EXPECT_EQ(EBADF, g_last_error);
    // The trace shows the text; its line end is blanked out.
    EXPECT_TRUE(Traced("FaxSendString: ポート出力エラー 9 (AT  )"));
}

// ---- Deadlines on a scripted clock ------------------------------------------

// A clock that moves only when the port is used, so the deadline tests are exact.
uint32_t g_now;
uint32_t g_advance_per_io;
int g_reads;
int g_line_feed_at;  // the read that gives a line feed; 0 never

uint32_t ScriptedTick() { return g_now; }
ssize_t ScriptedWrite(int, const void *, size_t n) {
    g_now += g_advance_per_io;
    return static_cast<ssize_t>(std::min<size_t>(n, 3));  // a port that takes three bytes at a time
}
ssize_t ScriptedRead(int, void *buf, size_t) {
    g_now += g_advance_per_io;
    *static_cast<uint8_t *>(buf) = ++g_reads == g_line_feed_at ? '\n' : 'X';
    return 1;
}
int ReadyAfterAnIo(int, uint32_t) {
    g_now += g_advance_per_io;
    return 1;
}
int AlwaysReady(int, int, uint32_t) { return 1; }
// A port that never gets room: the wait takes all the time it is given.
int NeverWritable(int, uint32_t timeout_ms) {
    g_now += timeout_ms;
    return 0;
}

PlatformOps ScriptedPort() {
    PlatformOps ops = PlatformDefaults();
    ops.tick_count = ScriptedTick;
    ops.port_write = ScriptedWrite;
    ops.port_read = ScriptedRead;
    ops.wait_writable = ReadyAfterAnIo;
    ops.wait_readable = AlwaysReady;
    return ops;
}

class DeadlineTest : public ::testing::Test {
protected:
    void SetUp() override {
        memset(g_channels, 0, sizeof g_channels);
        g_last_error = 0;
        g_now = 0xFFFFF000u;  // close to the wrap: differences must stay right
        g_advance_per_io = 0;
        g_reads = 0;
        g_line_feed_at = 0;
        port_ = std::make_unique<FaultPlatform>(ScriptedPort());
        g_channels[0].io_timeout = 6000;
        FaxBeginCall(0);
    }
    void TearDown() override { port_.reset(); }
    std::unique_ptr<FaultPlatform> port_;
};

TEST_F(DeadlineTest, SendStringTimesOutOnItsLastWrite) {
    g_advance_per_io = 2000;  // three writes of three bytes: the last ends at 6000
    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxSendString("ATDT12\r\n", 0));
    EXPECT_EQ("ATDT12\r\n", port_->Written());  // every byte went out
    g_now = 0xFFFFFFF0u;
    g_advance_per_io = 1999;
    EXPECT_EQ(TOLLAN_OK, FaxSendString("ATDT12\r\n", 0));
}

TEST_F(DeadlineTest, SendStringWaitsOnAFullPortAndRecordsIt) {
    port_->Fail(PortOp::kWrite, 1, EAGAIN, 2);
    EXPECT_EQ(TOLLAN_OK, FaxSendString("AT\r\n", 0));
    EXPECT_EQ("AT\r\n", port_->Written());
    EXPECT_EQ(EAGAIN, g_last_error);
    g_advance_per_io = 3000;  // each wait for room takes 3 s
    port_->Fail(PortOp::kWrite, 1, EAGAIN, 5);
    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxSendString("AT\r\n", 0));
}

TEST_F(DeadlineTest, AByteArrivingAtTheDeadlineIsATimeout) {
    g_advance_per_io = 6000;
    uint8_t b = 0;
    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxReadByte(0, &b));
    g_advance_per_io = 5999;
    EXPECT_EQ(TOLLAN_OK, FaxReadByte(0, &b));
    EXPECT_EQ('X', b);
}

TEST_F(DeadlineTest, ALineIsDueWithinTheTimeoutHoweverFastBytesCome) {
    // A byte every 50 ms, a line feed only after 50 s: each byte is in time,
    // the line is not.
    g_advance_per_io = 50;
    g_line_feed_at = 1000;
    const uint32_t start = g_now;
    EXPECT_EQ(nullptr, FaxReadLine(0));
    EXPECT_EQ(6000u, g_now - start);
    g_reads = 0;
    char buf[2048];
    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxReadRawLine(0, buf, sizeof buf));
    EXPECT_EQ(119u, strlen(buf));  // what came in the 6 s is kept
}

ssize_t NothingToRead(int, void *, size_t) { return 0; }
uint32_t g_longest_wait;
uint32_t g_abort_at;  // clock ms after which the host aborts; 0 never
// A silent modem: every wait takes the whole time it is given, unless the
// host aborts during it and the abort really makes the wake descriptor readable.
int SilentWait(int, int wake_fd, uint32_t timeout_ms) {
    g_longest_wait = std::max(g_longest_wait, timeout_ms);
    const uint32_t into_call = g_now - g_channels[0].call_started;
    if (g_abort_at != 0 && into_call + timeout_ms >= g_abort_at && !FaxAbortRequested(0)) {
        g_now += g_abort_at - into_call;
        AbortCall(0);
        pollfd woken{wake_fd, POLLIN, 0};
        return wake_fd >= 0 && poll(&woken, 1, 0) == 1 ? 2 : 0;
    }
    g_now += timeout_ms;
    return 0;
}

TEST_F(DeadlineTest, TheTimeLimitEndsAReadWithinASecondAndAnAbortAtOnce) {
    port_->Base().port_read = NothingToRead;
    port_->Base().wait_readable = SilentWait;
    g_longest_wait = 0;
    g_abort_at = 0;
    const FaxDeadline minute = FaxDeadlineIn(60000);
    uint8_t b = 0;

    ASSERT_EQ(TOLLAN_OK, SetCallTimeLimit(0, 10));
    FaxBeginCall(0);
    EXPECT_EQ(TOLLAN_E_CALL_TIME, FaxReadByteUntil(0, minute, &b));
    EXPECT_LE(g_now - g_channels[0].call_started, 11000u);
    EXPECT_EQ(1000u, g_longest_wait);

    SetCallTimeLimit(0, 0);
    g_abort_at = 3500;
    FaxBeginCall(0);
    EXPECT_EQ(TOLLAN_E_ABORTED, FaxReadByteUntil(0, FaxDeadlineIn(60000), &b));
    EXPECT_EQ(3500u, g_now - g_channels[0].call_started);
    // Once aborted, no read waits at all.
    const uint32_t aborted_at = g_now;
    EXPECT_EQ(nullptr, FaxReadLine(0));
    EXPECT_EQ(aborted_at, g_now);

}

ssize_t EndOfFile(int, void *, size_t) { return 0; }

TEST_F(DeadlineTest, AHungUpPortIsAReadErrorNotASpin) {
    // Readable, yet nothing to read: what a hung-up terminal looks like. The
    // clock stands still, so only the hang-up rule can end this call.
    port_->Base().port_read = EndOfFile;
    uint8_t b = 0;
    EXPECT_EQ(TOLLAN_E_READ, FaxReadByte(0, &b));
    EXPECT_EQ(EIO, g_last_error);
}

TEST_F(DeadlineTest, PortWriteTakesEverythingInPieces) {
    std::string page(100, 'x');
    EXPECT_EQ(100, FaxPortWrite(0, page.data(), page.size()));
    EXPECT_EQ(page, port_->Written());
}

TEST_F(DeadlineTest, PortWriteGivesUpAfterOneMsPerBytePlusTenSeconds) {
    port_->Base().wait_writable = NeverWritable;
    port_->Fail(PortOp::kWrite, 1, EAGAIN, FaultPlatform::kFromThenOn);
    const uint32_t start = g_now;
    std::string page(2500, 'x');
    EXPECT_EQ(0, FaxPortWrite(0, page.data(), page.size()));
    EXPECT_EQ(12500u, g_now - start);
}

// ---- Processor time of a silent wait ----------------------------------------

double ThreadCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST_F(LineIoTest, WaitingForASilentModemCostsNoProcessorTime) {
    // 5 clock seconds pass in 250 real ms; bench/read_idle measures the real 5 s.
    int32_t ch = Attach();
    g_channels[ch].io_timeout = 5000;
    double before = ThreadCpuSeconds();
    uint8_t b = 0;
    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxReadByte(ch, &b));
    EXPECT_LT(ThreadCpuSeconds() - before, 0.05);
}

}  // namespace
