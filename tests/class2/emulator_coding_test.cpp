// SendFax and ReceiveFax through emulated class 2 and 2.0 modems with error
// correction and two-dimensional codings: the capability lists offer what the
// channel is set to, the session takes what both ends have, the pages cross
// the line in that coding, and every page decodes to the rows it began with.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine/tollan.h"
#include "image/g3_codec.h"
#include "support/scripted_modem.h"
#include "support/wait_clock.h"
#include "tests/sim/ecm_pages.h"
#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

constexpr int32_t kWidth = kEcmWidth;
constexpr int32_t kRowBytes = kEcmRowBytes;

// The rows the data decodes to in df's coding (an MH page without the two
// blank rows of its end); empty when it does not decode whole.
std::string Rows(const std::string &data, int df) {
    G3Reader r;
    StartMemoryReader(&r, reinterpret_cast<const uint8_t *>(data.data()), data.size());
    G3Rows rows;
    G3DecodeReport report;
    if (DecodeG3Page(&r, {CodingOfDf(df), kWidth, 10000, "test"}, &rows, &report) != TOLLAN_OK ||
        report.bad_rows != 0)
        return {};
    const int32_t count = df == kDfMh ? rows.count - 2 : rows.count;
    return std::string(reinterpret_cast<const char *>(rows.bits.get()), static_cast<size_t>(count) * kRowBytes);
}

// Boxes and slanted strokes, as a form or a drawing has them: what two-
// dimensional coding is for. Small enough for the line's time in a test.
std::string Drawing(int32_t rows, int32_t step) {
    std::vector<uint8_t> bits(static_cast<size_t>(rows) * kRowBytes);
    for (int32_t y = 0; y < rows; ++y) {
        uint8_t *row = bits.data() + static_cast<size_t>(y) * kRowBytes;
        if (y % 60 < 3) FillBlack(row, 100, kWidth - 100);
        FillBlack(row, 100, 104);
        FillBlack(row, kWidth - 104, kWidth - 100);
        const int32_t x = 200 + (y * step) % 1200;
        FillBlack(row, x, x + 9);
    }
    return std::string(bits.begin(), bits.end());
}

struct Session {
    int16_t modem_class;
    int ecm;          // the channel's TOLLAN_ECM_*
    int codings;      // the channel's TOLLAN_COMPRESS_* sum
    int station_df;   // what the station has
    bool station_ecm;
    int want_df;      // what the session must take
    int want_frame;   // ECM frame octets, 0 without
};

class EmulatorCodingTest : public ::testing::TestWithParam<Session> {
protected:
    WaitClock clock{20};  // the library and the emulator move only while both wait
    SimOnWaitClock sim_clock{clock};
    SimFixture f;
    int modem = -1;
    const std::string page1 = Drawing(400, 7), page2 = Drawing(250, 3);
    int32_t ch = -1;

    void SetUp() override { modem = f.AddModem("100"); }

    void TearDown() override {
        // Both settings outlive the channel: the next test starts from the defaults.
        if (ch != -1) {
            SetErrorCorrection(ch, TOLLAN_ECM_OFF);
            SetCompression(ch, TOLLAN_COMPRESS_MH);
            PortClose(ch);
        }
    }

    SimStationConfig Station(const Session &s) {
        SimStationConfig c;
        c.page_dir = f.dir;
        c.data_format = s.station_df;
        c.ecm = s.station_ecm;
        return c;
    }

    // The profile naming the modem must exist while the port opens.
    void Open(const Session &s, const ProfileFile &) {
        SetModemClass(0, s.modem_class);
        ASSERT_EQ(TOLLAN_OK, PortOpen(&ch, 1, "ATZ"));
        ASSERT_EQ(TOLLAN_OK, SetErrorCorrection(ch, s.ecm));
        ASSERT_EQ(TOLLAN_OK, SetCompression(ch, s.codings));
    }

    uint16_t AnswerAndReceive(const std::string &base, int16_t *pages) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int32_t ring = 0;
        while (ring != 1 && std::chrono::steady_clock::now() < end) {
            if (WaitForRing(ch, &ring) != TOLLAN_OK) return TOLLAN_E_READ;
            if (ring != 1) PlatSleep(10);
        }
        return ring == 1 ? ReceiveFax(ch, base.c_str(), pages) : uint16_t{TOLLAN_E_TIMEOUT};
    }
};

