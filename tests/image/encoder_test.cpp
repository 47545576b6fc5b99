// BmpToG3 and GetBmpSize: the page bits against codes written out by hand
// from the T.4 tables, the stretch rules, the loader's formats and hostile
// files.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <random>
#include <utility>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/channel.h"
#include "engine/tollan.h"
#include "image_test_util.h"

using namespace imgtest;

namespace {

// Codes of ITU-T T.4, written out by hand.
const std::string EOL = "000000000001";
const std::string W0 = "00110101", W1 = "000111", W2 = "0111", W56 = "01011001",
                  W63 = "00110100", WM64 = "11011", WM1664 = "011000", WM1728 = "010011011";
const std::string B0 = "0000110111", B1 = "010", B5 = "0011", B63 = "000001100111",
                  BM64 = "0000001111", BM1536 = "0000001011010", BM1664 = "0000001100100",
                  BM1728 = "0000001100101";
const std::string BLANK = WM1728 + W0;  // a blank line without its EOL

std::string Repeat(const std::string &s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

class EncoderTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = g_settings; }
    void TearDown() override { g_settings = saved_; }

    // Writes the bitmap bytes, converts them, and returns the page bytes.
    std::string Convert(const std::string &bmp, uint16_t expect = TOLLAN_OK) {
        WriteFile(dir_.Path("in.bmp"), bmp);
        EXPECT_EQ(expect, BmpToG3(dir_.Path("in.bmp").c_str(), dir_.Path("out.g3").c_str()));
        return ReadFile(dir_.Path("out.g3"));
    }
    // The lines after the four leading blank ones, checking the end mark:
    // six EOLs after the last line's EOL, then only 0 fill bits.
    std::vector<std::string> PageLines(const std::string &page) {
        std::vector<std::string> lines = SplitAtEols(BitsOf(page));
        EXPECT_GE(lines.size(), 11u);
        std::string tail = lines.back();
        EXPECT_LT(tail.size(), 8u);
        EXPECT_EQ(std::string::npos, tail.find('1'));
        lines.pop_back();
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ("", lines.back());
            lines.pop_back();
        }
        for (int i = 0; i < 4; ++i) EXPECT_EQ(BLANK, lines[i]) << i;
        return std::vector<std::string>(lines.begin() + 4, lines.end());
    }

    TempDir dir_;
    LibrarySettings saved_{};
};

// A picture of w x h with one black pixel per row, at x = row % w: every row
// differs from its neighbours.
Picture Diagonal(int w, int h) {
    Picture p(h, std::string(w, '.'));
    for (int y = 0; y < h; ++y) p[y][y % w] = '#';
    return p;
}

// Sizes of the runs of equal consecutive lines.
std::vector<int> GroupSizes(const std::vector<std::string> &lines) {
    std::vector<int> sizes;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0 && lines[i] == lines[i - 1])
            ++sizes.back();
        else
            sizes.push_back(1);
    }
    return sizes;
}

// ---- Bits written out by hand ------------------------------------------

TEST_F(EncoderTest, PageBitsMatchTheCodesOfTheT4Tables) {
    g_settings.stretch_option = 0;
    Picture p(4, std::string(1728, '.'));
    p[0].replace(0, 8, "#..#####");               // black first pixel
    p[1].replace(63, 64, std::string(64, '#'));   // white 63, black 64,
    p[1].replace(192, 1536, std::string(1536, '#'));  // white 65, black 1536 to the end
    p[2] = std::string(1728, '#');
    std::string page = Convert(MonoBmp(p));

    std::string expected = Repeat(BLANK + EOL, 4);
    expected += W0 + B1 + W2 + B5 + WM1664 + W56 + EOL;
    expected += W63 + BM64 + B0 + WM64 + W1 + BM1536 + B0 + EOL;
    expected += W0 + BM1728 + B0 + EOL;
    expected += BLANK + EOL;
    expected += Repeat(BLANK + EOL, 2290 - 4);
    expected += Repeat(EOL, 6);
    ASSERT_NE(0u, expected.size() % 8) << "the last byte should be partial";
    EXPECT_EQ(BytesOf(expected), page);
    // The final bits sit in the low positions of the last byte, 0 above them.
    unsigned used = expected.size() % 8;
    EXPECT_EQ(0, static_cast<uint8_t>(page.back()) >> used);
    EXPECT_EQ(1, (static_cast<uint8_t>(page.back()) >> (used - 1)) & 1);
}

