// The page header line: the format and its checks, the band drawn with the
// built-in font, the page merged with it, and pages sent with it through
// emulated class 1, 2 and 2.0 modems to a station.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/tollan.h"
#include "image/g3_codec.h"
#include "image/mh_codes.h"
#include "image/page_header.h"
#include "support/wait_clock.h"
#include "support/scripted_modem.h"
#include "tests/sim/sim_client.h"

namespace {

constexpr int32_t kRowBytes = kG3LineWidth / 8;

// Decoded rows of a page, each kRowBytes long, as the receiver sees them.
std::vector<std::string> DecodeRows(const std::string &page) {
    G3Reader reader;
    StartMemoryReader(&reader, reinterpret_cast<const uint8_t *>(page.data()), page.size());
    const G3DecodeOptions options{kCodingMh, kG3LineWidth, 20000, "test"};
    G3Rows rows;
    G3DecodeReport report;
    EXPECT_EQ(DecodeG3Page(&reader, options, &rows, &report), TOLLAN_OK);
    std::vector<std::string> out;
    for (int32_t r = 0; r < rows.count; ++r)
        out.emplace_back(reinterpret_cast<const char *>(G3Row(rows, r)), kRowBytes);
    return out;
}

// A page of `lines` rows of black runs that move from row to row, coded as
// BmpToG3 codes it: an EOL first, every row and its EOL, then RTC.
std::string MakeCodedPage(int lines, unsigned seed) {
    std::vector<uint8_t> coded = {0x00, 0x80};
    G3Encoder encoder;
    StartG3Encoder(&encoder, kCodingMh, 1, kG3LineWidth, &coded);
    uint8_t row[kRowBytes];
    for (int r = 0; r < lines; ++r) {
        memset(row, 0, sizeof row);
        const int32_t from = static_cast<int32_t>((seed * 131 + static_cast<unsigned>(r) * 37) % 1500);
        FillBlack(row, from, from + 20 + r % 200);
        FillBlack(row, 1700 - r % 90, 1710);
        EncodeG3Row(&encoder, row);
    }
    FinishG3Encoder(&encoder);
    return std::string(coded.begin(), coded.end());
}

std::string BandRow(const PageHeaderBand &band, int32_t r) {
    return std::string(reinterpret_cast<const char *>(band.dots.data()) + static_cast<size_t>(r) * band.row_bytes,
                       static_cast<size_t>(band.row_bytes));
}

// The received page is the sent one with the band over its top rows.
void ExpectPageWithBand(const std::string &received, const std::string &sent, const PageHeaderBand &band) {
    const std::vector<std::string> got = DecodeRows(received), want = DecodeRows(sent);
    ASSERT_EQ(got.size(), want.size());
    for (int32_t r = 0; r < band.rows; ++r)
        ASSERT_EQ(got[static_cast<size_t>(r)], BandRow(band, r)) << "band row " << r;
    for (size_t r = static_cast<size_t>(band.rows); r < got.size(); ++r) ASSERT_EQ(got[r], want[r]) << "row " << r;
}

PageHeaderValues Values(int page, int pages) {
    struct tm when {};
    when.tm_year = 126;
    when.tm_mon = 11;
    when.tm_mday = 1;
    when.tm_hour = 7;
    when.tm_min = 5;
    return {"ACME\x01", "555 0100", page, pages, when};
}

TEST(PageHeaderFormat, FieldsAreFilledAndFaultsRefused) {
    EXPECT_EQ(ExpandPageHeader("{date} {time} {id} {{{number}} {page}/{pages}", Values(2, 3)),
              "2026-12-01 07:05 ACME? {555 0100} 2/3");
    const std::vector<std::string> good = {"plain", "{page}", "}", "{{page}", std::string(kMaxPageHeaderFormat, 'x')};
    for (const std::string &format : good) EXPECT_EQ(CheckPageHeaderFormat(format), TOLLAN_OK) << format;
    const std::vector<std::string> bad = {"{name}", "{page", "{",  "{Page}", "tab\there", "\xc3\xa9", "{ page}",
                                          std::string(kMaxPageHeaderFormat + 1, 'x')};
    for (const std::string &format : bad) EXPECT_EQ(CheckPageHeaderFormat(format), TOLLAN_E_ARGUMENT) << format;
}

TEST(PageHeaderFormat, SetPageHeaderChecksAndKeepsTheLastGoodFormat) {
    EXPECT_EQ(SetPageHeader(20, "x"), TOLLAN_E_CHANNEL);
    EXPECT_EQ(SetPageHeader(-1, "x"), TOLLAN_E_CHANNEL);
    EXPECT_EQ(SetPageHeader(3, "Page {page}"), TOLLAN_OK);
    EXPECT_EQ(SetPageHeader(3, "Page {pgae}"), TOLLAN_E_ARGUMENT);
    EXPECT_STREQ(g_page_headers[3].format, "Page {page}");
    EXPECT_EQ(SetPageHeader(3, std::string(kMaxPageHeaderFormat + 1, 'x').c_str()), TOLLAN_E_ARGUMENT);
    EXPECT_STREQ(g_page_headers[3].format, "Page {page}");
    EXPECT_EQ(SetPageHeader(3, nullptr), TOLLAN_OK);
    EXPECT_STREQ(g_page_headers[3].format, "");
    EXPECT_EQ(SetPageHeader(3, std::string(kMaxPageHeaderFormat, '{').c_str()), TOLLAN_OK);  // 100 literal braces
    EXPECT_EQ(SetPageHeader(3, ""), TOLLAN_OK);
    EXPECT_STREQ(g_page_headers[3].format, "");
}

TEST(PageHeaderBandTest, EveryGlyphHasItsOwnInkAndFineDoublesTheRows) {
    const PageHeaderBand blank = DrawPageHeaderBand(" ", false);
    EXPECT_EQ(blank.rows, kPageHeaderBandLines);
    EXPECT_EQ(blank.dots, std::vector<uint8_t>(blank.dots.size(), 0));
    std::vector<std::vector<uint8_t>> seen;
    for (char ch = '!'; ch <= '~'; ++ch) {
        const PageHeaderBand band = DrawPageHeaderBand(std::string(1, ch), false);
        EXPECT_NE(band.dots, blank.dots) << ch;
        for (const auto &other : seen) EXPECT_NE(band.dots, other) << ch;
        seen.push_back(band.dots);
    }
    const std::string text = "Page 1/2 {x} 0123456789";
    const PageHeaderBand standard = DrawPageHeaderBand(text, false), fine = DrawPageHeaderBand(text, true);
    ASSERT_EQ(fine.rows, 2 * standard.rows);
    for (int32_t r = 0; r < fine.rows; ++r) EXPECT_EQ(BandRow(fine, r), BandRow(standard, r / 2)) << r;
    // Past the last column the text is cut, not wrapped or drawn off the line.
    const std::string full(kPageHeaderColumns, 'W');
    EXPECT_EQ(DrawPageHeaderBand(full + "WWW", false).dots, DrawPageHeaderBand(full, false).dots);
}

TEST(PageHeaderMerge, OnlyTheBandChangesWhateverThePageLength) {
    const PageHeaderBand band = DrawPageHeaderBand("X 1/1", true);
    for (int lines : {300, band.rows + 1, 5}) {
        const std::string page = MakeCodedPage(lines, static_cast<unsigned>(lines));
        std::vector<uint8_t> merged;
        const auto *data = reinterpret_cast<const uint8_t *>(page.data());
        ASSERT_EQ(MergePageHeader(data, page.size(), band, &merged), TOLLAN_OK);
        const std::vector<std::string> got = DecodeRows(std::string(merged.begin(), merged.end()));
        const std::vector<std::string> want = DecodeRows(page);
        // A page shorter than the band grows to it; the RTC's two blank rows end both.
        ASSERT_EQ(got.size(), std::max(want.size(), static_cast<size_t>(band.rows) + 2)) << lines;
        for (int32_t r = 0; r < band.rows; ++r) EXPECT_EQ(got[static_cast<size_t>(r)], BandRow(band, r));
        for (size_t r = static_cast<size_t>(band.rows); r < want.size(); ++r) EXPECT_EQ(got[r], want[r]);
    }
    std::vector<uint8_t> merged;
    const uint8_t garbage[] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(MergePageHeader(garbage, sizeof garbage, band, &merged), TOLLAN_E_G3_END);
}

TEST(PageHeaderMerge, OpenPageToSendKeepsAGhostScriptHeaderAndLeavesNoFile) {
    simtest::SimFixture f;  // only for its temporary directory
    const std::string page = MakeCodedPage(120, 7);
    std::string header(64, '\0');
    memcpy(&header[1], "PC Research, Inc", 17);
    header[29] = 0;  // standard resolution: the band is not doubled
    simtest::WriteFile(f.dir + "/gs.g3", header + page);
    setenv("TMPDIR", f.dir.c_str(), 1);
    const int32_t ch = 5;
    ASSERT_EQ(SetPageHeader(ch, "{number} p{page}/{pages}"), TOLLAN_OK);
    FaxBeginPageHeader(ch, "42", 3);
    FILE *file = FaxOpenPageToSend((f.dir + "/gs.g3").c_str(), 2, ch);
    ASSERT_NE(file, nullptr);
    std::string sent;
    for (int c; (c = getc(file)) != EOF;) sent += static_cast<char>(c);
    fclose(file);
    unsetenv("TMPDIR");
    SetPageHeader(ch, nullptr);
    ASSERT_EQ(sent.substr(0, 64), header);
    ExpectPageWithBand(sent.substr(64), page, DrawPageHeaderBand("42 p2/3", false));
    EXPECT_EQ(std::system(("test $(ls '" + f.dir + "' | wc -l) -eq 1").c_str()), 0) << "a temporary file was left";
}

// Pages sent by the library through an emulated modem to an answering station.
class PageHeaderSendTest : public ::testing::Test {
protected:
    // The library and the emulator on one clock that moves only while both wait.
    WaitClock clock{20};
    SimOnWaitClock sim_clock{clock};
    simtest::SimFixture f;
    std::unique_ptr<ProfileFile> profile;
    std::string page1 = MakeCodedPage(400, 1), page2 = MakeCodedPage(150, 2);

