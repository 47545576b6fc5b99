// The documents library against what nobody here made: the ITU charts made
// into TIFF by libtiff's tools, netpbm, fax2tiff and efix come in as page
// files equal to the chart dot for dot; the TIFFs written pass libtiff's
// tools and compare equal after a round trip; the PDFs written pass poppler
// and qpdf and render equal to the page files; Ghostscript renders a PDF
// from a Debian package. A tool that is missing skips its cases, saying so.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "documents/documents.h"
#include "documents/tollan_documents.h"
#include "engine/tollan.h"
#include "image/bmp_format.h"
#include "support/fast_clock.h"
#include "support/wait_clock.h"
#include "support/scripted_modem.h"
#include "tests/sim/sim_client.h"

namespace {

constexpr int32_t kRowBytes = PackedRowBytes(kFaxWidth);

struct Bitmap {
    int32_t width = 0;
    int32_t rows = 0;
    std::vector<uint8_t> bits;  // packed, 1 black
    const uint8_t *Row(int32_t y) const { return bits.data() + static_cast<size_t>(y) * PackedRowBytes(width); }
};

bool OnPath(const char *tool) {
    std::string command = std::string("command -v ") + tool + " > /dev/null 2>&1";
    return system(command.c_str()) == 0;
}

int Shell(const std::string &command) {
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Output(const std::string &command) {
    std::string text;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
    pclose(pipe);
    return text;
}

// A binary PBM (P4) file.
bool ReadPbm(const std::string &path, Bitmap *b) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    in >> magic >> b->width >> b->rows;
    in.get();
    if (magic != "P4" || !in) return false;
    b->bits.resize(static_cast<size_t>(PackedRowBytes(b->width)) * b->rows);
    in.read(reinterpret_cast<char *>(b->bits.data()), static_cast<std::streamsize>(b->bits.size()));
    return static_cast<bool>(in);
}

std::string ChartsDir() {
    for (const char *dir : {TOLLAN_SOURCE_DIR "/../shared/testdata/itu-charts", "/work/shared/testdata/itu-charts"})
        if (access((std::string(dir) + "/itu1.pbm.gz").c_str(), R_OK) == 0) return dir;
    return std::string();
}

// A decoded page file and what the library reads of it.
Bitmap PageBitmap(const std::string &base, int32_t page, PageIn *in) {
    Bitmap b;
    if (ReadPageIn(base, page, 0, in) != TOLLAN_OK) return b;
    b.width = kFaxWidth;
    b.rows = in->count;
    b.bits.assign(in->rows.bits.get(), in->rows.bits.get() + static_cast<size_t>(in->count) * kRowBytes);
    return b;
}

// Any MH page file decoded, its end mark's blank rows not counted.
Bitmap DecodedFile(const std::string &path) {
    std::string data = simtest::ReadFile(path);
    G3Reader reader;
    StartMemoryReader(&reader, reinterpret_cast<const uint8_t *>(data.data()), data.size());
    G3Rows rows;
    G3DecodeReport report;
    Bitmap b;
    uint16_t rc = DecodeG3Page(&reader, {kCodingMh, kFaxWidth, kMaxPageRows, "test"}, &rows, &report);
    if (rc != TOLLAN_OK && rc != TOLLAN_E_G3_END) return b;
    b.width = kFaxWidth;
    b.rows = rc == TOLLAN_OK ? rows.count - 2 : rows.count;
    b.bits.assign(rows.bits.get(), rows.bits.get() + static_cast<size_t>(b.rows) * kRowBytes);
    return b;
}

// The first row where the two differ, -1 when none (sizes included).
int32_t FirstDifference(const Bitmap &a, const Bitmap &b) {
    if (a.width != b.width) return 0;
    for (int32_t y = 0; y < std::min(a.rows, b.rows); ++y)
        if (memcmp(a.Row(y), b.Row(y), static_cast<size_t>(PackedRowBytes(a.width))) != 0) return y;
    return a.rows == b.rows ? -1 : std::min(a.rows, b.rows);
}

class DocumentsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tollan-documents-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        charts_ = ChartsDir();
        if (getenv("TOLLAN_TEST_TRACE")) SetTraceOption(2);
    }
    void TearDown() override { Shell("rm -rf '" + dir_ + "'"); }

    std::string Path(const std::string &name) const { return dir_ + "/" + name; }

    // The chart as a PBM file in the test's folder, and its dots.
    bool Chart(int n, Bitmap *b) {
        if (charts_.empty()) return false;
        std::string pbm = Path("itu" + std::to_string(n) + ".pbm");
        if (access(pbm.c_str(), R_OK) != 0 &&
            Shell("zcat '" + charts_ + "/itu" + std::to_string(n) + ".pbm.gz' > '" + pbm + "'") != 0)
            return false;
        return ReadPbm(pbm, b);
    }

    // A TIFF of the PBM: netpbm writes it, tiffcp codes it.
    std::string ChartTiff(int n, const std::string &tiffcp_options, const char *resolution = "204 196") {
        Bitmap b;
        if (!Chart(n, &b)) return std::string();
        std::string x(resolution), y = x.substr(x.find(' ') + 1);
        x = x.substr(0, x.find(' '));
        std::string plain = Path("plain" + std::to_string(n) + "_" + x + "_" + y + ".tif");
        if (access(plain.c_str(), R_OK) != 0 &&
            Shell("pnmtotiff -none -xresolution " + x + " -yresolution " + y + " '" + Path("itu" + std::to_string(n)) +
                ".pbm' > '" + plain + "' 2>/dev/null") != 0)
            return std::string();
        std::string out = Path("chart" + std::to_string(++made_) + ".tif");
        if (Shell("tiffcp " + tiffcp_options + " '" + plain + "' '" + out + "'") != 0) return std::string();
        return out;
    }

    bool HaveTools(std::initializer_list<const char *> tools) {
        for (const char *tool : tools) {
            if (!OnPath(tool)) {
                fprintf(stderr, "%s is not installed: skipping\n", tool);
                return false;
            }
        }
        if (charts_.empty()) fprintf(stderr, "the ITU charts are not there: skipping\n");
        return !charts_.empty();
    }

    std::string dir_;
    std::string charts_;
    int made_ = 0;
};

