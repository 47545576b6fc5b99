#include "image/g3_codec.h"

#include <cstring>
#include <utility>

#include "engine/tollan.h"
#include "engine/trace.h"
#include "image/mh_codes.h"

namespace {

constexpr int kEolZeroBits = 11;
constexpr int kRtcEols = 6;
constexpr int kEofbEols = 2;
constexpr int kEmptyRowsEndingMhPage = 3;
constexpr int32_t kFirstRowCapacity = 256;
constexpr int64_t kWholePageBytes = 8 << 20;
constexpr size_t kReadBlockBytes = 64 * 1024;
// Counters that only need to tell "11 or more": capped so that no input,
// however long its runs of 0 bits, can overflow them.
constexpr int kCounterCap = 1 << 20;

// ---- Code tables, turned for a stream whose first bit is bit 0 ----

// The bits of a code in stream order: the bit sent first in bit 0.
constexpr uint32_t Reversed(uint32_t code, int length) {
    uint32_t out = 0;
    for (int i = 0; i < length; ++i) out |= ((code >> (length - 1 - i)) & 1u) << i;
    return out;
}

struct PutCode {
    uint16_t bits;  // stream order
    uint8_t length;
};

// A run code found by the next bits of the stream, in 32 bits: its length
// (bits 0-3, 0 when no code starts with those bits), the 0 bits that end it
// (4-5), make-up or not (6), and its run (8-19). A pair (bit 7) is two
// terminating codes, of the colour looked up and then of the other, found
// at once: their length, the 0 bits ending the second, the first run and
// the second (bits 20-25).
using RunCode = uint32_t;
constexpr int CodeLength(RunCode c) { return static_cast<int>(c & 0xF); }
constexpr int CodeTrailingZeros(RunCode c) { return static_cast<int>((c >> 4) & 3); }
constexpr bool CodeIsMakeUp(RunCode c) { return (c >> 6) & 1; }
constexpr bool CodeIsPair(RunCode c) { return (c >> 7) & 1; }
constexpr int32_t CodeRun(RunCode c) { return static_cast<int32_t>((c >> 8) & 0xFFF); }
constexpr int32_t CodeSecondRun(RunCode c) { return static_cast<int32_t>(c >> 20); }
constexpr RunCode kPairBit = 1u << 7;

constexpr int kRunLookupBits = kMhMaxCodeLength;  // 13: every code
constexpr int kShortRunLookupBits = 8;            // the codes of most runs, in a table that stays in cache
constexpr int kPairLookupBits = 10;               // two short codes in a row

// Two-dimensional mode codes (T.4 table 4), as the recommendation writes them.
enum Mode : int8_t { kPass = 10, kHorizontal = 11 };
struct ModeCode {
    uint8_t code;
    uint8_t length;
    int8_t mode;  // -3..3: vertical, a1 - b1
};
constexpr ModeCode kModeCodes[] = {
    {0b1, 1, 0},        {0b011, 3, 1},    {0b000011, 6, 2},  {0b0000011, 7, 3},
    {0b010, 3, -1},     {0b000010, 6, -2}, {0b0000010, 7, -3}, {0b0001, 4, kPass},
    {0b001, 3, kHorizontal},
};
constexpr int kModeLookupBits = 7;
// Where a mode's code is kept for coding: vertical -3..3 first.
constexpr int ModeIndex(int mode) { return mode == kPass ? 7 : mode == kHorizontal ? 8 : mode + 3; }

// What coding looks codes up in; built at compile time.
struct CodeTables {
    PutCode terminating[2][kMhTerminatingCount];
    PutCode make_up[2][kMhMakeUpCount + kMhExtendedCount];  // runs 64.. in steps of 64
    // A white run under 64 and the black run under 64 after it, as one
    // code: its bits (up to 20) and, from bit 24, its length.
    uint32_t white_black[kMhTerminatingCount][kMhTerminatingCount];
    PutCode mode_codes[9];  // by ModeIndex
};

// What decoding finds codes by; built at compile time.
struct LookupTables {
    RunCode runs[2][1 << kRunLookupBits];
    RunCode short_runs[2][1 << kShortRunLookupBits];
    RunCode pairs[2][1 << kPairLookupBits];  // one code or a pair, within 10 bits
    ModeCode modes[1 << kModeLookupBits];   // length 0: no mode code
};

constexpr void AddPutCodes(PutCode *out, const MhCodeEntry *codes, int count) {
    for (int i = 0; i < count; ++i)
        out[i] = {static_cast<uint16_t>(Reversed(static_cast<uint32_t>(codes[i].code), codes[i].length)),
                  static_cast<uint8_t>(codes[i].length)};
}

constexpr int TrailingZeros(uint32_t code) {
    int n = 0;
    while (!(code & 1u)) {
        code >>= 1;
        ++n;
    }
    return n;
}

// Every index whose first bits are the code's gets the code.
constexpr void AddRunCodes(RunCode *table, int lookup_bits, const MhCodeEntry *codes, int count) {
    for (int i = 0; i < count; ++i) {
        const MhCodeEntry &c = codes[i];
        if (c.length > lookup_bits) continue;
        const uint32_t head = Reversed(static_cast<uint32_t>(c.code), c.length);
        const bool make_up = c.kind != kWhiteTerminating && c.kind != kBlackTerminating;
        const RunCode entry = static_cast<uint32_t>(c.length) |
                              static_cast<uint32_t>(TrailingZeros(static_cast<uint32_t>(c.code))) << 4 |
                              static_cast<uint32_t>(make_up) << 6 | static_cast<uint32_t>(c.run) << 8;
        for (uint32_t tail = 0; tail < (1u << (lookup_bits - c.length)); ++tail) table[head | tail << c.length] = entry;
    }
}

constexpr void AddColourRunCodes(RunCode *table, int lookup_bits, const MhCodeEntry *terminating, const MhCodeEntry *make_up) {
    AddRunCodes(table, lookup_bits, terminating, kMhTerminatingCount);
    AddRunCodes(table, lookup_bits, make_up, kMhMakeUpCount);
    AddRunCodes(table, lookup_bits, kExtendedMhMakeUp, kMhExtendedCount);
}

constexpr CodeTables BuildCodeTables() {
    CodeTables t{};
    AddPutCodes(t.terminating[0], kWhiteMhTerminating, kMhTerminatingCount);
    AddPutCodes(t.terminating[1], kBlackMhTerminating, kMhTerminatingCount);
    AddPutCodes(t.make_up[0], kWhiteMhMakeUp, kMhMakeUpCount);
    AddPutCodes(t.make_up[1], kBlackMhMakeUp, kMhMakeUpCount);
    for (int colour = 0; colour < 2; ++colour)
        AddPutCodes(t.make_up[colour] + kMhMakeUpCount, kExtendedMhMakeUp, kMhExtendedCount);
    for (int white = 0; white < kMhTerminatingCount; ++white)
        for (int black = 0; black < kMhTerminatingCount; ++black) {
            const PutCode &w = t.terminating[0][white], &b = t.terminating[1][black];
            t.white_black[white][black] = (w.bits | static_cast<uint32_t>(b.bits) << w.length) |
                                          static_cast<uint32_t>(w.length + b.length) << 24;
        }
    for (const ModeCode &m : kModeCodes)
        t.mode_codes[ModeIndex(m.mode)] = {static_cast<uint16_t>(Reversed(m.code, m.length)), m.length};
    return t;
}

constexpr LookupTables BuildLookupTables() {
    LookupTables t{};
    AddColourRunCodes(t.runs[0], kRunLookupBits, kWhiteMhTerminating, kWhiteMhMakeUp);
    AddColourRunCodes(t.runs[1], kRunLookupBits, kBlackMhTerminating, kBlackMhMakeUp);
    AddColourRunCodes(t.short_runs[0], kShortRunLookupBits, kWhiteMhTerminating, kWhiteMhMakeUp);
    AddColourRunCodes(t.short_runs[1], kShortRunLookupBits, kBlackMhTerminating, kBlackMhMakeUp);
    // A code within the pair table's bits, and when it is terminating, the
    // terminating code of the other colour that follows it within them.
    for (int colour = 0; colour < 2; ++colour)
        for (uint32_t i = 0; i < (1u << kPairLookupBits); ++i) {
            const RunCode first = t.runs[colour][i];
            if (first == 0 || CodeLength(first) > kPairLookupBits) continue;
            t.pairs[colour][i] = first;
            const int rest = kPairLookupBits - CodeLength(first);
            if (CodeIsMakeUp(first) || rest == 0) continue;
            const RunCode second = t.runs[colour ^ 1][i >> CodeLength(first)];
            if (second == 0 || CodeLength(second) > rest || CodeIsMakeUp(second)) continue;
            t.pairs[colour][i] = static_cast<uint32_t>(CodeLength(first) + CodeLength(second)) |
                                 static_cast<uint32_t>(CodeTrailingZeros(second)) << 4 | kPairBit |
                                 static_cast<uint32_t>(CodeRun(first)) << 8 |
                                 static_cast<uint32_t>(CodeRun(second)) << 20;
        }
    for (const ModeCode &m : kModeCodes) {
        const uint32_t head = Reversed(m.code, m.length);
        for (uint32_t tail = 0; tail < (1u << (kModeLookupBits - m.length)); ++tail)
            t.modes[head | tail << m.length] = m;
    }
    return t;
}

// In the program's read-only data: nothing to build or zero at run time.
constexpr CodeTables kCodeTables = BuildCodeTables();
constexpr LookupTables kLookupTables = BuildLookupTables();

const CodeTables &CodingTables() { return kCodeTables; }
const LookupTables &DecodingTables() { return kLookupTables; }

// The run code at the front of bits, or 0.
inline RunCode FindRunCode(const LookupTables &t, int colour, uint64_t bits) {
    RunCode c = t.short_runs[colour][bits & ((1u << kShortRunLookupBits) - 1)];
    return c != 0 ? c : t.runs[colour][bits & ((1u << kRunLookupBits) - 1)];
}

int CountTrailingZeros64(uint64_t v) { return __builtin_ctzll(v); }

uint64_t BigEndian64(const uint8_t *p) {
    uint64_t w;
    memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

}  // namespace

// ---- Packed rows ----

namespace {

inline int32_t ScanForChange(const uint8_t *row, int32_t width, int32_t from, int colour) {
    if (from >= width) return width;
    if ((from >> 3) + 8 <= PackedRowBytes(width)) {
        // Most runs end within the next 57 dots: one load, one count.
        const uint64_t window = (BigEndian64(row + (from >> 3)) ^ (colour ? ~0ull : 0)) << (from & 7);
        if (window >> 7) {
            const int32_t found = from + __builtin_clzll(window);
            return found > width ? width : found;
        }
    }
    const uint8_t flip8 = colour ? 0xFF : 0x00;
    const uint64_t flip64 = colour ? ~0ull : 0;
    const int32_t end = PackedRowBytes(width);
    int32_t byte = from >> 3;
    uint8_t first = static_cast<uint8_t>((row[byte] ^ flip8) & (0xFF >> (from & 7)));
    int32_t found = -1;
    if (first) {
        found = byte * 8 + __builtin_clz(first) - 24;
    } else {
        for (++byte; byte + 8 <= end; byte += 8) {
            uint64_t w = BigEndian64(row + byte) ^ flip64;
            if (w) {
                found = byte * 8 + __builtin_clzll(w);
                break;
            }
        }
        if (found < 0 && byte < end && end >= 8) {
            // The last bytes: the row's last eight, those already seen masked off.
            const int unseen = end - byte;
            const uint64_t w = (BigEndian64(row + end - 8) ^ flip64) & (~0ull >> (64 - 8 * unseen));
            if (w) found = (end - 8) * 8 + __builtin_clzll(w);
            byte = end;
        }
        for (; found < 0 && byte < end; ++byte) {
            uint8_t b = static_cast<uint8_t>(row[byte] ^ flip8);
            if (b) found = byte * 8 + __builtin_clz(b) - 24;
        }
    }
    return found < 0 || found > width ? width : found;
}

}  // namespace

int32_t NextChange(const uint8_t *row, int32_t width, int32_t from, int colour) {
    return ScanForChange(row, width, from, colour);
}

namespace {

inline void FillDots(uint8_t *row, int32_t from, int32_t to) {
    if (from >= to) return;
    int32_t first = from >> 3, last = (to - 1) >> 3;
    uint8_t head = static_cast<uint8_t>(0xFF >> (from & 7));
    uint8_t tail = static_cast<uint8_t>(0xFF << (7 - ((to - 1) & 7)));
    if (first == last) {
        row[first] |= head & tail;
        return;
    }
    row[first] |= head;
    for (int32_t i = first + 1; i < last; ++i) row[i] = 0xFF;
    row[last] |= tail;
}

}  // namespace

void FillBlack(uint8_t *row, int32_t from, int32_t to) { FillDots(row, from, to); }

namespace {

// Bytes after the last decoded row that the block always has, so that a
// short run is laid down with one 8-byte read and write.
constexpr size_t kRowSlack = 8;

void StoreBigEndian64(uint8_t *p, uint64_t w) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    memcpy(p, &w, sizeof w);
}

// FillDots for rows of a G3Rows block: runs of up to 56 dots are one OR of
// a mask into the 8 bytes from the run's first (the bytes past the row are
// or'ed with 0, so stay as they are).
inline void FillRun(uint8_t *row, int32_t from, int32_t to) {
    const int32_t n = to - from;
    if (n <= 0) return;
    if (n > 56) {
        FillDots(row, from, to);
        return;
    }
    const int shift = from & 7;
    const uint64_t mask = (~0ull >> shift) & ~(~0ull >> (shift + n));
    uint8_t *p = row + (from >> 3);
    StoreBigEndian64(p, BigEndian64(p) | mask);
}

}  // namespace

