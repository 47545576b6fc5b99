#include "cli/tiff_writer.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

// TIFF tags of a Class F page, in the ascending order a directory needs.
enum : uint16_t {
    kNewSubfileType = 254,
    kImageWidth = 256,
    kImageLength = 257,
    kBitsPerSample = 258,
    kCompression = 259,
    kPhotometric = 262,
    kFillOrder = 266,
    kStripOffsets = 273,
    kSamplesPerPixel = 277,
    kRowsPerStrip = 278,
    kStripByteCounts = 279,
    kXResolution = 282,
    kYResolution = 283,
    kT4Options = 292,
    kResolutionUnit = 296,
    kPageNumber = 297,
};
enum : uint16_t { kShort = 3, kLong = 4, kRational = 5 };
constexpr uint16_t kEntriesPerPage = 16;

// Pages of fewer rows than this are taken as normal resolution (98 lines per
// inch); an A4 page has about 1145 rows at normal and 2290 at fine.
constexpr int kFineRowThreshold = 1600;

void Put16(std::vector<uint8_t> &out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t> &out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
void PutEntry(std::vector<uint8_t> &out, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    Put16(out, tag);
    Put16(out, type);
    Put32(out, count);
    if (type == kShort && count == 1) {
        Put16(out, value);
        Put16(out, 0);
    } else {
        Put32(out, value);
    }
}

bool ReadWholeFile(const std::string &path, std::vector<uint8_t> &data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == 0) errno = ENOENT;
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

struct PageDirectory {
    uint32_t offset;  // where the page's directory starts
    size_t next;      // where its link to the next directory is
};

// Appends one page: its strip, its two resolution rationals, its directory.
PageDirectory AppendPage(std::vector<uint8_t> &out, const TiffPage &page, const std::vector<uint8_t> &strip, uint16_t number,
                  uint16_t total) {
    uint32_t strip_offset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), strip.begin(), strip.end());
    if (out.size() % 2) out.push_back(0);  // directories start on a word boundary

    uint32_t x_res = static_cast<uint32_t>(out.size());
    Put32(out, 204);
    Put32(out, 1);
    uint32_t y_res = static_cast<uint32_t>(out.size());
    Put32(out, page.rows < kFineRowThreshold ? 98 : 196);
    Put32(out, 1);

    uint32_t directory = static_cast<uint32_t>(out.size());
    Put16(out, kEntriesPerPage);
    PutEntry(out, kNewSubfileType, kLong, 1, 2);  // one page of a multi-page document
    PutEntry(out, kImageWidth, kLong, 1, static_cast<uint32_t>(page.width));
    PutEntry(out, kImageLength, kLong, 1, static_cast<uint32_t>(page.rows));
    PutEntry(out, kBitsPerSample, kShort, 1, 1);
    PutEntry(out, kCompression, kShort, 1, 3);  // CCITT Group 3
    PutEntry(out, kPhotometric, kShort, 1, 0);  // 0 is white
    PutEntry(out, kFillOrder, kShort, 1, 2);    // first bit in the least significant bit
    PutEntry(out, kStripOffsets, kLong, 1, strip_offset);
    PutEntry(out, kSamplesPerPixel, kShort, 1, 1);
    PutEntry(out, kRowsPerStrip, kLong, 1, static_cast<uint32_t>(page.rows));
    PutEntry(out, kStripByteCounts, kLong, 1, static_cast<uint32_t>(strip.size()));
    PutEntry(out, kXResolution, kRational, 1, x_res);
    PutEntry(out, kYResolution, kRational, 1, y_res);
    PutEntry(out, kT4Options, kLong, 1, 0);  // one-dimensional coding
    PutEntry(out, kResolutionUnit, kShort, 1, 2);  // inches
    Put16(out, kPageNumber);
    Put16(out, kShort);
    Put32(out, 2);
    Put16(out, number);
    Put16(out, total);
    size_t next = out.size();
    Put32(out, 0);
    return {directory, next};
}

void Patch32(std::vector<uint8_t> &out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

bool WriteTiffClassF(const std::vector<TiffPage> &pages, const std::string &tiff_path) {
    std::vector<uint8_t> out = {'I', 'I', 42, 0};
    size_t link = out.size();  // where the offset of the next directory goes
    Put32(out, 0);
    for (size_t i = 0; i < pages.size(); ++i) {
        std::vector<uint8_t> strip;
        if (!ReadWholeFile(pages[i].g3_path, strip)) return false;
        PageDirectory page =
            AppendPage(out, pages[i], strip, static_cast<uint16_t>(i), static_cast<uint16_t>(pages.size()));
        Patch32(out, link, page.offset);
        link = page.next;
    }
    FILE *f = fopen(tiff_path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(out.data(), 1, out.size(), f) == out.size();
    ok = (fclose(f) == 0) && ok;
    return ok;
}
