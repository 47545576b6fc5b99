// Page data: which file is sent, how its bytes reach the modem (DLE doubled,
// short scan lines filled), and where the transfer stops.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "class1_fixture.h"
#include "class2/class2.h"

namespace {

class PageDataTest : public Class1Test {
protected:
    // Sends page number of pages_total of the document on channel 0, a silent modem.
    uint16_t SendPage(const std::string &document, int16_t number, int16_t pages_total) {
        if (!g_channels[0].in_use) Attach();
        return SendFaxData(PageRef{document.c_str(), number, pages_total}, 0);
    }
    // Passes the bytes to TTYOut one by one, on the channel's page stream.
    static void Out(const std::string &bytes, int32_t ch) {
        PageStream stream = OpenPageStream(ch);
        for (char b : bytes) ASSERT_EQ(TTYOut(static_cast<uint8_t>(b), stream), TOLLAN_OK);
    }
    // What the host wrote once it has stopped writing.
    std::string WrittenSoFar() {
        usleep(50000);
        return modem_.Written();
    }
};

TEST_F(PageDataTest, PageFilesAreNamedFromTheBaseNameAndPageNumber) {
    pages_.Write("report_p1.g3", "\x01");
    pages_.Write("report_p3.g3", "\x03");
    EXPECT_EQ(SendPage(pages_.Path("report.tif"), 1, 3), TOLLAN_OK);
    EXPECT_EQ(SendPage(pages_.Path("report.tif"), 3, 3), TOLLAN_OK);
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped("\x01" + kRtc + "\x03" + kRtc));  // each page given its RTC
}

TEST_F(PageDataTest, PagesAreSentUnderTheNamesReceivedPagesGet) {
    // A dot in a folder name, and a base with no extension at all.
    PageDir dotted;
    const std::string dir = dotted.Path("fax.dir");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    for (const std::string &base : {pages_.Path("letter.tif"), dir + "/report", pages_.Path("plain")}) {
        char name[kFaxPathSize];
        ASSERT_TRUE(FaxPageFileName(name, base.c_str(), 2, ".g3"));
        std::ofstream(name, std::ios::binary) << kPage;
        EXPECT_EQ(SendPage(base, 2, 2), TOLLAN_OK) << base;
        remove(name);
    }
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped(kPage + kPage + kPage));
    rmdir(dir.c_str());
}

TEST_F(PageDataTest, AOnePageCallFallsBackToTheBaseFileItself) {
    const std::string base = pages_.Write("single.g3", kPage);
    EXPECT_EQ(SendPage(base, 1, 1), TOLLAN_OK);
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped(kPage));
}

TEST_F(PageDataTest, MissingPageFiles) {
    pages_.Write("doc_p1.g3", "\x01");
    EXPECT_EQ(SendPage(pages_.Path("doc.tif"), 2, 3), TOLLAN_E_NO_PAGE_FILE);  // page 2 is missing
    // One page: the base file is missing too.
    EXPECT_EQ(SendPage(pages_.Path("doc.tif"), 2, 1), TOLLAN_E_NO_PAGE_FILE);
    EXPECT_EQ(WrittenSoFar(), "");
}

TEST_F(PageDataTest, AnUnreadablePageFileFailsThePage) {
    // A directory opens for reading but every read fails.
    const std::string page = pages_.Path("bad_p1.g3");
    ASSERT_EQ(mkdir(page.c_str(), 0700), 0);
    EXPECT_EQ(SendPage(pages_.Path("bad.tif"), 1, 2), TOLLAN_E_FILE_NAME);
    EXPECT_NE(g_last_error, 0);
    rmdir(page.c_str());
}

TEST_F(PageDataTest, DleIsDoubledAndTheTransferStopsAtTheRtc) {
    const std::string line = Bytes({0x00, 0x80, 0x10, 0x5A, 0x6B});
    pages_.Write("p_p1.g3", line + kRtc + kAfterRtc);
    EXPECT_EQ(SendPage(pages_.Path("p.g3"), 1, 2), TOLLAN_OK);
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped(Bytes({0x00, 0x80, 0x10, 0x10, 0x5A, 0x6B}) + kRtc));
    EXPECT_TRUE(g_class1_page_scan[0].rtc_seen);
    EXPECT_TRUE(Traced("ChkRTC: eol count is six"));
    EXPECT_TRUE(Traced("SendFaxData: sent 13 bytes"));
}

TEST_F(PageDataTest, NoFillWithScanTimeZero) {
    const std::string page = Bytes({0x00, 0x80, 0x00, 0x80, 0x11, 0x00, 0x80});
    pages_.Write("z_p1.g3", page);
    const int32_t ch = Attach();
    g_channels[ch].scan_time = 0;
    EXPECT_EQ(SendPage(pages_.Path("z.g3"), 1, 2), TOLLAN_OK);
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped(page + kRtc));
}