// ---- Documents in ----

struct TiffKind {
    const char *name;
    const char *tiffcp_options;
};

constexpr TiffKind kTiffKinds[] = {
    {"G3 1-D", "-c g3"},
    {"G3 1-D, LSB first", "-c g3 -f lsb2msb"},
    {"G3 2-D", "-c g3:2d"},
    {"G3 2-D, fill bits", "-c g3:2d:fill -f lsb2msb"},
    {"G4", "-c g4"},
    {"G4, LSB first", "-c g4 -f lsb2msb"},
    {"uncompressed", "-c none"},
    {"uncompressed, LSB first", "-c none -f lsb2msb"},
    {"PackBits", "-c packbits"},
    {"LZW", "-c lzw"},
    {"strips of 64 rows", "-c g3 -r 64"},
};

TEST_F(DocumentsTest, ChartTiffsOfEveryKindComeInDotForDot) {
    if (!HaveTools({"pnmtotiff", "tiffcp"})) GTEST_SKIP();
    for (int n = 1; n <= 8; ++n) {
        Bitmap chart;
        ASSERT_TRUE(Chart(n, &chart));
        for (const TiffKind &kind : kTiffKinds) {
            // Every kind for two charts, one for the others: the kinds are
            // libtiff's business, the charts the coder's.
            if (n > 2 && &kind != &kTiffKinds[0]) continue;
            std::string tiff = ChartTiff(n, kind.tiffcp_options);
            ASSERT_FALSE(tiff.empty()) << kind.name;
            std::string base = Path("in" + std::to_string(made_));
            int16_t pages = 0;
            ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(tiff.c_str(), base.c_str(), 0, 1, &pages)) << kind.name;
            ASSERT_EQ(1, pages);
            PageIn in;
            Bitmap page = PageBitmap(base, 1, &in);
            EXPECT_TRUE(in.clean) << kind.name;
            EXPECT_EQ(-1, FirstDifference(chart, page)) << "itu" << n << " " << kind.name;
        }
    }
}

// A chart scanned at 200 dpi is a fax page; one at standard resolution is
// doubled for fine and kept for standard, and fine halves for standard.
TEST_F(DocumentsTest, ResolutionTagsAreHonoured) {
    if (!HaveTools({"pnmtotiff", "tiffcp"})) GTEST_SKIP();
    Bitmap chart;
    ASSERT_TRUE(Chart(1, &chart));
    struct Case {
        const char *resolution;
        int32_t target;  // 0 fine, 1 standard
        int32_t rows_per_row_num, rows_per_row_den;
    } cases[] = {
        {"200 200", 0, 1, 1}, {"204 98", 1, 1, 1}, {"204 98", 0, 2, 1}, {"204 196", 1, 1, 2}, {"80 31", 1, 1, 1},
    };
    for (const Case &c : cases) {
        std::string tiff = ChartTiff(1, "-c g4", c.resolution);
        ASSERT_FALSE(tiff.empty());
        std::string base = Path("res" + std::to_string(made_));
        int16_t pages = 0;
        ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(tiff.c_str(), base.c_str(), c.target, 1, &pages));
        PageIn in;
        Bitmap page = PageBitmap(base, 1, &in);
        EXPECT_EQ(c.target == 0 ? kFineLpi : kStandardLpi, in.lpi) << c.resolution;
        if (std::string(c.resolution) == "80 31") {
            // 1728 dots at 80 dpi are 21.6 in: reduced to the fax row's
            // 8.47 in, and the length with them: 2376 rows at 31 lpi are
            // 76.6 in, 30.0 in reduced, 2945 rows at 98.
            EXPECT_NEAR(2945, page.rows, 2);
            continue;
        }
        Bitmap want = chart;
        if (c.rows_per_row_num == 2) {
            want.rows = chart.rows * 2;
            want.bits.clear();
            for (int32_t y = 0; y < chart.rows; ++y)
                for (int k = 0; k < 2; ++k) want.bits.insert(want.bits.end(), chart.Row(y), chart.Row(y) + kRowBytes);
        } else if (c.rows_per_row_den == 2) {
            // Two rows into one: a dot is black when either is.
            want.rows = chart.rows / 2;
            want.bits.assign(static_cast<size_t>(want.rows) * kRowBytes, 0);
            for (int32_t y = 0; y < chart.rows; ++y)
                for (int32_t i = 0; i < kRowBytes; ++i) want.bits[static_cast<size_t>(y / 2 * kRowBytes + i)] |= chart.Row(y)[i];
        }
        EXPECT_EQ(-1, FirstDifference(want, page)) << c.resolution << " target " << c.target;
    }
}

// TIFF files other fax programs write from the chart's Group 3 data.
TEST_F(DocumentsTest, TiffsOfFax2tiffAndEfixComeInDotForDot) {
    if (!HaveTools({"pbmtog3"})) GTEST_SKIP();
    Bitmap chart;
    ASSERT_TRUE(Chart(2, &chart));
    const std::string pbm = Path("itu2.pbm"), g3 = Path("itu2.g3");
    ASSERT_EQ(0, Shell("pbmtog3 -reversebits '" + pbm + "' > '" + g3 + "' 2>/dev/null"));
    struct Writer {
        const char *tool;
        std::string command;
    } writers[] = {
        {"fax2tiff", "fax2tiff -o '" + Path("fax2tiff.tif") + "' '" + g3 + "' 2>/dev/null"},
        {"efix", "efix -i pbm -o tiffg3 '" + pbm + "' > '" + Path("efix.tif") + "' 2>/dev/null"},
    };
    for (const Writer &w : writers) {
        if (!OnPath(w.tool)) {
            fprintf(stderr, "%s is not installed: skipping it\n", w.tool);
            continue;
        }
        ASSERT_EQ(0, Shell(w.command)) << w.tool;
        std::string tiff = Path(std::string(w.tool) + ".tif"), base = Path(std::string("from_") + w.tool);
        int16_t pages = 0;
        ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(tiff.c_str(), base.c_str(), 0, 1, &pages)) << w.tool;
        PageIn in;
        Bitmap page = PageBitmap(base, 1, &in);
        // fax2tiff counts the six EOLs that end the data as rows: its page
        // is the chart and six white rows, and is taken as it says.
        const int32_t extra = std::string(w.tool) == "fax2tiff" ? 6 : 0;
        ASSERT_EQ(chart.rows + extra, page.rows) << w.tool;
        for (int32_t y = chart.rows; y < page.rows; ++y)
            EXPECT_EQ(kFaxWidth, NextChange(page.Row(y), kFaxWidth, 0, 0)) << w.tool << " row " << y;
        page.rows = chart.rows;
        EXPECT_EQ(-1, FirstDifference(chart, page)) << w.tool;
    }
}

