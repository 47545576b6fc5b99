// Bitmaps in: PBM (netpbm P4 and P1, several images to a file) read a row at
// a time, and BMP of any depth through the library's bitmap loader, reduced
// to black and white. Both go through the same scale plan as TIFF pages;
// PBM has no resolution and a BMP's may be 0, so the page's size decides.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "documents/documents.h"
#include "engine/trace.h"
#include "image/bmp_format.h"
#include "image/bmp_loader.h"

namespace {

// The largest bitmap held whole (a BMP is loaded before it is scaled):
// 16384 x 16384 dots is 32 MiB.
constexpr int32_t kMaxBitmapRows = 16384;
// No paper a fax machine takes is wider (B4 is 10.1 inches).
constexpr double kWidestBmpInches = 12.0;

uint16_t WriteRows(PageOutput *out, const SourceGeometry &g, const uint8_t *rows, int32_t row_bytes,
                   bool zero_is_black) {
    ScalePlan plan;
    PlanScaling(g, out->target_lpi, &plan);
    PageWriter w;
    if (uint16_t rc = StartOutputPage(out, &w)) return rc;
    RowScaler scaler;
    StartRowScaler(&scaler, &plan);
    std::vector<uint8_t> line(static_cast<size_t>(row_bytes));
    const int last_bits = g.width & 7 ? g.width & 7 : 8;
    const uint8_t last_mask = static_cast<uint8_t>(0xFF << (8 - last_bits));
    const int32_t packed = PackedRowBytes(g.width);
    uint16_t rc = TOLLAN_OK;
    for (int32_t y = 0; y < g.rows && rc == TOLLAN_OK; ++y) {
        const uint8_t *row = rows + static_cast<size_t>(y) * static_cast<size_t>(row_bytes);
        for (int32_t i = 0; i < packed; ++i) line[static_cast<size_t>(i)] = zero_is_black ? ~row[i] : row[i];
        line[static_cast<size_t>(packed) - 1] &= last_mask;
        rc = ScaleRow(&scaler, line.data(), &w);
    }
    if (rc == TOLLAN_OK) rc = FinishRowScaler(&scaler, &w);
    if (rc == TOLLAN_OK) return FinishOutputPage(out, &w);
    if (w.fd != -1) close(w.fd);
    return rc;
}

// ---- PBM ----

// The next header number, past white space and comments; -1 when none.
int64_t PbmNumber(FILE *f) {
    int c = fgetc(f);
    for (;;) {
        while (c != EOF && isspace(c)) c = fgetc(f);
        if (c != '#') break;
        while (c != EOF && c != '\n') c = fgetc(f);
    }
    if (c == EOF || !isdigit(c)) return -1;
    int64_t value = 0;
    while (c != EOF && isdigit(c)) {
        if (value < 100000000) value = value * 10 + (c - '0');
        c = fgetc(f);
    }
    return value;  // the one white space character after it is consumed
}

// One row of a plain (P1) image: "0" white, "1" black, anything between.
bool ReadPlainRow(FILE *f, int32_t width, uint8_t *row) {
    memset(row, 0, static_cast<size_t>(PackedRowBytes(width)));
    for (int32_t x = 0; x < width;) {
        int c = fgetc(f);
        if (c == EOF) return false;
        if (c == '#') {
            while (c != EOF && c != '\n') c = fgetc(f);
            continue;
        }
        if (c == '0' || c == '1') {
            if (c == '1') row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
            ++x;
        }
    }
    return true;
}

uint16_t ReadPbmImage(FILE *f, bool plain, PageOutput *out) {
    const int64_t width = PbmNumber(f), rows = PbmNumber(f);
    if (width <= 0 || rows <= 0) {
        FaxTrace("documents: a PBM image without its size");
        return TOLLAN_E_DOC_FORMAT;
    }
    if (width > kMaxSourceWidth || rows > kMaxSourceRows) {
        FaxTrace("documents: PBM image of %lld x %lld dots is past %d x %d", static_cast<long long>(width),
                 static_cast<long long>(rows), kMaxSourceWidth, kMaxSourceRows);
        return TOLLAN_E_PAGE_TOO_LARGE;
    }
    SourceGeometry g{static_cast<int32_t>(width), static_cast<int32_t>(rows), 0, 0};
    ScalePlan plan;
    PlanScaling(g, out->target_lpi, &plan);
    PageWriter w;
    if (uint16_t rc = StartOutputPage(out, &w)) return rc;
    RowScaler scaler;
    StartRowScaler(&scaler, &plan);
    std::vector<uint8_t> row(static_cast<size_t>(PackedRowBytes(g.width)));
    const int last_bits = g.width & 7 ? g.width & 7 : 8;
    uint16_t rc = TOLLAN_OK;
    for (int32_t y = 0; y < g.rows && rc == TOLLAN_OK; ++y) {
        bool ok = plain ? ReadPlainRow(f, g.width, row.data()) : fread(row.data(), 1, row.size(), f) == row.size();
        if (!ok) {
            FaxTrace("documents: the PBM image ends at row %d of %d", static_cast<int>(y), static_cast<int>(g.rows));
            rc = TOLLAN_E_READ_BITMAP;
            break;
        }
        row.back() &= static_cast<uint8_t>(0xFF << (8 - last_bits));
        rc = ScaleRow(&scaler, row.data(), &w);
    }
    if (rc == TOLLAN_OK) rc = FinishRowScaler(&scaler, &w);
    if (rc == TOLLAN_OK) return FinishOutputPage(out, &w);
    if (w.fd != -1) close(w.fd);
    return rc;
}

// The next image's magic number, past white space; 0 at the end of the file.
int PbmMagic(FILE *f) {
    int c = fgetc(f);
    while (c != EOF && isspace(c)) c = fgetc(f);
    if (c == EOF) return 0;
    int d = fgetc(f);
    if (c != 'P' || (d != '1' && d != '4')) return -1;
    return d;
}

}  // namespace

