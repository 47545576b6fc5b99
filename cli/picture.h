// Pictures the command sends as pages: bitmaps (BMP) and portable bitmaps
// (PBM) read into one dot per byte, and the geometry that makes a fax page
// of them: the resolution chosen from the picture, scaled keeping its aspect
// to at most 1728 dots, centred on the page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A picture, top row first, one byte per dot (1 black). Dots per inch are 0
// when the file does not tell.
struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    double dpi_x = 0;
    double dpi_y = 0;
    std::vector<uint8_t> dots;
};

enum class PictureRead { kOk, kNotPicture, kUnsupported, kTooLarge, kCut };

// Largest picture read: a 600-dpi scan of a long page, with room to spare.
constexpr int32_t kMaxPictureSide = 20000;
constexpr int64_t kMaxPictureDots = 120000000;
// A picture file larger than this is no page (a 600-dpi 24-bit A4 is 100 MB).
constexpr uintmax_t kMaxPictureFileBytes = 400u * 1024 * 1024;

// True when the bytes begin like a BMP or a PBM picture.
bool LooksLikePicture(const std::string &start);

// A BMP (1, 4, 8, 24 or 32 bits per dot, uncompressed; colours to black and
// white by brightness) or a PBM (P1 or P4) from its bytes.
PictureRead ReadPicture(const std::string &bytes, Picture *picture);
// What a result means, for a message ("is cut short", ...).
const char *PictureReadText(PictureRead result);

// A fax page's vertical resolution.
enum class FaxResolution { kStandard, kFine };

// The resolution a picture asks for: its vertical dots per inch when it tells
// them (under 150: standard; fields that make it wider than 12 inches are
// taken as telling nothing), else its height as a page of fax dots (up to
// 1400 rows, an A4, Letter or Legal page at 98 lines per inch: standard).
FaxResolution ResolutionOf(const Picture &picture);

// The picture as a page 1728 dots wide at the resolution: scaled to 204 dots
// per inch across and 98 or 196 down (a picture that does not tell its dots
// per inch and is at most 1728 wide is taken dot for dot; a wider one as
// spanning the page), narrowed to 1728 keeping the aspect where wider, and
// centred where narrower.
Picture FaxPage(const Picture &picture, FaxResolution resolution);

// White rows at the bottom up to an A4 page's length at the resolution
// (1145 or 2290 rows), as BmpToG3 pads its pages.
void PadToPageLength(Picture *page, FaxResolution resolution);

// Writes a 1-bit BMP (colour 0 white, 1 black) of the picture; false when
// the file cannot be written.
bool WriteMonoBmp(const Picture &picture, const std::string &path);
