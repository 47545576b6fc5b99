// The page header line: the format's fields, the built-in font, the band it
// is drawn in, and the page merged with the band on its way to the modem.
#include "image/page_header.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "engine/call_limits.h"
#include "engine/trace.h"
#include "image/g3_codec.h"
#include "image/mh_codes.h"
#include "platform/platform.h"

PageHeaderSetting g_page_headers[kMaxChannels];

namespace {

// Printable ASCII, ' ' to '~', 5 dots by 8 rows each: rows 0..6 the body,
// row 7 below the base line. 40 bits a glyph, row 0 in the highest 5 bits,
// the leftmost dot of a row in its highest bit.
constexpr char kFirstGlyph = ' ';
constexpr char kLastGlyph = '~';
constexpr int kGlyphDots = 5;
constexpr int kGlyphRows = 8;
constexpr std::array<uint64_t, kLastGlyph - kFirstGlyph + 1> kGlyphs = {
    0x0000000000, 0x2108420080, 0x5280000000, 0x52BEAFA940,  // ' ' '!' '"' '#'
    0x23E8E2F880, 0xC644444C60, 0x64A88AC9A0, 0x2100000000,  // '$' '%' '&' '\''
    0x1110841040, 0x4104211100, 0x012AEA9000, 0x0109F21000,  // '(' ')' '*' '+'
    0x0000001088, 0x0001F00000, 0x0000003180, 0x0844444200,  // ',' '-' '.' '/'
    0x74675CC5C0, 0x23084211C0, 0x74422223E0, 0xF88820C5C0,  // '0' '1' '2' '3'
    0x11952F8840, 0xFC3C10C5C0, 0x3221E8C5C0, 0xF844442100,  // '4' '5' '6' '7'
    0x7462E8C5C0, 0x7462F08980, 0x0318063000, 0x0318061100,  // '8' '9' ':' ';'
    0x1111041040, 0x003E0F8000, 0x4104111100, 0x7442220080,  // '<' '=' '>' '?'
    0x746F5B41E0, 0x7463F8C620, 0xF463E8C7C0, 0x74610845C0,  // '@' 'A' 'B' 'C'
    0xE4A318CB80, 0xFC21E843E0, 0xFC21E84200, 0x746178C5E0,  // 'D' 'E' 'F' 'G'
    0x8C63F8C620, 0x71084211C0, 0x3884214980, 0x8CA98A4A20,  // 'H' 'I' 'J' 'K'
    0x84210843E0, 0x8EEB58C620, 0x8C7359C620, 0x746318C5C0,  // 'L' 'M' 'N' 'O'
    0xF463E84200, 0x74631AC9A0, 0xF463EA4A20, 0x7C20E087C0,  // 'P' 'Q' 'R' 'S'
    0xF908421080, 0x8C6318C5C0, 0x8C6318A880, 0x8C635AD540,  // 'T' 'U' 'V' 'W'
    0x8C54454620, 0x8C54421080, 0xF8444443E0, 0x72108421C0,  // 'X' 'Y' 'Z' '['
    0x8410410420, 0x70842109C0, 0x22A2000000, 0x000000001F,  // '\\' ']' '^' '_'
    0x4100000000, 0x001C17C5E0, 0x842D98C7C0, 0x001D0845C0,  // '`' 'a' 'b' 'c'
    0x085B38C5E0, 0x001D1FC1C0, 0x3251C42100, 0x001F18BC2E,  // 'd' 'e' 'f' 'g'
    0x842D98C620, 0x20184211C0, 0x100C210A4C, 0x84254C5240,  // 'h' 'i' 'j' 'k'
    0x61084211C0, 0x00355AD6A0, 0x002D98C620, 0x001D18C5C0,  // 'l' 'm' 'n' 'o'
    0x003D18FA10, 0x001F18BC21, 0x002D984200, 0x001F0707C0,  // 'p' 'q' 'r' 's'
    0x42388424C0, 0x002318CDA0, 0x002318A880, 0x00231AD540,  // 't' 'u' 'v' 'w'
    0x0022A22A20, 0x002318BC2E, 0x003E2223E0, 0x1108821040,  // 'x' 'y' 'z' '{'
    0x2108421080, 0x4108221100, 0x0011510000,  // '|' '}' '~'
};

// A font dot is 3 dots wide and 2 lines tall at standard resolution (0.375
// by 0.52 mm), 4 lines at fine, so the text looks the same at both. A glyph
// and its gap take 18 dots: 95 of them after the left margin.
constexpr int32_t kDotWidth = 3;
constexpr int32_t kCellDots = (kGlyphDots + 1) * kDotWidth;
constexpr int32_t kLeftMargin = 16;
constexpr int32_t kStandardDotLines = 2;
constexpr int32_t kTopLines = 4;  // white lines above the text, standard resolution
static_assert(kLeftMargin + static_cast<int32_t>(kPageHeaderColumns) * kCellDots <= kG3LineWidth,
              "the header's columns fit the line");
static_assert(kTopLines + kGlyphRows * kStandardDotLines <= kPageHeaderBandLines, "the text fits the band");

// Rows decoded from one page at most: four times a long page at fine
// resolution, and well inside the page size limit.
constexpr int32_t kMaxMergedRows = 4 * 4580;

// GhostScript's fax output: a 64-byte header, this mark at offset 1, the
// resolution at offset 29 (0 standard). Kept in front of the merged page.
constexpr size_t kGhostScriptHeaderSize = 64;
constexpr char kGhostScriptMark[] = "PC Research, Inc";
constexpr size_t kGhostScriptResolutionOffset = 29;

// A leading EOL, after four fill bits: the decoder skips what comes before
// the first EOL, so the page's first row must follow one.
constexpr std::array<uint8_t, 2> kLeadingEol = {0x00, 0x80};

struct Field {
    std::string_view name;
    int id;
};
enum FieldId : int { kDate, kTime, kId, kNumber, kPage, kPages };
constexpr std::array<Field, 6> kFields = {{
    {"date", kDate}, {"time", kTime}, {"id", kId}, {"number", kNumber}, {"page", kPage}, {"pages", kPages},
}};

bool IsPrintable(char ch) { return ch >= kFirstGlyph && ch <= kLastGlyph; }

// The field named, or -1.
int FindField(std::string_view name) {
    for (const Field &f : kFields)
        if (f.name == name) return f.id;
    return -1;
}

void AppendPrintable(std::string *out, const char *text) {
    for (const char *p = text ? text : ""; *p; ++p) out->push_back(IsPrintable(*p) ? *p : '?');
}

void AppendField(std::string *out, int id, const PageHeaderValues &v) {
    char text[32];
    switch (id) {
    case kDate:
        snprintf(text, sizeof text, "%04d-%02d-%02d", v.when.tm_year + 1900, v.when.tm_mon + 1, v.when.tm_mday);
        break;
    case kTime: snprintf(text, sizeof text, "%02d:%02d", v.when.tm_hour, v.when.tm_min); break;
    case kId: AppendPrintable(out, v.local_id); return;
    case kNumber: AppendPrintable(out, v.number); return;
    case kPage: snprintf(text, sizeof text, "%d", v.page); break;
    default: snprintf(text, sizeof text, "%d", v.pages); break;
    }
    out->append(text);
}

// Walks a format: literal text goes to *out, each field through AppendField
// when values are given. False at the first fault of the format.
bool WalkFormat(std::string_view format, const PageHeaderValues *values, std::string *out) {
    for (size_t i = 0; i < format.size(); ++i) {
        const char ch = format[i];
        if (!IsPrintable(ch)) return false;
        if (ch != '{') {
            out->push_back(ch);
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '{') {
            out->push_back('{');
            ++i;
            continue;
        }
        const size_t close = format.find('}', i + 1);
        if (close == std::string_view::npos) return false;
        const int id = FindField(format.substr(i + 1, close - i - 1));
        if (id < 0) return false;
        if (values) AppendField(out, id, *values);
        i = close;
    }
    return true;
}

uint64_t GlyphOf(char ch) { return kGlyphs[static_cast<size_t>((IsPrintable(ch) ? ch : '?') - kFirstGlyph)]; }

// Draws one glyph with its top left corner at column x of the band's text rows.
void DrawGlyph(PageHeaderBand *band, char ch, int32_t x, int32_t top, int32_t dot_lines) {
    const uint64_t glyph = GlyphOf(ch);
    for (int r = 0; r < kGlyphRows; ++r) {
        const unsigned bits = static_cast<unsigned>(glyph >> (kGlyphDots * (kGlyphRows - 1 - r))) & 0x1Fu;
        for (int c = 0; c < kGlyphDots; ++c) {
            if (!(bits & (1u << (kGlyphDots - 1 - c)))) continue;
            const int32_t from = x + c * kDotWidth;
            for (int32_t line = 0; line < dot_lines; ++line) {
                const int32_t row = top + r * dot_lines + line;
                FillBlack(band->dots.data() + static_cast<size_t>(row) * band->row_bytes, from, from + kDotWidth);
            }
        }
    }
}

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The whole of an open file, up to limit bytes. False when it is longer or
// cannot be read (errno set).
bool ReadWhole(FILE *file, size_t limit, std::vector<uint8_t> *data) {
    uint8_t block[65536];
    for (size_t got; (got = fread(block, 1, sizeof block, file)) > 0;) {
        if (data->size() + got > limit) {
            errno = EFBIG;
            return false;
        }
        data->insert(data->end(), block, block + got);
    }
    return !ferror(file);
}

// The prefix and the data in a temporary file of TMPDIR (else /tmp), created
// anew and removed at once, open for reading from its start. nullptr, errno set.
FILE *TemporaryCopy(const uint8_t *prefix, size_t prefix_size, const std::vector<uint8_t> &data) {
    const char *dir = getenv("TMPDIR");
    std::string name = std::string(dir && *dir ? dir : "/tmp") + "/tollan-page-XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);  // O_CREAT | O_EXCL
    if (fd == -1) return nullptr;
    unlink(name.c_str());
    File file(fdopen(fd, "w+b"));
    if (!file) {
        const int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    if (fwrite(prefix, 1, prefix_size, file.get()) != prefix_size ||
        fwrite(data.data(), 1, data.size(), file.get()) != data.size() || fflush(file.get()) != 0 ||
        fseek(file.get(), 0, SEEK_SET) != 0)
        return nullptr;
    return file.release();
}

bool HasGhostScriptHeader(const std::vector<uint8_t> &data) {
    return data.size() >= kGhostScriptHeaderSize &&
           memcmp(data.data() + 1, kGhostScriptMark, sizeof kGhostScriptMark) == 0;
}

}  // namespace

uint16_t CheckPageHeaderFormat(std::string_view format) {
    if (format.size() > kMaxPageHeaderFormat) return TOLLAN_E_ARGUMENT;
    std::string text;
    return WalkFormat(format, nullptr, &text) ? TOLLAN_OK : TOLLAN_E_ARGUMENT;
}

std::string ExpandPageHeader(std::string_view format, const PageHeaderValues &values) {
    std::string text;
    if (!WalkFormat(format, &values, &text)) text.clear();
    return text;
}

PageHeaderBand DrawPageHeaderBand(std::string_view text, bool fine) {
    const int32_t scale = fine ? 2 : 1;
    PageHeaderBand band{{}, kPageHeaderBandLines * scale, PackedRowBytes(kG3LineWidth)};
    band.dots.assign(static_cast<size_t>(band.rows) * band.row_bytes, 0);
    const size_t columns = text.size() < kPageHeaderColumns ? text.size() : kPageHeaderColumns;
    for (size_t i = 0; i < columns; ++i)
        DrawGlyph(&band, text[i], kLeftMargin + static_cast<int32_t>(i) * kCellDots, kTopLines * scale,
                  kStandardDotLines * scale);
    return band;
}

uint16_t MergePageHeader(const uint8_t *data, size_t size, const PageHeaderBand &band, std::vector<uint8_t> *out) {
    G3Reader reader;
    StartMemoryReader(&reader, data, size);
    const G3DecodeOptions options{kCodingMh, kG3LineWidth, kMaxMergedRows, "FaxPageHeader"};
    G3Rows rows;
    G3DecodeReport report;
    uint16_t code = DecodeG3Page(&reader, options, &rows, &report);
    if (code == TOLLAN_OK && rows.count >= kMaxMergedRows) code = TOLLAN_E_PAGE_TOO_LARGE;
    if (code == TOLLAN_OK) {
        // The page ended at its third empty line; the two before it were
        // kept as rows and come back with the RTC the encoder adds.
        rows.count -= 2;
    } else if (code == TOLLAN_E_G3_END && report.found_first_eol && rows.count > 0) {
        code = TOLLAN_OK;  // a page without RTC: its rows are all there is
    } else if (code == TOLLAN_E_G3_END) {
        FaxTrace("FaxPageHeader: no Group 3 page in the data");
    }
    if (code != TOLLAN_OK) return code;

    out->assign(kLeadingEol.begin(), kLeadingEol.end());
    G3Encoder encoder;
    StartG3Encoder(&encoder, kCodingMh, 1, kG3LineWidth, out);
    const int32_t total = rows.count > band.rows ? rows.count : band.rows;
    for (int32_t row = 0; row < total; ++row) {
        if (row < band.rows)
            EncodeG3Row(&encoder, band.dots.data() + static_cast<size_t>(row) * band.row_bytes);
        else
            EncodeG3Row(&encoder, G3Row(rows, row));
    }
    FinishG3Encoder(&encoder);
    return TOLLAN_OK;
}

void FaxBeginPageHeader(int32_t channel, const char *number, int pages) {
    PageHeaderSetting &h = g_page_headers[channel];
    snprintf(h.number, sizeof h.number, "%s", number ? number : "");
    h.pages = static_cast<int16_t>(pages);
    Plat().local_time(&h.started);
}

FILE *FaxOpenPageToSend(const char *path, int page, int32_t channel) {
    const PageHeaderSetting &h = g_page_headers[channel];
    if (!h.format[0]) return fopen(path, "rb");
    File original(fopen(path, "rb"));
    if (!original) return nullptr;
    std::vector<uint8_t> data;
    if (!ReadWhole(original.get(), kMaxPageBytes + kGhostScriptHeaderSize, &data)) {
        FaxTrace("FaxOpenPageToSend: cannot read %s whole: errno %d", path, errno);
        return nullptr;
    }
    original.reset();
    const FaxChannel &c = g_channels[channel];
    // GhostScript's header stays in front and tells the data's resolution.
    const size_t start = HasGhostScriptHeader(data) ? kGhostScriptHeaderSize : 0;
    const bool fine = start ? data[kGhostScriptResolutionOffset] != 0 : c.resolution == 0;
    const PageHeaderValues values{c.local_id, h.number, page, h.pages, h.started};
    const std::string text = ExpandPageHeader(h.format, values);
    FaxTrace("FaxOpenPageToSend: page %d gets the header \"%s\"", page, text.c_str());
    std::vector<uint8_t> coded;
    const PageHeaderBand band = DrawPageHeaderBand(text, fine);
    const uint16_t code = MergePageHeader(data.data() + start, data.size() - start, band, &coded);
    if (code != TOLLAN_OK) {
        FaxTrace("FaxOpenPageToSend: %s cannot carry the header: %d", path, code);
        errno = code == TOLLAN_E_NO_MEMORY ? ENOMEM : code == TOLLAN_E_PAGE_TOO_LARGE ? EFBIG : EINVAL;
        return nullptr;
    }
    FILE *file = TemporaryCopy(data.data(), start, coded);
    if (!file) FaxTrace("FaxOpenPageToSend: no temporary file for %s: errno %d", path, errno);
    return file;
}