// Bitmaps: a PBM of two charts is two pages, a BMP of a chart one; without
// a resolution a fax-width bitmap's length tells standard from fine.
TEST_F(DocumentsTest, BitmapsComeInDotForDot) {
    if (!HaveTools({"ppmtobmp"})) GTEST_SKIP();
    Bitmap one, three;
    ASSERT_TRUE(Chart(1, &one));
    ASSERT_TRUE(Chart(3, &three));
    const std::string pbm = Path("two.pbm"), bmp = Path("itu3.bmp"), half = Path("half.bmp");
    ASSERT_EQ(0, Shell("cat '" + Path("itu1.pbm") + "' '" + Path("itu3.pbm") + "' > '" + pbm + "'"));
    ASSERT_EQ(0, Shell("ppmtobmp '" + Path("itu3.pbm") + "' > '" + bmp + "' 2>/dev/null"));
    // The chart's top half as a standard page: 1728 x 1188 with no resolution.
    ASSERT_EQ(0, Shell("pamcut -height 1188 '" + Path("itu1.pbm") + "' | ppmtobmp > '" + half + "' 2>/dev/null"));
    int16_t pages = 0;
    ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(pbm.c_str(), Path("pbm").c_str(), 0, 1, &pages));
    ASSERT_EQ(2, pages);
    ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(bmp.c_str(), Path("pbm").c_str(), 0, 3, &pages));
    ASSERT_EQ(1, pages);
    ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(half.c_str(), Path("half").c_str(), 1, 1, &pages));
    PageIn in;
    EXPECT_EQ(-1, FirstDifference(one, PageBitmap(Path("pbm"), 1, &in)));
    EXPECT_EQ(-1, FirstDifference(three, PageBitmap(Path("pbm"), 2, &in)));
    EXPECT_EQ(-1, FirstDifference(three, PageBitmap(Path("pbm"), 3, &in)));
    Bitmap top = one;
    top.rows = 1188;
    top.bits.resize(static_cast<size_t>(top.rows) * kRowBytes);
    EXPECT_EQ(-1, FirstDifference(top, PageBitmap(Path("half"), 1, &in)));
    EXPECT_EQ(kStandardLpi, in.lpi);
    // A plain PBM, and a PBM cut short.
    const std::string plain = Path("plain.pbm"), cut = Path("cut.pbm");
    std::ofstream(plain) << "P1\n# a comment\n3 2\n1 0 1\n0 1 0\n";
    std::ofstream(cut, std::ios::binary) << "P4\n1728 100\n" << std::string(500, '\xff');
    ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(plain.c_str(), Path("plain").c_str(), 1, 1, &pages));
    EXPECT_EQ(TOLLAN_E_READ_BITMAP, ConvertDocumentToPages(cut.c_str(), Path("cut").c_str(), 1, 1, &pages));
    EXPECT_NE(0, access(Path("cut_p1.g3").c_str(), F_OK));
    Bitmap tiny = PageBitmap(Path("plain"), 1, &in);
    // 3 dots at 204 dpi, centred: dots 862 to 864; two rows of a standard page.
    ASSERT_EQ(2, tiny.rows);
    EXPECT_EQ(862, NextChange(tiny.Row(0), kFaxWidth, 0, 0));
    EXPECT_EQ(863, NextChange(tiny.Row(1), kFaxWidth, 0, 0));
    EXPECT_EQ(864, NextChange(tiny.Row(0), kFaxWidth, 863, 0));
}

// ---- Geometry ----

// A page drawn here: black at its left and right edges and on its first and
// last rows, written by libtiff with the given resolution.
std::string WriteFramePage(const std::string &path, uint32_t width, uint32_t rows, float x_dpi, float y_dpi) {
    TIFF *tif = TIFFOpen(path.c_str(), "w");
    if (!tif) return std::string();
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows);
    if (x_dpi > 0) TIFFSetField(tif, TIFFTAG_XRESOLUTION, x_dpi);
    if (y_dpi > 0) TIFFSetField(tif, TIFFTAG_YRESOLUTION, y_dpi);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    std::vector<uint8_t> row(PackedRowBytes(static_cast<int32_t>(width)));
    for (uint32_t y = 0; y < rows; ++y) {
        std::fill(row.begin(), row.end(), 0);
        if (y == 0 || y == rows - 1) {
            FillBlack(row.data(), 0, static_cast<int32_t>(width));
        } else {
            FillBlack(row.data(), 0, 1);
            FillBlack(row.data(), static_cast<int32_t>(width) - 1, static_cast<int32_t>(width));
        }
        TIFFWriteScanline(tif, row.data(), y, 0);
    }
    TIFFClose(tif);
    return path;
}

