// What travels on the emulated line: modulations, T.30 frames, identities,
// scan times, and the line count of a Group 3 page.
#include <atomic>
#include <chrono>
#include <cstdint>

#include "sim/sim_internal.h"

namespace {
std::atomic<const SimClockOps *> g_clock{nullptr};
}  // namespace

void SimUseClock(const SimClockOps *ops) { g_clock = ops; }
const SimClockOps *SimClock() { return g_clock; }

SimTime SimNow() {
    if (const SimClockOps *clock = g_clock) return clock->now();
    using namespace std::chrono;
    return static_cast<SimTime>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {

// T.31 modulation numbers with their rates, the DCS rate bits (T.30 bits 11
// to 14) and the class 2 BR code. Short and long V.17 training share a rate.
constexpr Modulation kModulations[] = {
    {3, 300, Family::kV21, 0x00, -1},
    {24, 2400, Family::kV27ter, 0x00, 0},
    {48, 4800, Family::kV27ter, 0x08, 1},
    {72, 7200, Family::kV29, 0x0C, 2},
    {96, 9600, Family::kV29, 0x04, 3},
    {73, 7200, Family::kV17, 0x2C, 2},
    {74, 7200, Family::kV17, 0x2C, 2},
    {97, 9600, Family::kV17, 0x24, 3},
    {98, 9600, Family::kV17, 0x24, 3},
    {121, 12000, Family::kV17, 0x28, 4},
    {122, 12000, Family::kV17, 0x28, 4},
    {145, 14400, Family::kV17, 0x20, 5},
    {146, 14400, Family::kV17, 0x20, 5},
};

}  // namespace

const Modulation *ModulationByT31(int code) {
    for (const Modulation &m : kModulations)
        if (m.t31 == code) return &m;
    return nullptr;
}

const Modulation *ModulationByDcsBits(uint8_t bits) {
    for (const Modulation &m : kModulations)
        if (m.family != Family::kV21 && m.dcs_bits == (bits & 0x3C)) return &m;
    return nullptr;
}

const Modulation *ModulationByBr(int br, Family preferred) {
    const Modulation *any = nullptr;
    for (const Modulation &m : kModulations) {
        if (m.br != br) continue;
        if (m.family == preferred) return &m;
        if (!any) any = &m;
    }
    return any;
}

// DIS rate bits: 0x00 V.27 ter fall-back (2400 only), 0x08 V.27 ter,
// 0x04 V.29, 0x0C V.27 ter and V.29, 0x2C adds V.17.
bool DisOffers(uint8_t dis_rate_bits, const Modulation &m) {
    uint8_t r = dis_rate_bits & 0x3C;
    switch (m.family) {
    case Family::kV27ter: return m.bps == 2400 || (r & 0x08);
    case Family::kV29: return (r & 0x04) != 0;
    case Family::kV17: return (r & 0x20) != 0;
    default: return false;
    }
}

Bytes MakeFrame(bool final, uint8_t fcf, const Bytes &fif) {
    Bytes f;
    f.reserve(3 + fif.size());
    f.push_back(0xFF);
    f.push_back(final ? 0x13 : 0x03);
    f.push_back(fcf);
    for (uint8_t b : fif) f.push_back(b);
    return f;
}

Bytes EncodeIdentity(const std::string &id) {
    Bytes out(20, ' ');
    size_t n = id.size() < 20 ? id.size() : 20;
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(id[n - 1 - i]);
    return out;
}

std::string DecodeIdentity(const uint8_t *fif, size_t n) {
    std::string id;
    for (size_t i = n; i-- > 0;) id += static_cast<char>(fif[i]);
    size_t a = id.find_first_not_of(' ');
    size_t b = id.find_last_not_of(' ');
    return a == std::string::npos ? std::string() : id.substr(a, b - a + 1);
}

uint8_t ReverseBits(uint8_t b) {
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

// Lines of a T.4 page, first bit of the stream in each byte's least
// significant bit: an EOL (eleven or more zero bits, then a one) followed by
// coded data starts a line; the EOLs of the RTC have no data between them.
int CountPageLines(const Bytes &page) {
    int zeros = 0;
    bool seen_eol = false;
    bool data_since_eol = false;
    int lines = 0;
    for (uint8_t byte : page) {
        for (int bit = 0; bit < 8; ++bit) {
            bool one = (byte >> bit) & 1;
            if (!one) {
                ++zeros;
                continue;
            }
            if (zeros >= 11) {
                if (seen_eol && data_since_eol) ++lines;
                seen_eol = true;
                data_since_eol = false;
            } else {
                data_since_eol = true;
            }
            zeros = 0;
        }
    }
    if (seen_eol && data_since_eol) ++lines;
    return lines;
}

Bytes SpoilLines(const Bytes &page) {
    Bytes out = page;
    int zeros = 0;
    int eols = 0;
    size_t run_start = 0;        // the byte where the current run of zeros began
    size_t spoil_from = SIZE_MAX;  // the first byte of a line to spoil
    for (size_t i = 0; i < page.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            if (!((page[i] >> bit) & 1)) {
                if (zeros++ == 0) run_start = i;
                continue;
            }
            if (zeros >= 11) {
                // An EOL: the whole bytes of the line before it, up to where
                // its zeros began, become 1s and eight 0s in turn: no code
                // word, no EOL. Every second line is spoiled.
                for (size_t k = spoil_from; spoil_from != SIZE_MAX && k < run_start; k += 2) {
                    out[k] = 0xFF;
                    if (k + 1 < run_start) out[k + 1] = k + 2 < run_start ? 0x00 : 0xFF;
                }
                spoil_from = ++eols % 2 == 0 ? i + 1 : SIZE_MAX;
            }
            zeros = 0;
        }
    }
    return out;
}

// Minimum scan line time: T.30 bits 21 to 23 (0x70 of the third FIF byte).
uint8_t ScanBitsForMs(int ms) {
    switch (ms) {
    case 0: return 0x70;
    case 5: return 0x10;
    case 10: return 0x20;
    case 40: return 0x40;
    default: return 0x00;  // 20 ms
    }
}

int ScanMsForBits(uint8_t bits) {
    switch (bits & 0x70) {
    case 0x70: return 0;
    case 0x10: return 5;
    case 0x20: case 0x30: return 10;
    case 0x40: case 0x50: return 40;
    default: return 20;
    }
}

// Class 2 ST codes, at normal resolution: 0, 5, 10, 10, 20, 20, 40, 40 ms.
int ScanMsForSt(int st) {
    static constexpr int kMs[] = {0, 5, 10, 10, 20, 20, 40, 40};
    return st >= 0 && st <= 7 ? kMs[st] : 0;
}

int StForScanMs(int ms) {
    switch (ms) {
    case 0: return 0;
    case 5: return 1;
    case 10: return 3;
    case 20: return 5;
    default: return 7;
    }
}
