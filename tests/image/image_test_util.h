// Helpers of the image tests: pictures as text, bitmap files of every kind
// written byte by byte, Group 3 bit streams as '0'/'1' strings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imgtest {

// A picture, top row first; '#' is black, anything else white.
using Picture = std::vector<std::string>;

// A temporary directory removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }
    const std::string &dir() const { return dir_; }
    std::vector<std::string> Entries() const;

private:
    std::string dir_;
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);
bool FileExists(const std::string &path);

// Little-endian byte appenders.
void Put16(std::string *out, uint32_t v);
void Put32(std::string *out, uint32_t v);

// The 14-byte file header and the 40-byte info header.
struct BmpFields {
    int32_t width = 0;
    int32_t height = 0;
    uint16_t planes = 1;
    uint16_t bit_count = 1;
    uint32_t compression = 0;
    uint32_t size_image = 0;
    uint32_t clr_used = 0;
    uint32_t off_bits = 0;   // 0: right after the headers and the table
    uint32_t info_size = 40;
    int32_t x_ppm = 0;
    int32_t y_ppm = 0;
};
// Headers, then extra (masks or colour table), then the pixel data. An
// info_size above 40 is filled with zeros after the first 40 bytes, except
// for masks given in header_masks (placed at offset 40 of the info header).
std::string BmpBytes(const BmpFields &f, const std::string &extra, const std::string &pixels,
                     const std::vector<uint32_t> &header_masks = {});

// A 1-bit bitmap of the picture: rows bottom-up, padded to 4 bytes; colour
// entry 0 white and 1 black unless black_first.
std::string MonoBmp(const Picture &p, bool black_first = false);
// The picture at any depth (1, 4, 8, 16, 24, 32), uncompressed, with black
// and white drawn as the given grey levels.
std::string DepthBmp(const Picture &p, int bit_count);

// Bits of a file, least significant bit of each byte first.
std::string BitsOf(const std::string &bytes);
// The bytes of a bit string, first bit in bit 0 of the first byte, the last
// byte completed with 0 bits.
std::string BytesOf(const std::string &bits);
// The lines of a Group 3 bit stream: the bits between EOLs (the part before
// the first EOL is the first element).
std::vector<std::string> SplitAtEols(const std::string &bits);

// A picture read back from a 1-bit bitmap file written by the library.
Picture ReadMonoBmp(const std::string &bytes, int32_t *width = nullptr);

// Runs a command line through /bin/sh; returns its exit status.
int RunCommand(const std::string &command);

}  // namespace imgtest
