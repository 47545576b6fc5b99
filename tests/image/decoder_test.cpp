// G3ToBmp and GetG3Size: pages written bit by bit from the T.4 tables, the
// end-of-page rule, damaged pages, the row limit and the two writers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "engine/channel.h"
#include "engine/tollan.h"
#include "image_test_util.h"
#include "platform/platform.h"

using namespace imgtest;

namespace {

const std::string EOL = "000000000001";
const std::string W0 = "00110101", W1 = "000111", W10 = "00111", W36 = "00010101",
                  W40 = "00101001", W59 = "01001010", WM64 = "11011", WM960 = "011010100", WM1664 = "011000",
                  WM1728 = "010011011";
const std::string BLK0 = "0000110111", BLK1 = "010", BLK5 = "0011", BLKM64 = "0000001111",
                  BLKM1728 = "0000001100101";
const std::string WHITE_LINE = WM1728 + W0;
const std::string BLACK_LINE = W0 + BLKM1728 + BLK0;

std::string Repeat(const std::string &s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

class DecoderTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = g_settings; }
    void TearDown() override { g_settings = saved_; }

    // Writes the bits as a page file; returns GetG3Size's code.
    uint16_t Size(const std::string &bits, int32_t *w, int32_t *h) {
        WriteFile(dir_.Path("p.g3"), BytesOf(bits));
        return GetG3Size(dir_.Path("p.g3").c_str(), w, h);
    }
    // Decodes the bits with G3ToBmp; returns the picture (empty on failure).
    Picture Decode(const std::string &bits, int32_t *width = nullptr, uint16_t expect = TOLLAN_OK) {
        WriteFile(dir_.Path("p.g3"), BytesOf(bits));
        unlink(dir_.Path("p.bmp").c_str());
        EXPECT_EQ(expect, G3ToBmp(dir_.Path("p.g3").c_str(), dir_.Path("p.bmp").c_str()));
        if (!FileExists(dir_.Path("p.bmp"))) return {};
        return ReadMonoBmp(ReadFile(dir_.Path("p.bmp")), width);
    }

    TempDir dir_;
    LibrarySettings saved_{};
};

std::string Pixels(int white, int black, int rest_white = 0) {
    return std::string(white, '.') + std::string(black, '#') + std::string(rest_white, '.');
}

// ---- Lines -----------------------------------------------------------------

TEST_F(DecoderTest, LinesAndTheEndOfPage) {
    int32_t w = -1, h = -1;
    // Junk before the first EOL is ignored; a white line is one blank row;
    // W0 starts a line in black; six EOLs end the page with two blank rows.
    std::string page = "1011" + EOL + WHITE_LINE + EOL + W0 + BLK5 + WM1664 + W59 + EOL +
                       Repeat(EOL, 6);
    ASSERT_EQ(TOLLAN_OK, Size(page, &w, &h));
    EXPECT_EQ(1728, w);
    EXPECT_EQ(4, h);
    Picture p = Decode(page);
    ASSERT_EQ(4u, p.size());
    EXPECT_EQ(std::string(1728, '.'), p[0]);
    EXPECT_EQ(Pixels(0, 5, 1723), p[1]);
    EXPECT_EQ(std::string(1728, '.'), p[3]);

    // The fourth EOL ends the page: what follows is not read.
    ASSERT_EQ(TOLLAN_OK, Size(EOL + BLACK_LINE + Repeat(EOL, 4) + "1111", &w, &h));
    EXPECT_EQ(3, h);
}

