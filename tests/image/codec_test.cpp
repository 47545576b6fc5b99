// The page codec against libtiff's fax coder, both ways, pixel for pixel:
// libtiff decodes what the codec codes, the codec decodes what libtiff
// codes, on the ITU test charts (from the shared test data, skipped when
// absent), the benchmark pages and random pages; and the codec's MR and MMR
// decode to the same rows as its MH. Then damaged data: bad rows counted
// with their row, MR resynchronised at the next EOL, MMR ended.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "bench/bench_pages.h"
#include "engine/tollan.h"
#include "image/g3_codec.h"
#include "image/mh_codes.h"

namespace {

constexpr int32_t kWidth = 1728;
constexpr int32_t kRowBytes = kWidth / 8;

struct Page {
    std::string name;
    int32_t rows;
    std::vector<uint8_t> bits;  // packed, rows top down
};

// ---- Pages ----

// A P4 file of 1728 dots a row, uncompressed with gzip.
bool ReadChart(const std::string &path, Page *page) {
    FILE *pipe = popen(("gzip -dc '" + path + "'").c_str(), "r");
    if (!pipe) return false;
    std::string bytes;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) bytes.append(buf, n);
    if (pclose(pipe) != 0) return false;
    int width = 0, height = 0, used = 0;
    if (sscanf(bytes.c_str(), "P4 %d %d%n", &width, &height, &used) != 2 || width != kWidth) return false;
    const size_t start = static_cast<size_t>(used) + 1;
    if (bytes.size() < start + static_cast<size_t>(height) * kRowBytes) return false;
    page->name = path.substr(path.rfind('/') + 1);
    page->rows = height;
    page->bits.assign(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                      bytes.begin() + static_cast<std::ptrdiff_t>(start + static_cast<size_t>(height) * kRowBytes));
    return true;
}

// The ITU charts from the shared test data, next to the source tree.
std::vector<Page> Charts() {
    std::vector<Page> charts;
    for (const char *dir : {TOLLAN_SOURCE_DIR "/../shared/testdata/itu-charts", "/work/shared/testdata/itu-charts"}) {
        for (int i = 1; i <= 8; ++i) {
            Page page;
            if (ReadChart(std::string(dir) + "/itu" + std::to_string(i) + ".pbm.gz", &page)) charts.push_back(page);
        }
        if (!charts.empty()) break;
    }
    return charts;
}

Page FromBench(const BenchPage &b) {
    return {b.name, kPageHeight, std::vector<uint8_t>(b.bits.begin(), b.bits.end())};
}

// Runs of every length the tables hold, at random, and rows that repeat or
// shift the row above (what two-dimensional coding is made for).
Page RandomPage(uint32_t seed, int32_t rows) {
    std::mt19937 random(seed);
    Page page{"random" + std::to_string(seed), rows, std::vector<uint8_t>(static_cast<size_t>(rows) * kRowBytes)};
    for (int32_t y = 0; y < rows; ++y) {
        uint8_t *row = page.bits.data() + static_cast<size_t>(y) * kRowBytes;
        const uint32_t kind = random() % 4;
        if (y > 0 && kind == 0) {
            // The row above, moved by up to 4 dots.
            const uint8_t *above = row - kRowBytes;
            int shift = static_cast<int>(random() % 9) - 4;
            for (int32_t x = 0; x < kWidth; ++x)
                if (x + shift >= 0 && x + shift < kWidth && DotAt(above, x + shift)) FillBlack(row, x, x + 1);
            continue;
        }
        const int32_t longest = kind == 1 ? kWidth : kind == 2 ? 80 : 6;
        int32_t x = 0;
        bool black = random() % 2;
        while (x < kWidth) {
            int32_t run = 1 + static_cast<int32_t>(random() % static_cast<uint32_t>(longest));
            if (x + run > kWidth) run = kWidth - x;
            if (black) FillBlack(row, x, x + run);
            x += run;
            black = !black;
        }
    }
    return page;
}

std::vector<Page> AllPages() {
    std::vector<Page> pages = Charts();
    if (pages.empty()) fprintf(stderr, "the ITU charts are not there: checking the other pages only\n");
    pages.push_back(FromBench(TextPage()));
    pages.push_back(FromBench(HalftonePage()));
    pages.push_back(FromBench(BlankPage()));
    for (uint32_t seed = 1; seed <= 3; ++seed) pages.push_back(RandomPage(seed, 300));
    return pages;
}

