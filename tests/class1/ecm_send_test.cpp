// Error correction when sending: the host's HDLC framing read back by an
// independent decoder, the frame fields read from hostile lengths, the
// choice of coding, and whole calls against a scripted modem in which the
// station asks for frames again, runs out of PPR rounds, or is never ready.
#include "class1_fixture.h"

#include <cstdio>

namespace {

// ---- HDLC read back bit by bit: flags, unstuffing, the check ----

std::vector<std::string> DecodeHdlc(const std::vector<uint8_t> &bytes) {
    std::vector<std::string> frames;
    std::string bits;
    for (uint8_t b : bytes)
        for (int i = 0; i < 8; ++i) bits += ((b >> i) & 1) ? '1' : '0';
    std::string frame_bits;
    bool in_frame = false;
    int ones = 0;
    for (size_t i = 0; i < bits.size(); ++i) {
        if (bits.compare(i, 8, "01111110") == 0) {
            if (in_frame && frame_bits.size() >= 32 && frame_bits.size() % 8 == 0) {
                std::string f;
                for (size_t k = 0; k < frame_bits.size(); k += 8) {
                    uint8_t v = 0;
                    for (int j = 0; j < 8; ++j) v |= static_cast<uint8_t>((frame_bits[k + j] - '0') << j);
                    f += static_cast<char>(v);
                }
                frames.push_back(f);
            }
            in_frame = true;
            frame_bits.clear();
            ones = 0;
            i += 7;
            continue;
        }
        if (!in_frame) continue;
        if (bits[i] == '0' && ones == 5) {  // a stuffed zero
            ones = 0;
            continue;
        }
        ones = bits[i] == '1' ? ones + 1 : 0;
        if (ones > 6) in_frame = false;  // idle ones: no frame
        frame_bits += bits[i];
    }
    return frames;
}

// A frame whose check is good, without it; "" when the check is bad.
std::string Checked(const std::string &frame) {
    const auto *p = reinterpret_cast<const uint8_t *>(frame.data());
    const size_t n = frame.size() - 2;
    const uint16_t fcs = HdlcFcs(p, n);
    if (p[n] != (fcs & 0xFF) || p[n + 1] != (fcs >> 8)) return "";
    return frame.substr(0, n);
}

TEST(EcmHdlcTest, FramesReadBackWhateverTheirBytes) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(HdlcFcs(check, sizeof check), 0x906E);  // the X.25 check value

    // Runs of ones, flag-like and DLE bytes in the data all come back.
    const std::string a = Bytes({0xFF, 0x03, 0x06, 0x00, 0xFF, 0xFF, 0x7E, 0x7E, 0x10, 0x03, 0xF8, 0x1F});
    const std::string b = Bytes({0xFF, 0x03, 0x86});
    std::vector<uint8_t> out;
    HdlcBits w{&out, 0, 0, 0};
    PutHdlcFlags(w, 3);
    PutHdlcFrame(w, reinterpret_cast<const uint8_t *>(a.data()), a.size());
    PutHdlcFrame(w, reinterpret_cast<const uint8_t *>(b.data()), b.size());
    FinishHdlcBits(w);
    const std::vector<std::string> frames = DecodeHdlc(out);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(Escaped(Checked(frames[0])), Escaped(a));
    EXPECT_EQ(Escaped(Checked(frames[1])), Escaped(b));
}

// ---- Frame fields from frames of any length ----

