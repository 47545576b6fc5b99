// The stand-in for the platform's monochrome image loader. Every read is
// bounded by the picture: sizes are checked against the caller's limits
// before anything is allocated, and RLE runs and deltas that leave the
// picture are clipped.
#include "image/bmp_loader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include "engine/tollan.h"

namespace {

constexpr uint32_t kCoreHeaderSize = 12;     // the oldest header: 16-bit sizes, 3-byte colours
constexpr uint32_t kMasksInHeaderSize = 52;  // headers from this size on carry the masks
constexpr size_t kMaxHeaderRead = 56;        // through the alpha mask
constexpr uint32_t kMaxPaletteColours = 256;
constexpr size_t kReadBufferBytes = 64 * 1024;

struct ChannelMask {
    uint32_t mask;
    int shift;     // of the mask's lowest bit
    uint32_t max;  // mask >> shift
};

// What the headers say about the picture and where its data lies.
struct SourceLayout {
    int32_t width;
    int32_t height;  // rows, always positive
    bool top_down;
    uint16_t bit_count;
    uint32_t compression;
    uint64_t palette_offset;
    uint32_t palette_count;
    size_t palette_entry_size;
    uint64_t pixel_offset;
    uint64_t masks_offset;  // 0 when the masks are not read from the file
    int mask_count;
};

// How a stored pixel becomes a bit.
struct PixelFormat {
    bool palette_white[kMaxPaletteColours];  // indices past the table are black
    ChannelMask red, green, blue;
};

bool IsWhite(uint32_t red, uint32_t green, uint32_t blue) {
    return 299 * red + 587 * green + 114 * blue >= kMonoWhiteThreshold * 1000u;
}

ChannelMask MakeChannelMask(uint32_t mask) {
    ChannelMask m{mask, 0, 0};
    if (mask == 0) return m;
    while (!(mask & 1u)) {
        mask >>= 1;
        ++m.shift;
    }
    m.max = mask;
    return m;
}

// The channel's value scaled to 0..255.
uint32_t ChannelValue(const ChannelMask &m, uint32_t pixel) {
    if (m.max == 0) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>((pixel & m.mask) >> m.shift) * 255 / m.max);
}