const std::vector<Page> &Pages() {
    static const std::vector<Page> pages = AllPages();
    return pages;
}

// ---- The codec ----

std::vector<uint8_t> Encode(const Page &page, G3Coding coding, int k) {
    std::vector<uint8_t> out;
    G3Encoder e;
    StartG3Encoder(&e, coding, k, kWidth, &out);
    for (int32_t y = 0; y < page.rows; ++y) EncodeG3Row(&e, page.bits.data() + static_cast<size_t>(y) * kRowBytes);
    FinishG3Encoder(&e);
    return out;
}

struct Decoded {
    uint16_t code;
    std::vector<uint8_t> bits;
    int32_t rows;
    G3DecodeReport report;
};

Decoded Decode(const std::vector<uint8_t> &data, G3Coding coding, int32_t max_rows = 10000) {
    G3Reader r;
    StartMemoryReader(&r, data.data(), data.size());
    G3Rows rows;
    Decoded d;
    d.code = DecodeG3Page(&r, {coding, kWidth, max_rows, "codec test"}, &rows, &d.report);
    d.rows = rows.count;
    if (rows.count > 0) d.bits.assign(rows.bits.get(), rows.bits.get() + static_cast<size_t>(rows.count) * kRowBytes);
    return d;
}

// ---- libtiff, in memory through a scratch file ----

std::string ScratchPath() {
    static const std::string path = [] {
        char dir[] = "/tmp/tollan-codec-XXXXXX";
        return std::string(mkdtemp(dir)) + "/page.tif";
    }();
    return path;
}

void SetFaxFields(TIFF *tif, int32_t rows, G3Coding coding, int k) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, k >= 4 ? 196.0 : 98.0);  // libtiff's K: 4 fine, 2 normal
    if (coding == kCodingMmr) {
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    } else {
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
        TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, coding == kCodingMr ? GROUP3OPT_2DENCODING : 0);
    }
}

// libtiff's coding of the page: the strip's bytes.
std::vector<uint8_t> TiffEncode(const Page &page, G3Coding coding, int k) {
    TIFF *tif = TIFFOpen(ScratchPath().c_str(), "w");
    if (!tif) return {};
    SetFaxFields(tif, page.rows, coding, k);
    std::vector<uint8_t> bits = page.bits;
    bool ok = TIFFWriteEncodedStrip(tif, 0, bits.data(), static_cast<tmsize_t>(bits.size())) != -1;
    TIFFClose(tif);
    if (!ok || !(tif = TIFFOpen(ScratchPath().c_str(), "r"))) return {};
    std::vector<uint8_t> raw(static_cast<size_t>(TIFFRawStripSize(tif, 0)));
    tmsize_t n = TIFFReadRawStrip(tif, 0, raw.data(), static_cast<tmsize_t>(raw.size()));
    TIFFClose(tif);
    raw.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return raw;
}

// libtiff's decoding of the codec's bytes, as packed rows.
std::vector<uint8_t> TiffDecode(const std::vector<uint8_t> &coded, int32_t rows, G3Coding coding) {
    TIFF *tif = TIFFOpen(ScratchPath().c_str(), "w");
    if (!tif) return {};
    SetFaxFields(tif, rows, coding, 4);
    std::vector<uint8_t> copy = coded;
    bool ok = TIFFWriteRawStrip(tif, 0, copy.data(), static_cast<tmsize_t>(copy.size())) != -1;
    TIFFClose(tif);
    if (!ok || !(tif = TIFFOpen(ScratchPath().c_str(), "r"))) return {};
    std::vector<uint8_t> bits(static_cast<size_t>(rows) * kRowBytes);
    tmsize_t n = TIFFReadEncodedStrip(tif, 0, bits.data(), static_cast<tmsize_t>(bits.size()));
    TIFFClose(tif);
    return n == static_cast<tmsize_t>(bits.size()) ? bits : std::vector<uint8_t>{};
}

// The first row where two pages differ, or -1.
int32_t FirstDifferentRow(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i]) return static_cast<int32_t>(i / kRowBytes);
    return a.size() == b.size() ? -1 : static_cast<int32_t>(std::min(a.size(), b.size()) / kRowBytes);
}

