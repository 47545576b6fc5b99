// Page files out as one TIFF Class F: each page decoded (one page in memory
// at a time), its rows coded again by libtiff in the coding asked for, and
// its directory written before the next page is read.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "documents/documents.h"
#include "documents/tollan_documents.h"
#include "engine/tollan.h"
#include "engine/trace.h"

namespace {

int TraceTiffMessage(TIFF *, void *, const char *module, const char *format, va_list args) {
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    FaxTrace("libtiff: %s: %s", module ? module : "", text);
    return 1;
}

// "YYYY:MM:DD HH:MM:SS", local time, as TIFF wants its DateTime.
void TiffDateTime(char (&out)[20]) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    if (strftime(out, sizeof out, "%Y:%m:%d %H:%M:%S", &local) == 0) out[0] = '\0';
}

bool SetPageFields(TIFF *tif, const PageIn &page, int32_t coding, int32_t number, int32_t total) {
    char date[20];
    TiffDateTime(date);
    const uint32_t rows = static_cast<uint32_t>(page.count);
    bool ok = TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE) &&
              TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(kFaxWidth)) &&
              TIFFSetField(tif, TIFFTAG_IMAGELENGTH, rows) && TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1) &&
              TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
              TIFFSetField(tif, TIFFTAG_COMPRESSION,
                           coding == TOLLAN_TIFF_MMR ? COMPRESSION_CCITTFAX4 : COMPRESSION_CCITTFAX3) &&
              TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE) &&
              TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB) &&
              TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows) &&
              TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(kFaxDpi)) &&
              TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(page.lpi)) &&
              TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
              TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(number), static_cast<uint16_t>(total)) &&
              TIFFSetField(tif, TIFFTAG_SOFTWARE, "tollan-documents " TOLLAN_VERSION) &&
              TIFFSetField(tif, TIFFTAG_DATETIME, date) &&
              // Decoded rows are coded again: a page with bad rows comes
              // out regenerated, the bad rows as the decoder left them.
              TIFFSetField(tif, TIFFTAG_BADFAXLINES, static_cast<uint32_t>(page.bad_rows)) &&
              TIFFSetField(tif, TIFFTAG_CLEANFAXDATA,
                           page.bad_rows ? CLEANFAXDATA_REGENERATED : CLEANFAXDATA_CLEAN) &&
              TIFFSetField(tif, TIFFTAG_CONSECUTIVEBADFAXLINES, static_cast<uint32_t>(page.longest_bad_run));
    if (ok && coding != TOLLAN_TIFF_MMR)
        ok = TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS,
                          static_cast<uint32_t>(coding == TOLLAN_TIFF_MR ? GROUP3OPT_2DENCODING : 0));
    return ok;
}

uint16_t WritePage(TIFF *tif, const PageIn &page, int32_t coding, int32_t number, int32_t total) {
    if (!SetPageFields(tif, page, coding, number, total)) return TOLLAN_E_DOC_WRITE;
    for (int32_t y = 0; y < page.count; ++y) {
        // libtiff's scanline writer takes a non-const row.
        uint8_t *row = const_cast<uint8_t *>(G3Row(page.rows, y));
        if (TIFFWriteScanline(tif, row, static_cast<uint32_t>(y), 0) < 0) return TOLLAN_E_DOC_WRITE;
    }
    if (!TIFFWriteDirectory(tif)) return TOLLAN_E_DOC_WRITE;
    return TOLLAN_OK;
}

}  // namespace

// Pages 1, 2, ... up to the first one missing; TOLLAN_E_NO_PAGE_FILE when
// there is no page 1.
uint16_t CountPageFiles(const std::string &base_name, int32_t *total) {
    *total = 0;
    for (;;) {
        std::string path = PageFilePath(base_name, *total + 1, ".g3");
        if (path.empty()) return TOLLAN_E_ARGUMENT;
        if (access(path.c_str(), F_OK) != 0) break;
        if (++*total > kMaxPagesPerDocument) return TOLLAN_E_TOO_MANY_PAGES;
    }
    return *total ? TOLLAN_OK : TOLLAN_E_NO_PAGE_FILE;
}

uint16_t WriteTiffDocument(const std::string &base_name, const char *tiff_path, int32_t coding,
                           int32_t resolution) {
    int32_t total = 0;
    if (uint16_t rc = CountPageFiles(base_name, &total)) return rc;
    int fd = -1;
    if (uint16_t rc = CreateDocumentFile(tiff_path, &fd)) return rc;
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    if (options) {
        TIFFOpenOptionsSetErrorHandlerExtR(options, TraceTiffMessage, nullptr);
        TIFFOpenOptionsSetWarningHandlerExtR(options, TraceTiffMessage, nullptr);
    }
    TIFF *tif = TIFFFdOpenExt(fd, tiff_path, "wl", options);
    TIFFOpenOptionsFree(options);
    if (!tif) {
        close(fd);
        unlink(tiff_path);
        return TOLLAN_E_DOC_WRITE;
    }
    uint16_t rc = TOLLAN_OK;
    for (int32_t page = 1; page <= total && rc == TOLLAN_OK; ++page) {
        PageIn in;
        rc = ReadPageIn(base_name, page, resolution, &in);
        if (rc == TOLLAN_OK) rc = WritePage(tif, in, coding, page - 1, total);
    }
    if (rc == TOLLAN_OK && !TIFFFlush(tif)) rc = TOLLAN_E_DOC_WRITE;
    TIFFClose(tif);  // closes fd
    if (rc != TOLLAN_OK) unlink(tiff_path);
    return rc;
}