// ---- Coding ----

namespace {

constexpr int kChangeSentinels = 4;

// Writes where a row changes colour into at (room for width + 1 +
// kChangeSentinels): its first black dot, the first white dot after it, and
// so on (an even index is a change to black), then the width four times, so
// that the changes past the last are found without a bounds check. Returns
// the number of changes.
int32_t RowChanges(const uint8_t *row, int32_t width, int32_t *at) {
    int32_t count = 0;
    int colour = 0;
    for (int32_t x = ScanForChange(row, width, 0, colour); x < width; x = ScanForChange(row, width, x, colour)) {
        at[count++] = x;
        colour ^= 1;
    }
    for (int i = 0; i < kChangeSentinels; ++i) at[count + i] = width;
    return count;
}

// Bytes kept free at the end of the chunk: one 8-byte store.
constexpr size_t kChunkRoom = 8;

void SpillChunk(G3Encoder *e) {
    e->out->insert(e->out->end(), e->chunk, e->chunk + e->used);
    e->used = 0;
}

// The accumulator through one row, in locals the compiler keeps in
// registers (the encoder's own members share memory with the chunk the
// codes are stored to, so each code would reload and store them).
struct RowBits {
    G3Encoder *e;
    uint64_t bits;  // pending bits (fewer than 8 between codes), the first in bit 0
    int count;
    size_t used;
};

inline RowBits OpenRowBits(G3Encoder *e) { return {e, e->bits, e->count, e->used}; }

inline void CloseRowBits(const RowBits &b) {
    b.e->bits = b.bits;
    b.e->count = b.count;
    b.e->used = b.used;
}

// All eight bytes of the accumulator are stored every time and the whole
// ones counted as written: no branch on when a byte fills. The chunk keeps
// room for that store past what is written.
inline void PutBits(RowBits &b, uint32_t bits, int length) {
    b.bits |= static_cast<uint64_t>(bits) << b.count;
    b.count += length;
    uint64_t out = b.bits;
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    out = __builtin_bswap64(out);
#endif
    memcpy(b.e->chunk + b.used, &out, sizeof out);
    const int whole = b.count >> 3;
    b.used += static_cast<size_t>(whole);
    b.bits >>= 8 * whole;  // count stays under 40: whole is at most 4
    b.count &= 7;
    if (b.used > sizeof b.e->chunk - kChunkRoom) {
        b.e->used = b.used;
        SpillChunk(b.e);
        b.used = 0;
    }
}

constexpr uint32_t kEolBits = 1u << kEolZeroBits;  // eleven 0 bits, then a 1
constexpr int kEolLength = kEolZeroBits + 1;

inline void PutEol(RowBits &b) { PutBits(b, kEolBits, kEolLength); }
// MR: the EOL and the tag bit of the row that follows.
inline void PutTaggedEol(RowBits &b, int one_dimensional) {
    PutBits(b, kEolBits | static_cast<uint32_t>(one_dimensional) << kEolLength, kEolLength + 1);
}

inline void PutPutCode(RowBits &b, const PutCode &c) { PutBits(b, c.bits, c.length); }

// A run: make-up codes for its multiples of 64, then its terminating code.
inline void PutRun(RowBits &b, const CodeTables &t, int colour, int32_t run) {
    constexpr int32_t kLongestMakeUp = 64 * (kMhMakeUpCount + kMhExtendedCount);
    while (run > kLongestMakeUp + 63) {
        PutPutCode(b, t.make_up[colour][kMhMakeUpCount + kMhExtendedCount - 1]);
        run -= kLongestMakeUp;
    }
    if (run >= 64) PutPutCode(b, t.make_up[colour][run / 64 - 1]);
    PutPutCode(b, t.terminating[colour][run % 64]);
}

// A white run and the black run after it (never empty), short ones as one
// code.
inline void PutRunPair(RowBits &b, const CodeTables &t, int32_t white, int32_t black) {
    if (white < 64 && black < 64) {
        const uint32_t pair = t.white_black[white][black];
        PutBits(b, pair & 0xFFFFFF, static_cast<int>(pair >> 24));
    } else {
        PutRun(b, t, 0, white);
        PutRun(b, t, 1, black);
    }
}

// Alternating runs from white; an empty black run is never coded, and a row
// ending in white ends with its white run. Runs are found in a window of
// the row's next dots held in a register, most significant bit first,
// whose first `valid` bits are the row's: one load serves every run pair
// that ends inside it.
// True when no dot of the row is black: one pass of word ORs, which the
// compiler runs wide, cheaper than looking for the end of a run.
bool RowIsWhite(const uint8_t *row, int32_t row_bytes) {
    uint64_t any = 0;
    int32_t i = 0;
    for (; i + 8 <= row_bytes; i += 8) {
        uint64_t word;
        memcpy(&word, row + i, sizeof word);
        any |= word;
    }
    for (; i < row_bytes; ++i) any |= row[i];
    return any == 0;
}

void PutMhRow(RowBits &b, const uint8_t *row, int32_t w) {
    const CodeTables &t = CodingTables();
    const int32_t row_bytes = PackedRowBytes(w);
    // Most rows of a sparse page are white: one run.
    if (RowIsWhite(row, row_bytes)) {
        PutRun(b, t, 0, w);
        return;
    }
    int32_t x = 0;
    while (x < w) {
        if ((x >> 3) + 8 <= row_bytes) {
            uint64_t window = BigEndian64(row + (x >> 3)) << (x & 7);
            int valid = 64 - (x & 7);
            for (;;) {
                const int white = window != 0 ? __builtin_clzll(window) : 64;
                if (white >= valid) break;  // the white run goes on past the window
                if (x + white >= w) break;  // nor is it ended by a black dot
                // The black dots turned to 0, the bits shifted in to 1.
                const uint64_t turned = ~(window << white);
                const int black = turned != 0 ? __builtin_clzll(turned) : 64;
                if (white + black >= valid) break;  // the black run may go on past it
                PutRunPair(b, t, white, black);
                x += white + black;
                window <<= white + black;
                valid -= white + black;
            }
            if (x >= w) break;
        }
        // A run that outlasts the window, or the row's last bytes.
        const int32_t white_end = ScanForChange(row, w, x, 0);
        if (white_end >= w) {
            PutRun(b, t, 0, white_end - x);
            break;
        }
        const int32_t black_end = ScanForChange(row, w, white_end, 1);
        PutRunPair(b, t, white_end - x, black_end - white_end);
        x = black_end;
    }
}

inline void PutMode(RowBits &b, const CodeTables &t, int mode) { PutPutCode(b, t.mode_codes[ModeIndex(mode)]); }

// Codes a row by the changes of it (cur) and of the row above (ref).
void Put2dRow(RowBits &b, const int32_t *cur, const int32_t *ref, int32_t w) {
    const CodeTables &t = CodingTables();
    int32_t a0 = -1;
    int colour = 0;
    int32_t ai = 0, bi = 0;  // the first changes of the row and above right of a0
    while (a0 < w) {
        while (cur[ai] <= a0) ++ai;
        while (ref[bi] <= a0) ++bi;
        // a1: the next change of the row; b1: the first change above, right
        // of a0, to the colour opposite a0's; b2: the change after b1.
        const int32_t a1 = cur[ai];
        const int32_t k = bi + ((bi & 1) != colour ? 1 : 0);
        const int32_t b1 = ref[k], b2 = ref[k + 1];
        if (b2 < a1) {
            PutMode(b, t, kPass);
            a0 = b2;
        } else if (a1 - b1 >= -3 && a1 - b1 <= 3) {
            PutMode(b, t, a1 - b1);
            a0 = a1;
            colour ^= 1;
        } else {
            const int32_t a2 = cur[ai + 1];
            PutMode(b, t, kHorizontal);
            PutRun(b, t, colour, a1 - (a0 < 0 ? 0 : a0));
            PutRun(b, t, colour ^ 1, a2 - a1);
            a0 = a2;
        }
    }
}

}  // namespace

