// Page files hold MH; the line may want MR or MMR. A page is decoded to its
// rows and coded again, whole, in memory: error correction needs the coded
// page cut into frames, and MR without it is streamed like any page.
#include <cstring>
#include <iterator>
#include <vector>

#include "class1/class1.h"
#include "engine/trace.h"

namespace {

// Rows a page may have, and two more: the blank rows an RTC decodes to.
constexpr int32_t kMaxLineRows = 32768 + 2;
constexpr int kMrKStandard = 2;
constexpr int kMrKFine = 4;

uint16_t DecodeRows(G3Reader *reader, G3Coding coding, const char *name, G3Rows *rows, G3DecodeReport *report) {
    const G3DecodeOptions options{coding, kLineWidth, kMaxLineRows, name};
    const uint16_t code = DecodeG3Page(reader, options, rows, report);
    if (code != TOLLAN_OK && code != TOLLAN_E_G3_END) return code;
    if (rows->count >= kMaxLineRows) return TOLLAN_E_PAGE_TOO_LARGE;
    // An MH page that ended with its RTC decoded two blank rows of it.
    if (coding == kCodingMh && code == TOLLAN_OK && rows->count >= 2) rows->count -= 2;
    return rows->count > 0 ? uint16_t{TOLLAN_OK} : uint16_t{TOLLAN_E_G3_END};
}

// 15 zero bits and a one: an EOL with fill. An MH page starts with it, or
// a receiver would skip its first row while it looks for the first EOL.
constexpr uint8_t kLeadingEol[] = {0x00, 0x80};

void EncodeRows(const G3Rows &rows, G3Coding coding, int k, std::vector<uint8_t> *out) {
    if (coding == kCodingMh) out->insert(out->end(), std::begin(kLeadingEol), std::end(kLeadingEol));
    G3Encoder encoder;
    StartG3Encoder(&encoder, coding, k, kLineWidth, out);
    for (int32_t y = 0; y < rows.count; ++y) EncodeG3Row(&encoder, G3Row(rows, y));
    FinishG3Encoder(&encoder);
}

}  // namespace

int MrRowsPerOneD(int32_t resolution) { return resolution == 0 ? kMrKFine : kMrKStandard; }

uint16_t CodePageForLine(FILE *file, int64_t limit, G3Coding coding, int k, std::vector<uint8_t> *out) {
    G3Reader reader;
    StartFileReader(&reader, file, limit);
    G3Rows rows{};
    G3DecodeReport report{};
    const uint16_t code = DecodeRows(&reader, kCodingMh, "CodePageForLine", &rows, &report);
    if (code != TOLLAN_OK) {
        FaxTrace("CodePageForLine: page not decoded, code %d", code);
        return code;
    }
    out->clear();
    EncodeRows(rows, coding, k, out);
    FaxTrace("CodePageForLine: %d rows, %d bad, coding %d, %u bytes", rows.count, report.bad_rows,
             static_cast<int>(coding), static_cast<unsigned>(out->size()));
    return TOLLAN_OK;
}

LineDecode DecodeLinePage(const uint8_t *data, size_t size, G3Coding coding, std::vector<uint8_t> *mh) {
    G3Reader reader;
    StartMemoryReader(&reader, data, size);
    G3Rows rows{};
    G3DecodeReport report{};
    const uint16_t code = DecodeRows(&reader, coding, "DecodeLinePage", &rows, &report);
    if (code != TOLLAN_OK) return {code, 0, 0};
    mh->clear();
    EncodeRows(rows, kCodingMh, 0, mh);
    return {TOLLAN_OK, rows.count, report.bad_rows};
}
