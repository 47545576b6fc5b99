// SendFax against a scripted class 2 / 2.0 modem: the whole dialogue byte for
// byte, the judgement of page statuses and hang-ups, dial failures, page file
// naming and the page file forms.
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "class2/class2.h"
#include "class2_fixture.h"
#include "engine/tollan.h"
#include "platform/platform.h"

namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kNumber = "5551234";
const std::string kDialReply = "\r\n+FCON\r\n\r\n+FCSI: \"REMOTE 7\"\r\n\r\n+FDIS:1,5,0,2,0,0,0,0\r\n\r\nOK\r\n";

// Page data that exercises the framing: DLE, DLE ETX, XON, XOFF, high bytes.
std::string PageData(uint32_t seed, size_t n) {
    std::string data = std::string("\x00\x01\x10\x03\x11\x13\x10\x10\xff", 9);
    while (data.size() < n) {
        seed = seed * 1103515245u + 12345u;
        data += static_cast<char>((seed >> 16) & 0xff);
    }
    return data;
}

class SendFaxTest : public Class2Test {
protected:
    // Writes the page files <dir>/doc_p1.g3 .. and returns the base name.
    std::string WritePages(const std::vector<std::string> &pages) {
        for (size_t i = 0; i < pages.size(); ++i)
            WriteFileBytes(Path("doc_p" + std::to_string(i + 1) + ".g3"), pages[i]);
        return Path("doc.tif");
    }
    void ScriptClass2SetUp() {
        modem_.On("AT+FCLASS=2\r\n", kOk)
            .On("AT+FLID=\"TOLLAN TEST\"\r\n", kOk)
            .On("AT+FDCC=1,5,0,2,0,0,0,0\r\n", kOk)
            .On("ATDT" + kNumber + "\r\n", kDialReply);
    }
    // One class 2 page: CONNECT, DC1 after other bytes, the data, DLE ETX, +FET.
    void ScriptClass2Page(const std::string &data, const std::string &fet, const std::string &reply) {
        modem_.On("AT+FDT\r\n", "\r\n+FDCS:1,5,0,2,0,0,0,0\r\n\r\nCONNECT\r\n")
            .Send("\x7f\x11")
            .On(DleDoubled(data) + "\x10\x03", kOk)
            .On(fet, reply);
    }
    void ScriptClass20SetUp() {
        modem_.On("AT+FCLASS=2.0\r\n", kOk)
            .On("AT+FLI=\"TOLLAN TEST\"\r\n", kOk)
            .On("AT+FCC=1,5,0,2,0,0,0,0\r\n", kOk)
            .On("AT+FNR=1,1,1,0\r\n", kOk)
            .On("AT+FLO=2\r\n", kOk)
            .On("ATDT" + kNumber + "\r\n", "\r\n+FCO\r\n\r\n+FCI: \"REMOTE 20\"\r\n\r\nOK\r\n");
    }
    void ScriptClass20Page(const std::string &data, const std::string &ppm, const std::string &reply,
                           const std::string &fcs = "+FCS:1,5,0,2,0,0,0,0") {
        modem_.On("AT+FDT\r\n", "\r\n" + fcs + "\r\n\r\nCONNECT\r\n").On(DleDoubled(data) + ppm, reply);
    }
    static std::string Class2SetUpBytes() {
        return "AT+FCLASS=2\r\nAT+FLID=\"TOLLAN TEST\"\r\nAT+FDCC=1,5,0,2,0,0,0,0\r\nATDT" + kNumber + "\r\n";
    }
    static std::string Class2PageBytes(const std::string &data, const std::string &fet) {
        return "AT+FDT\r\n" + DleDoubled(data) + "\x10\x03" + fet;
    }
    uint16_t Send(const std::string &base, int pages) {
        return SendFax(0, kNumber.c_str(), base.c_str(), pages);
    }
    int16_t PagesSent() {
        int16_t pages = -1;
        GetNumOfPagesSent(0, &pages);
        return pages;
    }
};