    void SetUp() override {
        f.AddModem("100");
        f.AddAnsweringStation("200");
        ASSERT_TRUE(SimStart(f.sim));
        profile = std::make_unique<ProfileFile>("[Ports]\nCOM1=" + f.Device(0) + "\n");
        simtest::WriteFile(f.dir + "/doc_p1.g3", page1);
        simtest::WriteFile(f.dir + "/doc_p2.g3", page2);
    }

    // Sends both pages in the class with the header format; the station's pages.
    std::vector<std::string> Send(int modem_class, const char *format, int32_t *channel,
                                  uint16_t expected = TOLLAN_OK) {
        SetModemClass(0, modem_class);
        int32_t ch = -1;
        EXPECT_EQ(PortOpen(&ch, 1, "ATZ"), TOLLAN_OK);
        SetLocalID(ch, "+1 555 0100");
        SetPageHeader(ch, format);
        const std::string doc = f.dir + "/doc.g3";
        EXPECT_EQ(modem_class == TOLLAN_CLASS_1 ? SendClass1Fax(ch, "200", doc.c_str(), 2)
                                               : SendFax(ch, "200", doc.c_str(), 2),
                  expected);
        SetPageHeader(ch, nullptr);
        EXPECT_EQ(PortClose(ch), TOLLAN_OK);
        *channel = ch;
        {
            WaitClockOutside outside;  // the station's own time-outs run on the clock
            EXPECT_TRUE(SimWaitStation(f.sim, f.station, 1, 5000));
        }
        SimStationResult r = SimStationResults(f.sim, f.station);
        std::vector<std::string> pages;
        for (const std::string &name : r.page_files) pages.push_back(simtest::ReadFile(name));
        return pages;
    }

