// Pages between MH page files and the line's coding: the ITU charts go from
// MH to MR (K 2 and 4) and MMR and back to MH with every dot kept; a page
// that breaks off keeps its rows; the session's DF, VR and WD pick the coding.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/tollan.h"
#include "image/g3_codec.h"
#include "image/line_coding.h"

namespace {

constexpr int32_t kWidth = 1728;
constexpr int32_t kRowBytes = kWidth / 8;

struct Chart {
    std::string name;
    std::vector<uint8_t> bits;  // packed rows, top down
    int32_t rows;
};

// A gzipped P4 chart of 1728 dots a row.
bool ReadChart(const std::string &path, Chart *chart) {
    FILE *pipe = popen(("gzip -dc '" + path + "' 2>/dev/null").c_str(), "r");
    if (!pipe) return false;
    std::string bytes;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) bytes.append(buf, n);
    if (pclose(pipe) != 0) return false;
    int width = 0, height = 0, used = 0;
    if (sscanf(bytes.c_str(), "P4 %d %d%n", &width, &height, &used) != 2 || width != kWidth) return false;
    const size_t start = static_cast<size_t>(used) + 1;
    if (bytes.size() < start + static_cast<size_t>(height) * kRowBytes) return false;
    chart->name = path.substr(path.rfind('/') + 1);
    chart->rows = height;
    chart->bits.assign(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                       bytes.begin() + static_cast<std::ptrdiff_t>(start + static_cast<size_t>(height) * kRowBytes));
    return true;
}

const std::vector<Chart> &Charts() {
    static const std::vector<Chart> charts = [] {
        std::vector<Chart> all;
        for (const char *dir : {TOLLAN_SOURCE_DIR "/../shared/testdata/itu-charts", "/work/shared/testdata/itu-charts"}) {
            for (int i = 1; i <= 8; ++i) {
                Chart c;
                if (ReadChart(std::string(dir) + "/itu" + std::to_string(i) + ".pbm.gz", &c)) all.push_back(c);
            }
            if (!all.empty()) break;
        }
        return all;
    }();
    return charts;
}

// The chart as a page file holds it: a leading EOL, each row and its EOL, RTC.
std::vector<uint8_t> MhPageFile(const Chart &c) {
    std::vector<uint8_t> out{0x00, 0x80};
    G3Encoder e;
    StartG3Encoder(&e, kCodingMh, 1, kWidth, &out);
    for (int32_t y = 0; y < c.rows; ++y) EncodeG3Row(&e, c.bits.data() + static_cast<size_t>(y) * kRowBytes);
    FinishG3Encoder(&e);
    return out;
}

// The rows of an MH page file, without the two blank rows of its end.
std::vector<uint8_t> MhRows(const std::vector<uint8_t> &file) {
    G3Reader r;
    StartMemoryReader(&r, file.data(), file.size());
    G3Rows rows;
    G3DecodeReport report;
    if (DecodeG3Page(&r, {kCodingMh, kWidth, 100000, "test"}, &rows, &report) != TOLLAN_OK || rows.count < 2)
        return {};
    return std::vector<uint8_t>(rows.bits.get(), rows.bits.get() + static_cast<size_t>(rows.count - 2) * kRowBytes);
}

struct Case {
    int df, vr;
    G3Coding coding;
    int k;
};
constexpr Case kCases[] = {{1, 0, kCodingMr, 2}, {1, 1, kCodingMr, 4}, {3, 1, kCodingMmr, 0}};

TEST(LineCodingTest, TheSessionsFormatPicksTheCoding) {
    for (const Case &c : kCases) {
        const LineCoding line = LineCodingOf(c.df, c.vr, 0);
        EXPECT_EQ(c.coding, line.coding) << c.df;
        if (c.coding == kCodingMr) {
            EXPECT_EQ(c.k, line.k);
        }
        EXPECT_EQ(kWidth, line.width);
    }
    // Uncompressed mode and JBIG are never offered: their data goes as it is.
    EXPECT_TRUE(LineCodingIsMh(LineCodingOf(2, 0, 0)));
    EXPECT_TRUE(LineCodingIsMh(LineCodingOf(4, 0, 0)));
    EXPECT_EQ(2048, LineCodingOf(0, 0, 1).width);
    EXPECT_EQ(kWidth, LineCodingOf(0, 0, 7).width);
}

