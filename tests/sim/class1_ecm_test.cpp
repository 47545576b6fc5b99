// Error correction through the emulator's class 1 modem, both ways: the
// library frames (or takes) the page data in HDLC frames itself, the
// emulated station takes (or frames) them on its own, and the line's
// faults spoil chosen frames, a frame again and again, the answer to PPS,
// or hold the block up with RNR. Every page that counts arrives whole.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine/tollan.h"
#include "support/scripted_modem.h"
#include "support/wait_clock.h"
#include "tests/sim/ecm_pages.h"
#include "sim/sim_internal.h"
#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

struct EcmSession {
    const char *name;
    int ecm;           // the channel's TOLLAN_ECM_* (a calling station's frames follow it)
    int codings;       // the channel's TOLLAN_COMPRESS_* sum
    int df;            // the station's coding
    const char *faults;  // the station's
    uint16_t expected;
    int pages;         // pages that count at the end
    int pprs;          // PPRs in the call; -1: any
    int resent;        // frames asked for again; -1: any
    int ctcs, eors;
};

void PrintTo(const EcmSession &s, std::ostream *os) { *os << s.name; }

constexpr int kAll = TOLLAN_COMPRESS_MH | TOLLAN_COMPRESS_MR | TOLLAN_COMPRESS_MMR;
constexpr int kMhMr = TOLLAN_COMPRESS_MH | TOLLAN_COMPRESS_MR;
constexpr int kRows1 = 500, kRows2 = 300;

class Class1EcmTest : public ::testing::TestWithParam<EcmSession> {
protected:
    WaitClock clock{20};  // the library and the emulator move only while both wait
    SimOnWaitClock sim_clock{clock};
    SimFixture f;
    int modem = -1;
    const std::string rows1 = DrawRows(kRows1, 7), rows2 = DrawRows(kRows2, 3);
    int32_t ch = -1;

    void SetUp() override {
        SetModemCommandInterval(100);
        modem = f.AddModem("100", kSimClass1);
    }

    void TearDown() override {
        Close();
        SetModemCommandInterval(500);
    }

    // Both settings outlive the channel: the next test starts from the defaults.
    void Close() {
        if (ch == -1) return;
        SetErrorCorrection(ch, TOLLAN_ECM_OFF);
        SetCompression(ch, TOLLAN_COMPRESS_MH);
        PortClose(ch);
        ch = -1;
    }

    // A failure's report names the phase it ended in: a sender's in the
    // post-page exchange, a receiver's before the block's PPS was answered.
    void ExpectReport(const EcmSession &s, int32_t failed_phase) {
        TollanCallReport r{};
        r.size = sizeof r;
        ASSERT_EQ(TOLLAN_OK, GetCallReport(ch, &r));
        if (s.expected == TOLLAN_OK) {
            EXPECT_EQ(s.pages + r.pages_rejected, r.page_count);  // a page rejected (RTN) came again
            // The report says how the pages went on the line.
            const int32_t coding = s.df == 3 ? TOLLAN_COMPRESS_MMR : s.df == 1 ? TOLLAN_COMPRESS_MR : TOLLAN_COMPRESS_MH;
            EXPECT_EQ(s.ecm, r.ecm);
            EXPECT_EQ(coding, r.coding);
            if (r.page_count > 0) {
                EXPECT_EQ(coding, r.page[0].coding);
            }
        }
        if (s.expected != TOLLAN_OK) {
            EXPECT_NE(TOLLAN_OUTCOME_SUCCESS, r.outcome);
            EXPECT_EQ(failed_phase, r.phase) << "cause " << r.cause;
        }
    }

    SimStationConfig Station(const EcmSession &s, bool answering) {
        SimStationConfig c;
        c.page_dir = f.dir;
        c.answering = answering;
        c.ecm = true;
        c.ecm_frame_size = s.ecm == TOLLAN_ECM_64 ? 64 : 256;
        c.data_format = s.df;
        EXPECT_TRUE(SimParseFaults(s.faults, &c.faults)) << s.faults;
        return c;
    }

    void Open(const EcmSession &s, const ProfileFile &) {
        SetModemClass(0, TOLLAN_CLASS_1);
        ASSERT_EQ(TOLLAN_OK, PortOpen(&ch, 1, "ATZ"));
        ASSERT_EQ(TOLLAN_OK, SetErrorCorrection(ch, s.ecm));
        ASSERT_EQ(TOLLAN_OK, SetCompression(ch, s.codings));
    }

