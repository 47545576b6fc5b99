// BmpToG3 and GetBmpSize: a bitmap file becomes a raw Group 3 page, one
// Modified Huffman coded line of 1728 pixels per row, LSB-first.
//
// A conversion loads the source as a monochrome bitmap and codes the page
// from it: four blank lines, the rows from the top down (stretched as
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

// ---- The temporary directory ----

// The picture once went through an intermediate bitmap file in the
// temporary directory; it now stays in memory. The directory is still asked
// for a file, removed at once, so that a host whose $TMPDIR is missing or
// not writable gets TOLLAN_E_OPEN_FILE as it always has.
uint16_t CheckTemporaryDirectory() {
    char path[4096];
    int fd = PlatTempFile("nm", path, sizeof path);
    if (fd == -1) return TOLLAN_E_OPEN_FILE;
    close(fd);
    unlink(path);
    return TOLLAN_OK;
}

// ---- Page assembly ----

// Coded bytes go to the file in blocks of about this size.
constexpr size_t kOutputBlockBytes = 64 * 1024;

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

// The loaded picture as the row reader sees a 1-bit bitmap: a 0 bit black.
BmpInfo InfoOf(const MonoBitmap &mono) {
    BmpInfo info;
    info.width = mono.width;
    info.height = mono.height;
    info.bit_count = 1;
    info.compression = 0;
    info.size_image = 0;
    info.zero_is_white = false;
    return info;
}

uint16_t CodePage(const MonoBitmap &mono, FILE *out, int stretch) {
    HeapBytes blank = AllocZeroed(kLineBytes, 1);
    HeapBytes line = AllocZeroed(kLineBytes, 1);
    if (!blank || !line) return TOLLAN_E_NO_MEMORY;
    const BmpInfo info = InfoOf(mono);
    PageFactors f = ComputeFactors(info.width, info.height, stretch);
    PageWriter w{out, {}, {}, false};
    w.coded.reserve(kOutputBlockBytes + kLineBytes * 8);
    StartG3Encoder(&w.encoder, kCodingMh, 1, kG3LineWidth, &w.coded);

    CodeBlankLines(&w, blank.get(), kLeadingBlankLines);
    int counted = 0;
    double accumulator = 0.0;
    for (int32_t y = 0; y < mono.height; ++y) {
        memset(line.get(), 0, kLineBytes);
        StoredRowToLine(info, mono.bits.get() + static_cast<size_t>(y) * mono.bytes_per_row, f.horizontal,
                        line.get());
        counted += CodeStretchedRow(&w, line.get(), f, &accumulator);
    }
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
    MonoBitmap mono{0, 0, 0, nullptr};
    uint16_t code = LoadMonochromeBitmap(bmp_path, kMaxBmpWidth, kMaxBmpHeight, &mono);
    if (code != TOLLAN_OK) return code;
    code = CheckTemporaryDirectory();
    if (code != TOLLAN_OK) return code;
    FilePtr out(fopen(g3_path, "wb"));
    if (!out) return TOLLAN_E_OPEN_FILE;
    code = CodePage(mono, out.get(), stretch);
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
