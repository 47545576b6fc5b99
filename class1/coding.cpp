// What T.30 frames carry: frame kinds, the bit-rate table with the DCS rate
// bits and training lengths, the DCS bits for resolution and scan time, and
// station identities. Nothing here talks to a modem.
#include <array>
#include <cstring>

#include "class1/class1.h"
#include "engine/trace.h"
#include "modem/identity.h"

namespace {

// DCS information field: byte 2 (index 1) and byte 3 (index 2).
constexpr uint8_t kDcsFine = 0x40;       // bit 15: 7.7 lines/mm
constexpr uint8_t kDcsRateMask = 0x3C;   // bits 11 to 14: data signalling rate
constexpr uint8_t kDcsB4 = 0x01;         // bit 17: first recording-width bit
constexpr uint8_t kDcsScanMask = 0x70;   // bits 21 to 23: minimum scan line time
constexpr uint8_t kDcsMr = 0x80;         // bit 16: two-dimensional coding
constexpr uint8_t kDcsExtend = 0x80;     // bit 24: a fourth byte follows
// Byte 4 (index 3).
constexpr uint8_t kDcsEcm = 0x04;        // bit 27: error correction
constexpr uint8_t kDcsEcm64 = 0x08;      // bit 28: 64-octet frames (DCS only)
constexpr uint8_t kDcsMmr = 0x40;        // bit 31: T.6 coding

// Rate bits and training check length (1.5 s of zero bytes) by bit-rate code.
struct RateEntry {
    uint8_t dcs_bits;
    uint32_t training_bytes;
};
constexpr std::array<RateEntry, kBitRateCodes> kRates = {{
    {0x00, 450},   // 2400 V.27 ter
    {0x08, 900},   // 4800 V.27 ter
    {0x0C, 1350},  // 7200 V.29
    {0x04, 1800},  // 9600 V.29
    {0x28, 2250},  // 12000 V.17
    {0x20, 2700},  // 14400 V.17
}};
constexpr int16_t kBitRate4800 = 1;
constexpr int16_t kBitRate9600 = 3;
constexpr int kBitRate14400 = 5;

// Scan time bits by scan exponent; every other exponent means 20 ms (0x00).
struct ScanEntry {
    int exponent;
    uint8_t dcs_bits;
};
constexpr std::array<ScanEntry, 4> kScanBits = {{
    {0, 0x70},  // 0 ms
    {1, 0x10},  // 5 ms
    {2, 0x20},  // 10 ms
    {6, 0x40},  // 40 ms
}};

}  // namespace

FrameKind KindOf(uint8_t fcf) {
    switch (fcf) {
    case kFcfNsf: return kKindNsf;
    case kFcfCsi: return kKindCsi;
    case kFcfTsi:
    case kFcfTsiX: return kKindTsi;
    case kFcfDis: return kKindDis;
    case kFcfDcs: return kKindDcs;
    case kFcfCfr: return kKindCfr;
    case kFcfFtt: return kKindFtt;
    case kFcfMcf: return kKindMcf;
    case kFcfRtn: return kKindRtn;
    case kFcfRtp: return kKindRtp;
    case kFcfEop: return kKindEop;
    case kFcfMps: return kKindMps;
    case kFcfEom: return kKindEom;
    case kFcfDcnX:
    case kFcfDcn: return kKindDcn;
    default: break;
    }
    // The answers to error correction commands, whichever X bit they carry.
    switch (fcf & 0xFE) {
    case kFcfPpr: return kKindPpr;
    case kFcfCtr: return kKindCtr;
    case kFcfErr: return kKindErr;
    case kFcfRnr: return kKindRnr;
    default: return kKindUnknown;
    }
}

bool ValidRate(int bit_rate) { return bit_rate >= 0 && bit_rate < kBitRateCodes; }

uint32_t TrainingBytes(int bit_rate) {
    return ValidRate(bit_rate) ? kRates[static_cast<size_t>(bit_rate)].training_bytes : 0;
}

int DcsRate(const uint8_t *dcs_fif) {
    const uint8_t bits = dcs_fif[1] & kDcsRateMask;
    for (size_t code = 0; code < kRates.size(); ++code)
        if (kRates[code].dcs_bits == bits) return static_cast<int>(code);
    return -1;
}

void SetParam(uint8_t *dcs_fif, int isfine, int isb4) {
    FaxTrace("SetParam: isfine = %d isb4 = %d cmd[1]=%x cmd[2]=%x", isfine, isb4, dcs_fif[1], dcs_fif[2]);
    dcs_fif[1] = static_cast<uint8_t>(isfine ? dcs_fif[1] | kDcsFine : dcs_fif[1] & ~kDcsFine);
    dcs_fif[2] = static_cast<uint8_t>(isb4 ? dcs_fif[2] | kDcsB4 : dcs_fif[2] & ~kDcsB4);
    FaxTrace("SetParam: isfine = %d isb4 = %d cmd[1]=%x cmd[2]=%x", isfine, isb4, dcs_fif[1], dcs_fif[2]);
}

