// Lock files of serial devices, as dial-out programs on Linux share them: a
// file "LCK..<name>" in the lock directory holding the owner's process id as
// ten characters, right-aligned, and a line feed. A lock whose process is
// gone is stale and is taken over.
#include "platform/platform.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kDefaultLockDir[] = "/var/lock";
constexpr char kDevPrefix[] = "/dev/";
// A lock file that cannot be read as a process id may be one another
// program is still writing; only an older one is stale.
constexpr time_t kUnreadableLockGraceSeconds = 10;
// Stale locks removed (or a lock that vanished) before giving up the race.
constexpr int kMaxLockTries = 3;

// Closes a descriptor when it goes out of scope.
struct Descriptor {
    int fd;
    explicit Descriptor(int value) : fd(value) {}
    ~Descriptor() {
        if (fd != -1) close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
};

// Removes the temporary file when it goes out of scope.
struct TempName {
    char path[PATH_MAX] = "";
    ~TempName() {
        if (path[0]) unlink(path);
    }
};

// The lock file's name for device: the path below /dev/ with every '/' as
// '_' ("/dev/pts/3" gives "pts_3"), else the last component. A symbolic link
// is followed first, so two names of one device share one lock.
bool LockName(const char *device, char *name, size_t n) {
    char resolved[PATH_MAX];
    const char *path = realpath(device, resolved) ? resolved : device;
    const size_t prefix = sizeof kDevPrefix - 1;
    const char *rest = nullptr;
    if (strncmp(path, kDevPrefix, prefix) == 0) {
        rest = path + prefix;
    } else {
        const char *slash = strrchr(path, '/');
        rest = slash ? slash + 1 : path;
    }
    if (!*rest) return false;
    int len = snprintf(name, n, "LCK..%s", rest);
    if (len < 0 || static_cast<size_t>(len) >= n) return false;
    for (char *p = name; *p; ++p)
        if (*p == '/') *p = '_';
    return true;
}

enum class Holder { kNone, kLive, kStale };

// Reads the process id in a lock file: ASCII (leading blanks, a line end), or
// the four binary bytes of older programs. 0 when it holds neither.
long ParseHolder(const char *text, ssize_t size) {
    const char *p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (isdigit(static_cast<unsigned char>(*p))) {
        char *end = nullptr;
        long pid = strtol(p, &end, 10);
        while (*end == ' ' || *end == '\n' || *end == '\r') ++end;
        return *end == '\0' ? pid : 0;
    }
    if (size == 4) {
        int32_t binary = 0;
        memcpy(&binary, text, sizeof binary);
        return binary;
    }
    return 0;
}

// Who holds the lock at path: nobody, a live process (its id in *pid, 0
// when the file cannot be read), or a process that is gone.
Holder ExamineLock(const char *path, long *pid) {
    *pid = 0;
    Descriptor file(open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (file.fd == -1) return errno == ENOENT ? Holder::kNone : Holder::kLive;
    char text[32] = {};
    ssize_t size = read(file.fd, text, sizeof text - 1);
    if (size < 0) return Holder::kLive;
    text[size] = '\0';
    *pid = ParseHolder(text, size);
    if (*pid <= 0 || *pid > INT_MAX) {
        struct stat info {};
        if (fstat(file.fd, &info) == 0 && time(nullptr) - info.st_mtime < kUnreadableLockGraceSeconds)
            return Holder::kLive;
        return Holder::kStale;
    }
    // A process of another user is alive too (EPERM).
    if (kill(static_cast<pid_t>(*pid), 0) == 0 || errno != ESRCH) return Holder::kLive;
    return Holder::kStale;
}

// Writes this process's lock text into a new temporary file in dir.
bool WriteTempLock(const char *dir, TempName &temp) {
    int len = snprintf(temp.path, sizeof temp.path, "%s/LTMP.XXXXXX", dir);
    if (len < 0 || static_cast<size_t>(len) >= sizeof temp.path) {
        temp.path[0] = '\0';
        errno = ENAMETOOLONG;
        return false;
    }
    Descriptor file(mkostemp(temp.path, O_CLOEXEC));
    if (file.fd == -1) {
        temp.path[0] = '\0';
        return false;
    }
    char text[16];
    int n = snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
    // Other programs must be able to read whose lock it is.
    return fchmod(file.fd, 0644) == 0 && write(file.fd, text, static_cast<size_t>(n)) == n;
}

}  // namespace

const char *PlatLockDirectory() {
    // Per thread: ports on different channels open at the same time.
    static thread_local char from_profile[PATH_MAX];
    const char *dir = getenv("TOLLAN_LOCK_DIR");
    if (dir && *dir) return dir;
    if (PlatProfileString("Ports", "LockDir", from_profile, sizeof from_profile) && from_profile[0])
        return from_profile;
    return kDefaultLockDir;
}

PlatLockOutcome PlatLockDevice(const char *device, char *path, size_t n, long *holder) {
    *holder = 0;
    path[0] = '\0';
    const char *dir = PlatLockDirectory();
    char name[NAME_MAX + 1];
    if (!LockName(device, name, sizeof name)) {
        errno = ENAMETOOLONG;
        return PlatLockOutcome::kUnavailable;
    }
    int len = snprintf(path, n, "%s/%s", dir, name);
    if (len < 0 || static_cast<size_t>(len) >= n) {
        path[0] = '\0';
        errno = ENAMETOOLONG;
        return PlatLockOutcome::kUnavailable;
    }
    TempName temp;
    if (!WriteTempLock(dir, temp)) {
        // Without a lock of our own, another's is still honoured.
        int error = errno;
        if (ExamineLock(path, holder) == Holder::kLive) return PlatLockOutcome::kHeld;
        errno = error;
        return PlatLockOutcome::kUnavailable;
    }
    // link() creates the lock whole or not at all: nobody reads it half written.
    for (int attempt = 0; attempt < kMaxLockTries; ++attempt) {
        if (link(temp.path, path) == 0) return PlatLockOutcome::kTaken;
        if (errno != EEXIST) return PlatLockOutcome::kUnavailable;
        switch (ExamineLock(path, holder)) {
        case Holder::kLive:
            return PlatLockOutcome::kHeld;
        case Holder::kStale:
            if (unlink(path) == -1 && errno != ENOENT) return PlatLockOutcome::kUnavailable;
            break;
        case Holder::kNone:
            break;
        }
    }
    return PlatLockOutcome::kHeld;
}

void PlatUnlockDevice(const char *path) {
    long pid = 0;
    // Only our own lock: a lock taken over by another program stays.
    if (ExamineLock(path, &pid) == Holder::kLive && pid == static_cast<long>(getpid())) unlink(path);
}
