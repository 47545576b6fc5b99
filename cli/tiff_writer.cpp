#include "cli/tiff_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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

// An open file descriptor closed when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd != -1) close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

// The document being written: where the file stands, and where the link to
// the next directory is (the header's first, then each page's last).
struct TiffDocument {
    int fd;
    uint64_t end;
    uint64_t link;
};

// Every offset in the file is 32 bits.
constexpr uint64_t kMaxTiffBytes = UINT32_MAX;

bool WriteAll(int fd, const uint8_t *data, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool Append(TiffDocument &doc, const std::vector<uint8_t> &bytes) {
    if (doc.end + bytes.size() > kMaxTiffBytes) {
        errno = EFBIG;
        return false;
    }
    if (!WriteAll(doc.fd, bytes.data(), bytes.size())) return false;
    doc.end += bytes.size();
    return true;
}

// Copies the page file after the document's end, a block at a time; returns
// its length through strip_bytes.
bool AppendStrip(TiffDocument &doc, const std::string &g3_path, uint32_t *strip_bytes) {
    Fd in(open(g3_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.fd == -1) return false;
    uint64_t start = doc.end;
    std::vector<uint8_t> block(64 * 1024);
    for (;;) {
        ssize_t got = read(in.fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        block.resize(static_cast<size_t>(got));
        if (!Append(doc, block)) return false;
        block.resize(64 * 1024);
    }
    *strip_bytes = static_cast<uint32_t>(doc.end - start);
    return true;
}

// Points the previous link at offset: the page's directory joins the chain
// only once it is written whole.
bool PatchLink(TiffDocument &doc, uint32_t offset) {
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(offset >> (8 * i));
    return pwrite(doc.fd, bytes, sizeof bytes, static_cast<off_t>(doc.link)) == sizeof bytes;
}

// Appends one page: its strip, streamed from its file, then its two
// resolution rationals and its directory, and links the directory in.
bool AppendPage(TiffDocument &doc, const TiffPage &page, uint16_t number, uint16_t total) {
    uint32_t strip_offset = static_cast<uint32_t>(doc.end);
    uint32_t strip_bytes = 0;
    if (!AppendStrip(doc, page.g3_path, &strip_bytes)) return false;

    std::vector<uint8_t> out;
    if (doc.end % 2) out.push_back(0);  // directories start on a word boundary
    uint32_t x_res = static_cast<uint32_t>(doc.end + out.size());
    Put32(out, 204);
    Put32(out, 1);
    uint32_t y_res = static_cast<uint32_t>(doc.end + out.size());
    Put32(out, page.rows < kFineRowThreshold ? 98 : 196);
    Put32(out, 1);

    uint32_t directory = static_cast<uint32_t>(doc.end + out.size());
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
    PutEntry(out, kStripByteCounts, kLong, 1, strip_bytes);
    PutEntry(out, kXResolution, kRational, 1, x_res);
    PutEntry(out, kYResolution, kRational, 1, y_res);
    PutEntry(out, kT4Options, kLong, 1, 0);  // one-dimensional coding
    PutEntry(out, kResolutionUnit, kShort, 1, 2);  // inches
    Put16(out, kPageNumber);
    Put16(out, kShort);
    Put32(out, 2);
    Put16(out, number);
    Put16(out, total);
    uint64_t next = doc.end + out.size();
    Put32(out, 0);
    if (!Append(doc, out) || !PatchLink(doc, directory)) return false;
    doc.link = next;
    return true;
}

}  // namespace

bool WriteTiffClassF(const std::vector<TiffPage> &pages, const std::string &tiff_path) {
    // A new file only, never through a link: the document goes beside the
    // received pages, and like them it is private.
    Fd out(open(tiff_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.fd == -1) return false;
    TiffDocument doc{out.fd, 0, 4};
    std::vector<uint8_t> header = {'I', 'I', 42, 0};
    Put32(header, 0);  // the first directory's offset, linked when it is written
    bool ok = Append(doc, header);
    for (size_t i = 0; ok && i < pages.size(); ++i)
        ok = AppendPage(doc, pages[i], static_cast<uint16_t>(i), static_cast<uint16_t>(pages.size()));
    int closed = close(out.fd);
    out.fd = -1;
    if (ok && closed == 0) return true;
    int error = errno;
    unlink(tiff_path.c_str());  // created by this call: no one else's file
    errno = error;
    return false;
}