TEST_F(DecoderTest, RunsPastTheLineAreCutAndSkipped) {
    // White 1700, black 64: cut at 1728; the junk after it up to the EOL is skipped.
    std::string page = EOL + WM1664 + W36 + BLKM64 + BLK0 + "1111111111" + EOL + Repeat(EOL, 3);
    Picture p = Decode(page);
    ASSERT_EQ(3u, p.size());
    EXPECT_EQ(Pixels(1700, 28), p[0]);
    // Make-up codes that add up past the line (960 + 960 + 64) are cut too.
    p = Decode(EOL + WM960 + WM960 + WM64 + W0 + BLK1 + EOL + Repeat(EOL, 3));
    ASSERT_EQ(3u, p.size());
    EXPECT_EQ(std::string(1728, '.'), p[0]);
}

TEST_F(DecoderTest, FillBitsAndFalseEols) {
    // Fifteen 0 fill bits before an EOL.
    std::string line = W0 + BLK5 + W10;
    Picture p = Decode(EOL + line + std::string(15, '0') + EOL + Repeat(EOL, 3));
    ASSERT_EQ(3u, p.size());
    int32_t width = 0;
    Decode(EOL + line + std::string(15, '0') + EOL + Repeat(EOL, 3), &width);
    EXPECT_EQ(15, width);
    EXPECT_EQ(Pixels(0, 5, 10), p[0].substr(0, 15));

    // Ten 0 bits and a 1 are no EOL: they start a code that goes bad, and the
    // line (not an empty one) ends at the real EOL: three rows, not two.
    int32_t w = 0, h = 0;
    ASSERT_EQ(TOLLAN_OK, Size(EOL + BLACK_LINE + EOL + std::string(10, '0') + "1" + EOL + Repeat(EOL, 3), &w, &h));
    EXPECT_EQ(4, h);
    ASSERT_EQ(TOLLAN_OK, Size(EOL + BLACK_LINE + EOL + std::string(11, '0') + "1" + EOL + Repeat(EOL, 3), &w, &h));
    EXPECT_EQ(3, h);
}

TEST_F(DecoderTest, BadCodeWordKeepsWhatCameBeforeAndGoesOn) {
    SetTraceOption(1);
    SetTraceFileName(dir_.Path("trace.log").c_str());
    // Black after W0 BLK5 W10: eight 0 bits then ones make no black code.
    std::string page = EOL + W0 + BLK5 + W10 + "00000000111111" + "0101" + EOL + BLACK_LINE + EOL +
                       Repeat(EOL, 3);
    Picture p = Decode(page);
    ASSERT_EQ(4u, p.size());
    EXPECT_EQ(Pixels(0, 5, 1723), p[0]);
    EXPECT_EQ(std::string(1728, '#'), p[1]);
    std::string trace = ReadFile(dir_.Path("trace.log"));
    EXPECT_NE(std::string::npos,
              trace.find("G3ToBmp: bad code word at row 0, col 15 (len 14 code 0x3f), skipping to EOL"))
        << trace;
}

// ---- Page ends and limits ----------------------------------------------------

// A page whose data ends without RTC keeps its whole rows: an EOL before
// each row and none after the last (Ghostscript's faxg3 pages), a row cut
// inside its codes (dropped), a partial end mark (its blank row kept).
TEST_F(DecoderTest, PageEndingAtEndOfFileWithoutRtcKeepsItsWholeRows) {
    const std::string short_line = W10 + BLK5;  // 15 dots, white after
    const struct {
        std::string bits;
        int32_t width, rows;
        std::string first_row;
    } cases[] = {
        {EOL + BLACK_LINE + EOL + short_line + EOL + BLACK_LINE, 1728, 3, std::string(1728, '#')},
        {EOL + BLACK_LINE + EOL + short_line + EOL + W10 + BLK5.substr(0, 2), 1728, 2, std::string(1728, '#')},
        {EOL + short_line + EOL + "0000", 15, 1, Pixels(10, 5)},
        {EOL + BLACK_LINE + EOL + BLACK_LINE + EOL + EOL, 1728, 3, std::string(1728, '#')},
    };
    for (const auto &c : cases) {
        int32_t w = -1, h = -1;
        EXPECT_EQ(TOLLAN_OK, Size(c.bits, &w, &h)) << c.bits;
        EXPECT_EQ(c.width, w);
        EXPECT_EQ(c.rows, h);
        int32_t bmp_width = 0;
        Picture p = Decode(c.bits, &bmp_width);
        ASSERT_EQ(static_cast<size_t>(c.rows), p.size());
        EXPECT_EQ(c.width, bmp_width);
        EXPECT_EQ(c.first_row, p[0].substr(0, c.first_row.size()));
    }
}