TEST_P(EmulatorCodingTest, SentPagesCrossInTheSessionsCoding) {
    const Session s = GetParam();
    SimStationConfig c = Station(s);
    c.number = "200";
    const int station = SimAddStation(f.sim, c);
    ASSERT_TRUE(SimStart(f.sim));
    ProfileFile profile("[Ports]\nCOM1=" + f.Device(modem) + "\n");
    WriteFile(f.dir + "/doc_p1.g3", CodeRows(page1, kDfMh));
    WriteFile(f.dir + "/doc_p2.g3", CodeRows(page2, kDfMh));
    Open(s, profile);

    EXPECT_EQ(TOLLAN_OK, SendFax(ch, "200", (f.dir + "/doc.g3").c_str(), 2));
    ASSERT_TRUE(SimWaitStation(f.sim, station, 1, 5000));
    const SimStationResult r = SimStationResults(f.sim, station);
    EXPECT_EQ(s.want_df, r.data_format);
    EXPECT_EQ(s.want_frame, r.ecm_frame);
    ASSERT_EQ(2, r.pages);
    EXPECT_EQ(0, r.hangup_code);
    EXPECT_TRUE(page1 == Rows(ReadFile(r.page_files[0]), r.data_format));
    EXPECT_TRUE(page2 == Rows(ReadFile(r.page_files[1]), r.data_format));
    // The modem's session report reaches the call report.
    TollanCallReport report{};
    report.size = sizeof report;
    ASSERT_EQ(TOLLAN_OK, GetCallReport(ch, &report));
    const int32_t coding = s.want_df == 3 ? TOLLAN_COMPRESS_MMR : s.want_df == 1 ? TOLLAN_COMPRESS_MR : TOLLAN_COMPRESS_MH;
    EXPECT_EQ(coding, report.coding);
    EXPECT_EQ(s.want_frame == 0 ? TOLLAN_ECM_OFF : s.want_frame == 64 ? TOLLAN_ECM_64 : TOLLAN_ECM_256, report.ecm);
}

TEST_P(EmulatorCodingTest, ReceivedPagesAreStoredAsMh) {
    const Session s = GetParam();
    WriteFile(f.dir + "/out_p1.g3", CodeRows(page1, s.station_df));
    WriteFile(f.dir + "/out_p2.g3", CodeRows(page2, s.station_df));
    SimStationConfig c = Station(s);
    c.number = "300";
    c.answering = false;
    c.pages = {f.dir + "/out_p1.g3", f.dir + "/out_p2.g3"};
    c.host_settle_ms = 500;
    const int caller = SimAddStation(f.sim, c);
    ASSERT_TRUE(SimStart(f.sim));
    ProfileFile profile("[Ports]\nCOM1=" + f.Device(modem) + "\n");
    Open(s, profile);

    ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
    int16_t pages = 0;
    const uint16_t rc = AnswerAndReceive(f.dir + "/in.g3", &pages);
    ASSERT_TRUE(SimWaitStation(f.sim, caller, 1, 5000));
    const SimStationResult r = SimStationResults(f.sim, caller);
    if (s.want_df != s.station_df) {
        // The station's files are in a coding this session does not take.
        EXPECT_EQ(0, r.pages);
        return;
    }
    EXPECT_EQ(TOLLAN_OK, rc);
    EXPECT_EQ(2, pages);
    EXPECT_EQ(s.want_frame ? 256 : 0, r.ecm_frame);  // the station asks for 256-octet frames
    EXPECT_TRUE(page1 == Rows(ReadFile(f.dir + "/in_p1.g3"), kDfMh));
    EXPECT_TRUE(page2 == Rows(ReadFile(f.dir + "/in_p2.g3"), kDfMh));
}

constexpr int kAll = TOLLAN_COMPRESS_MH | TOLLAN_COMPRESS_MR | TOLLAN_COMPRESS_MMR;
constexpr int kMhMr = TOLLAN_COMPRESS_MH | TOLLAN_COMPRESS_MR;

INSTANTIATE_TEST_SUITE_P(
    Sessions, EmulatorCodingTest,
    ::testing::Values(
        // Class 2 names the frame size in EC; class 2.0 leaves it to the modem.
        Session{TOLLAN_CLASS_2, TOLLAN_ECM_256, kAll, kDfMmr, true, kDfMmr, 256},
        Session{TOLLAN_CLASS_2_0, TOLLAN_ECM_64, kAll, kDfMmr, true, kDfMmr, 256},
        Session{TOLLAN_CLASS_2, TOLLAN_ECM_64, kAll, kDfMr, true, kDfMr, 64},
        Session{TOLLAN_CLASS_2_0, TOLLAN_ECM_OFF, kMhMr, kDfMr, false, kDfMr, 0},
        // Without ECM the channel offers no MMR: MR with a station that has both.
        Session{TOLLAN_CLASS_2, TOLLAN_ECM_OFF, kAll, kDfMmr, true, kDfMr, 0},
        // ECM with MH pages: the data crosses as it is in the files.
        Session{TOLLAN_CLASS_2_0, TOLLAN_ECM_256, TOLLAN_COMPRESS_MH, kDfMh, true, kDfMh, 256}));

}  // namespace
