#include "cli/documents.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/common.h"
#include "tollan.h"

extern char **environ;

namespace fs = std::filesystem;

namespace {

enum class DocumentKind { PageFile, Bitmap, Printable };

DocumentKind KindOf(const std::string &path) {
    size_t dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot);
    if (strcasecmp(ext.c_str(), ".bmp") == 0) return DocumentKind::Bitmap;
    for (const char *printable : {".pdf", ".ps", ".eps"})
        if (strcasecmp(ext.c_str(), printable) == 0) return DocumentKind::Printable;
    return DocumentKind::PageFile;
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

int PreparePages(const std::vector<std::string> &files, const std::string &dir, bool normal_resolution) {
    int pages = 0;
    for (const std::string &file : files) {
        if (!fs::exists(file)) FailWith(file + ": no such file");
        switch (KindOf(file)) {
        case DocumentKind::Bitmap: {
            uint16_t rc = BmpToG3(file.c_str(), PagePath(dir, pages + 1).c_str());
            if (rc != TOLLAN_OK) Fail("converting " + file, rc);
            ++pages;
            break;
        }
        case DocumentKind::Printable:
            for (const std::string &page : RenderWithGhostscript(file, dir, normal_resolution)) {
                fs::rename(page, PagePath(dir, ++pages));
            }
            break;
        case DocumentKind::PageFile: {
            std::error_code error;
            fs::copy_file(file, PagePath(dir, ++pages), error);
            if (error) FailWith("cannot read " + file + ": " + error.message());
            break;
        }
        }
    }
    return pages;
}