uint16_t ReadPbmDocument(const char *path, PageOutput *out) {
    FilePtr file(fopen(path, "rb"));
    if (!file) return TOLLAN_E_OPEN_FILE;
    // Images one after the other make pages one after the other.
    for (int magic = PbmMagic(file.get()); magic != 0; magic = PbmMagic(file.get())) {
        if (magic < 0) {
            // Not an image: the end of a file that held images, else no PBM.
            if (out->pages > 0) return TOLLAN_OK;
            return TOLLAN_E_DOC_FORMAT;
        }
        if (uint16_t rc = ReadPbmImage(file.get(), magic == '1', out)) return rc;
    }
    return TOLLAN_OK;
}

uint16_t PbmGeometry(const char *path, SourceGeometry *g) {
    FilePtr file(fopen(path, "rb"));
    if (!file) return TOLLAN_E_OPEN_FILE;
    if (PbmMagic(file.get()) <= 0) return TOLLAN_E_DOC_FORMAT;
    const int64_t width = PbmNumber(file.get()), rows = PbmNumber(file.get());
    if (width <= 0 || rows <= 0) return TOLLAN_E_DOC_FORMAT;
    if (width > kMaxSourceWidth || rows > kMaxSourceRows) return TOLLAN_E_PAGE_TOO_LARGE;
    *g = SourceGeometry{static_cast<int32_t>(width), static_cast<int32_t>(rows), 0, 0};
    return TOLLAN_OK;
}

uint16_t BmpGeometry(const char *path, SourceGeometry *g) {
    FilePtr file(fopen(path, "rb"));
    if (!file) return TOLLAN_E_OPEN_FILE;
    uint8_t headers[kBmpHeadersSize];
    if (!ReadExact(file.get(), headers, sizeof headers)) return TOLLAN_E_READ_BITMAP;
    BmpHeaders h;
    ParseBmpHeaders(headers, &h);
    if (h.width <= 0 || h.height == 0 || h.height == INT32_MIN) return TOLLAN_E_READ_BITMAP;
    *g = SourceGeometry{h.width, h.height < 0 ? -h.height : h.height, 0, 0};
    // The resolution fields, where the header has them (0 when not given).
    // Drawing programs write the screen's 72 or 96 dpi whatever the picture
    // is: fields that make it wider than any paper a fax machine takes are
    // taken as telling nothing.
    if (h.info_size >= 40 && h.x_pels_per_meter > 0 && h.y_pels_per_meter > 0 &&
        h.width / (h.x_pels_per_meter * 0.0254) <= kWidestBmpInches) {
        g->x_dpi = h.x_pels_per_meter * 0.0254;
        g->y_dpi = h.y_pels_per_meter * 0.0254;
    }
    return TOLLAN_OK;
}

uint16_t ReadBmpDocument(const char *path, PageOutput *out) {
    MonoBitmap bitmap;
    uint16_t rc = LoadMonochromeBitmap(path, kMaxSourceWidth, kMaxBitmapRows, &bitmap);
    if (rc == TOLLAN_E_TOO_WIDE || rc == TOLLAN_E_TOO_TALL) return TOLLAN_E_PAGE_TOO_LARGE;
    if (rc != TOLLAN_OK) return rc;
    SourceGeometry g{};
    if (BmpGeometry(path, &g) != TOLLAN_OK) g = SourceGeometry{bitmap.width, bitmap.height, 0, 0};
    g.width = bitmap.width;
    g.rows = bitmap.height;
    return WriteRows(out, g, bitmap.bits.get(), bitmap.bytes_per_row, true);
}
