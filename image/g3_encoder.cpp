// BmpToG3 and GetBmpSize: a bitmap file becomes a raw Group 3 page, one
// Modified Huffman coded line of 1728 pixels per row, LSB-first.
//
// A conversion codes the page from the source's rows: four blank lines, the
// rows from the top down (stretched as stretch_option asks), blank lines up
// to the minimum page length, and six EOLs, so the page ends with seven
// EOLs in a row. A 1-bit uncompressed source is read a block of rows at a
// time as it is coded; any other is first loaded whole as a monochrome
// bitmap.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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
// temporary directory; it now stays in memory. A host whose $TMPDIR is
// missing, not a directory, not writable and searchable, or too long a
// path for a file name in it still gets TOLLAN_E_OPEN_FILE as it always
// has. Asked of the directory, not by making a file in it: that cost more
// than coding a blank page.
uint16_t CheckTemporaryDirectory() {
    constexpr size_t kPathRoom = 4096;
    constexpr size_t kFileNameLength = sizeof "/nmXXXXXX" - 1;
    const char *dir = getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    if (strlen(dir) + kFileNameLength >= kPathRoom) return TOLLAN_E_OPEN_FILE;
    struct stat st {};
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return TOLLAN_E_OPEN_FILE;
    if (faccessat(AT_FDCWD, dir, W_OK | X_OK, AT_EACCESS) != 0) return TOLLAN_E_OPEN_FILE;
    return TOLLAN_OK;
}

// ---- Page assembly ----

struct PageWriter {
    FILE *out;
    std::vector<uint8_t> coded;
    G3Encoder encoder;
    bool failed;
};

// Writes the whole blocks coded so far (all of it at the end), so that
// every write but the last is a block at a multiple of its size.
void DrainCoded(PageWriter *w, bool all) {
    const size_t bytes = all ? w->coded.size() : w->coded.size() / kFileBlockBytes * kFileBlockBytes;
    if (bytes == 0) return;
    if (!w->failed && fwrite(w->coded.data(), 1, bytes, w->out) != bytes) w->failed = true;
    w->coded.erase(w->coded.begin(), w->coded.begin() + static_cast<std::ptrdiff_t>(bytes));
}

