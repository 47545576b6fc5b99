// HDLC frames: sending with its retries, reading with its byte rules, and
// the byte writer on a port that takes nothing.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "class1_fixture.h"

namespace {

using HdlcTest = Class1Test;

const std::string kEop = HostFrame(kControlFinal, kFcfEop);

TEST_F(HdlcTest, SendFrameRepeatsAfterConnectOrErrorUntilOk) {
    modem_.On("AT+FTH=3\r", kConnect).On(kEop, kConnect)                     // not OK: again
        .On("AT+FTH=3\r", kConnect).On(kEop, "\r\n+FCERROR\r\n")            // ERROR: again
        .On("AT+FTH=3\r", kConnect).On(kEop, kOk);
    const int32_t ch = Attach();
    EXPECT_EQ(SendEOP(ch), TOLLAN_OK);
    EXPECT_TRUE(modem_.Done(2000)) << modem_.Failure();
    EXPECT_EQ(Escaped(modem_.Written()), Escaped("AT+FTH=3\r" + kEop + "AT+FTH=3\r" + kEop + "AT+FTH=3\r" + kEop));
}

TEST_F(HdlcTest, SendFrameStopsAfterTheThirdTransmission) {
    for (int i = 0; i < 3; ++i) modem_.On("AT+FTH=3\r", kConnect).On(kEop, "\r\nERROR\r\n");
    modem_.On("AT+FTH=3\r", kConnect);
    const int32_t ch = Attach();
    EXPECT_EQ(SendEOP(ch), TOLLAN_E_TIMEOUT);
    EXPECT_FALSE(modem_.Done(100));  // no fourth AT+FTH=3
    const std::string once = "AT+FTH=3\r" + kEop;
    EXPECT_EQ(Escaped(modem_.Written()), Escaped(once + once + once));
}

TEST_F(HdlcTest, NoCarrierAfterAFrameEndsAtOnce) {
    modem_.On("AT+FTH=3\r", kConnect).On(HostFrame(kControlFinal, kFcfDcn), "\r\nNO CARRIER\r\n");
    const int32_t ch = Attach();
    EXPECT_EQ(SendDCN(ch), TOLLAN_E_ERROR);
    EXPECT_TRUE(Traced("SendFrame: error line hang"));
}

TEST_F(HdlcTest, FrameBytesEqualToDleAreDoubled) {
    const int32_t ch = Attach();
    const uint8_t frame[] = {kControlFinal, 0x83, 0x10, 0x03, 0x41};
    EXPECT_EQ(SendHdlc(frame, sizeof frame, ch), TOLLAN_OK);
    usleep(50000);
    EXPECT_EQ(Escaped(modem_.Written()), Escaped(Bytes({0xFF, 0x13, 0x83, 0x10, 0x10, 0x03, 0x41, 0x10, 0x03})));
}

TEST_F(HdlcTest, ReadFrameKeepsFfDataBytesAndDropsWhatPrecedesTheControlByte) {
    // Before the control byte: the line end after CONNECT and the address
    // bytes. After it, 0xFF is data and stays where it was sent.
    modem_.Send("\r\nCONNECT\r\n" + Bytes({0xFF, 0xFF, 0x13, 0x80, 0x00, 0xFF, 0xFF, 0x41, 0xFF, 0x10, 0x03}));
    const int32_t ch = Attach();
    uint8_t buffer[kFrameBufferSize];
    memset(buffer, 0x55, sizeof buffer);
    const FrameIn in = ReadFrame(buffer, sizeof buffer, ch);
    ASSERT_EQ(in.code, TOLLAN_OK);
    EXPECT_FALSE(in.too_long);
    EXPECT_EQ(in.length, 9u);
    EXPECT_EQ(Escaped(std::string(buffer, buffer + 10)),
              Escaped(Bytes({0x13, 0x80, 0x00, 0xFF, 0xFF, 0x41, 0xFF, 0x10, 0x03}) + Zeros(1)));
}

TEST_F(HdlcTest, AFrameLongerThanTheBufferIsReadToItsEndAndReportedTooLong) {
    // With DLE ETX, "abcd" just fills 8 bytes; "abcde" does not fit.
    modem_.Send(ModemFrame(kFcfNsf, "abcd") + ModemFrame(kFcfNsf, "abcde") + ModemFrame(kFcfCfr));
    const int32_t ch = Attach();
    uint8_t buffer[8];
    FrameIn in = ReadFrame(buffer, sizeof buffer, ch);
    EXPECT_EQ(in.code, TOLLAN_OK);
    EXPECT_FALSE(in.too_long);
    EXPECT_EQ(std::string(buffer, buffer + 8), "\x13\x20" "abcd" + kDleEtx);
    EXPECT_EQ(WaitResult(kWaitTimed, ch), kResultOk);
    in = ReadFrame(buffer, sizeof buffer, ch);
    EXPECT_EQ(in.code, TOLLAN_OK);
    EXPECT_TRUE(in.too_long);
    EXPECT_EQ(WaitResult(kWaitTimed, ch), kResultOk);
    in = ReadFrame(buffer, sizeof buffer, ch);  // the next frame starts clean
    EXPECT_FALSE(in.too_long);
    EXPECT_EQ(buffer[1], kFcfCfr);
}

TEST_F(HdlcTest, RecvFrameTakesATooLongFrameForABadOne) {
    modem_.On("AT+FRH=3\r", kConnect + ModemFrame(kFcfDis, std::string(300, '\xFF')))
        .On("AT+FRH=3\r", kConnect + ModemFrame(kFcfCfr));
    const int32_t ch = Attach();
    uint8_t buffer[kFrameBufferSize];
    EXPECT_EQ(RecvFrame(buffer, sizeof buffer, ch), TOLLAN_OK);
    EXPECT_EQ(buffer[1], kFcfCfr);
    EXPECT_TRUE(Traced("ReadFrame: frame longer than 256 bytes"));
}

TEST_F(HdlcTest, AFrameThatNeverEndsIsGivenUpAtTheFrameTimeLimit) {
    // Bytes keep coming, far apart enough for no byte wait to run out, for
    // much longer than a frame may take; the reader stops while they do.
    modem_.Send("\xFF\x13").Trickle(std::string(2000, 'A'), 5);
    const int32_t ch = Attach();
    uint8_t buffer[kFrameBufferSize];
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(ReadFrame(buffer, sizeof buffer, ch).code, TOLLAN_E_TIMEOUT);
    EXPECT_GE(PlatElapsed(start), kFrameTimeLimitMs);
    EXPECT_FALSE(modem_.Done(0));
    EXPECT_TRUE(Traced("ReadFrame: no frame end after"));
}

TEST_F(HdlcTest, ADoubledDleInAReceivedFrameIsOneDataByte) {
    // DLE DLE ETX is the data bytes 0x10 0x03, not the end of the frame.
    modem_.Send(Bytes({0xFF, 0x13, 0x80, 0x00, 0x10, 0x10, 0x03, 0x41, 0x10, 0x03}) + kOk);
    const int32_t ch = Attach();
    uint8_t buffer[kFrameBufferSize];
    ASSERT_EQ(ReadFrame(buffer, sizeof buffer, ch).code, TOLLAN_OK);
    EXPECT_EQ(Escaped(std::string(buffer, buffer + 7)), Escaped(Bytes({0x13, 0x80, 0x00, 0x10, 0x03, 0x41, 0x10})));
    EXPECT_EQ(buffer[7], 0x03);
    EXPECT_EQ(WaitResult(kWaitTimed, ch), kResultOk);
}

TEST_F(HdlcTest, RecvFrameAsksAgainAfterABadChecksumOrLostCarrier) {
    const std::string bad = "\xFF\x13\x84" + kDleEtx + "\r\nERROR\r\n";
    const std::string lost = "\xFF\x13\x84" + kDleEtx + "\r\nNO CARRIER\r\n";
    modem_.On("AT+FRH=3\r", kConnect + bad).On("AT+FRH=3\r", kConnect + lost)
        .On("AT+FRH=3\r", kConnect + ModemFrame(kFcfMcf));
    const int32_t ch = Attach();
    uint8_t buffer[kFrameBufferSize];
    EXPECT_EQ(RecvFrame(buffer, sizeof buffer, ch), TOLLAN_OK);
    EXPECT_EQ(buffer[1], kFcfMcf);
    EXPECT_TRUE(Traced("RecvFrame: no carrier"));
}

TEST_F(HdlcTest, RecvFrameGivesUpAfterThreeBadFrames) {
    const std::string bad = "\xFF\x13\x84" + kDleEtx + "\r\nERROR\r\n";
    for (int i = 0; i < 3; ++i) modem_.On("AT+FRH=3\r", kConnect + bad);
    const int32_t ch = Attach();
    uint8_t buffer[kFrameBufferSize];
    EXPECT_EQ(RecvFrame(buffer, sizeof buffer, ch), TOLLAN_E_TIMEOUT);
}

TEST_F(HdlcTest, FaxSendByteGivesUpOnAPortThatTakesNothing) {
    UseClock(1000);
    FullPort port;
    FaxChannel &c = g_channels[1];
    c.comm_handle = port.fds[1];
    c.io_timeout = 6000;
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(FaxSendByte(0x00, 1), TOLLAN_E_TIMEOUT);
    EXPECT_GE(PlatElapsed(start), 6000u);
    EXPECT_TRUE(Traced("FaxSendByte: timeout"));
}

TEST_F(HdlcTest, FaxSendByteReportsAWriteError) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FaxChannel &c = g_channels[1];
    c.comm_handle = fds[0];  // the read end: writing fails with EBADF
    c.io_timeout = 6000;
    EXPECT_EQ(FaxSendByte(0x41, 1), TOLLAN_E_WRITE);
    EXPECT_EQ(g_last_error, EBADF);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
