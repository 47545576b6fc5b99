// Page data: which file is sent, how its bytes reach the modem (DLE doubled,
// short scan lines filled), and where the transfer stops.
#include <sys/stat.h>

#include "class1_fixture.h"

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

TEST_F(PageDataTest, TheLastDotOfTheWholeNameCutsIt) {
    PageDir dotted;  // a directory with a dot in its name and no dot in the file part
    const std::string dir = dotted.Path("fax.dir");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    dotted.Write("fax_p1.g3", "\x07");
    const int32_t ch = Prepare(dir + "/report", 2);
    EXPECT_EQ(SendFaxData(ch), TOLLAN_OK);
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped("\x07"));
    rmdir(dir.c_str());
}

TEST_F(PageDataTest, AOnePageCallFallsBackToTheBaseFileItself) {
    const std::string base = pages_.Write("single.g3", "\x05\x06");
    const int32_t ch = Prepare(base, 1);
    EXPECT_EQ(SendFaxData(ch), TOLLAN_OK);
    EXPECT_EQ(Escaped(WrittenSoFar()), Escaped("\x05\x06"));
}

TEST_F(PageDataTest, MissingFilesAndNamesWithoutADot) {
    pages_.Write("doc_p1.g3", "\x01");
    int32_t ch = Prepare(pages_.Path("doc.tif"), 3, 1);  // page 2 is missing
    EXPECT_EQ(SendFaxData(ch), TOLLAN_E_NO_PAGE_FILE);
    g_channels[ch].pages_total = 1;  // one page: the base file is missing too
    EXPECT_EQ(SendFaxData(ch), TOLLAN_E_NO_PAGE_FILE);
    snprintf(g_channels[ch].fax_file, sizeof g_channels[ch].fax_file, "%s", "/tmp/nodot");
    EXPECT_EQ(SendFaxData(ch), TOLLAN_E_FILE_NAME);
    EXPECT_TRUE(Traced("SendFaxData: file name invalid since no dot /tmp/nodot"));
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

}  // namespace