    void ExpectHeaderedPages(int modem_class) {
        const char *format = "{date} {time} FROM {id} TO {number} PAGE {page} OF {pages}";
        int32_t ch = -1;
        const std::vector<std::string> got = Send(modem_class, format, &ch);
        ASSERT_EQ(got.size(), 2u);
        for (int page = 1; page <= 2; ++page) {
            // The band as drawn on its own, at the time the call began.
            const PageHeaderValues values{"+1 555 0100", "200", page, 2, g_page_headers[ch].started};
            const PageHeaderBand band = DrawPageHeaderBand(ExpandPageHeader(format, values), true);
            ExpectPageWithBand(got[static_cast<size_t>(page - 1)], page == 1 ? page1 : page2, band);
        }
    }
};

TEST_F(PageHeaderSendTest, Class1PagesCarryTheHeader) { ExpectHeaderedPages(TOLLAN_CLASS_1); }

TEST_F(PageHeaderSendTest, Class2PagesCarryTheHeader) { ExpectHeaderedPages(TOLLAN_CLASS_2); }

TEST_F(PageHeaderSendTest, Class20PagesCarryTheHeader) { ExpectHeaderedPages(TOLLAN_CLASS_2_0); }

TEST_F(PageHeaderSendTest, WithoutAHeaderEveryByteGoesAsItIs) {
    int32_t ch = -1;
    const std::vector<std::string> got = Send(TOLLAN_CLASS_2, "", &ch);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], page1);
    EXPECT_EQ(got[1], page2);
}

// A page that does not decode cannot carry the header: the call fails as
// for a page file that cannot be opened, and nothing of that page goes out.
TEST_F(PageHeaderSendTest, APageThatDoesNotDecodeEndsTheCall) {
    simtest::WriteFile(f.dir + "/doc_p2.g3", std::string(300, '\xff'));
    int32_t ch = -1;
    const std::vector<std::string> got = Send(TOLLAN_CLASS_1, "{page}", &ch, TOLLAN_E_FILE_NAME);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0], page1);
}

}  // namespace