TEST_F(EncoderTest, WideningIsStrictSo1000PixelsBecome1727) {
    g_settings.stretch_option = 1;
    std::vector<std::string> lines = PageLines(Convert(MonoBmp({std::string(1000, '#')})));
    EXPECT_EQ(W0 + BM1664 + B63 + W1, lines[0]);
    EXPECT_EQ(2290u, lines.size());

    lines = PageLines(Convert(MonoBmp({std::string(100, '#')})));
    EXPECT_EQ(W0 + BM1728 + B0, lines[0]);

    // 1728 pixels: neither widened nor refused.
    lines = PageLines(Convert(MonoBmp({std::string(1727, '#') + "."})));
    EXPECT_EQ(W0 + BM1664 + B63 + W1, lines[0]);
}

// ---- Vertical stretch and page length ------------------------------------

TEST_F(EncoderTest, Option3Stretches1000RowsTo1145) {
    g_settings.stretch_option = 3;
    std::vector<std::string> lines = PageLines(Convert(MonoBmp(Diagonal(1000, 1000))));
    ASSERT_EQ(1145u, lines.size());
    std::vector<int> groups = GroupSizes(lines);
    ASSERT_EQ(1000u, groups.size());
    EXPECT_EQ((std::vector<int>{1, 1, 1, 1, 1, 1, 2}), std::vector<int>(groups.begin(), groups.begin() + 7));
}

TEST_F(EncoderTest, Option3Codes500RowsThreeTwoTwoTimes) {
    g_settings.stretch_option = 3;
    std::vector<std::string> lines = PageLines(Convert(MonoBmp(Diagonal(500, 500))));
    ASSERT_EQ(1146u, lines.size());  // no blank lines follow
    std::vector<int> groups = GroupSizes(lines);
    ASSERT_EQ(500u, groups.size());
    EXPECT_EQ((std::vector<int>{3, 2, 2, 3, 2, 2, 3, 2, 2}), std::vector<int>(groups.begin(), groups.begin() + 9));
    EXPECT_NE(BLANK, lines.back());
}

TEST_F(EncoderTest, Option0PadsWithBlankLinesTo2290) {
    g_settings.stretch_option = 0;
    std::vector<std::string> lines = PageLines(Convert(MonoBmp(Diagonal(1000, 1000))));
    ASSERT_EQ(2290u, lines.size());
    EXPECT_EQ(1000u, GroupSizes(std::vector<std::string>(lines.begin(), lines.begin() + 1000)).size());
    for (size_t i = 1000; i < lines.size(); ++i) ASSERT_EQ(BLANK, lines[i]) << i;
    EXPECT_NE(BLANK, lines[999]);
}

TEST_F(EncoderTest, LongImagesAreNeitherStretchedNorCut) {
    g_settings.stretch_option = 3;
    std::vector<std::string> lines = PageLines(Convert(MonoBmp(Diagonal(10, 3000))));
    ASSERT_EQ(3000u, lines.size());
    for (const std::string &l : lines) ASSERT_NE(BLANK, l);
    g_settings.stretch_option = 4;  // stretch to 2290: a single row fills the page
    lines = PageLines(Convert(MonoBmp({"#"})));
    EXPECT_EQ(2290u, lines.size());
    EXPECT_EQ(1u, GroupSizes(lines).size());
}

// ---- Limits ----------------------------------------------------------------

