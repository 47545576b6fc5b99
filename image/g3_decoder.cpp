// G3ToBmp and GetG3Size: a raw Group 3 page (Modified Huffman, LSB-first)
// decoded line by line into rows of 1728 pixels.
//
// Everything before the first EOL is ignored. A line ends at its EOL (any
// number of 0 fill bits may precede it) or when it reaches 1728 pixels; a
// bad code word leaves the rest of its line white and decoding goes on at the
// next EOL. The page ends at its third empty line in a row (an EOL met before
// any pixel), so the six EOLs of a return-to-control mark add two blank rows.
// At most 4300 rows and 32 MB are decoded.
#include <cstdlib>
#include <cstring>

#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/tollan.h"
#include "engine/trace.h"
#include "image/bmp_format.h"
#include "image/bmp_writer.h"
#include "image/mh_codes.h"

namespace {

constexpr int kMaxDecodedRows = 4300;
// The largest page file decoded: the largest page the library receives.
// Fill bits make a line as long as its sender likes, so rows alone do not
// bound the bytes read: without this, endless input (a pipe, /dev/zero)
// would be read for ever.
constexpr int64_t kMaxDecodedPageBytes = kMaxPageBytes;
constexpr int kEolZeroBits = 11;
constexpr int kEmptyLinesEndingPage = 3;
constexpr int kHashSlots = 1021;
// Counters that only need to tell "11 or more": capped so that no file,
// however long its runs of 0 bits, can overflow them.
constexpr int kCounterCap = 1 << 20;

// ---- Code word lookup: one probe per bit into a table of 1021 slots ----

struct CodeWordHash {
    int32_t a;
    int32_t b;
    const MhCodeEntry *slot[kHashSlots];
};

int32_t HashSlot(const CodeWordHash &h, int32_t length, int32_t code) {
    return ((length + h.a) * (code + h.b)) % kHashSlots;
}

void InsertCodes(CodeWordHash *h, const MhCodeEntry *codes, int count) {
    for (int i = 0; i < count; ++i) {
        int32_t pos = HashSlot(*h, codes[i].length, codes[i].code);
        if (h->slot[pos]) FaxTrace("G3ToBmp: ハッシュ衝突 致命的エラー");
        h->slot[pos] = &codes[i];
    }
}

void FillHash(CodeWordHash *h, int32_t a, int32_t b, const MhCodeEntry *terminating,
              const MhCodeEntry *make_up) {
    memset(h, 0, sizeof *h);
    h->a = a;
    h->b = b;
    InsertCodes(h, terminating, kMhTerminatingCount);
    InsertCodes(h, make_up, kMhMakeUpCount);
    InsertCodes(h, kExtendedMhMakeUp, kMhExtendedCount);
}

const MhCodeEntry *LookUp(const CodeWordHash &h, int32_t length, int32_t code) {
    int32_t pos = HashSlot(h, length, code);
    if (pos < 0 || pos >= kHashSlots) {
        FaxTrace("G3ToBmp: ハッシュ位置エラー length %d code %d pos %d", length, code, pos);
        return nullptr;
    }
    const MhCodeEntry *e = h.slot[pos];
    return e && e->length == length && e->code == code ? e : nullptr;
}

// ---- Bit reader: least significant bit of each byte first ----

struct PageDecoder {
    FILE *in;
    int64_t bytes_read;
    int byte;
    uint8_t mask;       // 0: no byte yet, or the current one is used up
    int zero_bits;      // 0 bits since the last 1 bit
    int empty_lines;
    bool end_of_page;
    CodeWordHash white;
    CodeWordHash black;
};

uint16_t ReadBit(PageDecoder *d, int *bit) {
    if (d->mask == 0) {
        if (d->bytes_read == kMaxDecodedPageBytes) {
            FaxTrace("G3ToBmp: no page end within %lld bytes", static_cast<long long>(kMaxDecodedPageBytes));
            return TOLLAN_E_PAGE_TOO_LARGE;
        }
        d->byte = getc(d->in);
        if (d->byte == EOF) {
            FaxTrace("G3ToBmp: EOF読み込みエラー line %d", d->empty_lines);
            return TOLLAN_E_G3_END;
        }
        ++d->bytes_read;
        d->mask = 1;
    }
    *bit = (d->byte & d->mask) ? 1 : 0;
    d->mask = static_cast<uint8_t>(d->mask << 1);
    if (*bit)
        d->zero_bits = 0;
    else if (d->zero_bits < kCounterCap)
        ++d->zero_bits;
    return TOLLAN_OK;
}

// Any run of at least eleven 0 bits followed by a 1 bit is an EOL.
uint16_t SkipToEol(PageDecoder *d) {
    int bit = 0;
    while (d->zero_bits < kEolZeroBits)
        if (uint16_t code = ReadBit(d, &bit)) return code;
    do {
        if (uint16_t code = ReadBit(d, &bit)) return code;
    } while (!bit);
    return TOLLAN_OK;
}

// ---- Lines ----

// Decodes one line into a cleared buffer and stores how far it reached.
uint16_t DecodeLine(PageDecoder *d, int row, uint8_t *line, int32_t *width) {
    *width = 0;
    if (d->end_of_page) return TOLLAN_OK;
    d->zero_bits = 0;
    bool black = false;
    int32_t column = 0, pending = 0, value = 0, length = 0;
    while (column < kG3LineWidth) {
        bool after_eol_zeros = d->zero_bits >= kEolZeroBits;
        int bit = 0;
        if (uint16_t code = ReadBit(d, &bit)) return code;
        if (after_eol_zeros && bit) {
            if (column == 0) {
                if (++d->empty_lines >= kEmptyLinesEndingPage) d->end_of_page = true;
            } else {
                d->empty_lines = 0;
            }
            *width = column;
            return TOLLAN_OK;
        }
        value = value * 2 + bit;
        if (length < kCounterCap) ++length;
        if (value == 0) continue;  // leading 0 bits count in the length
        if (length > kMhMaxCodeLength) {
            FaxTrace("G3ToBmp: bad code word at row %d, col %d (len %d code 0x%x), skipping to EOL",
                     row, column, length, static_cast<unsigned>(value));
            *width = column;
            return SkipToEol(d);
        }
        if (length < (black ? 2 : 4)) continue;  // no code is that short
        const MhCodeEntry *e = LookUp(black ? d->black : d->white, length, value);
        if (!e) continue;
        switch (e->kind) {
        case kWhiteTerminating:
        case kBlackTerminating:
            pending += e->run;
            if (pending > kG3LineWidth - column) pending = kG3LineWidth - column;
            if (pending > 0) {
                if (black) memset(line + column, 1, static_cast<size_t>(pending));
                column += pending;
                pending = 0;
            }
            black = !black;
            value = length = 0;
            break;
        case kWhiteMakeUp:
        case kBlackMakeUp:
        case kExtendedMakeUp:
            // Never more than a line's worth pending, however many make-up codes come.
            pending = pending + e->run > kG3LineWidth ? kG3LineWidth : pending + e->run;
            value = length = 0;
            break;
        default:
            FaxTrace("G3ToBmp: internal bad poop");
            break;
        }
    }
    *width = kG3LineWidth;
    return SkipToEol(d);
}

// ---- Pages ----

// The rows live back to back in one block that doubles as it fills: one
// allocation per row would make the allocator give memory back to the
// system page by page when a large page is freed.
struct DecodedPage {
    HeapBytes pixels;
    int32_t capacity;
    int32_t count;
    int32_t width;
};

constexpr int32_t kFirstRowCapacity = 256;

// Makes room for one more row and returns it cleared, or nullptr.
uint8_t *AppendRow(DecodedPage *page) {
    if (page->count == page->capacity) {
        int32_t grown = page->capacity == 0 ? kFirstRowCapacity : page->capacity * 2;
        if (grown > kMaxDecodedRows) grown = kMaxDecodedRows;
        void *block = realloc(page->pixels.get(), static_cast<size_t>(grown) * kG3LineWidth);
        if (!block) return nullptr;
        page->pixels.release();
        page->pixels.reset(static_cast<uint8_t *>(block));
        page->capacity = grown;
    }
    uint8_t *row = page->pixels.get() + static_cast<size_t>(page->count) * kG3LineWidth;
    memset(row, 0, kG3LineWidth);
    return row;
}

// Decodes the page file into page. 0 is stored through width_out and
// height_out, when given, once the file is open and its first EOL found.
uint16_t DecodePage(const char *path, DecodedPage *page, int32_t *width_out, int32_t *height_out) {
    page->capacity = 0;
    page->count = 0;
    page->width = 0;
    FilePtr file(fopen(path, "rb"));
    if (!file) return TOLLAN_E_OPEN_FILE;
    PageDecoder d;
    d.in = file.get();
    d.bytes_read = 0;
    d.byte = 0;
    d.mask = 0;
    d.zero_bits = 0;
    d.empty_lines = 0;
    d.end_of_page = false;
    if (uint16_t code = SkipToEol(&d)) return code;
    if (width_out) *width_out = 0;
    if (height_out) *height_out = 0;
    FillHash(&d.white, 3510, 1178, kWhiteMhTerminating, kWhiteMhMakeUp);
    FillHash(&d.black, 293, 2695, kBlackMhTerminating, kBlackMhMakeUp);

    for (int row = 0; page->count < kMaxDecodedRows; ++row) {
        uint8_t *line = AppendRow(page);
        if (!line) return TOLLAN_E_NO_MEMORY;
        int32_t width = 0;
        if (uint16_t code = DecodeLine(&d, row, line, &width)) return code;
        if (d.end_of_page) break;
        ++page->count;
        if (width > page->width) page->width = width;
    }
    if (page->width == 0) {
        // Nothing to draw: a bitmap 0 pixels wide is no bitmap.
        FaxTrace("G3ToBmp: no pixels in %d rows", page->count);
        return TOLLAN_E_G3_END;
    }
    return TOLLAN_OK;
}

}  // namespace

extern "C" {

uint16_t G3ToBmp(const char *g3_path, const char *bmp_path) {
    if (!g3_path || !bmp_path) return TOLLAN_E_ARGUMENT;
    DecodedPage page;
    uint16_t code = DecodePage(g3_path, &page, nullptr, nullptr);
    if (code != TOLLAN_OK) return code;
    DecodedRows rows{page.pixels.get(), page.count, page.width};
    ShrinkSettings shrink{g_settings.shrink_option, g_settings.shrink_height, g_settings.shrink_width};
    if (shrink.option != 0) return WriteShrunkBitmap(bmp_path, rows, shrink);
    return WritePlainBitmap(bmp_path, rows);
}

uint16_t GetG3Size(const char *g3_path, int32_t *width, int32_t *height) {
    if (!g3_path || !width || !height) return TOLLAN_E_ARGUMENT;
    DecodedPage page;
    uint16_t code = DecodePage(g3_path, &page, width, height);
    if (code != TOLLAN_OK) return code;
    *width = page.width;
    *height = page.count;
    return TOLLAN_OK;
}

}  // extern "C"
