// A real T.30 terminal (spandsp's) calls through a real class 1 modem
// (spandsp's T.31, joined over audio) and sends parts of the ITU test charts;
// ReceiveClass1Fax answers, and the pages it writes decode pixel for pixel
// to the rows that were sent.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "engine/channel.h"
#include "engine/tollan.h"
#include "image/g3_codec.h"
#include "platform/platform.h"
#include "support/scripted_modem.h"
#include "t31_line.h"

#include <spandsp.h>
#include <tiffio.h>

namespace {

constexpr int kWidth = 1728;
constexpr int kRowBytes = kWidth / 8;
constexpr int kFirstRow = 200;  // the charts' top margin is blank
constexpr int kFineRows = 400;

using Rows = std::vector<std::string>;  // packed rows, leftmost dot in the top bit, 1 black

// Rows of an ITU chart (a gzipped P4 bitmap at fine resolution), every
// step-th from kFirstRow on.
Rows ChartRows(const std::string &chart, int count, int step) {
    std::string file;
    for (const char *dir : {TOLLAN_SOURCE_DIR "/../shared/testdata/itu-charts", "/work/shared/testdata/itu-charts"})
        if (file.empty() && access((std::string(dir) + "/" + chart + ".pbm.gz").c_str(), R_OK) == 0)
            file = std::string(dir) + "/" + chart + ".pbm.gz";
    if (file.empty()) return {};
    const std::string command = "gzip -dc '" + file + "'";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return {};
    std::string data;
    char block[65536];
    for (size_t n; (n = fread(block, 1, sizeof block, pipe)) > 0;) data.append(block, n);
    pclose(pipe);
    // "P4\n1728 2376\n" then the rows.
    size_t at = 0;
    for (int newlines = 0; at < data.size() && newlines < 2; ++at)
        if (data[at] == '\n') ++newlines;
    Rows rows;
    for (int i = 0; i < count; ++i) {
        const size_t row = static_cast<size_t>(kFirstRow + i * step);
        if (at + (row + 1) * kRowBytes > data.size()) break;
        rows.push_back(data.substr(at + row * kRowBytes, kRowBytes));
    }
    return rows;
}

// A multi-page TIFF, one-dimensional coding, at fine or standard resolution.
bool WriteTiff(const std::string &path, const std::vector<Rows> &pages, bool fine) {
    TIFF *tiff = TIFFOpen(path.c_str(), "w");
    if (!tiff) return false;
    for (size_t p = 0; p < pages.size(); ++p) {
        const Rows &rows = pages[p];
        TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(rows.size()));
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
        TIFFSetField(tiff, TIFFTAG_GROUP3OPTIONS, 0);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tiff, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
        TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 204.0f);
        TIFFSetField(tiff, TIFFTAG_YRESOLUTION, fine ? 196.0f : 98.0f);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(rows.size()));
        TIFFSetField(tiff, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(p), static_cast<uint16_t>(pages.size()));
        for (size_t y = 0; y < rows.size(); ++y) {
            std::string row = rows[y];
            if (TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0) < 0) {
                TIFFClose(tiff);
                return false;
            }
        }
        TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
    return true;
}

// "" when the received page file decodes to the rows sent (blank rows of
// the end of page aside), else where it first differs.
std::string PageDifference(const std::string &g3_path, const Rows &sent) {
    std::ifstream in(g3_path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), {});
    if (data.empty()) return "no page file " + g3_path;
    G3Reader reader{};
    StartMemoryReader(&reader, reinterpret_cast<const uint8_t *>(data.data()), data.size());
    G3Rows rows{};
    G3DecodeReport report{};
    const uint16_t code = DecodeG3Page(&reader, {kCodingMh, kWidth, 10000, "peer"}, &rows, &report);
    if (code != TOLLAN_OK) return "decoding ended with " + std::to_string(code);
    if (report.bad_rows != 0) return std::to_string(report.bad_rows) + " bad rows";
    if (rows.count < static_cast<int32_t>(sent.size()) || rows.count > static_cast<int32_t>(sent.size()) + 2)
        return "rows " + std::to_string(rows.count) + " for " + std::to_string(sent.size());
    const std::string blank(kRowBytes, '\0');
    for (int32_t y = 0; y < rows.count; ++y) {
        const std::string got(reinterpret_cast<const char *>(G3Row(rows, y)), kRowBytes);
        const std::string &want = y < static_cast<int32_t>(sent.size()) ? sent[static_cast<size_t>(y)] : blank;
        if (got != want) return "row " + std::to_string(y);
    }
    return "";
}

struct PeerCase {
    const char *name;
    int16_t bit_rate;   // the library's setting: what its DIS offers
    int32_t resolution; // 0 fine, 1 standard
    bool hang_up_after_first_page;
    // Error correction and codings: the library's settings and what the caller offers.
    int32_t ecm = TOLLAN_ECM_OFF;
    int32_t codings = TOLLAN_COMPRESS_MH;
    TerminalOptions terminal{};
    const char *dcs_mode = nullptr;  // the trace's DCS line shows this mode
};

class ReceiveFromT30Test : public T31PeerTest, public ::testing::WithParamInterface<PeerCase> {};

