// Header formats come from the host: any bytes must be checked, filled in and
// drawn without reading or writing outside the band, and a page of any bytes
// merged with the band or refused with a code.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "image/page_header.h"
#include "tollan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The format runs to the first zero byte; the rest is the page.
    const uint8_t *end = static_cast<const uint8_t *>(memchr(data, 0, size));
    const size_t format_size = end ? static_cast<size_t>(end - data) : size;
    const std::string format(reinterpret_cast<const char *>(data), format_size);
    const uint16_t checked = CheckPageHeaderFormat(format);
    if (SetPageHeader(0, format.c_str()) != checked && !format.empty()) __builtin_trap();
    SetPageHeader(0, nullptr);
    if (checked != TOLLAN_OK) return 0;
    struct tm when {};
    const PageHeaderValues values{"\x7f\x80 id", "+1 (555) 0100", 9999, 9999, when};
    const std::string text = ExpandPageHeader(format, values);
    const PageHeaderBand band = DrawPageHeaderBand(text, format_size % 2 == 1);
    if (band.dots.size() != static_cast<size_t>(band.rows) * static_cast<size_t>(band.row_bytes)) __builtin_trap();
    const size_t page_start = end ? format_size + 1 : size;
    std::vector<uint8_t> merged;
    MergePageHeader(data + page_start, size - page_start, band, &merged);
    return 0;
}