TEST_F(EncoderTest, WidthAndHeightLimits) {
    int32_t w = 0, h = 0;
    WriteFile(dir_.Path("wide.bmp"), MonoBmp({std::string(1729, '#')}));
    EXPECT_EQ(TOLLAN_E_TOO_WIDE, BmpToG3(dir_.Path("wide.bmp").c_str(), dir_.Path("w.g3").c_str()));
    EXPECT_EQ(TOLLAN_E_TOO_WIDE, GetBmpSize(dir_.Path("wide.bmp").c_str(), &w, &h));
    EXPECT_FALSE(FileExists(dir_.Path("w.g3")));

    WriteFile(dir_.Path("edge.bmp"), MonoBmp({std::string(1728, '#')}));
    EXPECT_EQ(TOLLAN_OK, GetBmpSize(dir_.Path("edge.bmp").c_str(), &w, &h));
    EXPECT_EQ(1728, w);
    EXPECT_EQ(1, h);

    Picture tall(4580, "#");
    WriteFile(dir_.Path("tall.bmp"), MonoBmp(tall));
    EXPECT_EQ(TOLLAN_OK, BmpToG3(dir_.Path("tall.bmp").c_str(), dir_.Path("t.g3").c_str()));
    EXPECT_EQ(TOLLAN_OK, GetBmpSize(dir_.Path("tall.bmp").c_str(), &w, &h));
    EXPECT_EQ(4580, h);
    tall.push_back("#");
    WriteFile(dir_.Path("taller.bmp"), MonoBmp(tall));
    EXPECT_EQ(TOLLAN_E_TOO_TALL, BmpToG3(dir_.Path("taller.bmp").c_str(), dir_.Path("u.g3").c_str()));
    EXPECT_EQ(TOLLAN_E_TOO_TALL, GetBmpSize(dir_.Path("taller.bmp").c_str(), &w, &h));
    EXPECT_EQ(4580, h) << "outputs untouched on failure";
}

// ---- The loader: every depth and encoding gives the same page ------------

Picture Sample() {
    return {"#....##########.....###...#..........#",
            "......................................",
            "####################...............###",
            "#.#.#.#.#.#.#.#.#.#.#.#.#.#.#.#.#.#.#.",
            ".#....................................",
            "..........................######......",
            "######################################"};
}

// RLE8 or RLE4 rows of indices 1 (black) and 2 (white): runs in encoded
// mode, the first row's first five pixels in absolute mode.
std::string RleBmp(const Picture &p, bool four_bit) {
    BmpFields f;
    f.width = static_cast<int32_t>(p[0].size());
    f.height = static_cast<int32_t>(p.size());
    f.bit_count = four_bit ? 4 : 8;
    f.compression = four_bit ? 2 : 1;
    f.clr_used = 3;
    std::string data;
    for (size_t y = p.size(); y-- > 0;) {
        const std::string &row = p[y];
        size_t x = 0;
        if (y == p.size() - 1) {  // absolute mode, 5 pixels, padded
            data += std::string{'\0', '\5'};
            std::string abs;
            for (; x < 5; ++x) {
                uint8_t idx = row[x] == '#' ? 1 : 2;
                if (four_bit) {
                    if (x % 2 == 0) abs.push_back(static_cast<char>(idx << 4));
                    else abs.back() = static_cast<char>(abs.back() | idx);
                } else {
                    abs.push_back(static_cast<char>(idx));
                }
            }
            if (abs.size() % 2) abs.push_back('\0');
            data += abs;
        }
        while (x < row.size()) {
            size_t end = x;
            while (end < row.size() && row[end] == row[x]) ++end;
            uint8_t idx = row[x] == '#' ? 1 : 2;
            data.push_back(static_cast<char>(end - x));
            data.push_back(static_cast<char>(four_bit ? (idx << 4 | idx) : idx));
            x = end;
        }
        data += std::string{'\0', '\0'};
    }
    data += std::string{'\0', '\1'};
    std::string table;
    for (uint32_t c : {0x000000u, 0x5A0000u, 0xFFFFC8u}) Put32(&table, c);
    return BmpBytes(f, table, data);
}

std::string BitFieldBmp(const Picture &p, int bit_count, uint32_t info_size, bool top_down) {
    BmpFields f;
    f.width = static_cast<int32_t>(p[0].size());
    f.height = static_cast<int32_t>(top_down ? -static_cast<int>(p.size()) : p.size());
    f.bit_count = static_cast<uint16_t>(bit_count);
    f.compression = 3;
    f.info_size = info_size;
    // 16-bit 5-6-5; 32-bit blue in the high byte: masks the defaults would get wrong.
    std::vector<uint32_t> masks = bit_count == 16 ? std::vector<uint32_t>{0xF800, 0x07E0, 0x001F}
                                                  : std::vector<uint32_t>{0x0000FF00, 0x00FF0000, 0xFF000000};
    size_t stride = (f.width * bit_count + 31) / 32 * 4;
    std::string pixels;
    for (size_t i = 0; i < p.size(); ++i) {
        size_t y = top_down ? i : p.size() - 1 - i;
        std::string row;
        for (char c : p[y]) {
            if (bit_count == 16) Put16(&row, c == '#' ? 0x0841 : 0xF7BE);
            else Put32(&row, c == '#' ? 0x10204000u : 0xF0E0D000u);
        }
        row.resize(stride, '\0');
        pixels += row;
    }
    std::string extra;
    if (info_size == 40)
        for (uint32_t m : masks) Put32(&extra, m);
    return BmpBytes(f, extra, pixels, info_size > 40 ? masks : std::vector<uint32_t>{});
}

