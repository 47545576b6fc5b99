// The standard pages the benchmarks convert and send, drawn the same way on
// every run: 1728 x 2290 dots, one bit a dot, 1 black, rows top down, the
// first dot of a row in the most significant bit of its first byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

constexpr int kPageWidth = 1728;
constexpr int kPageHeight = 2290;
constexpr int kPageStride = kPageWidth / 8;

struct BenchPage {
    std::string name;
    std::string bits;  // rows of kPageStride bytes: kPageHeight for the drawn pages
};

inline int PageRows(const BenchPage &page) { return static_cast<int>(page.bits.size() / kPageStride); }

inline void SetDot(std::string *bits, int x, int y) {
    (*bits)[static_cast<size_t>(y) * kPageStride + x / 8] |= static_cast<char>(0x80 >> (x % 8));
}

// Bands of 28 rows of short random runs between 100-dot margins, 12 blank
// rows between bands: typed text.
inline BenchPage TextPage() {
    BenchPage page{"text", std::string(static_cast<size_t>(kPageStride) * kPageHeight, '\0')};
    std::mt19937 random(2290);
    for (int y = 0; y < kPageHeight; ++y) {
        if (y % 40 >= 28) continue;
        bool black = false;
        for (int x = 100; x < kPageWidth - 100;) {
            int run = 1 + static_cast<int>(random() % (black ? 4 : 12));
            for (int i = 0; i < run && x < kPageWidth - 100; ++i, ++x)
                if (black) SetDot(&page.bits, x, y);
            black = !black;
        }
    }
    return page;
}

// A photograph as a fax machine halftones it: two crossing ramps of grey
// through an 8 x 8 ordered dither, edge to edge. Runs of one to a few dots
// everywhere: the hardest page for one-dimensional coding.
inline BenchPage HalftonePage() {
    static const uint8_t kBayer[8][8] = {
        {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
        {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
        {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
        {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};
    auto triangle = [](int t) { return t % 128 < 64 ? t % 128 : 127 - t % 128; };
    BenchPage page{"halftone", std::string(static_cast<size_t>(kPageStride) * kPageHeight, '\0')};
    for (int y = 0; y < kPageHeight; ++y)
        for (int x = 0; x < kPageWidth; ++x) {
            int grey = (triangle((x + 2 * y) / 5) + triangle((3 * x - y + 8000) / 7)) / 2;
            if (grey > kBayer[y % 8][x % 8]) SetDot(&page.bits, x, y);
        }
    return page;
}

inline BenchPage BlankPage() {
    return {"blank", std::string(static_cast<size_t>(kPageStride) * kPageHeight, '\0')};
}

inline void PutLe32(std::string *out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

inline bool WriteFileBytes(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// A 1-bit bottom-up BMP: colour 0 white, 1 black.
inline bool WritePageBmp(const BenchPage &page, const std::string &path) {
    const uint32_t size = static_cast<uint32_t>(page.bits.size());
    std::string bmp = "BM";
    PutLe32(&bmp, 62 + size);
    PutLe32(&bmp, 0);
    PutLe32(&bmp, 62);
    PutLe32(&bmp, 40);
    PutLe32(&bmp, kPageWidth);
    PutLe32(&bmp, static_cast<uint32_t>(PageRows(page)));
    bmp += std::string("\x01\x00\x01\x00", 4);  // one plane, one bit
    PutLe32(&bmp, 0);                            // no compression
    PutLe32(&bmp, size);
    for (int i = 0; i < 4; ++i) PutLe32(&bmp, 0);
    PutLe32(&bmp, 0x00FFFFFF);
    PutLe32(&bmp, 0);
    for (int y = PageRows(page) - 1; y >= 0; --y) bmp.append(page.bits, static_cast<size_t>(y) * kPageStride, kPageStride);
    return WriteFileBytes(path, bmp);
}

// A raw PBM (P4): 1 black, rows top down, as netpbm reads it.
inline bool WritePagePbm(const BenchPage &page, const std::string &path) {
    return WriteFileBytes(path, "P4\n" + std::to_string(kPageWidth) + " " + std::to_string(PageRows(page)) + "\n" +
                                    page.bits);
}
