// AbortCall as a real T.30 terminal (spandsp's) calls through a real class 1
// modem (spandsp's T.31): caught as the modem answered and sends the called
// station's flags, ReceiveClass1Fax hands the modem DCN as its next frame
// and hangs up within a second of the library's clock, and the caller hears
// DCN while it waits for DIS.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "engine/channel.h"
#include "engine/tollan.h"
#include "modem/modem_io.h"
#include "platform/platform.h"
#include "support/scripted_modem.h"
#include "t31_line.h"

#include <spandsp.h>
#include <tiffio.h>

namespace {


// A one-page blank document for the caller, which opens it before it calls.
bool WriteBlankTiff(const std::string &path) {
    constexpr uint32_t kWidth = 1728, kRows = 16;
    TIFF *tiff = TIFFOpen(path.c_str(), "w");
    if (!tiff) return false;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, kRows);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 204.0f);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 98.0f);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, kRows);
    std::string row(kWidth / 8, '\0');
    bool written = true;
    for (uint32_t y = 0; y < kRows && written; ++y) written = TIFFWriteScanline(tiff, row.data(), y, 0) >= 0;
    TIFFClose(tiff);
    return written;
}

// Aborts the call from its progress callback once it reaches the negotiation,
// and notes the library's clock then.
struct AbortAtNegotiation {
    uint32_t at_tick = 0;
    bool fired = false;
    static void Heard(int32_t channel, const TollanProgress *p, void *self) {
        auto *me = static_cast<AbortAtNegotiation *>(self);
        if (me->fired || p->phase != TOLLAN_PHASE_NEGOTIATION) return;
        me->fired = true;
        me->at_tick = PlatTickCount();
        AbortCall(channel);
    }
};

class AbortThroughT31Test : public T31PeerTest {};

TEST_F(AbortThroughT31Test, AnsweredCallEndsWithDcnAsTheModemsNextFrame) {
    ASSERT_TRUE(WriteBlankTiff(dir_ + "/sent.tif"));
    T31Line line(T30Caller{dir_ + "/sent.tif", false});
    ProfileFile profile("[Ports]\nCOM1=" + line.Device() + "\n");
    const int32_t ch = OpenClass1("+1 555 0199", 1);
    ASSERT_GE(ch, 0);
    AbortAtNegotiation abort;
    ASSERT_EQ(SetProgressCallback(ch, &AbortAtNegotiation::Heard, &abort), TOLLAN_OK);

    ASSERT_TRUE(RingUntilHeard(line, ch));
    int16_t pages = -1;
    const uint16_t result = ReceiveClass1Fax(ch, (dir_ + "/in.tif").c_str(), &pages);
    const uint32_t after_abort = PlatElapsed(abort.at_tick);
    SetProgressCallback(ch, nullptr, nullptr);
    const std::string log = TraceLog();
    ASSERT_TRUE(abort.fired) << log;
    EXPECT_EQ(result, TOLLAN_E_ABORTED) << log;
    EXPECT_LE(after_abort, 1000u) << "ms of library time from AbortCall to the call's return\n" << log;
    EXPECT_NE(log.find("FaxEndCall: DCN as the modem's next frame"), std::string::npos) << log;
    EXPECT_EQ(pages, 0);
    EXPECT_EQ(FaxModemCommand("AT\r\n", ch), TOLLAN_OK) << "the modem is back in command mode";
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);
    ASSERT_TRUE(line.WaitForEnd(10000));
    EXPECT_EQ(line.CompletionCode(), T30_ERR_TX_GOTDCN) << t30_completion_code_to_str(line.CompletionCode());
}

}  // namespace
