// The Group 3 and Group 4 page codec: one-dimensional Modified Huffman (MH),
// two-dimensional Modified READ (MR, a 1-D line every K lines) and Modified
// Modified READ (MMR, all lines 2-D, no EOLs), coding and decoding whole
// rows of packed dots.
//
// Packed rows: 1 bit per dot, the leftmost dot in the most significant bit
// of the row's first byte, 1 black; bits past the row's width are 0. A page
// is its rows back to back in one block, row_bytes apart.
//
// Coded data is least significant bit first within each byte, with no fill
// bits. The framing of each coding:
//   MH   each row, then its EOL (the first row is not preceded by one); the
//        page ends with six more EOLs. This is the page file of BmpToG3.
//   MR   each row preceded by an EOL and a tag bit (1: coded 1-D, 0: 2-D);
//        the page ends with six EOLs, each followed by a 1 bit.
//   MMR  the rows alone, each 2-D against the one above (a white row above
//        the first); the page ends with two EOLs.
//
// Decoding MH and MR resynchronises at the next EOL after a bad code word:
// the row keeps what was decoded before it and is white after it; every bad
// row is counted, the first one remembered and each traced with its row and
// column. MMR has no EOL to resynchronise at, so a bad code word ends the
// page there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "image/bmp_format.h"

enum G3Coding : int { kCodingMh = 0, kCodingMr = 1, kCodingMmr = 2 };

// Widest row coded or decoded: the longest run the code tables hold.
constexpr int32_t kMaxCodedWidth = 2560;

constexpr int32_t PackedRowBytes(int32_t width) { return (width + 7) / 8; }

// ---- Packed row helpers ----

// The first dot at or after from (0 <= from <= width) that is not of colour
// (0 white, 1 black), or width when there is none.
int32_t NextChange(const uint8_t *row, int32_t width, int32_t from, int colour);
// Sets the dots from..to-1 black.
void FillBlack(uint8_t *row, int32_t from, int32_t to);
inline int DotAt(const uint8_t *row, int32_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }

// ---- Coding ----

// Codes land whole in a 64-bit accumulator, whose whole bytes go to chunk,
// which goes to out at the end of each row.
struct G3Encoder {
    std::vector<uint8_t> *out;
    uint64_t bits;  // pending bits (fewer than 8 between codes), the first in bit 0
    int count;
    G3Coding coding;
    int k;              // MR: a 1-D row, then up to k - 1 rows 2-D
    int rows_to_1d;     // MR: 2-D rows left before the next 1-D row
    int32_t width;
    std::vector<int32_t> changes;        // MR, MMR: where the row changes colour
    std::vector<int32_t> changes_above;  // and the row above
    uint8_t chunk[4096];             // coded bytes, moved to out after each row
    size_t used;
};

// k is read for MR only (at least 1); width 1..kMaxCodedWidth. Coded bytes
// are appended to *out; the caller may drain it between rows.
void StartG3Encoder(G3Encoder *e, G3Coding coding, int k, int32_t width, std::vector<uint8_t> *out);
void EncodeG3Row(G3Encoder *e, const uint8_t *row);
// MH: six EOLs. MR: six EOLs each with a 1 bit. MMR: two EOLs. Then the last
// byte, completed with 0 bits.
void FinishG3Encoder(G3Encoder *e);

// ---- Decoding ----

// Where coded bytes come from: a file read a block at a time, or a block
// in memory (file null). At most limit bytes are taken.
struct G3Reader {
    FILE *file;
    const uint8_t *data;
    size_t size;
    size_t pos;
    std::vector<uint8_t> block;  // file: the block being read
    int64_t taken;               // bytes taken so far
    int64_t limit;
    uint64_t bits;               // bits taken but not consumed, the next in bit 0
    int count;
};

void StartFileReader(G3Reader *r, FILE *file, int64_t limit);
void StartMemoryReader(G3Reader *r, const uint8_t *data, size_t size);

// Decoded rows, growing as they come (one block, doubled when full).
struct G3Rows {
    HeapBytes bits;
    int32_t capacity;
    int32_t count;
    int32_t row_bytes;
    int32_t width;  // MH: the widest row decoded; MR, MMR: the coded width
};

inline const uint8_t *G3Row(const G3Rows &rows, int32_t row) {
    return rows.bits.get() + static_cast<size_t>(row) * rows.row_bytes;
}

struct G3DecodeReport {
    bool found_first_eol;  // MH, MR: the data before the first EOL is passed
    int32_t bad_rows;
    int32_t first_bad_row;  // -1 when none
    int32_t last_bad_row;   // -1 when none
    int32_t bad_run;        // bad rows in a row ending at last_bad_row
    int32_t longest_bad_run;
};

struct G3DecodeOptions {
    G3Coding coding;
    int32_t width;      // dots of a row, 1..kMaxCodedWidth; longer runs are cut here
    int32_t max_rows;   // decoding stops there, the rest not read
    const char *trace_name;  // the prefix of trace lines
};

// Decodes one page. MH: everything before the first EOL is skipped, rows end
// at their EOL or at width, and the page ends at its third empty line in a
// row, the first two kept as blank rows (so an end of six EOLs adds two).
// MR: the page ends at an EOL met where a row should begin (after the first
// row). MMR: at two EOLs. All: at max_rows.
// TOLLAN_OK, TOLLAN_E_G3_END (the data ends before the page does; also an
// MMR page with a bad code word: rows holds what came before it),
// TOLLAN_E_PAGE_TOO_LARGE (the reader's limit reached first),
// TOLLAN_E_NO_MEMORY.
uint16_t DecodeG3Page(G3Reader *r, const G3DecodeOptions &options, G3Rows *rows, G3DecodeReport *report);
