// Page data between the page files and the line. Page files are always
// one-dimensional MH; a session that agreed on MR or MMR codes each page for
// the line when it sends and stores MH when it receives. Both directions go
// a page at a time through decoded rows, bounded in bytes and in rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/g3_codec.h"

// Rows of one page at most in either direction: four long pages at fine
// resolution. A 2432-dot page of this many rows takes under 12 MB decoded.
constexpr int32_t kMaxLineCodedRows = 4 * 4580;

// How a session's pages go on the line.
struct LineCoding {
    G3Coding coding;
    int k;          // MR: a 1-D row, then k - 1 rows 2-D
    int32_t width;  // dots of a row
};

// The coding of a session from the class 2 data format (DF: 0 MH, 1 MR,
// 3 MMR; anything else is taken for MH), the vertical resolution (VR: 0
// normal, K = 2; else fine, K = 4) and the page width (WD: 0 1728 dots,
// 1 2048, 2 2432; anything else 1728).
LineCoding LineCodingOf(int df, int vr, int wd);

// True when pages go on the line as they are in the page files.
inline bool LineCodingIsMh(const LineCoding &line) { return line.coding == kCodingMh; }

// Codes an MH page (a page file's data) as `line` has it, into *out.
// TOLLAN_OK also for a page cut short (its rows are coded and the page ends
// there); TOLLAN_E_G3_END when no row could be read; TOLLAN_E_PAGE_TOO_LARGE
// past kMaxLineCodedRows; TOLLAN_E_NO_MEMORY.
uint16_t CodePageForLine(const uint8_t *mh, size_t size, const LineCoding &line, std::vector<uint8_t> *out);

// Codes page data in `line`'s coding as an MH page file's data, into *out.
// Codes as CodePageForLine; a page whose data breaks off or goes bad keeps
// the rows before (an empty page when there are none, still TOLLAN_G3_END).
uint16_t StorePageAsMh(const uint8_t *coded, size_t size, const LineCoding &line, std::vector<uint8_t> *out);
