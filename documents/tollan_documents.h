/*
 * libtollan-documents: documents (TIFF, PDF, PostScript) to and from the page
 * files of libtollan.
 *
 * Page files are named from a base name as libtollan names them: the base
 * name without the extension of its file name, then "_p<n>.g3" (the page,
 * Modified Huffman, first bit in the least significant bit, ending with
 * return-to-control) and "_p<n>.ffi" (its information: "Key = value" lines
 * ended by CR LF). Every function returns a 16-bit code: 0 or one of
 * libtollan's TOLLAN_E_* codes (tollan.h) or one of the codes below.
 * Every file written is new: created 0600, never through a symbolic link and
 * never over an existing file; a call that fails removes what it wrote.
 */
#ifndef TOLLAN_DOCUMENTS_H
#define TOLLAN_DOCUMENTS_H

#include <stdint.h>

#if defined(__GNUC__)
#define TOLLAN_DOCUMENTS_API __attribute__((visibility("default")))
#else
#define TOLLAN_DOCUMENTS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Codes of this library, apart from libtollan's (which end below 200). */
enum {
    TOLLAN_E_DOC_FORMAT = 200,         /* not a document read here (TIFF, PDF, PostScript, BMP, PBM) */
    TOLLAN_E_DOC_TIFF = 201,           /* the TIFF cannot be read, or a page is not bilevel strips */
    TOLLAN_E_DOC_NO_GHOSTSCRIPT = 202, /* PDF and PostScript need Ghostscript ("gs" on the PATH) */
    TOLLAN_E_DOC_GHOSTSCRIPT = 203,    /* Ghostscript failed on the document */
    TOLLAN_E_DOC_WRITE = 204           /* writing the document failed (disk full, I/O error) */
};

/* Codings of a TIFF written by WritePagesAsTiff. */
enum {
    TOLLAN_CODING_MH = 0,  /* T.4 one-dimensional (TIFF Compression 3) */
    TOLLAN_CODING_MR = 1,  /* T.4 two-dimensional (Compression 3, T4Options 1) */
    TOLLAN_CODING_MMR = 2  /* T.6 (Compression 4) */
};

/*
 * Turns a document into page files: a TIFF (bilevel; any compression and fill
 * order libtiff reads), a PDF or PostScript file (through Ghostscript), a BMP
 * (any depth, made black and white) or a PBM (every image of the file). The
 * kind is told by the file's first bytes. resolution: 0 fine (196 lines per
 * inch), any other value standard (98), as SetResolution. Pages are 1728 dots
 * wide, placed as a fax machine would (docs/documents.md); page numbers start
 * at first_page (1 for a new fax; more to append a second document) and
 * *pages counts the pages written. Codes: 0, 118 (argument), 130 (the
 * document cannot be opened), 154 (a page file exists), 116 (one cannot be
 * created), 153 (writing one failed), 151 (a page past the size limits), 152
 * (more than 1000 pages), 200, 201, 202, 203; for a BMP or PBM also 132,
 * 133, 135, 139 as libtollan's BmpToG3 gives them.
 */
TOLLAN_DOCUMENTS_API uint16_t ConvertDocumentToPages(const char *document, const char *base_name,
                                                     int32_t resolution, int16_t first_page, int16_t *pages);

/*
 * The resolution a document asks for, as ConvertDocumentToPages measures its
 * pages (docs/documents.md): *resolution 1 (standard) when every page's
 * vertical resolution is about 98 lines per inch, or, not given, the page is
 * no wider than a fax row and at most 1400 rows long; else 0 (fine; always
 * for PDF and PostScript). Only the headers are read. Codes: 0, 118, 130,
 * 200, 201, 151, 133 (a BMP's headers cannot be read).
 */
TOLLAN_DOCUMENTS_API uint16_t GetDocumentResolution(const char *document, int32_t *resolution);

/*
 * Writes the page files of a base name (page 1, 2, ... up to the first one
 * missing) as one multi-page TIFF Class F, page by page. coding: a
 * TOLLAN_CODING_* value. A page's resolution comes from its ".ffi" file
 * ("Resolution = fine" or "standard") when it has one, else from resolution
 * (0 fine, any other value standard). Codes: 0, 118, 141 (no page 1), 134
 * (a page does not decode), 151, 152, 154 (the TIFF exists), 116, 204.
 */
TOLLAN_DOCUMENTS_API uint16_t WritePagesAsTiff(const char *base_name, const char *tiff_path, int32_t coding,
                                               int32_t resolution);

/*
 * Writes the page files of a base name as one PDF, each page's fax data kept
 * as it is under a CCITTFaxDecode filter (re-coded only where it does not
 * decode cleanly). Resolution as for WritePagesAsTiff. Codes: as
 * WritePagesAsTiff.
 */
TOLLAN_DOCUMENTS_API uint16_t WritePagesAsPdf(const char *base_name, const char *pdf_path, int32_t resolution);

#ifdef __cplusplus
}
#endif

#endif /* TOLLAN_DOCUMENTS_H */