TEST_F(DocumentsTest, PagesArePlacedAsAFaxMachineScans) {
    struct Case {
        const char *name;
        uint32_t width, rows;
        float x_dpi, y_dpi;
        int32_t resolution;
        int32_t left, right;  // the frame's first and last dots on the fax row
        int32_t rows_out;     // 0: any, checked against the frame
    } cases[] = {
        {"fax width, fine", 1728, 100, 204, 196, 0, 0, 1727, 100},
        {"A4 at 204 dpi: centred", 1687, 100, 204, 196, 0, 20, 1706, 100},
        {"Letter at 204 dpi: edges cut", 1734, 100, 204, 196, 0, -1, -1, 100},
        {"B4 fax width: reduced", 2048, 200, 204, 196, 0, 0, 1727, 169},
        {"A4 at 300 dpi: centred", 2480, 3508, 300, 300, 0, 21, 1706, 2292},
        {"A4 at 300 dpi, standard", 2480, 3508, 300, 300, 1, 21, 1706, 1146},
        {"A3 at 300 dpi: reduced", 3508, 4961, 300, 300, 1, 0, 1727, 1174},
        {"Legal at 200 dpi: kept long", 1700, 2800, 200, 200, 0, 14, 1713, 2800},
        {"A5 at 100 dpi: enlarged (100 lpi is standard)", 583, 827, 100, 100, 1, 269, 1457, 827},
        {"A5 at 150 dpi: enlarged", 875, 1240, 150, 150, 0, 269, 1458, 1620},
        {"no resolution, short: a standard page", 1728, 50, 0, 0, 0, 0, 1727, 100},
        {"no resolution, long: a fine page", 1728, 2000, 0, 0, 0, 0, 1727, 2000},
    };
    for (const Case &c : cases) {
        std::string tiff = WriteFramePage(Path(std::string("frame") + std::to_string(made_++) + ".tif"), c.width,
                                          c.rows, c.x_dpi, c.y_dpi);
        ASSERT_FALSE(tiff.empty());
        std::string base = Path("frame_pages" + std::to_string(made_));
        int16_t pages = 0;
        ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(tiff.c_str(), base.c_str(), c.resolution, 1, &pages)) << c.name;
        PageIn in;
        Bitmap page = PageBitmap(base, 1, &in);
        EXPECT_NEAR(c.rows_out, page.rows, 1) << c.name;
        ASSERT_GT(page.rows, 2) << c.name;
        // The middle row shows where the frame's sides landed.
        const uint8_t *middle = page.Row(page.rows / 2);
        int32_t first = NextChange(middle, kFaxWidth, 0, 0);
        int32_t last = kFaxWidth - 1;
        while (last > 0 && !DotAt(middle, last)) --last;
        if (c.left < 0) {
            // Cut: the sides are gone, nothing drawn at the edges.
            EXPECT_EQ(kFaxWidth, first) << c.name;
        } else {
            EXPECT_EQ(c.left, first) << c.name;
            EXPECT_EQ(c.right, last) << c.name;
        }
        // The frame's top and bottom rows are kept.
        EXPECT_LT(NextChange(page.Row(0), kFaxWidth, 0, 0), kFaxWidth) << c.name;
        EXPECT_LT(NextChange(page.Row(page.rows - 1), kFaxWidth, 0, 0), kFaxWidth) << c.name;
    }
}

// A white 1-bit BMP with its resolution fields (pixels per metre; 0: none).
std::string WriteWhiteBmp(const std::string &path, int32_t width, int32_t rows, int32_t ppm) {
    const uint32_t stride = static_cast<uint32_t>((width + 31) / 32 * 4);
    const uint32_t size = static_cast<uint32_t>(kBmpHeadersSize + 8 + stride * static_cast<uint32_t>(rows));
    BmpHeaders h = MonoBmpHeaders(width, rows, size);
    h.x_pels_per_meter = h.y_pels_per_meter = ppm;
    uint8_t headers[kBmpHeadersSize];
    SerialiseBmpHeaders(h, headers);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(headers), sizeof headers);
    out.write("\0\0\0\0\xff\xff\xff\0", 8);  // colour 0 black, 1 white
    out << std::string(stride * static_cast<size_t>(rows), '\xff');
    return path;
}

// The resolution a document asks for, and the page it makes at it: TIFF
// tags, else a fax-width page's length; a BMP's fields only where they make
// a page a fax machine takes (drawing programs write the screen's 96 dpi).
TEST_F(DocumentsTest, DocumentsTellTheResolutionTheyAskFor) {
    const std::string pbm = Path("standard.pbm");
    std::ofstream(pbm, std::ios::binary) << "P4\n1728 1146\n" << std::string(216 * 1146, '\0');
    const std::string ps = Path("page.ps");
    std::ofstream(ps) << "%!PS\nshowpage\n";
    const struct {
        std::string document;
        int32_t resolution;  // asked for
        int32_t rows;        // of the page made at it (0: not converted)
    } cases[] = {
        {WriteFramePage(Path("f98.tif"), 1728, 1000, 204, 98), 1, 1000},
        {WriteFramePage(Path("f196.tif"), 1728, 1000, 204, 196), 0, 1000},
        {WriteFramePage(Path("short.tif"), 1728, 1300, 0, 0), 1, 1300},
        {WriteFramePage(Path("long.tif"), 1728, 2000, 0, 0), 0, 2000},
        {WriteWhiteBmp(Path("screen.bmp"), 1728, 300, 3780), 1, 300},      // 96 dpi: 18 in wide, not believed
        {WriteWhiteBmp(Path("scan.bmp"), 1020, 700, 5906), 0, 915},        // 150 dpi: 6.8 in, believed
        {WriteWhiteBmp(Path("plain.bmp"), 1000, 500, 0), 1, 500},
        {pbm, 1, 1146},
        {ps, 0, 0},
    };
    for (const auto &c : cases) {
        int32_t resolution = -1;
        ASSERT_EQ(TOLLAN_OK, GetDocumentResolution(c.document.c_str(), &resolution)) << c.document;
        EXPECT_EQ(c.resolution, resolution) << c.document;
        if (c.rows == 0) continue;
        const std::string base = c.document + "_pages";
        int16_t pages = 0;
        ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(c.document.c_str(), base.c_str(), resolution, 1, &pages));
        PageIn in;
        EXPECT_NEAR(c.rows, PageBitmap(base, 1, &in).rows, 1) << c.document;
    }
    // A TIFF asks for standard only when every page does.
    const std::string mixed = Path("mixed.tif");
    if (OnPath("tiffcp")) {
        ASSERT_EQ(0, Shell("tiffcp '" + Path("f98.tif") + "' '" + Path("f196.tif") + "' '" + mixed + "'"));
        int32_t resolution = -1;
        EXPECT_EQ(TOLLAN_OK, GetDocumentResolution(mixed.c_str(), &resolution));
        EXPECT_EQ(0, resolution);
    }
    std::ofstream(Path("letter.txt")) << "Dear Sir,\n";
    int32_t resolution = -1;
    EXPECT_EQ(TOLLAN_E_DOC_FORMAT, GetDocumentResolution(Path("letter.txt").c_str(), &resolution));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, GetDocumentResolution(Path("letter.txt").c_str(), nullptr));
}

