// Page files: a document's pages live beside its base name as
// "<stem>_p<page>.g3", with "<stem>_p<page>.ffi" for the page information.
// The stem is the base name without the extension of its file name; a dot in
// a folder name is part of the folder. Received files are created afresh,
// never through a link and never over an existing file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "class2/class2.h"
#include "engine/channel.h"
#include "engine/trace.h"

uint16_t FaxCreateReceivedFile(const char *path, int *fd) {
    // O_EXCL also refuses a symbolic link in the file's place, dangling or not.
    *fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
               static_cast<mode_t>(g_settings.page_file_mode));
    if (*fd != -1) return TOLLAN_OK;
    RecordLastError();
    if (g_last_error == EEXIST) {
        FaxTrace("FaxCreateReceivedFile: %s exists; nothing is written over it", path);
        return TOLLAN_E_PAGE_EXISTS;
    }
    FaxTrace("FaxCreateReceivedFile: cannot create %s: errno %d", path, g_last_error);
    return TOLLAN_E_PAGE_CREATE;
}

uint16_t FaxProbePageFile(const char *base_name, int page, const char *extension) {
    char path[kFaxPathSize];
    if (!FaxPageFileName(path, base_name, page, extension)) return TOLLAN_E_ARGUMENT;
    int fd = -1;
    uint16_t rc = FaxCreateReceivedFile(path, &fd);
    if (rc != TOLLAN_OK) return rc;
    close(fd);
    if (unlink(path) == -1) {
        RecordLastError();
        FaxTrace("FaxProbePageFile: cannot remove the probe %s: errno %d", path, g_last_error);
        return TOLLAN_E_PAGE_CREATE;
    }
    return TOLLAN_OK;
}
