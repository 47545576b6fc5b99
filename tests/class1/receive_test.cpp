// Whole class 1 receiving calls against a scripted modem: every byte the
// host writes compared with the dialogue, the pages on disk, the return and
// hang-up codes of each fault.
#include <sys/stat.h>

#include <thread>

#include "class1_fixture.h"
#include "image/g3_codec.h"

namespace {

const std::string kNoCarrier = "\r\nNO CARRIER\r\n";
constexpr uint8_t kFcfEopX = 0x2F, kFcfMpsX = 0x4F, kFcfEomX = 0x8F;
constexpr uint8_t kRtnFcf = 0x4C, kCrpFcf = 0x1A, kDcnCalled = 0xFA;

// A page of rows MH-coded by the library's own coder: a black bar every few
// rows, then the end of page.
std::string CodedPage(int rows) {
    std::vector<uint8_t> out;
    G3Encoder e{};
    StartG3Encoder(&e, kCodingMh, 1, 1728, &out);
    std::vector<uint8_t> row(216);
    for (int y = 0; y < rows; ++y) {
        std::fill(row.begin(), row.end(), 0);
        if (y % 4 == 0) FillBlack(row.data(), 100 + y, 400 + y);
        EncodeG3Row(&e, row.data());
    }
    FinishG3Encoder(&e);
    return std::string(out.begin(), out.end());
}

// The page as the modem delivers it: DLE doubled, DLE ETX, the carrier gone.
std::string Delivered(const std::string &data) {
    std::string stream;
    for (char ch : data) {
        if (ch == '\x10') stream += '\x10';
        stream += ch;
    }
    return stream + kDleEtx + kNoCarrier;
}

// Bits written first-first into bytes, least significant bit first.
std::string Packed(const std::string &bits) {
    std::string out((bits.size() + 7) / 8, '\0');
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1') out[i / 8] = static_cast<char>(out[i / 8] | (1 << (i % 8)));
    return out;
}

// Rows by a pattern, 'g' a good white row, 'b' a bad one (eight 0 bits then
// 1: no code word), each after an EOL, then the end of page.
std::string RowsPage(const std::string &pattern) {
    const std::string eol = "000000000001";
    const std::string white_row = "010011011" "00110101";  // 1728 white: make-up, then 0
    std::string bits;
    for (char row : pattern) bits += eol + (row == 'g' ? white_row : "00000000111111");
    for (int i = 0; i < 6; ++i) bits += eol;
    return Packed(bits);
}

std::string BrokenPage(int good, int bad) { return RowsPage(std::string(good, 'g') + std::string(bad, 'b')); }

const std::string kPage1 = CodedPage(120);
const std::string kPage2 = CodedPage(60);

std::string LocalDis(uint8_t byte2 = 0x6E, uint8_t byte3 = 0x08) { return Bytes({0x00, byte2, byte3}); }

class ReceiveTest : public Class1Test {
protected:
    // The opening of every call: class, adaptive answer, ATA, CSI and DIS.
    Dialogue &Answer(Dialogue &d, const std::string &dis = LocalDis()) {
        d.On("AT+FCLASS=1\r\n", kOk).On("AT+FAR=1\r\n", kOk).On("ATA\r", kConnect);
        return Identify(d, dis, false);
    }
    static Dialogue &Identify(Dialogue &d, const std::string &dis = LocalDis(), bool command = true) {
        if (command) d.On("AT+FTH=3\r", kConnect);
        return d.On(HostFrame(kControlNotFinal, kFcfCsi, IdentityField("12345")), kConnect)
            .On(HostFrame(kControlFinal, kFcfDis, dis), kOk);
    }
    // The caller's frame, delivered to AT+FRH=3.
    static Dialogue &Caller(Dialogue &d, uint8_t fcf, const std::string &fif = "", uint8_t control = kControlFinal) {
        return d.Deliver(ModemFrame(fcf, fif, control));
    }
    // TSI and DCS, the training check with zeros, and our answer.
    static Dialogue &Train(Dialogue &d, const std::string &dcs, const char *modulation, size_t zeros, uint8_t answer) {
        Caller(d, kFcfTsiX, IdentityField("+49 30 1234"), kControlNotFinal);
        Caller(d, kFcfDcs, dcs);
        d.On(modulation, kConnect + Zeros(zeros) + kDleEtx + kNoCarrier);
        return Respond(d, answer);
    }
    static Dialogue &Respond(Dialogue &d, uint8_t fcf) {
        return d.On("AT+FRS=8\r", kOk).On("AT+FTH=3\r", kConnect).On(HostFrame(kControlFinal, fcf), kOk);
    }
    static Dialogue &Page(Dialogue &d, const char *modulation, const std::string &data) {
        return d.On(modulation, kConnect + Delivered(data));
    }
    // The usual call: V.17 14400, its training check taken, then the page.
    Dialogue &TrainAt14400(Dialogue &d) const { return Train(d, kDcs14400, "AT+FRM=145\r", 2700, kFcfCfr); }
    static Dialogue &PageAt14400(Dialogue &d, const std::string &data) { return Page(d, "AT+FRM=146\r", data); }
    // A post-page command and our answer to it.
    static Dialogue &PostPage(Dialogue &d, uint8_t command, uint8_t answer) {
        Caller(d, command);
        return Respond(d, answer);
    }
    static Dialogue &End(Dialogue &d) {
        PostPage(d, kFcfEopX, kFcfMcf);
        Caller(d, kFcfDcn);
        return d.Hangup();
    }
    // A channel of the scripted modem in class 1.
    int32_t Class1Channel() {
        const int32_t ch = Attach();
        g_channels[ch].modem_class = TOLLAN_CLASS_1;
        return ch;
    }
    uint16_t Receive(const std::string &base = "in.tif") {
        const int32_t ch = Class1Channel();
        return Receive(ch, base);
    }
    uint16_t Receive(int32_t ch, const std::string &base) {
        return ReceiveClass1Fax(ch, pages_.Path(base).c_str(), &pages_received_);
    }
    std::string PageFile(const std::string &name) {
        std::ifstream in(pages_.Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    const std::string kDcs14400 = Bytes({0x00, 0x62, 0x08});
    int16_t pages_received_ = -1;
};

TEST_F(ReceiveTest, OnePageAtV17FineByteForByte) {
    Dialogue d(modem_);
    Answer(d);
    TrainAt14400(d);
    PageAt14400(d, kPage1);
    End(d);
    EXPECT_EQ(Receive(), TOLLAN_OK);
    ExpectDialogue(d);
    EXPECT_EQ(pages_received_, 1);
    EXPECT_EQ(PageFile("in_p1.g3"), kPage1);
    EXPECT_EQ(std::string(g_channels[0].reports.remote_id), "+49 30 1234");
    EXPECT_EQ(g_channels[0].reports.hangup_code, 0);
    EXPECT_EQ(g_channels[0].reports.lines_received, 119);  // the first row has no EOL before it: not counted
    struct stat st {};
    ASSERT_EQ(stat(pages_.Path("in_p1.g3").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (const char *phase : {"answering -> identifying", "identifying -> waiting for a command",
                              "waiting for a command -> training check", "training check -> receiving a page",
                              "receiving a page -> waiting for a command", "waiting for a command -> hanging up"})
        EXPECT_TRUE(Traced(std::string("ChangePhase: ") + phase)) << phase;
}

struct RateCase {
    int16_t bit_rate;
    int32_t resolution;
    uint8_t dis_byte2;
    uint8_t dcs_byte2;
    const char *training;
    size_t zeros;
    const char *page;
};

class ReceiveRateTest : public ReceiveTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(ReceiveRateTest, DisFollowsTheSettingsAndDcsSetsTheModulation) {
    const RateCase &r = GetParam();
    Dialogue d(modem_);
    Answer(d, LocalDis(r.dis_byte2));
    Train(d, Bytes({0x00, r.dcs_byte2, 0x08}), r.training, r.zeros, kFcfCfr);
    Page(d, r.page, kPage2);
    End(d);
    const int32_t ch = Class1Channel();
    g_channels[ch].bit_rate = r.bit_rate;
    g_channels[ch].resolution = r.resolution;
    EXPECT_EQ(Receive(ch, "r.tif"), TOLLAN_OK);
    ExpectDialogue(d);
    EXPECT_EQ(PageFile("r_p1.g3"), kPage2);
}

INSTANTIATE_TEST_SUITE_P(Rates, ReceiveRateTest,
                         ::testing::Values(RateCase{5, 1, 0x2E, 0x2A, "AT+FRM=121\r", 2250, "AT+FRM=122\r"},
                                           RateCase{3, 0, 0x4E, 0x46, "AT+FRM=96\r", 1800, "AT+FRM=96\r"},
                                           RateCase{5, 0, 0x6E, 0x66, "AT+FRM=97\r", 1800, "AT+FRM=98\r"},
                                           RateCase{4, 1, 0x2E, 0x2E, "AT+FRM=73\r", 1350, "AT+FRM=74\r"},
                                           RateCase{1, 1, 0x0A, 0x0A, "AT+FRM=48\r", 900, "AT+FRM=48\r"},
                                           RateCase{0, 0, 0x42, 0x42, "AT+FRM=24\r", 450, "AT+FRM=24\r"}));

// A DCS asking for what the DIS did not offer is never accepted: DCN.
class RefusedDcsTest : public ReceiveTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(RefusedDcsTest, EndsWithDcn) {
    Dialogue d(modem_);
    Answer(d, LocalDis(0x0E));  // bit rate 9600, fine: V.27 ter and V.29
    Caller(d, kFcfDcs, GetParam());
    Respond(d, kDcnCalled).Hangup();
    const int32_t ch = Class1Channel();
    g_channels[ch].bit_rate = 3;
    g_channels[ch].resolution = 1;
    EXPECT_EQ(Receive(ch, "x.tif"), TOLLAN_E_ERROR);
    ExpectDialogue(d);
    EXPECT_EQ(g_channels[0].reports.hangup_code, 70);
    EXPECT_EQ(pages_received_, 0);
}

INSTANTIATE_TEST_SUITE_P(Asks, RefusedDcsTest,
                         ::testing::Values(Bytes({0x00, 0x22, 0x08}),               // V.17 14400
                                           Bytes({0x00, 0x46, 0x08}),               // fine
                                           Bytes({0x00, 0x86, 0x08}),               // two-dimensional
                                           Bytes({0x00, 0x06, 0x09}),               // 2048 dots
                                           Bytes({0x00, 0x06, 0x88, 0x04}),         // error correction
                                           Bytes({0x00, 0x26, 0x08}),               // V.17 not offered
                                           Bytes({0x00, 0x3E, 0x08})));             // no known rate

TEST_F(ReceiveTest, BadTrainingGetsFttThenTheLowerRateCfr) {
    Dialogue d(modem_);
    Answer(d);
    // Noise in the middle of the zeros: no run of 1 s.
    Caller(d, kFcfDcs, kDcs14400);
    d.On("AT+FRM=145\r", kConnect + Zeros(1000) + "\x55" + Zeros(1000) + kDleEtx + kNoCarrier);
    Respond(d, kFcfFtt);
    Train(d, Bytes({0x00, 0x6A, 0x08}), "AT+FRM=121\r", 2250, kFcfCfr);
    Page(d, "AT+FRM=122\r", kPage1);
    End(d);
    EXPECT_EQ(Receive(), TOLLAN_OK);
    ExpectDialogue(d);
    EXPECT_TRUE(Traced("training check 2001 bytes, 1000 zeros in a row, 1800 needed: FTT"));
}

TEST_F(ReceiveTest, RtnPageIsKeptThenReplacedWhenSentAgain) {
    SetFaxInfoOption(1);
    Dialogue d(modem_);
    Answer(d);
    TrainAt14400(d);
    PageAt14400(d, BrokenPage(40, 40));
    PostPage(d, kFcfMpsX, kRtnFcf);
    TrainAt14400(d);
    PageAt14400(d, kPage1);
    PostPage(d, kFcfMpsX, kFcfMcf);
    PageAt14400(d, kPage2);
    End(d);
    EXPECT_EQ(Receive(), TOLLAN_OK);
    ExpectDialogue(d);
    EXPECT_EQ(pages_received_, 2);
    EXPECT_EQ(PageFile("in_p1.g3"), kPage1);
    EXPECT_EQ(PageFile("in_p2.g3"), kPage2);
    EXPECT_NE(PageFile("in_p1.ffi").find("Lines = 119"), std::string::npos);
    EXPECT_TRUE(Traced("page 1 answered RTN"));
}

TEST_F(ReceiveTest, BadFrameGetsCrpAndFcerrorIsAskedAgain) {
    Dialogue d(modem_);
    Answer(d);
    d.On("AT+FRH=3\r", "\r\n+FCERROR\r\n");
    d.On("AT+FRH=3\r", kConnect + Bytes({0xFF, kControlFinal, kFcfDcs, 0x00, 0x62}) + kDleEtx + "\r\nERROR\r\n");
    Respond(d, kCrpFcf);
    TrainAt14400(d);
    PageAt14400(d, kPage2);
    End(d);
    EXPECT_EQ(Receive(), TOLLAN_OK);
    ExpectDialogue(d);
}

TEST_F(ReceiveTest, MultiplePagesAndEomStartPhaseBAgain) {
    Dialogue d(modem_);
    Answer(d);
    TrainAt14400(d);
    PageAt14400(d, kPage1);
    PostPage(d, kFcfEomX, kFcfMcf);
    Identify(d);
    TrainAt14400(d);
    PageAt14400(d, kPage2);
    End(d);
    EXPECT_EQ(Receive(), TOLLAN_OK);
    ExpectDialogue(d);
    EXPECT_EQ(pages_received_, 2);
    EXPECT_EQ(PageFile("in_p2.g3"), kPage2);
}

// Faults by phase: each ends with its return and hang-up codes, the pages
// received whole kept.
TEST_F(ReceiveTest, CallerSilentAfterThePageIsUnconfirmed) {
    Dialogue d(modem_);
    Answer(d);
    TrainAt14400(d);
    PageAt14400(d, kPage1);
    PostPage(d, kFcfMpsX, kFcfMcf);
    d.On("AT+FRM=146\r", kNoCarrier);
    for (int i = 0; i <= kMaxCommandRepeats; ++i) d.On("AT+FRH=3\r", kNoCarrier);
    Respond(d, kDcnCalled).Hangup();
    EXPECT_EQ(Receive(), TOLLAN_E_UNCONFIRMED);
    ExpectDialogue(d);
    EXPECT_EQ(pages_received_, 1);
    EXPECT_EQ(PageFile("in_p1.g3"), kPage1);
    EXPECT_EQ(g_channels[0].reports.hangup_code, 73);
}

// After MCF to MPS the page's carrier does not come. Frames instead of it are
// the caller repeating MPS (our MCF was lost): MCF again. Nothing at all is a
// page sent and lost: RTN, never MCF for a page not received.
TEST_F(ReceiveTest, ARepeatedMpsGetsMcfAgainAndALostPageRtn) {
    Dialogue d(modem_);
    Answer(d);
    TrainAt14400(d);
    PageAt14400(d, kPage1);
    PostPage(d, kFcfMpsX, kFcfMcf);
    d.On("AT+FRM=146\r", "\r\n+FCERROR\r\n");
    PostPage(d, kFcfMpsX, kFcfMcf);
    d.On("AT+FRM=146\r", kNoCarrier);
    PostPage(d, kFcfEopX, kRtnFcf);
    Caller(d, kFcfDcn).Hangup();
    EXPECT_EQ(Receive(), TOLLAN_E_UNCONFIRMED);
    ExpectDialogue(d);
    EXPECT_EQ(pages_received_, 1);
}

// Found by fuzzing: PPS or CTC before a DCS that agreed to error correction
// took the call to page data without a rate.
TEST_F(ReceiveTest, ErrorCorrectionCommandsBeforeItsDcsArePassedOver) {
    Dialogue d(modem_);
    Answer(d);
    Caller(d, kFcfPps, std::string("\x00\x00\x00\x00", 4));
    Caller(d, kFcfCtc, std::string("\x00\x00", 2));
    Caller(d, kFcfDcn).Hangup();
    EXPECT_EQ(Receive(), TOLLAN_E_UNCONFIRMED);
    ExpectDialogue(d);
    EXPECT_EQ(pages_received_, 0);
}

TEST_F(ReceiveTest, DcnBeforeEopIsUnconfirmed) {
    Dialogue d(modem_);
    Answer(d);
    TrainAt14400(d);
    PageAt14400(d, kPage1);
    PostPage(d, kFcfMpsX, kFcfMcf);
    d.On("AT+FRM=146\r", "\r\n+FCERROR\r\n");
    Caller(d, kFcfDcn).Hangup();
    EXPECT_EQ(Receive(), TOLLAN_E_UNCONFIRMED);
    ExpectDialogue(d);
    EXPECT_EQ(pages_received_, 1);
    EXPECT_EQ(g_channels[0].reports.hangup_code, 100);
}

// DIS goes every T4 (3 s) while T1 (35 s) runs, eleven repeats at most; the
// script offers them all, the call ends by the clock however many it used.
TEST_F(ReceiveTest, SilentCallerGetsDisEveryT4UntilT1) {
    Dialogue d(modem_);
    Answer(d);
    for (int i = 0; i < 11; ++i) Identify(d.On("AT+FRH=3\r", "").On("\r", kOk));
    d.On("AT+FRH=3\r", "").On("\r", kOk);
    Respond(d, kDcnCalled).Hangup();
    EXPECT_EQ(Receive(), TOLLAN_E_TIMEOUT);
    EXPECT_EQ(g_channels[0].reports.hangup_code, 11);
    const std::string written = modem_.Written();
    const std::string dis = HostFrame(kControlFinal, kFcfDis, LocalDis());
    size_t sent = 0;
    for (size_t at = written.find(dis); at != std::string::npos; at = written.find(dis, at + 1)) ++sent;
    EXPECT_GE(sent, 2u);
    EXPECT_LE(sent, 12u);
}

TEST_F(ReceiveTest, ACommandRepeatedPastTheLimitEndsTheCall) {
    Dialogue d(modem_);
    Answer(d);
    for (int i = 0; i <= kMaxCommandRepeats; ++i) Caller(d, kFcfTsiX, IdentityField("1"), kControlNotFinal);
    Caller(d, kFcfTsiX, IdentityField("1"), kControlNotFinal);
    Respond(d, kDcnCalled).Hangup();
    EXPECT_EQ(Receive(), TOLLAN_E_RETRIES);
    ExpectDialogue(d);
}

TEST_F(ReceiveTest, APagePastTheByteLimitEndsTheCall) {
    Dialogue d(modem_);
    Answer(d);
    TrainAt14400(d);
    PageAt14400(d, kPage1).On("\r", "");
    Respond(d, kDcnCalled).Hangup();
    const int32_t ch = Class1Channel();
    g_channels[ch].max_page_bytes = 100;
    EXPECT_EQ(Receive(ch, "big.tif"), TOLLAN_E_PAGE_TOO_LARGE);
    ExpectDialogue(d);
    EXPECT_EQ(pages_received_, 0);
}

TEST_F(ReceiveTest, AnAbortWhileAFrameComesHangsUp) {
    UseClock(1);  // the frame wait outlasts the abort by far
    Dialogue d(modem_);
    Answer(d).On("AT+FRH=3\r", kConnect + "\xFF\x13");  // then nothing
    // The caller, which has our DIS, is told DCN once the wait is stopped.
    d.On("\x18\x10\x03", kOk).On("AT+FTH=3\r", kConnect).On(HostFrame(kControlFinal, kDcnCalled), kOk).Hangup();
    // The host aborts once the frame's CONNECT (the third) is in the trace.
    // It takes part in the clock and looks every millisecond by it, so the
    // frame wait cannot pass unseen; it reads the trace, never the pty,
    // whose bytes are the script's.
    std::thread host([this] {
        WaitClockParty party;
        auto connects = [this] {
            int n = 0;
            for (const std::string &line : trace_->Lines()) n += line == "ReceiveClass1Fax: got CONNECT";
            return n;
        };
        for (int i = 0; i < 60000 && connects() < 3; ++i) PlatSleep(1);
        AbortCall(0);
    });
    const uint16_t code = Receive();
    host.join();
    EXPECT_EQ(code, TOLLAN_E_ABORTED);
    ExpectDialogue(d);
    EXPECT_EQ(g_channels[0].reports.hangup_code, 2);
}

TEST_F(ReceiveTest, RefusesWhatReceiveFaxRefusesAndOtherClasses) {
    const int32_t ch = Attach();
    int16_t pages = 0;
    EXPECT_EQ(ReceiveClass1Fax(kMaxChannels, "x", &pages), TOLLAN_E_CHANNEL);
    EXPECT_EQ(ReceiveClass1Fax(ch, nullptr, &pages), TOLLAN_E_ARGUMENT);
    EXPECT_EQ(ReceiveClass1Fax(ch, "", &pages), TOLLAN_E_ARGUMENT);
    EXPECT_EQ(ReceiveClass1Fax(ch, "x", nullptr), TOLLAN_E_ARGUMENT);
    EXPECT_EQ(ReceiveClass1Fax(ch, std::string(300, 'a').c_str(), &pages), TOLLAN_E_ARGUMENT);
    g_channels[ch].modem_class = TOLLAN_CLASS_2;
    EXPECT_EQ(ReceiveClass1Fax(ch, pages_.Path("c.tif").c_str(), &pages), TOLLAN_E_CLASS);
    g_channels[ch].modem_class = TOLLAN_CLASS_1;
    pages_.Write("old_p1.g3", "x");
    EXPECT_EQ(ReceiveClass1Fax(ch, pages_.Path("old.tif").c_str(), &pages), TOLLAN_E_PAGE_EXISTS);
    EXPECT_EQ(modem_.Written(), "");  // nothing refused reached the modem
}

TEST(PageQualityTest, TheDecoderCountsBadRowsAndTheLongestRunOfThem) {
    const std::string page = RowsPage("ggbgggbbbgggbbgg");
    G3Reader reader{};
    StartMemoryReader(&reader, reinterpret_cast<const uint8_t *>(page.data()), page.size());
    G3Rows rows{};
    G3DecodeReport report{};
    ASSERT_EQ(DecodeG3Page(&reader, {kCodingMh, 1728, 100, "test"}, &rows, &report), TOLLAN_OK);
    EXPECT_EQ(report.bad_rows, 6);
    EXPECT_EQ(report.first_bad_row, 2);
    EXPECT_EQ(report.longest_bad_run, 3);
}

TEST(PageQualityTest, ThresholdsForMcfRtpRtn) {
    EXPECT_EQ(JudgeQuality({100, 5, 5, true}), PageVerdict::kMcf);
    EXPECT_EQ(JudgeQuality({100, 5, 6, true}), PageVerdict::kRtp);
    EXPECT_EQ(JudgeQuality({100, 6, 1, true}), PageVerdict::kRtp);
    EXPECT_EQ(JudgeQuality({100, 15, 15, true}), PageVerdict::kRtp);
    EXPECT_EQ(JudgeQuality({100, 16, 1, true}), PageVerdict::kRtn);
    EXPECT_EQ(JudgeQuality({100, 10, 16, true}), PageVerdict::kRtn);
    EXPECT_EQ(JudgeQuality({0, 0, 0, false}), PageVerdict::kRtn);
}

}  // namespace