TEST_F(SendFaxTest, TwoPagesInClass2AreSentByteForByte) {
    std::string p1 = PageData(1, 300), p2 = PageData(2, 200);
    std::string base = WritePages({p1, p2});
    ScriptClass2SetUp();
    ScriptClass2Page(p1, "AT+FET=0\r\n", "\r\n+FPTS:1\r\n\r\nOK\r\n");
    ScriptClass2Page(p2, "AT+FET=2\r\n", "\r\n+FPTS:1\r\n\r\n+FHNG:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_OK, Send(base, 2));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(Escaped(Class2SetUpBytes() + Class2PageBytes(p1, "AT+FET=0\r\n") + Class2PageBytes(p2, "AT+FET=2\r\n")),
              Escaped(modem_.Written()));
    EXPECT_EQ(2, PagesSent());
    EXPECT_STREQ("REMOTE 7", g_channels[0].reports.remote_id);
    EXPECT_EQ(80000u, g_channels[0].io_timeout);
    // Flow control is off again: the next page's DC1 reaches the library.
    termios t{};
    ASSERT_EQ(0, tcgetattr(g_channels[0].comm_handle, &t));
    EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF));
}

TEST_F(SendFaxTest, TwoPagesInClass20EndWithDleCommaAndDleDot) {
    std::string p1 = PageData(3, 130), p2 = PageData(4, 64);
    std::string base = WritePages({p1, p2});
    ScriptClass20SetUp();
    ScriptClass20Page(p1, "\x10,", "\r\n+FPS:1,2200,0,0,0\r\n\r\nOK\r\n");
    ScriptClass20Page(p2, "\x10.", "\r\n+FPS:1\r\n\r\n+FHS:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2_0);

    EXPECT_EQ(TOLLAN_OK, Send(base, 2));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    std::string expected = "AT+FCLASS=2.0\r\nAT+FLI=\"TOLLAN TEST\"\r\nAT+FCC=1,5,0,2,0,0,0,0\r\nAT+FNR=1,1,1,0\r\n"
                           "AT+FLO=2\r\nATDT" + kNumber + "\r\n" +
                           "AT+FDT\r\n" + DleDoubled(p1) + "\x10," + "AT+FDT\r\n" + DleDoubled(p2) + "\x10.";
    EXPECT_EQ(Escaped(expected), Escaped(modem_.Written()));
    EXPECT_EQ(2, PagesSent());
    EXPECT_EQ(1, g_channels[0].reports.hangup_seen);
    EXPECT_EQ(0, g_channels[0].reports.hangup_code);
}

TEST_F(SendFaxTest, RtnOnPageOneEndsTheCallWithoutReset) {
    std::string p1 = PageData(5, 100);
    std::string base = WritePages({p1, PageData(6, 100)});
    ScriptClass2SetUp();
    ScriptClass2Page(p1, "AT+FET=0\r\n", "\r\n+FPTS:2\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_E_PAGE_REJECTED, Send(base, 2));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(Escaped(Class2SetUpBytes() + Class2PageBytes(p1, "AT+FET=0\r\n")), Escaped(modem_.Written()));
    EXPECT_EQ(0, PagesSent());
    EXPECT_TRUE(Traced("SendFax: WARNING ページ不良 (RTN), 無視します"));
}

TEST_F(SendFaxTest, Class20ErrorAfterThePageIsRtn) {
    std::string p1 = PageData(7, 80);
    std::string base = WritePages({p1});
    ScriptClass20SetUp();
    ScriptClass20Page(p1, "\x10.", "\r\n+FPS:2\r\n\r\nOK \r\n\r\nERROR\r\n");
    Attach(TOLLAN_CLASS_2_0);

    EXPECT_EQ(TOLLAN_E_PAGE_REJECTED, Send(base, 1));
    EXPECT_EQ(2, g_channels[0].reports.page_status);
    EXPECT_EQ(0, PagesSent());
}

TEST_F(SendFaxTest, RetrainOnPageTwoOfThreeGoesOn) {
    std::string p1 = PageData(8, 90), p2 = PageData(9, 90), p3 = PageData(10, 90);
    std::string base = WritePages({p1, p2, p3});
    ScriptClass2SetUp();
    ScriptClass2Page(p1, "AT+FET=0\r\n", "\r\n+FPTS:1\r\n\r\nOK\r\n");
    ScriptClass2Page(p2, "AT+FET=0\r\n", "\r\n+FPTS:3\r\n\r\nOK\r\n");
    ScriptClass2Page(p3, "AT+FET=2\r\n", "\r\n+FPTS:1\r\n\r\n+FHNG:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_OK, Send(base, 3));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(3, PagesSent());
    EXPECT_TRUE(Traced("SendFax: ページ良好でも retrain 要求"));
}

TEST_F(SendFaxTest, HangupWithCode50DuringPageTwoResetsTheClass) {
    std::string p1 = PageData(11, 90), p2 = PageData(12, 90);
    std::string base = WritePages({p1, p2, PageData(13, 90)});
    ScriptClass2SetUp();
    ScriptClass2Page(p1, "AT+FET=0\r\n", "\r\n+FPTS:1\r\n\r\nOK\r\n");
    ScriptClass2Page(p2, "AT+FET=0\r\n", "\r\n+FPTS:1\r\n\r\n+FHNG:50\r\n\r\nOK\r\n");
    modem_.Expect("AT+FCLASS=0\r\n");
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_E_HANGUP, Send(base, 3));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(Escaped(Class2SetUpBytes() + Class2PageBytes(p1, "AT+FET=0\r\n") + Class2PageBytes(p2, "AT+FET=0\r\n") +
                      "AT+FCLASS=0\r\n"),
              Escaped(modem_.Written()));
    EXPECT_EQ(1, PagesSent());
    int32_t code = 0;
    GetHangupCode(0, &code);
    EXPECT_EQ(50, code);
    EXPECT_TRUE(Traced("SendFax: 送信失敗 +FHNG:50 (Unspecified Transmit Phase D error)"));
}

struct DialCase {
    const char *reply;
    uint16_t code;
};

class SendFaxDialTest : public SendFaxTest, public ::testing::WithParamInterface<DialCase> {};

TEST_P(SendFaxDialTest, DialFailureGivesItsCode) {
    std::string base = WritePages({PageData(14, 10)});
    modem_.On("AT+FCLASS=2\r\n", kOk)
        .On("AT+FLID=\"TOLLAN TEST\"\r\n", kOk)
        .On("AT+FDCC=1,5,0,2,0,0,0,0\r\n", kOk)
        .On("ATDT" + kNumber + "\r\n", GetParam().reply);
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(GetParam().code, Send(base, 1));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(Escaped(Class2SetUpBytes()), Escaped(modem_.Written()));
    EXPECT_EQ(0, PagesSent());
}

INSTANTIATE_TEST_SUITE_P(Replies, SendFaxDialTest,
                         ::testing::Values(DialCase{"\r\nBUSY\r\n", TOLLAN_E_BUSY},
                                           DialCase{"\r\n+FHNG:4\r\n\r\nOK\r\n", TOLLAN_E_DIAL},
                                           DialCase{"\r\n+FHNG:11\r\n\r\nOK\r\n", TOLLAN_E_HANGUP},
                                           DialCase{"\r\nERROR\r\n", TOLLAN_E_ERROR},
                                           DialCase{"\r\nNO CARRIER\r\n", TOLLAN_E_NO_CARRIER}));

TEST_F(SendFaxTest, MissingSecondPageFileStopsAfterPageOne) {
    std::string p1 = PageData(15, 50);
    std::string base = WritePages({p1});
    ScriptClass2SetUp();
    ScriptClass2Page(p1, "AT+FET=0\r\n", "\r\n+FPTS:1\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_E_NO_PAGE_FILE, Send(base, 3));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(Escaped(Class2SetUpBytes() + Class2PageBytes(p1, "AT+FET=0\r\n")), Escaped(modem_.Written()));
    EXPECT_EQ(1, PagesSent());
}

TEST_F(SendFaxTest, OnePageFaxFallsBackToTheBaseNameItself) {
    std::string page = PageData(16, 40);
    std::string base = Path("single.g3");
    WriteFileBytes(base, page);
    ScriptClass2SetUp();
    ScriptClass2Page(page, "AT+FET=2\r\n", "\r\n+FPTS:1\r\n\r\n+FHNG:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);

    EXPECT_EQ(TOLLAN_OK, Send(base, 1));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(1, PagesSent());
    EXPECT_TRUE(Traced("SendFax: 送信中 '" + base + "'..."));
}

TEST_F(SendFaxTest, NamesTheCallCannotUseAreRefusedBeforeTheModemHearsAnything) {
    Attach(TOLLAN_CLASS_2);
    // A dial command holds 121 characters of number.
    std::string long_number(122, '5');
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SendFax(0, long_number.c_str(), Path("doc.tif").c_str(), 1));
    // "<stem>_p10.g3" must fit 259 characters: here it has 260.
    std::string stem = Path("") + std::string(253 - Path("").size(), 'a');
    EXPECT_EQ(TOLLAN_E_ARGUMENT, Send(stem + ".tif", 10));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, Send("", 1));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, SendFax(0, "", Path("doc.tif").c_str(), 1));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, Send(Path("doc.tif"), 0));
    EXPECT_EQ(TOLLAN_E_CHANNEL, SendFax(20, "1", "a.b", 1));
    EXPECT_EQ(TOLLAN_E_NOT_OPEN, SendFax(1, "1", "a.b", 1));
    EXPECT_EQ("", Escaped(modem_.Written()));
}

