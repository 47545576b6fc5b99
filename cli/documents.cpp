#include "cli/documents.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/common.h"
#include "cli/picture.h"
#include "tollan.h"

extern char **environ;

namespace fs = std::filesystem;

namespace {

enum class DocumentKind { kPicture, kPrintable, kPageFile };

struct Document {
    std::string path;
    DocumentKind kind = DocumentKind::kPageFile;
    Picture picture;  // kPicture
};

constexpr size_t kSniffBytes = 1024;
constexpr int32_t kStandardPageRows = 1400;

// The file's first bytes (all of it up to limit); false with the reason.
bool ReadStart(const std::string &path, size_t limit, std::string *bytes, std::string *why) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = errno ? strerror(errno) : "cannot be opened";
        return false;
    }
    bytes->assign(limit, '\0');
    in.read(bytes->data(), static_cast<std::streamsize>(limit));
    if (in.bad()) {
        *why = errno ? strerror(errno) : "read error";
        return false;
    }
    bytes->resize(static_cast<size_t>(in.gcount()));
    return true;
}

bool StartsWith(const std::string &bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() && bytes.compare(0, prefix.size(), prefix) == 0;
}

bool LooksLikeTiff(const std::string &b) {
    return StartsWith(b, std::string_view("II*\0", 4)) || StartsWith(b, std::string_view("MM\0*", 4));
}

bool LooksLikePrintable(const std::string &b) {
    // PDF may have a little before its header; PostScript, plain or DOS EPS.
    return b.find("%PDF-") != std::string::npos || StartsWith(b, "%!") || StartsWith(b, "\x04%!") ||
           StartsWith(b, "\xC5\xD0\xD3\xC6");
}

[[noreturn]] void Refuse(const std::string &file, const std::string &what) { FailUsage(file + " " + what); }

// What the file is, from its content; refuses what cannot be sent.
Document Recognise(const std::string &file) {
    std::error_code error;
    fs::file_status status = fs::status(file, error);
    if (error) Refuse(file, "cannot be read: " + error.message());
    if (fs::is_directory(status)) Refuse(file, "is a folder, not a document");
    std::string start, why;
    if (!ReadStart(file, kSniffBytes, &start, &why)) Refuse(file, "cannot be read: " + why);
    if (start.empty()) Refuse(file, "is empty: there is no page to send");
    Document doc;
    doc.path = file;
    if (LooksLikeTiff(start))
        Refuse(file, "is a TIFF document: TIFF input is not supported yet (convert its pages to PBM or PDF)");
    if (LooksLikePrintable(start)) {
        doc.kind = DocumentKind::kPrintable;
        return doc;
    }
    if (LooksLikePicture(start)) {
        uintmax_t size = fs::file_size(file, error);
        if (error || size > kMaxPictureFileBytes) Refuse(file, "is a picture too large to be a page");
        std::string bytes;
        if (!ReadStart(file, static_cast<size_t>(size), &bytes, &why)) Refuse(file, "cannot be read: " + why);
        PictureRead read = ReadPicture(bytes, &doc.picture);
        if (read != PictureRead::kOk) Refuse(file, PictureReadText(read));
        doc.kind = DocumentKind::kPicture;
        return doc;
    }
    int32_t width = 0, rows = 0;
    if (GetG3Size(file.c_str(), &width, &rows) != TOLLAN_OK || width == 0)
        Refuse(file, "is not a document tollan can send: neither BMP, PBM, PDF, PostScript nor Group 3 fax data");
    return doc;
}

// The resolution each document asks for: pictures by their geometry, page
// files by their rows, PDF and PostScript fine.
bool AsksForStandard(const Document &doc) {
    switch (doc.kind) {
    case DocumentKind::kPicture: return ResolutionOf(doc.picture) == FaxResolution::kStandard;
    case DocumentKind::kPrintable: return false;
    case DocumentKind::kPageFile: {
        int32_t width = 0, rows = 0;
        return GetG3Size(doc.path.c_str(), &width, &rows) == TOLLAN_OK && rows <= kStandardPageRows;
    }
    }
    return false;
}

bool CallIsStandard(const std::vector<Document> &docs, ResolutionChoice choice) {
    if (choice != ResolutionChoice::kAuto) return choice == ResolutionChoice::kStandard;
    for (const Document &doc : docs)
        if (!AsksForStandard(doc)) return false;
    return true;
}

std::string PagePath(const std::string &dir, int page) { return dir + "/doc_p" + std::to_string(page) + ".g3"; }

// Ghostscript's raw Group 3 device, least significant bit first, is the
// library's own page form; its dfax devices are not (their bits come out in
// the other order and inverted, so the fax would arrive as a negative).
std::vector<std::string> RenderWithGhostscript(const std::string &file, const std::string &dir, bool normal) {
    if (!ProgramOnPath("gs"))
        FailWith("sending " + file + " needs Ghostscript (gs), which is not installed: apt-get install ghostscript");
    std::string pattern = dir + "/gs_p%d.g3";
    std::vector<std::string> argv = {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=faxg3", "-dFillOrder=2",
                                     normal ? "-r204x98" : "-r204x196", "-sOutputFile=" + pattern, file};
    if (!RunProgram(argv)) FailWith("Ghostscript could not render " + file);
    std::vector<std::string> pages;
    for (int n = 1; fs::exists(dir + "/gs_p" + std::to_string(n) + ".g3"); ++n)
        pages.push_back(dir + "/gs_p" + std::to_string(n) + ".g3");
    if (pages.empty()) FailWith(file + " has no pages");
    return pages;
}

void MakePictureAPage(const Document &doc, bool standard, const std::string &dir, int page) {
    std::string bmp = dir + "/picture.bmp";
    FaxResolution resolution = standard ? FaxResolution::kStandard : FaxResolution::kFine;
    Picture fax = FaxPage(doc.picture, resolution);
    PadToPageLength(&fax, resolution);
    errno = 0;
    if (!WriteMonoBmp(fax, bmp)) FailWith("cannot write " + bmp + SystemReason());
    // The page is drawn to size and length here: BmpToG3 only pads a page
    // shorter than the length its option names, and this one is not.
    SetStretchOption(standard ? 2 : 0);
    uint16_t rc = BmpToG3(bmp.c_str(), PagePath(dir, page).c_str());
    if (rc != TOLLAN_OK) Fail("converting " + doc.path, rc);
    unlink(bmp.c_str());
}

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

bool ProgramOnPath(const char *name) {
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

bool RunProgram(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) == -1) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

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
    for (const Document &doc : docs) {
        switch (doc.kind) {
        case DocumentKind::kPicture:
            MakePictureAPage(doc, out.standard, dir, ++out.pages);
            break;
        case DocumentKind::kPrintable:
            for (const std::string &page : RenderWithGhostscript(doc.path, dir, out.standard)) {
                fs::rename(page, PagePath(dir, ++out.pages));
            }
            break;
        case DocumentKind::kPageFile: {
            std::error_code error;
            fs::copy_file(doc.path, PagePath(dir, ++out.pages), error);
            if (error) FailWith("cannot read " + doc.path + ": " + error.message());
            break;
        }
        }
    }
    for (int n = 1; n <= out.pages; ++n) FinishPage(PagePath(dir, n));
    return out;
}
