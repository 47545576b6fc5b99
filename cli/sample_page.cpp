#include "cli/sample_page.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kWidth = 1728;
constexpr int kHeight = 2290;
constexpr int kStride = kWidth / 8;  // 216 bytes, already a multiple of 4

struct Glyph {
    char c;
    std::array<const char *, 7> rows;
};

// A 5 x 7 block font, just the letters the page uses.
constexpr std::array<Glyph, 15> kFont = {{
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'N', {"#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"}},
    {'D', {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"####.", "....#", "....#", ".###.", "....#", "....#", "####."}},
    {'/', {"....#", "....#", "...#.", "..#..", ".#...", "#....", "#...."}},
    {' ', {".....", ".....", ".....", ".....", ".....", ".....", "....."}},
}};

// Rows top-down, one bit a pixel, 1 white as in a 1-bit bitmap whose colour
// entry 1 is white.
class Canvas {
public:
    Canvas() : bits_(static_cast<size_t>(kStride) * kHeight, 0xFF) {}
    void Black(int x, int y) {
        if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) return;
        bits_[static_cast<size_t>(y) * kStride + x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8)));
    }
    void Fill(int x0, int y0, int w, int h) {
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x) Black(x, y);
    }
    void Text(const char *text, int x, int y, int scale) {
        for (; *text; ++text, x += 6 * scale) {
            for (const Glyph &g : kFont) {
                if (g.c != *text) continue;
                for (int r = 0; r < 7; ++r)
                    for (int c = 0; c < 5; ++c)
                        if (g.rows[r][c] == '#') Fill(x + c * scale, y + r * scale, scale, scale);
            }
        }
    }
    // The bitmap file wants rows bottom-up.
    const uint8_t *Row(int bottom_up_index) const {
        return &bits_[static_cast<size_t>(kHeight - 1 - bottom_up_index) * kStride];
    }

private:
    std::vector<uint8_t> bits_;
};

void PutLe(uint8_t *p, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void DrawPage(Canvas &canvas, int page, int total) {
    canvas.Fill(40, 40, kWidth - 80, 12);                // frame
    canvas.Fill(40, kHeight - 52, kWidth - 80, 12);
    canvas.Fill(40, 40, 12, kHeight - 80);
    canvas.Fill(kWidth - 52, 40, 12, kHeight - 80);
    canvas.Text("TOLLAN", 180, 200, 40);
    char caption[32];
    snprintf(caption, sizeof caption, "DEMO PAGE %d/%d", page, total);
    canvas.Text(caption, 150, 600, 18);
    for (int i = 0; i < 12; ++i) canvas.Fill(150, 900 + i * 60, kWidth - 300, i + 1);  // bars
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 24; ++x)
            if ((x + y) % 2 == 0) canvas.Fill(150 + x * 60, 1700 + y * 30, 60, 30);  // checkerboard
}

}  // namespace

bool WriteSamplePage(const std::string &path, int page, int total) {
    Canvas canvas;
    DrawPage(canvas, page, total);

    constexpr uint32_t kHeaders = 14 + 40 + 8;
    constexpr uint32_t kImageSize = static_cast<uint32_t>(kStride) * kHeight;
    uint8_t header[kHeaders] = {'B', 'M'};
    PutLe(header + 2, kHeaders + kImageSize, 4);
    PutLe(header + 10, kHeaders, 4);
    PutLe(header + 14, 40, 4);
    PutLe(header + 18, kWidth, 4);
    PutLe(header + 22, kHeight, 4);
    PutLe(header + 26, 1, 2);   // planes
    PutLe(header + 28, 1, 2);   // bits per pixel
    PutLe(header + 34, kImageSize, 4);
    PutLe(header + 38, 8032, 4);  // 204 dots per inch in dots per metre
    PutLe(header + 42, 7717, 4);  // 196 lines per inch
    PutLe(header + 58, 0x00FFFFFF, 4);  // colour 1 white; colour 0 stays black

    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(header, 1, sizeof header, f) == sizeof header;
    for (int row = 0; ok && row < kHeight; ++row) ok = fwrite(canvas.Row(row), 1, kStride, f) == kStride;
    return fclose(f) == 0 && ok;
}
