// BmpToG3 and GetBmpSize: a bitmap file becomes a raw Group 3 page, one
// Modified Huffman coded line of 1728 pixels per row, LSB-first.
//
// A conversion loads the source as a monochrome bitmap, writes it out as a
// 1-bit intermediate bitmap in the temporary directory, and codes the page
// from that file: four blank lines, the rows from the top down (stretched as
// stretch_option asks), blank lines up to the minimum page length, and six
// EOLs, so the page ends with seven EOLs in a row.
#include <cstring>
#include <unistd.h>
#include <vector>

#include "engine/channel.h"
#include "engine/tollan.h"
#include "engine/trace.h"
#include "image/bmp_format.h"
#include "image/bmp_loader.h"
#include "image/bmp_reader.h"
#include "image/g3_codec.h"
#include "image/mh_codes.h"
#include "platform/platform.h"

namespace {

constexpr int kLeadingBlankLines = 4;
constexpr int kShortPageLines = 1145;  // stretch_option bit 1
constexpr int kLongPageLines = 2290;
constexpr int kStretchWiden = 1;
constexpr int kStretchToShortPage = 2;
constexpr int kStretchToLongPage = 4;
constexpr int32_t kLineBytes = kG3LineWidth / 8;

// ---- Stretch factors ----

struct PageFactors {
    double horizontal;  // copies added per pixel, 0 for none
    int target_lines;   // vertical target and minimum page length
    int quotient;       // target / rows in integers
    double vertical;    // 0 for none; q >= 2: copies per row; q < 2: rows between copies
};

PageFactors ComputeFactors(int32_t width, int32_t height, int stretch) {
    PageFactors f{0.0, 0, 0, 0.0};
    if (width < kG3LineWidth && (stretch & kStretchWiden))
        f.horizontal = static_cast<double>(kG3LineWidth - width) / width;
    int n = (stretch & kStretchToShortPage) ? kShortPageLines : kLongPageLines;
    f.target_lines = n;
    if (height < n && (stretch & (kStretchToShortPage | kStretchToLongPage))) {
        f.quotient = n / height;
        if (f.quotient >= 2)
            f.vertical = static_cast<double>(n) / height;
        else
            f.vertical = static_cast<double>(n) / (n - height) - 1;
    }
    return f;
}

// ---- The intermediate bitmap ----

// Its name, and the file removed when the call ends, whatever the path.
struct IntermediateFile {
    char path[4096] = "";
    ~IntermediateFile() {
        if (path[0] != '\0') unlink(path);
    }
};

uint16_t WriteIntermediateBitmap(const MonoBitmap &mono, IntermediateFile *tmp) {
    int fd = PlatTempFile("nm", tmp->path, sizeof tmp->path);
    if (fd == -1) {
        tmp->path[0] = '\0';
        return TOLLAN_E_OPEN_FILE;
    }
    FilePtr file(fdopen(fd, "wb"));
    if (!file) {
        close(fd);
        return TOLLAN_E_OPEN_FILE;
    }
    uint32_t file_size =
        static_cast<uint32_t>(mono.height) * ((mono.width / 8 + 3) / 4) * 4 + kMonoBmpHeaderSize;
    uint8_t header[kMonoBmpHeaderSize] = {};
    SerialiseBmpHeaders(MonoBmpHeaders(mono.width, mono.height, file_size), header);
    memset(header + kBmpHeadersSize + kBmpColourEntrySize, 0xFF, 3);  // entry 0 black, 1 white
    bool ok = fwrite(header, 1, sizeof header, file.get()) == sizeof header;
    for (int32_t row = mono.height - 1; ok && row >= 0; --row)
        ok = fwrite(mono.bits.get() + static_cast<size_t>(row) * mono.bytes_per_row, 1,
                    mono.bytes_per_row, file.get()) == static_cast<size_t>(mono.bytes_per_row);
    if (!CloseWrittenFile(&file) || !ok) return TOLLAN_E_WRITE_BITMAP;
    return TOLLAN_OK;
}

// ---- Page assembly ----

// Coded bytes go to the file in blocks of about this size.
constexpr size_t kOutputBlockBytes = 64 * 1024;
// Rows of the intermediate bitmap read at a time.
constexpr size_t kInputBlockBytes = 64 * 1024;

struct PageWriter {
    FILE *out;
    std::vector<uint8_t> coded;
    G3Encoder encoder;
    bool failed;
};

void DrainCoded(PageWriter *w) {
    if (!w->coded.empty() && fwrite(w->coded.data(), 1, w->coded.size(), w->out) != w->coded.size())
        w->failed = true;
    w->coded.clear();
}

void CodeRow(PageWriter *w, const uint8_t *row) {
    EncodeG3Row(&w->encoder, row);
    if (w->coded.size() >= kOutputBlockBytes) DrainCoded(w);
}

void CodeBlankLines(PageWriter *w, const uint8_t *blank, int count) {
    for (int i = 0; i < count; ++i) CodeRow(w, blank);
}

// Codes one image row as the vertical factor asks; returns the lines coded.
int CodeStretchedRow(PageWriter *w, const uint8_t *row, const PageFactors &f, double *accumulator) {
    CodeRow(w, row);
    int lines = 1;
    if (f.vertical == 0) return lines;
    *accumulator += 1;
    if (f.quotient >= 2) {
        while (*accumulator < f.vertical) {
            CodeRow(w, row);
            ++lines;
            *accumulator += 1;
        }
        *accumulator -= f.vertical;
    } else if (*accumulator >= f.vertical) {
        CodeRow(w, row);
        ++lines;
        *accumulator -= f.vertical;
    }
    return lines;
}

// Reads all rows (the file holds the bottom row first) into packed lines,
// a block of rows at a time: lines[i] is file row i.
uint16_t ReadAllRows(FILE *in, const BmpInfo &info, uint32_t row_length, double horizontal, uint8_t *lines) {
    const size_t rows_per_block = row_length >= kInputBlockBytes ? 1 : kInputBlockBytes / row_length;
    HeapBytes block = AllocZeroed(rows_per_block, row_length);
    if (!block) return TOLLAN_E_NO_MEMORY;
    for (int32_t i = 0; i < info.height;) {
        const size_t rows = static_cast<size_t>(info.height - i) < rows_per_block ? static_cast<size_t>(info.height - i)
                                                                                    : rows_per_block;
        if (!ReadExact(in, block.get(), rows * row_length)) return TOLLAN_E_READ_BITMAP;
        for (size_t k = 0; k < rows; ++k, ++i)
            StoredRowToLine(info, block.get() + k * row_length, horizontal,
                            lines + static_cast<size_t>(i) * kLineBytes);
    }
    return TOLLAN_OK;
}

uint16_t CodePage(FILE *in, FILE *out, const BmpInfo &info, int stretch) {
    HeapBytes blank = AllocZeroed(kLineBytes, 1);
    if (!blank) return TOLLAN_E_NO_MEMORY;
    uint32_t row_length = StoredRowLength(info);
    if (row_length == 0 || info.height <= 0) return TOLLAN_E_NOT_BITMAP;
    PageFactors f = ComputeFactors(info.width, info.height, stretch);
    PageWriter w{out, {}, {}, false};
    w.coded.reserve(kOutputBlockBytes + kLineBytes * 8);
    StartG3Encoder(&w.encoder, kCodingMh, 1, kG3LineWidth, &w.coded);

    CodeBlankLines(&w, blank.get(), kLeadingBlankLines);

    // All rows are read before coding from the top down.
    HeapBytes lines = AllocZeroed(static_cast<size_t>(info.height), kLineBytes);
    if (!lines) return TOLLAN_E_NO_MEMORY;
    uint16_t code = ReadAllRows(in, info, row_length, f.horizontal, lines.get());
    if (code != TOLLAN_OK) return code;

    int counted = 0;
    double accumulator = 0.0;
    for (int32_t i = info.height - 1; i >= 0; --i)
        counted += CodeStretchedRow(&w, lines.get() + static_cast<size_t>(i) * kLineBytes, f, &accumulator);
    if (counted < f.target_lines) CodeBlankLines(&w, blank.get(), f.target_lines - counted);

    FaxTrace("BmpToG3 translated %d lines", static_cast<int>(info.height));
    FinishG3Encoder(&w.encoder);
    DrainCoded(&w);
    return w.failed ? TOLLAN_E_WRITE_BITMAP : TOLLAN_OK;
}

}  // namespace

