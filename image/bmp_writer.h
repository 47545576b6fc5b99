// Writing a decoded Group 3 page as a 1-bit bitmap file: the plain writer
// (the page as it is) and the shrink writer (narrowed and shortened as the
// shrink settings ask). Colour entry 0 is white, entry 1 black; rows are
// stored bottom-up, each padded to 4 bytes.
#pragma once

#include <cstdint>

#include "image/bmp_format.h"
#include "image/mh_codes.h"

// The pixels per metre the plain writer records: the nominal Group 3
// resolution, 8 pixels a millimetre across and 7.7 lines a millimetre down
// (fine resolution), so an image viewer shows the page at its paper size.
constexpr int32_t kPlainBitmapXPelsPerMeter = 8000;
constexpr int32_t kPlainBitmapYPelsPerMeter = 7700;

// A decoded page: count packed rows (1 bit a dot, the first in the most
// significant bit, 1 black, the bits past a row's width 0), top row first,
// row_bytes apart in one block, and the widest line decoded.
struct DecodedRows {
    const uint8_t *bits;
    int32_t count;
    int32_t width;
    int32_t row_bytes;
};

inline const uint8_t *RowOf(const DecodedRows &page, int32_t row) {
    return page.bits + static_cast<size_t>(row) * page.row_bytes;
}

// TOLLAN_OK, TOLLAN_E_OPEN_FILE, TOLLAN_E_WRITE_BITMAP or TOLLAN_E_NO_MEMORY.
uint16_t WritePlainBitmap(const char *path, const DecodedRows &page);

struct ShrinkSettings {
    int option;  // bit 0: narrow to width, bit 1: shorten to height
    int height;
    int width;
};
uint16_t WriteShrunkBitmap(const char *path, const DecodedRows &page, const ShrinkSettings &shrink);