TEST_F(PageDataTest, ShortScanLinesAreFilledUpToTheTarget) {
    // scan_time 2 at 9600 bit/s: unit 4, exponent 1, target 8 bytes.
    const int32_t ch = Attach();
    g_channels[ch].scan_time = 2;
    g_channels[ch].bit_rate = 3;
    const std::string input = Bytes({0x11, 0x22, 0x33, 0x00, 0x80,                   // count 4 at the EOL
                                     0x11, 0x22, 0x33, 0x00, 0x80,                   // count 5
                                     0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x00, 0x80});  // count 9
    Out(input, ch);
    const std::string expected = Bytes({0x11, 0x22, 0x33, 0x00}) + Zeros(4) + "\x80" +
                                 Bytes({0x11, 0x22, 0x33, 0x00}) + Zeros(3) + "\x80" +
                                 Bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x00, 0x80});
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped(expected));
    EXPECT_TRUE(Traced("Out: eol found scan=1, i = 8, count = 5 4"));
}

TEST_F(PageDataTest, FillGoesOnlyIntoTheZeroRunOfAnEol) {
    // scan_time 2 at 9600 bit/s: target 8 bytes a line.
    const int32_t ch = Attach();
    g_channels[ch].scan_time = 2;
    g_channels[ch].bit_rate = 3;
    const std::string input = Bytes({0x11, 0x22, 0x81, 0x00, 0x02,  // nine 0 bits inside a line
                                     0x08, 0x80,                    // 4 + 7 = 11 0 bits and a 1: an EOL
                                     0x00, 0x10});                  // an EOL ended by a DLE
    Out(input, ch);
    const std::string expected = Bytes({0x11, 0x22, 0x81, 0x00, 0x02, 0x08}) + Zeros(2) + "\x80" + Zeros(1) +
                                 Zeros(6) + "\x10\x10";  // the DLE pair stays whole
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped(expected));
}

// Bits into bytes, the first bit in the least significant bit, the last
// byte padded with 0 bits.
std::string Packed(const std::string &bits) {
    std::string bytes((bits.size() + 7) / 8, '\0');
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1') bytes[i / 8] = static_cast<char>(bytes[i / 8] | 1 << (i % 8));
    return bytes;
}

TEST_F(PageDataTest, EveryPageEndsWithRtcWhetherItsFileHasOneOrNot) {
    const std::string eol = "000000000001";
    // An RTC four bits off the byte boundaries already ends its page.
    const std::string shifted = Packed("0000" + eol + "1011" + eol + eol + eol + eol + eol + eol);
    const std::string two_eols = Bytes({0x00, 0x08, 0x80});
    pages_.Write("s_p1.g3", shifted);
    pages_.Write("s_p2.g3", kPageLines);             // the last line, then nothing
    pages_.Write("s_p3.g3", kPageLines + two_eols);  // two EOLs are no RTC
    pages_.Write("s_p4.g3", "");
    for (int16_t page = 1; page <= 4; ++page) EXPECT_EQ(SendPage(pages_.Path("s.tif"), page, 4), TOLLAN_OK);
    EXPECT_EQ(Escaped(WrittenSoFar()),
              Escaped(shifted + kPageLines + kRtc + kPageLines + two_eols + kRtc + kRtc));
    EXPECT_TRUE(Traced("SendFaxData: no RTC at the end of the page, RTC added"));
}

TEST_F(PageDataTest, EachChannelFillsItsLinesByItsOwnScanner) {
    // scan_time 2 at 9600 bit/s on both channels: target 8 bytes a line.
    // Channel 0's line is cut by channel 1's bytes; neither sees the other's.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    const int32_t ch = Attach();
    FaxChannel &other = g_channels[1];
    other.comm_handle = fds[1];
    other.io_timeout = 6000;
    for (FaxChannel *c : {&g_channels[ch], &other}) c->scan_time = 2, c->bit_rate = 3;
    Out(Bytes({0x11, 0x22, 0x33}), ch);
    Out(Bytes({0x00, 0x80, 0x44, 0x55, 0x66}), 1);
    Out(Bytes({0x00, 0x80}), ch);
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped(Bytes({0x11, 0x22, 0x33, 0x00}) + Zeros(4) + "\x80"));
    char sent[64];
    const ssize_t n = read(fds[0], sent, sizeof sent);
    EXPECT_EQ(Escaped(std::string(sent, n > 0 ? static_cast<size_t>(n) : 0)),
              Escaped(Zeros(1) + Zeros(7) + Bytes({0x80, 0x44, 0x55, 0x66})));
    close(fds[0]);
    close(fds[1]);
}

