// Session parameters in words: T.30's DIS/DTC/DCS bits (bit n of the
// information field is bit (n-1)%8 of byte (n-1)/8, as the modem delivers
// them) and the numbers of the class 2/2.0 reports, from static tables.
#include "modem/session_words.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/trace.h"
#include "modem/response.h"

namespace {

// Words appended to a buffer, cut (never overrun) when it is full.
struct Words {
    char *out;
    size_t size;
    size_t used;
    bool first;
};

__attribute__((format(printf, 2, 3))) void Add(Words &w, const char *format, ...) {
    if (w.size == 0 || w.used + 1 >= w.size) return;
    if (!w.first) {
        const int n = snprintf(w.out + w.used, w.size - w.used, ", ");
        w.used += n > 0 ? static_cast<size_t>(n) : 0;
        if (w.used >= w.size) w.used = w.size - 1;
    }
    w.first = false;
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(w.out + w.used, w.size - w.used, format, args);
    va_end(args);
    w.used += n > 0 ? static_cast<size_t>(n) : 0;
    if (w.used >= w.size) w.used = w.size - 1;
}

Words Begin(char *out, size_t size) {
    if (size > 0) out[0] = '\0';
    return {out, size, 0, true};
}

// Bit n (from 1) of the information field; bits past its end are 0.
bool Bit(const uint8_t *fif, size_t length, int n) {
    const size_t byte = static_cast<size_t>(n - 1) / 8;
    return byte < length && (fif[byte] >> ((n - 1) % 8) & 1) != 0;
}

// Bits first..first+count-1 as a number, the first bit the lowest.
unsigned Bits(const uint8_t *fif, size_t length, int first, int count) {
    unsigned value = 0;
    for (int i = 0; i < count; ++i)
        if (Bit(fif, length, first + i)) value |= 1u << i;
    return value;
}

// Whether the field goes on to the byte holding bit n: every extend bit
// (24, 32, 40, ...) before it is set.
bool Extended(const uint8_t *fif, size_t length, int n) {
    for (int extend = 24; extend < n; extend += 8)
        if (!Bit(fif, length, extend)) return false;
    return true;
}

// Bits 11 to 14 (bit 11 lowest): the rate chosen (DCS), or offered (DIS, DTC).
constexpr std::array<const char *, 16> kDcsRates = {
    "V.27 ter 2400", "V.29 9600",  "V.27 ter 4800", "V.29 7200", "V.33 14400", nullptr, "V.33 12000", nullptr,
    "V.17 14400",    "V.17 9600",  "V.17 12000",    "V.17 7200", nullptr,      nullptr, nullptr,      nullptr,
};
constexpr std::array<const char *, 16> kDisRates = {
    "V.27 ter 2400", "V.29 up to 9600", "V.27 ter up to 4800", "V.27 ter and V.29 up to 9600",
    nullptr,         nullptr,           nullptr,               "V.27 ter, V.29 and V.33 up to 14400",
    nullptr,         nullptr,           nullptr,               "V.27 ter, V.29 and V.17 up to 14400",
    nullptr,         nullptr,           nullptr,               nullptr,
};
// Bits 17, 18 and 19, 20.
constexpr std::array<const char *, 4> kDcsWidths = {"A4 1728 dots", "B4 2048 dots", "A3 2432 dots", nullptr};
constexpr std::array<const char *, 4> kDisWidths = {"A4 1728 dots", "up to B4 2048 dots", "up to A3 2432 dots",
                                                    nullptr};
constexpr std::array<const char *, 4> kDcsLengths = {"A4 length", "unlimited length", "B4 length", nullptr};
constexpr std::array<const char *, 4> kDisLengths = {"A4 length", "unlimited length", "up to B4 length", nullptr};
// Bits 21 to 23 (bit 21 lowest); the halved times at fine resolution only in DIS and DTC.
constexpr std::array<const char *, 8> kDcsScan = {"scan 20 ms", "scan 5 ms", "scan 10 ms", nullptr,
                                                  "scan 40 ms", nullptr,     nullptr,      "scan 0 ms"};
constexpr std::array<const char *, 8> kDisScan = {"scan 20 ms",          "scan 5 ms",  "scan 10 ms",
                                                  "scan 20 ms (10 ms fine)", "scan 40 ms", "scan 40 ms (20 ms fine)",
                                                  "scan 10 ms (5 ms fine)",  "scan 0 ms"};

template <size_t N>
void AddEntry(Words &w, const std::array<const char *, N> &table, unsigned index, const char *what) {
    const char *text = index < N ? table[index] : nullptr;
    if (text) {
        Add(w, "%s", text);
    } else {
        Add(w, "%s %u invalid", what, index);
    }
}

const char *KindName(FaxSessionKind kind) {
    switch (kind) {
    case FaxSessionKind::kDis: return "DIS";
    case FaxSessionKind::kDtc: return "DTC";
    case FaxSessionKind::kDcs: return "DCS";
    }
    return "?";
}

void FrameResolution(Words &w, bool dcs, const uint8_t *fif, size_t length) {
    const bool more = Extended(fif, length, 41);
    const bool superfine = more && Bit(fif, length, 41);
    const bool r300 = more && Bit(fif, length, 42);
    const bool r400 = more && Bit(fif, length, 43);
    const bool fine = Bit(fif, length, 15);
    if (dcs) {
        Add(w, "%s", r400 ? "400 lines/inch" : r300 ? "300x300" : superfine ? "superfine" : fine ? "fine" : "standard");
        return;
    }
    Add(w, "standard%s%s%s%s", fine ? "/fine" : "", superfine ? "/superfine" : "", r300 ? "/300x300" : "",
        r400 ? "/400 lines/inch" : "");
}

void FrameCoding(Words &w, bool dcs, const uint8_t *fif, size_t length) {
    const bool mr = Bit(fif, length, 16);
    const bool more = Extended(fif, length, 25);
    const bool mmr = more && Bit(fif, length, 31);
    const bool ecm = more && Bit(fif, length, 27);
    if (dcs) {
        Add(w, "%s", mmr ? "MMR" : mr ? "MR" : "MH");
        if (ecm) {
            Add(w, "ECM %s-octet frames", Bit(fif, length, 28) ? "64" : "256");
        } else {
            Add(w, "no ECM");
        }
    } else {
        Add(w, "MH%s%s", mr ? "/MR" : "", mmr ? "/MMR" : "");
        Add(w, "%s", ecm ? "ECM" : "no ECM");
    }
}

// Class 2/2.0 resolution: 0 standard, 1 fine; class 2.0 reports others as bits.
void ReportResolution(Words &w, bool dcs, int32_t vr) {
    static constexpr std::array<const char *, 7> kBits = {"fine",        "superfine",   "R16x15.4",   "200x100 dpi",
                                                          "200x200 dpi", "200x400 dpi", "300x300 dpi"};
    if (vr == 0) {
        Add(w, "standard");
        return;
    }
    if (vr < 0 || vr >= 1 << kBits.size()) {
        Add(w, "resolution %d invalid", vr);
        return;
    }
    char text[96] = "";
    size_t used = 0;
    if (!dcs && (vr & 1)) used = static_cast<size_t>(snprintf(text, sizeof text, "standard"));
    for (size_t i = 0; i < kBits.size(); ++i) {
        if (!(vr >> i & 1)) continue;
        const int n = snprintf(text + used, sizeof text - used, "%s%s", used ? "/" : "", kBits[i]);
        used += n > 0 ? static_cast<size_t>(n) : 0;
        if (used >= sizeof text) break;
    }
    Add(w, "%s", text);
}

}  // namespace

