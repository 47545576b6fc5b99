// Windows bitmap file layout: the 14-byte file header and the 40-byte info
// header as plain fields, little-endian helpers, and the files and heap
// blocks the converters hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

constexpr size_t kBmpFileHeaderSize = 14;
constexpr size_t kBmpInfoHeaderSize = 40;
constexpr size_t kBmpHeadersSize = kBmpFileHeaderSize + kBmpInfoHeaderSize;
constexpr size_t kBmpColourEntrySize = 4;            // blue, green, red, reserved
constexpr size_t kMonoBmpHeaderSize = kBmpHeadersSize + 2 * kBmpColourEntrySize;  // 62

// Compression values of biCompression.
constexpr uint32_t kBmpRgb = 0;
constexpr uint32_t kBmpRle8 = 1;
constexpr uint32_t kBmpRle4 = 2;
constexpr uint32_t kBmpBitFields = 3;
constexpr uint32_t kBmpAlphaBitFields = 6;

// Largest picture a fax page can carry; larger bitmaps are refused.
constexpr int32_t kMaxBmpWidth = 1728;
constexpr int32_t kMaxBmpHeight = 4580;

inline uint16_t Le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void PutLe16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The file header and the first 40 bytes of the info header, in file order.
struct BmpHeaders {
    uint8_t type[2];          // "BM"
    uint32_t file_size;
    uint16_t reserved1;
    uint16_t reserved2;
    uint32_t off_bits;        // where the pixel rows start
    uint32_t info_size;       // 40, or more for the later header versions
    int32_t width;
    int32_t height;           // positive: rows bottom-up; negative: top-down
    uint16_t planes;
    uint16_t bit_count;
    uint32_t compression;
    uint32_t size_image;
    int32_t x_pels_per_meter;
    int32_t y_pels_per_meter;
    uint32_t clr_used;
    uint32_t clr_important;
};

void ParseBmpHeaders(const uint8_t in[kBmpHeadersSize], BmpHeaders *out);
void SerialiseBmpHeaders(const BmpHeaders &in, uint8_t out[kBmpHeadersSize]);

// The headers of a 1-bit, uncompressed, bottom-up bitmap of the given size,
// all other fields 0, ready for the two colour entries.
BmpHeaders MonoBmpHeaders(int32_t width, int32_t height, uint32_t file_size);

// Bytes of a row of width pixels at bits_per_pixel, padded to 4 bytes, as
// ordinary bitmap files store them. 64-bit so no width can overflow it.
inline uint64_t BmpStride(uint64_t width, uint64_t bits_per_pixel) {
    return (width * bits_per_pixel + 31) / 32 * 4;
}

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
// A heap block owned by one conversion call.
using HeapBytes = std::unique_ptr<uint8_t[], FreeDeleter>;
// count * size zeroed bytes, or empty when they cannot be had (including a
// product that overflows).
HeapBytes AllocZeroed(size_t count, size_t size);

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;
// Closes a file that was written. False when any write, the final flush or
// the close failed (a full disk shows up here at the latest).
bool CloseWrittenFile(FilePtr *file);

// Output written in whole blocks at offsets that are multiples of the block
// size (the last block short): the page cache then takes each block in
// large pieces, where writes that straddle its pages cost about half as
// much system time again.
constexpr size_t kFileBlockBytes = 64 * 1024;
struct BlockWriter {
    FILE *file;
    HeapBytes block;  // kFileBlockBytes
    size_t used;
    bool failed;      // a write failed: the rest is dropped
};
// False when the block cannot be had; the file is set later.
bool StartBlockWriter(BlockWriter *w);
// Makes a newly opened file take each block in one write of its own: the
// stream's own buffer would split all but the first in two.
void WriteInBlocks(FILE *file);
void PutBytes(BlockWriter *w, const void *data, size_t n);
void PutZeroBytes(BlockWriter *w, size_t n);
// Writes what is left; false when any write failed.
bool FlushBlockWriter(BlockWriter *w);

// Reads exactly n bytes; false on a short read.
inline bool ReadExact(FILE *f, void *buf, size_t n) { return fread(buf, 1, n, f) == n; }