// ---- Refusals and clean failures ----

TEST_F(DocumentsTest, WhatIsNotADocumentIsRefusedAndFailuresLeaveNoPages) {
    std::string text = Path("letter.txt");
    std::ofstream(text) << "Dear Sir,\n";
    int16_t pages = 7;
    EXPECT_EQ(TOLLAN_E_DOC_FORMAT, ConvertDocumentToPages(text.c_str(), Path("t").c_str(), 0, 1, &pages));
    EXPECT_EQ(0, pages);
    EXPECT_EQ(TOLLAN_E_OPEN_FILE, ConvertDocumentToPages(Path("none.tif").c_str(), Path("t").c_str(), 0, 1, &pages));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, ConvertDocumentToPages(text.c_str(), "", 0, 1, &pages));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, ConvertDocumentToPages(text.c_str(), Path("t").c_str(), 0, 0, &pages));

    // Two good pages, then a grey one: nothing is left of the first two.
    std::string frame = WriteFramePage(Path("frame.tif"), 1728, 20, 204, 196);
    std::string mixed = Path("mixed.tif");
    std::string grey = Path("grey.pgm");
    std::ofstream(grey, std::ios::binary) << "P5 4 4 255\n" << std::string(16, '\x80');
    if (!OnPath("tiffcp") || !OnPath("pnmtotiff")) GTEST_SKIP() << "tiffcp or pnmtotiff is not installed";
    ASSERT_EQ(0, Shell("pnmtotiff '" + grey + "' > '" + Path("grey.tif") + "' 2>/dev/null"));
    ASSERT_EQ(0, Shell("tiffcp '" + frame + "' '" + frame + "' '" + Path("grey.tif") + "' '" + mixed + "'"));
    std::string base = Path("mixed");
    EXPECT_EQ(TOLLAN_E_DOC_TIFF, ConvertDocumentToPages(mixed.c_str(), base.c_str(), 0, 1, &pages));
    EXPECT_EQ(0, pages);
    EXPECT_NE(0, access((base + "_p1.g3").c_str(), F_OK));
    EXPECT_NE(0, access((base + "_p1.ffi").c_str(), F_OK));

    // Page files are new files: an existing one is left alone.
    std::string mine = base + "_p2.g3";
    std::ofstream(mine) << "someone else's";
    EXPECT_EQ(TOLLAN_E_PAGE_EXISTS, ConvertDocumentToPages(frame.c_str(), base.c_str(), 0, 2, &pages));
    EXPECT_EQ(TOLLAN_OK, ConvertDocumentToPages(frame.c_str(), base.c_str(), 0, 1, &pages));
    EXPECT_EQ(1, pages);
    std::ifstream kept(mine);
    std::string line;
    std::getline(kept, line);
    EXPECT_EQ("someone else's", line);
}

// Sizes a TIFF declares are not believed: too large is refused before any
// row is read, and a page whose data ends early ends the document.
TEST_F(DocumentsTest, HostileTiffSizesAreRefusedQuickly) {
    if (!OnPath("tiffset")) GTEST_SKIP() << "tiffset is not installed";
    struct Case {
        const char *name;
        const char *tag;
        const char *value;
        uint16_t code;
    } cases[] = {
        {"a million dots wide", "256", "1000000", TOLLAN_E_PAGE_TOO_LARGE},
        {"a hundred thousand rows", "257", "100000", TOLLAN_E_PAGE_TOO_LARGE},
        {"four billion rows", "257", "4000000000", TOLLAN_E_DOC_TIFF},
        {"more rows than its data", "257", "60000", TOLLAN_E_DOC_TIFF},
        {"no dots wide", "256", "0", TOLLAN_E_DOC_TIFF},
        {"eight bits a dot", "258", "8", TOLLAN_E_DOC_TIFF},
        {"absurd resolution", "282", "1e30", TOLLAN_OK},
    };
    for (const Case &c : cases) {
        std::string tiff = WriteFramePage(Path(std::string("hostile") + std::to_string(made_++) + ".tif"), 1728, 30,
                                          204, 196);
        ASSERT_EQ(0, Shell("tiffset -s " + std::string(c.tag) + " " + c.value + " '" + tiff + "' 2>/dev/null"))
            << c.name;
        std::string base = Path("hostile" + std::to_string(made_));
        int16_t pages = 0;
        EXPECT_EQ(c.code, ConvertDocumentToPages(tiff.c_str(), base.c_str(), 0, 1, &pages)) << c.name;
        EXPECT_EQ(c.code == TOLLAN_OK ? 1 : 0, pages) << c.name;
        if (c.code != TOLLAN_OK) {
            EXPECT_NE(0, access((base + "_p1.g3").c_str(), F_OK)) << c.name;
        }
    }
}

// ---- Documents out ----

