// Cross-checks with netpbm's Group 3 tools, run as separate processes:
// pbmtog3 and g3topbm with -reversebits read and write the same LSB-first
// Modified Huffman pages as the library.
#include <gtest/gtest.h>

#include <random>

#include "engine/channel.h"
#include "engine/tollan.h"
#include "image_test_util.h"

using namespace imgtest;

namespace {

// A PBM (P4) file of the picture.
std::string PbmBytes(const Picture &p) {
    size_t width = p[0].size();
    std::string out = "P4\n" + std::to_string(width) + " " + std::to_string(p.size()) + "\n";
    for (const std::string &row : p) {
        std::string packed((width + 7) / 8, '\0');
        for (size_t x = 0; x < width; ++x)
            if (row[x] == '#') packed[x / 8] |= static_cast<char>(0x80 >> (x % 8));
        out += packed;
    }
    return out;
}

// The picture of a P4 file as g3topbm writes it.
Picture ParsePbm(const std::string &bytes) {
    size_t pos = 0;
    auto token = [&]() {
        while (pos < bytes.size() && isspace(static_cast<unsigned char>(bytes[pos]))) ++pos;
        size_t start = pos;
        while (pos < bytes.size() && !isspace(static_cast<unsigned char>(bytes[pos]))) ++pos;
        return bytes.substr(start, pos - start);
    };
    if (token() != "P4") return {};
    size_t width = std::stoul(token());
    size_t height = std::stoul(token());
    ++pos;  // the single whitespace before the raster
    size_t stride = (width + 7) / 8;
    Picture p(height, std::string(width, '.'));
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x)
            if (pos + y * stride + x / 8 < bytes.size() &&
                (static_cast<uint8_t>(bytes[pos + y * stride + x / 8]) >> (7 - x % 8)) & 1)
                p[y][x] = '#';
    return p;
}

// Rows of alternating runs whose lengths cover the code tables' corners:
// 0..63, the make-up boundaries and runs to the end of the line.
Picture RandomRuns(std::mt19937 *random, size_t width, size_t height) {
    static const int kCorners[] = {1, 2, 62, 63, 64, 65, 127, 128, 129, 639, 640, 1663, 1664, 1727, 1728};
    Picture p(height, std::string(width, '.'));
    for (size_t y = 0; y < height; ++y) {
        size_t x = 0;
        bool black = (*random)() % 3 == 0;
        while (x < width) {
            size_t run = (*random)() % 4 == 0 ? kCorners[(*random)() % 15] : 1 + (*random)() % 70;
            for (size_t i = 0; i < run && x < width; ++i, ++x) p[y][x] = black ? '#' : '.';
            black = !black;
        }
    }
    return p;
}

std::vector<Picture> VariedPictures() {
    std::mt19937 random(1728);
    std::vector<Picture> pictures = {
        {std::string(1728, '#')},
        {std::string(1728, '.'), std::string(1727, '.') + "#", "#" + std::string(1727, '.')},
    };
    for (size_t width : {1728u, 1500u, 333u, 8u})
        pictures.push_back(RandomRuns(&random, width, 40));
    return pictures;
}

class NetpbmTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = g_settings; }
    void TearDown() override { g_settings = saved_; }
    TempDir dir_;
    LibrarySettings saved_{};
};

TEST_F(NetpbmTest, G3topbmReadsThePagesBmpToG3Writes) {
    g_settings.stretch_option = 0;  // rows as they are, padded to 2290 lines
    for (const Picture &p : VariedPictures()) {
        SCOPED_TRACE(p[0].size());
        WriteFile(dir_.Path("in.bmp"), MonoBmp(p));
        ASSERT_EQ(TOLLAN_OK, BmpToG3(dir_.Path("in.bmp").c_str(), dir_.Path("page.g3").c_str()));
        ASSERT_EQ(0, RunCommand("g3topbm -reversebits -stop_error " + dir_.Path("page.g3") + " > " +
                                dir_.Path("page.pbm")));
        Picture decoded = ParsePbm(ReadFile(dir_.Path("page.pbm")));
        // Three blank lines after the first EOL, the picture, blank lines to 2290.
        ASSERT_EQ(3u + 2290u, decoded.size());
        for (size_t y = 0; y < decoded.size(); ++y) {
            std::string expected(1728, '.');
            if (y >= 3 && y - 3 < p.size()) expected.replace(0, p[y - 3].size(), p[y - 3]);
            ASSERT_EQ(expected, decoded[y]) << "row " << y;
        }
    }
}

TEST_F(NetpbmTest, G3ToBmpReadsThePagesPbmtog3Writes) {
    for (const Picture &p : VariedPictures()) {
        SCOPED_TRACE(p[0].size());
        WriteFile(dir_.Path("in.pbm"), PbmBytes(p));
        ASSERT_EQ(0, RunCommand("pbmtog3 -reversebits " + dir_.Path("in.pbm") + " > " +
                                dir_.Path("page.g3") + " 2>/dev/null"));
        ASSERT_EQ(TOLLAN_OK, G3ToBmp(dir_.Path("page.g3").c_str(), dir_.Path("page.bmp").c_str()));
        int32_t width = 0;
        Picture decoded = ReadMonoBmp(ReadFile(dir_.Path("page.bmp")), &width);
        // pbmtog3 widens every line to 1728; its end mark adds two blank rows.
        EXPECT_EQ(1728, width);
        ASSERT_EQ(p.size() + 2, decoded.size());
        for (size_t y = 0; y < decoded.size(); ++y) {
            std::string expected(1728, '.');
            if (y < p.size()) expected.replace(0, p[y].size(), p[y]);
            ASSERT_EQ(expected, decoded[y]) << "row " << y;
        }
    }
}

}  // namespace
