// POSIX implementation of the platform table.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

uint32_t PosixTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);  // wraps after 49.7 days, as the callers expect
}

void PosixSleep(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

int PollFor(int fd, short events, uint32_t timeout_ms) {
    pollfd p{fd, events, 0};
    int wait = timeout_ms > 0x7FFFFFFFu ? -1 : static_cast<int>(timeout_ms);
    for (;;) {
        int r = poll(&p, 1, wait);
        if (r == -1 && errno == EINTR) continue;
        if (r > 0 && (p.revents & POLLNVAL)) {
            errno = EBADF;
            return -1;
        }
        // POLLHUP/POLLERR count as ready: the next read or write reports them.
        return r;
    }
}

int PosixWaitReadable(int fd, int wake_fd, uint32_t timeout_ms) {
    if (wake_fd < 0) return PollFor(fd, POLLIN, timeout_ms);
    pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    int wait = timeout_ms > 0x7FFFFFFFu ? -1 : static_cast<int>(timeout_ms);
    for (;;) {
        int r = poll(p, 2, wait);
        if (r == -1 && errno == EINTR) continue;
        if (r <= 0) return r;
        if ((p[0].revents | p[1].revents) & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        return p[0].revents != 0 ? 1 : 2;
    }
}
int PosixWaitWritable(int fd, uint32_t timeout_ms) { return PollFor(fd, POLLOUT, timeout_ms); }

int PosixPortOpen(const char *device) {
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) return -1;
    if (!isatty(fd)) {
        close(fd);
        errno = ENOTTY;
        return -1;
    }
    // No sharing: a second opener of the same device is refused.
    if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        int e = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int PosixPortClose(int fd) { return close(fd); }

int PosixPortPurge(int fd) { return tcflush(fd, TCIOFLUSH); }

int PosixGetSettings(int fd, struct termios *t) { return tcgetattr(fd, t); }

int PosixSetSettings(int fd, const struct termios *t) { return tcsetattr(fd, TCSANOW, t); }

ssize_t PosixPortRead(int fd, void *buf, size_t n) {
    for (;;) {
        ssize_t r = read(fd, buf, n);
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

ssize_t PosixPortWrite(int fd, const void *buf, size_t n) {
    for (;;) {
        ssize_t r = write(fd, buf, n);
        if (r == -1 && errno == EINTR) continue;
        if (r == -1 && errno == EWOULDBLOCK) errno = EAGAIN;
        return r;
    }
}

int PosixInputWaiting(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == -1 ? -1 : n;
}

int PosixRaiseLines(int fd) {
    int bits = TIOCM_DTR | TIOCM_RTS;
    return ioctl(fd, TIOCMBIS, &bits);
}

int PosixThreadStart(uint64_t *handle, void *(*fn)(void *), void *arg) {
    pthread_t t;
    int r = pthread_create(&t, nullptr, fn, arg);
    if (r != 0) {
        errno = r;
        return -1;
    }
    *handle = static_cast<uint64_t>(t);
    return 0;
}

int PosixThreadJoin(uint64_t handle) {
    int r = pthread_join(static_cast<pthread_t>(handle), nullptr);
    if (r != 0) {
        errno = r;
        return -1;
    }
    return 0;
}

void PosixLocalTime(struct tm *out) {
    time_t now = time(nullptr);
    localtime_r(&now, out);
}

constexpr PlatformOps kPosixOps = {
    PosixTickCount,   PosixSleep,       PosixWaitReadable, PosixWaitWritable,
    PosixPortOpen,    PosixPortClose,   PosixPortPurge,    PosixGetSettings,
    PosixSetSettings, PosixPortRead,    PosixPortWrite,    PosixInputWaiting,
    PosixRaiseLines,
    PosixThreadStart, PosixThreadJoin,  PosixLocalTime,
};

const PlatformOps *g_ops = &kPosixOps;

}  // namespace

const PlatformOps &PlatformDefaults() { return kPosixOps; }

const PlatformOps *PlatformInstall(const PlatformOps *ops) {
    const PlatformOps *previous = g_ops;
    g_ops = ops ? ops : &kPosixOps;
    return previous;
}

const PlatformOps &Plat() { return *g_ops; }

void PlatDebugOutput(const char *text) {
    size_t n = strlen(text);
    while (n > 0) {
        ssize_t w = write(STDERR_FILENO, text, n);
        if (w == -1 && errno == EINTR) continue;
        if (w <= 0) return;
        text += w;
        n -= static_cast<size_t>(w);
    }
}

int PlatWakeCreate() { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

void PlatWakeSignal(int wake_fd) {
    const int saved = errno;
    const uint64_t one = 1;
    ssize_t ignored = write(wake_fd, &one, sizeof one);
    (void)ignored;
    errno = saved;
}

void PlatWakeClear(int wake_fd) {
    uint64_t count = 0;
    ssize_t ignored = read(wake_fd, &count, sizeof count);
    (void)ignored;
}

int PlatTempFile(const char *prefix, char *path, size_t n) {
    const char *dir = getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    int len = snprintf(path, n, "%s/%sXXXXXX", dir, prefix);
    if (len < 0 || static_cast<size_t>(len) >= n) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return mkostemp(path, O_CLOEXEC);
}
