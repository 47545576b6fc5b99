// WaitForRing and ReceiveFax against a scripted class 2 / 2.0 modem: the
// answering dialogue, page files equal to the data sent, the page judgement,
// and the ways a call ends.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "class2/class2.h"
#include "class2_fixture.h"
#include "engine/trace.h"
#include "engine/tollan.h"
#include "platform/platform.h"

namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kPageReport = "\r\n+FPTS:1,2200,3,0,12\r\n\r\n+FET:0\r\n\r\nOK\r\n";

// DLE framing as a modem puts it around page data: DLE doubled, DLE ETX after.
std::string Framed(const std::string &data) { return DleDoubled(data) + "\x10\x03"; }

std::string PageData(uint32_t seed, size_t n) {
    std::string data(1, '\0');  // the page's first EOL starts with a zero byte
    while (data.size() < n) {
        seed = seed * 1664525u + 1013904223u;
        data += static_cast<char>((seed >> 24) & 0xff);
    }
    return data;
}

class ReceiveFaxTest : public Class2Test {
protected:
    void ScriptClass2Answer() {
        modem_.On("AT+FCR=1\r\n", kOk)
            .On("AT+FDCC=1,5,0,2,0,0,0,0\r\n", kOk)
            .On("AT+FBOR=1\r\n", kOk)
            .On("ATA\r\n", "\r\n+FCON\r\n\r\n+FTSI: \"CALLER 1\"\r\n\r\n+FDCS:1,5,0,2,0,0,0,0\r\n\r\nOK\r\n")
            .On("AT+FDR\r\n", "\r\nCONNECT\r\n");
    }
    // DC2, the page's bytes as the modem frames them, its report, and the
    // answer to the next "AT+FDR".
    void ScriptPage(const std::string &stream, const std::string &report, const std::string &next) {
        modem_.On("\x12", stream).Send(report).On("AT+FDR\r\n", next);
    }
    uint16_t Receive(const std::string &base) { return ReceiveFax(0, base.c_str(), &pages_); }

    int16_t pages_ = -1;
};

