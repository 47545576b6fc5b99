// Reading bitmaps for the Group 3 encoder: the header check GetBmpSize runs
// on the caller's file, and the row reader that widens each row of a 1-bit
// picture into a packed 1728-dot line for BmpToG3.
#pragma once

#include <cstdint>
#include <cstdio>

// What the header reader found.
struct BmpInfo {
    int32_t width;
    int32_t height;       // as stored: negative for top-down rows
    uint16_t bit_count;   // 1 or 8
    uint32_t compression; // 0 or 1
    uint32_t size_image;
    bool zero_is_white;   // 1-bit: colour entry 0 is white, so a 0 bit is a white pixel
};

// Reads and checks the file header, the info header and the colour table.
// TOLLAN_OK, or TOLLAN_E_NOT_BITMAP, TOLLAN_E_COLOUR_TABLE, TOLLAN_E_DEPTH,
// TOLLAN_E_TOO_WIDE, TOLLAN_E_TOO_TALL. Leaves the file at the pixel rows
// (1-bit: right after the two colour entries; 8-bit: at bfOffBits).
uint16_t ReadBmpHeader(FILE *f, BmpInfo *info);

// Turns one stored row into a packed line of kG3LineWidth dots (1 bit a
// dot, the first in the most significant bit, 1 black), which must be
// cleared: its pixels from the left, each followed by its copies under the
// horizontal factor, until the line is full. Dots not written stay white.
void StoredRowToLine(const BmpInfo &info, const uint8_t *stored, double horizontal_factor, uint8_t *line);