// Without RTC, only data that decodes soundly is a page: rows with pixels,
// and at most one in ten holding a bad code word.
TEST_F(DecoderTest, DataEndingWithoutRtcThatIsNotSoundIsRefused) {
    const std::string bad_row = "0000000011111111";
    for (const std::string &page : {EOL + BLACK_LINE + EOL + Repeat(bad_row + EOL, 2), EOL + EOL, EOL + "0000"}) {
        int32_t w = -1, h = -1;
        EXPECT_EQ(TOLLAN_E_G3_END, Size(page, &w, &h));
        EXPECT_EQ(0, w);  // stored once the first EOL was found
        EXPECT_EQ(0, h);
        EXPECT_TRUE(Decode(page, nullptr, TOLLAN_E_G3_END).empty());
        EXPECT_FALSE(FileExists(dir_.Path("p.bmp")));
    }
    // One bad row in ten whole ones is noise on a page.
    int32_t w = -1, h = -1;
    EXPECT_EQ(TOLLAN_OK, Size(EOL + Repeat(BLACK_LINE + EOL, 10) + bad_row + EOL, &w, &h));
    EXPECT_EQ(11, h);
}

TEST_F(DecoderTest, PageFileWithoutAnyPage) {
    int32_t w = -1, h = -1;
    EXPECT_EQ(TOLLAN_E_G3_END, Size(Repeat("1011", 20), &w, &h));  // no EOL at all
    EXPECT_EQ(-1, w);
    EXPECT_EQ(TOLLAN_E_G3_END, Size("", &w, &h));
    EXPECT_EQ(TOLLAN_E_OPEN_FILE, GetG3Size(dir_.Path("missing.g3").c_str(), &w, &h));
    EXPECT_EQ(TOLLAN_E_OPEN_FILE, G3ToBmp(dir_.Path("missing.g3").c_str(), dir_.Path("x.bmp").c_str()));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, GetG3Size(nullptr, &w, &h));
}

TEST_F(DecoderTest, APageWithoutPixelsIsRefused) {
    // Only EOLs, or lines whose first code is bad: rows, but nothing 1 pixel
    // wide to draw. No 0-wide bitmap is written.
    for (const std::string &page : {Repeat(EOL, 4), EOL + "0000000011111111" + EOL + Repeat(EOL, 3)}) {
        int32_t w = -1, h = -1;
        EXPECT_EQ(TOLLAN_E_G3_END, Size(page, &w, &h));
        EXPECT_EQ(0, w);
        EXPECT_EQ(0, h);
        EXPECT_TRUE(Decode(page, nullptr, TOLLAN_E_G3_END).empty());
        EXPECT_FALSE(FileExists(dir_.Path("p.bmp")));
    }
}

// Feeds the FIFO with the byte until the reader goes away.
void FeedForever(const std::string &fifo, char byte) {
    int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd == -1) return;
    std::string block(65536, byte);
    while (write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
}