void SetRateBits(uint8_t *dcs_fif, int bit_rate) {
    const uint8_t bits = ValidRate(bit_rate) ? kRates[static_cast<size_t>(bit_rate)].dcs_bits : 0x00;
    dcs_fif[1] = static_cast<uint8_t>((dcs_fif[1] & ~kDcsRateMask) | bits);
    if (bit_rate == kBitRate14400) FaxTrace("setting 14400 speed");
}

void SetScanBits(uint8_t *dcs_fif, int exponent) {
    uint8_t bits = 0x00;
    for (const ScanEntry &e : kScanBits)
        if (e.exponent == exponent) bits = e.dcs_bits;
    dcs_fif[2] = static_cast<uint8_t>((dcs_fif[2] & ~kDcsScanMask) | bits);
}

// V.27 ter only gives 4800, V.29 at most 9600; V.17 leaves the rate as it is.
int16_t AdjustBitRate(const uint8_t *dis_fif, int16_t bit_rate) {
    switch (dis_fif[1] & kDcsRateMask) {
    case 0x00:
    case 0x08: return kBitRate4800;
    case 0x04:
    case 0x0C: return bit_rate > kBitRate4800 ? kBitRate9600 : bit_rate;
    default: return bit_rate;
    }
}

// The identity travels last character first in a field of 20, padded with
// spaces; of a longer identity the last 20 characters are sent.
void BuildTsiId(uint8_t *identity, const char *local_id) {
    const size_t length = strlen(local_id);
    const size_t used = length < kIdentityLength ? length : kIdentityLength;
    for (size_t i = 0; i < used; ++i) identity[i] = static_cast<uint8_t>(local_id[length - 1 - i]);
    for (size_t i = used; i < kIdentityLength; ++i) identity[i] = ' ';
}

// Takes the remote identity out of a received field, back in writing order:
// its printable characters, spaces inside it kept ("+49 30 1234"), the
// padding around it trimmed.
void CopyFIF(const uint8_t *start, int32_t channel) {
    char field[kIdentityLength];
    for (size_t i = 0; i < kIdentityLength; ++i) field[i] = static_cast<char>(start[kIdentityLength - 1 - i]);
    char *remote = g_channels[channel].reports.remote_id;
    FaxNormaliseIdentity(field, kIdentityLength, remote, sizeof g_channels[channel].reports.remote_id);
    FaxTrace("CopyFIF: remote = %s", remote);
}

DisOffer ReadDisOffer(const uint8_t *dis_fif) {
    const bool fourth = (dis_fif[2] & kDcsExtend) != 0;
    const bool ecm = fourth && (dis_fif[3] & kDcsEcm) != 0;
    return {(dis_fif[1] & kDcsMr) != 0, ecm && (dis_fif[3] & kDcsMmr) != 0, ecm};
}

// MMR only with error correction, on both sides; MR where both offer it.
LineMode ChooseLineMode(const DisOffer &offer, const FaxChannel &c) {
    const int32_t codings = OfferedCodings(c);
    const int16_t ecm = offer.ecm ? c.error_correction : int16_t{TOLLAN_ECM_OFF};
    if (ecm != TOLLAN_ECM_OFF && offer.mmr && (codings & TOLLAN_COMPRESS_MMR)) return {kCodingMmr, ecm};
    if (offer.mr && (codings & TOLLAN_COMPRESS_MR)) return {kCodingMr, ecm};
    return {kCodingMh, ecm};
}

// Only bits for what is on are set: a plain MH call's DCS stays as it was.
void SetLineModeBits(uint8_t *dcs_fif, const LineMode &mode) {
    dcs_fif[1] = static_cast<uint8_t>(dcs_fif[1] & ~kDcsMr);
    dcs_fif[3] = static_cast<uint8_t>(dcs_fif[3] & ~(kDcsEcm | kDcsEcm64 | kDcsMmr));
    if (mode.coding == kCodingMr) dcs_fif[1] |= kDcsMr;
    if (mode.coding == kCodingMmr) dcs_fif[3] |= kDcsMmr;
    if (mode.ecm != TOLLAN_ECM_OFF) dcs_fif[3] |= kDcsEcm;
    if (mode.ecm == TOLLAN_ECM_64) dcs_fif[3] |= kDcsEcm64;
}

int32_t LineModeCompression(const LineMode &mode) {
    constexpr int32_t kCompression[] = {TOLLAN_COMPRESS_MH, TOLLAN_COMPRESS_MR, TOLLAN_COMPRESS_MMR};
    static_assert(kCodingMh == 0 && kCodingMr == 1 && kCodingMmr == 2, "indexed by G3Coding");
    return kCompression[mode.coding];
}

LineMode DcsLineMode(const uint8_t *dcs_fif, size_t length) {
    const bool fourth = length >= 4 && (dcs_fif[2] & kDcsExtend) != 0;
    LineMode mode{(length >= 2 && (dcs_fif[1] & kDcsMr)) ? kCodingMr : kCodingMh, TOLLAN_ECM_OFF};
    if (!fourth) return mode;
    if (dcs_fif[3] & kDcsEcm) mode.ecm = (dcs_fif[3] & kDcsEcm64) ? TOLLAN_ECM_64 : TOLLAN_ECM_256;
    if (dcs_fif[3] & kDcsMmr) mode.coding = kCodingMmr;
    return mode;
}
