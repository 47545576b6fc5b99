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

// The rows of a 1-bit uncompressed bitmap file, read from it a block at a
// time, top row first, without holding the picture: what BmpToG3 codes from
// when it can. A stored byte b is (b & keep) ^ flip in MonoBitmap's terms
// (a 1 bit white), its bits past the width cleared.
struct MonoRowReader {
    FilePtr file;
    int32_t width;
    int32_t height;
    bool top_down;
    uint64_t pixel_offset;
    size_t stride;      // bytes of a stored row
    uint8_t keep;
    uint8_t flip;
    HeapBytes block;
    int32_t block_rows;   // rows the block has room for
    int32_t next;         // the next row to give, counted from the top
    int32_t block_first;  // the rows in the block, counted from the top
    int32_t block_count;
};

// Opens the file and reads its headers as LoadMonochromeBitmap does, failing
// with the same codes. TOLLAN_OK with *streamable false: the file is another
// kind, or not a regular file holding all its rows: load it whole instead.
uint16_t OpenMonoRows(const char *path, int32_t max_width, int32_t max_height, MonoRowReader *r,
                      bool *streamable);
// The next stored row, top row first; null when it cannot be read.
const uint8_t *NextStoredRow(MonoRowReader *r);
// A stored row as a row of a MonoBitmap.
void StoredRowToMono(const MonoRowReader &r, const uint8_t *stored, uint8_t *mono_row);