    static void ExpectCounts(const EcmSession &s, const SimStationResult &r) {
        if (s.pprs >= 0) {
            EXPECT_EQ(s.pprs, r.ecm_pprs);
        }
        if (s.resent >= 0) {
            EXPECT_EQ(s.resent, r.ecm_frames_resent);
        }
        EXPECT_EQ(s.ctcs, r.ecm_ctcs);
        EXPECT_EQ(s.eors, r.ecm_eors);
    }
};

// The library sends; the answering station takes the frames.
const EcmSession kSent[] = {
    {"MH, 256", TOLLAN_ECM_256, TOLLAN_COMPRESS_MH, kDfMh, "", TOLLAN_OK, 2, 0, 0, 0, 0},
    {"MR, 256", TOLLAN_ECM_256, kMhMr, kDfMr, "", TOLLAN_OK, 2, 0, 0, 0, 0},
    {"MMR, 256", TOLLAN_ECM_256, kAll, kDfMmr, "", TOLLAN_OK, 2, 0, 0, 0, 0},
    {"MMR, 64", TOLLAN_ECM_64, kAll, kDfMmr, "", TOLLAN_OK, 2, 0, 0, 0, 0},
    {"MH, 64, several blocks", TOLLAN_ECM_64, TOLLAN_COMPRESS_MH, kDfMh, "", TOLLAN_OK, 2, 0, 0, 0, 0},
    // Three frames of page 1 spoiled once: one PPR asks for exactly them.
    {"chosen frames", TOLLAN_ECM_64, kAll, kDfMmr, "ecmbad@1:0:5:9", TOLLAN_OK, 2, 1, 3, 0, 0},
    {"every 10th frame", TOLLAN_ECM_64, kAll, kDfMr, "ecmevery=10", TOLLAN_OK, 2, -1, -1, 0, 0},
    // A frame spoiled four times: four PPRs, CTC one rate lower, then it arrives.
    {"stuck 4 times: CTC", TOLLAN_ECM_256, kAll, kDfMmr, "ecmstuck@1=4", TOLLAN_OK, 2, 4, 4, 1, 0},
    // Eight times: CTC, four more PPRs, EOR; the page counts with a hole.
    {"stuck 8 times: EOR", TOLLAN_ECM_256, kAll, kDfMmr, "ecmstuck@2=8", TOLLAN_OK, 2, 8, 8, 1, 1},
    {"RNR 3 times", TOLLAN_ECM_256, kAll, kDfMmr, "rnr=3", TOLLAN_OK, 2, 0, 0, 0, 0},
    {"RNR past the polls", TOLLAN_ECM_256, kAll, kDfMmr, "rnr=30", TOLLAN_E_RETRIES, 0, 0, 0, 0, 0},
    {"PPS never answered", TOLLAN_ECM_256, kAll, kDfMmr, "ppsmute", TOLLAN_E_TIMEOUT, 0, 0, 0, 0, 0},
};

TEST_P(Class1EcmTest, Sent) {
    const EcmSession s = GetParam();
    SimStationConfig c = Station(s, true);
    c.number = "200";
    const int station = SimAddStation(f.sim, c);
    ASSERT_TRUE(SimStart(f.sim));
    ProfileFile profile("[Ports]\nCOM1=" + f.Device(modem) + "\n");
    WriteFile(f.dir + "/doc_p1.g3", CodeRows(rows1, kDfMh));
    WriteFile(f.dir + "/doc_p2.g3", CodeRows(rows2, kDfMh));
    Open(s, profile);

    EXPECT_EQ(s.expected, SendClass1Fax(ch, "200", (f.dir + "/doc.g3").c_str(), 2));
    int16_t sent = -1;
    GetNumOfPagesSent(ch, &sent);
    EXPECT_EQ(s.pages, sent);
    ExpectReport(s, TOLLAN_PHASE_POST_PAGE);
    Close();  // a call that timed out is put down here
    ASSERT_TRUE(SimWaitStation(f.sim, station, 1, 5000));
    const SimStationResult r = SimStationResults(f.sim, station);
    EXPECT_EQ(s.df, r.data_format);
    EXPECT_EQ(s.ecm == TOLLAN_ECM_64 ? 64 : 256, r.ecm_frame);
    ExpectCounts(s, r);
    ASSERT_EQ(static_cast<size_t>(s.pages), r.page_files.size());
    const std::string rows[] = {rows1, rows2};
    for (int n = 0; n < s.pages; ++n) {
        const std::string got = DecodeRows(ReadFile(r.page_files[static_cast<size_t>(n)]), s.df, n ? kRows2 : kRows1);
        // A block given up with EOR leaves its frame's rows out.
        if (s.eors && n == 1) {
            EXPECT_TRUE(rows[n] != got) << "page " << n + 1;
        } else {
            EXPECT_TRUE(rows[n] == got) << "page " << n + 1 << ": " << got.size() << " bytes of rows";
        }
    }
}

