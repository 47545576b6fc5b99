// Two-dimensional Group 3 data (MR) from anywhere: the decoder must end on
// bad codes, runaway rows and missing end marks without reading or writing
// outside its rows, and never count more bad rows than rows.
#include <cstdint>
#include <cstdlib>

#include "engine/tollan.h"
#include "image/g3_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The first byte picks a narrow or a full width, so short inputs reach
    // the ends of rows too.
    const int32_t width = size > 0 && (data[0] & 1) ? 1 + data[0] % 64 : 1728;
    G3Reader reader;
    StartMemoryReader(&reader, data, size);
    G3Rows rows;
    G3DecodeReport report;
    DecodeG3Page(&reader, {kCodingMr, width, 4300, "fuzz"}, &rows, &report);
    if (report.bad_rows > 0 && (report.first_bad_row < 0 || report.first_bad_row > rows.count)) abort();
    return 0;
}
