// Page data: which file is sent, how its bytes reach the modem (DLE doubled,
// short scan lines filled), and where the transfer stops.
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "class1_fixture.h"
#include "class2/class2.h"

namespace {

class PageDataTest : public Class1Test {
protected:
    // Attaches a silent modem and sets up the call state of a sending call.
    int32_t Prepare(const std::string &fax_file, int16_t pages_total, int16_t pages_sent = 0) {
        const int32_t ch = Attach();
        FaxChannel &c = g_channels[ch];
        snprintf(c.fax_file, sizeof c.fax_file, "%s", fax_file.c_str());
        c.pages_total = pages_total;
        c.pages_sent = pages_sent;
        c.class1_mode = 2;
        return ch;
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
    const int32_t ch = Prepare(pages_.Path("report.tif"), 3);
    EXPECT_EQ(SendFaxData(ch), TOLLAN_OK);
    g_channels[ch].pages_sent = 2;
    EXPECT_EQ(SendFaxData(ch), TOLLAN_OK);
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped("\x01\x03"));
}

TEST_F(PageDataTest, PagesAreSentUnderTheNamesReceivedPagesGet) {
    // A dot in a folder name, and a base with no extension at all.
    PageDir dotted;
    const std::string dir = dotted.Path("fax.dir");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const int32_t ch = Prepare("", 2, 1);
    for (const std::string &base : {pages_.Path("letter.tif"), dir + "/report", pages_.Path("plain")}) {
        char name[kFaxPathSize];
        ASSERT_TRUE(FaxPageFileName(name, base.c_str(), 2, ".g3"));
        std::ofstream(name, std::ios::binary) << "\x42";
        snprintf(g_channels[ch].fax_file, sizeof g_channels[ch].fax_file, "%s", base.c_str());
        EXPECT_EQ(SendFaxData(ch), TOLLAN_OK) << base;
        remove(name);
    }
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped("\x42\x42\x42"));
    rmdir(dir.c_str());
}

TEST_F(PageDataTest, AOnePageCallFallsBackToTheBaseFileItself) {
    const std::string base = pages_.Write("single.g3", "\x05\x06");
    const int32_t ch = Prepare(base, 1);
    EXPECT_EQ(SendFaxData(ch), TOLLAN_OK);
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped("\x05\x06"));
}

TEST_F(PageDataTest, MissingPageFiles) {
    pages_.Write("doc_p1.g3", "\x01");
    int32_t ch = Prepare(pages_.Path("doc.tif"), 3, 1);  // page 2 is missing
    EXPECT_EQ(SendFaxData(ch), TOLLAN_E_NO_PAGE_FILE);
    g_channels[ch].pages_total = 1;  // one page: the base file is missing too
    EXPECT_EQ(SendFaxData(ch), TOLLAN_E_NO_PAGE_FILE);
    EXPECT_EQ(WrittenSoFar(), "");
}

TEST_F(PageDataTest, AnUnreadablePageFileFailsThePage) {
    // A directory opens for reading but every read fails.
    const std::string page = pages_.Path("bad_p1.g3");
    ASSERT_EQ(mkdir(page.c_str(), 0700), 0);
    const int32_t ch = Prepare(pages_.Path("bad.tif"), 2);
    EXPECT_EQ(SendFaxData(ch), TOLLAN_E_FILE_NAME);
    EXPECT_NE(g_last_error, 0);
    rmdir(page.c_str());
}

TEST_F(PageDataTest, DleIsDoubledAndTheTransferStopsAtTheRtc) {
    const std::string line = Bytes({0x00, 0x80, 0x10, 0x5A, 0x6B});
    pages_.Write("p_p1.g3", line + kRtc + kAfterRtc);
    const int32_t ch = Prepare(pages_.Path("p.g3"), 2);
    EXPECT_EQ(SendFaxData(ch), TOLLAN_OK);
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped(Bytes({0x00, 0x80, 0x10, 0x10, 0x5A, 0x6B}) + kRtc));
    EXPECT_EQ(g_channels[ch].rtc_seen, 1);
    EXPECT_TRUE(Traced("ChkRTC: eol count is six"));
    EXPECT_TRUE(Traced("SendFaxData: sent 13 bytes"));
}

TEST_F(PageDataTest, NoFillWithScanTimeZero) {
    const std::string page = Bytes({0x00, 0x80, 0x00, 0x80, 0x11, 0x00, 0x80});
    pages_.Write("z_p1.g3", page);
    const int32_t ch = Prepare(pages_.Path("z.g3"), 2);
    g_channels[ch].scan_time = 0;
    EXPECT_EQ(SendFaxData(ch), TOLLAN_OK);
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped(page));
}

TEST_F(PageDataTest, ShortScanLinesAreFilledUpToTheTarget) {
    // scan_time 2 at 9600 bit/s: unit 4, exponent 1, target 8 bytes.
    const int32_t ch = Prepare(pages_.Path("f.g3"), 2);
    g_channels[ch].scan_time = 2;
    g_channels[ch].bit_rate = 3;
    const std::string input = Bytes({0x11, 0x22, 0x33, 0x00, 0x80,                   // count 4 at the EOL
                                     0x11, 0x22, 0x33, 0x00, 0x80,                   // count 5
                                     0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x00, 0x80});  // count 9
    for (char b : input) ASSERT_EQ(TTYOut(static_cast<uint8_t>(b), ch), TOLLAN_OK);
    const std::string expected = Bytes({0x11, 0x22, 0x33, 0x00}) + Zeros(4) + "\x80" +
                                 Bytes({0x11, 0x22, 0x33, 0x00}) + Zeros(3) + "\x80" +
                                 Bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x00, 0x80});
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped(expected));
    EXPECT_TRUE(Traced("Out: eol found scan=1, i = 8, count = 5 4"));
}

TEST_F(PageDataTest, FillGoesOnlyIntoTheZeroRunOfAnEol) {
    // scan_time 2 at 9600 bit/s: target 8 bytes a line.
    const int32_t ch = Prepare(pages_.Path("g.g3"), 2);
    g_channels[ch].scan_time = 2;
    g_channels[ch].bit_rate = 3;
    const std::string input = Bytes({0x11, 0x22, 0x81, 0x00, 0x02,  // nine 0 bits inside a line
                                     0x08, 0x80,                    // 4 + 7 = 11 0 bits and a 1: an EOL
                                     0x00, 0x10});                  // an EOL ended by a DLE
    for (char b : input) ASSERT_EQ(TTYOut(static_cast<uint8_t>(b), ch), TOLLAN_OK);
    const std::string expected = Bytes({0x11, 0x22, 0x81, 0x00, 0x02, 0x08}) + Zeros(2) + "\x80" + Zeros(1) +
                                 Zeros(6) + "\x10\x10";  // the DLE pair stays whole
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped(expected));
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
    c.pages_total = 2;
    snprintf(c.fax_file, sizeof c.fax_file, "%s", pages_.Path("random.tif").c_str());
    for (uint32_t seed = 1; seed <= 2; ++seed) {
        const std::string bmp = pages_.Write("random.bmp", RandomRunsBitmap(seed));
        ASSERT_EQ(BmpToG3(bmp.c_str(), page.c_str()), TOLLAN_OK);

        // The port is a plain file: it keeps what the modem would be given.
        c.comm_handle = open(sent.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_NE(c.comm_handle, -1);
        c.pages_sent = 0;
        EXPECT_EQ(SendFaxData(2), TOLLAN_OK);
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
