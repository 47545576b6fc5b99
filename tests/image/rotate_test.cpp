// RotateBitmap: the quarter turn, the fill bits, the row lengths it reads,
// and the files it refuses.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <unistd.h>

#include "engine/tollan.h"
#include "image_test_util.h"

using namespace imgtest;

namespace {

class RotateTest : public ::testing::Test {
protected:
    // Rotates the bitmap bytes; returns the result file's bytes.
    std::string Rotate(const std::string &bmp, uint16_t expect = TOLLAN_OK) {
        WriteFile(dir_.Path("src.bmp"), bmp);
        unlink(dir_.Path("dst.bmp").c_str());
        EXPECT_EQ(expect, RotateBitmap(dir_.Path("src.bmp").c_str(), dir_.Path("dst.bmp").c_str(), 0));
        return FileExists(dir_.Path("dst.bmp")) ? ReadFile(dir_.Path("dst.bmp")) : "";
    }
    TempDir dir_;
};

uint32_t Le32At(const std::string &b, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

Picture RandomPicture(int w, int h, unsigned seed) {
    std::mt19937 random(seed);
    Picture p(h, std::string(w, '.'));
    for (std::string &row : p)
        for (char &c : row) c = random() % 2 ? '#' : '.';
    return p;
}

// The clockwise quarter turn, done on the text picture.
Picture Turned(const Picture &p) {
    size_t h = p.size(), w = p[0].size();
    Picture out(w, std::string(h, '.'));
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) out[x][h - 1 - y] = p[y][x];
    return out;
}

TEST_F(RotateTest, TenByThreeTurnsClockwiseWithFillBitsSet) {
    Picture p = {"#........#", "..........", "#.#......."};
    std::string out = Rotate(MonoBmp(p));
    ASSERT_EQ(62u + 10 * 4, out.size());
    EXPECT_EQ(3u, Le32At(out, 18));
    EXPECT_EQ(10u, Le32At(out, 22));
    EXPECT_EQ(40u, Le32At(out, 34)) << "biSizeImage";
    EXPECT_EQ(62u + 40, Le32At(out, 2));
    Picture r = ReadMonoBmp(out);
    EXPECT_EQ(Turned(p), r);
    EXPECT_EQ('#', r[0][2]) << "top-left ends at the top right";
    EXPECT_EQ('#', r[0][0]) << "bottom-left ends at the top left";
    // The 29 fill bits of every row are 1 (here: white's stored bit is 0).
    for (int row = 0; row < 10; ++row) {
        EXPECT_EQ(0x1F, static_cast<uint8_t>(out[62 + row * 4]) & 0x1F) << row;
        EXPECT_EQ(std::string(3, '\xFF'), out.substr(62 + row * 4 + 1, 3)) << row;
    }
}

TEST_F(RotateTest, FourTurnsGiveThePictureBack) {
    for (auto [w, h] : {std::pair{37, 23}, std::pair{1, 1}, std::pair{64, 33}}) {
        Picture p = RandomPicture(w, h, static_cast<unsigned>(w * h));
        std::string bytes = MonoBmp(p, /*black_first=*/true);
        Picture expected = p;
        for (int i = 0; i < 4; ++i) {
            bytes = Rotate(bytes);
            expected = Turned(expected);
            ASSERT_EQ(expected, ReadMonoBmp(bytes)) << w << "x" << h << " turn " << i + 1;
        }
        EXPECT_EQ(p, expected);
    }
}

// Rows are placed eight at a time, those that share a byte of the result:
// a top-down picture whose height is no multiple of 8 starts and ends with
// part of such a group.
TEST_F(RotateTest, TopDownPicturesTurnTheSameInGroupsOfRows) {
    const std::string table = std::string("\xFF\xFF\xFF\0\0\0\0\0", 8);
    for (auto [w, h] : {std::pair{37, 23}, std::pair{70, 9}, std::pair{5, 1}}) {
        Picture p = RandomPicture(w, h, static_cast<unsigned>(w + h));
        const std::string mono = MonoBmp(p);
        const size_t stride = (static_cast<size_t>(w) + 31) / 32 * 4;
        std::string top_down_rows;
        for (int r = h - 1; r >= 0; --r) top_down_rows += mono.substr(62 + static_cast<size_t>(r) * stride, stride);
        BmpFields f;
        f.width = w;
        f.height = -h;
        EXPECT_EQ(Turned(p), ReadMonoBmp(Rotate(BmpBytes(f, table, top_down_rows)))) << w << "x" << h;
    }
}

TEST_F(RotateTest, FullPage) {
    Picture p(2290, std::string(1728, '.'));
    p[0][0] = '#';
    std::string out = Rotate(MonoBmp(p));
    EXPECT_EQ(2290u, Le32At(out, 18));
    EXPECT_EQ(1728u, Le32At(out, 22));
    EXPECT_EQ(62u + 1728 * 288, Le32At(out, 2));
    ASSERT_EQ(62u + 1728 * 288, out.size());
    EXPECT_EQ('#', ReadMonoBmp(out)[0][2289]);
}

TEST_F(RotateTest, RowLengthFromBiSizeImageAndHeaderFields) {
    // Rows of 8 bytes (biSizeImage / H) whose bits past the width are set:
    // they are not placed. Header fields are copied.
    Picture p = RandomPicture(10, 3, 7);
    BmpFields f;
    f.width = 10;
    f.height = 3;
    f.size_image = 24;
    f.x_ppm = 3780;
    f.y_ppm = 1234;
    f.clr_used = 2;
    std::string pixels;
    for (size_t y = 3; y-- > 0;) {
        std::string row(8, '\xFF');
        row[0] = row[1] = 0;
        for (int x = 0; x < 10; ++x)
            if (p[y][x] == '#') row[x / 8] |= static_cast<char>(0x80 >> (x % 8));
        row[1] |= 0x3F;
        pixels += row;
    }
    std::string table = std::string("\xFF\xFF\xFF\0\0\0\0\0", 8);
    std::string out = Rotate(BmpBytes(f, table, pixels));
    EXPECT_EQ(Turned(p), ReadMonoBmp(out));
    EXPECT_EQ(3780u, Le32At(out, 38));
    EXPECT_EQ(1234u, Le32At(out, 42));
    EXPECT_EQ(2u, Le32At(out, 46));

    // A top-down source and a 124-byte header turn the same picture.
    f.size_image = 0;
    f.height = -3;
    f.info_size = 124;
    std::string mono = MonoBmp(p);
    std::string top_down_rows;
    for (int r = 2; r >= 0; --r) top_down_rows += mono.substr(62 + r * 4, 4);
    out = Rotate(BmpBytes(f, table, top_down_rows));
    EXPECT_EQ(40u, Le32At(out, 14)) << "the result's header is 40 bytes";
    EXPECT_EQ(Turned(p), ReadMonoBmp(out));

    // biCompression 1 is read as plain rows and the result says plain rows.
    f = BmpFields();
    f.width = 10;
    f.height = 3;
    f.compression = 1;
    out = Rotate(BmpBytes(f, table, mono.substr(62)));
    EXPECT_EQ(0u, Le32At(out, 30));
    EXPECT_EQ(Turned(p), ReadMonoBmp(out));
}

TEST_F(RotateTest, HostileSizesAreRefusedBeforeReading) {
    const std::string table = std::string("\xFF\xFF\xFF\0\0\0\0\0", 8);
    // 2^31 top-down rows of one byte in a sparse file that holds them all:
    // its turned width, 2^31, fits no header field.
    BmpFields f;
    f.width = 1;
    f.height = INT_MIN;
    f.size_image = 0x80000000u;
    std::string src = dir_.Path("tall.bmp");
    WriteFile(src, BmpBytes(f, table, ""));
    ASSERT_EQ(0, truncate(src.c_str(), 62 + 0x80000000LL));
    EXPECT_EQ(TOLLAN_E_NOT_BITMAP, RotateBitmap(src.c_str(), dir_.Path("dst.bmp").c_str(), 0));
    EXPECT_FALSE(FileExists(dir_.Path("dst.bmp")));

    // Rows of a kilobyte for a 9-pixel width: only what the width needs is placed.
    Picture p = {"#.......#", ".#......."};
    f = BmpFields();
    f.width = 9;
    f.height = 2;
    f.size_image = 2 * 1024;
    std::string rows;
    for (int y = 1; y >= 0; --y) {
        std::string row(1024, '\x55');
        row[0] = row[1] = 0;
        for (int x = 0; x < 9; ++x)
            if (p[y][x] == '#') row[x / 8] |= static_cast<char>(0x80 >> (x % 8));
        rows += row;
    }
    EXPECT_EQ(Turned(p), ReadMonoBmp(Rotate(BmpBytes(f, table, rows))));
}

TEST_F(RotateTest, RefusedSources) {
    const std::string table = std::string("\xFF\xFF\xFF\0\0\0\0\0", 8);
    auto mono = [](int32_t w, int32_t h) {
        BmpFields f;
        f.width = w;
        f.height = h;
        return f;
    };
    BmpFields f = mono(10, 3);
    f.bit_count = 8;
    EXPECT_EQ("", Rotate(BmpBytes(f, std::string(1024, '\0'), std::string(48, '\0')), TOLLAN_E_DEPTH));
    f = mono(10, 3);
    f.compression = 2;
    Rotate(BmpBytes(f, table, std::string(12, '\0')), TOLLAN_E_NOT_BITMAP);
    f = mono(10, 3);
    f.planes = 0;
    Rotate(BmpBytes(f, table, std::string(12, '\0')), TOLLAN_E_NOT_BITMAP);
    f = mono(10, 3);
    f.size_image = 3;  // one byte a row: shorter than 10 pixels need
    Rotate(BmpBytes(f, table, std::string(12, '\0')), TOLLAN_E_NOT_BITMAP);
    Rotate(BmpBytes(mono(10, 0), table, ""), TOLLAN_E_NOT_BITMAP);   // no division by zero
    Rotate(BmpBytes(mono(0, 3), table, ""), TOLLAN_E_NOT_BITMAP);
    Rotate(BmpBytes(mono(-4, 3), table, ""), TOLLAN_E_NOT_BITMAP);
    Rotate(BmpBytes(mono(10, 3), table, std::string(11, '\0')), TOLLAN_E_READ_BITMAP);  // rows cut short
    // Headers asking for a huge picture in a small file: refused before any block is allocated.
    Rotate(BmpBytes(mono(INT_MAX, INT_MAX), table, std::string(64, '\0')), TOLLAN_E_NO_MEMORY);
    Rotate(BmpBytes(mono(10, 1 << 20), table, std::string(64, '\0')), TOLLAN_E_READ_BITMAP);
    Rotate(MonoBmp({"#"}).substr(0, 40), TOLLAN_E_NOT_BITMAP);
    Rotate("BX" + MonoBmp({"#"}).substr(2), TOLLAN_E_NOT_BITMAP);

    EXPECT_EQ(TOLLAN_E_OPEN_FILE, RotateBitmap(dir_.Path("missing").c_str(), dir_.Path("d").c_str(), 0));
    WriteFile(dir_.Path("ok.bmp"), MonoBmp({"#.", ".#"}));
    EXPECT_EQ(TOLLAN_E_WRITE_BITMAP, RotateBitmap(dir_.Path("ok.bmp").c_str(), "/dev/full", 0));
    EXPECT_EQ(TOLLAN_E_OPEN_FILE, RotateBitmap(dir_.Path("ok.bmp").c_str(), dir_.Path("no/d").c_str(), 0));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, RotateBitmap(nullptr, dir_.Path("d").c_str(), 0));
}

}  // namespace
