// The page header line: a line of text (date and time, the local identity,
// the number dialled, the page number and count) drawn with a built-in
// bitmap font into a band at the top of each page sent, the rest of the page
// unchanged in its decoded dots.
//
// The format is plain text with fields in braces: {date} (YYYY-MM-DD),
// {time} (HH:MM), {id} (the local identity), {number} (the number dialled),
// {page} and {pages}. "{{" is a "{". Printable ASCII only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "engine/channel.h"

// Longest format a host may set, in bytes.
constexpr size_t kMaxPageHeaderFormat = 200;
// Characters drawn on a 1728-dot line; the rest of a longer text is cut.
constexpr size_t kPageHeaderColumns = 95;
// Band height in scan lines at standard resolution; twice this at fine.
constexpr int32_t kPageHeaderBandLines = 24;

// What the fields of the format stand for on one page.
struct PageHeaderValues {
    const char *local_id;
    const char *number;
    int page;
    int pages;
    struct tm when;
};

// 0 when the format can be drawn; TOLLAN_E_ARGUMENT for an unknown or
// unclosed field, a byte that is not printable ASCII, or a format longer
// than kMaxPageHeaderFormat.
uint16_t CheckPageHeaderFormat(std::string_view format);
// The text of a checked format with its fields filled in; bytes of the
// values the font lacks become '?'.
std::string ExpandPageHeader(std::string_view format, const PageHeaderValues &values);

// The header band of a 1728-dot page: rows of packed dots (1 black).
struct PageHeaderBand {
    std::vector<uint8_t> dots;
    int32_t rows;
    int32_t row_bytes;
};
// Draws text into a white band; fine doubles every font row.
PageHeaderBand DrawPageHeaderBand(std::string_view text, bool fine);

// Decodes a page of Modified Huffman data, puts the band over its top rows
// and codes it again into *out. 0, TOLLAN_E_G3_END (no page in the data),
// TOLLAN_E_PAGE_TOO_LARGE, TOLLAN_E_NO_MEMORY.
uint16_t MergePageHeader(const uint8_t *data, size_t size, const PageHeaderBand &band, std::vector<uint8_t> *out);

// ---- Sending calls ----

// The channel's header format (empty: pages go as they are) and what the
// running sending call fills in. Kept until changed, across opens.
struct PageHeaderSetting {
    char format[kMaxPageHeaderFormat + 1];
    char number[128];   // the number dialled by the running call
    int16_t pages;      // its page count
    struct tm started;  // local time at its start
};
extern PageHeaderSetting g_page_headers[kMaxChannels];

// Notes the number, page count and start time of the channel's sending call.
void FaxBeginPageHeader(int32_t channel, const char *number, int pages);
// Opens page `page` (from 1) of the running call for reading: the file
// itself when no header is set, else the page with its header, in a
// temporary file already removed. nullptr with errno set when it cannot.
FILE *FaxOpenPageToSend(const char *path, int page, int32_t channel);
