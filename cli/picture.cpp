#include "cli/picture.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>

namespace {

constexpr int32_t kPageDots = 1728;
constexpr double kFaxDpiX = 204.0;
constexpr double kStandardDpiY = 98.0;
constexpr double kFineDpiY = 196.0;
constexpr double kFineFromDpi = 150.0;
constexpr int32_t kStandardPageRows = 1400;
constexpr double kInchesPerMetre = 39.3700787;
// Resolution fields below this (about 25 dpi) say nothing about the picture,
// nor do fields that make it wider than any page (a 1728-dot fax page that
// a program marked 96 dpi, its default).
constexpr int32_t kLeastPixelsPerMetre = 1000;
constexpr double kWidestPageInches = 12.0;
// A page is at least an A4's length, as the library's pages are.
constexpr int32_t kStandardPageLength = 1145;
constexpr int32_t kFinePageLength = 2290;
// A dot of the page is black when at least this share of what it covers is.
constexpr double kBlackShare = 1.0 / 3.0;

uint32_t Le(const std::string &b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<size_t>(i)]);
    return v;
}

bool SizeFits(int64_t width, int64_t height) {
    return width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
           width * height <= kMaxPictureDots;
}

// Brightness below half: black.
bool DarkColour(uint32_t blue, uint32_t green, uint32_t red) { return red * 299 + green * 587 + blue * 114 < 128000; }

PictureRead ReadBmp(const std::string &b, Picture *p) {
    constexpr size_t kFileHeader = 14;
    if (b.size() < kFileHeader + 40) return PictureRead::kCut;
    const uint32_t offset = Le(b, 10, 4);
    const uint32_t info_size = Le(b, 14, 4);
    if (info_size < 40 || info_size > 256) return PictureRead::kUnsupported;
    const int64_t width = static_cast<int32_t>(Le(b, 18, 4));
    int64_t height = static_cast<int32_t>(Le(b, 22, 4));
    const bool top_down = height < 0;
    if (top_down) height = -height;
    const uint32_t bits = Le(b, 28, 2);
    const uint32_t compression = Le(b, 30, 4);
    const int32_t ppm_x = static_cast<int32_t>(Le(b, 38, 4));
    const int32_t ppm_y = static_cast<int32_t>(Le(b, 42, 4));
    uint32_t colours = Le(b, 46, 4);
    // Uncompressed, or bit fields at 32 bits taken as the usual order.
    if (compression != 0 && !(compression == 3 && bits == 32)) return PictureRead::kUnsupported;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return PictureRead::kUnsupported;
    if (!SizeFits(width, height)) return width <= 0 || height <= 0 ? PictureRead::kNotPicture : PictureRead::kTooLarge;

    // The palette as black or white.
    std::vector<uint8_t> palette;
    if (bits <= 8) {
        if (colours == 0 || colours > (1u << bits)) colours = 1u << bits;
        const size_t table = kFileHeader + info_size;
        if (b.size() < table + 4ull * colours) return PictureRead::kCut;
        for (uint32_t i = 0; i < colours; ++i) {
            const size_t at = table + 4ull * i;
            palette.push_back(DarkColour(Le(b, at, 1), Le(b, at + 1, 1), Le(b, at + 2, 1)) ? 1 : 0);
        }
    }
    const size_t stride = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
    if (offset > b.size() || b.size() - offset < stride * static_cast<size_t>(height)) return PictureRead::kCut;

    p->width = static_cast<int32_t>(width);
    p->height = static_cast<int32_t>(height);
    p->dpi_x = ppm_x >= kLeastPixelsPerMetre ? ppm_x / kInchesPerMetre : 0;
    p->dpi_y = ppm_y >= kLeastPixelsPerMetre ? ppm_y / kInchesPerMetre : 0;
    p->dots.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    for (int64_t y = 0; y < height; ++y) {
        const size_t row = offset + stride * static_cast<size_t>(top_down ? y : height - 1 - y);
        uint8_t *out = p->dots.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
        for (int64_t x = 0; x < width; ++x) {
            uint32_t index = 0;
            if (bits == 24 || bits == 32) {
                const size_t at = row + static_cast<size_t>(x) * (bits / 8);
                out[x] = DarkColour(Le(b, at, 1), Le(b, at + 1, 1), Le(b, at + 2, 1)) ? 1 : 0;
                continue;
            }
            const size_t bit = static_cast<size_t>(x) * bits;
            const unsigned byte = static_cast<unsigned char>(b[row + bit / 8]);
            index = (byte >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
            out[x] = index < palette.size() ? palette[index] : 0;
        }
    }
    return PictureRead::kOk;
}

// The next header number of a PBM, after white space and comments.
bool PbmNumber(const std::string &b, size_t *pos, int64_t *value) {
    while (*pos < b.size() && (isspace(static_cast<unsigned char>(b[*pos])) || b[*pos] == '#')) {
        if (b[*pos] == '#')
            while (*pos < b.size() && b[*pos] != '\n') ++*pos;
        else
            ++*pos;
    }
    if (*pos >= b.size() || !isdigit(static_cast<unsigned char>(b[*pos]))) return false;
    *value = 0;
    while (*pos < b.size() && isdigit(static_cast<unsigned char>(b[*pos]))) {
        *value = *value * 10 + (b[*pos] - '0');
        if (*value > kMaxPictureSide) return false;
        ++*pos;
    }
    return true;
}

PictureRead ReadPbm(const std::string &b, Picture *p) {
    const bool raw = b[1] == '4';
    size_t pos = 2;
    int64_t width = 0, height = 0;
    if (!PbmNumber(b, &pos, &width) || !PbmNumber(b, &pos, &height)) return PictureRead::kNotPicture;
    if (!SizeFits(width, height)) return PictureRead::kTooLarge;
    p->width = static_cast<int32_t>(width);
    p->height = static_cast<int32_t>(height);
    p->dots.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    if (raw) {
        ++pos;  // the one white space before the raster
        const size_t stride = static_cast<size_t>((width + 7) / 8);
        if (pos > b.size() || b.size() - pos < stride * static_cast<size_t>(height)) return PictureRead::kCut;
        for (int64_t y = 0; y < height; ++y)
            for (int64_t x = 0; x < width; ++x) {
                const unsigned byte = static_cast<unsigned char>(b[pos + static_cast<size_t>(y) * stride + static_cast<size_t>(x / 8)]);
                p->dots[static_cast<size_t>(y * width + x)] = (byte >> (7 - x % 8)) & 1;
            }
        return PictureRead::kOk;
    }
    for (uint8_t &dot : p->dots) {
        while (pos < b.size() && (isspace(static_cast<unsigned char>(b[pos])) || b[pos] == '#')) {
            if (b[pos] == '#')
                while (pos < b.size() && b[pos] != '\n') ++pos;
            else
                ++pos;
        }
        if (pos >= b.size()) return PictureRead::kCut;
        if (b[pos] != '0' && b[pos] != '1') return PictureRead::kNotPicture;
        dot = b[pos++] == '1';
    }
    return PictureRead::kOk;
}

}  // namespace

