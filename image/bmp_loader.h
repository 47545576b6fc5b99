// Loads any common bitmap file as a monochrome bitmap: what BmpToG3 starts
// from. Reads 1, 4, 8, 16, 24 and 32 bits per pixel, uncompressed, RLE8,
// RLE4 and bit-field masks, the 12-byte core header, the 40-byte info header
// and its later, larger versions, and bottom-up or top-down rows.
//
// Colour is reduced by luminance, Y = 0.299 R + 0.587 G + 0.114 B on the
// 0..255 scale: Y of kMonoWhiteThreshold or more is white, below it black.
// Alpha is ignored.
#pragma once

#include <cstdint>

#include "image/bmp_format.h"

constexpr int kMonoWhiteThreshold = 128;

// Rows top row first, each bytes_per_row bytes (the row's bits padded to a
// multiple of 2 bytes); leftmost pixel in the most significant bit; a 0 bit
// is black, a 1 bit white. The padding bits are 0.
struct MonoBitmap {
    int32_t width;
    int32_t height;
    int32_t bytes_per_row;
    HeapBytes bits;
};

// TOLLAN_OK, or: TOLLAN_E_OPEN_FILE (cannot open), TOLLAN_E_NOT_BITMAP
// (short or invalid headers, a compression that does not fit the depth, a
// zero or negative width, zero height, more than 256 colours),
// TOLLAN_E_DEPTH (another bit count), TOLLAN_E_COLOUR_TABLE (the colour table
// or masks cut short), TOLLAN_E_READ_BITMAP (pixel data cut short),
// TOLLAN_E_TOO_WIDE / TOLLAN_E_TOO_TALL (past max_width / max_height),
// TOLLAN_E_NO_MEMORY.
uint16_t LoadMonochromeBitmap(const char *path, int32_t max_width, int32_t max_height,
                              MonoBitmap *out);