void FaxFrameWords(FaxSessionKind kind, const uint8_t *fif, size_t length, char *out, size_t size) {
    Words w = Begin(out, size);
    const bool dcs = kind == FaxSessionKind::kDcs;
    const unsigned rate = Bits(fif, length, 11, 4);
    AddEntry(w, dcs ? kDcsRates : kDisRates, rate, "rate bits");
    FrameResolution(w, dcs, fif, length);
    AddEntry(w, dcs ? kDcsWidths : kDisWidths, Bits(fif, length, 17, 2), "width bits");
    AddEntry(w, dcs ? kDcsLengths : kDisLengths, Bits(fif, length, 19, 2), "length bits");
    FrameCoding(w, dcs, fif, length);
    AddEntry(w, dcs ? kDcsScan : kDisScan, Bits(fif, length, 21, 3), "scan bits");
    if (!dcs && Bit(fif, length, 10)) Add(w, "can receive");
    if (!dcs && Bit(fif, length, 9)) Add(w, "has a document to send");
}

void FaxReportWords(FaxSessionKind kind, const int32_t *values, int count, char *out, size_t size) {
    static constexpr std::array<const char *, 5> kWidths = {"A4 1728 dots", "B4 2048 dots", "A3 2432 dots",
                                                            "1216 dots", "864 dots"};
    static constexpr std::array<const char *, 3> kLengths = {"A4 length", "B4 length", "unlimited length"};
    static constexpr std::array<const char *, 4> kDcsFormats = {"MH", "MR", "uncompressed", "MMR"};
    static constexpr std::array<const char *, 4> kDisFormats = {"MH", "MH/MR", "MH/MR/uncompressed", "MH/MR/MMR"};
    static constexpr std::array<const char *, 3> kErrorCorrection = {"no ECM", "ECM 64-octet frames",
                                                                     "ECM 256-octet frames"};
    static constexpr std::array<const char *, 8> kScan = {"scan 0 ms",  "scan 5 ms",  "scan 10 ms (5 ms fine)",
                                                          "scan 10 ms", "scan 20 ms (10 ms fine)", "scan 20 ms",
                                                          "scan 40 ms (20 ms fine)", "scan 40 ms"};
    Words w = Begin(out, size);
    const bool dcs = kind == FaxSessionKind::kDcs;
    // Values outside a table's range come out as "<what> <n> invalid".
    auto entry = [&w](const auto &table, int32_t value, const char *what) {
        if (value >= 0 && static_cast<size_t>(value) < table.size()) {
            Add(w, "%s", table[static_cast<size_t>(value)]);
        } else {
            Add(w, "%s %d invalid", what, value);
        }
    };
    if (count > 0) ReportResolution(w, dcs, values[0]);
    if (count > 1) {
        if (values[1] >= 0 && values[1] <= 5) {
            Add(w, "%s%d bit/s", dcs ? "" : "up to ", (values[1] + 1) * 2400);
        } else {
            Add(w, "bit rate %d invalid", values[1]);
        }
    }
    if (count > 2) entry(kWidths, values[2], "width");
    if (count > 3) entry(kLengths, values[3], "length");
    if (count > 4) entry(dcs ? kDcsFormats : kDisFormats, values[4], "data format");
    if (count > 5) entry(kErrorCorrection, values[5], "error correction");
    if (count > 6 && values[6] != 0) Add(w, "file transfer");
    if (count > 7) entry(kScan, values[7], "scan time");
}