TEST_F(DecoderTest, EndlessInputStopsAtTheLargestPage) {
    // Zeros never make an EOL's closing 1 bit; a pipe of ones never makes an
    // EOL at all: both stop after the largest page file, with no bitmap.
    int32_t w = -1, h = -1;
    EXPECT_EQ(TOLLAN_E_PAGE_TOO_LARGE, GetG3Size("/dev/zero", &w, &h));
    EXPECT_EQ(TOLLAN_E_PAGE_TOO_LARGE, G3ToBmp("/dev/zero", dir_.Path("z.bmp").c_str()));
    EXPECT_FALSE(FileExists(dir_.Path("z.bmp")));

    struct sigaction ignore {}, saved {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved);  // the feeder learns of the reader's end by EPIPE
    std::string fifo = dir_.Path("endless.g3");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::thread feeder(FeedForever, fifo, '\xFF');
    EXPECT_EQ(TOLLAN_E_PAGE_TOO_LARGE, G3ToBmp(fifo.c_str(), dir_.Path("f.bmp").c_str()));
    feeder.join();
    sigaction(SIGPIPE, &saved, nullptr);
    EXPECT_FALSE(FileExists(dir_.Path("f.bmp")));
}

TEST_F(DecoderTest, RowLimitIs4300) {
    int32_t w = 0, h = 0;
    ASSERT_EQ(TOLLAN_OK, Size(EOL + Repeat(W0 + BLK1 + W10 + EOL, 5000) + Repeat(EOL, 5), &w, &h));
    EXPECT_EQ(4300, h);
    EXPECT_EQ(11, w);
    // Lines of 1000 pixels: a bitmap 1000 wide with rows of 128 bytes.
    Picture p = Decode(EOL + Repeat(WM960 + W40 + EOL, 3) + Repeat(EOL, 3), &w);
    EXPECT_EQ(1000, w);
    EXPECT_EQ(62u + 5 * 128, ReadFile(dir_.Path("p.bmp")).size());
}

// ---- Writers -------------------------------------------------------------------

TEST_F(DecoderTest, PlainBitmapHeader) {
    Decode(EOL + BLACK_LINE + EOL + Repeat(EOL, 3));
    std::string bmp = ReadFile(dir_.Path("p.bmp"));
    ASSERT_EQ(62u + 3 * 216, bmp.size());
    BmpFields f;
    f.width = 1728;
    f.height = 3;
    f.x_ppm = 8000;
    f.y_ppm = 7700;
    std::string table = std::string("\xFF\xFF\xFF\0\0\0\0\0", 8);
    std::string pixels = std::string(2 * 216, '\0') + std::string(216, '\xFF');  // bottom row first
    std::string expected = BmpBytes(f, table, pixels);
    EXPECT_EQ(expected, bmp);
}

TEST_F(DecoderTest, ShrinkHalvesA2290RowPage) {
    // Rows counted from the bottom: b % 4 == 0 alternate "#." (even pixels
    // black), b % 4 == 2 white, odd b all black. Keeping the even pixels of
    // the even rows from the bottom gives black and white rows in turn.
    std::string alternate = W0 + Repeat(BLK1 + W1, 864);
    std::string page = EOL;
    for (int r = 0; r < 2288; ++r) {
        int b = 2289 - r;
        page += (b % 2 ? BLACK_LINE : b % 4 == 0 ? alternate : WHITE_LINE) + EOL;
    }
    page += Repeat(EOL, 6);  // two blank rows: b = 1 and b = 0
    int32_t w = 0, h = 0;
    ASSERT_EQ(TOLLAN_OK, Size(page, &w, &h));
    ASSERT_EQ(2290, h);

    g_settings.shrink_option = 3;
    SetTraceOption(1);
    SetTraceFileName(dir_.Path("trace.log").c_str());
    Picture p = Decode(page, &w);
    ASSERT_EQ(1145u, p.size());
    EXPECT_EQ(864, w);
    for (int j = 0; j < 1145; ++j) {
        int b = 2 * j;
        std::string expected(864, b % 4 == 0 && b > 0 ? '#' : '.');
        ASSERT_EQ(expected, p[1144 - j]) << "row " << j << " from the bottom";
    }
    char expected_trace[64];
    ASSERT_TRUE(PlatUtf8ToCp932("G3ToBmp: 1145 行出力\r\n", expected_trace, sizeof expected_trace));
    EXPECT_NE(std::string::npos, ReadFile(dir_.Path("trace.log")).find(expected_trace));
    std::string bmp = ReadFile(dir_.Path("p.bmp"));
    EXPECT_EQ(std::string(8, '\0'), bmp.substr(38, 8)) << "the shrink writer records no resolution";
}