void StartG3Encoder(G3Encoder *e, G3Coding coding, int k, int32_t width, std::vector<uint8_t> *out) {
    e->out = out;
    e->bits = 0;
    e->count = 0;
    e->coding = coding;
    e->k = k < 1 ? 1 : k;
    e->rows_to_1d = 0;
    e->width = width;
    e->used = 0;
    // MR and MMR code each row against the changes of the one above: a
    // white row above the first. MH needs none.
    const size_t changes = coding == kCodingMh ? 0 : static_cast<size_t>(width) + 1 + kChangeSentinels;
    e->changes.assign(changes, width);
    e->changes_above.assign(changes, width);
}

void EncodeG3Row(G3Encoder *e, const uint8_t *row) {
    RowBits b = OpenRowBits(e);
    if (e->coding == kCodingMh) {
        PutMhRow(b, row, e->width);
        PutEol(b);
    } else {
        // The row below is coded against this one's changes.
        RowChanges(row, e->width, e->changes.data());
        if (e->coding == kCodingMmr) {
            Put2dRow(b, e->changes.data(), e->changes_above.data(), e->width);
        } else if (e->rows_to_1d == 0) {
            PutTaggedEol(b, 1);
            PutMhRow(b, row, e->width);
            e->rows_to_1d = e->k - 1;
        } else {
            PutTaggedEol(b, 0);
            Put2dRow(b, e->changes.data(), e->changes_above.data(), e->width);
            --e->rows_to_1d;
        }
        e->changes.swap(e->changes_above);
    }
    CloseRowBits(b);
    SpillChunk(e);
}

