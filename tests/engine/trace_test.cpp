// The bytes of trace lines: stamp, sanitising, Shift_JIS pairs, CR LF, cuts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "engine/channel.h"
#include "engine/trace.h"
#include "platform/platform.h"

namespace {

void FixedMorning(struct tm *out) {
    memset(out, 0, sizeof *out);
    out->tm_hour = 7;
    out->tm_min = 5;
    out->tm_sec = 9;
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = g_settings;
        ops_ = PlatformDefaults();
        ops_.local_time = FixedMorning;
        PlatformInstall(&ops_);
        char dir[] = "/tmp/tollan-trace-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        dir_ = dir;
        path_ = dir_ + "/trace.log";
    }
    void TearDown() override {
        PlatformInstall(nullptr);
        g_settings = saved_;
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    std::string FileBytes() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    void UseFile() {
        ASSERT_EQ(TOLLAN_OK, SetTraceOption(1));
        ASSERT_EQ(TOLLAN_OK, SetTraceFileName(path_.c_str()));
    }

    LibrarySettings saved_{};
    PlatformOps ops_{};
    std::string dir_, path_;
};

TEST_F(TraceTest, LinesAreStampedAndEndInCrLf) {
    UseFile();
    FaxTrace("FaxWaitFor: got line %s", "OK");
    FaxTrace("code %d %x %c %2d", 117, 255, 'Z', 5);
    EXPECT_EQ("07:05:09 FaxWaitFor: got line OK\r\n07:05:09 code 117 ff Z  5\r\n", FileBytes());
}

TEST_F(TraceTest, ControlAndHighBytesBecomeSpaces) {
    UseFile();
    FaxTrace("a\tb\rc\nd%s", "\x7f\xa5");
    // 0x7f is not below 32 as a signed byte and stays; 0xa5 is not a lead byte.
    EXPECT_EQ("07:05:09 a b c d\x7f \r\n", FileBytes());
}

TEST_F(TraceTest, JapaneseTextIsWrittenAsShiftJis) {
    UseFile();
    FaxTrace("PortOpen: モデムから応答がありません");
    EXPECT_EQ("07:05:09 PortOpen: \x83\x82\x83\x66\x83\x80\x82\xa9\x82\xe7\x89\x9e\x93\x9a\x82\xaa\x82\xa0\x82\xe8"
              "\x82\xdc\x82\xb9\x82\xf1\r\n",
              FileBytes());
}

TEST_F(TraceTest, ShiftJisPairsInArgumentsAreKept) {
    UseFile();
    // 0x83 0x5C is a pair whose second byte is a backslash; a lone lead byte
    // before the end stops the scan.
    FaxTrace("%s", "\x83\x5c\x0a\x83");
    EXPECT_EQ(std::string("07:05:09 \x83\x5c \r\n"), FileBytes());
}

TEST_F(TraceTest, LongMessagesAreCutToOneLine) {
    UseFile();
    FaxTrace("%s", std::string(400, 'x').c_str());
    std::string bytes = FileBytes();
    EXPECT_EQ(9u + 245u + 2u, bytes.size());
    EXPECT_EQ("\r\n", bytes.substr(bytes.size() - 2));
}

TEST_F(TraceTest, NothingIsWrittenWithoutAFileOrWithOptionZero) {
    g_settings.trace_file[0] = '\0';
    ASSERT_EQ(TOLLAN_OK, SetTraceOption(1));
    FaxTrace("dropped");
    EXPECT_EQ(-1, access(path_.c_str(), F_OK));
    ASSERT_EQ(TOLLAN_OK, SetTraceFileName(path_.c_str()));
    ASSERT_EQ(TOLLAN_OK, SetTraceOption(0));
    FaxTrace("dropped");
    EXPECT_EQ(-1, access(path_.c_str(), F_OK));
}

TEST_F(TraceTest, OptionTwoGoesToStandardErrorOnly) {
    UseFile();
    FaxTrace("first");
    ASSERT_EQ(TOLLAN_OK, SetTraceOption(2));
    testing::internal::CaptureStderr();
    FaxTrace("second");
    EXPECT_EQ("07:05:09 second\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ("07:05:09 first\r\n", FileBytes());
}

}  // namespace
