#include "image/bmp_reader.h"

#include <cstring>
#include <sys/types.h>

#include "engine/tollan.h"
#include "image/bmp_format.h"
#include "image/g3_codec.h"
#include "image/mh_codes.h"

namespace {

constexpr uint32_t kMaxColourEntries = 256;

uint16_t ReadColourEntries(FILE *f, const BmpHeaders &h, BmpInfo *info) {
    if (h.bit_count == 1) {
        uint8_t entries[2 * kBmpColourEntrySize];
        if (!ReadExact(f, entries, sizeof entries)) return TOLLAN_E_COLOUR_TABLE;
        // Entry 0 counts as white when blue, green and red are all non-zero.
        info->zero_is_white = entries[0] != 0 && entries[1] != 0 && entries[2] != 0;
        return TOLLAN_OK;
    }
    uint32_t count = h.clr_used != 0 ? h.clr_used : kMaxColourEntries;
    if (count > kMaxColourEntries) return TOLLAN_E_NOT_BITMAP;
    uint8_t table[kMaxColourEntries * kBmpColourEntrySize];
    if (!ReadExact(f, table, count * kBmpColourEntrySize)) return TOLLAN_E_COLOUR_TABLE;
    if (fseeko(f, static_cast<off_t>(h.off_bits), SEEK_SET) != 0) return TOLLAN_E_COLOUR_TABLE;
    return TOLLAN_OK;
}

}  // namespace

uint16_t ReadBmpHeader(FILE *f, BmpInfo *info) {
    uint8_t raw[kBmpHeadersSize];
    if (!ReadExact(f, raw, sizeof raw)) return TOLLAN_E_NOT_BITMAP;
    BmpHeaders h;
    ParseBmpHeaders(raw, &h);
    if (h.type[0] != 'B' || h.type[1] != 'M') return TOLLAN_E_NOT_BITMAP;
    if (h.info_size < kBmpInfoHeaderSize) return TOLLAN_E_NOT_BITMAP;
    if (h.planes != 1) return TOLLAN_E_NOT_BITMAP;
    if (h.compression != kBmpRgb && h.compression != kBmpRle8) return TOLLAN_E_NOT_BITMAP;
    if (h.bit_count != 1 && h.bit_count != 8) return TOLLAN_E_DEPTH;
    // The later, larger info headers put the colour table after themselves.
    if (h.info_size > kBmpInfoHeaderSize &&
        fseeko(f, static_cast<off_t>(kBmpFileHeaderSize + static_cast<uint64_t>(h.info_size)),
               SEEK_SET) != 0)
        return TOLLAN_E_COLOUR_TABLE;
    uint16_t code = ReadColourEntries(f, h, info);
    if (code != TOLLAN_OK) return code;
    if (h.width > kMaxBmpWidth) return TOLLAN_E_TOO_WIDE;
    if (h.height > kMaxBmpHeight || h.height < -kMaxBmpHeight) return TOLLAN_E_TOO_TALL;
    if (h.width <= 0 || h.height == 0) return TOLLAN_E_NOT_BITMAP;
    info->width = h.width;
    info->height = h.height;
    info->bit_count = h.bit_count;
    info->compression = h.compression;
    info->size_image = h.size_image;
    return TOLLAN_OK;
}

void StoredRowToLine(const BmpInfo &info, const uint8_t *stored, double horizontal_factor, uint8_t *line) {
    const uint8_t black_bit = info.zero_is_white ? 1 : 0;
    if (horizontal_factor <= 0) {
        // Dot for dot: the stored bytes, turned so that 1 is black, and the
        // fill past the width cleared.
        const int32_t width = info.width < kG3LineWidth ? info.width : kG3LineWidth;
        const int32_t bytes = (width + 7) / 8;
        const uint8_t flip = black_bit ? 0x00 : 0xFF;
        for (int32_t i = 0; i < bytes; ++i) line[i] = static_cast<uint8_t>(stored[i] ^ flip);
        if (width % 8) line[bytes - 1] &= static_cast<uint8_t>(0xFF << (8 - width % 8));
        return;
    }
    int32_t filled = 0;
    double accumulator = 0.0;  // one per row
    for (int32_t x = 0; x < info.width && filled < kG3LineWidth; ++x) {
        const uint8_t bit = (stored[x / 8] >> (7 - x % 8)) & 1;
        const int32_t from = filled++;
        accumulator += horizontal_factor;
        // Strictly greater: a row of 1000 pixels widens to 1727, not 1728.
        while (accumulator > 1.0 && filled < kG3LineWidth) {
            accumulator -= 1.0;
            ++filled;
        }
        if (bit == black_bit) FillBlack(line, from, filled);
    }
}