std::string SessionName(const ::testing::TestParamInfo<EcmSession> &info) {
    std::string n;
    for (const char *p = info.param.name; *p; ++p) n += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Sent, Class1EcmTest, ::testing::ValuesIn(kSent), SessionName);

// The calling station sends; the library takes the frames and asks again
// only for those that arrived spoiled.
class Class1EcmReceiveTest : public Class1EcmTest {};

const EcmSession kReceived[] = {
    {"MH, 256", TOLLAN_ECM_256, TOLLAN_COMPRESS_MH, kDfMh, "", TOLLAN_OK, 2, 0, 0, 0, 0},
    {"MR, 256", TOLLAN_ECM_256, kMhMr, kDfMr, "", TOLLAN_OK, 2, 0, 0, 0, 0},
    {"MMR, 256", TOLLAN_ECM_256, kAll, kDfMmr, "", TOLLAN_OK, 2, 0, 0, 0, 0},
    {"MMR, 64", TOLLAN_ECM_64, kAll, kDfMmr, "", TOLLAN_OK, 2, 0, 0, 0, 0},
    {"MH, 64", TOLLAN_ECM_64, TOLLAN_COMPRESS_MH, kDfMh, "", TOLLAN_OK, 2, 0, 0, 0, 0},
    {"chosen frames", TOLLAN_ECM_64, kAll, kDfMmr, "ecmbad@2:1:4:8", TOLLAN_OK, 2, 1, 3, 0, 0},
    {"every 10th frame", TOLLAN_ECM_64, kAll, kDfMr, "ecmevery=10", TOLLAN_OK, 2, -1, -1, 0, 0},
    {"stuck 4 times: CTC", TOLLAN_ECM_256, kAll, kDfMmr, "ecmstuck@1=4", TOLLAN_OK, 2, 4, 4, 1, 0},
    // A page given up with a hole cannot be decoded: RTN, and it comes again whole.
    {"stuck 8 times: EOR", TOLLAN_ECM_256, kAll, kDfMmr, "ecmstuck@2=8", TOLLAN_OK, 2, 8, 8, 1, 1},
    {"EOR without CTC", TOLLAN_ECM_256, kAll, kDfMmr, "ecmstuck@1=4,ecmeor", TOLLAN_OK, 2, 4, 4, 0, 1},
    // A sender that never gives up: the receiver's bound, 16 PPRs a block.
    {"PPR forever", TOLLAN_ECM_256, kAll, kDfMmr, "ecmstuck@1=1000,ecmforever", TOLLAN_E_RETRIES, 0, 16, 16, 0, 0},
};

