// TIFF pages in: libtiff decodes each bilevel page a row at a time (whatever
// its compression and fill order), and the rows go through the page's scale
// plan into a page file. Only a row of the source is held at a time.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "documents/documents.h"
#include "engine/tollan.h"
#include "engine/trace.h"

namespace {

int TraceTiffMessage(TIFF *, void *, const char *module, const char *format, va_list args) {
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    FaxTrace("libtiff: %s: %s", module ? module : "", text);
    return 1;  // handled: nothing on the host's standard error
}

TIFFOpenOptions *BoundedOptions() {
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxTiffAllocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options, TraceTiffMessage, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, TraceTiffMessage, nullptr);
    return options;
}

tmsize_t ReadMemory(thandle_t handle, void *buf, tmsize_t n) {
    MemoryTiff *m = static_cast<MemoryTiff *>(handle);
    if (n < 0) return -1;
    toff_t left = m->pos < m->size ? m->size - m->pos : 0;
    toff_t take = static_cast<toff_t>(n) < left ? static_cast<toff_t>(n) : left;
    if (take) memcpy(buf, m->data + m->pos, static_cast<size_t>(take));
    m->pos += take;
    return static_cast<tmsize_t>(take);
}
tmsize_t WriteMemory(thandle_t, void *, tmsize_t) { return -1; }
toff_t SeekMemory(thandle_t handle, toff_t off, int whence) {
    MemoryTiff *m = static_cast<MemoryTiff *>(handle);
    toff_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : m->size;
    m->pos = base + off;
    return m->pos;
}
int CloseMemory(thandle_t) { return 0; }
toff_t SizeMemory(thandle_t handle) { return static_cast<MemoryTiff *>(handle)->size; }
int MapMemory(thandle_t, void **, toff_t *) { return 0; }
void UnmapMemory(thandle_t, void *, toff_t) {}

// The page's dots per inch in each direction, 0 where not given.
void PageResolution(TIFF *tif, SourceGeometry *g) {
    float x = 0, y = 0;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (!TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x)) x = 0;
    if (!TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y)) y = 0;
    double scale = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
    if (unit == RESUNIT_NONE) x = y = 0;  // an aspect ratio, not a size
    // Values no page has (NaN, negative, absurd) count as not given.
    g->x_dpi = x > 0 && x * scale < 100000 ? x * scale : 0;
    g->y_dpi = y > 0 && y * scale < 100000 ? y * scale : 0;
}

// The current directory's page, checked; TOLLAN_E_DOC_TIFF when libtiff
// cannot give it as rows of one bit per dot.
uint16_t PageLayout(TIFF *tif, SourceGeometry *g, bool *black_is_0) {
    uint32_t width = 0, rows = 0;
    uint16_t bits = 1, samples = 1, photometric = PHOTOMETRIC_MINISWHITE;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &rows)) {
        FaxTrace("documents: a TIFF page without its size");
        return TOLLAN_E_DOC_TIFF;
    }
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = PHOTOMETRIC_MINISWHITE;
    if (bits != 1 || samples != 1 || TIFFIsTiled(tif) ||
        (photometric != PHOTOMETRIC_MINISWHITE && photometric != PHOTOMETRIC_MINISBLACK)) {
        FaxTrace("documents: TIFF page of %u bits, %u samples, photometric %u%s: not a bilevel page",
                 bits, samples, photometric, TIFFIsTiled(tif) ? ", tiled" : "");
        return TOLLAN_E_DOC_TIFF;
    }
    if (width == 0 || rows == 0) {
        FaxTrace("documents: an empty TIFF page (%u x %u)", width, rows);
        return TOLLAN_E_DOC_TIFF;
    }
    if (width > static_cast<uint32_t>(kMaxSourceWidth) || rows > static_cast<uint32_t>(kMaxSourceRows)) {
        FaxTrace("documents: TIFF page of %u x %u dots is past %d x %d", width, rows, kMaxSourceWidth,
                 kMaxSourceRows);
        return TOLLAN_E_PAGE_TOO_LARGE;
    }
    g->width = static_cast<int32_t>(width);
    g->rows = static_cast<int32_t>(rows);
    PageResolution(tif, g);
    *black_is_0 = photometric == PHOTOMETRIC_MINISBLACK;
    return TOLLAN_OK;
}

// One directory into one page file.
uint16_t ReadTiffPage(TIFF *tif, PageOutput *out) {
    SourceGeometry g{};
    bool black_is_0 = false;
    if (uint16_t rc = PageLayout(tif, &g, &black_is_0)) return rc;
    const tmsize_t line_bytes = TIFFScanlineSize(tif);
    const int32_t row_bytes = PackedRowBytes(g.width);
    if (line_bytes < row_bytes) return TOLLAN_E_DOC_TIFF;
    std::vector<uint8_t> line(static_cast<size_t>(line_bytes));
    ScalePlan plan;
    PlanScaling(g, out->target_lpi, &plan);
    PageWriter w;
    if (uint16_t rc = StartOutputPage(out, &w)) return rc;
    RowScaler scaler;
    StartRowScaler(&scaler, &plan);
    // Bits past the row's width are white, whatever the file held there.
    const int last_bits = g.width & 7 ? g.width & 7 : 8;
    const uint8_t last_mask = static_cast<uint8_t>(0xFF << (8 - last_bits));
    uint16_t rc = TOLLAN_OK;
    for (int32_t y = 0; y < g.rows && rc == TOLLAN_OK; ++y) {
        if (TIFFReadScanline(tif, line.data(), static_cast<uint32_t>(y), 0) < 0) {
            FaxTrace("documents: TIFF row %d cannot be read", static_cast<int>(y));
            rc = TOLLAN_E_DOC_TIFF;
            break;
        }
        if (black_is_0)
            for (int32_t i = 0; i < row_bytes; ++i) line[static_cast<size_t>(i)] ^= 0xFF;
        line[static_cast<size_t>(row_bytes) - 1] &= last_mask;
        rc = ScaleRow(&scaler, line.data(), &w);
    }
    if (rc == TOLLAN_OK) rc = FinishRowScaler(&scaler, &w);
    if (rc == TOLLAN_OK) return FinishOutputPage(out, &w);
    if (w.fd != -1) close(w.fd);
    return rc;
}

}  // namespace

TIFF *OpenTiffFile(const char *path) {
    TIFFOpenOptions *options = BoundedOptions();
    if (!options) return nullptr;
    TIFF *tif = TIFFOpenExt(path, "r", options);
    TIFFOpenOptionsFree(options);
    return tif;
}

TIFF *OpenTiffMemory(MemoryTiff *m) {
    TIFFOpenOptions *options = BoundedOptions();
    if (!options) return nullptr;
    m->pos = 0;
    // "m": never mapped, so every read goes through ReadMemory.
    TIFF *tif = TIFFClientOpenExt("memory", "rm", m, ReadMemory, WriteMemory, SeekMemory, CloseMemory, SizeMemory,
                                  MapMemory, UnmapMemory, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

uint16_t TiffPagesAskStandard(TIFF *tif, bool *standard) {
    *standard = true;
    do {
        SourceGeometry g{};
        bool black_is_0 = false;
        if (uint16_t rc = PageLayout(tif, &g, &black_is_0)) return rc;
        if (!AsksForStandard(g)) *standard = false;
    } while (*standard && TIFFReadDirectory(tif));
    return TOLLAN_OK;
}

uint16_t ReadTiffDocument(TIFF *tif, PageOutput *out) {
    do {
        if (uint16_t rc = ReadTiffPage(tif, out)) return rc;
    } while (TIFFReadDirectory(tif));
    return TOLLAN_OK;
}
