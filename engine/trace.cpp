#include "engine/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/channel.h"
#include "platform/platform.h"

namespace {

constexpr size_t kBufferSize = 256;
constexpr size_t kChannelFieldMax = 16;  // "[-2147483648] "
constexpr size_t kStampLength = 9;                                 // "hh:mm:ss "
constexpr size_t kMaxMessage = kBufferSize - 1 - kStampLength - 1;  // 245: room for the line feed

bool IsAscii(const char *text) {
    for (; *text; ++text)
        if (static_cast<unsigned char>(*text) >= 0x80) return false;
    return true;
}

bool IsTrailByte(unsigned char b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }

// Replaces control bytes, lone high bytes and lead bytes without a valid
// trail byte with spaces, keeping Shift_JIS pairs whole, and cuts the message
// to what a line can hold without splitting a pair. Returns the length kept.
// Remote text reaches the trace, so no byte it chooses may end a line or
// start a terminal sequence.
size_t SanitiseMessage(char *message) {
    size_t i = 0;
    while (message[i] != '\0' && i < kMaxMessage) {
        unsigned char b = static_cast<unsigned char>(message[i]);
        if (PlatIsLeadByte(b)) {
            unsigned char trail = static_cast<unsigned char>(message[i + 1]);
            if (trail == '\0') break;  // a lead byte before the end ends the scan
            if (IsTrailByte(trail)) {
                if (i + 2 > kMaxMessage) break;
                i += 2;
                continue;
            }
            message[i++] = ' ';  // the byte after it is checked on its own
            continue;
        }
        if (static_cast<signed char>(b) < 32) message[i] = ' ';
        ++i;
    }
    message[i] = '\0';
    return i;
}

// A trace file is created private: it holds the remote's identity and the
// modem's words. A symlink or anything but a regular file is not written to,
// so a link planted where the trace goes cannot redirect it.
constexpr mode_t kTraceFileMode = 0600;

void AppendToTraceFile(const char *line, size_t length) {
    if (g_settings.trace_file[0] == '\0') return;
    int fd = open(g_settings.trace_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                  kTraceFileMode);
    if (fd == -1) return;  // an unopenable file drops the line
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        ssize_t ignored = write(fd, line, length);
        (void)ignored;
    }
    close(fd);
}

// One writer at a time: a line goes out whole, whatever other channels'
// threads write at the same moment.
std::mutex g_trace_lock;

thread_local int32_t t_trace_channel = -1;

// "[3] " in the channel mode, nothing otherwise; returns its length.
size_t FormatChannelField(char *out, size_t n) {
    if (!(g_settings.trace_option & kTraceWithChannel)) return 0;
    int written = t_trace_channel >= 0 ? snprintf(out, n, "[%d] ", t_trace_channel) : snprintf(out, n, "[-] ");
    return written > 0 ? static_cast<size_t>(written) : 0;
}

}  // namespace

void FaxTraceChannel(int32_t channel) { t_trace_channel = channel; }

void FaxTrace(const char *format, ...) {
    if (g_settings.trace_option == 0) return;

    // Japanese texts live in the format; convert it before the arguments go in.
    char converted[kBufferSize * 2];
    if (!IsAscii(format) && PlatUtf8ToCp932(format, converted, sizeof converted)) format = converted;

    char message[kBufferSize];
    va_list args;
    va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vsnprintf(message, sizeof message, format, args);
#pragma GCC diagnostic pop
    va_end(args);

    struct tm now {};
    Plat().local_time(&now);
    char line[kBufferSize + kChannelFieldMax + 1];
    int n = snprintf(line, sizeof line, "%02d:%02d:%02d ", now.tm_hour % 100, now.tm_min % 100, now.tm_sec % 100);
    size_t length = static_cast<size_t>(n);
    length += FormatChannelField(line + length, kChannelFieldMax);
    size_t kept = SanitiseMessage(message);
    memcpy(line + length, message, kept);
    length += kept;

    const int16_t target = g_settings.trace_option & kTraceTargetMask;
    std::lock_guard<std::mutex> hold(g_trace_lock);
    if (target == 1) {
        // The file keeps DOS line ends.
        line[length++] = '\r';
        line[length++] = '\n';
        AppendToTraceFile(line, length);
    } else if (target == 2) {
        line[length++] = '\n';
        line[length] = '\0';
        PlatDebugOutput(line);
    }
}