TEST_F(SendFaxTest, GhostScriptHeaderIsSkippedAndItsResolutionCompared) {
    // Real GhostScript fax output: a fine page, while the session is normal.
    std::string ps = Path("page.ps");
    WriteFileBytes(ps, "%!\n/Helvetica findfont 20 scalefont setfont 72 700 moveto (tollan) show showpage\n");
    std::string command = "gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=dfaxhigh -sOutputFile=" + Path("doc_p1.g3") +
                          " " + ps + " >/dev/null 2>&1";
    ASSERT_EQ(0, system(command.c_str())) << "ghostscript (package ghostscript) is needed";
    std::string file = ReadFileBytes(Path("doc_p1.g3"));
    ASSERT_GT(file.size(), 64u);
    ASSERT_EQ(std::string("\0PC Research, Inc\0", 18), file.substr(0, 18));

    ScriptClass20SetUp();
    ScriptClass20Page(file.substr(64), "\x10.", "\r\n+FPS:1\r\n\r\n+FHS:0\r\n\r\nOK\r\n", "+FCS:0,5,0,2,0,0,0,0");
    Attach(TOLLAN_CLASS_2_0);

    EXPECT_EQ(TOLLAN_OK, Send(Path("doc.tif"), 1));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    std::string written = modem_.Written();
    size_t data = written.find("AT+FDT\r\n") + 8;
    // The data goes out as GhostScript wrote it, only with DLE doubled.
    EXPECT_EQ(DleDoubled(file.substr(64)) + "\x10.", written.substr(data));
    EXPECT_TRUE(Traced("FaxSendPage: GhostScriptヘダーをスキップ"));
    EXPECT_TRUE(Traced("FaxSendPage: sending in normal mode, fax data is fine mode"));
    EXPECT_TRUE(Traced("FaxSendPage: 解像度不一致"));
    EXPECT_TRUE(Traced("FaxSendPage: ページ送信終了 " + std::to_string(DleDoubled(file.substr(64)).size()) + " bytes"));
}