std::string TopDownMono(const Picture &p) {
    std::string bytes = MonoBmp(p);
    BmpFields f;
    f.width = static_cast<int32_t>(p[0].size());
    f.height = -static_cast<int32_t>(p.size());
    std::string table = bytes.substr(54, 8);
    size_t stride = (f.width + 31) / 32 * 4;
    std::string pixels;
    for (size_t r = p.size(); r-- > 0;) pixels += bytes.substr(62 + r * stride, stride);
    return BmpBytes(f, table, pixels);
}

std::string CoreHeaderBmp(const Picture &p) {
    std::string out = "BM";
    size_t stride = (p[0].size() * 24 + 31) / 32 * 4;
    std::string pixels;
    for (size_t y = p.size(); y-- > 0;) {
        std::string row;
        for (char c : p[y]) row += c == '#' ? std::string("\x10\x10\x10", 3) : std::string("\xF0\xF0\xF0", 3);
        row.resize(stride, '\0');
        pixels += row;
    }
    Put32(&out, static_cast<uint32_t>(26 + pixels.size()));
    Put32(&out, 0);
    Put32(&out, 26);
    Put32(&out, 12);
    Put16(&out, static_cast<uint32_t>(p[0].size()));
    Put16(&out, static_cast<uint32_t>(p.size()));
    Put16(&out, 1);
    Put16(&out, 24);
    return out + pixels;
}

TEST_F(EncoderTest, EveryBitmapKindGivesTheSamePage) {
    g_settings.stretch_option = 3;
    const Picture p = Sample();
    const std::string reference = Convert(MonoBmp(p));
    ASSERT_FALSE(reference.empty());
    struct Kind {
        const char *name;
        std::string bytes;
    } kinds[] = {
        {"1-bit, black entry first", MonoBmp(p, true)},
        {"1-bit top-down", TopDownMono(p)},
        {"1-bit through palette", DepthBmp(p, 1)},
        {"4-bit", DepthBmp(p, 4)},
        {"8-bit", DepthBmp(p, 8)},
        {"16-bit 5-5-5", DepthBmp(p, 16)},
        {"24-bit", DepthBmp(p, 24)},
        {"32-bit", DepthBmp(p, 32)},
        {"RLE8", RleBmp(p, false)},
        {"RLE4", RleBmp(p, true)},
        {"16-bit bit fields", BitFieldBmp(p, 16, 40, false)},
        {"32-bit bit fields, 124-byte header, top-down", BitFieldBmp(p, 32, 124, true)},
        {"16-bit bit fields, 108-byte header", BitFieldBmp(p, 16, 108, false)},
        {"12-byte core header", CoreHeaderBmp(p)},
    };
    for (const Kind &k : kinds) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(reference, Convert(k.bytes));
    }
}

TEST_F(EncoderTest, LuminanceThresholdIs128) {
    g_settings.stretch_option = 0;
    // Grey 127 is black, grey 128 white; pure green (Y 149.7) white, pure red (76.2) black.
    BmpFields f;
    f.width = 4;
    f.height = 1;
    f.bit_count = 24;
    std::string row = std::string("\x7F\x7F\x7F\x80\x80\x80\x00\xFF\x00\x00\x00\xFF", 12);
    std::vector<std::string> lines = PageLines(Convert(BmpBytes(f, "", row)));
    EXPECT_EQ(W0 + B1 + W2 + B1 + WM1664 + "01001011" /* W60 */, lines[0]);
}