TEST_F(ReceiveFaxTest, ByteStreamExampleGivesItsExactPageFile) {
    ScriptClass2Answer();
    ScriptPage(std::string("\x11\x00\x00\x10\x10\x41\x10\x1A\x10\x03", 10), kPageReport, "\r\n+FHNG:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_OK, Receive(Path("in.tif")));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(1, pages_);
    EXPECT_EQ(Escaped(std::string("\x00\x00\x10\x41\x10\x10", 6)), Escaped(ReadFileBytes(Path("in_p1.g3"))));
    EXPECT_EQ("AT+FCR=1\r\nAT+FDCC=1,5,0,2,0,0,0,0\r\nAT+FBOR=1\r\nATA\r\nAT+FDR\r\n\x12" "AT+FDR\r\n",
              modem_.Written());
    EXPECT_STREQ("CALLER 1", g_channels[0].reports.remote_id);
    EXPECT_EQ(6000u, g_channels[0].io_timeout);
    EXPECT_FALSE(std::filesystem::exists(Path("in_p1.ffi")));
}

TEST_F(ReceiveFaxTest, ThreePagesEqualWhatTheModemSentUntilTheRemoteHangsUp) {
    g_settings.fax_info_option = 1;
    std::string pages[3] = {PageData(1, 3000), PageData(2, 1500), PageData(3, 700)};
    ScriptClass2Answer();
    ScriptPage(Framed(pages[0]), kPageReport, "\r\nCONNECT\r\n");
    ScriptPage(Framed(pages[1]), "\r\n+FPTS:1\r\n\r\n+FET:0\r\n\r\nOK\r\n", "\r\nCONNECT\r\n");
    ScriptPage(Framed(pages[2]), kPageReport, "\r\n+FHNG:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_OK, Receive(Path("doc")));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(3, pages_);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(pages[i], ReadFileBytes(Path("doc_p" + std::to_string(i + 1) + ".g3"))) << "page " << i + 1;
    // The information of a page is its own report's: page 2's gave no line count.
    EXPECT_EQ("RemoteID = CALLER 1\r\nHangupCode = 0\r\nLines = 2200\r\n", ReadFileBytes(Path("doc_p1.ffi")));
    EXPECT_EQ("RemoteID = CALLER 1\r\nHangupCode = 0\r\nLines = 9999\r\n", ReadFileBytes(Path("doc_p2.ffi")));
    EXPECT_EQ("RemoteID = CALLER 1\r\nHangupCode = 0\r\nLines = 2200\r\n", ReadFileBytes(Path("doc_p3.ffi")));
    EXPECT_EQ(std::string::npos, modem_.Written().find("AT+FPS=2"));
}

TEST_F(ReceiveFaxTest, Class20AnswersOnFcoWithItsOwnSetUp) {
    std::string page = PageData(4, 400);
    modem_.On("AT+FCC=1,5,0,2,0,0,0,0\r\n", kOk)
        .On("AT+FNR=1,1,1,0\r\n", kOk)
        .On("AT+FLO=2\r\n", kOk)
        .On("ATA\r\n", "\r\n+FCO\r\n\r\n+FTI: \"CALLER 20\"\r\n\r\n+FCS:1,5,0,2,0,0,0,0\r\n\r\nOK\r\n")
        .On("AT+FDR\r\n", "\r\nCONNECT\r\n");
    ScriptPage(Framed(page), "\r\n+FPS:1,1100,0,0,0\r\n\r\n+FET:2\r\n\r\nOK\r\n", "\r\n+FHS:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2_0);

    EXPECT_EQ(TOLLAN_OK, Receive(Path("c20.g3")));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(1, pages_);
    EXPECT_EQ(page, ReadFileBytes(Path("c20_p1.g3")));
    // The modem was asked for its reports: the caller is known, shown as in class 2.
    const char *remote = nullptr;
    ASSERT_EQ(TOLLAN_OK, GetRemoteID(0, &remote));
    EXPECT_STREQ("CALLER 20", remote);
    EXPECT_EQ("AT+FCC=1,5,0,2,0,0,0,0\r\nAT+FNR=1,1,1,0\r\nAT+FLO=2\r\nATA\r\nAT+FDR\r\n\x12" "AT+FDR\r\n", modem_.Written());
}

TEST_F(ReceiveFaxTest, AnEarlierCallersIdentityIsNotReportedAsThisOnes) {
    // A class 2.0 modem reports the caller's identity only when asked to, so
    // this call brings none: the slot must not show the previous one.
    modem_.On("AT+FCC=1,5,0,2,0,0,0,0\r\n", kOk)
        .On("AT+FNR=1,1,1,0\r\n", kOk)
        .On("AT+FLO=2\r\n", kOk)
        .On("ATA\r\n", "\r\n+FCO\r\n\r\nOK\r\n")
        .On("AT+FDR\r\n", "\r\nCONNECT\r\n");
    ScriptPage(Framed(PageData(5, 100)), "\r\n+FPS:1\r\n\r\n+FET:2\r\n\r\nOK\r\n", "\r\n+FHS:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2_0);
    strcpy(g_channels[0].reports.remote_id, "\"EARLIER CALLER\"");

    EXPECT_EQ(TOLLAN_OK, Receive(Path("anon.g3")));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_STREQ("", g_channels[0].reports.remote_id);
}

TEST_F(ReceiveFaxTest, EmptyPageAndUnknownEscapes) {
    ScriptClass2Answer();
    // A page that is only DLE ETX; then DLE 'A' and DLE 0xFF carry nothing.
    ScriptPage("\x10\x03", kPageReport, "\r\nCONNECT\r\n");
    ScriptPage(std::string("\x00\x01\x10\x41\x02\x10\xff\x03\x10\x03", 10), kPageReport, "\r\n+FHNG:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_OK, Receive(Path("e.x")));
    EXPECT_EQ(2, pages_);
    EXPECT_EQ("", ReadFileBytes(Path("e_p1.g3")));
    EXPECT_EQ(Escaped(std::string("\x00\x01\x02\x03", 4)), Escaped(ReadFileBytes(Path("e_p2.g3"))));
}

struct QualityCase {
    const char *report;
    bool rejected;
};

class ReceiveQualityTest : public ReceiveFaxTest, public ::testing::WithParamInterface<QualityCase> {};

// A class 2 modem takes the page status as "+FPTS"; "+FPS" is class 2.0's.
TEST_P(ReceiveQualityTest, BadPagesAreAnsweredWithTheDialectsPageStatus) {
    ScriptClass2Answer();
    modem_.On("\x12", Framed(PageData(5, 100))).Send(std::string("\r\n") + GetParam().report + "\r\n\r\nOK\r\n");
    if (GetParam().rejected) modem_.On("AT+FPTS=2\r\n", kOk);
    modem_.On("AT+FDR\r\n", "\r\n+FHNG:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_OK, Receive(Path("q.g3")));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(GetParam().rejected, modem_.Written().find("AT+FPTS=2\r\n") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Limits, ReceiveQualityTest,
                         ::testing::Values(QualityCase{"+FPTS:1,40,0,0,0", true},
                                           QualityCase{"+FPTS:1,1000,131,0,0", true},
                                           QualityCase{"+FPTS:1,1000,130,0,0", false},
                                           QualityCase{"+FPTS:1,5000,501,0,0", true},
                                           QualityCase{"+FPTS:2,1000,130,0,0", true},
                                           QualityCase{"+FPTS:2", true},
                                           QualityCase{"+FPTS:1", false}));

TEST_F(ReceiveFaxTest, PollingAnnouncementEndsTheReception) {
    ScriptClass2Answer();
    ScriptPage(Framed(PageData(6, 200)), kPageReport, "\r\n+FTC:0,5,0,2,0,0,0,0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_OK, Receive(Path("poll.g3")));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(1, pages_);
    EXPECT_EQ(1, g_channels[0].reports.poll_requested);
}

TEST_F(ReceiveFaxTest, HangupWithAnErrorCodeAfterAPage) {
    ScriptClass2Answer();
    ScriptPage(Framed(PageData(7, 200)), kPageReport, "\r\n+FHNG:70\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_E_HANGUP, Receive(Path("h.g3")));
    EXPECT_EQ(1, pages_);
    EXPECT_EQ(70, g_channels[0].reports.hangup_code);
}

TEST_F(ReceiveFaxTest, ErrorOrHangupBeforeTheConnection) {
    modem_.On("AT+FCC=1,5,0,2,0,0,0,0\r\n", kOk).On("AT+FNR=1,1,1,0\r\n", kOk).On("AT+FLO=2\r\n", kOk).On("ATA\r\n", "\r\n+FHS:2\r\n");
    Attach(TOLLAN_CLASS_2_0);
    EXPECT_EQ(TOLLAN_E_RECEIVE_FAILED, Receive(Path("x.g3")));
    EXPECT_TRUE(Traced("ReceiveFax: hang up detected"));
}

// The call lost while answering: NO CARRIER is the modem's last word, so it
// ends the wait at once instead of an 80 s time-out.
TEST_F(ReceiveFaxTest, NoCarrierToTheAnswerIsAHangupBeforeTheConnection) {
    modem_.On("AT+FCC=1,5,0,2,0,0,0,0\r\n", kOk).On("AT+FNR=1,1,1,0\r\n", kOk).On("AT+FLO=2\r\n", kOk).On("ATA\r\n", "\r\nNO CARRIER\r\n");
    Attach(TOLLAN_CLASS_2_0);
    EXPECT_EQ(TOLLAN_E_RECEIVE_FAILED, Receive(Path("x.g3")));
    EXPECT_TRUE(Traced("ReceiveFax: hang up detected"));
}

// A modem that talks on after "ATA" without ever connecting is not waited
// on for longer than the answer's time-out.
TEST_F(ReceiveFaxTest, ChatterAfterTheAnswerEndsAtItsTimeOut) {
    modem_.On("AT+FCC=1,5,0,2,0,0,0,0\r\n", kOk).On("AT+FNR=1,1,1,0\r\n", kOk).On("AT+FLO=2\r\n", kOk).Expect("ATA\r\n");
    for (int i = 0; i < 1000; ++i) modem_.Send("\r\nRINGING\r\n").Pause(10);
    Attach(TOLLAN_CLASS_2_0);
    clock_->SetRatio(100);  // a line every second of the clock
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(TOLLAN_E_TIMEOUT, Receive(Path("talk")));
    const uint32_t took = PlatElapsed(start);
    EXPECT_GE(took, 80000u);
    EXPECT_LT(took, 160000u);  // the script talks for 1000 s
}


TEST_F(ReceiveFaxTest, RefusedSetUpCommands) {
    modem_.On("AT+FCR=1\r\n", kOk).On("AT+FDCC=1,5,0,2,0,0,0,0\r\n", kOk).On("AT+FBOR=1\r\n", "\r\nERROR\r\n");
    Attach(TOLLAN_CLASS_2);
    EXPECT_EQ(TOLLAN_E_BIT_ORDER, Receive(Path("x.g3")));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, ReceiveFax(0, Path("x.g3").c_str(), nullptr));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, Receive(""));
    // The longest page file name, "<stem>_p32767.ffi", must fit 259 characters.
    EXPECT_EQ(TOLLAN_E_ARGUMENT, Receive(Path("") + std::string(249 - Path("").size(), 'r')));
    EXPECT_EQ(TOLLAN_E_CHANNEL, ReceiveFax(-1, "a", &pages_));
    EXPECT_EQ(TOLLAN_E_NOT_OPEN, ReceiveFax(3, "a", &pages_));
}

// A port whose reads fail for good once a marker byte went through.
std::atomic<bool> g_marker_seen{false};
std::atomic<int> g_failed_reads{0};
ssize_t ReadFailingAfterMarker(int fd, void *buf, size_t n) {
    if (g_marker_seen) {
        ++g_failed_reads;
        errno = EIO;
        return -1;
    }
    ssize_t got = PlatformDefaults().port_read(fd, buf, n > 0 ? 1 : 0);
    if (got == 1 && static_cast<uint8_t *>(buf)[0] == 0xEE) g_marker_seen = true;
    return got;
}

// A port in error polls as readable.
int (*g_clock_wait)(int, int, uint32_t) = nullptr;
int ReadableOnceFailing(int fd, int wake, uint32_t ms) { return g_marker_seen ? 1 : g_clock_wait(fd, wake, ms); }

TEST_F(ReceiveFaxTest, ElevenFailedReadsEndThePage) {
    g_settings.fax_info_option = 1;
    ScriptClass2Answer();
    modem_.On("\x12", std::string("\x00\x41\xEE", 3));
    Attach(TOLLAN_CLASS_2);
    PlatformOps ops = Plat();
    ops.port_read = ReadFailingAfterMarker;
    g_clock_wait = ops.wait_readable;
    ops.wait_readable = ReadableOnceFailing;
    const PlatformOps *previous = PlatformInstall(&ops);

    EXPECT_EQ(TOLLAN_E_READ, Receive(Path("f.g3")));
    PlatformInstall(previous);
    EXPECT_EQ(11, g_failed_reads.load());
    EXPECT_EQ(-1, g_channels[0].reports.hangup_code);
    EXPECT_EQ(0, pages_);  // no page was received
    EXPECT_EQ(std::string("\x00\x41\xEE", 3), ReadFileBytes(Path("f_p1.g3")));
    EXPECT_FALSE(std::filesystem::exists(Path("f_p1.ffi")));
    EXPECT_FALSE(Traced("FaxGetPageData: ページ終了"));
}

TEST_F(ReceiveFaxTest, NegativeFdrWaitIsNoPause) {
    g_settings.fdr_wait = -1;
    ScriptClass2Answer();
    ScriptPage(Framed(PageData(8, 100)), kPageReport, "\r\n+FHNG:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);
    EXPECT_EQ(TOLLAN_OK, Receive(Path("w")));
    EXPECT_EQ(1, pages_);
}

TEST_F(ReceiveFaxTest, PagesPastTheCallsLimitAreNotTaken) {
    ScriptClass2Answer();
    for (uint32_t page = 1; page <= 2; ++page) ScriptPage(Framed(PageData(page, 300)), kPageReport, "\r\nCONNECT\r\n");
    ScriptPage(Framed(PageData(3, 300)), kPageReport, "\r\n+FHNG:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);
    ASSERT_EQ(TOLLAN_OK, SetReceiveLimits(0, 0, 2));

    EXPECT_EQ(TOLLAN_E_TOO_MANY_PAGES, Receive(Path("many")));
    EXPECT_EQ(2, pages_);
    EXPECT_EQ(PageData(2, 300), ReadFileBytes(Path("many_p2.g3")));
    EXPECT_FALSE(std::filesystem::exists(Path("many_p3.g3")));
    const std::string written = modem_.Written();
    EXPECT_EQ(2, std::count(written.begin(), written.end(), '\x12'));  // no DC2 for the third
}

// Before answering: an inbox that cannot take the pages, or that holds a
// page of this name already (an earlier fax, a planted link), is refused
// without a word to the modem.
TEST_F(ReceiveFaxTest, PageFilesAreCheckedBeforeAnswering) {
    g_settings.fax_info_option = 1;
    WriteFileBytes(Path("victim"), "precious");
    WriteFileBytes(Path("fax_p1.g3"), "earlier caller");
    ASSERT_EQ(0, symlink(Path("victim").c_str(), Path("linked_p1.ffi").c_str()));
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_E_PAGE_CREATE, Receive(Path("no-such-folder/fax")));
    EXPECT_EQ(ENOENT, GetLastFaxError());
    EXPECT_EQ(TOLLAN_E_PAGE_EXISTS, Receive(Path("fax.tif")));
    EXPECT_EQ(TOLLAN_E_PAGE_EXISTS, Receive(Path("linked")));
    EXPECT_EQ(0, pages_);
    EXPECT_EQ("", modem_.Written());
    EXPECT_EQ("earlier caller", ReadFileBytes(Path("fax_p1.g3")));
    EXPECT_EQ("precious", ReadFileBytes(Path("victim")));
    EXPECT_FALSE(std::filesystem::exists(Path("linked_p1.g3")));  // the probe left nothing
}

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : saved_(umask(mask)) {}
    ~ScopedUmask() { umask(saved_); }

private:
    mode_t saved_;
};

mode_t FileMode(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// A link planted in the inbox during the call is not followed either, and
// what is received is readable by its owner only.
TEST_F(ReceiveFaxTest, ReceivedFilesAreNeverWrittenThroughALinkAndAreTheOwnersOnly) {
    ScopedUmask no_mask(0);
    g_settings.fax_info_option = 1;
    WriteFileBytes(Path("victim"), "precious");
    ASSERT_EQ(0, symlink(Path("victim").c_str(), Path("in_p2.g3").c_str()));
    ScriptClass2Answer();
    ScriptPage(Framed(PageData(1, 300)), kPageReport, "\r\nCONNECT\r\n");
    modem_.On("\x12", Framed(PageData(2, 300)));
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_E_PAGE_EXISTS, Receive(Path("in")));
    EXPECT_EQ(1, pages_);
    EXPECT_EQ("precious", ReadFileBytes(Path("victim")));
    EXPECT_EQ(PageData(1, 300), ReadFileBytes(Path("in_p1.g3")));
    EXPECT_EQ(0600u, FileMode(Path("in_p1.g3")));
    EXPECT_EQ(0600u, FileMode(Path("in_p1.ffi")));
}

// A child process whose files cannot grow past a small size: a 64 KiB
// file system mounted over the scratch folder in a private mount namespace
// (root), else a file size limit. The child's result is its exit status.
constexpr int kNoSmallDisk = 77;
constexpr rlim_t kSmallDiskBytes = 64 * 1024;

bool MountSmallDisk(const std::string &dir) {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    return mount("tollan-small-disk", dir.c_str(), "tmpfs", 0, "size=64k") == 0;
}

bool LimitFileSize() {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
    limit.rlim_cur = kSmallDiskBytes;
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

template <typename Body>
int RunOnSmallDisk(const std::string &dir, Body body) {
    pid_t child = fork();
    if (child == 0) {
        if (!MountSmallDisk(dir) && !LimitFileSize()) _exit(kNoSmallDisk);
        body();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Page data the trace stays quiet about (no XON or XOFF bytes).
std::string QuietPageData(size_t n) {
    std::string data(1, '\0');
    while (data.size() < n) data += static_cast<char>(0x20 + data.size() % 90);
    return data;
}

// The second page does not fit: it is answered as bad, not kept, and the
// call ends with the disk's error; the first stays whole.
TEST_F(ReceiveFaxTest, APageTheDiskCannotTakeIsRejectedNotLost) {
    const std::string pages[2] = {QuietPageData(20000), QuietPageData(80000)};
    const std::string report = "\r\n+FPS:1,1100,0,0,0\r\n\r\n+FET:0\r\n\r\nOK\r\n";
    modem_.On("AT+FCC=1,5,0,2,0,0,0,0\r\n", kOk)
        .On("AT+FNR=1,1,1,0\r\n", kOk)
        .On("AT+FLO=2\r\n", kOk)
        .On("ATA\r\n", "\r\n+FCO\r\n\r\nOK\r\n")
        .On("AT+FDR\r\n", "\r\nCONNECT\r\n");
    ScriptPage(Framed(pages[0]), report, "\r\nCONNECT\r\n");
    modem_.On("\x12", Framed(pages[1])).Send(report).On("AT+FPS=2\r\n", kOk);

    int result = RunOnSmallDisk(dir_, [&] {
        Attach(TOLLAN_CLASS_2_0);
        EXPECT_EQ(TOLLAN_E_DISK, Receive(Path("disk.g3")));
        const int error = GetLastFaxError();
        EXPECT_TRUE(error == ENOSPC || error == EFBIG) << error;
        EXPECT_EQ(1, pages_);
        EXPECT_TRUE(pages[0] == ReadFileBytes(Path("disk_p1.g3")));
        EXPECT_FALSE(std::filesystem::exists(Path("disk_p2.g3")));
        ASSERT_TRUE(ScriptDone()) << modem_.Failure();
        const std::string written = modem_.Written();
        EXPECT_EQ("AT+FPS=2\r\n", written.substr(written.rfind("AT+")));  // and no AT+FDR after it
    });
    if (result == kNoSmallDisk) GTEST_SKIP() << "neither a small file system nor a file size limit could be set";
    EXPECT_EQ(0, result);
    EXPECT_TRUE(Traced("could not be written"));
}

TEST(PageFileNameTest, OnlyTheFileNamesExtensionIsCut) {
    char name[kFaxPathSize];
    ASSERT_TRUE(FaxPageFileName(name, "inbox.d/incoming", 1, ".g3"));
    EXPECT_STREQ("inbox.d/incoming_p1.g3", name);
    ASSERT_TRUE(FaxPageFileName(name, "inbox.d/doc.tif", 2, ".ffi"));
    EXPECT_STREQ("inbox.d/doc_p2.ffi", name);
}

struct RingCase {
    const char *sent;
    int32_t ring;
};

class WaitForRingTest : public Class2Test, public ::testing::WithParamInterface<RingCase> {};

TEST_P(WaitForRingTest, ClassifiesWhatTheModemSentOnItsOwn) {
    const std::string sent = GetParam().sent;
    modem_.Send(sent);
    Attach(TOLLAN_CLASS_2);
    ASSERT_TRUE(ScriptDone());
    const int port = g_channels[0].comm_handle;
    // Let the bytes arrive before the library looks.
    for (int i = 0; i < 200 && Plat().port_input_waiting(port) < static_cast<int>(sent.size()); ++i)
        PlatformDefaults().sleep_ms(5);
    int32_t ring = -1;
    EXPECT_EQ(TOLLAN_OK, WaitForRing(0, &ring));
    EXPECT_EQ(GetParam().ring, ring);
    EXPECT_EQ(0, Plat().port_input_waiting(port));  // what was read is gone, also a part
}

INSTANTIATE_TEST_SUITE_P(Texts, WaitForRingTest,
                         ::testing::Values(RingCase{"", 0}, RingCase{"\r\nRING\r\n", 1}, RingCase{"\r\n", 0},
                                           RingCase{"RI", 0}, RingCase{"\r\nNO CARRIER\r\nBUSY\r\n", 2},
                                           RingCase{"\r\nERROR\r\n", 4}, RingCase{"\r\nNO DIAL TONE\r\n", 5},
                                           RingCase{"\r\nCONNECT 9600\r\n", 0}));

class RingPollTest : public Class2Test {
protected:
    // Lets the modem send bytes, then polls once.
    int32_t Poll(const std::string &bytes) {
        EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(modem_.MasterFd(), bytes.data(), bytes.size()));
        AwaitInput(0, bytes.size());
        int32_t ring = -1;
        EXPECT_EQ(TOLLAN_OK, WaitForRing(0, &ring));
        return ring;
    }
};

TEST_F(RingPollTest, ARingSplitAcrossPollsOrAfterANulIsStillARing) {
    Attach(TOLLAN_CLASS_2);
    EXPECT_EQ(0, Poll("\r\nRI"));
    EXPECT_EQ(1, Poll("NG\r\n"));
    EXPECT_EQ(1, Poll(std::string("\0\r\nRING\r\n", 9)));
    EXPECT_EQ(1, Poll(std::string("\r\n\0R\0ING\r", 9)));
    EXPECT_EQ(0, Poll("\n"));
}

TEST_F(RingPollTest, ItsTraceNamesThePolledChannelNotTheThreadsLastCall) {
    Attach(TOLLAN_CLASS_2);
    ASSERT_EQ(TOLLAN_OK, SetTraceOption(5));
    FaxTraceChannel(9);  // this thread's last call was on another channel
    EXPECT_EQ(1, Poll("\r\nRING\r\n"));
    SetTraceOption(1);
    EXPECT_TRUE(Traced("[0] WaitForRing: 受信文字列"));
}

// A modem that sends NULs without end: every read finds some.
ssize_t EndlessNuls(int, void *buf, size_t n) {
    memset(buf, 0, n);
    return static_cast<ssize_t>(n);
}

TEST_F(RingPollTest, APollReturnsWhateverTheModemKeepsSending) {
    Attach(TOLLAN_CLASS_2);
    PlatformOps ops = Plat();
    ops.port_read = EndlessNuls;
    const PlatformOps *previous = PlatformInstall(&ops);
    int32_t ring = -1;
    EXPECT_EQ(TOLLAN_OK, WaitForRing(0, &ring));
    PlatformInstall(previous);
    EXPECT_EQ(0, ring);
}

TEST(WaitForRingArgumentsTest, ChannelChecks) {
    int32_t ring = 0;
    EXPECT_EQ(TOLLAN_E_CHANNEL, WaitForRing(20, &ring));
    EXPECT_EQ(TOLLAN_E_NOT_OPEN, WaitForRing(19, &ring));
}

}  // namespace