bool SeekTo(FILE *f, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool CompressionFitsDepth(uint32_t compression, uint16_t bit_count) {
    switch (compression) {
    case kBmpRgb: return true;
    case kBmpRle8: return bit_count == 8;
    case kBmpRle4: return bit_count == 4;
    case kBmpBitFields:
    case kBmpAlphaBitFields: return bit_count == 16 || bit_count == 32;
    default: return false;
    }
}

uint16_t CheckSize(int64_t width, int64_t height, int32_t max_width, int32_t max_height) {
    if (width <= 0 || height == 0) return TOLLAN_E_NOT_BITMAP;
    if (width > max_width) return TOLLAN_E_TOO_WIDE;
    if (height > max_height || -height > max_height) return TOLLAN_E_TOO_TALL;
    return TOLLAN_OK;
}

uint16_t ReadLayout(FILE *f, int32_t max_width, int32_t max_height, SourceLayout *out) {
    uint8_t head[kBmpFileHeaderSize + kMaxHeaderRead] = {};
    if (!ReadExact(f, head, kBmpFileHeaderSize + 4)) return TOLLAN_E_NOT_BITMAP;
    if (head[0] != 'B' || head[1] != 'M') return TOLLAN_E_NOT_BITMAP;
    uint32_t off_bits = Le32(head + 10);
    uint32_t info_size = Le32(head + 14);
    if (info_size != kCoreHeaderSize && info_size < kBmpInfoHeaderSize) return TOLLAN_E_NOT_BITMAP;
    size_t rest = (info_size < kMaxHeaderRead ? info_size : kMaxHeaderRead) - 4;
    if (!ReadExact(f, head + kBmpFileHeaderSize + 4, rest)) return TOLLAN_E_NOT_BITMAP;
    const uint8_t *info = head + kBmpFileHeaderSize;

    int64_t width, height;
    uint16_t planes;
    memset(out, 0, sizeof *out);
    if (info_size == kCoreHeaderSize) {
        width = Le16(info + 4);
        height = Le16(info + 6);
        planes = Le16(info + 8);
        out->bit_count = Le16(info + 10);
        out->compression = kBmpRgb;
        out->palette_entry_size = 3;
    } else {
        width = static_cast<int32_t>(Le32(info + 4));
        height = static_cast<int32_t>(Le32(info + 8));
        planes = Le16(info + 12);
        out->bit_count = Le16(info + 14);
        out->compression = Le32(info + 16);
        out->palette_entry_size = kBmpColourEntrySize;
        out->palette_count = Le32(info + 32);  // biClrUsed, 0 for "all"
    }
    if (planes != 1) return TOLLAN_E_NOT_BITMAP;
    switch (out->bit_count) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    default: return TOLLAN_E_DEPTH;
    }
    if (!CompressionFitsDepth(out->compression, out->bit_count)) return TOLLAN_E_NOT_BITMAP;
    uint16_t code = CheckSize(width, height, max_width, max_height);
    if (code != TOLLAN_OK) return code;
    bool rle = out->compression == kBmpRle8 || out->compression == kBmpRle4;
    if (height < 0 && rle) return TOLLAN_E_NOT_BITMAP;  // RLE rows are bottom-up only

    out->width = static_cast<int32_t>(width);
    out->height = static_cast<int32_t>(height < 0 ? -height : height);
    out->top_down = height < 0;

    uint64_t after_header = kBmpFileHeaderSize + static_cast<uint64_t>(info_size);
    if (out->compression == kBmpBitFields || out->compression == kBmpAlphaBitFields) {
        out->mask_count = out->compression == kBmpBitFields ? 3 : 4;
        if (info_size >= kMasksInHeaderSize) {
            out->masks_offset = kBmpFileHeaderSize + kBmpInfoHeaderSize;
        } else {
            out->masks_offset = after_header;
            after_header += 4u * out->mask_count;
        }
    }
    if (out->bit_count <= 8) {
        uint32_t full = 1u << out->bit_count;
        if (out->palette_count == 0 || info_size == kCoreHeaderSize) out->palette_count = full;
        if (out->palette_count > kMaxPaletteColours) return TOLLAN_E_NOT_BITMAP;
    } else {
        out->palette_count = 0;  // a table beside direct colours is only a hint
    }
    out->palette_offset = after_header;
    out->pixel_offset = off_bits != 0
        ? off_bits
        : after_header + static_cast<uint64_t>(out->palette_count) * out->palette_entry_size;
    return TOLLAN_OK;
}

uint16_t ReadPixelFormat(FILE *f, const SourceLayout &layout, PixelFormat *format) {
    memset(format, 0, sizeof *format);
    if (layout.palette_count > 0) {
        uint8_t table[kMaxPaletteColours * kBmpColourEntrySize];
        size_t bytes = layout.palette_count * layout.palette_entry_size;
        if (!SeekTo(f, layout.palette_offset) || !ReadExact(f, table, bytes))
            return TOLLAN_E_COLOUR_TABLE;
        for (uint32_t i = 0; i < layout.palette_count; ++i) {
            const uint8_t *e = table + i * layout.palette_entry_size;
            format->palette_white[i] = IsWhite(e[2], e[1], e[0]);
        }
    }
    uint32_t masks[4] = {};
    if (layout.mask_count > 0) {
        uint8_t raw[16];
        if (!SeekTo(f, layout.masks_offset) || !ReadExact(f, raw, 4u * layout.mask_count))
            return TOLLAN_E_COLOUR_TABLE;
        for (int i = 0; i < layout.mask_count; ++i) masks[i] = Le32(raw + 4 * i);
    } else if (layout.bit_count == 16) {
        masks[0] = 0x7C00; masks[1] = 0x03E0; masks[2] = 0x001F;  // 5-5-5
    } else {
        masks[0] = 0xFF0000; masks[1] = 0x00FF00; masks[2] = 0x0000FF;
    }
    format->red = MakeChannelMask(masks[0]);
    format->green = MakeChannelMask(masks[1]);
    format->blue = MakeChannelMask(masks[2]);
    return TOLLAN_OK;
}