TEST(EcmFrameTest, FieldsAreReadOnlyFromWhatArrived) {
    PpsFields pps{};
    const uint8_t pps_frame[] = {kControlFinal, kFcfPps, kFcfEop, 3, 1, 0xFF};
    EXPECT_TRUE(ParsePps(pps_frame, sizeof pps_frame, &pps));
    EXPECT_EQ(pps.post_page, kFcfEop & 0xFE);
    EXPECT_EQ(pps.frames, 256);
    EXPECT_FALSE(ParsePps(pps_frame, sizeof pps_frame - 1, &pps));
    const uint8_t unknown_post_page[] = {kControlFinal, kFcfPps, 0x55, 0, 0, 0};
    EXPECT_FALSE(ParsePps(unknown_post_page, sizeof unknown_post_page, &pps));

    uint8_t ppr[2 + kEcmMapBytes];
    memset(ppr, 0xFF, sizeof ppr);
    EcmMap map{};
    EXPECT_FALSE(ParsePpr(ppr, sizeof ppr - 1, 10, &map));
    ASSERT_TRUE(ParsePpr(ppr, sizeof ppr, 10, &map));
    EXPECT_EQ(EcmMapCount(map), 10);  // frames past the block's are not asked for
    EXPECT_TRUE(EcmMapHas(map, 9));
    EXPECT_FALSE(EcmMapHas(map, 10));

    FcdFrame fcd{};
    const uint8_t fcd_frame[] = {kControlNotFinal, kFcfFcd, 7, 0xAA};
    for (size_t length = 0; length < 3; ++length) EXPECT_FALSE(ParseFcd(fcd_frame, length, &fcd)) << length;
    ASSERT_TRUE(ParseFcd(fcd_frame, sizeof fcd_frame, &fcd));
    EXPECT_EQ(fcd.number, 7);
    EXPECT_EQ(fcd.size, 1u);
}

// ---- The coding and error correction a DIS allows ----

TEST(LineModeTest, TheBestBothOfferWithMmrOnlyUnderErrorCorrection) {
    FaxChannel c{};
    const uint8_t mh_only[] = {0x00, 0x6E, 0x88, 0x00};
    const uint8_t mr_ecm_mmr[] = {0x00, 0xEE, 0x88, 0x44};
    const uint8_t ecm_bits_without_extension[] = {0x00, 0xEE, 0x08, 0x44};
    struct Case {
        const uint8_t *dis;
        int16_t ecm;
        int16_t codings;
        G3Coding coding;
        int16_t ecm_used;
        uint8_t dcs_byte4;
    } cases[] = {
        {mr_ecm_mmr, TOLLAN_ECM_OFF, TOLLAN_COMPRESS_MH, kCodingMh, TOLLAN_ECM_OFF, 0x00},  // the defaults
        {mr_ecm_mmr, TOLLAN_ECM_OFF, 7, kCodingMr, TOLLAN_ECM_OFF, 0x00},  // no MMR without ECM
        {mr_ecm_mmr, TOLLAN_ECM_64, 7, kCodingMmr, TOLLAN_ECM_64, 0x4C},
        {mr_ecm_mmr, TOLLAN_ECM_256, 3, kCodingMr, TOLLAN_ECM_256, 0x04},
        {mh_only, TOLLAN_ECM_256, 7, kCodingMh, TOLLAN_ECM_OFF, 0x00},
        {ecm_bits_without_extension, TOLLAN_ECM_256, 7, kCodingMr, TOLLAN_ECM_OFF, 0x00},
    };
    for (const Case &k : cases) {
        c.error_correction = k.ecm;
        c.codings = k.codings;
        const LineMode mode = ChooseLineMode(ReadDisOffer(k.dis), c);
        EXPECT_EQ(mode.coding, k.coding);
        EXPECT_EQ(mode.ecm, k.ecm_used);
        uint8_t dcs[] = {0x00, 0x62, 0x88, 0x00};
        SetLineModeBits(dcs, mode);
        EXPECT_EQ(dcs[3], k.dcs_byte4);
        EXPECT_EQ((dcs[1] & 0x80) != 0, mode.coding == kCodingMr);
        const LineMode back = DcsLineMode(dcs, sizeof dcs);
        EXPECT_EQ(back.coding, mode.coding);
        EXPECT_EQ(back.ecm, mode.ecm);
    }
}

// ---- Whole calls ----

// A V.17 receiver's DIS with ECM, and the DCS for ECM with 64-octet frames.
const std::string kDisEcm = ModemFrame(kFcfDis, Bytes({0x00, 0x6E, 0x88, 0x04}));
const std::string kDcsEcm64 = Bytes({0x00, 0x62, 0x88, 0x0C});

