// A fax sent by SendClass1Fax through a real class 1 modem to a real T.30
// receiver (spandsp's, joined over audio), and compared pixel for pixel
// with the bitmaps its pages were made from.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/channel.h"
#include "engine/tollan.h"
#include "support/scripted_modem.h"
#include "t31_line.h"

#include <spandsp.h>

namespace {

constexpr int kWidth = 1728;
constexpr int kHeight = 120;
// BmpToG3 puts four blank lines before the rows and, with no stretching,
// blank lines after them up to the long page length. Every line ends in an
// EOL and the page does not begin with one; a T.4 receiver starts at the
// first EOL, so the first blank line never shows.
constexpr int kLeadingBlankLines = 4 - 1;
constexpr int kMinimumPageLines = 2290;

using Picture = std::function<bool(int x, int y)>;  // true: black

// A 1-bit bitmap file: palette entry 0 white, 1 black; rows bottom-up.
void WriteBitmap(const std::string &path, const Picture &black) {
    const int row_bytes = kWidth / 8;  // already a multiple of 4
    const uint32_t data_size = static_cast<uint32_t>(row_bytes * kHeight);
    const uint32_t offset = 14 + 40 + 8;
    std::string file;
    auto put16 = [&file](uint32_t v) { file += static_cast<char>(v & 0xFF), file += static_cast<char>(v >> 8 & 0xFF); };
    auto put32 = [&put16](uint32_t v) { put16(v & 0xFFFF), put16(v >> 16); };
    file += "BM";
    put32(offset + data_size);
    put32(0);
    put32(offset);
    put32(40);
    put32(kWidth);
    put32(kHeight);
    put16(1);
    put16(1);
    put32(0);
    put32(data_size);
    put32(7874);  // 200 dpi
    put32(7874);
    put32(2);
    put32(0);
    put32(0x00FFFFFF);  // entry 0: white
    put32(0x00000000);  // entry 1: black
    for (int y = kHeight - 1; y >= 0; --y) {
        for (int b = 0; b < row_bytes; ++b) {
            uint8_t byte = 0;
            for (int bit = 0; bit < 8; ++bit)
                if (black(b * 8 + bit, y)) byte |= static_cast<uint8_t>(0x80 >> bit);
            file += static_cast<char>(byte);
        }
    }
    std::ofstream(path, std::ios::binary) << file;
}

// Every row of the page as it should arrive: blank, the picture, blank.
std::string PageDifference(const ReceivedPage &page, const Picture &black) {
    if (page.width != kWidth) return "width " + std::to_string(page.width);
    const size_t expected_rows = kLeadingBlankLines + std::max(kHeight, kMinimumPageLines);
    if (page.rows.size() != expected_rows) return "rows " + std::to_string(page.rows.size());
    for (size_t y = 0; y < page.rows.size(); ++y) {
        const int picture_y = static_cast<int>(y) - kLeadingBlankLines;
        for (int x = 0; x < kWidth; ++x) {
            const bool want = picture_y >= 0 && picture_y < kHeight && black(x, picture_y);
            if ((page.rows[y][static_cast<size_t>(x)] != 0) != want)
                return "pixel " + std::to_string(x) + "," + std::to_string(y);
        }
    }
    return "";
}

// Pictures: a frame with a diagonal band, and a chequerboard of 24-pixel squares.
bool FramedBand(int x, int y) {
    return x < 8 || x >= kWidth - 8 || y < 4 || y >= kHeight - 4 || (x / 4 - y) % 96 == 0;
}
bool Chequerboard(int x, int y) { return (x / 24 + y / 24) % 2 == 0; }
const std::vector<Picture> kPictures = {FramedBand, Chequerboard};

struct PeerCase {
    const char *name;
    int receiver_modems;    // what the receiver's DIS offers
    int pages;
    int32_t resolution;     // 0 fine, 1 standard
    int16_t scan_time;      // 2: lines filled to 5 ms (8 bytes at 9600 bit/s)
    int16_t bit_rate_used;  // after the DIS
    // Error correction and codings: the library's settings and the terminal's offer.
    int32_t ecm = TOLLAN_ECM_OFF;
    int32_t codings = TOLLAN_COMPRESS_MH;
    TerminalOptions terminal{};
    const char *dcs_mode = nullptr;  // the trace's DCS line shows this mode
};

class SendToT30Test : public T31PeerTest, public ::testing::WithParamInterface<PeerCase> {};

TEST_P(SendToT30Test, PagesArriveAsTheBitmapsTheyWereMadeFrom) {
    const PeerCase &p = GetParam();
    ASSERT_EQ(SetStretchOption(0), TOLLAN_OK);
    for (int i = 0; i < p.pages; ++i) {
        const std::string n = std::to_string(i + 1);
        WriteBitmap(dir_ + "/page" + n + ".bmp", kPictures[static_cast<size_t>(i)]);
        ASSERT_EQ(BmpToG3((dir_ + "/page" + n + ".bmp").c_str(), (dir_ + "/doc_p" + n + ".g3").c_str()), TOLLAN_OK);
    }

    T31Line line(p.receiver_modems, dir_ + "/received.tif");
    line.SetTerminal(p.terminal);
    ProfileFile profile("[Ports]\nCOM1=" + line.Device() + "\n");
    const int32_t ch = OpenClass1("+1 555 0100", p.resolution);
    ASSERT_GE(ch, 0);
    ASSERT_EQ(SetScanTime(ch, p.scan_time), TOLLAN_OK);
    ASSERT_EQ(SetErrorCorrection(ch, p.ecm), TOLLAN_OK);
    ASSERT_EQ(SetCompression(ch, p.codings), TOLLAN_OK);
    const uint16_t result = SendClass1Fax(ch, "5551234", (dir_ + "/doc.tif").c_str(), p.pages);
    int16_t pages_sent = -1;
    GetNumOfPagesSent(ch, &pages_sent);
    const char *remote = nullptr;
    GetRemoteID(ch, &remote);
    const int16_t bit_rate = g_channels[ch].bit_rate;
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);