TEST_F(EncoderTest, GetBmpSizeReadsHeadersOnly) {
    int32_t w = 0, h = 0;
    WriteFile(dir_.Path("c.bmp"), DepthBmp(Sample(), 24));
    EXPECT_EQ(TOLLAN_E_DEPTH, GetBmpSize(dir_.Path("c.bmp").c_str(), &w, &h));
    EXPECT_EQ(TOLLAN_OK, BmpToG3(dir_.Path("c.bmp").c_str(), dir_.Path("c.g3").c_str()));

    WriteFile(dir_.Path("8.bmp"), DepthBmp(Sample(), 8));
    ASSERT_EQ(TOLLAN_OK, GetBmpSize(dir_.Path("8.bmp").c_str(), &w, &h));
    EXPECT_EQ(38, w);
    EXPECT_EQ(7, h);

    // An 8-bit header asking for 256 colours in a file that ends after 100.
    BmpFields f;
    f.width = 5;
    f.height = 5;
    f.bit_count = 8;
    WriteFile(dir_.Path("cut.bmp"), BmpBytes(f, std::string(400, '\x40'), ""));
    EXPECT_EQ(TOLLAN_E_COLOUR_TABLE, GetBmpSize(dir_.Path("cut.bmp").c_str(), &w, &h));

    f.clr_used = 300;
    WriteFile(dir_.Path("many.bmp"), BmpBytes(f, std::string(1200, '\x40'), std::string(40, '\0')));
    EXPECT_EQ(TOLLAN_E_NOT_BITMAP, GetBmpSize(dir_.Path("many.bmp").c_str(), &w, &h));
    EXPECT_EQ(TOLLAN_E_NOT_BITMAP, BmpToG3(dir_.Path("many.bmp").c_str(), dir_.Path("m.g3").c_str()));

    WriteFile(dir_.Path("td.bmp"), TopDownMono(Sample()));
    ASSERT_EQ(TOLLAN_OK, GetBmpSize(dir_.Path("td.bmp").c_str(), &w, &h));
    EXPECT_EQ(7, h) << "a top-down picture has the same height";
    EXPECT_EQ(TOLLAN_E_OPEN_FILE, GetBmpSize(dir_.Path("missing.bmp").c_str(), &w, &h));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, GetBmpSize(nullptr, &w, &h));
}

// ---- Hostile and failing files -------------------------------------------

TEST_F(EncoderTest, HostileHeadersGiveClearCodesAndNoPage) {
    auto mono = [](int32_t w, int32_t h) {
        BmpFields f;
        f.width = w;
        f.height = h;
        return f;
    };
    const std::string table = std::string("\xFF\xFF\xFF\0\0\0\0\0", 8);
    struct Case {
        const char *name;
        std::string bytes;
        uint16_t code;
    } cases[] = {
        {"zero width", BmpBytes(mono(0, 4), table, std::string(16, '\0')), TOLLAN_E_NOT_BITMAP},
        {"negative width", BmpBytes(mono(-8, 4), table, std::string(16, '\0')), TOLLAN_E_NOT_BITMAP},
        {"zero height", BmpBytes(mono(8, 0), table, ""), TOLLAN_E_NOT_BITMAP},
        {"most negative height", BmpBytes(mono(8, INT_MIN), table, ""), TOLLAN_E_TOO_TALL},
        {"absurd width", BmpBytes(mono(INT_MAX, 1), table, ""), TOLLAN_E_TOO_WIDE},
        {"rows cut short", BmpBytes(mono(8, 4), table, std::string(10, '\0')), TOLLAN_E_READ_BITMAP},
        {"not BM", "XX" + BmpBytes(mono(8, 1), table, std::string(4, '\0')).substr(2), TOLLAN_E_NOT_BITMAP},
        {"headers cut short", BmpBytes(mono(8, 1), table, "").substr(0, 30), TOLLAN_E_NOT_BITMAP},
        {"empty file", "", TOLLAN_E_NOT_BITMAP},
        {"colour table cut short", BmpBytes(mono(8, 1), "", "").substr(0, 58), TOLLAN_E_COLOUR_TABLE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(dir_.Path("out.g3").c_str());
        Convert(c.bytes, c.code);
        EXPECT_FALSE(FileExists(dir_.Path("out.g3")));
    }
    BmpFields f = mono(8, 1);
    f.info_size = 20;
    EXPECT_EQ("", Convert(BmpBytes(f, table, std::string(4, '\0')), TOLLAN_E_NOT_BITMAP));
    f = mono(8, 1);
    f.planes = 2;
    Convert(BmpBytes(f, table, std::string(4, '\0')), TOLLAN_E_NOT_BITMAP);
    f = mono(8, 1);
    f.bit_count = 2;
    Convert(BmpBytes(f, table, std::string(4, '\0')), TOLLAN_E_DEPTH);
    f = mono(8, 1);
    f.compression = 4;  // JPEG inside
    Convert(BmpBytes(f, table, std::string(4, '\0')), TOLLAN_E_NOT_BITMAP);
    f.bit_count = 8;
    f.compression = 2;  // RLE4 at 8 bits
    Convert(BmpBytes(f, std::string(1024, '\0'), std::string(4, '\0')), TOLLAN_E_NOT_BITMAP);

    EXPECT_EQ(TOLLAN_E_OPEN_FILE, BmpToG3(dir_.Path("missing.bmp").c_str(), dir_.Path("x.g3").c_str()));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, BmpToG3(nullptr, dir_.Path("x.g3").c_str()));
    EXPECT_FALSE(FileExists(dir_.Path("x.g3")));
}