extern "C" {

uint16_t BmpToG3(const char *bmp_path, const char *g3_path) {
    if (!bmp_path || !g3_path) return TOLLAN_E_ARGUMENT;
    const int stretch = g_settings.stretch_option;

    IntermediateFile tmp;
    {
        MonoBitmap mono{0, 0, 0, nullptr};
        uint16_t code = LoadMonochromeBitmap(bmp_path, kMaxBmpWidth, kMaxBmpHeight, &mono);
        if (code != TOLLAN_OK) return code;
        code = WriteIntermediateBitmap(mono, &tmp);
        if (code != TOLLAN_OK) return code;
    }

    FilePtr out(fopen(g3_path, "wb"));
    if (!out) return TOLLAN_E_OPEN_FILE;
    FilePtr in(fopen(tmp.path, "rb"));
    if (!in) return TOLLAN_E_OPEN_FILE;
    BmpInfo info;
    uint16_t code = ReadBmpHeader(in.get(), &info);
    if (code == TOLLAN_OK) code = CodePage(in.get(), out.get(), info, stretch);
    if (!CloseWrittenFile(&out) && code == TOLLAN_OK) code = TOLLAN_E_WRITE_BITMAP;
    return code;
}

uint16_t GetBmpSize(const char *bmp_path, int32_t *width, int32_t *height) {
    if (!bmp_path || !width || !height) return TOLLAN_E_ARGUMENT;
    FilePtr file(fopen(bmp_path, "rb"));
    if (!file) return TOLLAN_E_OPEN_FILE;
    BmpInfo info;
    uint16_t code = ReadBmpHeader(file.get(), &info);
    if (code != TOLLAN_OK) return code;
    *width = info.width;
    *height = info.height < 0 ? -info.height : info.height;  // top-down rows: the same picture height
    return TOLLAN_OK;
}

}  // extern "C"