namespace {

bool LooksLikeBmp(const std::string &b) { return b.size() >= 2 && b[0] == 'B' && b[1] == 'M'; }

bool LooksLikePbm(const std::string &b) {
    return b.size() >= 3 && b[0] == 'P' && (b[1] == '1' || b[1] == '4') && isspace(static_cast<unsigned char>(b[2]));
}

}  // namespace

bool LooksLikePicture(const std::string &start) { return LooksLikeBmp(start) || LooksLikePbm(start); }

PictureRead ReadPicture(const std::string &bytes, Picture *picture) {
    *picture = Picture{};
    if (LooksLikeBmp(bytes)) return ReadBmp(bytes, picture);
    if (LooksLikePbm(bytes)) return ReadPbm(bytes, picture);
    return PictureRead::kNotPicture;
}

const char *PictureReadText(PictureRead result) {
    switch (result) {
    case PictureRead::kOk: return "is a picture";
    case PictureRead::kNotPicture: return "is not a BMP or PBM picture";
    case PictureRead::kUnsupported: return "is a kind of BMP not read here (compressed, or 16 bits per dot)";
    case PictureRead::kTooLarge: return "is a picture too large to be a page";
    case PictureRead::kCut: return "is a picture cut short";
    }
    return "";
}

namespace {

// Dots per inch of a picture that does not tell them: at most a page wide,
// dot for dot; wider, spanning the page with square dots.
void AssumedDpi(const Picture &picture, double *dpi_x, double *dpi_y) {
    *dpi_x = picture.dpi_x;
    *dpi_y = picture.dpi_y;
    if (*dpi_x > 0 && *dpi_y > 0 && picture.width / *dpi_x <= kWidestPageInches) return;
    if (picture.width <= kPageDots) {
        *dpi_x = kFaxDpiX;
        *dpi_y = picture.height <= kStandardPageRows ? kStandardDpiY : kFineDpiY;
        return;
    }
    *dpi_x = *dpi_y = picture.width * kFaxDpiX / kPageDots;
}

}  // namespace

FaxResolution ResolutionOf(const Picture &picture) {
    double dpi_x = 0, dpi_y = 0;
    AssumedDpi(picture, &dpi_x, &dpi_y);
    return dpi_y < kFineFromDpi ? FaxResolution::kStandard : FaxResolution::kFine;
}

