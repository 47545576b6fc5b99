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

#include "engine/channel.h"
#include "engine/tollan.h"
#include "engine/trace.h"
#include "image/bmp_format.h"
#include "image/bmp_loader.h"
#include "image/bmp_reader.h"
#include "image/mh_codes.h"
#include "platform/platform.h"

namespace {

constexpr int kLeadingBlankLines = 4;
constexpr int kTrailingEols = 6;
constexpr int kShortPageLines = 1145;  // stretch_option bit 1
constexpr int kLongPageLines = 2290;
constexpr int kStretchWiden = 1;
constexpr int kStretchToShortPage = 2;
constexpr int kStretchToLongPage = 4;
constexpr int kEolZeroBits = 11;

// ---- Bit writer: the first bit of the stream lands in bit 0 of byte 0 ----

struct BitWriter {
    FILE *out;
    uint8_t accumulator;
    uint8_t mask;
    bool failed;
};

void PutBit(BitWriter *w, int bit) {
    if (bit) w->accumulator |= w->mask;
    w->mask = static_cast<uint8_t>(w->mask << 1);
    if (w->mask == 0) {
        if (putc(w->accumulator, w->out) == EOF) w->failed = true;
        w->accumulator = 0;
        w->mask = 1;
    }
}

void FlushBits(BitWriter *w) {
    if (w->mask == 1) return;
    if (putc(w->accumulator, w->out) == EOF) w->failed = true;
    w->accumulator = 0;
    w->mask = 1;
}

// The code's bits from the most significant of its length bits down.
void PutCode(BitWriter *w, const MhCodeEntry &code) {
    for (int i = code.length - 1; i >= 0; --i) PutBit(w, (code.code >> i) & 1);
}

// Eleven 0 bits and a 1, not aligned: no fill bits anywhere.
void PutEol(BitWriter *w) {
    for (int i = 0; i < kEolZeroBits; ++i) PutBit(w, 0);
    PutBit(w, 1);
}

// ---- Line coding ----

void PutRun(BitWriter *w, bool black, int run) {
    const MhCodeEntry *terminating = black ? kBlackMhTerminating : kWhiteMhTerminating;
    const MhCodeEntry *make_up = black ? kBlackMhMakeUp : kWhiteMhMakeUp;
    if (run >= 64) PutCode(w, make_up[run / 64 - 1]);
    PutCode(w, terminating[run % 64]);
}

// Alternating runs from white; an empty black run is never coded, and a line
// ending in white ends with its white run. Then the EOL.
void CodeLine(BitWriter *w, const uint8_t *line) {
    int x = 0;
    bool black = false;
    while (x < kG3LineWidth) {
        int start = x;
        while (x < kG3LineWidth && line[x] == (black ? 1 : 0)) ++x;
        if (!black || x > start) PutRun(w, black, x - start);
        black = !black;
    }
    PutEol(w);
}

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

void CodeBlankLines(BitWriter *w, const uint8_t *blank, int count) {
    for (int i = 0; i < count; ++i) CodeLine(w, blank);
}

// Codes one image row as the vertical factor asks; returns the lines coded.
int CodeStretchedRow(BitWriter *w, const uint8_t *row, const PageFactors &f,
                     double *accumulator) {
    CodeLine(w, row);
    int lines = 1;
    if (f.vertical == 0) return lines;
    *accumulator += 1;
    if (f.quotient >= 2) {
        while (*accumulator < f.vertical) {
            CodeLine(w, row);
            ++lines;
            *accumulator += 1;
        }
        *accumulator -= f.vertical;
    } else if (*accumulator >= f.vertical) {
        CodeLine(w, row);
        ++lines;
        *accumulator -= f.vertical;
    }
    return lines;
}

uint16_t CodePage(FILE *in, FILE *out, const BmpInfo &info, int stretch) {
    HeapBytes blank = AllocZeroed(kG3LineWidth, 1);
    if (!blank) return TOLLAN_E_NO_MEMORY;
    uint32_t row_length = StoredRowLength(info);
    if (row_length == 0 || info.height <= 0) return TOLLAN_E_NOT_BITMAP;
    HeapBytes row_input = AllocZeroed(row_length, 1);
    if (!row_input) return TOLLAN_E_NO_MEMORY;
    PageFactors f = ComputeFactors(info.width, info.height, stretch);
    BitWriter w{out, 0, 1, false};

    CodeBlankLines(&w, blank.get(), kLeadingBlankLines);

    // The file holds the bottom row first; all rows are read before coding
    // from the top down.
    HeapBytes rows[kMaxBmpHeight];
    for (int32_t i = 0; i < info.height; ++i) {
        rows[i] = AllocZeroed(kG3LineWidth, 1);
        if (!rows[i]) return TOLLAN_E_NO_MEMORY;
        uint16_t code = ReadBmpRow(in, info, row_length, row_input.get(), f.horizontal, rows[i].get());
        if (code != TOLLAN_OK) return code;
    }

    int counted = 0;
    double accumulator = 0.0;
    for (int32_t i = info.height - 1; i >= 0; --i) {
        counted += CodeStretchedRow(&w, rows[i].get(), f, &accumulator);
        rows[i].reset();
    }
    if (counted < f.target_lines) CodeBlankLines(&w, blank.get(), f.target_lines - counted);

    FaxTrace("BmpToG3 translated %d lines", static_cast<int>(info.height));
    for (int i = 0; i < kTrailingEols; ++i) PutEol(&w);
    FlushBits(&w);
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
