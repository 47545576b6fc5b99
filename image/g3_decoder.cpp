// G3ToBmp and GetG3Size: a raw Group 3 page (Modified Huffman, LSB-first)
// decoded line by line into rows of 1728 pixels.
//
// Everything before the first EOL is ignored. A line ends at its EOL (any
// number of 0 fill bits may precede it) or when it reaches 1728 pixels; a
// bad code word leaves the rest of its line white and decoding goes on at the
// next EOL. The page ends at its third empty line in a row (an EOL met before
// any pixel), so the six EOLs of a return-to-control mark add two blank rows.
// A page whose data ends without that mark (Ghostscript's faxg3 pages, a
// transfer cut short) is still a page when what was decoded is sound: at
// least one whole row with a pixel, and at most one row in ten with a bad
// code word. It holds its whole rows; a row cut inside its codes is dropped.
// Anything less is refused with 134, as data that is not a page.
// At most 4300 rows and 32 MB are decoded.
#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/tollan.h"
#include "engine/trace.h"
#include "image/bmp_format.h"
#include "image/bmp_writer.h"
#include "image/g3_codec.h"
#include "image/mh_codes.h"

namespace {

constexpr int kMaxDecodedRows = 4300;
// The largest page file decoded: the largest page the library receives.
// Fill bits make a line as long as its sender likes, so rows alone do not
// bound the bytes read: without this, endless input (a pipe, /dev/zero)
// would be read for ever.
constexpr int64_t kMaxDecodedPageBytes = kMaxPageBytes;

constexpr int32_t kMostBadRowsInTen = 1;

// The data ended before an end-of-page mark: whole rows with pixels, few of
// them bad, make a page; otherwise the file is not taken for one.
bool EndedWithoutRtcButSound(const G3Rows &rows, const G3DecodeReport &report) {
    return report.found_first_eol && rows.count > 0 && rows.width > 0 &&
           static_cast<int64_t>(report.bad_rows) * 10 <= static_cast<int64_t>(rows.count) * kMostBadRowsInTen;
}

// Decodes the page file into rows. 0 is stored through width_out and
// height_out, when given, once the file is open and its first EOL found.
uint16_t DecodePage(const char *path, G3Rows *rows, int32_t *width_out, int32_t *height_out) {
    rows->count = 0;
    rows->width = 0;
    FilePtr file(fopen(path, "rb"));
    if (!file) return TOLLAN_E_OPEN_FILE;
    G3Reader reader;
    StartFileReader(&reader, file.get(), kMaxDecodedPageBytes);
    const G3DecodeOptions options{kCodingMh, kG3LineWidth, kMaxDecodedRows, "G3ToBmp"};
    G3DecodeReport report;
    uint16_t code = DecodeG3Page(&reader, options, rows, &report);
    if (report.found_first_eol) {
        if (width_out) *width_out = 0;
        if (height_out) *height_out = 0;
    }
    if (code == TOLLAN_E_G3_END && EndedWithoutRtcButSound(*rows, report)) {
        FaxTrace("G3ToBmp: page ends at end of file without RTC after %d rows", rows->count);
        code = TOLLAN_OK;
    }
    if (code != TOLLAN_OK) return code;
    if (rows->width == 0) {
        // Nothing to draw: a bitmap 0 pixels wide is no bitmap.
        FaxTrace("G3ToBmp: no pixels in %d rows", rows->count);
        return TOLLAN_E_G3_END;
    }
    return TOLLAN_OK;
}

}  // namespace

extern "C" {

uint16_t G3ToBmp(const char *g3_path, const char *bmp_path) {
    if (!g3_path || !bmp_path) return TOLLAN_E_ARGUMENT;
    G3Rows page;
    uint16_t code = DecodePage(g3_path, &page, nullptr, nullptr);
    if (code != TOLLAN_OK) return code;
    DecodedRows rows{page.bits.get(), page.count, page.width, page.row_bytes};
    ShrinkSettings shrink{g_settings.shrink_option, g_settings.shrink_height, g_settings.shrink_width};
    if (shrink.option != 0) return WriteShrunkBitmap(bmp_path, rows, shrink);
    return WritePlainBitmap(bmp_path, rows);
}

uint16_t GetG3Size(const char *g3_path, int32_t *width, int32_t *height) {
    if (!g3_path || !width || !height) return TOLLAN_E_ARGUMENT;
    G3Rows page;
    uint16_t code = DecodePage(g3_path, &page, width, height);
    if (code != TOLLAN_OK) return code;
    *width = page.width;
    *height = page.count;
    return TOLLAN_OK;
}

}  // extern "C"
