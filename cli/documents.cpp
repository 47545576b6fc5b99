#include "cli/documents.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "cli/common.h"
#include "cli/return_codes.h"
#include "tollan.h"
#include "tollan_documents.h"

namespace fs = std::filesystem;

namespace {

// A document the documents library reads, or a raw Group 3 page file.
struct Document {
    std::string path;
    bool page_file = false;
    bool asks_standard = false;
};

// A page file of at most this many rows is a standard page (a Legal page at
// 98 lines per inch is 1372 rows).
constexpr int32_t kStandardPageRows = 1400;

[[noreturn]] void Refuse(const std::string &file, const std::string &what) { FailUsage(file + " " + what); }

// "201 (the TIFF cannot be read ...)" for a message.
std::string CodeWithText(uint16_t rc) { return std::to_string(rc) + " (" + ReturnCodeText(rc) + ")"; }

// Fails as the library's code says: a document that cannot be read is a
// usage error (nothing was dialled), a missing Ghostscript or a full disk not.
[[noreturn]] void FailConverting(const std::string &file, uint16_t rc) {
    if (rc == TOLLAN_E_DOC_NO_GHOSTSCRIPT)
        FailWith("sending " + file + " needs Ghostscript (gs), which is not installed: apt-get install ghostscript");
    if (rc == TOLLAN_E_DOC_GHOSTSCRIPT) FailWith("Ghostscript could not render " + file);
    if (rc == TOLLAN_E_PAGE_CREATE || rc == TOLLAN_E_DISK || rc == TOLLAN_E_PAGE_EXISTS || rc == TOLLAN_E_NO_MEMORY)
        Fail("converting " + file, rc);
    Refuse(file, "cannot be sent: " + CodeWithText(rc));
}

// What the file is, from its content; refuses what cannot be sent.
Document Recognise(const std::string &file) {
    std::error_code error;
    fs::file_status status = fs::status(file, error);
    if (error) Refuse(file, "cannot be read: " + error.message());
    if (fs::is_directory(status)) Refuse(file, "is a folder, not a document");
    std::string problem = FileProblem(file);
    if (!problem.empty()) Refuse(file, "cannot be read" + problem);
    if (fs::file_size(file, error) == 0 || error) Refuse(file, "is empty: there is no page to send");
    Document doc;
    doc.path = file;
    int32_t resolution = 0;
    uint16_t rc = GetDocumentResolution(file.c_str(), &resolution);
    if (rc == TOLLAN_OK) {
        doc.asks_standard = resolution != 0;
        return doc;
    }
    if (rc != TOLLAN_E_DOC_FORMAT) Refuse(file, "cannot be sent: " + CodeWithText(rc));
    int32_t width = 0, rows = 0;
    if (GetG3Size(file.c_str(), &width, &rows) != TOLLAN_OK || width == 0)
        Refuse(file, "is not a document tollan can send: neither TIFF, PDF, PostScript, BMP, PBM nor Group 3 fax "
                     "data");
    doc.page_file = true;
    doc.asks_standard = rows <= kStandardPageRows;
    return doc;
}

bool CallIsStandard(const std::vector<Document> &docs, ResolutionChoice choice) {
    if (choice != ResolutionChoice::kAuto) return choice == ResolutionChoice::kStandard;
    for (const Document &doc : docs)
        if (!doc.asks_standard) return false;
    return true;
}

std::string PagePath(const std::string &dir, int page) { return dir + "/doc_p" + std::to_string(page) + ".g3"; }

void FinishPage(const std::string &path) {
    errno = 0;
    if (!EnsurePageEndsWithRtc(path)) FailWith("cannot complete the page file " + path + SystemReason());
}

// A bit stream's trailing EOLs with nothing but fill between them.
int TrailingEols(const std::string &data) {
    int eols = 0, zeros = 0;
    for (unsigned char byte : data)
        for (int bit = 0; bit < 8; ++bit) {
            if ((byte >> bit) & 1) {
                eols = zeros >= 11 ? eols + 1 : 0;
                zeros = 0;
            } else {
                ++zeros;
            }
        }
    return eols;
}

}  // namespace

std::string PagesBaseName(const std::string &dir) { return dir + "/doc.g3"; }

bool EnsurePageEndsWithRtc(const std::string &path) {
    // Six EOLs, least significant bit first: eleven 0 bits, then a 1 bit.
    static constexpr char kRtc[] = "\x00\x08\x80\x00\x08\x80\x00\x08\x80";
    constexpr int kRtcEols = 6;
    // The end of the page is in its last bytes; a page file may be large.
    constexpr std::streamoff kTailBytes = 4096;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    in.seekg(size > kTailBytes ? size - kTailBytes : 0);
    std::string tail((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (TrailingEols(tail) >= kRtcEols) return true;
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(kRtc, sizeof kRtc - 1);
    return static_cast<bool>(out.flush());
}

PreparedPages PreparePages(const std::vector<std::string> &files, const std::string &dir, ResolutionChoice choice) {
    std::vector<Document> docs;
    for (const std::string &file : files) docs.push_back(Recognise(file));
    PreparedPages out;
    out.standard = CallIsStandard(docs, choice);
    const std::string base = PagesBaseName(dir);
    for (const Document &doc : docs) {
        if (doc.page_file) {
            std::error_code error;
            const std::string page = PagePath(dir, ++out.pages);
            fs::copy_file(doc.path, page, error);
            if (error) FailWith("cannot read " + doc.path + ": " + error.message());
            FinishPage(page);
            continue;
        }
        int16_t pages = 0;
        uint16_t rc = ConvertDocumentToPages(doc.path.c_str(), base.c_str(), out.standard ? 1 : 0,
                                             static_cast<int16_t>(out.pages + 1), &pages);
        if (rc != TOLLAN_OK) FailConverting(doc.path, rc);
        if (pages == 0) Refuse(doc.path, "has no pages");
        out.pages += pages;
    }
    return out;
}
