// Group 4 data (MMR) from anywhere: the decoder must stop at the first bad
// code word, a missing end mark or the end of the data without reading or
// writing outside its rows.
#include <cstdint>
#include <cstdlib>

#include "engine/tollan.h"
#include "image/g3_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int32_t width = size > 0 && (data[0] & 1) ? 1 + data[0] % 64 : 1728;
    G3Reader reader;
    StartMemoryReader(&reader, data, size);
    G3Rows rows;
    G3DecodeReport report;
    uint16_t code = DecodeG3Page(&reader, {kCodingMmr, width, 4300, "fuzz"}, &rows, &report);
    // A bad code word ends the page with that row as its last.
    if (report.bad_rows > 1 || (report.bad_rows == 1 && (code != TOLLAN_E_G3_END || report.first_bad_row != rows.count - 1)))
        abort();
    return 0;
}
