// Page data from a modem in the coding its session reported (MH, MR K 2 or
// 4, MMR), stored as an MH page file: whatever arrives, the stored page
// decodes as MH without a bad row, and coding it for the line again and
// storing that gives the same file.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/tollan.h"
#include "image/g3_codec.h"
#include "image/line_coding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static const int kFormats[] = {0, 1, 3, 2};
    const LineCoding line = LineCodingOf(kFormats[data[0] & 3], (data[0] >> 2) & 1, 0);
    std::vector<uint8_t> stored;
    const uint16_t code = StorePageAsMh(data + 1, size - 1, line, &stored);
    if (code == TOLLAN_E_PAGE_TOO_LARGE || code == TOLLAN_E_NO_MEMORY) return 0;
    if (code != TOLLAN_OK && code != TOLLAN_E_G3_END) abort();
    G3Reader reader;
    StartMemoryReader(&reader, stored.data(), stored.size());
    G3Rows rows;
    G3DecodeReport report;
    if (DecodeG3Page(&reader, {kCodingMh, line.width, kMaxLineCodedRows + 3, "fuzz"}, &rows, &report) != TOLLAN_OK ||
        report.bad_rows != 0)
        abort();
    if (code != TOLLAN_OK || LineCodingIsMh(line)) return 0;
    std::vector<uint8_t> coded, again;
    if (CodePageForLine(stored.data(), stored.size(), line, &coded) != TOLLAN_OK) abort();
    if (StorePageAsMh(coded.data(), coded.size(), line, &again) != TOLLAN_OK || again != stored) abort();
    return 0;
}
