#include "image/bmp_writer.h"

#include <cstring>

#include "engine/tollan.h"
#include "engine/trace.h"
#include "image/g3_codec.h"

namespace {

constexpr int kShrinkWidth = 1;
constexpr int kShrinkHeight = 2;

uint32_t StrideFor(int32_t width) { return static_cast<uint32_t>(BmpStride(static_cast<uint64_t>(width), 1)); }

// Opens the destination behind the writer's block and puts the 62-byte
// header in it: white entry first.
uint16_t StartBitmap(const char *path, int32_t width, int32_t height, int32_t x_ppm, int32_t y_ppm,
                     FilePtr *file, BlockWriter *out) {
    file->reset(fopen(path, "wb"));
    if (!*file) return TOLLAN_E_OPEN_FILE;
    WriteInBlocks(file->get());
    out->file = file->get();
    BmpHeaders h = MonoBmpHeaders(width, height,
                                  static_cast<uint32_t>(kMonoBmpHeaderSize + static_cast<uint64_t>(height) * StrideFor(width)));
    h.x_pels_per_meter = x_ppm;
    h.y_pels_per_meter = y_ppm;
    uint8_t header[kMonoBmpHeaderSize] = {};
    SerialiseBmpHeaders(h, header);
    memset(header + kBmpHeadersSize, 0xFF, 3);
    PutBytes(out, header, sizeof header);
    return TOLLAN_OK;
}

// Narrows a packed row into stride bytes: an accumulator drops dots (at
// least factor -> drop and subtract it, else take and add 1). Taken dots
// past out_width are not stored.
void ShrinkRow(const uint8_t *row, int32_t width, double factor, int32_t out_width, uint8_t *out,
               uint32_t stride) {
    memset(out, 0, stride);
    double accumulator = 0.0;
    int32_t taken = 0;
    for (int32_t x = 0; x < width; ++x) {
        if (factor != 0 && accumulator >= factor) {
            accumulator -= factor;
            continue;
        }
        accumulator += 1.0;
        if (taken < out_width && DotAt(row, x)) out[taken / 8] |= static_cast<uint8_t>(0x80 >> (taken % 8));
        ++taken;
    }
}

// The row's first width dots as they are, completed with 0 bytes to stride:
// the bits past a row's width are already 0.
void PutRow(BlockWriter *out, const uint8_t *row, int32_t width, uint32_t stride) {
    const uint32_t used = static_cast<uint32_t>(PackedRowBytes(width));
    PutBytes(out, row, used);
    PutZeroBytes(out, stride - used);
}

uint16_t FinishBitmap(FilePtr *file, BlockWriter *out) {
    bool written = FlushBlockWriter(out);
    bool closed = CloseWrittenFile(file);
    return written && closed ? TOLLAN_OK : TOLLAN_E_WRITE_BITMAP;
}

}  // namespace

uint16_t WritePlainBitmap(const char *path, const DecodedRows &page) {
    const uint32_t stride = StrideFor(page.width);
    BlockWriter out;
    if (!StartBlockWriter(&out)) return TOLLAN_E_NO_MEMORY;
    FilePtr file;
    uint16_t code = StartBitmap(path, page.width, page.count, kPlainBitmapXPelsPerMeter,
                                kPlainBitmapYPelsPerMeter, &file, &out);
    if (code != TOLLAN_OK) return code;
    for (int32_t r = page.count - 1; !out.failed && r >= 0; --r) PutRow(&out, RowOf(page, r), page.width, stride);
    return FinishBitmap(&file, &out);
}

uint16_t WriteShrunkBitmap(const char *path, const DecodedRows &page, const ShrinkSettings &shrink) {
    const int32_t rows = page.count, width = page.width;
    double vertical = 0, horizontal = 0;
    if ((shrink.option & kShrinkHeight) && shrink.height < rows)
        vertical = static_cast<double>(shrink.height) / (rows - shrink.height);
    if ((shrink.option & kShrinkWidth) && shrink.width < width)
        horizontal = static_cast<double>(shrink.width) / (width - shrink.width);
    const int32_t out_width = horizontal != 0 ? shrink.width : width;
    const int32_t out_rows = vertical != 0 ? shrink.height : rows;
    const uint32_t stride = StrideFor(out_width);

    HeapBytes packed = AllocZeroed(stride, 1);
    BlockWriter out;
    if (!packed || !StartBlockWriter(&out)) return TOLLAN_E_NO_MEMORY;
    FilePtr file;
    uint16_t code = StartBitmap(path, out_width, out_rows, 0, 0, &file, &out);
    if (code != TOLLAN_OK) return code;
    // From the bottom row up: drop a row whenever the accumulator has
    // reached the factor.
    double accumulator = 0.0;
    int32_t written = 0;
    for (int32_t r = rows - 1; !out.failed && r >= 0 && written < out_rows; --r) {
        if (vertical != 0 && accumulator >= vertical) {
            accumulator -= vertical;
            continue;
        }
        ShrinkRow(RowOf(page, r), width, horizontal, out_width, packed.get(), stride);
        PutBytes(&out, packed.get(), stride);
        ++written;
        accumulator += 1.0;
    }
    // Rounding can leave the count a row short of the height in the header:
    // complete the picture with white rows rather than write a short file.
    if (!out.failed && written < out_rows) {
        PutZeroBytes(&out, static_cast<size_t>(out_rows - written) * stride);
        written = out_rows;
    }
    code = FinishBitmap(&file, &out);
    if (code == TOLLAN_OK) FaxTrace("G3ToBmp: %d 行出力", static_cast<int>(written));
    return code;
}
