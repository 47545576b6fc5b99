// The documents library's own parts: page geometry, page files in and out,
// and the TIFF reader the exports and the fuzz target share.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "documents/tollan_documents.h"
#include "engine/tollan.h"
#include "image/g3_codec.h"

constexpr int32_t kFaxWidth = 1728;
constexpr int32_t kFaxDpi = 204;
constexpr int32_t kFineLpi = 196;
constexpr int32_t kStandardLpi = 98;
// Sources wider or longer than these are refused: a 1200-dpi B4 page fits.
constexpr int32_t kMaxSourceWidth = 16384;
constexpr int32_t kMaxSourceRows = 65536;
// Rows of one page written or read: about 4.2 m of paper at fine resolution.
constexpr int32_t kMaxPageRows = 32768;
// What libtiff may allocate at once for one TIFF.
constexpr int64_t kMaxTiffAllocation = 64 * 1024 * 1024;

inline int32_t TargetLpi(int32_t resolution) { return resolution == 0 ? kFineLpi : kStandardLpi; }

// ---- Geometry ----

// A source page as its file describes it; 0 dpi when not given.
struct SourceGeometry {
    int32_t width;
    int32_t rows;
    double x_dpi;
    double y_dpi;
};

// How source rows become 1728-dot rows: each output dot of the image takes
// the source dots span[i]..span[i+1]-1 (black when any is), the image starts
// left dots into the row, and v_num / v_den output rows come of each source
// row.
struct ScalePlan {
    int32_t left;
    int32_t image_width;
    std::vector<int32_t> span;
    uint64_t v_num;
    uint64_t v_den;
};

void PlanScaling(const SourceGeometry &source, int32_t target_lpi, ScalePlan *plan);
// True when the page is one of standard resolution: its vertical resolution
// says so, or, not given, its length does.
bool AsksForStandard(const SourceGeometry &source);

// ---- Page files written ----

// One page file being written: its rows coded as they come.
struct PageWriter {
    int fd;  // -1: the coded bytes are dropped (counting only)
    G3Encoder encoder;
    std::vector<uint8_t> coded;
    int32_t rows;
};

// Where a document's pages go: page numbers from first_page, at target_lpi.
struct PageOutput {
    std::string base_name;  // empty: nothing is written (fuzzing)
    int32_t first_page;
    int32_t target_lpi;
    int32_t pages;
    std::vector<std::string> written;  // files made, removed on failure
};

// Opens page number first_page + pages of out.
uint16_t StartOutputPage(PageOutput *out, PageWriter *w);
uint16_t WritePageRow(PageWriter *w, const uint8_t *row);
// Ends the page with RTC, closes it and writes its ".ffi".
uint16_t FinishOutputPage(PageOutput *out, PageWriter *w);
void RemoveWrittenFiles(PageOutput *out);

// Row by row through a plan into a page; one source row at a time.
struct RowScaler {
    const ScalePlan *plan;
    std::vector<uint8_t> out_row;  // the output row being gathered
    bool pending;                  // out_row holds source rows not yet written
    uint64_t source_rows;
    uint64_t emitted;
};

void StartRowScaler(RowScaler *s, const ScalePlan *plan);
// source: packed, 1 black. Emits the output rows it completes.
uint16_t ScaleRow(RowScaler *s, const uint8_t *source, PageWriter *w);
uint16_t FinishRowScaler(RowScaler *s, PageWriter *w);

// ---- TIFF ----

// libtiff's messages go to the trace, and its allocations are bounded.
TIFF *OpenTiffFile(const char *path);
// A TIFF held in memory; it outlives the TIFF opened on it.
struct MemoryTiff {
    const uint8_t *data;
    toff_t size;
    toff_t pos;
};
TIFF *OpenTiffMemory(MemoryTiff *m);
// True in *standard when every page of the TIFF asks for standard resolution.
uint16_t TiffPagesAskStandard(TIFF *tif, bool *standard);
// Every page (directory) of an open TIFF into page files.
uint16_t ReadTiffDocument(TIFF *tif, PageOutput *out);

// ---- Page files read ----

// A decoded page file: its rows, and what its ".ffi" file tells.
struct PageIn {
    G3Rows rows;
    int32_t count;       // rows of the page, end marks not counted
    int32_t bad_rows;
    int32_t longest_bad_run;
    int32_t lpi;         // 196 or 98
    bool clean;          // decoded whole, no bad rows, first row after an EOL
    std::vector<uint8_t> data;  // the page's coded data (header skipped)
};

// "<stem>_p<page>.g3" of the base name, or "" when it does not fit.
std::string PageFilePath(const std::string &base_name, int32_t page, const char *extension);
// TOLLAN_E_NO_PAGE_FILE when the page file does not exist.
uint16_t ReadPageIn(const std::string &base_name, int32_t page, int32_t resolution, PageIn *in);
// The file's resolution line, or 0 when there is none.
int32_t LpiFromInfoFile(const std::string &path);

// Creates a new document file (0600, never through a link, never over a file).
uint16_t CreateDocumentFile(const char *path, int *fd);

// ---- Bitmaps ----

// Every image of a PBM file (P4 or P1), and a BMP of any depth.
uint16_t ReadPbmDocument(const char *path, PageOutput *out);
uint16_t ReadBmpDocument(const char *path, PageOutput *out);
// The first image's size (and a BMP's resolution fields) without the dots.
uint16_t PbmGeometry(const char *path, SourceGeometry *g);
uint16_t BmpGeometry(const char *path, SourceGeometry *g);

// ---- PDF and PostScript ----

// Ghostscript at most this long on one document (by the platform clock).
constexpr uint32_t kGhostscriptLimitMs = 5 * 60 * 1000;
// Renders the document with Ghostscript and reads its pages.
uint16_t RenderWithGhostscript(const char *document, PageOutput *out, uint32_t limit_ms);

// ---- Documents written ----

// The most pages a document takes either way: the pages of one call.
constexpr int32_t kMaxPagesPerDocument = 1000;
uint16_t CountPageFiles(const std::string &base_name, int32_t *total);
uint16_t WriteTiffDocument(const std::string &base_name, const char *tiff_path, int32_t coding,
                           int32_t resolution);
uint16_t WritePdfDocument(const std::string &base_name, const char *pdf_path, int32_t resolution);
