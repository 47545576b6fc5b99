// The profile reader and the temporary files of the platform layer.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

#include "engine/channel.h"
#include "platform/platform.h"

namespace {

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/tollan-ini-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_NE(-1, fd);
        close(fd);
        path_ = name;
        setenv("QUARRY_INI", path_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QUARRY_INI");
        unlink(path_.c_str());
    }
    void Write(const std::string &text) { std::ofstream(path_) << text; }
    std::string path_;
};

TEST_F(ProfileTest, ReadsKeysOfTheNamedSectionOnly) {
    Write("; comment\n[Other]\nxon_lim=1\n[ fax ]\r\n XON_LIM = 32 \r\nxoff_lim=abc\n[Ports]\nCOM3=/dev/ttyUSB0\n");
    EXPECT_EQ(32, PlatProfileInt("Fax", "xon_lim", 64));
    EXPECT_EQ(0, PlatProfileInt("Fax", "xoff_lim", 128));  // not a number reads as 0
    EXPECT_EQ(1500, PlatProfileInt("Fax", "fdr_wait", 1500));
    char device[32];
    ASSERT_TRUE(PlatProfileString("Ports", "com3", device, sizeof device));
    EXPECT_STREQ("/dev/ttyUSB0", device);
    char tiny[4];
    EXPECT_FALSE(PlatProfileString("Ports", "COM3", tiny, sizeof tiny));
    EXPECT_FALSE(PlatProfileString("Ports", "COM4", device, sizeof device));
}

TEST_F(ProfileTest, SettingsAreReadAfreshAndDefaultWithoutAFile) {
    LibrarySettings saved = g_settings;
    Write("[Fax]\nfdr_wait=250\nxoff_lim=200\n");
    LoadProfileSettings();
    EXPECT_EQ(250, g_settings.fdr_wait);
    EXPECT_EQ(200, g_settings.xoff_lim);
    EXPECT_EQ(64, g_settings.xon_lim);
    setenv("QUARRY_INI", "/nonexistent/quarry.ini", 1);
    LoadProfileSettings();
    EXPECT_EQ(1500, g_settings.fdr_wait);
    EXPECT_EQ(128, g_settings.xoff_lim);
    g_settings = saved;
}

TEST_F(ProfileTest, OutOfRangeAndOverlongLinesCannotForgeASetting) {
    // The tail of an overlong line would read as "fdr_wait=-1" if the line
    // were cut; the numbers do not fit an int.
    const std::string pad(1100, ' ');
    Write("[Fax]\nxon_lim=" + pad + "fdr_wait=-1\nxoff_lim=99999999999\nfdr_wait_x=1\n[Ports]\n"
          "COM1=-99999999999\n");
    EXPECT_EQ(1500, PlatProfileInt("Fax", "fdr_wait", 1500));
    EXPECT_EQ(64, PlatProfileInt("Fax", "xon_lim", 64));
    EXPECT_EQ(INT_MAX, PlatProfileInt("Fax", "xoff_lim", 128));
    EXPECT_EQ(INT_MIN, PlatProfileInt("Ports", "COM1", 0));
    // A line that just fits is read.
    Write("[Fax]\nfdr_wait=" + std::string(1022 - 12, ' ') + "250\n");
    EXPECT_EQ(250, PlatProfileInt("Fax", "fdr_wait", 1500));
}

TEST_F(ProfileTest, SettingsOutOfTheirRangeTakeTheDefault) {
    LibrarySettings saved = g_settings;
    Write("[Fax]\nfdr_wait=-1\nxon_lim=70000\nxoff_lim=-5\n");
    LoadProfileSettings();
    EXPECT_EQ(1500, g_settings.fdr_wait);
    EXPECT_EQ(64, g_settings.xon_lim);
    EXPECT_EQ(128, g_settings.xoff_lim);
    Write("[Fax]\nfdr_wait=60000\nxon_lim=0\nxoff_lim=32767\n");
    LoadProfileSettings();
    EXPECT_EQ(60000, g_settings.fdr_wait);
    EXPECT_EQ(0, g_settings.xon_lim);
    EXPECT_EQ(32767, g_settings.xoff_lim);
    Write("[Fax]\nfdr_wait=60001\n");
    LoadProfileSettings();
    EXPECT_EQ(1500, g_settings.fdr_wait);
    g_settings = saved;
}

TEST(TempFileTest, CreatedUnderTmpdirWithThePrefix) {
    char dir[] = "/tmp/tollan-tmpdir-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    setenv("TMPDIR", dir, 1);
    char path[260];
    int fd = PlatTempFile("nm", path, sizeof path);
    ASSERT_NE(-1, fd);
    EXPECT_EQ(std::string(dir) + "/nm", std::string(path).substr(0, strlen(dir) + 3));
    close(fd);
    unlink(path);
    char small[8];
    EXPECT_EQ(-1, PlatTempFile("nm", small, sizeof small));
    unsetenv("TMPDIR");
    rmdir(dir);
}

}  // namespace