std::string Doubled(const std::vector<uint8_t> &bytes) {
    std::string s;
    for (uint8_t b : bytes) {
        if (b == kDle) s += static_cast<char>(kDle);
        s += static_cast<char>(b);
    }
    return s;
}

std::string Map(std::initializer_list<int> frames) {
    EcmMap map{};
    for (int f : frames) EcmMapSet(map, f);
    return std::string(map.begin(), map.end());
}

class EcmSendTest : public Class1Test {
protected:
    // An MH page of rows dots wide of noise: n rows make about 200 bytes each.
    void WritePage(int rows) {
        std::vector<uint8_t> mh = {0x00, 0x80};
        G3Encoder e;
        StartG3Encoder(&e, kCodingMh, 0, kLineWidth, &mh);
        std::vector<uint8_t> row(kLineWidth / 8);
        uint32_t seed = 12345;
        for (int y = 0; y < rows; ++y) {
            for (uint8_t &b : row) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
            EncodeG3Row(&e, row.data());
        }
        FinishG3Encoder(&e);
        const std::string path = pages_.Write("ecm_p1.g3", std::string(mh.begin(), mh.end()));
        FILE *f = fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(CodePageForLine(f, kMaxPageBytes, kCodingMh, 0, &ecm_.page), TOLLAN_OK);
        fclose(f);
        ecm_.frame_size = 64;
    }
    // The block starting at frame first of the page, with only these frames
    // (all when empty), at the modulation, then PPS.
    void Block(Dialogue &d, size_t first, int frames, std::initializer_list<int> only, const char *modulation,
               uint8_t post_page, int block) {
        ecm_.block_start = first * ecm_.frame_size;
        ecm_.frames = frames;
        ecm_.to_send = only.size() ? EcmMap{} : FullEcmMap(frames);
        for (int f : only) EcmMapSet(ecm_.to_send, f);
        const int rate = std::string(modulation) == "AT+FTM=146\r" ? 5 : 4;
        d.On("AT+FTS=8\r", kOk)
            .On(modulation, kConnect)
            .On(Doubled(EcmBlockBytes(ecm_, rate)) + kDleEtx, kOk)
            .On("AT+FTH=3\r", kConnect)
            .On(HostFrame(kControlFinal, kFcfPps,
                          Bytes({post_page, 0, static_cast<uint8_t>(block), static_cast<uint8_t>(frames - 1)})),
                kOk);
    }
    int Frames() const { return static_cast<int>((ecm_.page.size() + 63) / 64); }
    uint16_t Send() {
        const int32_t ch = Attach();
        g_channels[ch].error_correction = TOLLAN_ECM_64;
        return SendClass1Fax(ch, "5551234", pages_.Path("ecm.tif").c_str(), 1);
    }
    EcmSend ecm_{};
};