// Pages of the charts: fine ones and a standard one (its ".ffi" says so).
class DocumentsOutTest : public DocumentsTest {
protected:
    // Rendered at the fax's own resolution the PDF's pages are the page
    // files dot for dot, a standard page twice as tall.
    void ExpectPdfShowsPages(const std::string &pdf, const std::string &base, int pages) {
        const std::string prefix = pdf.substr(0, pdf.size() - 4) + "-render";
        ASSERT_EQ(0, Shell("pdftoppm -mono -rx 204 -ry 196 '" + pdf + "' '" + prefix + "'"));
        for (int p = 1; p <= pages; ++p) {
            Bitmap shown;
            ASSERT_TRUE(ReadPbm(prefix + "-" + std::to_string(p) + ".pbm", &shown)) << p;
            PageIn in;
            Bitmap page = PageBitmap(base, p, &in);
            if (in.lpi == kStandardLpi) {
                Bitmap doubled = page;
                doubled.rows = page.rows * 2;
                doubled.bits.clear();
                for (int32_t y = 0; y < page.rows; ++y)
                    for (int k = 0; k < 2; ++k)
                        doubled.bits.insert(doubled.bits.end(), page.Row(y), page.Row(y) + kRowBytes);
                page = doubled;
            }
            EXPECT_EQ(-1, FirstDifference(page, shown)) << pdf << " page " << p;
        }
    }

    bool MakePages(const std::string &base, std::vector<Bitmap> *charts) {
        if (!HaveTools({"pnmtotiff", "tiffcp"})) return false;
        for (int n : {1, 4, 8}) {
            Bitmap chart;
            if (!Chart(n, &chart)) return false;
            charts->push_back(chart);
            std::string tiff = ChartTiff(n, "-c g4", n == 8 ? "204 98" : "204 196");
            int16_t pages = 0;
            if (ConvertDocumentToPages(tiff.c_str(), base.c_str(), n == 8 ? 1 : 0,
                                       static_cast<int16_t>(charts->size()), &pages) != TOLLAN_OK)
                return false;
        }
        return true;
    }
};

// libtiff's view of one page of a TIFF.
struct TiffPageInfo {
    Bitmap bitmap;
    float y_dpi = 0;
    uint16_t compression = 0;
    uint32_t bad_lines = 99;
    uint32_t consecutive_bad = 99;
};

bool ReadTiffPage(const std::string &path, int page, TiffPageInfo *info) {
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    if (!tif || !TIFFSetDirectory(tif, static_cast<tdir_t>(page))) {
        if (tif) TIFFClose(tif);
        return false;
    }
    uint32_t width = 0, rows = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &rows);
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &info->y_dpi);
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &info->compression);
    TIFFGetField(tif, TIFFTAG_BADFAXLINES, &info->bad_lines);
    TIFFGetField(tif, TIFFTAG_CONSECUTIVEBADFAXLINES, &info->consecutive_bad);
    info->bitmap.width = static_cast<int32_t>(width);
    info->bitmap.rows = static_cast<int32_t>(rows);
    info->bitmap.bits.assign(static_cast<size_t>(PackedRowBytes(info->bitmap.width)) * rows, 0);
    bool ok = true;
    for (uint32_t y = 0; y < rows && ok; ++y)
        ok = TIFFReadScanline(tif, info->bitmap.bits.data() + y * PackedRowBytes(info->bitmap.width), y, 0) >= 0;
    TIFFClose(tif);
    return ok;
}

TEST_F(DocumentsOutTest, TiffClassFPassesLibtiffsToolsAndComesBackEqual) {
    std::string base = Path("fax");
    std::vector<Bitmap> charts;
    if (!MakePages(base, &charts)) GTEST_SKIP();
    struct Coding {
        int32_t coding;
        uint16_t compression;
    } codings[] = {{TOLLAN_CODING_MH, COMPRESSION_CCITTFAX3},
                   {TOLLAN_CODING_MR, COMPRESSION_CCITTFAX3},
                   {TOLLAN_CODING_MMR, COMPRESSION_CCITTFAX4}};
    for (const Coding &c : codings) {
        std::string tiff = Path("fax" + std::to_string(c.coding) + ".tif");
        ASSERT_EQ(TOLLAN_OK, WritePagesAsTiff(base.c_str(), tiff.c_str(), c.coding, 0));
        for (size_t i = 0; i < charts.size(); ++i) {
            TiffPageInfo page;
            ASSERT_TRUE(ReadTiffPage(tiff, static_cast<int>(i), &page)) << c.coding << " page " << i;
            EXPECT_EQ(-1, FirstDifference(charts[i], page.bitmap)) << c.coding << " page " << i;
            EXPECT_EQ(i == 2 ? 98.0f : 196.0f, page.y_dpi);
            EXPECT_EQ(c.compression, page.compression);
            EXPECT_EQ(0u, page.bad_lines);
        }
        if (OnPath("tiffinfo")) {
            // Silent but for the description: no warning, no error.
            EXPECT_EQ("", Output("tiffinfo -D '" + tiff + "' 2>&1 >/dev/null")) << c.coding;
            std::string info = Output("tiffinfo '" + tiff + "' 2>/dev/null");
            EXPECT_NE(std::string::npos, info.find("Fax Data: clean")) << info;
            EXPECT_NE(std::string::npos, info.find("Page Number: 2-3")) << info;
        }
        if (OnPath("tiffdump")) {
            EXPECT_EQ("", Output("tiffdump '" + tiff + "' 2>&1 >/dev/null"));
        }
        if (OnPath("tiffcmp")) {
            // Back into page files and out again: the same pages.
            std::string again = Path("again" + std::to_string(c.coding)), tiff2 = again + ".tif";
            int16_t pages = 0;
            ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(tiff.c_str(), again.c_str(), 0, 1, &pages));
            EXPECT_EQ(3, pages);
            ASSERT_EQ(TOLLAN_OK, WritePagesAsTiff(again.c_str(), tiff2.c_str(), c.coding, 0));
            EXPECT_EQ(0, Shell("tiffcmp '" + tiff + "' '" + tiff2 + "' > /dev/null")) << c.coding;
        }
    }
    // Never over an existing file.
    EXPECT_EQ(TOLLAN_E_PAGE_EXISTS, WritePagesAsTiff(base.c_str(), Path("fax0.tif").c_str(), 0, 0));
    EXPECT_EQ(TOLLAN_E_NO_PAGE_FILE, WritePagesAsTiff(Path("nothing").c_str(), Path("n.tif").c_str(), 0, 0));
    EXPECT_NE(0, access(Path("n.tif").c_str(), F_OK));
}