struct Coding {
    G3Coding coding;
    int k;
    const char *name;
};
const Coding kCodings[] = {{kCodingMr, 2, "MR K=2"}, {kCodingMr, 4, "MR K=4"}, {kCodingMmr, 0, "MMR"}};

class CodecTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
    }
};

TEST_F(CodecTest, LibtiffDecodesWhatTheCodecCodes) {
    for (const Page &page : Pages())
        for (const Coding &c : kCodings) {
            std::vector<uint8_t> coded = Encode(page, c.coding, c.k);
            EXPECT_EQ(-1, FirstDifferentRow(page.bits, TiffDecode(coded, page.rows, c.coding)))
                << page.name << " " << c.name;
        }
}

TEST_F(CodecTest, CodecDecodesWhatLibtiffCodes) {
    for (const Page &page : Pages())
        for (const Coding &c : kCodings) {
            std::vector<uint8_t> coded = TiffEncode(page, c.coding, c.k);
            ASSERT_FALSE(coded.empty()) << page.name << " " << c.name;
            Decoded d = Decode(coded, c.coding, page.rows);
            EXPECT_EQ(TOLLAN_OK, d.code) << page.name << " " << c.name;
            EXPECT_EQ(0, d.report.bad_rows) << page.name << " " << c.name;
            EXPECT_EQ(-1, FirstDifferentRow(page.bits, d.bits)) << page.name << " " << c.name;
        }
}

// Without a row count, each coding's own end mark ends the page, and MR and
// MMR give the rows MH gives, in fewer bytes for the charts.
TEST_F(CodecTest, TwoDimensionalCodingsAgreeWithMh) {
    for (const Page &page : Pages()) {
        std::vector<uint8_t> mh = Encode(page, kCodingMh, 1);
        Decoded by_mh = Decode(mh, kCodingMh);
        ASSERT_EQ(TOLLAN_OK, by_mh.code) << page.name;
        // MH pages begin at their first EOL, after the first row, and end
        // with two blank rows.
        ASSERT_EQ(page.rows + 1, by_mh.rows) << page.name;
        std::vector<uint8_t> mh_rows(by_mh.bits.begin(), by_mh.bits.end() - 2 * kRowBytes);
        std::vector<uint8_t> from_second(page.bits.begin() + kRowBytes, page.bits.end());
        ASSERT_EQ(-1, FirstDifferentRow(from_second, mh_rows)) << page.name;
        for (const Coding &c : kCodings) {
            std::vector<uint8_t> coded = Encode(page, c.coding, c.k);
            Decoded d = Decode(coded, c.coding);
            EXPECT_EQ(TOLLAN_OK, d.code) << page.name << " " << c.name;
            EXPECT_EQ(page.rows, d.rows) << page.name << " " << c.name;
            EXPECT_EQ(-1, FirstDifferentRow(std::vector<uint8_t>(d.bits.begin() + kRowBytes, d.bits.end()), mh_rows))
                << page.name << " " << c.name;
            if (page.name.compare(0, 3, "itu") == 0) {
                EXPECT_LT(coded.size(), mh.size()) << page.name << " " << c.name;
            }
        }
    }
}

// Rows of short runs only: every row takes hundreds of bytes to code.
Page DensePage(uint32_t seed, int32_t rows) {
    std::mt19937 random(seed);
    Page page{"dense", rows, std::vector<uint8_t>(static_cast<size_t>(rows) * kRowBytes)};
    for (int32_t y = 0; y < rows; ++y)
        for (int32_t x = 0; x < kWidth; x += 2 + static_cast<int32_t>(random() % 5))
            FillBlack(page.bits.data() + static_cast<size_t>(y) * kRowBytes, x, x + 1);
    return page;
}

// Damages the middle of the coded row `row`: its start is where the coding
// of the rows before it ends, less that coding's end mark.
std::vector<uint8_t> DamageRow(const Page &page, G3Coding coding, int k, int32_t row) {
    Page before{page.name, row, std::vector<uint8_t>(page.bits.begin(), page.bits.begin() + static_cast<std::ptrdiff_t>(row) * kRowBytes)};
    const size_t end_mark_bytes = coding == kCodingMmr ? 3 : 10;
    const size_t at = Encode(before, coding, k).size() - end_mark_bytes + 100;
    std::vector<uint8_t> all = Encode(page, coding, k);
    all[at] = static_cast<uint8_t>(all[at] ^ 0x5A);
    return all;
}