TEST(LineCodingTest, ChartsGoToTheLineAndBackDotForDot) {
    if (Charts().empty()) GTEST_SKIP() << "the ITU charts are not there";
    for (const Chart &chart : Charts()) {
        const std::vector<uint8_t> file = MhPageFile(chart);
        for (const Case &c : kCases) {
            const LineCoding line = LineCodingOf(c.df, c.vr, 0);
            std::vector<uint8_t> coded, stored;
            ASSERT_EQ(TOLLAN_OK, CodePageForLine(file.data(), file.size(), line, &coded)) << chart.name;
            EXPECT_LT(coded.size(), file.size()) << chart.name << " DF " << c.df;
            // The line's data is what the codec decodes in that coding, whole.
            G3Reader r;
            StartMemoryReader(&r, coded.data(), coded.size());
            G3Rows rows;
            G3DecodeReport report;
            ASSERT_EQ(TOLLAN_OK, DecodeG3Page(&r, {c.coding, kWidth, 100000, "test"}, &rows, &report));
            EXPECT_EQ(chart.rows, rows.count) << chart.name;
            ASSERT_EQ(TOLLAN_OK, StorePageAsMh(coded.data(), coded.size(), line, &stored)) << chart.name;
            EXPECT_TRUE(chart.bits == MhRows(stored)) << chart.name << " DF " << c.df << " VR " << c.vr;
        }
    }
}

// A page whose line data breaks off half way (a lost connection) is stored
// with the rows that came; data with no page at all stores an empty page.
TEST(LineCodingTest, APageCutShortKeepsItsRows) {
    Chart page{"stripes", std::vector<uint8_t>(static_cast<size_t>(200) * kRowBytes), 200};
    for (int32_t y = 0; y < page.rows; y += 3) FillBlack(page.bits.data() + static_cast<size_t>(y) * kRowBytes, y, y + 50);
    const std::vector<uint8_t> file = MhPageFile(page);
    for (const Case &c : kCases) {
        const LineCoding line = LineCodingOf(c.df, c.vr, 0);
        std::vector<uint8_t> coded, stored;
        ASSERT_EQ(TOLLAN_OK, CodePageForLine(file.data(), file.size(), line, &coded));
        ASSERT_EQ(TOLLAN_OK, StorePageAsMh(coded.data(), coded.size() / 2, line, &stored)) << c.df;
        const std::vector<uint8_t> rows = MhRows(stored);
        ASSERT_GT(rows.size(), static_cast<size_t>(20 * kRowBytes)) << c.df;
        ASSERT_LT(rows.size(), page.bits.size()) << c.df;
        // The rows before the break are the page's (the last one may be part-decoded).
        EXPECT_TRUE(std::equal(rows.begin(), rows.end() - kRowBytes, page.bits.begin())) << c.df;
    }
    const std::vector<uint8_t> junk(100, 0xFF);
    std::vector<uint8_t> stored;
    EXPECT_EQ(TOLLAN_E_G3_END, StorePageAsMh(junk.data(), junk.size(), LineCodingOf(1, 0, 0), &stored));
    EXPECT_TRUE(MhRows(stored).empty());
    EXPECT_FALSE(stored.empty());
}

// Rows are bounded whatever the bytes: MMR codes an all-white row in one bit.
TEST(LineCodingTest, APageOfEndlessRowsIsRefused) {
    const std::vector<uint8_t> white(kMaxLineCodedRows / 8 + 64, 0xFF);  // each 1 bit a white row (V0)
    std::vector<uint8_t> stored;
    EXPECT_EQ(TOLLAN_E_PAGE_TOO_LARGE, StorePageAsMh(white.data(), white.size(), LineCodingOf(3, 1, 0), &stored));
}

}  // namespace