TEST_P(Class1EcmReceiveTest, Received) {
    const EcmSession s = GetParam();
    const std::string coded1 = CodeRows(rows1, s.df), coded2 = CodeRows(rows2, s.df);
    WriteFile(f.dir + "/out_p1.g3", coded1);
    WriteFile(f.dir + "/out_p2.g3", coded2);
    SimStationConfig c = Station(s, false);
    c.number = "300";
    c.pages = {f.dir + "/out_p1.g3", f.dir + "/out_p2.g3"};
    const int caller = SimAddStation(f.sim, c);
    ASSERT_TRUE(SimStart(f.sim));
    ProfileFile profile("[Ports]\nCOM1=" + f.Device(modem) + "\n");
    Open(s, profile);

    ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
    int32_t ring = 0;
    for (int look = 0; ring != 1 && look < 1000; ++look) {
        ASSERT_EQ(TOLLAN_OK, WaitForRing(ch, &ring));
        if (ring != 1) PlatSleep(100);
    }
    int16_t pages = -1;
    EXPECT_EQ(s.expected, ReceiveClass1Fax(ch, (f.dir + "/in.g3").c_str(), &pages));
    EXPECT_EQ(s.pages, pages);
    ExpectReport(s, TOLLAN_PHASE_PAGE);
    Close();
    ASSERT_TRUE(SimWaitStation(f.sim, caller, 1, 5000));
    const SimStationResult r = SimStationResults(f.sim, caller);
    EXPECT_EQ(s.df, r.data_format);
    EXPECT_EQ(s.ecm == TOLLAN_ECM_64 ? 64 : 256, r.ecm_frame);
    ExpectCounts(s, r);
    const std::string rows[] = {rows1, rows2};
    for (int n = 0; n < s.pages; ++n) {
        const std::string got =
            DecodeRows(ReadFile(f.dir + "/in_p" + std::to_string(n + 1) + ".g3"), kDfMh, n ? kRows2 : kRows1);
        EXPECT_TRUE(rows[n] == got) << "page " << n + 1 << ": " << got.size() << " bytes of rows";
    }
}

INSTANTIATE_TEST_SUITE_P(Received, Class1EcmReceiveTest, ::testing::ValuesIn(kReceived), SessionName);

// A modem's page faults count pages, not blocks: page 1's frames sent again
// after PPR are still page 1, and the line is lost in page 2's data.
TEST_F(Class1EcmTest, ModemFaultsStrikeThePageNotTheBlock) {
    const EcmSession s = kSent[5];  // chosen frames of page 1 go bad: a PPR
    SimStationConfig c = Station(s, true);
    c.number = "200";
    const int station = SimAddStation(f.sim, c);
    ASSERT_TRUE(SimStart(f.sim));
    ProfileFile profile("[Ports]\nCOM1=" + f.Device(modem) + "\n");
    WriteFile(f.dir + "/doc_p1.g3", CodeRows(rows1, kDfMh));
    WriteFile(f.dir + "/doc_p2.g3", CodeRows(rows2, kDfMh));
    Open(s, profile);
    SimFaults lost;
    ASSERT_TRUE(SimParseFaults("nocarrier@C2", &lost));
    SimSetModemFaults(f.sim, modem, lost);

    EXPECT_EQ(TOLLAN_E_ERROR, SendClass1Fax(ch, "200", (f.dir + "/doc.g3").c_str(), 2));
    int16_t sent = -1;
    GetNumOfPagesSent(ch, &sent);
    EXPECT_EQ(1, sent);
    Close();
    SimSetModemFaults(f.sim, modem, SimFaults{});
    ASSERT_TRUE(SimWaitStation(f.sim, station, 1, 5000));
    const SimStationResult r = SimStationResults(f.sim, station);
    EXPECT_EQ(1, r.ecm_pprs);
    ASSERT_EQ(1u, r.page_files.size());
    EXPECT_TRUE(rows1 == DecodeRows(ReadFile(r.page_files[0]), s.df, kRows1));
}

// The emulator's own framing: the check is the one of the control frames
// (the X.25 check of "123456789" is 0x906E), runs of ones are stuffed and
// come back, a spoiled frame is counted and left out, and a stream without
// leading flags still opens its first frame.
TEST(EmulatorHdlc, FramesComeBackAsTheyWent) {
    const std::string digits = "123456789";
    EXPECT_EQ(0x906E, SimHdlcCheck(reinterpret_cast<const uint8_t *>(digits.data()), digits.size()));
    const std::vector<Bytes> frames = {{0xFF, 0x03, 0x06, 0x00, 0xFF, 0xFF, 0x7E, 0x7E, 0x1F},
                                       {0xFF, 0x03, 0x06, 0x01, 0x00},
                                       {0xFF, 0x03, 0x86}};
    for (size_t lead : {size_t{0}, size_t{5}}) {
        int bad = -1;
        EXPECT_EQ(frames, SimHdlcDecode(SimHdlcEncode(frames, {}, lead), &bad)) << lead << " flags";
        EXPECT_EQ(0, bad);
    }
    int bad = 0;
    const std::vector<Bytes> kept = SimHdlcDecode(SimHdlcEncode(frames, {false, true}, 2), &bad);
    EXPECT_EQ(1, bad);
    EXPECT_EQ((std::vector<Bytes>{frames[0], frames[2]}), kept);
}

}  // namespace