void FinishG3Encoder(G3Encoder *e) {
    RowBits b = OpenRowBits(e);
    if (e->coding == kCodingMh)
        for (int i = 0; i < kRtcEols; ++i) PutEol(b);
    else if (e->coding == kCodingMr)
        for (int i = 0; i < kRtcEols; ++i) PutTaggedEol(b, 1);
    else
        for (int i = 0; i < kEofbEols; ++i) PutEol(b);
    CloseRowBits(b);
    SpillChunk(e);
    for (; e->count > 0; e->count -= 8) {
        e->out->push_back(static_cast<uint8_t>(e->bits));
        e->bits >>= 8;
    }
    e->count = 0;
}

// ---- Reading ----

void StartFileReader(G3Reader *r, FILE *file, int64_t limit) {
    r->file = file;
    r->data = nullptr;
    r->size = 0;
    r->pos = 0;
    r->block.assign(kReadBlockBytes, 0);
    r->taken = 0;
    r->limit = limit;
    r->bits = 0;
    r->count = 0;
}

void StartMemoryReader(G3Reader *r, const uint8_t *data, size_t size) {
    r->file = nullptr;
    r->data = data;
    r->size = size;
    r->pos = 0;
    r->block.clear();
    r->taken = 0;
    r->limit = INT64_MAX;
    r->bits = 0;
    r->count = 0;
}

