// RotateBitmap: a 1-bit bitmap file turned a quarter turn clockwise. The
// source pixel at column x of row y (counted from the top left) lands at
// column H - 1 - y of row x; the first row of the picture becomes its last
// column. Result bits no source pixel reaches (the row fill) stay 1.
#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>

#include "engine/tollan.h"
#include "image/bmp_format.h"

namespace {

// Largest result block: two gigapixels. A header asking for more is
// refused as an image there is no memory for.
constexpr uint64_t kMaxResultBytes = 256u << 20;

struct RotationSource {
    BmpHeaders headers;
    uint8_t colours[2 * kBmpColourEntrySize];
    int64_t width;
    int64_t height;  // rows, positive
    bool top_down;
    uint64_t row_length;
};

uint16_t ReadRotationSource(FILE *f, RotationSource *src) {
    uint8_t raw[kBmpHeadersSize];
    if (!ReadExact(f, raw, sizeof raw)) return TOLLAN_E_NOT_BITMAP;
    BmpHeaders &h = src->headers;
    ParseBmpHeaders(raw, &h);
    if (h.type[0] != 'B' || h.type[1] != 'M') return TOLLAN_E_NOT_BITMAP;
    if (h.planes != 1 || (h.compression != kBmpRgb && h.compression != kBmpRle8))
        return TOLLAN_E_NOT_BITMAP;
    if (h.bit_count != 1) return TOLLAN_E_DEPTH;
    if (h.info_size < kBmpInfoHeaderSize || h.width <= 0 || h.height == 0) return TOLLAN_E_NOT_BITMAP;
    // A later, larger info header keeps the colour table after itself.
    if (fseeko(f, static_cast<off_t>(kBmpFileHeaderSize + static_cast<uint64_t>(h.info_size)), SEEK_SET) != 0 ||
        !ReadExact(f, src->colours, sizeof src->colours))
        return TOLLAN_E_NOT_BITMAP;

    src->width = h.width;
    src->top_down = h.height < 0;
    src->height = src->top_down ? -static_cast<int64_t>(h.height) : h.height;
    // Rows are read uncompressed whatever biCompression says.
    src->row_length = h.size_image != 0 ? h.size_image / static_cast<uint64_t>(src->height)
                                        : BmpStride(static_cast<uint64_t>(src->width), 1);
    if (src->row_length < (static_cast<uint64_t>(src->width) + 7) / 8) return TOLLAN_E_NOT_BITMAP;
    return TOLLAN_OK;
}

// The result is height pixels wide: a top-down height of INT32_MIN gives a
// width no header field can hold. The result's rows must fit in one block.
uint16_t CheckResultSize(const RotationSource &src, uint64_t *stride, uint64_t *result_bytes) {
    if (src.height > INT32_MAX) return TOLLAN_E_NOT_BITMAP;
    *stride = BmpStride(static_cast<uint64_t>(src.height), 1);
    *result_bytes = *stride * static_cast<uint64_t>(src.width);  // under 2^29 * 2^31: no overflow
    if (*result_bytes > kMaxResultBytes) return TOLLAN_E_NO_MEMORY;
    return TOLLAN_OK;
}

// True when the file holds every row the headers promise, so that no block
// is allocated for a picture that is not there.
bool RowsPresent(FILE *f, const RotationSource &src) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return false;
    uint64_t needed = src.headers.off_bits + src.row_length * static_cast<uint64_t>(src.height);
    return static_cast<uint64_t>(st.st_size) >= needed;
}

// An 8 x 8 block of bits, row r in byte 7 - r of x and column c in bit
// 7 - c of its byte, turned over its diagonal: bit c of row r becomes bit
// r of row c.
uint64_t Transpose8x8(uint64_t x) {
    uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
    x = x ^ t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
    x = x ^ t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
    return x ^ t ^ (t << 28);
}

// Up to eight source rows that land in the same byte of every result row:
// the row for bit b (counted from the most significant) of that byte.
struct RowGroup {
    HeapBytes rows;     // 8 rows of `read` bytes
    uint8_t present;    // bit 7 - b set: the row for bit b is there
    uint64_t byte_column;
};

// Places a group: eight dots of eight rows at a time, turned as one block.
// Result bits of rows not in the group keep their value.
void PlaceGroup(const RowGroup &g, uint64_t read, int64_t width, uint8_t *result, uint64_t stride) {
    for (int64_t x0 = 0; x0 < width; x0 += 8) {
        uint64_t block = 0;
        for (int b = 0; b < 8; ++b)
            if (g.present & (0x80 >> b))
                block |= static_cast<uint64_t>(g.rows[static_cast<uint64_t>(b) * read + static_cast<uint64_t>(x0 / 8)])
                         << (8 * (7 - b));
        block = Transpose8x8(block);
        // Dot x0 + t goes to result row width - 1 - (x0 + t).
        for (int t = 0; t < 8 && x0 + t < width; ++t) {
            uint8_t *target = result + static_cast<uint64_t>(width - 1 - (x0 + t)) * stride + g.byte_column;
            const uint8_t bits = static_cast<uint8_t>(block >> (8 * (7 - t)));
            *target = static_cast<uint8_t>((*target & ~g.present) | (bits & g.present));
        }
    }
}