void SetWhite(MonoBitmap *mono, int32_t row, int32_t x) {
    mono->bits[static_cast<size_t>(row) * mono->bytes_per_row + x / 8] |=
        static_cast<uint8_t>(0x80 >> (x % 8));
}

bool MaskedPixelWhite(const PixelFormat &format, uint32_t pixel) {
    return IsWhite(ChannelValue(format.red, pixel), ChannelValue(format.green, pixel),
                   ChannelValue(format.blue, pixel));
}

bool StoredPixelWhite(const SourceLayout &layout, const PixelFormat &format, const uint8_t *row,
                      int32_t x) {
    switch (layout.bit_count) {
    case 1: return format.palette_white[(row[x / 8] >> (7 - x % 8)) & 1];
    case 4: return format.palette_white[(row[x / 2] >> (x % 2 ? 0 : 4)) & 0x0F];
    case 8: return format.palette_white[row[x]];
    case 16: return MaskedPixelWhite(format, Le16(row + 2 * x));
    case 24: return IsWhite(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
    default: return MaskedPixelWhite(format, Le32(row + 4 * x));
    }
}

// How the two colour entries of a 1-bit picture turn a stored byte b into
// (b & keep) ^ flip: both entries alike, every dot is that colour; else the
// bits as they are, or turned over.
uint8_t MonoKeep(const PixelFormat &format) { return format.palette_white[0] == format.palette_white[1] ? 0x00 : 0xFF; }
uint8_t MonoFlip(const PixelFormat &format) { return format.palette_white[0] ? 0xFF : 0x00; }

// A 1-bit row a byte at a time: each stored bit becomes white or black as
// its colour entry says; bits past the width stay 0.
void MonoRow(const uint8_t *stored, int32_t width, uint8_t keep, uint8_t flip, uint8_t *out) {
    const int32_t bytes = (width + 7) / 8;
    for (int32_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>((stored[i] & keep) ^ flip);
    if (width % 8) out[bytes - 1] &= static_cast<uint8_t>(0xFF << (8 - width % 8));
}

uint16_t ReadUncompressedRows(FILE *f, const SourceLayout &layout, const PixelFormat &format,
                              MonoBitmap *mono) {
    size_t stride = static_cast<size_t>(BmpStride(layout.width, layout.bit_count));
    HeapBytes row = AllocZeroed(stride, 1);
    if (!row) return TOLLAN_E_NO_MEMORY;
    if (!SeekTo(f, layout.pixel_offset)) return TOLLAN_E_READ_BITMAP;
    for (int32_t i = 0; i < layout.height; ++i) {
        if (!ReadExact(f, row.get(), stride)) return TOLLAN_E_READ_BITMAP;
        int32_t target = layout.top_down ? i : layout.height - 1 - i;
        if (layout.bit_count == 1) {
            MonoRow(row.get(), layout.width, MonoKeep(format), MonoFlip(format),
                    mono->bits.get() + static_cast<size_t>(target) * mono->bytes_per_row);
            continue;
        }
        for (int32_t x = 0; x < layout.width; ++x)
            if (StoredPixelWhite(layout, format, row.get(), x)) SetWhite(mono, target, x);
    }
    return TOLLAN_OK;
}

// Colour indices of an RLE picture, bottom row first; pixels the stream
// skips keep index 0.
struct IndexPicture {
    int32_t width;
    int32_t height;
    HeapBytes index;
    int32_t x;
    int32_t y;
};

void PutIndex(IndexPicture *p, uint8_t value) {
    if (p->x < p->width && p->y < p->height)
        p->index[static_cast<size_t>(p->y) * p->width + p->x] = value;
    ++p->x;
}

// Decodes RLE8 or RLE4 until the end-of-bitmap mark, the end of the picture
// or the end of the file; a file that ends before its picture is complete
// gives TOLLAN_E_READ_BITMAP.
uint16_t DecodeRle(FILE *f, bool four_bit, IndexPicture *p) {
    // x stops at width + 1: pixels past the row are dropped, and no run of
    // deltas can push it further.
    const int pixels_cap = p->width + 1;
    for (;;) {
        if (p->y >= p->height) return TOLLAN_OK;
        int count = getc(f);
        int value = getc(f);
        if (count == EOF || value == EOF) return TOLLAN_E_READ_BITMAP;
        if (count > 0) {
            for (int i = 0; i < count && p->x < pixels_cap; ++i) {
                uint8_t v = static_cast<uint8_t>(value);
                PutIndex(p, four_bit ? (i % 2 ? v & 0x0F : v >> 4) : v);
            }
            continue;
        }
        switch (value) {
        case 0:  // end of line
            p->x = 0;
            ++p->y;
            break;
        case 1:  // end of bitmap
            return TOLLAN_OK;
        case 2: {  // delta
            int dx = getc(f);
            int dy = getc(f);
            if (dx == EOF || dy == EOF) return TOLLAN_E_READ_BITMAP;
            p->x = p->x + dx < pixels_cap ? p->x + dx : pixels_cap;
            p->y += dy;
            break;
        }
        default: {  // absolute run of `value` pixels, padded to 16 bits
            int bytes = four_bit ? (value + 1) / 2 : value;
            uint8_t data[256];
            if (!ReadExact(f, data, static_cast<size_t>(bytes))) return TOLLAN_E_READ_BITMAP;
            if (bytes % 2 && getc(f) == EOF) return TOLLAN_E_READ_BITMAP;
            for (int i = 0; i < value && p->x < pixels_cap; ++i)
                PutIndex(p, four_bit ? (i % 2 ? data[i / 2] & 0x0F : data[i / 2] >> 4) : data[i]);
            break;
        }
        }
    }
}

uint16_t ReadRleRows(FILE *f, const SourceLayout &layout, const PixelFormat &format,
                     MonoBitmap *mono) {
    IndexPicture picture{layout.width, layout.height,
                         AllocZeroed(static_cast<size_t>(layout.width), layout.height), 0, 0};
    if (!picture.index) return TOLLAN_E_NO_MEMORY;
    if (!SeekTo(f, layout.pixel_offset)) return TOLLAN_E_READ_BITMAP;
    uint16_t code = DecodeRle(f, layout.compression == kBmpRle4, &picture);
    if (code != TOLLAN_OK) return code;
    for (int32_t y = 0; y < layout.height; ++y) {
        const uint8_t *row = picture.index.get() + static_cast<size_t>(y) * layout.width;
        for (int32_t x = 0; x < layout.width; ++x)
            if (format.palette_white[row[x]]) SetWhite(mono, layout.height - 1 - y, x);
    }
    return TOLLAN_OK;
}

}  // namespace

uint16_t LoadMonochromeBitmap(const char *path, int32_t max_width, int32_t max_height,
                              MonoBitmap *out) {
    // Rows are read one at a time: a buffer of 64 KB (outliving the file)
    // makes that a few large reads.
    std::vector<char> buffer(kReadBufferBytes);
    FilePtr file(fopen(path, "rb"));
    if (!file) return TOLLAN_E_OPEN_FILE;
    setvbuf(file.get(), buffer.data(), _IOFBF, buffer.size());
    SourceLayout layout;
    uint16_t code = ReadLayout(file.get(), max_width, max_height, &layout);
    if (code != TOLLAN_OK) return code;
    PixelFormat format;
    code = ReadPixelFormat(file.get(), layout, &format);
    if (code != TOLLAN_OK) return code;

    out->width = layout.width;
    out->height = layout.height;
    out->bytes_per_row = (layout.width + 15) / 16 * 2;
    out->bits = AllocZeroed(static_cast<size_t>(out->bytes_per_row), layout.height);
    if (!out->bits) return TOLLAN_E_NO_MEMORY;
    bool rle = layout.compression == kBmpRle8 || layout.compression == kBmpRle4;
    code = rle ? ReadRleRows(file.get(), layout, format, out)
               : ReadUncompressedRows(file.get(), layout, format, out);
    if (code != TOLLAN_OK) out->bits.reset();
    return code;
}

namespace {

// Whole rows at a time, about this much.
constexpr size_t kRowBlockBytes = 64 * 1024;

// The file holds every row it promises, so reading them cannot fail for
// want of data: what the whole loader would find is found here first.
bool HoldsAllRows(FILE *f, const SourceLayout &layout, size_t stride) {
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const uint64_t end = layout.pixel_offset + static_cast<uint64_t>(stride) * static_cast<uint64_t>(layout.height);
    return end >= layout.pixel_offset && end <= static_cast<uint64_t>(st.st_size);
}

// Reads the block of rows that holds row (counted from the top).
bool LoadRowBlock(MonoRowReader *r, int32_t row) {
    // The block's rows in file order: from a bottom-up file, the rows below
    // row, ending with it.
    int32_t first_stored;
    if (r->top_down) {
        first_stored = row;
    } else {
        const int32_t stored = r->height - 1 - row;
        first_stored = stored - r->block_rows + 1 > 0 ? stored - r->block_rows + 1 : 0;
    }
    const int32_t stored_count = r->top_down ? std::min(r->block_rows, r->height - row) : r->height - 1 - row - first_stored + 1;
    const size_t bytes = static_cast<size_t>(stored_count) * r->stride;
    const uint64_t offset = r->pixel_offset + static_cast<uint64_t>(first_stored) * r->stride;
    size_t done = 0;
    while (done < bytes) {
        ssize_t n = pread(fileno(r->file.get()), r->block.get() + done, bytes - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    r->block_first = r->top_down ? first_stored : r->height - 1 - (first_stored + stored_count - 1);
    r->block_count = stored_count;
    return true;
}

}  // namespace

uint16_t OpenMonoRows(const char *path, int32_t max_width, int32_t max_height, MonoRowReader *r,
                      bool *streamable) {
    *streamable = false;
    r->file.reset(fopen(path, "rb"));
    if (!r->file) return TOLLAN_E_OPEN_FILE;
    SourceLayout layout;
    uint16_t code = ReadLayout(r->file.get(), max_width, max_height, &layout);
    if (code != TOLLAN_OK) return code;
    PixelFormat format;
    code = ReadPixelFormat(r->file.get(), layout, &format);
    if (code != TOLLAN_OK) return code;
    const size_t stride = static_cast<size_t>(BmpStride(layout.width, layout.bit_count));
    if (layout.bit_count != 1 || layout.compression != kBmpRgb || !HoldsAllRows(r->file.get(), layout, stride))
        return TOLLAN_OK;
    r->width = layout.width;
    r->height = layout.height;
    r->top_down = layout.top_down;
    r->pixel_offset = layout.pixel_offset;
    r->stride = stride;
    r->keep = MonoKeep(format);
    r->flip = MonoFlip(format);
    r->block_rows = static_cast<int32_t>(std::max<size_t>(1, kRowBlockBytes / stride));
    if (r->block_rows > r->height) r->block_rows = r->height;
    r->block.reset(static_cast<uint8_t *>(malloc(static_cast<size_t>(r->block_rows) * stride)));
    if (!r->block) return TOLLAN_E_NO_MEMORY;
    r->next = 0;
    r->block_first = 0;
    r->block_count = 0;
    *streamable = true;
    return TOLLAN_OK;
}

const uint8_t *NextStoredRow(MonoRowReader *r) {
    if (r->next >= r->height) return nullptr;
    const int32_t row = r->next++;
    if (row < r->block_first || row >= r->block_first + r->block_count) {
        if (!LoadRowBlock(r, row)) return nullptr;
    }
    // In the block, rows lie in file order: bottom-up files have the top
    // row last.
    const int32_t index = r->top_down ? row - r->block_first : r->block_first + r->block_count - 1 - row;
    return r->block.get() + static_cast<size_t>(index) * r->stride;
}

void StoredRowToMono(const MonoRowReader &r, const uint8_t *stored, uint8_t *mono_row) {
    MonoRow(stored, r.width, r.keep, r.flip, mono_row);
}