namespace {

bool LoadBlock(G3Reader *r) {
    if (!r->file) return false;
    size_t n = fread(r->block.data(), 1, r->block.size(), r->file);
    r->data = r->block.data();
    r->size = n;
    r->pos = 0;
    return n > 0;
}

// Takes bytes until at least 57 bits are held or the input ends. Bits
// above count are always 0.
inline void Refill(G3Reader *r) {
    if (r->size - r->pos >= 8 && r->limit - r->taken >= 8) {
        // Whole bytes that fit, in one load.
        uint64_t word;
        memcpy(&word, r->data + r->pos, sizeof word);
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
        word = __builtin_bswap64(word);
#endif
        const int bytes = (64 - r->count) >> 3;
        if (bytes < 8) word &= (1ull << (8 * bytes)) - 1;
        r->bits |= word << r->count;
        r->count += 8 * bytes;
        r->pos += static_cast<size_t>(bytes);
        r->taken += bytes;
        return;
    }
    while (r->count <= 56 && r->taken < r->limit) {
        if (r->pos == r->size && !LoadBlock(r)) return;
        r->bits |= static_cast<uint64_t>(r->data[r->pos++]) << r->count;
        r->count += 8;
        ++r->taken;
    }
}

inline void Consume(G3Reader *r, int n) {
    r->bits = n >= 64 ? 0 : r->bits >> n;
    r->count -= n;
}

// One page's decoding: where it stands in the stream and in the page.
struct PageDecoder {
    G3Reader *r;
    const G3DecodeOptions *o;
    G3DecodeReport *report;
    int zero_bits;  // 0 bits since the last 1 bit
    int empty_rows;
    struct Changes *above;    // MR, MMR: the changes of the row above
    struct Changes *changes;  // and of the row being decoded
};

// The input ended, or reached its limit, where more bits were needed.
uint16_t EndOfInput(const PageDecoder &d) {
    if (d.r->taken >= d.r->limit) {
        FaxTrace("%s: no page end within %lld bytes", d.o->trace_name, static_cast<long long>(d.r->limit));
        return TOLLAN_E_PAGE_TOO_LARGE;
    }
    FaxTrace("%s: EOF読み込みエラー line %d", d.o->trace_name, d.empty_rows);
    return TOLLAN_E_G3_END;
}

// Makes sure at least n bits are held (n <= 57).
uint16_t Hold(PageDecoder *d, int n) {
    if (d->r->count < n) Refill(d->r);
    if (d->r->count >= n) return TOLLAN_OK;
    return EndOfInput(*d);
}

void CountZeros(PageDecoder *d, int n) {
    d->zero_bits = d->zero_bits + n > kCounterCap ? kCounterCap : d->zero_bits + n;
}

uint16_t ReadBit(PageDecoder *d, int *bit) {
    if (uint16_t code = Hold(d, 1)) return code;
    *bit = static_cast<int>(d->r->bits & 1);
    Consume(d->r, 1);
    if (*bit)
        d->zero_bits = 0;
    else
        CountZeros(d, 1);
    return TOLLAN_OK;
}

// Any run of at least eleven 0 bits (counting those already seen) followed
// by a 1 bit is an EOL: consumed through its 1 bit. *skipped_ones tells
// whether anything but 0 bits came before it.
uint16_t SkipToEol(PageDecoder *d, bool *skipped_ones = nullptr) {
    for (;;) {
        if (uint16_t code = Hold(d, 1)) return code;
        G3Reader *r = d->r;
        if (r->bits == 0) {
            CountZeros(d, r->count);
            Consume(r, r->count);
            continue;
        }
        int zeros = CountTrailingZeros64(r->bits);
        bool eol = d->zero_bits + zeros >= kEolZeroBits;
        Consume(r, zeros + 1);
        d->zero_bits = 0;
        if (eol) return TOLLAN_OK;
        if (skipped_ones) *skipped_ones = true;
    }
}

// The 0 bits at the front of what is held (all of it when they are all 0).
int LeadingZeros(const G3Reader &r) {
    int zeros = r.bits == 0 ? 64 : CountTrailingZeros64(r.bits);
    return zeros > r.count ? r.count : zeros;
}

// ---- One-dimensional rows ----

enum RowEnd { kRowAtEol, kRowFull, kRowBad };

// Where a one-dimensional row stands between two codes.
struct MhRow {
    uint8_t *line;
    int colour;
    int32_t column;
    int32_t pending;  // make-up runs not yet ended by a terminating code
};

// Applies a run code: make-up runs wait for their terminating code, which
// lays the run down (cut at the width) and changes the colour.
inline void ApplyRun(MhRow *s, int32_t width, int32_t run, bool make_up) {
    if (make_up) {
        // Never more than a row's worth pending, however many make-up codes come.
        s->pending = s->pending + run > width ? width : s->pending + run;
        return;
    }
    s->pending += run;
    if (s->pending > width - s->column) s->pending = width - s->column;
    if (s->pending > 0) {
        if (s->colour) FillRun(s->line, s->column, s->column + s->pending);
        s->column += s->pending;
        s->pending = 0;
    }
    s->colour ^= 1;
}

void NoteBadRow(PageDecoder *d, int32_t row) {
    G3DecodeReport *r = d->report;
    if (r->bad_rows++ == 0) r->first_bad_row = row;
    // A run goes on only where the row before was bad too.
    if (row != r->last_bad_row) r->bad_run = r->last_bad_row >= 0 && row == r->last_bad_row + 1 ? r->bad_run + 1 : 1;
    r->last_bad_row = row;
    if (r->bad_run > r->longest_bad_run) r->longest_bad_run = r->bad_run;
}

// Bit by bit from the start of a code, exactly as the fast path would
// decide it for good codes: for the rows that hold a bad code word, or 0
// bits that turn into an EOL inside a code.
uint16_t DecodeMhRowSlowly(PageDecoder *d, int32_t row, MhRow *s, RowEnd *end) {
    const LookupTables &t = DecodingTables();
    const int32_t width = d->o->width;
    int32_t value = 0, length = 0;
    while (s->column < width) {
        const bool after_eol_zeros = d->zero_bits >= kEolZeroBits;
        int bit = 0;
        if (uint16_t code = ReadBit(d, &bit)) return code;
        if (after_eol_zeros && bit) {
            *end = kRowAtEol;
            return TOLLAN_OK;
        }
        value = value * 2 + bit;
        if (length < kCounterCap) ++length;
        if (value == 0) continue;  // leading 0 bits count in the length
        if (length > kMhMaxCodeLength) {
            FaxTrace("%s: bad code word at row %d, col %d (len %d code 0x%x), skipping to EOL", d->o->trace_name,
                     static_cast<int>(row), static_cast<int>(s->column), static_cast<int>(length),
                     static_cast<unsigned>(value));
            NoteBadRow(d, row);
            *end = kRowBad;
            return SkipToEol(d);
        }
        if (length < (s->colour ? 2 : 4)) continue;  // no code is that short
        const RunCode c = t.runs[s->colour][Reversed(static_cast<uint32_t>(value), length)];
        if (CodeLength(c) != length) continue;
        ApplyRun(s, width, CodeRun(c), CodeIsMakeUp(c));
        value = length = 0;
    }
    *end = kRowFull;
    return TOLLAN_OK;
}

// One row of runs, ended by its EOL (consumed), by reaching the width (the
// caller skips to the next EOL) or by a bad code word (skipped to the next
// EOL here). The row's width is *column.
uint16_t DecodeMhRow(PageDecoder *d, int32_t row, uint8_t *line, int32_t *column, RowEnd *end) {
    const LookupTables &t = DecodingTables();
    const int32_t width = d->o->width;
    G3Reader *r = d->r;
    MhRow s{line, 0, 0, 0};
    uint16_t code = TOLLAN_OK;
    for (;;) {
        if (s.column >= width) {
            *end = kRowFull;
            break;
        }
        if (r->count < 32) Refill(r);
        RunCode c = t.pairs[s.colour][r->bits & ((1u << kPairLookupBits) - 1)];
        if (CodeIsPair(c)) {
            // Two runs at once, unless the first ends the row: the second
            // code is then not part of it.
            if (CodeLength(c) <= r->count && s.column + s.pending + CodeRun(c) < width) {
                Consume(r, CodeLength(c));
                d->zero_bits = CodeTrailingZeros(c);
                ApplyRun(&s, width, CodeRun(c), false);
                ApplyRun(&s, width, CodeSecondRun(c), false);
                continue;
            }
            c = 0;
        }
        if (c == 0) c = t.runs[s.colour][r->bits & ((1u << kRunLookupBits) - 1)];
        if (c == 0) {
            // No code starts here. Enough 0 bits make an EOL (or the end of
            // the input); anything else is decoded bit by bit. A code found
            // in the table is what the bit-by-bit reading would find too: no
            // code ends in more than 3 0 bits or starts with more than 7, so
            // none can hold the eleven of an EOL.
            if (d->zero_bits + LeadingZeros(*r) >= kEolZeroBits) {
                *end = kRowAtEol;
                code = SkipToEol(d);
            } else {
                code = DecodeMhRowSlowly(d, row, &s, end);
            }
            break;
        }
        if (CodeLength(c) > r->count) {
            code = EndOfInput(*d);
            break;
        }
        Consume(r, CodeLength(c));
        d->zero_bits = CodeTrailingZeros(c);
        ApplyRun(&s, width, CodeRun(c), CodeIsMakeUp(c));
    }
    *column = s.column;
    return code;
}

// ---- Two-dimensional rows ----

// One run in horizontal mode: make-up codes, then a terminating code.
bool DecodeRun(PageDecoder *d, int colour, int32_t *run, uint16_t *code) {
    const LookupTables &t = DecodingTables();
    G3Reader *r = d->r;
    *run = 0;
    for (;;) {
        if (r->count < 32) Refill(r);
        const RunCode c = FindRunCode(t, colour, r->bits);
        if (c == 0) return false;
        if (CodeLength(c) > r->count) {
            *code = EndOfInput(*d);
            return false;
        }
        Consume(r, CodeLength(c));
        if (*run <= kMaxCodedWidth) *run += CodeRun(c);
        if (!CodeIsMakeUp(c)) return true;
    }
}

enum Row2dEnd { k2dComplete, k2dEol, k2dBad };

// Where a row changes colour, as RowChanges writes them.
struct Changes {
    std::vector<int32_t> at;
    int32_t count;
};

void StartChanges(Changes *c, int32_t width) {
    c->at.assign(static_cast<size_t>(width) + 1 + kChangeSentinels, width);
    c->count = 0;
}

void EndChanges(Changes *c, int32_t width) {
    for (int i = 0; i < kChangeSentinels; ++i) c->at[static_cast<size_t>(c->count + i)] = width;
}

// A change at x (x < width): one at the same place as the last undoes it
// (a run of no dots).
inline void NoteChange(Changes *c, int32_t x, int32_t width) {
    if (x >= width) return;
    if (c->count > 0 && c->at[static_cast<size_t>(c->count - 1)] == x)
        --c->count;
    else
        c->at[static_cast<size_t>(c->count++)] = x;
}

// The changes of a row from its dots.
void ChangesOfRow(const uint8_t *row, int32_t width, Changes *c) { c->count = RowChanges(row, width, c->at.data()); }

// Decodes a row against the changes of the row above (ref) until its last
// run reaches the width, noting its own changes in cur. An EOL where a mode
// code should be is consumed and ends the row (*a0 tells where: -1 when the
// row had not begun).
uint16_t Decode2dRow(PageDecoder *d, const Changes &ref, uint8_t *line, Changes *cur, Row2dEnd *end,
                     int32_t *a0_out) {
    const LookupTables &t = DecodingTables();
    const int32_t w = d->o->width;
    const int32_t *above = ref.at.data();
    G3Reader *r = d->r;
    int32_t a0 = -1;
    int colour = 0;
    int32_t next = 0;  // the first change above right of a0
    uint16_t code = TOLLAN_OK;
    cur->count = 0;
    *end = k2dComplete;
    while (a0 < w) {
        if (r->count < 32) Refill(r);
        const ModeCode &m = t.modes[r->bits & ((1u << kModeLookupBits) - 1)];
        if (m.length == 0) {
            // Seven 0 bits: an EOL if at least eleven come before a 1 bit,
            // else an extension or garbage, neither of which is decoded.
            if (LeadingZeros(*r) >= kEolZeroBits || (r->count < 57 && r->bits == 0)) {
                d->zero_bits = 0;
                code = SkipToEol(d);
                *end = code == TOLLAN_OK ? k2dEol : k2dBad;
            } else {
                *end = k2dBad;
            }
            break;
        }
        if (m.length > r->count) {
            code = EndOfInput(*d);
            break;
        }
        Consume(r, m.length);
        const int32_t start = a0 < 0 ? 0 : a0;
        // b1: the first change above, right of a0, to the colour opposite
        // a0's; b2: the change after it.
        while (above[next] <= a0) ++next;
        const int32_t k = next + ((next & 1) != colour ? 1 : 0);
        const int32_t b1 = above[k];
        if (m.mode == kPass) {
            const int32_t b2 = above[k + 1];
            if (colour) FillRun(line, start, b2);
            a0 = b2;
        } else if (m.mode == kHorizontal) {
            int32_t run1 = 0, run2 = 0;
            if (r->count < 32) Refill(r);
            const RunCode pair = t.pairs[colour][r->bits & ((1u << kPairLookupBits) - 1)];
            if (CodeIsPair(pair) && CodeLength(pair) <= r->count) {
                // Both runs short: one look-up.
                Consume(r, CodeLength(pair));
                run1 = CodeRun(pair);
                run2 = CodeSecondRun(pair);
            } else if (!DecodeRun(d, colour, &run1, &code) || !DecodeRun(d, colour ^ 1, &run2, &code)) {
                *end = k2dBad;
                break;
            }
            if (start + run1 + run2 > w) {
                *end = k2dBad;
                break;
            }
            const int32_t a1 = start + run1;
            if (colour)
                FillRun(line, start, a1);
            else
                FillRun(line, a1, a1 + run2);
            NoteChange(cur, a1, w);
            NoteChange(cur, a1 + run2, w);
            a0 = a1 + run2;
        } else {
            const int32_t a1 = b1 + m.mode;
            if (a1 < start || a1 > w) {
                *end = k2dBad;
                break;
            }
            if (colour) FillRun(line, start, a1);
            NoteChange(cur, a1, w);
            a0 = a1;
            colour ^= 1;
        }
    }
    // A row cut short has dots its changes do not tell: read them again.
    if (*end == k2dComplete)
        EndChanges(cur, w);
    else
        ChangesOfRow(line, w, cur);
    *a0_out = a0;
    return code;
}

// ---- Pages ----

// Makes room for one more row and returns it cleared, or nullptr.
uint8_t *AppendRow(G3Rows *rows, int32_t max_rows) {
    if (rows->count == rows->capacity) {
        // A page of ordinary size gets room for all its rows at once: memory
        // not written is not taken, and nothing is copied as the page grows.
        const bool whole = static_cast<int64_t>(max_rows) * rows->row_bytes <= kWholePageBytes;
        int32_t grown = rows->capacity == 0 ? (whole ? max_rows : kFirstRowCapacity) : rows->capacity * 2;
        if (grown > max_rows) grown = max_rows;
        void *block = realloc(rows->bits.get(), static_cast<size_t>(grown) * rows->row_bytes + kRowSlack);
        if (!block) return nullptr;
        rows->bits.release();
        rows->bits.reset(static_cast<uint8_t *>(block));
        rows->capacity = grown;
    }
    uint8_t *row = rows->bits.get() + static_cast<size_t>(rows->count) * rows->row_bytes;
    memset(row, 0, static_cast<size_t>(rows->row_bytes));
    return row;
}

void KeepRow(G3Rows *rows, int32_t column) {
    ++rows->count;
    if (column > rows->width) rows->width = column;
}

// The page ends at its third empty row in a row; the first two are rows.
uint16_t DecodeMhPage(PageDecoder *d, G3Rows *rows) {
    for (int32_t row = 0; rows->count < d->o->max_rows; ++row) {
        uint8_t *line = AppendRow(rows, d->o->max_rows);
        if (!line) return TOLLAN_E_NO_MEMORY;
        int32_t column = 0;
        RowEnd end = kRowFull;
        if (uint16_t code = DecodeMhRow(d, row, line, &column, &end)) return code;
        if (end == kRowFull) {
            if (uint16_t code = SkipToEol(d)) {
                // A row that reached its width is whole even when the data
                // ends before its EOL: the last row of a page without RTC.
                if (code == TOLLAN_E_G3_END) KeepRow(rows, column);
                return code;
            }
        }
        if (end == kRowAtEol) {
            if (column == 0) {
                if (++d->empty_rows >= kEmptyRowsEndingMhPage) break;
            } else {
                d->empty_rows = 0;
            }
        }
        KeepRow(rows, column);
    }
    return TOLLAN_OK;
}

void TraceBad2dRow(const PageDecoder &d, int32_t row, int32_t a0, const char *then) {
    FaxTrace("%s: bad code word at row %d, col %d, %s", d.o->trace_name, static_cast<int>(row),
             static_cast<int>(a0 < 0 ? 0 : a0), then);
}

// Each row: its EOL, its tag bit and the row. An EOL where a row should
// begin ends the page, once a row has been decoded. The EOL before a row is
// looked for only when that row is wanted, so a page cut right after its
// last row decodes whole.
uint16_t DecodeMrPage(PageDecoder *d, G3Rows *rows) {
    bool eol_due = false;  // the row before ended without reaching its EOL
    while (rows->count < d->o->max_rows) {
        if (eol_due) {
            // A row decoded whole but followed by more than fill was not
            // what was sent.
            d->zero_bits = 0;
            bool skipped_ones = false;
            if (uint16_t code = SkipToEol(d, &skipped_ones)) return code;
            if (skipped_ones) {
                FaxTrace("%s: row %d is longer than its width", d->o->trace_name, static_cast<int>(rows->count - 1));
                NoteBadRow(d, rows->count - 1);
            }
            eol_due = false;
        }
        int tag = 0;
        if (uint16_t code = ReadBit(d, &tag)) return code;
        uint8_t *line = AppendRow(rows, d->o->max_rows);
        if (!line) return TOLLAN_E_NO_MEMORY;
        const int32_t row = rows->count;
        bool empty = false;
        if (tag) {
            int32_t column = 0;
            RowEnd end = kRowFull;
            if (uint16_t code = DecodeMhRow(d, row, line, &column, &end)) return code;
            empty = end == kRowAtEol && column == 0;
            eol_due = end == kRowFull;
        } else {
            Row2dEnd end = k2dComplete;
            int32_t a0 = -1;
            if (uint16_t code = Decode2dRow(d, *d->above, line, d->changes, &end, &a0)) return code;
            empty = end == k2dEol && a0 < 0;
            if (end == k2dBad || (end == k2dEol && !empty)) {
                TraceBad2dRow(*d, row, a0, "skipping to EOL");
                NoteBadRow(d, row);
            }
            eol_due = end != k2dEol;
        }
        if (empty) {
            if (rows->count > 0) break;
            continue;
        }
        if (tag) ChangesOfRow(line, d->o->width, d->changes);
        std::swap(d->above, d->changes);
        ++rows->count;
    }
    return TOLLAN_OK;
}

// Rows back to back with no EOLs: a bad code word leaves nothing to find
// the next row by, so the page ends there.
uint16_t DecodeMmrPage(PageDecoder *d, G3Rows *rows) {
    while (rows->count < d->o->max_rows) {
        uint8_t *line = AppendRow(rows, d->o->max_rows);
        if (!line) return TOLLAN_E_NO_MEMORY;
        Row2dEnd end = k2dComplete;
        int32_t a0 = -1;
        if (uint16_t code = Decode2dRow(d, *d->above, line, d->changes, &end, &a0)) return code;
        if (end == k2dEol && a0 < 0) return TOLLAN_OK;  // the end of the page
        if (end != k2dComplete) {
            TraceBad2dRow(*d, rows->count, a0, "page ends");
            NoteBadRow(d, rows->count);
            ++rows->count;  // what was decoded of it
            return TOLLAN_E_G3_END;
        }
        std::swap(d->above, d->changes);
        ++rows->count;
    }
    return TOLLAN_OK;
}

}  // namespace

uint16_t DecodeG3Page(G3Reader *r, const G3DecodeOptions &options, G3Rows *rows, G3DecodeReport *report) {
    rows->capacity = 0;
    rows->count = 0;
    rows->row_bytes = PackedRowBytes(options.width);
    rows->width = options.coding == kCodingMh ? 0 : options.width;
    report->found_first_eol = false;
    report->bad_rows = 0;
    report->first_bad_row = -1;
    report->last_bad_row = -1;
    report->bad_run = 0;
    report->longest_bad_run = 0;
    Changes above, changes;
    PageDecoder d{r, &options, report, 0, 0, &above, &changes};
    if (options.coding != kCodingMh) {
        StartChanges(&above, options.width);
        StartChanges(&changes, options.width);
    }
    if (options.coding != kCodingMmr) {
        if (uint16_t code = SkipToEol(&d)) return code;
        report->found_first_eol = true;
    }
    switch (options.coding) {
    case kCodingMh: return DecodeMhPage(&d, rows);
    case kCodingMr: return DecodeMrPage(&d, rows);
    case kCodingMmr: return DecodeMmrPage(&d, rows);
    }
    return TOLLAN_E_G3_END;
}