TEST_F(DocumentsOutTest, PdfPassesPopplerAndQpdfAndRendersEqual) {
    std::string base = Path("fax");
    std::vector<Bitmap> charts;
    if (!MakePages(base, &charts)) GTEST_SKIP();
    std::string pdf = Path("fax.pdf");
    ASSERT_EQ(TOLLAN_OK, WritePagesAsPdf(base.c_str(), pdf.c_str(), 0));
    if (!HaveTools({"pdfinfo", "qpdf", "pdftoppm"})) GTEST_SKIP();
    EXPECT_EQ(0, Shell("pdfinfo '" + pdf + "' > /dev/null 2>&1"));
    EXPECT_NE(std::string::npos, Output("pdfinfo '" + pdf + "'").find("Pages:           3"));
    EXPECT_EQ(0, Shell("qpdf --check '" + pdf + "' > /dev/null 2>&1")) << Output("qpdf --check '" + pdf + "' 2>&1");
    ExpectPdfShowsPages(pdf, base, 3);
}

// Pages as other writers leave them: coded without an EOL first (the
// library's own bitmap converter), damaged on the line, or behind
// Ghostscript's fax header. Each goes out as the library decodes it, and
// the TIFF says how many rows were bad.
TEST_F(DocumentsOutTest, PagesThatDoNotDecodeCleanlyGoOutAsTheyDecode) {
    Bitmap chart;
    if (!HaveTools({"pdftoppm"}) || !Chart(5, &chart)) GTEST_SKIP();
    std::vector<uint8_t> coded;
    G3Encoder encoder;
    StartG3Encoder(&encoder, kCodingMh, 1, kFaxWidth, &coded);
    for (int32_t y = 0; y < chart.rows; ++y) EncodeG3Row(&encoder, chart.Row(y));
    FinishG3Encoder(&encoder);
    std::vector<uint8_t> damaged = coded;
    // Eight 0 bits and a 1 are no code word: a bad row at each of five places.
    for (size_t at = damaged.size() / 4; at < damaged.size() / 4 + 5000; at += 1000) {
        damaged[at] = 0x00;
        damaged[at + 1] = 0xFF;
    }
    std::vector<uint8_t> headed(64, 0);
    memcpy(headed.data() + 1, "PC Research, Inc", 17);
    headed[29] = 0;  // standard resolution
    headed.insert(headed.end(), coded.begin(), coded.end());
    const std::string base = Path("odd");
    int page = 0;
    for (const std::vector<uint8_t> *data : {&coded, &damaged, &headed}) {
        std::ofstream(base + "_p" + std::to_string(++page) + ".g3", std::ios::binary)
            .write(reinterpret_cast<const char *>(data->data()), static_cast<std::streamsize>(data->size()));
    }
    std::string pdf = Path("odd.pdf"), tiff = Path("odd.tif");
    ASSERT_EQ(TOLLAN_OK, WritePagesAsPdf(base.c_str(), pdf.c_str(), 0));
    ASSERT_EQ(TOLLAN_OK, WritePagesAsTiff(base.c_str(), tiff.c_str(), TOLLAN_CODING_MH, 0));
    EXPECT_EQ(0, Shell("qpdf --check '" + pdf + "' > /dev/null 2>&1"));
    ExpectPdfShowsPages(pdf, base, 3);
    for (int p = 1; p <= 3; ++p) {
        PageIn in;
        Bitmap page = PageBitmap(base, p, &in);
        EXPECT_FALSE(in.clean) << p;
        EXPECT_EQ(p == 3 ? kStandardLpi : kFineLpi, in.lpi) << p;
        // Without an EOL first the decoder starts at the second row.
        if (p != 2) {
            EXPECT_EQ(chart.rows - 1, page.rows) << p;
        }
        TiffPageInfo stored;
        ASSERT_TRUE(ReadTiffPage(tiff, p - 1, &stored)) << p;
        EXPECT_EQ(-1, FirstDifference(page, stored.bitmap)) << p;
        EXPECT_EQ(static_cast<uint32_t>(in.bad_rows), stored.bad_lines) << p;
        EXPECT_EQ(p == 2, in.bad_rows > 0) << p;
        EXPECT_EQ(static_cast<uint32_t>(in.longest_bad_run), stored.consecutive_bad) << p;
    }
    // The noise spoils a few rows one after the other.
    PageIn in;
    PageBitmap(base, 2, &in);
    EXPECT_GE(in.longest_bad_run, 1);
    EXPECT_LE(in.longest_bad_run, in.bad_rows);
}

// ---- Over the line ----