TEST_P(ReceiveFromT30Test, PagesArriveAsTheRowsSent) {
    const PeerCase &p = GetParam();
    const bool fine = p.resolution == 0;
    const int step = fine ? 1 : 2;
    const std::vector<Rows> sent = {ChartRows("itu1", kFineRows / step, step), ChartRows("itu2", kFineRows / step, step)};
    ASSERT_EQ(sent[0].size(), static_cast<size_t>(kFineRows / step));
    ASSERT_TRUE(WriteTiff(dir_ + "/sent.tif", sent, fine));

    T31Line line(T30Caller{dir_ + "/sent.tif", p.hang_up_after_first_page});
    line.SetTerminal(p.terminal);
    ProfileFile profile("[Ports]\nCOM1=" + line.Device() + "\n");
    const int32_t ch = OpenClass1("+1 555 0199", p.resolution);
    ASSERT_GE(ch, 0);
    ASSERT_EQ(SetBitRate(ch, p.bit_rate), TOLLAN_OK);
    ASSERT_EQ(SetErrorCorrection(ch, p.ecm), TOLLAN_OK);
    ASSERT_EQ(SetCompression(ch, p.codings), TOLLAN_OK);

    ASSERT_TRUE(RingUntilHeard(line, ch));
    int16_t pages = -1;
    const uint16_t result = ReceiveClass1Fax(ch, (dir_ + "/in.tif").c_str(), &pages);
    const char *remote = nullptr;
    GetRemoteID(ch, &remote);
    int32_t hangup = -99;
    GetHangupCode(ch, &hangup);
    const std::string remote_id = remote ? remote : "";
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);

    const std::string log = TraceLog();
    EXPECT_EQ(remote_id, "T30 SENDER");
    if (p.dcs_mode) {
        EXPECT_NE(log.find(p.dcs_mode), std::string::npos) << "no \"" << p.dcs_mode << "\" in the trace";
    }
    EXPECT_EQ(PageDifference(dir_ + "/in_p1.g3", sent[0]), "") << log;
    if (p.hang_up_after_first_page) {
        EXPECT_NE(result, TOLLAN_OK);
        EXPECT_NE(hangup, 0);
        EXPECT_EQ(pages, 1);
        return;
    }
    ASSERT_EQ(result, TOLLAN_OK) << log;
    EXPECT_EQ(hangup, 0);
    EXPECT_EQ(pages, 2);
    EXPECT_EQ(PageDifference(dir_ + "/in_p2.g3", sent[1]), "");
    ASSERT_TRUE(line.WaitForEnd(10000));
    EXPECT_EQ(line.CompletionCode(), 0);
    EXPECT_EQ(line.PagesSent(), 2);
}

INSTANTIATE_TEST_SUITE_P(Callers, ReceiveFromT30Test,
                         ::testing::Values(PeerCase{"V17Fine", 5, 0, false}, PeerCase{"V17Standard", 5, 1, false},
                                           PeerCase{"V29Fine", 3, 0, false}, PeerCase{"V29Standard", 3, 1, false},
                                           PeerCase{"V27terFine", 1, 0, false},
                                           PeerCase{"V27terStandard", 1, 1, false},
                                           PeerCase{"HangsUpAfterPage1", 5, 0, true}),
                         [](const ::testing::TestParamInfo<PeerCase> &info) { return std::string(info.param.name); });

// With error correction and two-dimensional codings offered by both.
constexpr int kAllCodings = T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T4_2D_COMPRESSION | T30_SUPPORT_T6_COMPRESSION;
constexpr int32_t kMhMr = TOLLAN_COMPRESS_MH | TOLLAN_COMPRESS_MR;
constexpr int32_t kMhMrMmr = kMhMr | TOLLAN_COMPRESS_MMR;
const TerminalOptions kEcmCaller{true, kAllCodings};
const TerminalOptions kPlainCaller{false, kAllCodings};

INSTANTIATE_TEST_SUITE_P(
    Codings, ReceiveFromT30Test,
    ::testing::Values(PeerCase{"MmrEcm256", 5, 0, false, TOLLAN_ECM_256, kMhMrMmr, kEcmCaller, "coding 2 ecm 1"},
                      PeerCase{"MrEcm64", 3, 1, false, TOLLAN_ECM_64, kMhMr, kEcmCaller, "coding 1 ecm 1"},  // the sender picks the frame size
                      PeerCase{"MhEcm256", 5, 1, false, TOLLAN_ECM_256, TOLLAN_COMPRESS_MH, kEcmCaller, "coding 0 ecm 1"},
                      // A byte of the first block damaged on its way to the library.
                      PeerCase{"DamagedFrameAskedForAgain", 5, 0, false, TOLLAN_ECM_256, kMhMrMmr,
                               TerminalOptions{true, kAllCodings, 0, 2, 1500}, "ReceiveClass1Fax: PPR for 1 frames"},
                      PeerCase{"MrNoEcm", 5, 0, false, TOLLAN_ECM_OFF, kMhMrMmr, kPlainCaller, "coding 1 ecm 0"}),
    [](const ::testing::TestParamInfo<PeerCase> &info) { return std::string(info.param.name); });

}  // namespace
