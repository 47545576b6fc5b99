#include "image_test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace imgtest {

TempDir::TempDir() {
    char templ[] = "/tmp/tollan-image-XXXXXX";
    if (mkdtemp(templ)) dir_ = templ;
}

std::vector<std::string> TempDir::Entries() const {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir_.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

TempDir::~TempDir() {
    for (const std::string &n : Entries()) unlink(Path(n).c_str());
    rmdir(dir_.c_str());
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool FileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void Put16(std::string *out, uint32_t v) {
    out->push_back(static_cast<char>(v & 0xFF));
    out->push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string *out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

std::string BmpBytes(const BmpFields &f, const std::string &extra, const std::string &pixels,
                     const std::vector<uint32_t> &header_masks) {
    std::string info;
    Put32(&info, f.info_size);
    Put32(&info, static_cast<uint32_t>(f.width));
    Put32(&info, static_cast<uint32_t>(f.height));
    Put16(&info, f.planes);
    Put16(&info, f.bit_count);
    Put32(&info, f.compression);
    Put32(&info, f.size_image);
    Put32(&info, static_cast<uint32_t>(f.x_ppm));
    Put32(&info, static_cast<uint32_t>(f.y_ppm));
    Put32(&info, f.clr_used);
    Put32(&info, 0);
    for (uint32_t m : header_masks) Put32(&info, m);
    if (info.size() < f.info_size) info.resize(f.info_size, '\0');
    uint32_t off = f.off_bits ? f.off_bits : static_cast<uint32_t>(14 + info.size() + extra.size());
    std::string out = "BM";
    Put32(&out, static_cast<uint32_t>(14 + info.size() + extra.size() + pixels.size()));
    Put32(&out, 0);
    Put32(&out, off);
    return out + info + extra + pixels;
}

namespace {

bool Black(const Picture &p, size_t x, size_t y) { return x < p[y].size() && p[y][x] == '#'; }

std::string Colour(uint8_t b, uint8_t g, uint8_t r) {
    return std::string{static_cast<char>(b), static_cast<char>(g), static_cast<char>(r), '\0'};
}

}  // namespace

std::string MonoBmp(const Picture &p, bool black_first) {
    BmpFields f;
    f.width = static_cast<int32_t>(p[0].size());
    f.height = static_cast<int32_t>(p.size());
    size_t stride = (f.width + 31) / 32 * 4;
    std::string pixels;
    for (size_t y = p.size(); y-- > 0;) {
        std::string row(stride, '\0');
        for (size_t x = 0; x < static_cast<size_t>(f.width); ++x)
            if (Black(p, x, y) != black_first) row[x / 8] |= static_cast<char>(0x80 >> (x % 8));
        pixels += row;
    }
    std::string table = black_first ? Colour(0, 0, 0) + Colour(255, 255, 255)
                                    : Colour(255, 255, 255) + Colour(0, 0, 0);
    return BmpBytes(f, table, pixels);
}

std::string DepthBmp(const Picture &p, int bit_count) {
    BmpFields f;
    f.width = static_cast<int32_t>(p[0].size());
    f.height = static_cast<int32_t>(p.size());
    f.bit_count = static_cast<uint16_t>(bit_count);
    size_t stride = (f.width * bit_count + 31) / 32 * 4;
    std::string table;
    if (bit_count <= 8) {
        // A few colours: index 1 dark red (black), index 2 light yellow (white).
        table = Colour(0, 0, 0) + Colour(0, 0, 90) + Colour(200, 255, 255);
        f.clr_used = 3;
    }
    std::string pixels;
    for (size_t y = p.size(); y-- > 0;) {
        std::string row(stride, '\0');
        for (size_t x = 0; x < static_cast<size_t>(f.width); ++x) {
            bool black = Black(p, x, y);
            switch (bit_count) {
            case 1: if (!black) row[x / 8] |= static_cast<char>(0x80 >> (x % 8)); break;
            case 4: row[x / 2] |= static_cast<char>((black ? 1 : 2) << (x % 2 ? 0 : 4)); break;
            case 8: row[x] = static_cast<char>(black ? 1 : 2); break;
            case 16: {  // 5-5-5: dark blue-green or near white
                uint16_t v = black ? (2 << 10 | 6 << 5 | 9) : (30 << 10 | 31 << 5 | 28);
                row[2 * x] = static_cast<char>(v & 0xFF);
                row[2 * x + 1] = static_cast<char>(v >> 8);
                break;
            }
            case 24:
            case 32: {
                std::string c = black ? Colour(40, 10, 100) : Colour(230, 240, 200);
                for (int i = 0; i < bit_count / 8; ++i) row[x * (bit_count / 8) + i] = c[i];
                break;
            }
            }
        }
        pixels += row;
    }
    if (bit_count == 1) table = Colour(0, 0, 0) + Colour(255, 255, 255);
    return BmpBytes(f, table, pixels);
}

std::string BitsOf(const std::string &bytes) {
    std::string bits;
    bits.reserve(bytes.size() * 8);
    for (unsigned char c : bytes)
        for (int i = 0; i < 8; ++i) bits.push_back((c >> i) & 1 ? '1' : '0');
    return bits;
}

std::string BytesOf(const std::string &bits) {
    std::string bytes((bits.size() + 7) / 8, '\0');
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1') bytes[i / 8] |= static_cast<char>(1 << (i % 8));
    return bytes;
}

std::vector<std::string> SplitAtEols(const std::string &bits) {
    std::vector<std::string> lines;
    std::string current;
    int zeros = 0;
    for (char b : bits) {
        current.push_back(b);
        if (b == '1' && zeros >= 11) {
            current.resize(current.size() - 1 - zeros);
            lines.push_back(current);
            current.clear();
        }
        zeros = b == '0' ? zeros + 1 : 0;
    }
    lines.push_back(current);
    return lines;
}

Picture ReadMonoBmp(const std::string &bytes, int32_t *width_out) {
    auto le32 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
               static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
               static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
    };
    int32_t width = static_cast<int32_t>(le32(18));
    int32_t height = static_cast<int32_t>(le32(22));
    uint32_t off = le32(10);
    bool one_is_black = static_cast<uint8_t>(bytes[54]) != 0;  // entry 0 white
    size_t stride = (width + 31) / 32 * 4;
    if (width_out) *width_out = width;
    Picture p(height, std::string(width, '.'));
    for (int32_t r = 0; r < height; ++r) {
        size_t base = off + static_cast<size_t>(r) * stride;
        for (int32_t x = 0; x < width; ++x) {
            bool bit = (static_cast<uint8_t>(bytes[base + x / 8]) >> (7 - x % 8)) & 1;
            if (bit == one_is_black) p[height - 1 - r][x] = '#';
        }
    }
    return p;
}

int RunCommand(const std::string &command) {
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace imgtest