void CodeRow(PageWriter *w, const uint8_t *row) {
    EncodeG3Row(&w->encoder, row);
    if (w->coded.size() >= kFileBlockBytes) DrainCoded(w, false);
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

// A picture row of MonoBitmap's kind (a 0 bit black) as the row reader
// sees a 1-bit bitmap.
BmpInfo MonoInfo(int32_t width, int32_t height) {
    BmpInfo info;
    info.width = width;
    info.height = height;
    info.bit_count = 1;
    info.compression = 0;
    info.size_image = 0;
    info.zero_is_white = false;
    return info;
}

// One page being coded: the rows of the picture go in from the top, each
// widened into a line and stretched as the factors ask.
struct PageCoding {
    PageWriter writer;
    PageFactors factors;
    BmpInfo info;
    HeapBytes blank;
    HeapBytes line;
    int counted;  // lines coded from the first picture row on
    double accumulator;
};

uint16_t StartPageCoding(PageCoding *p, FILE *out, int32_t width, int32_t height, int stretch) {
    p->blank = AllocZeroed(kLineBytes, 1);
    p->line = AllocZeroed(kLineBytes, 1);
    if (!p->blank || !p->line) return TOLLAN_E_NO_MEMORY;
    p->info = MonoInfo(width, height);
    p->factors = ComputeFactors(width, height, stretch);
    p->writer.out = out;
    p->writer.failed = false;
    p->writer.coded.reserve(kFileBlockBytes + kLineBytes * 8);
    StartG3Encoder(&p->writer.encoder, kCodingMh, 1, kG3LineWidth, &p->writer.coded);
    CodeBlankLines(&p->writer, p->blank.get(), kLeadingBlankLines);
    p->counted = 0;
    p->accumulator = 0.0;
    return TOLLAN_OK;
}

// A row of a MonoBitmap (a 0 bit black).
void CodeMonoRow(PageCoding *p, const uint8_t *mono_row) {
    memset(p->line.get(), 0, kLineBytes);
    StoredRowToLine(p->info, mono_row, p->factors.horizontal, p->line.get());
    p->counted += CodeStretchedRow(&p->writer, p->line.get(), p->factors, &p->accumulator);
}

// A stored row of a 1-bit file, dot for dot: turned into a line (1 black)
// in one pass; the line's bytes past the picture's width stay 0.
void CodeStoredRow(PageCoding *p, const MonoRowReader &r, const uint8_t *stored) {
    uint8_t *line = p->line.get();
    const int32_t bytes = (r.width + 7) / 8;
    const uint8_t to_line = static_cast<uint8_t>(~r.flip);
    for (int32_t i = 0; i < bytes; ++i) line[i] = static_cast<uint8_t>((stored[i] & r.keep) ^ to_line);
    if (r.width % 8) line[bytes - 1] &= static_cast<uint8_t>(0xFF << (8 - r.width % 8));
    p->counted += CodeStretchedRow(&p->writer, line, p->factors, &p->accumulator);
}

uint16_t FinishPageCoding(PageCoding *p) {
    if (p->counted < p->factors.target_lines)
        CodeBlankLines(&p->writer, p->blank.get(), p->factors.target_lines - p->counted);
    FaxTrace("BmpToG3 translated %d lines", static_cast<int>(p->info.height));
    FinishG3Encoder(&p->writer.encoder);
    DrainCoded(&p->writer, true);
    return p->writer.failed ? TOLLAN_E_WRITE_BITMAP : TOLLAN_OK;
}

uint16_t CodeLoadedPage(const MonoBitmap &mono, FILE *out, int stretch) {
    PageCoding p;
    uint16_t code = StartPageCoding(&p, out, mono.width, mono.height, stretch);
    if (code != TOLLAN_OK) return code;
    for (int32_t y = 0; y < mono.height; ++y)
        CodeMonoRow(&p, mono.bits.get() + static_cast<size_t>(y) * mono.bytes_per_row);
    return FinishPageCoding(&p);
}

// Rows straight from the file. The reader found the file holding every row,
// so a row that cannot be read now (an I/O error, the file cut meanwhile)
// is TOLLAN_E_READ_BITMAP, as loading it would have been.
uint16_t CodeStreamedPage(MonoRowReader *rows, FILE *out, int stretch) {
    PageCoding p;
    uint16_t code = StartPageCoding(&p, out, rows->width, rows->height, stretch);
    if (code != TOLLAN_OK) return code;
    HeapBytes mono_row;
    if (p.factors.horizontal != 0) {
        mono_row = AllocZeroed(rows->stride, 1);
        if (!mono_row) return TOLLAN_E_NO_MEMORY;
    }
    for (int32_t y = 0; y < rows->height; ++y) {
        const uint8_t *stored = NextStoredRow(rows);
        if (!stored) return TOLLAN_E_READ_BITMAP;
        if (p.factors.horizontal == 0) {
            CodeStoredRow(&p, *rows, stored);
        } else {
            StoredRowToMono(*rows, stored, mono_row.get());
            CodeMonoRow(&p, mono_row.get());
        }
    }
    return FinishPageCoding(&p);
}

// The destination is the source itself (by another name, perhaps): opening
// it for writing would cut the rows still to be read.
bool IsSameFile(FILE *in, const char *path) {
    struct stat a {}, b {};
    return fstat(fileno(in), &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

uint16_t OpenPageFile(const char *g3_path, FilePtr *out) {
    uint16_t code = CheckTemporaryDirectory();
    if (code != TOLLAN_OK) return code;
    out->reset(fopen(g3_path, "wb"));
    if (!*out) return TOLLAN_E_OPEN_FILE;
    WriteInBlocks(out->get());
    return TOLLAN_OK;
}

uint16_t ClosePageFile(FilePtr *out, uint16_t code) {
    if (!CloseWrittenFile(out) && code == TOLLAN_OK) code = TOLLAN_E_WRITE_BITMAP;
    return code;
}

}  // namespace

extern "C" {

uint16_t BmpToG3(const char *bmp_path, const char *g3_path) {
    if (!bmp_path || !g3_path) return TOLLAN_E_ARGUMENT;
    const int stretch = g_settings.stretch_option;
    // A 1-bit picture is coded as its rows are read; any other is loaded
    // whole first. Both fail the same way for the same file.
    MonoRowReader rows;
    bool streamable = false;
    uint16_t code = OpenMonoRows(bmp_path, kMaxBmpWidth, kMaxBmpHeight, &rows, &streamable);
    if (code != TOLLAN_OK) return code;
    FilePtr out;
    if (streamable && !IsSameFile(rows.file.get(), g3_path)) {
        code = OpenPageFile(g3_path, &out);
        if (code != TOLLAN_OK) return code;
        return ClosePageFile(&out, CodeStreamedPage(&rows, out.get(), stretch));
    }
    rows.file.reset();
    MonoBitmap mono{0, 0, 0, nullptr};
    code = LoadMonochromeBitmap(bmp_path, kMaxBmpWidth, kMaxBmpHeight, &mono);
    if (code != TOLLAN_OK) return code;
    code = OpenPageFile(g3_path, &out);
    if (code != TOLLAN_OK) return code;
    return ClosePageFile(&out, CodeLoadedPage(mono, out.get(), stretch));
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