TEST_F(EncoderTest, DamagedRleStreamsStayInsideThePicture) {
    // Runs past the row, deltas past the picture, absolute runs past the
    // file: every stream decodes or is refused, and nothing reads or writes
    // outside a buffer (the sanitizer build watches).
    std::mt19937 random(5);
    BmpFields f;
    f.width = 13;
    f.height = 9;
    f.clr_used = 2;
    std::string table;
    Put32(&table, 0);
    Put32(&table, 0xFFFFFF);
    for (int i = 0; i < 120; ++i) {
        f.bit_count = i % 2 ? 4 : 8;
        f.compression = i % 2 ? 2 : 1;
        std::string data(random() % 200, '\0');
        for (char &c : data) c = static_cast<char>(random() % 2 ? random() % 4 : random());
        WriteFile(dir_.Path("rle.bmp"), BmpBytes(f, table, data));
        uint16_t code = BmpToG3(dir_.Path("rle.bmp").c_str(), dir_.Path("rle.g3").c_str());
        ASSERT_TRUE(code == TOLLAN_OK || code == TOLLAN_E_READ_BITMAP) << code;
    }
}

TEST_F(EncoderTest, FullDiskIsAFailure) {
    WriteFile(dir_.Path("in.bmp"), MonoBmp(Sample()));
    EXPECT_EQ(TOLLAN_E_WRITE_BITMAP, BmpToG3(dir_.Path("in.bmp").c_str(), "/dev/full"));
}

TEST_F(EncoderTest, IntermediateBitmapIsRemovedOnEveryPath) {
    TempDir tmp;
    const char *old = getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", tmp.dir().c_str(), 1);
    WriteFile(dir_.Path("in.bmp"), MonoBmp(Sample()));
    WriteFile(dir_.Path("wide.bmp"), MonoBmp({std::string(1729, '.')}));
    EXPECT_EQ(TOLLAN_OK, BmpToG3(dir_.Path("in.bmp").c_str(), dir_.Path("a.g3").c_str()));
    EXPECT_EQ(TOLLAN_E_WRITE_BITMAP, BmpToG3(dir_.Path("in.bmp").c_str(), "/dev/full"));
    EXPECT_EQ(TOLLAN_E_OPEN_FILE, BmpToG3(dir_.Path("in.bmp").c_str(), dir_.Path("no/such/dir.g3").c_str()));
    EXPECT_EQ(TOLLAN_E_TOO_WIDE, BmpToG3(dir_.Path("wide.bmp").c_str(), dir_.Path("b.g3").c_str()));
    EXPECT_TRUE(tmp.Entries().empty());

    setenv("TMPDIR", tmp.Path("gone").c_str(), 1);
    EXPECT_EQ(TOLLAN_E_OPEN_FILE, BmpToG3(dir_.Path("in.bmp").c_str(), dir_.Path("c.g3").c_str()));
    EXPECT_FALSE(FileExists(dir_.Path("c.g3")));
    if (old) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
}

// Run in a child process as the user nobody (when the test runs as root,
// who may write anywhere): the code BmpToG3 gives, or -1.
int BmpToG3AsNobody(const std::string &in, const std::string &out) {
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(255);
        _exit(BmpToG3(in.c_str(), out.c_str()) == TOLLAN_E_OPEN_FILE ? 1 : 0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status) == 1 ? TOLLAN_E_OPEN_FILE : WEXITSTATUS(status) == 0 ? TOLLAN_OK : -1;
}

