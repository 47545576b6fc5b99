// Error correction when receiving: frames found in page-rate data by the
// host, kept at their place only with a good check, the frames a PPR must
// name, the page decoded from its coding to MH, and the DIS and DCS bits a
// receiver offers and takes.
#include "class1_fixture.h"

namespace {

// Page-rate data as a sender puts it on the line: flags, then the frames.
std::vector<uint8_t> Line(const std::vector<std::string> &frames, int flags = 4) {
    std::vector<uint8_t> out;
    HdlcBits w{&out, 0, 0, 0};
    PutHdlcFlags(w, flags);
    for (const std::string &f : frames) PutHdlcFrame(w, reinterpret_cast<const uint8_t *>(f.data()), f.size());
    FinishHdlcBits(w);
    return out;
}

std::string Fcd(int number, const std::string &data) { return Bytes({0xFF, kControlNotFinal, kFcfFcd, static_cast<uint8_t>(number)}) + data; }
const std::string kRcpFrame = Bytes({0xFF, kControlNotFinal, kFcfRcp});

EcmReceive Start64(size_t limit = 1 << 20) {
    EcmReceive ecm{};
    StartEcmReceivePage(ecm, LineMode{kCodingMh, TOLLAN_ECM_64});
    ecm.limit = limit;
    return ecm;
}

void Feed(EcmReceive &ecm, const std::vector<uint8_t> &line) {
    HdlcReader r{};
    for (uint8_t b : line) FeedHdlc(r, b, ecm);
}

TEST(EcmReceiveTest, GoodFramesAreKeptAtTheirPlaceAndBadOnesAskedForAgain) {
    const std::string a(64, '\x7E'), b(64, '\x35'), c(64, '\xFF');  // flag-like, mixed, all ones
    EcmReceive ecm = Start64();
    std::vector<uint8_t> line = Line({Fcd(0, a), Fcd(2, c), kRcpFrame});
    Feed(ecm, line);
    EXPECT_TRUE(ecm.rcp_seen);
    EXPECT_EQ(EcmMapCount(ecm.received), 2);
    const EcmMap missing = MissingFrames(ecm, 3);
    EXPECT_EQ(EcmMapCount(missing), 1);
    EXPECT_TRUE(EcmMapHas(missing, 1));

    // Frame 1 damaged on the line: one bit flipped, its check fails.
    std::vector<uint8_t> damaged = Line({Fcd(1, b)});
    damaged[damaged.size() / 2] ^= 0x08;
    Feed(ecm, damaged);
    EXPECT_EQ(ecm.bad_frames, 1);
    EXPECT_FALSE(EcmMapHas(ecm.received, 1));
    Feed(ecm, Line({Fcd(1, b)}));
    EXPECT_EQ(EcmMapCount(MissingFrames(ecm, 3)), 0);
    EndEcmBlock(ecm, 3);
    EXPECT_EQ(ecm.block_start, 192u);
    EXPECT_EQ(std::string(ecm.page.begin(), ecm.page.end()), a + b + c);
}

TEST(EcmReceiveTest, FramesThatDoNotFitAreNotKept) {
    EcmReceive ecm = Start64(2 * 64);
    Feed(ecm, Line({Fcd(0, std::string(65, 'x')),  // longer than a frame
                    Fcd(2, std::string(64, 'y')),  // past the page's limit
                    Fcd(1, std::string(10, 'z')),  // shorter: kept, made up with zeros
                    Bytes({0xFF, 0x03}),           // no FCF
                    Bytes({0xFF, 0x03, kFcfFcd})}));  // no frame number
    EXPECT_TRUE(ecm.overflow);
    EXPECT_EQ(EcmMapCount(ecm.received), 1);
    ASSERT_EQ(ecm.page.size(), 128u);
    EXPECT_EQ(ecm.page[64], 'z');
    EXPECT_EQ(ecm.page[127], 0);
}

// An MMR page in frames, assembled and stored as MH: the rows come back.
TEST(EcmReceiveTest, APageInFramesDecodesToItsRows) {
    std::vector<uint8_t> rows(kLineWidth / 8 * 20);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<uint8_t>(i * 37 % 251);
    std::vector<uint8_t> mmr;
    G3Encoder e;
    StartG3Encoder(&e, kCodingMmr, 0, kLineWidth, &mmr);
    for (size_t y = 0; y < 20; ++y) EncodeG3Row(&e, rows.data() + y * kLineWidth / 8);
    FinishG3Encoder(&e);
    EcmReceive ecm{};
    StartEcmReceivePage(ecm, LineMode{kCodingMmr, TOLLAN_ECM_256});
    ecm.limit = 1 << 20;
    std::vector<std::string> frames;
    const int count = static_cast<int>((mmr.size() + 255) / 256);
    for (int n = count - 1; n >= 0; --n)  // any order
        frames.push_back(Fcd(n, std::string(mmr.begin() + n * 256, mmr.begin() + std::min<size_t>(mmr.size(), n * 256 + 256))));
    Feed(ecm, Line(frames));
    ASSERT_EQ(EcmMapCount(MissingFrames(ecm, count)), 0);
    EndEcmBlock(ecm, count);
    std::vector<uint8_t> mh;
    const LineDecode d = EcmPageAsMh(ecm, &mh);
    ASSERT_EQ(d.code, TOLLAN_OK);
    EXPECT_EQ(d.rows, 20);
    EXPECT_EQ(d.bad_rows, 0);
    std::vector<uint8_t> again;
    const LineDecode back = DecodeLinePage(mh.data(), mh.size(), kCodingMh, &again);
    EXPECT_EQ(back.rows, 20);  // the MH page keeps its first row
    EXPECT_EQ(again, mh);
}

TEST(EcmReceiveTest, DisOffersAndDcsMayAskOnlyForWhatTheSettingsAllow) {
    FaxChannel c{};
    c.bit_rate = 5;
    uint8_t dis[4] = {};
    BuildDis(dis, c);
    EXPECT_EQ(DisFieldLength(c), 3u);  // the default DIS stays as it was
    EXPECT_EQ(dis[1] & 0x80, 0);
    EXPECT_EQ(dis[2] & 0x80, 0);
    const uint8_t dcs_mr_ecm_mmr[] = {0x00, 0xA2, 0x88, 0x44};
    const uint8_t dcs_mr[] = {0x00, 0xA2, 0x08};
    const uint8_t dcs_uncompressed[] = {0x00, 0x22, 0x88, 0x06};
    EXPECT_EQ(DcsModulation(dcs_mr, 3, c), nullptr);
    EXPECT_EQ(DcsModulation(dcs_mr_ecm_mmr, 4, c), nullptr);

    c.error_correction = TOLLAN_ECM_256;
    c.codings = TOLLAN_COMPRESS_MH | TOLLAN_COMPRESS_MR | TOLLAN_COMPRESS_MMR;
    BuildDis(dis, c);
    EXPECT_EQ(DisFieldLength(c), 4u);
    EXPECT_EQ(dis[1] & 0x80, 0x80);
    EXPECT_EQ(dis[2] & 0x80, 0x80);
    EXPECT_EQ(dis[3], 0x44);
    EXPECT_NE(DcsModulation(dcs_mr, 3, c), nullptr);
    EXPECT_NE(DcsModulation(dcs_mr_ecm_mmr, 4, c), nullptr);
    EXPECT_EQ(DcsModulation(dcs_uncompressed, 4, c), nullptr);
    const LineMode mode = DcsLineMode(dcs_mr_ecm_mmr + 0, 4);
    EXPECT_EQ(mode.coding, kCodingMmr);
    EXPECT_EQ(mode.ecm, TOLLAN_ECM_256);

    c.codings = TOLLAN_COMPRESS_MH | TOLLAN_COMPRESS_MR;  // MMR not offered
    EXPECT_EQ(DcsModulation(dcs_mr_ecm_mmr, 4, c), nullptr);
}

}  // namespace