TEST_F(SendFaxTest, PagesThatOnlyLookLikeHeadersAreSentWhole) {
    // Shorter than a GhostScript header, though it starts like one; then a
    // TIFF; then a GhostScript header with no data after it.
    std::string short_header = std::string("\0PC Research, Inc\0", 18) + "rest";
    std::string tiff = std::string("II*\0", 4) + PageData(17, 100);
    std::string bare_header = std::string("\0PC Research, Inc\0", 18) + std::string(46, '\0');
    std::string base = WritePages({short_header, tiff, bare_header});
    ScriptClass20SetUp();
    ScriptClass20Page(short_header, "\x10,", "\r\n+FPS:1\r\n\r\nOK\r\n");
    ScriptClass20Page(tiff, "\x10,", "\r\n+FPS:1\r\n\r\nOK\r\n");
    ScriptClass20Page("", "\x10.", "\r\n+FPS:1\r\n\r\n+FHS:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2_0);

    EXPECT_EQ(TOLLAN_OK, Send(base, 3));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    std::string written = modem_.Written();
    EXPECT_EQ(Escaped("AT+FDT\r\n\x10."), Escaped(written.substr(written.size() - 10)));
    EXPECT_TRUE(Traced("WARNING: TIFFはサポートされていないので、送信は失敗します"));
    EXPECT_TRUE(Traced("FaxSendPage: GhostScriptヘダーをスキップ"));
    EXPECT_TRUE(Traced("FaxSendPage: ページ送信終了 0 bytes"));
    // The bare header's resolution byte is 0 (normal) against a fine session.
    EXPECT_TRUE(Traced("FaxSendPage: sending in fine mode, fax data is normal mode"));
}

TEST_F(SendFaxTest, ModemXonXoffDuringThePageIsFlowControlNotData) {
    std::string p1 = PageData(18, 200);
    std::string base = WritePages({p1});
    ScriptClass20SetUp();
    // XOFF once the data flows, XON a moment later: both are taken by the
    // port's flow control, none reaches the library as a reply.
    modem_.On("AT+FDT\r\n", "\r\nCONNECT\r\n")
        .Expect(DleDoubled(p1.substr(0, 10)))
        .Send("\x13")
        .Pause(100)
        .Send("\x11")
        .On(DleDoubled(p1.substr(10)) + "\x10.", "\r\n+FPS:1\r\n\r\n+FHS:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2_0);

    EXPECT_EQ(TOLLAN_OK, Send(base, 1));
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_FALSE(Traced("FaxSendPage: got"));
}

// ---- Hostile modems and arguments ----------------------------------------------

// Lines or bytes that keep coming, every real_ms, for about 10 real seconds:
// far longer than any bounded wait here lasts.
void Babble(ScriptedModem &modem, const std::string &bytes, uint32_t real_ms) {
    for (uint32_t spent = 0; spent < 10000; spent += real_ms) modem.Send(bytes).Pause(real_ms);
}

// Sends one page straight, as a call does after the dial, and returns the
// clock time the page took.
uint32_t SendOnePage(const std::string &file, uint16_t expected_code) {
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(expected_code, FaxSendPage(file.c_str(), kPpmEop, 0));
    return PlatElapsed(start);
}

TEST_F(SendFaxTest, Class20ReportsAfterThePageDoNotExtendTheWaitForItsAnswer) {
    const std::string page = PageData(20, 40);
    WriteFileBytes(Path("doc_p1.g3"), page);
    modem_.On("AT+FDT\r\n", "\r\nCONNECT\r\n").Expect(DleDoubled(page) + "\x10.");
    Babble(modem_, "\r\n+FHS:0\r\n", 20);  // every 0.2 clock seconds, never OK
    Attach(TOLLAN_CLASS_2_0);
    const uint32_t spent = SendOnePage(Path("doc_p1.g3"), TOLLAN_E_TIMEOUT);
    EXPECT_LT(spent, 30000u);  // 6 s after the page, not when the modem stops
    EXPECT_FALSE(modem_.Done(0)) << "the modem was still talking";
    EXPECT_TRUE(Traced("FaxSendPPM: PPM送信後にタイムアウト"));
}

TEST_F(SendFaxTest, BytesOtherThanXonDoNotExtendTheWaitForIt) {
    const std::string page = PageData(21, 40);
    WriteFileBytes(Path("doc_p1.g3"), page);
    modem_.On("AT+FDT\r\n", "\r\nCONNECT\r\n");
    modem_.Trickle(std::string(5000, '\x7f'), 2);
    Attach(TOLLAN_CLASS_2);
    const uint32_t spent = SendOnePage(Path("doc_p1.g3"), TOLLAN_E_TIMEOUT);
    EXPECT_LT(spent, 30000u);  // 2 s settling and 6 s of waiting
    EXPECT_FALSE(modem_.Done(0)) << "the modem was still talking";
    EXPECT_TRUE(Traced("FaxSendPage:XON待ちでタイムアウト (class2)"));
}

// Sleeps are recorded and held short, so a sleep of weeks fails the test
// instead of hanging it.
std::atomic<uint32_t> g_longest_sleep{0};
void RecordedSleep(uint32_t ms) {
    if (ms > g_longest_sleep.load()) g_longest_sleep = ms;
    PlatformDefaults().sleep_ms(ms < 10 ? ms : 10);
}

TEST_F(SendFaxTest, ANegativeCommandIntervalIsNoPause) {
    std::string p1 = PageData(22, 60);
    std::string base = WritePages({p1});
    ScriptClass2SetUp();
    ScriptClass2Page(p1, "AT+FET=2\r\n", "\r\n+FPTS:1\r\n\r\n+FHNG:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2);
    g_channels[0].command_interval = -1;
    PlatformOps ops = Plat();
    ops.sleep_ms = RecordedSleep;
    const PlatformOps *previous = PlatformInstall(&ops);
    g_longest_sleep = 0;
    EXPECT_EQ(TOLLAN_OK, Send(base, 1));
    PlatformInstall(previous);
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_LE(g_longest_sleep.load(), 2000u);  // the pause before XON is the longest
}

// A modem that talks without end while the page goes out: every look at
// the port finds a byte waiting, until the page's end is written.
std::atomic<int> g_chatter_left{0};
std::atomic<int> g_chatter_left_at_page_end{-1};
int ChatteringInputWaiting(int fd) { return g_chatter_left > 0 ? 1 : PlatformDefaults().port_input_waiting(fd); }
ssize_t ChatteringRead(int fd, void *buf, size_t n) {
    if (g_chatter_left > 0 && n > 0) {
        --g_chatter_left;
        *static_cast<char *>(buf) = 'x';
        return 1;
    }
    return PlatformDefaults().port_read(fd, buf, n);
}
constexpr int kChatter = 1000000;
std::atomic<bool> g_page_command_sent{false};
// The chatter starts with the page's first data and stops at its end.
ssize_t PageEndWrite(int fd, const void *buf, size_t n) {
    const std::string bytes(static_cast<const char *>(buf), n);
    if (bytes == "AT+FDT\r\n") {
        g_page_command_sent = true;
    } else if (g_page_command_sent.exchange(false)) {
        g_chatter_left = kChatter;
    }
    if (bytes.find("\x10.") != std::string::npos) {
        g_chatter_left_at_page_end = g_chatter_left.load();
        g_chatter_left = 0;
    }
    return PlatformDefaults().port_write(fd, buf, n);
}

TEST_F(SendFaxTest, AModemTalkingWithoutEndDuringThePageDoesNotHoldIt) {
    std::string p1 = PageData(23, 3000);
    std::string base = WritePages({p1});
    ScriptClass20SetUp();
    ScriptClass20Page(p1, "\x10.", "\r\n+FPS:1\r\n\r\n+FHS:0\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2_0);
    PlatformOps ops = Plat();
    ops.port_input_waiting = ChatteringInputWaiting;
    ops.port_read = ChatteringRead;
    ops.port_write = PageEndWrite;
    const PlatformOps *previous = PlatformInstall(&ops);
    EXPECT_EQ(TOLLAN_OK, Send(base, 1));
    PlatformInstall(previous);
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    // A drain takes what had arrived before it, not what keeps coming.
    EXPECT_GT(g_chatter_left_at_page_end.load(), kChatter - 1000);
}

TEST_F(SendFaxTest, AHangupCodePastTheIntRangeIsHeldAtItsEnd) {
    std::string p1 = PageData(23, 60);
    std::string base = WritePages({p1});
    ScriptClass20SetUp();
    ScriptClass20Page(p1, "\x10.", "\r\n+FPS:1\r\n\r\n+FHS:99999999999\r\n\r\nOK\r\n");
    Attach(TOLLAN_CLASS_2_0);
    EXPECT_EQ(TOLLAN_E_HANGUP, Send(base, 1));
    EXPECT_EQ(INT32_MAX, g_channels[0].reports.hangup_code);
}

TEST_F(SendFaxTest, ACallPastItsTimeLimitEndsWith158) {
    std::string base = WritePages({PageData(24, 60)});
    ScriptClass2SetUp();
    modem_.Expect("AT+FDT\r\n");  // then silence: the modem would be waited on for 80 s
    Attach(TOLLAN_CLASS_2);
    ASSERT_EQ(TOLLAN_OK, SetCallTimeLimit(0, 20));
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(TOLLAN_E_CALL_TIME, Send(base, 1));
    EXPECT_LT(PlatElapsed(start), 25000u);
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
}

TEST_F(SendFaxTest, ANumberThatWouldEndTheDialCommandIsRefused) {
    std::string base = WritePages({PageData(25, 10)});
    Attach(TOLLAN_CLASS_2);
    for (const char *number : {"5551234\rATS0=1", "5551234\n", "555\x1b"}) {
        SCOPED_TRACE(Escaped(number));
        EXPECT_EQ(TOLLAN_E_ARGUMENT, SendFax(0, number, base.c_str(), 1));
    }
    EXPECT_EQ("", Escaped(modem_.Written()));
}

// A port whose writes of page data fail.
std::atomic<int> g_data_writes_failed{0};
ssize_t FailingDataWrite(int fd, const void *buf, size_t n) {
    if (n > 0 && static_cast<const uint8_t *>(buf)[0] == 0xEE) {
        ++g_data_writes_failed;
        errno = EIO;
        return -1;
    }
    return PlatformDefaults().port_write(fd, buf, n);
}

TEST_F(SendFaxTest, FailedPageWriteEndsTheCallWithFlowControlOff) {
    std::string base = WritePages({std::string("\xEE\x01\x02", 3)});
    ScriptClass20SetUp();
    modem_.On("AT+FDT\r\n", "\r\nCONNECT\r\n").Expect("AT+FCLASS=0\r\n");
    Attach(TOLLAN_CLASS_2_0);
    PlatformOps ops = Plat();
    ops.port_write = FailingDataWrite;
    const PlatformOps *previous = PlatformInstall(&ops);

    EXPECT_EQ(TOLLAN_E_HANGUP, Send(base, 1));
    PlatformInstall(previous);
    ASSERT_TRUE(ScriptDone()) << modem_.Failure();
    EXPECT_EQ(1, g_data_writes_failed.load());
    EXPECT_EQ(EIO, GetLastFaxError());
    termios t{};
    ASSERT_EQ(0, tcgetattr(g_channels[0].comm_handle, &t));
    EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF));
}

TEST(PageFileNameTest, BaseNameIsCutAtItsLastDot) {
    char name[kFaxPathSize];
    ASSERT_TRUE(FaxPageFileName(name, "doc.tif", 1, ".g3"));
    EXPECT_STREQ("doc_p1.g3", name);
    ASSERT_TRUE(FaxPageFileName(name, "fax.dir/doc", 12, ".ffi"));
    EXPECT_STREQ("fax.dir/doc_p12.ffi", name);
    ASSERT_TRUE(FaxPageFileName(name, "doc", 3, ".g3"));
    EXPECT_STREQ("doc_p3.g3", name);
    std::string stem(253, 'x');
    EXPECT_TRUE(FaxPageFileName(name, (stem + ".a").c_str(), 9, ".g3"));  // 259 characters
    EXPECT_FALSE(FaxPageFileName(name, (stem + ".a").c_str(), 10, ".g3"));
    EXPECT_STREQ("", name);
}

}  // namespace