    ASSERT_TRUE(line.WaitForEnd(10000));
    const std::string log = TraceLog();
    ASSERT_EQ(result, TOLLAN_OK) << log;
    EXPECT_EQ(pages_sent, p.pages);
    EXPECT_EQ(bit_rate, p.bit_rate_used);
    EXPECT_STREQ(remote, "T30 RECEIVER");  // its CSI, the space kept
    EXPECT_EQ(line.CompletionCode(), 0);
    EXPECT_EQ(line.PagesReceived(), p.pages);
    EXPECT_EQ(line.SenderIdent(), "+1 555 0100");
    if (p.dcs_mode) {
        EXPECT_NE(log.find(p.dcs_mode), std::string::npos) << "no \"" << p.dcs_mode << "\" in the trace";
    }

    const std::vector<ReceivedPage> pages = line.ReadReceivedPages();
    ASSERT_EQ(pages.size(), static_cast<size_t>(p.pages));
    for (size_t i = 0; i < pages.size(); ++i) EXPECT_EQ(PageDifference(pages[i], kPictures[i]), "") << "page " << i + 1;
}

INSTANTIATE_TEST_SUITE_P(
    Receivers, SendToT30Test,
    ::testing::Values(PeerCase{"V17", T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17, 2, 0, 0, 5},
                      PeerCase{"V29", T30_SUPPORT_V27TER | T30_SUPPORT_V29, 1, 1, 2, 3},
                      PeerCase{"V27ter", T30_SUPPORT_V27TER, 1, 0, 0, 1}),
    [](const ::testing::TestParamInfo<PeerCase> &info) { return std::string(info.param.name); });

// With error correction and two-dimensional codings: the terminal offers
// ECM and every coding, and the library chooses the best it is allowed.
constexpr int kAllModems = T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17;
constexpr int kAllCodings = T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T4_2D_COMPRESSION | T30_SUPPORT_T6_COMPRESSION;
const TerminalOptions kEcmTerminal{true, kAllCodings};
const TerminalOptions kPlainTerminal{false, kAllCodings};
constexpr int32_t kMhMr = TOLLAN_COMPRESS_MH | TOLLAN_COMPRESS_MR;
constexpr int32_t kMhMrMmr = kMhMr | TOLLAN_COMPRESS_MMR;

INSTANTIATE_TEST_SUITE_P(
    Codings, SendToT30Test,
    ::testing::Values(
        PeerCase{"MhEcm256", kAllModems, 2, 0, 0, 5, TOLLAN_ECM_256, TOLLAN_COMPRESS_MH, kEcmTerminal, "coding 0 ecm 1"},
        PeerCase{"MrEcm64", kAllModems, 1, 1, 0, 5, TOLLAN_ECM_64, kMhMr, kEcmTerminal, "coding 1 ecm 2"},
        PeerCase{"MmrEcm256", kAllModems, 2, 0, 0, 5, TOLLAN_ECM_256, kMhMrMmr, kEcmTerminal, "coding 2 ecm 1"},
        PeerCase{"MrFineNoEcm", kAllModems, 1, 0, 2, 5, TOLLAN_ECM_OFF, kMhMrMmr, kPlainTerminal, "coding 1 ecm 0"},
        PeerCase{"MrStandardNoEcm", T30_SUPPORT_V27TER | T30_SUPPORT_V29, 2, 1, 2, 3, TOLLAN_ECM_OFF, kMhMr,
                 kPlainTerminal, "coding 1 ecm 0"},
        // A byte of the first block damaged on its way to the terminal.
        PeerCase{"DamagedFrameSentAgain", kAllModems, 1, 0, 0, 5, TOLLAN_ECM_64, kMhMr,
                 TerminalOptions{true, kAllCodings, 2, 0, 1500}, "FrameSense: PPR for block 0: 1 of"},
        PeerCase{"EcmRefusedMh", kAllModems, 1, 0, 0, 5, TOLLAN_ECM_256, kMhMrMmr,
                 TerminalOptions{false, T30_SUPPORT_T4_1D_COMPRESSION}, "coding 0 ecm 0"}),
    [](const ::testing::TestParamInfo<PeerCase> &info) { return std::string(info.param.name); });

}  // namespace