void FaxTraceFrameWords(const uint8_t *frame, size_t length) {
    if (length < 2) return;
    FaxSessionKind kind;
    switch (frame[1]) {
    case 0x80: kind = FaxSessionKind::kDis; break;
    case 0x81: kind = FaxSessionKind::kDtc; break;
    case 0x82: case 0x83: kind = FaxSessionKind::kDcs; break;
    default: return;
    }
    const uint8_t *fif = frame + 2;
    const size_t fif_length = length - 2;
    char words[kSessionWordsSize];
    FaxFrameWords(kind, fif, fif_length, words, sizeof words);
    char raw[3 * 16 + 1] = "";
    for (size_t i = 0, used = 0; i < fif_length && i < 16; ++i)
        used += static_cast<size_t>(snprintf(raw + used, sizeof raw - used, i ? " %02x" : "%02x", fif[i]));
    FaxTrace("%s: %s [%s]", KindName(kind), words, raw);
}

void FaxTraceReportWords(const char *line) {
    struct Report {
        const char *prefix;
        FaxSessionKind kind;
    };
    static constexpr Report kReports[] = {
        {"+FDIS:", FaxSessionKind::kDis}, {"+FIS:", FaxSessionKind::kDis}, {"+FDTC:", FaxSessionKind::kDtc},
        {"+FTC:", FaxSessionKind::kDtc},  {"+FDCS:", FaxSessionKind::kDcs}, {"+FCS:", FaxSessionKind::kDcs},
    };
    for (const Report &r : kReports) {
        const size_t n = strlen(r.prefix);
        if (strncmp(line, r.prefix, n) != 0) continue;
        int32_t values[8];
        const int count = FaxScanNumbers(line + n, values, 8);
        if (count == 0) return;
        char words[kSessionWordsSize];
        FaxReportWords(r.kind, values, count, words, sizeof words);
        FaxTrace("%s: %s", KindName(r.kind), words);
        return;
    }
}