TEST_F(CodecTest, MrResynchronisesAtTheNextEolAndReportsTheRow) {
    const Page page = DensePage(7, 40);
    std::vector<uint8_t> coded = DamageRow(page, kCodingMr, 4, 10);
    Decoded d = Decode(coded, kCodingMr);
    ASSERT_EQ(TOLLAN_OK, d.code);
    EXPECT_EQ(page.rows, d.rows);
    ASSERT_GE(d.report.bad_rows, 1);
    EXPECT_GE(d.report.first_bad_row, 10);
    EXPECT_LE(d.report.first_bad_row, 11);
    // The rows before are whole, and so is everything from the next 1-D row
    // (rows 12, 16, ... are 1-D with K = 4).
    EXPECT_EQ(-1, FirstDifferentRow(std::vector<uint8_t>(page.bits.begin(), page.bits.begin() + 10 * kRowBytes),
                                    std::vector<uint8_t>(d.bits.begin(), d.bits.begin() + 10 * kRowBytes)));
    EXPECT_EQ(-1, FirstDifferentRow(std::vector<uint8_t>(page.bits.begin() + 12 * kRowBytes, page.bits.end()),
                                    std::vector<uint8_t>(d.bits.begin() + 12 * kRowBytes, d.bits.end())));
}

TEST_F(CodecTest, MmrEndsAtABadCodeWordKeepingTheRowsBefore) {
    const Page page = DensePage(8, 40);
    std::vector<uint8_t> coded = DamageRow(page, kCodingMmr, 0, 20);
    Decoded d = Decode(coded, kCodingMmr);
    EXPECT_EQ(TOLLAN_E_G3_END, d.code);
    EXPECT_EQ(1, d.report.bad_rows);
    EXPECT_GE(d.report.first_bad_row, 20);
    EXPECT_EQ(d.report.first_bad_row + 1, d.rows);
    EXPECT_EQ(-1, FirstDifferentRow(std::vector<uint8_t>(page.bits.begin(), page.bits.begin() + 20 * kRowBytes),
                                    std::vector<uint8_t>(d.bits.begin(), d.bits.begin() + 20 * kRowBytes)));
}

// Data that ends inside the page: the rows so far, and the code that says so.
TEST_F(CodecTest, DataCutShortEndsThePage) {
    const Page page = RandomPage(9, 50);
    for (const Coding &c : kCodings) {
        std::vector<uint8_t> coded = Encode(page, c.coding, c.k);
        coded.resize(coded.size() / 2);
        Decoded d = Decode(coded, c.coding);
        EXPECT_EQ(TOLLAN_E_G3_END, d.code) << c.name;
        EXPECT_LT(d.rows, page.rows) << c.name;
    }
}

// ---- MH decoding against a reading one bit at a time ----

// The page rules of G3ToBmp, read the plain way: one bit at a time, codes
// matched by (length, value), an EOL wherever eleven 0 bits are followed by
// a 1, the page ending at its third empty row.
struct PlainMhReader {
    const std::vector<uint8_t> &data;
    size_t bit = 0;
    int zero_bits = 0;
    std::map<std::pair<int, int>, const MhCodeEntry *> codes[2];

