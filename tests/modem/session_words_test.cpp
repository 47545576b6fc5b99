// Session parameters in words: known frames and reports, the bits and values
// no table names, fields cut short, and buffers too small.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/tollan.h"
#include "modem/session_words.h"
#include "support/scripted_modem.h"

namespace {

std::string Frame(FaxSessionKind kind, const std::vector<uint8_t> &fif) {
    char out[kSessionWordsSize];
    FaxFrameWords(kind, fif.data(), fif.size(), out, sizeof out);
    return out;
}

std::string Report(FaxSessionKind kind, const std::vector<int32_t> &values) {
    char out[kSessionWordsSize];
    FaxReportWords(kind, values.data(), static_cast<int>(values.size()), out, sizeof out);
    return out;
}

TEST(SessionWords, KnownFrames) {
    // A V.17 receiver's DIS and the DCS the library sends it.
    EXPECT_EQ(Frame(FaxSessionKind::kDis, {0x00, 0x6E, 0x04}),
              "V.27 ter, V.29 and V.17 up to 14400, standard/fine, A4 1728 dots, unlimited length, MH, no ECM, "
              "scan 20 ms, can receive");
    EXPECT_EQ(Frame(FaxSessionKind::kDcs, {0x00, 0x62, 0x88, 0x00}),
              "V.17 14400, fine, A4 1728 dots, B4 length, MH, no ECM, scan 20 ms");
    // V.29 9600, MR bit, B4 width, unlimited, 0 ms; ECM with 64-octet frames and MMR.
    EXPECT_EQ(Frame(FaxSessionKind::kDcs, {0x00, 0xC4, 0xF5, 0x4C}),
              "V.29 9600, fine, B4 2048 dots, unlimited length, MMR, ECM 64-octet frames, scan 0 ms");
    EXPECT_EQ(Frame(FaxSessionKind::kDtc, {0x00, 0xCE, 0xF6, 0xC4, 0x80, 0x03}),
              "V.27 ter and V.29 up to 9600, standard/fine/superfine/300x300, up to A3 2432 dots, unlimited length, "
              "MH/MR/MMR, ECM, scan 0 ms, can receive");
}

TEST(SessionWords, FieldsCutShortAndBitsNoTableNames) {
    // Bits past the field's end are 0; the fourth byte counts only after the extend bit.
    EXPECT_EQ(Frame(FaxSessionKind::kDcs, {0x00}), "V.27 ter 2400, standard, A4 1728 dots, A4 length, MH, no ECM, scan 20 ms");
    EXPECT_EQ(Frame(FaxSessionKind::kDcs, {0x00, 0x20, 0x00, 0x44}), Frame(FaxSessionKind::kDcs, {0x00, 0x20, 0x00}));
    EXPECT_EQ(Frame(FaxSessionKind::kDcs, {0x00, 0x3C, 0x3F}),
              "rate bits 15 invalid, standard, width bits 3 invalid, length bits 3 invalid, MH, no ECM, scan bits 3 invalid");
}

TEST(SessionWords, Reports) {
    EXPECT_EQ(Report(FaxSessionKind::kDcs, {1, 5, 0, 2, 0, 0, 0, 5}),
              "fine, 14400 bit/s, A4 1728 dots, unlimited length, MH, no ECM, scan 20 ms");
    EXPECT_EQ(Report(FaxSessionKind::kDis, {1, 3, 1, 1, 3, 2, 1, 0}),
              "standard/fine, up to 9600 bit/s, B4 2048 dots, B4 length, MH/MR/MMR, ECM 256-octet frames, "
              "file transfer, scan 0 ms");
    EXPECT_EQ(Report(FaxSessionKind::kDcs, {200, 99, -1}), "resolution 200 invalid, bit rate 99 invalid, width -1 invalid");
    EXPECT_EQ(Report(FaxSessionKind::kDcs, {}), "");
}

TEST(SessionWords, SmallBuffersAreCutAndTerminated) {
    const std::vector<uint8_t> dcs = {0x00, 0x62, 0x88, 0x00};
    const std::string whole = Frame(FaxSessionKind::kDcs, dcs);
    for (size_t size : {1u, 2u, 10u, 40u}) {
        char out[64];
        memset(out, 'x', sizeof out);
        FaxFrameWords(FaxSessionKind::kDcs, dcs.data(), dcs.size(), out, size);
        EXPECT_EQ(std::string(out), whole.substr(0, size - 1)) << size;
    }
}

TEST(SessionWords, TracesFramesAndReportsOneLineEach) {
    TraceCapture trace;
    const uint8_t dcs[] = {0xFF, 0x13, 0x83, 0x00, 0x62, 0x88, 0x00};
    FaxTraceFrameWords(dcs + 1, sizeof dcs - 1);
    const uint8_t mcf[] = {0x13, 0x8C};
    FaxTraceFrameWords(mcf, sizeof mcf);
    FaxTraceReportWords("+FCS:1,5,0,2,0,0,0,5");
    FaxTraceReportWords("+FPS:1,2200,0,0,0");
    const std::string text = trace.Text();
    EXPECT_NE(text.find("DCS: V.17 14400, fine, A4 1728 dots, B4 length, MH, no ECM, scan 20 ms [00 62 88 00]"),
              std::string::npos) << text;
    EXPECT_NE(text.find("DCS: fine, 14400 bit/s"), std::string::npos) << text;
    EXPECT_EQ(text.find("MCF"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
}

}  // namespace
