#include "image/bmp_format.h"

#include <cstring>

void ParseBmpHeaders(const uint8_t in[kBmpHeadersSize], BmpHeaders *out) {
    out->type[0] = in[0];
    out->type[1] = in[1];
    out->file_size = Le32(in + 2);
    out->reserved1 = Le16(in + 6);
    out->reserved2 = Le16(in + 8);
    out->off_bits = Le32(in + 10);
    out->info_size = Le32(in + 14);
    out->width = static_cast<int32_t>(Le32(in + 18));
    out->height = static_cast<int32_t>(Le32(in + 22));
    out->planes = Le16(in + 26);
    out->bit_count = Le16(in + 28);
    out->compression = Le32(in + 30);
    out->size_image = Le32(in + 34);
    out->x_pels_per_meter = static_cast<int32_t>(Le32(in + 38));
    out->y_pels_per_meter = static_cast<int32_t>(Le32(in + 42));
    out->clr_used = Le32(in + 46);
    out->clr_important = Le32(in + 50);
}

void SerialiseBmpHeaders(const BmpHeaders &in, uint8_t out[kBmpHeadersSize]) {
    out[0] = in.type[0];
    out[1] = in.type[1];
    PutLe32(out + 2, in.file_size);
    PutLe16(out + 6, in.reserved1);
    PutLe16(out + 8, in.reserved2);
    PutLe32(out + 10, in.off_bits);
    PutLe32(out + 14, in.info_size);
    PutLe32(out + 18, static_cast<uint32_t>(in.width));
    PutLe32(out + 22, static_cast<uint32_t>(in.height));
    PutLe16(out + 26, in.planes);
    PutLe16(out + 28, in.bit_count);
    PutLe32(out + 30, in.compression);
    PutLe32(out + 34, in.size_image);
    PutLe32(out + 38, static_cast<uint32_t>(in.x_pels_per_meter));
    PutLe32(out + 42, static_cast<uint32_t>(in.y_pels_per_meter));
    PutLe32(out + 46, in.clr_used);
    PutLe32(out + 50, in.clr_important);
}

BmpHeaders MonoBmpHeaders(int32_t width, int32_t height, uint32_t file_size) {
    BmpHeaders h;
    memset(&h, 0, sizeof h);
    h.type[0] = 'B';
    h.type[1] = 'M';
    h.file_size = file_size;
    h.off_bits = kMonoBmpHeaderSize;
    h.info_size = kBmpInfoHeaderSize;
    h.width = width;
    h.height = height;
    h.planes = 1;
    h.bit_count = 1;
    h.compression = kBmpRgb;
    return h;
}

HeapBytes AllocZeroed(size_t count, size_t size) {
    if (count == 0 || size == 0) return HeapBytes(static_cast<uint8_t *>(calloc(1, 1)));
    return HeapBytes(static_cast<uint8_t *>(calloc(count, size)));  // calloc checks the product
}

bool CloseWrittenFile(FilePtr *file) {
    FILE *f = file->release();
    if (!f) return false;
    bool ok = !ferror(f);
    if (fflush(f) != 0) ok = false;
    if (fclose(f) != 0) ok = false;
    return ok;
}

bool StartBlockWriter(BlockWriter *w) {
    w->file = nullptr;
    w->block.reset(static_cast<uint8_t *>(malloc(kFileBlockBytes)));
    w->used = 0;
    w->failed = false;
    return w->block != nullptr;
}

void WriteInBlocks(FILE *file) { setvbuf(file, nullptr, _IONBF, 0); }

namespace {

void WriteFullBlock(BlockWriter *w) {
    if (!w->failed && fwrite(w->block.get(), 1, kFileBlockBytes, w->file) != kFileBlockBytes) w->failed = true;
    w->used = 0;
}

}  // namespace

void PutBytes(BlockWriter *w, const void *data, size_t n) {
    const uint8_t *from = static_cast<const uint8_t *>(data);
    while (n > 0) {
        const size_t room = kFileBlockBytes - w->used;
        const size_t part = n < room ? n : room;
        memcpy(w->block.get() + w->used, from, part);
        w->used += part;
        from += part;
        n -= part;
        if (w->used == kFileBlockBytes) WriteFullBlock(w);
    }
}

void PutZeroBytes(BlockWriter *w, size_t n) {
    while (n > 0) {
        const size_t room = kFileBlockBytes - w->used;
        const size_t part = n < room ? n : room;
        memset(w->block.get() + w->used, 0, part);
        w->used += part;
        n -= part;
        if (w->used == kFileBlockBytes) WriteFullBlock(w);
    }
}

bool FlushBlockWriter(BlockWriter *w) {
    if (w->used > 0 && !w->failed && fwrite(w->block.get(), 1, w->used, w->file) != w->used) w->failed = true;
    w->used = 0;
    return !w->failed;
}