// Documents made elsewhere go out through emulated modems in every class and
// come back in through ReceiveFax; the received pages, written as TIFF and
// PDF, are the charts dot for dot.
TEST_F(DocumentsOutTest, ChartsGoThroughEmulatedModemsAndComeOutAsTheyWent) {
    if (!HaveTools({"pnmtotiff", "tiffcp", "pdftoppm"})) GTEST_SKIP();
    Bitmap one, five;
    ASSERT_TRUE(Chart(1, &one));
    ASSERT_TRUE(Chart(5, &five));
    // The library and the emulator move only while both wait; the pages are
    // long, so the emulator keeps the library's time and T.30's own timers.
    WaitClock clock{1};
    SimOnWaitClock sim_clock{clock};
    simtest::SimFixture f{SimConfig{}};
    const std::string doc = f.dir + "/doc", in = f.dir + "/in";
    int16_t pages = 0;
    ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(ChartTiff(1, "-c g4").c_str(), doc.c_str(), 0, 1, &pages));
    ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(ChartTiff(5, "-c g3:2d").c_str(), doc.c_str(), 0, 2, &pages));

    const int modem = f.AddModem("100");
    f.AddAnsweringStation("200");
    const int caller = f.AddCallingStation("300", {doc + "_p1.g3", doc + "_p2.g3"});
    ASSERT_TRUE(SimStart(f.sim));
    ProfileFile profile("[Ports]\nCOM1=" + f.Device(modem) + "\n");
    auto open = [](int modem_class) {
        int32_t ch = -1;
        SetModemClass(0, modem_class);
        EXPECT_EQ(TOLLAN_OK, PortOpen(&ch, 1, "ATZ"));
        return ch;
    };

    int calls = 0;
    for (int modem_class : {TOLLAN_CLASS_1, TOLLAN_CLASS_2, TOLLAN_CLASS_2_0}) {
        int32_t ch = open(modem_class);
        EXPECT_EQ(TOLLAN_OK, modem_class == TOLLAN_CLASS_1 ? SendClass1Fax(ch, "200", (doc + ".g3").c_str(), 2)
                                                           : SendFax(ch, "200", (doc + ".g3").c_str(), 2))
            << modem_class;
        EXPECT_EQ(TOLLAN_OK, PortClose(ch));
        {
            WaitClockOutside outside;
            ASSERT_TRUE(SimWaitStation(f.sim, f.station, ++calls, 5000)) << modem_class;
        }
        SimStationResult r = SimStationResults(f.sim, f.station);
        ASSERT_GE(r.page_files.size(), 2u) << modem_class;
        // What the station took down is the chart (a sender may frame the
        // end of a page its own way).
        EXPECT_EQ(-1, FirstDifference(one, DecodedFile(r.page_files[r.page_files.size() - 2]))) << modem_class;
        EXPECT_EQ(-1, FirstDifference(five, DecodedFile(r.page_files.back()))) << modem_class;
    }

    // Received by the library, with its page information files.
    SetFaxInfoOption(1);
    int32_t ch = open(TOLLAN_CLASS_2_0);
    ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
    int32_t ring = 0;
    for (int i = 0; i < 500 && ring != 1; ++i) {
        ASSERT_EQ(TOLLAN_OK, WaitForRing(ch, &ring));
        if (ring != 1) PlatSleep(10);  // a wait of the clock, so the call can come
    }
    ASSERT_EQ(1, ring);
    int16_t received = 0;
    EXPECT_EQ(TOLLAN_OK, ReceiveFax(ch, (in + ".g3").c_str(), &received));
    EXPECT_EQ(TOLLAN_OK, PortClose(ch));
    SetFaxInfoOption(0);
    ASSERT_EQ(2, received);

    const std::string tiff = in + ".tif", pdf = in + ".pdf";
    ASSERT_EQ(TOLLAN_OK, WritePagesAsTiff(in.c_str(), tiff.c_str(), TOLLAN_CODING_MMR, 0));
    ASSERT_EQ(TOLLAN_OK, WritePagesAsPdf(in.c_str(), pdf.c_str(), 0));
    const Bitmap *charts[] = {&one, &five};
    for (int p = 0; p < 2; ++p) {
        TiffPageInfo stored;
        ASSERT_TRUE(ReadTiffPage(tiff, p, &stored)) << p;
        EXPECT_EQ(-1, FirstDifference(*charts[p], stored.bitmap)) << "page " << p + 1;
        PageIn page;
        EXPECT_EQ(-1, FirstDifference(*charts[p], PageBitmap(in, p + 1, &page))) << "page " << p + 1;
        EXPECT_TRUE(page.clean) << p;
    }
    ExpectPdfShowsPages(pdf, in, 2);
}

// ---- Ghostscript ----

std::string DebianPdf() {
    for (const char *path : {"/usr/share/doc/shared-mime-info/shared-mime-info-spec.pdf",
                             "/usr/share/doc/libtasn1-doc/libtasn1.pdf"})
        if (access(path, R_OK) == 0) return path;
    return std::string();
}

TEST_F(DocumentsTest, AdebianPdfGoesThroughGhostscriptIntoPages) {
    std::string pdf = DebianPdf();
    if (pdf.empty() || !OnPath("gs")) GTEST_SKIP() << "no PDF in /usr/share/doc, or Ghostscript is not installed";
    for (int32_t resolution : {0, 1}) {
        std::string base = Path("manual" + std::to_string(resolution));
        int16_t pages = 0;
        ASSERT_EQ(TOLLAN_OK, ConvertDocumentToPages(pdf.c_str(), base.c_str(), resolution, 1, &pages));
        EXPECT_GT(pages, 1);
        for (int32_t p = 1; p <= pages; ++p) {
            PageIn in;
            Bitmap page = PageBitmap(base, p, &in);
            ASSERT_TRUE(in.clean) << p;
            EXPECT_EQ(resolution == 0 ? kFineLpi : kStandardLpi, in.lpi);
            // A4 or Letter: about 11 inches.
            EXPECT_NEAR(11.2 * in.lpi, page.rows, 0.6 * in.lpi) << p;
            // Text was drawn.
            bool black = false;
            for (uint8_t byte : page.bits) black |= byte != 0;
            EXPECT_TRUE(black) << p;
        }
    }
}

TEST_F(DocumentsTest, GhostscriptMissingOrStuckGivesItsCode) {
    std::string ps = Path("loop.ps");
    std::ofstream(ps) << "%!PS\n{ } loop\n";
    int16_t pages = 0;
    const char *path = getenv("PATH");
    std::string saved = path ? path : "";
    setenv("PATH", dir_.c_str(), 1);
    EXPECT_EQ(TOLLAN_E_DOC_NO_GHOSTSCRIPT, ConvertDocumentToPages(ps.c_str(), Path("ps").c_str(), 0, 1, &pages));
    setenv("PATH", saved.c_str(), 1);
    if (!OnPath("gs")) GTEST_SKIP() << "Ghostscript is not installed";
    // A PostScript program that never ends is stopped at the time limit
    // (five minutes by the platform clock, here a fast one).
    FastClock clock(2000);
    EXPECT_EQ(TOLLAN_E_DOC_GHOSTSCRIPT, ConvertDocumentToPages(ps.c_str(), Path("ps").c_str(), 0, 1, &pages));
    EXPECT_EQ(0, pages);
}

}  // namespace
