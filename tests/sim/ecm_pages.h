// Pages for error correction sessions: drawn rows, coded as a page file
// (MH) or as the line carries them (MR, MMR), and decoded back to rows.
#pragma once

#include <string>
#include <vector>

#include "image/g3_codec.h"

namespace simtest {

constexpr int32_t kEcmWidth = 1728;
constexpr int32_t kEcmRowBytes = kEcmWidth / 8;
constexpr int kDfMh = 0, kDfMr = 1, kDfMmr = 3;  // as the emulator's stations number codings

inline G3Coding CodingOfDf(int df) { return df == kDfMr ? kCodingMr : df == kDfMmr ? kCodingMmr : kCodingMh; }

// Frames, a slanted stroke and a busy band: rows that code to a few
// kilobytes, so a page spans several frames and, at 64 octets, blocks.
inline std::string DrawRows(int32_t rows, int32_t step) {
    std::vector<uint8_t> bits(static_cast<size_t>(rows) * kEcmRowBytes);
    for (int32_t y = 0; y < rows; ++y) {
        uint8_t *row = bits.data() + static_cast<size_t>(y) * kEcmRowBytes;
        if (y % 50 < 3) FillBlack(row, 80, kEcmWidth - 80);
        FillBlack(row, 80, 84);
        FillBlack(row, kEcmWidth - 84, kEcmWidth - 80);
        const int32_t x = 150 + (y * step) % 1300;
        FillBlack(row, x, x + 7);
        for (int32_t b = 0; b < 12; ++b) FillBlack(row, 300 + ((y * 7 + b * 97) % 1200), 303 + ((y * 7 + b * 97) % 1200));
    }
    return std::string(bits.begin(), bits.end());
}

// The rows coded in df's coding; MH as a page file, after a leading EOL.
inline std::string CodeRows(const std::string &rows, int df) {
    std::vector<uint8_t> out;
    if (df == kDfMh) out = {0x00, 0x80};
    G3Encoder e;
    StartG3Encoder(&e, CodingOfDf(df), 4, kEcmWidth, &out);
    for (size_t at = 0; at < rows.size(); at += kEcmRowBytes)
        EncodeG3Row(&e, reinterpret_cast<const uint8_t *>(rows.data() + at));
    FinishG3Encoder(&e);
    return std::string(out.begin(), out.end());
}

// The rows the data decodes to in df's coding (an MH page file without the
// blank rows of its end); empty when it does not decode whole.
inline std::string DecodeRows(const std::string &data, int df, int32_t rows_expected) {
    G3Reader r;
    StartMemoryReader(&r, reinterpret_cast<const uint8_t *>(data.data()), data.size());
    G3Rows rows;
    G3DecodeReport report;
    if (DecodeG3Page(&r, {CodingOfDf(df), kEcmWidth, 10000, "test"}, &rows, &report) != TOLLAN_OK ||
        report.bad_rows != 0 || rows.count < rows_expected)
        return {};
    return std::string(reinterpret_cast<const char *>(rows.bits.get()), static_cast<size_t>(rows_expected) * kEcmRowBytes);
}

}  // namespace simtest