    explicit PlainMhReader(const std::vector<uint8_t> &d) : data(d) {
        const MhCodeEntry *tables[2][3] = {{kWhiteMhTerminating, kWhiteMhMakeUp, kExtendedMhMakeUp},
                                           {kBlackMhTerminating, kBlackMhMakeUp, kExtendedMhMakeUp}};
        const int counts[3] = {kMhTerminatingCount, kMhMakeUpCount, kMhExtendedCount};
        for (int colour = 0; colour < 2; ++colour)
            for (int t = 0; t < 3; ++t)
                for (int i = 0; i < counts[t]; ++i)
                    codes[colour][{tables[colour][t][i].length, tables[colour][t][i].code}] = &tables[colour][t][i];
    }
    bool Read(int *b) {
        if (bit / 8 >= data.size()) return false;
        *b = (data[bit / 8] >> (bit % 8)) & 1;
        ++bit;
        zero_bits = *b ? 0 : zero_bits + 1;
        return true;
    }
    bool SkipToEol() {
        int b = 0;
        while (zero_bits < 11)
            if (!Read(&b)) return false;
        do {
            if (!Read(&b)) return false;
        } while (!b);
        return true;
    }
    // false: the data ended. *at_eol: the row ended at its EOL (not by
    // reaching the width or at a bad code word).
    bool Row(uint8_t *row, int32_t *width, bool *at_eol) {
        int colour = 0;
        int32_t column = 0, pending = 0, value = 0, length = 0;
        *at_eol = false;
        zero_bits = 0;
        while (column < kWidth) {
            const bool after_zeros = zero_bits >= 11;
            int b = 0;
            if (!Read(&b)) return false;
            if (after_zeros && b) {
                *width = column;
                *at_eol = true;
                return true;
            }
            value = value * 2 + b;
            ++length;
            if (value == 0) continue;
            if (length > 13) {
                *width = column;
                return SkipToEol();
            }
            auto it = codes[colour].find({length, value});
            if (it == codes[colour].end()) continue;
            const MhCodeEntry &e = *it->second;
            if (e.kind == kWhiteTerminating || e.kind == kBlackTerminating) {
                pending = std::min(pending + e.run, kWidth - column);
                if (colour) FillBlack(row, column, column + pending);
                column += pending;
                pending = 0;
                colour ^= 1;
            } else {
                pending = std::min(pending + e.run, kWidth);
            }
            value = length = 0;
        }
        *width = kWidth;
        return SkipToEol();
    }
    int32_t widest = 0;
    Decoded Page() {
        Decoded d{TOLLAN_E_G3_END, {}, 0, {}};
        if (!SkipToEol()) return d;
        int empty = 0;
        while (d.rows < 4300) {
            std::vector<uint8_t> row(kRowBytes);
            int32_t width = 0;
            bool at_eol = false;
            if (!Row(row.data(), &width, &at_eol)) return d;
            if (at_eol && width == 0 && ++empty >= 3) break;
            if (at_eol && width > 0) empty = 0;
            d.bits.insert(d.bits.end(), row.begin(), row.end());
            ++d.rows;
            widest = std::max(widest, width);
        }
        d.code = TOLLAN_OK;
        return d;
    }
};

TEST_F(CodecTest, MhDecodingReadsDamagedPagesAsOneBitAtATimeWould) {
    std::mt19937 random(12);
    for (int page_no = 0; page_no < 60; ++page_no) {
        std::vector<uint8_t> coded = Encode(RandomPage(100 + page_no, 12), kCodingMh, 1);
        // Damage of every kind: flipped bits, runs of 0 bits (fill and
        // EOLs where none belong), random bytes, a cut.
        const int kind = page_no % 4;
        for (int i = 0; i < 1 + static_cast<int>(random() % 6); ++i) {
            const size_t at = random() % coded.size();
            if (kind == 0) coded[at] = static_cast<uint8_t>(coded[at] ^ (1u << (random() % 8)));
            if (kind == 1) coded.insert(coded.begin() + static_cast<std::ptrdiff_t>(at), 1 + random() % 3, 0);
            if (kind == 2) coded[at] = static_cast<uint8_t>(random());
        }
        if (kind == 3) coded.resize(coded.size() * (random() % 100) / 100);
        PlainMhReader plain(coded);
        Decoded want = plain.Page();
        G3Reader r;
        StartMemoryReader(&r, coded.data(), coded.size());
        G3Rows rows;
        G3DecodeReport report;
        const uint16_t code = DecodeG3Page(&r, {kCodingMh, kWidth, 4300, "codec test"}, &rows, &report);
        ASSERT_EQ(want.code, code) << page_no;
        if (code != TOLLAN_OK) continue;
        ASSERT_EQ(want.rows, rows.count) << page_no;
        EXPECT_EQ(plain.widest, rows.width) << page_no;
        EXPECT_EQ(-1, FirstDifferentRow(want.bits, std::vector<uint8_t>(rows.bits.get(), rows.bits.get() +
                                                                            static_cast<size_t>(rows.count) * kRowBytes)))
            << page_no;
    }
}

}  // namespace
