// The operating-system services the library uses, behind one table of
// functions. The library reaches the OS only through the Plat* wrappers below;
// a test installs its own table (a faster clock, a failing port) at run time
// with PlatformInstall. Every call that fails leaves errno set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <termios.h>

struct PlatformOps {
    // Monotonic milliseconds; unsigned 32-bit, wraps like a tick count.
    uint32_t (*tick_count)();
    void (*sleep_ms)(uint32_t ms);
    // Wait until fd is readable, at most timeout_ms on the clock above, or
    // until wake_fd (-1: none) is readable: 1 fd readable, 2 woken by wake_fd
    // alone (left readable), 0 timed out, -1 error.
    int (*wait_readable)(int fd, int wake_fd, uint32_t timeout_ms);
    // Wait until fd is writable, at most timeout_ms. >0 ready, 0 timed out, -1 error.
    int (*wait_writable)(int fd, uint32_t timeout_ms);

    // Serial port. Open is non-blocking and exclusive; -1 on failure.
    int (*port_open)(const char *device);
    int (*port_close)(int fd);
    int (*port_purge)(int fd);  // drop queued input and output
    int (*port_get_settings)(int fd, struct termios *settings);
    int (*port_set_settings)(int fd, const struct termios *settings);
    // Returns what has arrived, 0 when nothing has; never blocks.
    ssize_t (*port_read)(int fd, void *buf, size_t n);
    // Returns the count written; -1 with errno EAGAIN when the port is full.
    ssize_t (*port_write)(int fd, const void *buf, size_t n);
    // Number of received bytes waiting to be read; -1 on failure.
    int (*port_input_waiting)(int fd);
    // Raise DTR and RTS; ENOTTY/EINVAL on pseudo-terminals mean "not applicable".
    int (*port_raise_lines)(int fd);

    // Threads: start runs fn(arg) on a new thread; join waits for it.
    int (*thread_start)(uint64_t *handle, void *(*fn)(void *), void *arg);
    int (*thread_join)(uint64_t handle);

    // Local calendar time (for trace stamps and page information files).
    void (*local_time)(struct tm *out);
};

// The POSIX implementation.
const PlatformOps &PlatformDefaults();
// Install a table (nullptr restores the defaults); returns the previous one.
const PlatformOps *PlatformInstall(const PlatformOps *ops);
const PlatformOps &Plat();

inline uint32_t PlatTickCount() { return Plat().tick_count(); }
inline void PlatSleep(uint32_t ms) { Plat().sleep_ms(ms); }
inline uint32_t PlatElapsed(uint32_t since) { return PlatTickCount() - since; }

// Profile "quarry.ini": $QUARRY_INI, else /etc/quarry.ini, read afresh per call.
const char *PlatProfilePath();
int PlatProfileInt(const char *section, const char *key, int fallback);
// Copies the value into out (size n, terminated); false when absent or too long.
bool PlatProfileString(const char *section, const char *key, char *out, size_t n);

// Lock files of serial devices ("LCK..<name>", the convention dial-out
// programs share). The directory: $TOLLAN_LOCK_DIR, else key LockDir of
// section [Ports] in the profile, else /var/lock.
const char *PlatLockDirectory();
enum class PlatLockOutcome {
    kTaken,        // the lock is ours; path names it
    kHeld,         // a live process holds it; *holder is its id (0 when unreadable)
    kUnavailable,  // no lock could be made (no lock directory, no write access); errno says why
};
// Takes the lock of device, its file name stored in path (size n).
PlatLockOutcome PlatLockDevice(const char *device, char *path, size_t n, long *holder);
// Removes the lock file at path if it still names this process.
void PlatUnlockDevice(const char *path);

// A wake descriptor: one thread (or a signal handler) makes it readable to
// end another's wait_readable. Create returns -1 with errno on failure;
// Signal is async-signal-safe and keeps errno; Clear makes it unreadable.
int PlatWakeCreate();
void PlatWakeSignal(int wake_fd);
void PlatWakeClear(int wake_fd);

// Debugger output: standard error.
void PlatDebugOutput(const char *text);

// Shift_JIS (code page 932) lead byte of a double-byte character.
bool PlatIsLeadByte(unsigned char byte);
// Converts UTF-8 text to code page 932 into out (size n). Returns false when
// it cannot (out then holds nothing usable); callers use the text as it is.
bool PlatUtf8ToCp932(const char *text, char *out, size_t n);

// Creates a temporary file "<dir>/<prefix>XXXXXX" under $TMPDIR, else /tmp.
// Returns its descriptor and its name in path, or -1.
int PlatTempFile(const char *prefix, char *path, size_t n);
