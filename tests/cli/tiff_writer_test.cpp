// The TIFF writer of `tollan receive --tiff`: a document larger than the
// memory the process may use, and files it must not write over.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/tiff_writer.h"

namespace fs = std::filesystem;

namespace {

class TiffWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tollan-tiff-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    // A page file of the given size: a few marked bytes, the rest a hole.
    TiffPage SparsePage(int n, off_t bytes) {
        std::string path = dir_ + "/p" + std::to_string(n) + ".g3";
        std::ofstream(path, std::ios::binary) << "page" << n;
        EXPECT_EQ(0, truncate(path.c_str(), bytes));
        return {path, 1728, 2200};
    }
    std::string dir_;
};

uint32_t Le32(const std::string &b, uint64_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}
uint16_t Le16(const std::string &b, uint64_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

// The value of a directory's entry for the tag (0 when it has none).
uint32_t EntryValue(const std::string &tiff, uint32_t directory, uint16_t tag) {
    uint16_t entries = Le16(tiff, directory);
    for (uint16_t i = 0; i < entries; ++i) {
        uint64_t at = directory + 2 + 12u * i;
        if (Le16(tiff, at) == tag) return Le16(tiff, at + 2) == 3 ? Le16(tiff, at + 8) : Le32(tiff, at + 8);
    }
    return 0;
}

uint64_t VirtualMemoryBytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    statm >> pages;
    return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

TEST_F(TiffWriterTest, ADocumentLargerThanTheMemoryAllowedIsWrittenPageByPage) {
    const off_t page_bytes = 24 << 20;
    std::vector<TiffPage> pages = {SparsePage(1, page_bytes), SparsePage(2, page_bytes), SparsePage(3, page_bytes + 1)};
    std::string tiff = dir_ + "/doc.tif";
    // The child may grow by 32 MiB: less than one page and a half.
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        uint64_t limit = VirtualMemoryBytes() + (32u << 20);
        struct rlimit r {limit, limit};
        if (setrlimit(RLIMIT_AS, &r) != 0) _exit(3);
        _exit(WriteTiffClassF(pages, tiff) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

    // The directories chain the pages in order, each strip the page file as it is.
    std::ifstream in(tiff, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ("II*", bytes.substr(0, 3));
    uint32_t directory = Le32(bytes, 4);
    for (size_t i = 0; i < pages.size(); ++i) {
        ASSERT_NE(0u, directory) << "page " << i + 1;
        ASSERT_EQ(0u, directory % 2);
        uint32_t offset = EntryValue(bytes, directory, 273), count = EntryValue(bytes, directory, 279);
        EXPECT_EQ(static_cast<uint32_t>(fs::file_size(pages[i].g3_path)), count);
        EXPECT_EQ("page" + std::to_string(i + 1), bytes.substr(offset, 5));
        EXPECT_EQ(i, EntryValue(bytes, directory, 297));  // page number, first short
        directory = Le32(bytes, directory + 2 + 12u * Le16(bytes, directory));
    }
    EXPECT_EQ(0u, directory) << "the last page ends the chain";
}

TEST_F(TiffWriterTest, NeverWritesOverAFileOrThroughALink) {
    std::vector<TiffPage> pages = {SparsePage(1, 100)};
    std::string existing = dir_ + "/existing.tif", victim = dir_ + "/victim", link = dir_ + "/link.tif";
    std::ofstream(existing) << "keep";
    std::ofstream(victim) << "keep";
    ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));
    EXPECT_FALSE(WriteTiffClassF(pages, existing));
    EXPECT_FALSE(WriteTiffClassF(pages, link));
    EXPECT_EQ(4u, fs::file_size(existing));
    EXPECT_EQ(4u, fs::file_size(victim));

    // A page that cannot be read leaves no document behind.
    std::string tiff = dir_ + "/new.tif";
    EXPECT_FALSE(WriteTiffClassF({pages[0], {dir_ + "/missing.g3", 1728, 10}}, tiff));
    EXPECT_FALSE(fs::exists(tiff));
    ASSERT_TRUE(WriteTiffClassF(pages, tiff));
    EXPECT_EQ(0600u, static_cast<unsigned>(fs::status(tiff).permissions()) & 0777u);
}

}  // namespace
