// Page files out as one PDF. Each page is an image whose data is the page's
// own Group 3 data under a CCITTFaxDecode filter: nothing is rasterised and
// nothing re-coded unless the page does not decode cleanly. The few objects
// a PDF of images needs are written here directly: the PDF libraries Debian
// carries either re-encode images or hold the whole document in memory,
// and this writer streams one page at a time.
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

#include "documents/documents.h"
#include "documents/tollan_documents.h"
#include "engine/tollan.h"
#include "engine/trace.h"

namespace {

// Objects: 1 catalog, 2 page tree, 3 information, then three per page
// (page, contents, image).
constexpr int kFirstPageObject = 4;
constexpr int kObjectsPerPage = 3;

struct PdfFile {
    FILE *file;
    uint64_t pos;
    std::vector<uint64_t> offsets;  // by object number, 0 unused
    bool failed;
};

void Put(PdfFile *pdf, const void *data, size_t n) {
    if (pdf->failed) return;
    if (fwrite(data, 1, n, pdf->file) != n) pdf->failed = true;
    pdf->pos += n;
}

void Print(PdfFile *pdf, const char *format, ...) __attribute__((format(printf, 2, 3)));
void Print(PdfFile *pdf, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) {
        pdf->failed = true;
        return;
    }
    Put(pdf, text, static_cast<size_t>(n));
}

void StartObject(PdfFile *pdf, int number) {
    if (pdf->offsets.size() <= static_cast<size_t>(number)) pdf->offsets.resize(static_cast<size_t>(number) + 1);
    pdf->offsets[static_cast<size_t>(number)] = pdf->pos;
    Print(pdf, "%d 0 obj\n", number);
}

// Points, cut (not rounded) to four decimals so that rendering at the
// page's own resolution never gives one dot more.
double Points(double dots, double per_inch) { return std::floor(dots * 72.0 / per_inch * 1e4) / 1e4; }

// The page's fax data: its own when it decodes cleanly, else its decoded
// rows coded afresh with an EOL first.
std::vector<uint8_t> PageData(PageIn *in) {
    if (in->clean) return std::move(in->data);
    std::vector<uint8_t> coded = {0x00, 0x80};
    G3Encoder encoder;
    StartG3Encoder(&encoder, kCodingMh, 1, kFaxWidth, &coded);
    for (int32_t y = 0; y < in->count; ++y) EncodeG3Row(&encoder, G3Row(in->rows, y));
    FinishG3Encoder(&encoder);
    return coded;
}

// PDF filters take the first bit from the most significant bit.
void ReverseBits(std::vector<uint8_t> *data) {
    for (uint8_t &b : *data) {
        b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
        b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
        b = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    }
}

void PutPage(PdfFile *pdf, int32_t index, PageIn *in) {
    const int page = kFirstPageObject + kObjectsPerPage * index;
    const double width = Points(kFaxWidth, kFaxDpi), height = Points(in->count, in->lpi);
    StartObject(pdf, page);
    Print(pdf,
          "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.4f %.4f] /Resources << /XObject << /Fax %d 0 R >> >> "
          "/Contents %d 0 R >>\nendobj\n",
          width, height, page + 2, page + 1);
    char contents[128];
    int n = snprintf(contents, sizeof contents, "q %.4f 0 0 %.4f 0 0 cm /Fax Do Q\n", width, height);
    StartObject(pdf, page + 1);
    Print(pdf, "<< /Length %d >>\nstream\n%sendstream\nendobj\n", n, contents);

    // The page is a stencil: its black dots (0 with BlackIs1 false) are
    // painted in black on the white page. Viewers scale a mask by copying
    // dots, where they would smooth a grey image.
    std::vector<uint8_t> data = PageData(in);
    ReverseBits(&data);
    StartObject(pdf, page + 2);
    Print(pdf,
          "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ImageMask true /BitsPerComponent 1 "
          "/Filter /CCITTFaxDecode /DecodeParms << /K 0 /Columns %d /Rows %d /EncodedByteAlign false "
          "/EndOfBlock true /BlackIs1 false >> /Length %zu >>\nstream\n",
          kFaxWidth, in->count, kFaxWidth, in->count, data.size());
    Put(pdf, data.data(), data.size());
    Print(pdf, "\nendstream\nendobj\n");
}

void PutHead(PdfFile *pdf) {
    // The second line's high bytes mark the file as binary for transfers.
    Print(pdf, "%%PDF-1.4\n%%\xE2\xE3\xCF\xD3\n");
    StartObject(pdf, 1);
    Print(pdf, "<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
    char date[32];
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    if (strftime(date, sizeof date, "D:%Y%m%d%H%M%SZ", &utc) == 0) date[0] = '\0';
    StartObject(pdf, 3);
    Print(pdf, "<< /Producer (tollan-documents %s) /CreationDate (%s) >>\nendobj\n", TOLLAN_VERSION, date);
}

void PutTail(PdfFile *pdf, int32_t pages) {
    StartObject(pdf, 2);
    Print(pdf, "<< /Type /Pages /Count %d /Kids [", static_cast<int>(pages));
    for (int32_t i = 0; i < pages; ++i) Print(pdf, "%s%d 0 R", i ? " " : "", kFirstPageObject + kObjectsPerPage * i);
    Print(pdf, "] >>\nendobj\n");
    const uint64_t xref = pdf->pos;
    Print(pdf, "xref\n0 %zu\n0000000000 65535 f \n", pdf->offsets.size());
    for (size_t i = 1; i < pdf->offsets.size(); ++i) Print(pdf, "%010" PRIu64 " 00000 n \n", pdf->offsets[i]);
    Print(pdf, "trailer\n<< /Size %zu /Root 1 0 R /Info 3 0 R >>\nstartxref\n%" PRIu64 "\n%%%%EOF\n",
          pdf->offsets.size(), xref);
}

}  // namespace

uint16_t WritePdfDocument(const std::string &base_name, const char *pdf_path, int32_t resolution) {
    int32_t total = 0;
    if (uint16_t rc = CountPageFiles(base_name, &total)) return rc;
    int fd = -1;
    if (uint16_t rc = CreateDocumentFile(pdf_path, &fd)) return rc;
    PdfFile pdf{fdopen(fd, "wb"), 0, {}, false};
    if (!pdf.file) {
        close(fd);
        unlink(pdf_path);
        return TOLLAN_E_DOC_WRITE;
    }
    PutHead(&pdf);
    uint16_t rc = TOLLAN_OK;
    for (int32_t page = 1; page <= total && rc == TOLLAN_OK; ++page) {
        PageIn in;
        rc = ReadPageIn(base_name, page, resolution, &in);
        if (rc == TOLLAN_OK) PutPage(&pdf, page - 1, &in);
    }
    if (rc == TOLLAN_OK) PutTail(&pdf, total);
    if (fclose(pdf.file) != 0) pdf.failed = true;
    if (rc == TOLLAN_OK && pdf.failed) {
        FaxTrace("documents: writing %s failed", pdf_path);
        rc = TOLLAN_E_DOC_WRITE;
    }
    if (rc != TOLLAN_OK) unlink(pdf_path);
    return rc;
}