TEST_F(DecoderTest, ShrinkLeavesSmallerPagesAlone) {
    std::string page = EOL + Repeat(BLACK_LINE + EOL, 998) + Repeat(EOL, 3);
    g_settings.shrink_option = 2;
    EXPECT_EQ(1000u, Decode(page).size());
    g_settings.shrink_option = 3;
    g_settings.shrink_height = 0;  // a factor of 0: no shrinking
    g_settings.shrink_width = 0;
    int32_t w = 0;
    EXPECT_EQ(1000u, Decode(page, &w).size());
    EXPECT_EQ(1728, w);
    g_settings.shrink_width = 1000;  // 1728 to 1000: factor 1.37
    Picture p = Decode(page, &w);
    EXPECT_EQ(1000, w);
    EXPECT_EQ(std::string(1000, '#'), p[0]);
}

// ---- Round trips and failures --------------------------------------------------

TEST_F(DecoderTest, BmpToG3PagesDecodeToTheirPicture) {
    g_settings.stretch_option = 0;
    Picture picture = {Pixels(3, 600, 1125), Pixels(0, 1728), Pixels(1727, 1), Pixels(64, 64, 1600)};
    WriteFile(dir_.Path("in.bmp"), MonoBmp(picture));
    ASSERT_EQ(TOLLAN_OK, BmpToG3(dir_.Path("in.bmp").c_str(), dir_.Path("p.g3").c_str()));
    ASSERT_EQ(TOLLAN_OK, G3ToBmp(dir_.Path("p.g3").c_str(), dir_.Path("p.bmp").c_str()));
    Picture p = ReadMonoBmp(ReadFile(dir_.Path("p.bmp")));
    // Three blank lines, the picture, blank lines to 2290, two from the end mark.
    ASSERT_EQ(3u + 2290u + 2u, p.size());
    for (size_t y = 0; y < p.size(); ++y) {
        std::string expected(1728, '.');
        if (y >= 3 && y - 3 < picture.size()) expected.replace(0, picture[y - 3].size(), picture[y - 3]);
        ASSERT_EQ(expected, p[y]) << y;
    }
}

TEST_F(DecoderTest, WriteFailuresAreReported) {
    WriteFile(dir_.Path("p.g3"), BytesOf(EOL + BLACK_LINE + Repeat(EOL, 4)));
    EXPECT_EQ(TOLLAN_E_WRITE_BITMAP, G3ToBmp(dir_.Path("p.g3").c_str(), "/dev/full"));
    g_settings.shrink_option = 3;
    EXPECT_EQ(TOLLAN_E_WRITE_BITMAP, G3ToBmp(dir_.Path("p.g3").c_str(), "/dev/full"));
    EXPECT_EQ(TOLLAN_E_OPEN_FILE, G3ToBmp(dir_.Path("p.g3").c_str(), dir_.Path("no/dir.bmp").c_str()));
}

TEST_F(DecoderTest, RandomBytesNeverLeaveTheBuffers) {
    std::mt19937 random(1021);
    for (int i = 0; i < 120; ++i) {
        std::string bytes(random() % 3000, '\0');
        for (char &c : bytes) c = static_cast<char>(random() % 3 ? random() & random() : random());
        WriteFile(dir_.Path("r.g3"), bytes);
        uint16_t code = G3ToBmp(dir_.Path("r.g3").c_str(), dir_.Path("r.bmp").c_str());
        ASSERT_TRUE(code == TOLLAN_OK || code == TOLLAN_E_G3_END) << code;
    }
}

}  // namespace