Picture FaxPage(const Picture &picture, FaxResolution resolution) {
    double dpi_x = 0, dpi_y = 0;
    AssumedDpi(picture, &dpi_x, &dpi_y);
    const double target_y = resolution == FaxResolution::kFine ? kFineDpiY : kStandardDpiY;
    double scale_x = kFaxDpiX / dpi_x;
    double scale_y = target_y / dpi_y;
    if (picture.width * scale_x > kPageDots) {
        // Narrowed to the page; the height by the same share keeps the aspect.
        const double fit = kPageDots / (picture.width * scale_x);
        scale_x *= fit;
        scale_y *= fit;
    }
    const int32_t width = std::max<int32_t>(1, std::min<int32_t>(kPageDots, static_cast<int32_t>(std::lround(picture.width * scale_x))));
    const int32_t height = std::max<int32_t>(1, static_cast<int32_t>(std::lround(picture.height * scale_y)));

    Picture page;
    page.width = kPageDots;
    page.height = height;
    page.dpi_x = kFaxDpiX;
    page.dpi_y = target_y;
    page.dots.assign(static_cast<size_t>(kPageDots) * static_cast<size_t>(height), 0);
    const int32_t left = (kPageDots - width) / 2;
    // Each page dot covers a box of the picture; it is black when enough of
    // the box is (a box of one dot or less: that dot).
    for (int32_t y = 0; y < height; ++y) {
        const int32_t y0 = static_cast<int32_t>(y / scale_y);
        const int32_t y1 = std::min(picture.height, std::max(y0 + 1, static_cast<int32_t>((y + 1) / scale_y)));
        uint8_t *out = page.dots.data() + static_cast<size_t>(y) * kPageDots + left;
        for (int32_t x = 0; x < width; ++x) {
            const int32_t x0 = static_cast<int32_t>(x / scale_x);
            const int32_t x1 = std::min(picture.width, std::max(x0 + 1, static_cast<int32_t>((x + 1) / scale_x)));
            int64_t black = 0;
            for (int32_t sy = y0; sy < y1; ++sy) {
                const uint8_t *row = picture.dots.data() + static_cast<size_t>(sy) * static_cast<size_t>(picture.width);
                for (int32_t sx = x0; sx < x1; ++sx) black += row[sx];
            }
            const int64_t box = static_cast<int64_t>(y1 - y0) * (x1 - x0);
            out[x] = box > 0 && black >= box * kBlackShare ? 1 : 0;
        }
    }
    return page;
}

void PadToPageLength(Picture *page, FaxResolution resolution) {
    const int32_t length = resolution == FaxResolution::kFine ? kFinePageLength : kStandardPageLength;
    if (page->height >= length) return;
    page->dots.resize(static_cast<size_t>(page->width) * static_cast<size_t>(length), 0);
    page->height = length;
}

bool WriteMonoBmp(const Picture &picture, const std::string &path) {
    const uint32_t stride = ((static_cast<uint32_t>(picture.width) + 31) / 32) * 4;
    const uint32_t data = stride * static_cast<uint32_t>(picture.height);
    const uint32_t ppm_x = static_cast<uint32_t>(std::lround(picture.dpi_x * kInchesPerMetre));
    const uint32_t ppm_y = static_cast<uint32_t>(std::lround(picture.dpi_y * kInchesPerMetre));
    std::string b;
    auto u16 = [&](uint32_t v) { b += static_cast<char>(v & 0xFF), b += static_cast<char>((v >> 8) & 0xFF); };
    auto u32 = [&](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
    b += "BM";
    u32(62 + data), u32(0), u32(62);
    u32(40), u32(static_cast<uint32_t>(picture.width)), u32(static_cast<uint32_t>(picture.height)), u16(1), u16(1);
    u32(0), u32(data), u32(ppm_x), u32(ppm_y), u32(2), u32(0);
    u32(0x00FFFFFF), u32(0);  // 0 white, 1 black
    std::string row(stride, '\0');
    for (int32_t y = picture.height - 1; y >= 0; --y) {  // bottom-up
        std::fill(row.begin(), row.end(), '\0');
        const uint8_t *in = picture.dots.data() + static_cast<size_t>(y) * static_cast<size_t>(picture.width);
        for (int32_t x = 0; x < picture.width; ++x)
            if (in[x]) row[static_cast<size_t>(x / 8)] = static_cast<char>(row[static_cast<size_t>(x / 8)] | (0x80 >> (x % 8)));
        b += row;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << b;
    return static_cast<bool>(out.flush());
}