TEST_F(EcmSendTest, PprFramesGoAgainThenCtcAtALowerRateThenEor) {
    WritePage(10);
    const int n = Frames();
    ASSERT_GT(n, 3);
    Dialogue d(modem_);
    d.Dial(kDisEcm).TsiDcs(IdentityField("12345"), kDcsEcm64).Training("AT+FTM=145\r", 2700);
    d.Deliver(ModemFrame(kFcfCfr));
    Block(d, 0, n, {}, "AT+FTM=146\r", kFcfEop, 0);
    // Three rounds of PPR: only the frames named go again.
    for (int round = 0; round < 3; ++round) {
        d.Deliver(ModemFrame(kFcfPpr, Map({1, n - 1})));
        Block(d, 0, n, {1, n - 1}, "AT+FTM=146\r", kFcfEop, 0);
    }
    // The fourth: CTC one rate lower (12000), confirmed with CTR; the
    // block goes at that rate.
    d.Deliver(ModemFrame(kFcfPpr, Map({2})))
        .On("AT+FTH=3\r", kConnect)
        .On(HostFrame(kControlFinal, kFcfCtc, Bytes({0x00, 0x6A})), kOk)
        .Deliver(ModemFrame(kFcfCtr));
    Block(d, 0, n, {2}, "AT+FTM=122\r", kFcfEop, 0);
    for (int round = 0; round < 3; ++round) {
        d.Deliver(ModemFrame(kFcfPpr, Map({2})));
        Block(d, 0, n, {2}, "AT+FTM=122\r", kFcfEop, 0);
    }
    // Four more: the block is given up with EOR, and ERR ends the page.
    d.Deliver(ModemFrame(kFcfPpr, Map({2})))
        .On("AT+FTH=3\r", kConnect)
        .On(HostFrame(kControlFinal, kFcfEor, Bytes({kFcfEop})), kOk)
        .Deliver(ModemFrame(kFcfErr))
        .Frame(kFcfDcn)
        .Hangup();
    EXPECT_EQ(Send(), TOLLAN_OK);
    ExpectDialogue(d);
    EXPECT_EQ(g_channels[0].pages_sent, 1);
    EXPECT_TRUE(Traced("ChangePhase: sending a page -> sending a block"));
    EXPECT_TRUE(Traced("SendEor: block 0 given up"));
}

TEST_F(EcmSendTest, APageOfTwoBlocksGoesWithPpsNullThenEop) {
    WritePage(50);  // more than 256 frames of 64 octets, at most 512
    const int n = Frames();
    ASSERT_GT(n, 256);
    ASSERT_LE(n, 512);
    Dialogue d(modem_);
    d.Dial(kDisEcm).TsiDcs(IdentityField("12345"), kDcsEcm64).Training("AT+FTM=145\r", 2700);
    d.Deliver(ModemFrame(kFcfCfr));
    Block(d, 0, 256, {}, "AT+FTM=146\r", kPostPageNull, 0);
    d.Deliver(ModemFrame(kFcfMcf));
    Block(d, 256, n - 256, {}, "AT+FTM=146\r", kFcfEop, 1);
    d.Deliver(ModemFrame(kFcfMcf)).Frame(kFcfDcn).Hangup();
    EXPECT_EQ(Send(), TOLLAN_OK);
    ExpectDialogue(d);
    EXPECT_EQ(g_channels[0].pages_sent, 1);
}

TEST_F(EcmSendTest, AStationNeverReadyIsPolledABoundedNumberOfTimes) {
    WritePage(2);
    Dialogue d(modem_);
    d.Dial(kDisEcm).TsiDcs(IdentityField("12345"), kDcsEcm64).Training("AT+FTM=145\r", 2700);
    d.Deliver(ModemFrame(kFcfCfr));
    Block(d, 0, Frames(), {}, "AT+FTM=146\r", kFcfEop, 0);
    for (int poll = 0; poll < kEcmMaxRrPolls; ++poll) d.Deliver(ModemFrame(kFcfRnr)).Frame(kFcfRr);
    d.Deliver(ModemFrame(kFcfRnr)).Frame(kFcfDcn).Hangup();
    EXPECT_EQ(Send(), TOLLAN_E_RETRIES);
    ExpectDialogue(d);
    EXPECT_EQ(g_channels[0].pages_sent, 0);
}

// PPR, RNR and the like outside a block's exchange count as unknown frames.
TEST_F(EcmSendTest, BlockAnswersOutOfPlaceAreRepeatsLikeAnyFrame) {
    Dialogue d(modem_);
    pages_.Write("ecm_p1.g3", kPage);
    d.Dial(kDisEcm).TsiDcs(IdentityField("12345"), kDcsEcm64).Training("AT+FTM=145\r", 2700);
    for (int i = 0; i <= kMaxCommandRepeats + 1; ++i) d.Deliver(ModemFrame(kFcfPpr, Map({0})));
    d.Frame(kFcfDcn).Hangup();
    EXPECT_EQ(Send(), TOLLAN_E_RETRIES) << trace_->Text();
    ExpectDialogue(d);
}

}  // namespace