TEST_F(EncoderTest, TemporaryDirectoryThatCannotTakeAFileFails) {
    const char *old = getenv("TMPDIR");
    const std::string saved = old ? old : "";
    WriteFile(dir_.Path("in.bmp"), MonoBmp(Sample()));
    WriteFile(dir_.Path("file"), "not a folder");
    const std::string too_long = dir_.dir() + std::string(4096, '/');
    for (const std::string &tmp : {dir_.Path("file"), too_long}) {
        SCOPED_TRACE(tmp.substr(0, 80));
        setenv("TMPDIR", tmp.c_str(), 1);
        EXPECT_EQ(TOLLAN_E_OPEN_FILE, BmpToG3(dir_.Path("in.bmp").c_str(), dir_.Path("out.g3").c_str()));
        EXPECT_FALSE(FileExists(dir_.Path("out.g3")));
    }
    // Readable but not writable, or writable but not searchable.
    ASSERT_EQ(0, chmod(dir_.dir().c_str(), 0777));
    ASSERT_EQ(0, chmod(dir_.Path("in.bmp").c_str(), 0644));
    for (auto [name, mode] : {std::pair<const char *, mode_t>{"locked", 0555}, {"blind", 0666}, {"open", 0777}}) {
        ASSERT_EQ(0, mkdir(dir_.Path(name).c_str(), mode));
        ASSERT_EQ(0, chmod(dir_.Path(name).c_str(), mode));  // whatever the umask
    }
    for (const char *name : {"locked", "blind"}) {
        SCOPED_TRACE(name);
        setenv("TMPDIR", dir_.Path(name).c_str(), 1);
        EXPECT_EQ(TOLLAN_E_OPEN_FILE, BmpToG3AsNobody(dir_.Path("in.bmp"), dir_.Path("out.g3")));
        EXPECT_FALSE(FileExists(dir_.Path("out.g3")));
    }
    setenv("TMPDIR", dir_.Path("open").c_str(), 1);
    EXPECT_EQ(TOLLAN_OK, BmpToG3AsNobody(dir_.Path("in.bmp"), dir_.Path("out.g3")));
    EXPECT_TRUE(FileExists(dir_.Path("out.g3")));
    if (old) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
}

// A 1-bit picture is coded as its rows are read, a block of them at a time;
// other kinds are loaded whole first. Both must give the same page, over
// several blocks, in both row orders, with and without widening.
TEST_F(EncoderTest, RowsReadInBlocksGiveTheLoadedPage) {
    for (int stretch : {0, 3}) {
        SCOPED_TRACE(stretch);
        g_settings.stretch_option = stretch;
        const Picture p = stretch == 0 ? Diagonal(1728, 700) : Diagonal(600, 1200);
        const std::string loaded = Convert(DepthBmp(p, 8));
        ASSERT_GT(loaded.size(), 1000u);
        EXPECT_EQ(loaded, Convert(MonoBmp(p)));
        EXPECT_EQ(loaded, Convert(TopDownMono(p)));
    }
}

TEST_F(EncoderTest, ABitmapCodedOntoItselfBecomesItsPage) {
    g_settings.stretch_option = 0;
    const std::string bmp = MonoBmp(Diagonal(1728, 700));
    const std::string page = Convert(bmp);
    WriteFile(dir_.Path("self"), bmp);
    ASSERT_EQ(0, link(dir_.Path("self").c_str(), dir_.Path("other name").c_str()));
    EXPECT_EQ(TOLLAN_OK, BmpToG3(dir_.Path("self").c_str(), dir_.Path("other name").c_str()));
    EXPECT_EQ(page, ReadFile(dir_.Path("self")));
}

TEST_F(EncoderTest, TraceReportsTheRowCount) {
    WriteFile(dir_.Path("in.bmp"), MonoBmp(Sample()));
    ASSERT_EQ(TOLLAN_OK, SetTraceOption(1));
    ASSERT_EQ(TOLLAN_OK, SetTraceFileName(dir_.Path("trace.log").c_str()));
    ASSERT_EQ(TOLLAN_OK, BmpToG3(dir_.Path("in.bmp").c_str(), dir_.Path("a.g3").c_str()));
    EXPECT_NE(std::string::npos, ReadFile(dir_.Path("trace.log")).find("BmpToG3 translated 7 lines\r\n"));
}

}  // namespace
