// The library's C exports: argument checks, the kind of document, and
// removing what a failed call wrote.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "documents/documents.h"
#include "documents/tollan_documents.h"
#include "engine/tollan.h"
#include "engine/trace.h"

namespace {

enum DocumentKind { kNotADocument, kTiff, kRendered, kBmp, kPbm };

// By the file's first bytes: a TIFF (either byte order, classic or big), a
// PDF, PostScript, PostScript in a DOS EPS wrapper, a BMP or a PBM.
DocumentKind KindOfDocument(const uint8_t *head, size_t n) {
    if (n >= 4 && ((head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0) ||
                   (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43))))
        return kTiff;
    if (n >= 5 && memcmp(head, "%PDF-", 5) == 0) return kRendered;
    if (n >= 2 && memcmp(head, "%!", 2) == 0) return kRendered;
    if (n >= 4 && head[0] == 0xC5 && head[1] == 0xD0 && head[2] == 0xD3 && head[3] == 0xC6) return kRendered;
    if (n >= 2 && head[0] == 'B' && head[1] == 'M') return kBmp;
    if (n >= 3 && head[0] == 'P' && (head[1] == '1' || head[1] == '4') && isspace(head[2])) return kPbm;
    return kNotADocument;
}

uint16_t ReadHead(const char *path, uint8_t (&head)[8], size_t *n) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        FaxTrace("documents: cannot open %s: errno %d", path, errno);
        return TOLLAN_E_OPEN_FILE;
    }
    ssize_t got;
    do {
        got = read(fd, head, sizeof head);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got < 0) return TOLLAN_E_OPEN_FILE;
    *n = static_cast<size_t>(got);
    return TOLLAN_OK;
}

bool Given(const char *text) { return text && *text; }

}  // namespace

extern "C" {

TOLLAN_DOCUMENTS_API uint16_t ConvertDocumentToPages(const char *document, const char *base_name,
                                                     int32_t resolution, int16_t first_page, int16_t *pages) {
    if (pages) *pages = 0;
    if (!Given(document) || !Given(base_name) || !pages || first_page < 1 ||
        first_page > INT16_MAX - kMaxPagesPerDocument)
        return TOLLAN_E_ARGUMENT;
    uint8_t head[8];
    size_t n = 0;
    if (uint16_t rc = ReadHead(document, head, &n)) return rc;
    const DocumentKind kind = KindOfDocument(head, n);
    if (kind == kNotADocument) {
        FaxTrace("documents: %s is not a TIFF, PDF, PostScript, BMP or PBM document", document);
        return TOLLAN_E_DOC_FORMAT;
    }
    PageOutput out{base_name, first_page, TargetLpi(resolution), 0, {}};
    uint16_t rc = TOLLAN_OK;
    if (kind == kTiff) {
        TIFF *tif = OpenTiffFile(document);
        if (!tif) return TOLLAN_E_DOC_TIFF;
        rc = ReadTiffDocument(tif, &out);
        TIFFClose(tif);
    } else if (kind == kBmp) {
        rc = ReadBmpDocument(document, &out);
    } else if (kind == kPbm) {
        rc = ReadPbmDocument(document, &out);
    } else {
        rc = RenderWithGhostscript(document, &out, kGhostscriptLimitMs);
    }
    if (rc != TOLLAN_OK) {
        RemoveWrittenFiles(&out);
        return rc;
    }
    *pages = static_cast<int16_t>(out.pages);
    return TOLLAN_OK;
}

TOLLAN_DOCUMENTS_API uint16_t GetDocumentResolution(const char *document, int32_t *resolution) {
    if (resolution) *resolution = 0;
    if (!Given(document) || !resolution) return TOLLAN_E_ARGUMENT;
    uint8_t head[8];
    size_t n = 0;
    if (uint16_t rc = ReadHead(document, head, &n)) return rc;
    bool standard = false;
    SourceGeometry g{};
    switch (KindOfDocument(head, n)) {
    case kNotADocument: return TOLLAN_E_DOC_FORMAT;
    case kRendered: return TOLLAN_OK;  // rendered at whichever is asked: fine keeps it sharp
    case kTiff: {
        TIFF *tif = OpenTiffFile(document);
        if (!tif) return TOLLAN_E_DOC_TIFF;
        uint16_t rc = TiffPagesAskStandard(tif, &standard);
        TIFFClose(tif);
        if (rc != TOLLAN_OK) return rc;
        break;
    }
    case kBmp:
        if (uint16_t rc = BmpGeometry(document, &g)) return rc;
        standard = AsksForStandard(g);
        break;
    case kPbm:
        if (uint16_t rc = PbmGeometry(document, &g)) return rc;
        standard = AsksForStandard(g);
        break;
    }
    *resolution = standard ? 1 : 0;
    return TOLLAN_OK;
}

TOLLAN_DOCUMENTS_API uint16_t WritePagesAsTiff(const char *base_name, const char *tiff_path, int32_t coding,
                                               int32_t resolution) {
    if (!Given(base_name) || !Given(tiff_path) || coding < TOLLAN_CODING_MH || coding > TOLLAN_CODING_MMR)
        return TOLLAN_E_ARGUMENT;
    return WriteTiffDocument(base_name, tiff_path, coding, resolution);
}

TOLLAN_DOCUMENTS_API uint16_t WritePagesAsPdf(const char *base_name, const char *pdf_path, int32_t resolution) {
    if (!Given(base_name) || !Given(pdf_path)) return TOLLAN_E_ARGUMENT;
    return WritePdfDocument(base_name, pdf_path, resolution);
}

}  // extern "C"
