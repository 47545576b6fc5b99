// Page files of a base name, written from a document and read back for one:
// named and created as the library names and creates received pages.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "class2/class2.h"
#include "documents/documents.h"
#include "engine/call_limits.h"
#include "engine/tollan.h"
#include "engine/trace.h"

namespace {

// An EOL after 4 fill bits, least significant bit first: a page that starts
// with it decodes from its first row everywhere.
constexpr uint8_t kLeadingEol[] = {0x00, 0x80};
// Coded bytes are written out once this many are held.
constexpr size_t kWriteBlock = 64 * 1024;

// Ghostscript's fax output starts with a 64-byte header whose byte 29 tells
// the resolution (0 standard).
constexpr size_t kGhostscriptHeader = 64;
constexpr char kGhostscriptMark[] = "PC Research, Inc";

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

uint16_t Drain(PageWriter *w) {
    if (w->fd != -1 && !WriteAll(w->fd, w->coded.data(), w->coded.size())) {
        FaxTrace("documents: writing a page file failed: errno %d", errno);
        return TOLLAN_E_DISK;
    }
    w->coded.clear();
    return TOLLAN_OK;
}

uint16_t CloseFile(int *fd) {
    int rc = close(*fd);
    *fd = -1;
    return rc == 0 ? TOLLAN_OK : TOLLAN_E_DISK;
}

uint16_t WriteInfoFile(PageOutput *out, int32_t page, int32_t lines) {
    std::string path = PageFilePath(out->base_name, page, ".ffi");
    int fd = -1;
    if (uint16_t rc = FaxCreateReceivedFile(path.c_str(), &fd)) return rc;
    out->written.push_back(path);
    char text[128];
    int n = snprintf(text, sizeof text, "RemoteID = \r\nHangupCode = 0\r\nLines = %d\r\nResolution = %s\r\n",
                     static_cast<int>(lines), out->target_lpi == kFineLpi ? "fine" : "standard");
    bool ok = WriteAll(fd, reinterpret_cast<const uint8_t *>(text), static_cast<size_t>(n));
    if (CloseFile(&fd) != TOLLAN_OK || !ok) return TOLLAN_E_DISK;
    return TOLLAN_OK;
}

// Before the first 1 bit of the data, at least the 11 0 bits of an EOL.
bool StartsWithEol(const std::vector<uint8_t> &data) {
    int zeros = 0;
    for (uint8_t byte : data) {
        for (int bit = 0; bit < 8; ++bit, ++zeros)
            if (byte & (1 << bit)) return zeros >= 11;
    }
    return false;
}

uint16_t ReadWholeFile(const std::string &path, std::vector<uint8_t> *data) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) return errno == ENOENT ? TOLLAN_E_NO_PAGE_FILE : TOLLAN_E_OPEN_FILE;
    data->clear();
    uint8_t block[65536];
    uint16_t rc = TOLLAN_OK;
    for (;;) {
        ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            rc = TOLLAN_E_OPEN_FILE;
            break;
        }
        if (got == 0) break;
        if (data->size() + static_cast<size_t>(got) > static_cast<size_t>(kMaxPageBytes)) {
            rc = TOLLAN_E_PAGE_TOO_LARGE;
            break;
        }
        data->insert(data->end(), block, block + got);
    }
    close(fd);
    return rc;
}

}  // namespace

std::string PageFilePath(const std::string &base_name, int32_t page, const char *extension) {
    char path[kFaxPathSize];
    if (!FaxPageFileName(path, base_name.c_str(), page, extension)) return std::string();
    return path;
}

uint16_t StartOutputPage(PageOutput *out, PageWriter *w) {
    w->fd = -1;
    w->coded.clear();
    w->rows = 0;
    if (out->pages >= kMaxPagesPerDocument) return TOLLAN_E_TOO_MANY_PAGES;
    if (!out->base_name.empty()) {
        const int32_t page = out->first_page + out->pages;
        std::string path = PageFilePath(out->base_name, page, ".g3");
        if (path.empty() || PageFilePath(out->base_name, page, ".ffi").empty()) return TOLLAN_E_ARGUMENT;
        if (uint16_t rc = FaxCreateReceivedFile(path.c_str(), &w->fd)) return rc;
        out->written.push_back(path);
    }
    w->coded.assign(kLeadingEol, kLeadingEol + sizeof kLeadingEol);
    StartG3Encoder(&w->encoder, kCodingMh, 1, kFaxWidth, &w->coded);
    return TOLLAN_OK;
}

