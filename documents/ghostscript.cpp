// PDF and PostScript in: Ghostscript (run as a program, without a shell)
// renders the document at the fax resolution into a bilevel TIFF in a
// private temporary folder, and the TIFF reader takes it from there.
// PostScript is a program: its run is bounded in time, pages and bytes.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "documents/documents.h"
#include "engine/call_limits.h"
#include "engine/tollan.h"
#include "engine/trace.h"
#include "platform/platform.h"

namespace {

// The largest rendering Ghostscript may write.
constexpr rlim_t kMaxRenderingBytes = 1024ull * 1024 * 1024;
constexpr uint32_t kWaitStepMs = 20;

// The program's full path from the PATH, or "" when it is not there.
std::string FindOnPath(const char *name) {
    const char *path = getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::string();
}

// Only async-signal-safe calls between fork and exec: the host may have threads.
void RunChild(const char *program, char *const argv[]) {
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd != -1) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
    }
    struct rlimit size{kMaxRenderingBytes, kMaxRenderingBytes};
    setrlimit(RLIMIT_FSIZE, &size);
    execv(program, argv);
    _exit(127);
}

// Waits for the child by the platform clock; kills it past the limit.
uint16_t WaitForChild(pid_t pid, uint32_t limit_ms) {
    const uint32_t start = PlatTickCount();
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return TOLLAN_OK;
            FaxTrace("documents: Ghostscript ended with status %d", status);
            return TOLLAN_E_DOC_GHOSTSCRIPT;
        }
        if (done == -1 && errno != EINTR) return TOLLAN_E_DOC_GHOSTSCRIPT;
        if (PlatTickCount() - start >= limit_ms) {
            FaxTrace("documents: Ghostscript ran past %u ms; stopped", limit_ms);
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
            }
            return TOLLAN_E_DOC_GHOSTSCRIPT;
        }
        PlatSleep(kWaitStepMs);
    }
}

// A private folder for the rendering, removed with what is in it.
struct TempFolder {
    std::string path;
    std::string file;
    ~TempFolder() {
        if (!file.empty()) unlink(file.c_str());
        if (!path.empty()) rmdir(path.c_str());
    }
};

}  // namespace

uint16_t RenderWithGhostscript(const char *document, PageOutput *out, uint32_t limit_ms) {
    const std::string gs = FindOnPath("gs");
    if (gs.empty()) {
        FaxTrace("documents: PDF and PostScript need Ghostscript; \"gs\" is not on the PATH");
        return TOLLAN_E_DOC_NO_GHOSTSCRIPT;
    }
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tollan-doc-XXXXXX";
    TempFolder folder;
    if (!mkdtemp(&pattern[0])) {
        FaxTrace("documents: cannot make a temporary folder from %s: errno %d", pattern.c_str(), errno);
        return TOLLAN_E_PAGE_CREATE;
    }
    folder.path = pattern;
    folder.file = folder.path + "/render.tif";

    // One page more than a fax takes tells a document that has too many.
    std::string resolution = "-r" + std::to_string(kFaxDpi) + "x" + std::to_string(out->target_lpi);
    std::string output = "-sOutputFile=" + folder.file;
    std::string last_page = "-dLastPage=" + std::to_string(kMaxPagesPerDocument + 1);
    std::string args[] = {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE",
                          "-sDEVICE=tiffg4", resolution, last_page, output, "-f", document};
    char *argv[sizeof args / sizeof args[0] + 1];
    for (size_t i = 0; i < sizeof args / sizeof args[0]; ++i) argv[i] = &args[i][0];
    argv[sizeof args / sizeof args[0]] = nullptr;

    pid_t pid = fork();
    if (pid == -1) return TOLLAN_E_DOC_GHOSTSCRIPT;
    if (pid == 0) RunChild(gs.c_str(), argv);
    if (uint16_t rc = WaitForChild(pid, limit_ms)) return rc;

    TIFF *tif = OpenTiffFile(folder.file.c_str());
    if (!tif) return TOLLAN_E_DOC_GHOSTSCRIPT;
    uint16_t rc = ReadTiffDocument(tif, out);
    TIFFClose(tif);
    return rc;
}
