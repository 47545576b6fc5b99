// Pages from the fuzzer's bytes coded in MH, MR and MMR and decoded again:
// every coding must give back every dot. The first two bytes choose the
// width (1 to 2560 dots) and MR's K; the rest are the rows.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/tollan.h"
#include "image/g3_codec.h"

namespace {

std::vector<uint8_t> Encode(const std::vector<uint8_t> &page, int32_t rows, int32_t width, G3Coding coding, int k) {
    std::vector<uint8_t> out;
    G3Encoder e;
    StartG3Encoder(&e, coding, k, width, &out);
    const size_t row_bytes = static_cast<size_t>(PackedRowBytes(width));
    for (int32_t y = 0; y < rows; ++y) EncodeG3Row(&e, page.data() + y * row_bytes);
    FinishG3Encoder(&e);
    return out;
}

// Decoded rows first_row.. must be the page's rows from page_row on.
void Check(const std::vector<uint8_t> &coded, const std::vector<uint8_t> &page, int32_t rows, int32_t width,
           G3Coding coding, int32_t skipped) {
    G3Reader reader;
    StartMemoryReader(&reader, coded.data(), coded.size());
    G3Rows decoded;
    G3DecodeReport report;
    if (DecodeG3Page(&reader, {coding, width, 4300, "fuzz"}, &decoded, &report) != TOLLAN_OK) abort();
    if (report.bad_rows != 0 || decoded.count < rows - skipped) abort();
    const size_t row_bytes = static_cast<size_t>(PackedRowBytes(width));
    for (int32_t y = skipped; y < rows; ++y)
        if (memcmp(G3Row(decoded, y - skipped), page.data() + y * row_bytes, row_bytes) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const int32_t width = 1 + (data[0] | data[1] << 8) % kMaxCodedWidth;
    const int k = 1 + data[1] % 8;
    const size_t row_bytes = static_cast<size_t>(PackedRowBytes(width));
    const size_t whole_rows = (size - 2) / row_bytes;
    const int32_t rows = static_cast<int32_t>(whole_rows < 4000 ? whole_rows : 4000);
    if (rows == 0) return 0;
    std::vector<uint8_t> page(data + 2, data + 2 + rows * row_bytes);
    // The bits past the width are 0 in a packed row.
    if (width % 8)
        for (int32_t y = 0; y < rows; ++y) page[(y + 1) * row_bytes - 1] &= static_cast<uint8_t>(0xFF << (8 - width % 8));
    // MH pages begin at the first EOL, which follows the first row.
    Check(Encode(page, rows, width, kCodingMh, 1), page, rows, width, kCodingMh, 1);
    Check(Encode(page, rows, width, kCodingMr, k), page, rows, width, kCodingMr, 0);
    Check(Encode(page, rows, width, kCodingMmr, 0), page, rows, width, kCodingMmr, 0);
    return 0;
}