uint16_t WritePageRow(PageWriter *w, const uint8_t *row) {
    EncodeG3Row(&w->encoder, row);
    ++w->rows;
    if (w->coded.size() < kWriteBlock) return TOLLAN_OK;
    return Drain(w);
}

uint16_t FinishOutputPage(PageOutput *out, PageWriter *w) {
    FinishG3Encoder(&w->encoder);
    uint16_t rc = Drain(w);
    if (w->fd != -1 && CloseFile(&w->fd) != TOLLAN_OK && rc == TOLLAN_OK) rc = TOLLAN_E_DISK;
    if (rc != TOLLAN_OK) return rc;
    const int32_t page = out->first_page + out->pages;
    if (!out->base_name.empty()) rc = WriteInfoFile(out, page, w->rows);
    if (rc == TOLLAN_OK) ++out->pages;
    return rc;
}

void RemoveWrittenFiles(PageOutput *out) {
    for (const std::string &path : out->written) unlink(path.c_str());
    out->written.clear();
}

int32_t LpiFromInfoFile(const std::string &path) {
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) return 0;
    char line[256];
    int32_t lpi = 0;
    for (int n = 0; n < 32 && fgets(line, sizeof line, file); ++n) {
        if (strncmp(line, "Resolution", 10) != 0) continue;
        const char *value = strchr(line, '=');
        if (!value) continue;
        ++value;
        while (*value == ' ') ++value;
        if (strncmp(value, "fine", 4) == 0) lpi = kFineLpi;
        else if (strncmp(value, "standard", 8) == 0 || strncmp(value, "normal", 6) == 0) lpi = kStandardLpi;
        else if (atoi(value) > 0) lpi = atoi(value) >= 150 ? kFineLpi : kStandardLpi;
    }
    fclose(file);
    return lpi;
}

uint16_t ReadPageIn(const std::string &base_name, int32_t page, int32_t resolution, PageIn *in) {
    std::string path = PageFilePath(base_name, page, ".g3");
    if (path.empty()) return TOLLAN_E_ARGUMENT;
    if (uint16_t rc = ReadWholeFile(path, &in->data)) return rc;
    int32_t lpi = LpiFromInfoFile(PageFilePath(base_name, page, ".ffi"));
    if (in->data.size() >= kGhostscriptHeader &&
        memcmp(in->data.data() + 1, kGhostscriptMark, sizeof kGhostscriptMark) == 0) {
        if (lpi == 0) lpi = in->data[29] ? kFineLpi : kStandardLpi;
        in->data.erase(in->data.begin(), in->data.begin() + kGhostscriptHeader);
    }
    in->lpi = lpi ? lpi : TargetLpi(resolution);

    G3Reader reader;
    StartMemoryReader(&reader, in->data.data(), in->data.size());
    // Two more rows than a page may have: the blank rows of its end mark.
    const G3DecodeOptions options{kCodingMh, kFaxWidth, kMaxPageRows + 2, "documents"};
    G3DecodeReport report;
    uint16_t rc = DecodeG3Page(&reader, options, &in->rows, &report);
    if (rc != TOLLAN_OK && rc != TOLLAN_E_G3_END) return rc;
    if (in->rows.count >= options.max_rows) return TOLLAN_E_PAGE_TOO_LARGE;
    // A page that ends with its end mark decoded two blank rows of it; one
    // that ends at the end of its file (no mark) keeps the rows it has.
    in->count = rc == TOLLAN_OK ? in->rows.count - 2 : in->rows.count;
    if (in->count <= 0) {
        FaxTrace("documents: %s holds no rows", path.c_str());
        return TOLLAN_E_G3_END;
    }
    in->bad_rows = report.bad_rows;
    in->longest_bad_run = report.longest_bad_run;
    in->clean = rc == TOLLAN_OK && report.bad_rows == 0 && StartsWithEol(in->data);
    return TOLLAN_OK;
}

uint16_t CreateDocumentFile(const char *path, int *fd) {
    // Read as well: libtiff reads back the directories it links.
    *fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (*fd != -1) return TOLLAN_OK;
    FaxTrace("documents: cannot create %s: errno %d", path, errno);
    return errno == EEXIST ? TOLLAN_E_PAGE_EXISTS : TOLLAN_E_PAGE_CREATE;
}
