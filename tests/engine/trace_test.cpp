// The bytes of trace lines: stamp, sanitising, Shift_JIS pairs, CR LF, cuts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>
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
    static std::string ReadText(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static void WriteText(const std::string &path, const std::string &text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    std::string FileBytes() const { return ReadText(path_); }
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

TEST_F(TraceTest, LeadBytesWithoutAValidTrailCannotSmuggleControlBytes) {
    UseFile();
    // Remote text: a lead byte before ESC, CR LF and a forged line, before
    // DEL (0x7f, no trail), and before 0xFD; then valid pairs at both ends of
    // the trail ranges.
    FaxTrace("%s", "\x83\x1b[2J\x83\r\n07:05:10 forged\x81\x7f\xe0\xfd|\x81\x40\x9f\x7e\xe0\x80\xfc\xfc");
    EXPECT_EQ(std::string("07:05:09   [2J   07:05:10 forged \x7f  |\x81\x40\x9f\x7e\xe0\x80\xfc\xfc\r\n"),
              FileBytes());
}

TEST_F(TraceTest, TheFileIsCreatedPrivateAndNeverThroughALink) {
    mode_t old_mask = umask(0);
    UseFile();
    FaxTrace("first");
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(0, stat(path_.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);

    // A link planted where the trace goes leaves its target alone.
    std::string victim = dir_ + "/profile";
    WriteText(victim, "keep\n");
    unlink(path_.c_str());
    ASSERT_EQ(0, symlink(victim.c_str(), path_.c_str()));
    FaxTrace("remote identity; rm -rf ~");
    EXPECT_EQ("keep\n", ReadText(victim));
    unlink(victim.c_str());
    FaxTrace("a dangling link is not followed either");
    EXPECT_NE(0, access(victim.c_str(), F_OK));

    // Nor a FIFO: the line is dropped without waiting for a reader.
    unlink(path_.c_str());
    ASSERT_EQ(0, mkfifo(path_.c_str(), 0600));
    FaxTrace("not into a pipe");
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

// Flag 4 adds the channel of the thread's call: 5 and 6 are the file and
// standard error with it; 3, 4 and 7 name no target.
TEST_F(TraceTest, TheChannelFieldComesOnlyWithItsFlag) {
    for (int bad : {3, 4, 7, 8}) EXPECT_EQ(TOLLAN_E_ARGUMENT, SetTraceOption(bad)) << bad;
    UseFile();
    FaxTraceChannel(7);
    FaxTrace("plain");
    ASSERT_EQ(TOLLAN_OK, SetTraceOption(5));
    FaxTrace("tagged");
    FaxTraceChannel(-1);
    FaxTrace("outside a call");
    EXPECT_EQ("07:05:09 plain\r\n07:05:09 [7] tagged\r\n07:05:09 [-] outside a call\r\n", FileBytes());
    ASSERT_EQ(TOLLAN_OK, SetTraceOption(6));
    FaxTraceChannel(19);
    testing::internal::CaptureStderr();
    FaxTrace("%s", std::string(400, 'y').c_str());
    std::string line = testing::internal::GetCapturedStderr();
    EXPECT_EQ("07:05:09 [19] " + std::string(245, 'y') + "\n", line);  // the message keeps its room
}

// Threads of different channels write at once: every line arrives whole,
// with its own channel, and none is lost.
TEST_F(TraceTest, LinesOfConcurrentChannelsNeverMix) {
    UseFile();
    ASSERT_EQ(TOLLAN_OK, SetTraceOption(5));
    constexpr int kThreads = 8, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            FaxTraceChannel(t);
            for (int i = 0; i < kLines; ++i) FaxTrace("line %d of channel %d %s", i, t, std::string(150, 'a' + t).c_str());
        });
    for (std::thread &t : threads) t.join();
    std::istringstream in(FileBytes());
    std::vector<int> counts(kThreads, 0);
    for (std::string line; std::getline(in, line);) {
        int channel = -1, i = -1, again = -1;
        char fill[160] = {};
        ASSERT_EQ(4, sscanf(line.c_str(), "07:05:09 [%d] line %d of channel %d %159s", &channel, &i, &again, fill))
            << line;
        ASSERT_EQ(channel, again) << line;
        ASSERT_EQ(std::string(150, static_cast<char>('a' + channel)), fill) << line;
        ASSERT_EQ('\r', line.back());
        ++counts[static_cast<size_t>(channel)];
    }
    for (int n : counts) EXPECT_EQ(kLines, n);
}

}  // namespace