// Reads the rows a block at a time and places them in the result, eight
// that share a result byte at a time. Rows can be gigabytes long (a
// biSizeImage can say so): past the bytes the width needs and a little
// padding, the rest of such a row is sought past, not read.
uint16_t PlaceAllRows(FILE *f, const RotationSource &src, uint8_t *result, uint64_t stride) {
    constexpr uint64_t kPaddingReadThrough = 256;
    constexpr uint64_t kBlockBytes = 64 * 1024;
    const uint64_t used = (static_cast<uint64_t>(src.width) + 7) / 8;
    const bool long_rows = src.row_length >= used + kPaddingReadThrough;
    const uint64_t read = long_rows ? used : src.row_length;
    const uint64_t rows_per_block = long_rows || read >= kBlockBytes ? 1 : kBlockBytes / read;
    HeapBytes block = AllocZeroed(rows_per_block, read);
    RowGroup group{AllocZeroed(8, read), 0, 0};
    if (!block || !group.rows) return TOLLAN_E_NO_MEMORY;

    if (fseeko(f, static_cast<off_t>(src.headers.off_bits), SEEK_SET) != 0) return TOLLAN_E_READ_BITMAP;
    for (int64_t i = 0; i < src.height;) {
        uint64_t rows = static_cast<uint64_t>(src.height - i) < rows_per_block ? static_cast<uint64_t>(src.height - i)
                                                                                : rows_per_block;
        if (!ReadExact(f, block.get(), rows * read)) return TOLLAN_E_READ_BITMAP;
        if (long_rows && fseeko(f, static_cast<off_t>(src.row_length - read), SEEK_CUR) != 0)
            return TOLLAN_E_READ_BITMAP;
        for (uint64_t k = 0; k < rows; ++k, ++i) {
            // File row i is picture row H-1-i from the top (bottom-up) or row
            // i (top-down); it becomes column H-1-y of the result.
            const int64_t column = src.top_down ? src.height - 1 - i : i;
            const uint64_t byte_column = static_cast<uint64_t>(column) / 8;
            if (group.present != 0 && byte_column != group.byte_column) {
                PlaceGroup(group, read, src.width, result, stride);
                group.present = 0;
            }
            group.byte_column = byte_column;
            const int b = static_cast<int>(column % 8);
            memcpy(group.rows.get() + static_cast<uint64_t>(b) * read, block.get() + k * read, read);
            group.present = static_cast<uint8_t>(group.present | (0x80 >> b));
        }
    }
    if (group.present != 0) PlaceGroup(group, read, src.width, result, stride);
    return TOLLAN_OK;
}

// The result's headers: width and height exchanged, the rest copied,
// except that it is always a 40-byte, uncompressed header.
void ResultHeader(const RotationSource &src, uint64_t stride, uint8_t out[kMonoBmpHeaderSize]) {
    BmpHeaders h = src.headers;
    h.file_size = static_cast<uint32_t>(kMonoBmpHeaderSize + stride * static_cast<uint64_t>(src.width));
    h.off_bits = kMonoBmpHeaderSize;
    h.info_size = kBmpInfoHeaderSize;
    h.width = static_cast<int32_t>(src.height);
    h.height = static_cast<int32_t>(src.width);
    h.compression = kBmpRgb;
    h.size_image = static_cast<uint32_t>(stride * static_cast<uint64_t>(src.width));
    SerialiseBmpHeaders(h, out);
    memcpy(out + kBmpHeadersSize, src.colours, sizeof src.colours);
}

}  // namespace

extern "C" uint16_t RotateBitmap(const char *src_path, const char *dst_path, int32_t /*unused*/) {
    if (!src_path || !dst_path) return TOLLAN_E_ARGUMENT;
    FilePtr in(fopen(src_path, "rb"));
    if (!in) return TOLLAN_E_OPEN_FILE;
    RotationSource src;
    uint16_t code = ReadRotationSource(in.get(), &src);
    if (code != TOLLAN_OK) return code;
    uint64_t stride = 0, result_bytes = 0;
    code = CheckResultSize(src, &stride, &result_bytes);
    if (code != TOLLAN_OK) return code;
    if (!RowsPresent(in.get(), src)) return TOLLAN_E_READ_BITMAP;

    HeapBytes result = AllocZeroed(result_bytes, 1);
    if (!result) return TOLLAN_E_NO_MEMORY;
    memset(result.get(), 0xFF, result_bytes);
    code = PlaceAllRows(in.get(), src, result.get(), stride);
    if (code != TOLLAN_OK) return code;

    uint8_t header[kMonoBmpHeaderSize];
    ResultHeader(src, stride, header);
    FilePtr out(fopen(dst_path, "wb"));
    if (!out) return TOLLAN_E_OPEN_FILE;
    bool ok = fwrite(header, 1, sizeof header, out.get()) == sizeof header &&
              fwrite(result.get(), 1, result_bytes, out.get()) == result_bytes;
    if (!CloseWrittenFile(&out) || !ok) return TOLLAN_E_WRITE_BITMAP;
    return TOLLAN_OK;
}