TEST_F(PageDataTest, FillThePortWillNotTakeEndsThePageAtTheFirstByte) {
    UseClock(1000);
    FullPort port;
    FaxChannel &c = g_channels[1];
    c.comm_handle = port.fds[1];
    c.io_timeout = 6000;
    c.scan_time = 2;  // at 9600 bit/s: 8 bytes a line
    c.bit_rate = 3;
    PageScan &scan = g_class1_page_scan[1];
    scan.trailing_zero_bits = 8;  // an EOL's zero byte went out, the line's only byte
    scan.line_byte_count = 1;
    PageStream stream = OpenPageStream(1);
    EXPECT_EQ(TTYOut(0x80, stream), TOLLAN_E_TIMEOUT);  // 7 fill bytes due, the first never taken
    const std::vector<std::string> lines = trace_->Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "FaxSendByte: timeout"), 1);
}

// Undoes the DLE doubling of the data sent to the modem.
std::string Undoubled(const std::string &sent) {
    std::string page;
    for (size_t i = 0; i < sent.size(); ++i) {
        page += sent[i];
        if (sent[i] == '\x10' && i + 1 < sent.size() && sent[i + 1] == '\x10') ++i;
    }
    return page;
}

std::string FileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A 1728 x 150 bitmap of random black and white runs of 1 to 200 pixels:
// make-up and terminating codes of every length meet in the page.
std::string RandomRunsBitmap(uint32_t seed) {
    const int width = 1728, height = 150, row_bytes = width / 8;
    std::string f = "BM";
    auto put32 = [&f](uint32_t v) {
        for (int i = 0; i < 4; ++i) f += static_cast<char>(v >> (8 * i) & 0xFF);
    };
    auto put16 = [&f](uint32_t v) { f += static_cast<char>(v & 0xFF), f += static_cast<char>(v >> 8 & 0xFF); };
    put32(62 + row_bytes * height), put32(0), put32(62), put32(40), put32(width), put32(height);
    put16(1), put16(1), put32(0), put32(row_bytes * height), put32(7874), put32(7874), put32(2), put32(0);
    put32(0x00FFFFFF), put32(0);
    for (int y = 0; y < height; ++y) {
        std::string row(row_bytes, '\0');
        bool black = false;
        for (int x = 0; x < width;) {
            seed = seed * 1103515245u + 12345u;
            const int run = 1 + static_cast<int>(seed >> 16) % 200;
            for (int i = x; black && i < x + run && i < width; ++i) row[i / 8] |= static_cast<char>(0x80 >> (i % 8));
            x += run;
            black = !black;
        }
        f += row;
    }
    return f;
}

TEST_F(PageDataTest, FilledPagesDecodeToTheirSourcePictures) {
    ASSERT_EQ(SetStretchOption(0), TOLLAN_OK);
    const std::string page = pages_.Path("random_p1.g3");
    const std::string sent = pages_.Path("sent.raw");
    const std::string filled = pages_.Path("filled.g3");
    const std::string plain_bmp = pages_.Path("plain.bmp");
    const std::string filled_bmp = pages_.Path("filled.bmp");
    FaxChannel &c = g_channels[2];
    c.io_timeout = 6000;
    c.scan_time = 3;  // 10 ms: lines of at least 36 bytes at 14400 bit/s
    c.bit_rate = 5;
    const std::string document = pages_.Path("random.tif");
    for (uint32_t seed = 1; seed <= 2; ++seed) {
        const std::string bmp = pages_.Write("random.bmp", RandomRunsBitmap(seed));
        ASSERT_EQ(BmpToG3(bmp.c_str(), page.c_str()), TOLLAN_OK);

        // The port is a plain file: it keeps what the modem would be given.
        c.comm_handle = open(sent.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_NE(c.comm_handle, -1);
        EXPECT_EQ(SendFaxData(PageRef{document.c_str(), 1, 2}, 2), TOLLAN_OK);
        close(c.comm_handle);
        const std::string data = Undoubled(FileBytes(sent));
        EXPECT_GT(data.size(), FileBytes(page).size() * 2);  // the lines were filled
        std::ofstream(filled, std::ios::binary) << data;

        ASSERT_EQ(G3ToBmp(page.c_str(), plain_bmp.c_str()), TOLLAN_OK);
        ASSERT_EQ(G3ToBmp(filled.c_str(), filled_bmp.c_str()), TOLLAN_OK);
        EXPECT_TRUE(FileBytes(plain_bmp) == FileBytes(filled_bmp)) << "seed " << seed;
    }
}

}  // namespace
