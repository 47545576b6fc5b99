// Recoding a page between MH and the coding a session agreed on: decode the
// whole page into rows, code the rows again.
#include "image/line_coding.h"

#include <array>

#include "engine/tollan.h"
#include "engine/trace.h"
#include "image/mh_codes.h"

namespace {

constexpr int kMrKNormal = 2;
constexpr int kMrKFine = 4;
constexpr int kDfMr = 1;
constexpr int kDfMmr = 3;
constexpr std::array<int32_t, 3> kWidthsByWd = {kG3LineWidth, 2048, 2432};

// An EOL after four fill bits: the MH decoder skips what comes before the
// first EOL, so a stored page's first row must follow one.
constexpr std::array<uint8_t, 2> kLeadingEol = {0x00, 0x80};

const char *CodingName(G3Coding coding) {
    return coding == kCodingMh ? "MH" : coding == kCodingMr ? "MR" : "MMR";
}

// Decodes a page into rows. A page that ends early keeps the rows it has;
// TOLLAN_E_G3_END only when there are none.
uint16_t DecodeRows(const uint8_t *data, size_t size, G3Coding coding, int32_t width, G3Rows *rows) {
    G3Reader reader;
    StartMemoryReader(&reader, data, size);
    G3DecodeReport report;
    const G3DecodeOptions options{coding, width, kMaxLineCodedRows + 1, "LineCoding"};
    uint16_t code = DecodeG3Page(&reader, options, rows, &report);
    if (rows->count > kMaxLineCodedRows) {
        FaxTrace("LineCoding: the page passed %d rows", kMaxLineCodedRows);
        return TOLLAN_E_PAGE_TOO_LARGE;
    }
    // An MH page ends at its third empty line; the two before it are kept as
    // rows and come back with the end of page the encoder adds.
    if (code == TOLLAN_OK && coding == kCodingMh && rows->count >= 2) rows->count -= 2;
    if (report.bad_rows > 0)
        FaxTrace("LineCoding: %s page with %d bad rows, the first at %d", CodingName(coding), report.bad_rows,
                 report.first_bad_row);
    if (code == TOLLAN_E_G3_END && rows->count > 0) {
        FaxTrace("LineCoding: the %s page broke off after %d rows; they are kept", CodingName(coding), rows->count);
        code = TOLLAN_OK;
    }
    return code;
}

void EncodeRows(const G3Rows &rows, G3Coding coding, int k, int32_t width, std::vector<uint8_t> *out) {
    out->clear();
    if (coding == kCodingMh) out->assign(kLeadingEol.begin(), kLeadingEol.end());
    G3Encoder encoder;
    StartG3Encoder(&encoder, coding, k, width, out);
    for (int32_t row = 0; row < rows.count; ++row) EncodeG3Row(&encoder, G3Row(rows, row));
    FinishG3Encoder(&encoder);
}

}  // namespace

LineCoding LineCodingOf(int df, int vr, int wd) {
    LineCoding line{kCodingMh, 1, kG3LineWidth};
    if (df == kDfMr) {
        line.coding = kCodingMr;
        line.k = vr == 0 ? kMrKNormal : kMrKFine;
    } else if (df == kDfMmr) {
        line.coding = kCodingMmr;
    }
    if (wd >= 0 && wd < static_cast<int>(kWidthsByWd.size())) line.width = kWidthsByWd[static_cast<size_t>(wd)];
    return line;
}

uint16_t CodePageForLine(const uint8_t *mh, size_t size, const LineCoding &line, std::vector<uint8_t> *out) {
    G3Rows rows;
    const uint16_t code = DecodeRows(mh, size, kCodingMh, line.width, &rows);
    if (code != TOLLAN_OK) return code;
    EncodeRows(rows, line.coding, line.k, line.width, out);
    return TOLLAN_OK;
}

uint16_t StorePageAsMh(const uint8_t *coded, size_t size, const LineCoding &line, std::vector<uint8_t> *out) {
    G3Rows rows;
    const uint16_t code = DecodeRows(coded, size, line.coding, line.width, &rows);
    if (code != TOLLAN_OK && code != TOLLAN_E_G3_END) return code;
    if (code != TOLLAN_OK) rows.count = 0;
    EncodeRows(rows, kCodingMh, 1, line.width, out);
    return code;
}
