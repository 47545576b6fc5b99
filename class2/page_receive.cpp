// One received page: the modem's data stream with its DLE framing removed,
// written to the page file up to DLE ETX, while a watchdog thread ends the
// page when the data stalls. A page is bounded in size, in time without
// progress, and by the call's own limits.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "class2/class2.h"
#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/link.h"
#include "modem/modem_io.h"
#include "platform/platform.h"

namespace {

constexpr int32_t kWatchdogLimitSeconds = 60;
// How often the watchdog looks, and the longest one wait for page data
// lasts: a stalled page ends this close to the watchdog's limit, and an abort
// or the call's time limit is seen this soon.
constexpr uint32_t kWatchdogPollMs = 250;
constexpr uint32_t kReadSliceMs = 250;
// The watchdog's mark moves on every this many data bytes, so the clock is
// not read for every byte.
constexpr int32_t kProgressBytes = 1024;
// Failed reads a page survives; one more ends it.
constexpr int32_t kMaxFailedReads = 10;
// The byte counter stops one past the limit, so it cannot overflow.
static_assert(kMaxPageBytes < INT32_MAX, "page byte counter");

// A received file being written: in blocks, every write and the close
// checked; after the first failure nothing more is written.
struct ReceivedFile {
    int fd = -1;
    int error = 0;  // errno of the first failure, 0 while all went well
    size_t used = 0;
    uint8_t buffer[8192];

    ReceivedFile() = default;
    ReceivedFile(const ReceivedFile &) = delete;
    ReceivedFile &operator=(const ReceivedFile &) = delete;
    ~ReceivedFile() {
        if (fd != -1) close(fd);
    }
};

void FlushReceivedFile(ReceivedFile &file) {
    size_t done = 0;
    while (done < file.used && file.error == 0) {
        ssize_t n = write(file.fd, file.buffer + done, file.used - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == -1 && errno != EINTR) {
            file.error = errno;
        } else if (n == 0) {
            file.error = ENOSPC;  // no progress and no reason given
        }
    }
    file.used = 0;
}

void PutBytes(ReceivedFile &file, const void *data, size_t size) {
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < size && file.error == 0; ++i) {
        file.buffer[file.used++] = bytes[i];
        if (file.used == sizeof file.buffer) FlushReceivedFile(file);
    }
}

void PutByte(ReceivedFile &file, uint8_t byte) { PutBytes(file, &byte, 1); }

// Writes what is buffered and closes; true when the whole file is on disk as
// far as the system tells.
bool CloseReceivedFile(ReceivedFile &file) {
    FlushReceivedFile(file);
    int fd = file.fd;
    file.fd = -1;
    if (close(fd) == -1 && file.error == 0) file.error = errno;
    return file.error == 0;
}

// A file that could not be written whole is not kept: the host would take
// it for the page, and a full disk needs the space.
void DiscardReceivedFile(const char *path, int error, const char *writer) {
    g_last_error = error;
    FaxTrace("%s: %s could not be written (errno %d); removed", writer, path, error);
    unlink(path);
}

// One page being received.
struct PageReception {
    int32_t channel = 0;
    int32_t byte_limit = kMaxPageBytes;
    ReceivedFile file;
    FaxWatchdog watchdog{{0}, {0}, {kWatchdogLimitSeconds}, {0}};
    int32_t count = 0;         // bytes read after the start byte, escapes included
    int32_t failed_reads = 0;
};

enum class Read { kByte, kSilence, kFailed };

// Takes one byte of the page, waiting at most one slice for it. The link
// reads the port a block at a time, so most bytes cost no system call.
Read ReadPageByte(PageReception &r, uint8_t *byte) {
    FaxChannel &c = g_channels[r.channel];
    const ssize_t got = FaxLinkTake(c, byte, 1);
    if (got == 1) return Read::kByte;
    if (got < 0) {
        RecordLastError();
        FaxTrace("FaxGetPageData: ReadFile error %d", g_last_error);
        return Read::kFailed;
    }
    const int ready = FaxLinkWait(c, kReadSliceMs);
    if (ready < 0) {
        RecordLastError();
        return Read::kFailed;
    }
    return Read::kSilence;
}

// Waits for the first byte of the page: a NUL (the start of an EOL, stored)
// or a DLE (the start of an escape). Anything before is dropped. Returns 0
// when the data begins, with *dle_pending telling which, or when the
// watchdog fired; 108 when a read failed first; the call's own limit codes.
uint16_t AwaitPageStart(PageReception &r, bool *dle_pending) {
    while (!r.watchdog.timed_out) {
        uint16_t rc = FaxCallCheck(r.channel);
        if (rc != TOLLAN_OK) return rc;
        uint8_t byte = 0;
        Read got = ReadPageByte(r, &byte);
        if (got == Read::kSilence) continue;
        if (got == Read::kFailed) {
            FaxTrace("FaxGetPageData: ページ開始待機中にエラー %d", g_last_error);
            return TOLLAN_E_READ;
        }
        if (byte == 0x00) {
            PutByte(r.file, byte);
            FaxTrace("FaxGetPageData: null received");
            *dle_pending = false;
            return TOLLAN_OK;
        }
        if (byte == kDle) {
            *dle_pending = true;
            return TOLLAN_OK;
        }
    }
    return TOLLAN_OK;
}

// Takes data bytes until DLE ETX or the watchdog's time-out, undoing the
// modem's escapes: DLE DLE is one DLE, DLE SUB two. 0; 108 after too many
// failed reads; 151 past the page size limit; the call's own limit codes.
uint16_t ReceivePageBytes(PageReception &r, bool dle_pending) {
    r.watchdog.started_at = PlatTickCount();
    while (!r.watchdog.timed_out) {
        uint16_t rc = FaxCallCheck(r.channel);
        if (rc != TOLLAN_OK) return rc;
        uint8_t byte = 0;
        Read got = ReadPageByte(r, &byte);
        if (got == Read::kSilence) continue;
        if (got == Read::kFailed) {
            ++r.failed_reads;
            FaxTrace("FaxGetPageData: データ読取失敗 %d %d", TOLLAN_E_READ, g_last_error);
            if (r.failed_reads > kMaxFailedReads) return TOLLAN_E_READ;
            continue;
        }
        // The page's stream is its start byte and these.
        if (++r.count >= r.byte_limit) {
            FaxTrace("FaxGetPageData: the page passed its limit of %d bytes", r.byte_limit);
            return TOLLAN_E_PAGE_TOO_LARGE;
        }
        // The watchdog measures its limit from the last mark.
        if (r.count % kProgressBytes == 0) r.watchdog.started_at = PlatTickCount();
        if (dle_pending) {
            dle_pending = false;
            if (byte == kEtx) return TOLLAN_OK;
            if (byte == kDle) {
                PutByte(r.file, kDle);
            } else if (byte == kSub) {
                PutByte(r.file, kDle);
                PutByte(r.file, kDle);
            }
            // Any other escape carries no data.
        } else if (byte == kDle) {
            dle_pending = true;
        } else {
            if (byte == kDc1 || byte == kDc3) FaxTrace("FaxGetPageData: got xoff/on");
            PutByte(r.file, byte);
        }
    }
    return TOLLAN_OK;
}

// The page's part between starting the watchdog and stopping it.
uint16_t ReceivePage(PageReception &r) {
    FaxTrace("FaxGetPageData: EOL待ち, got: ");
    bool dle_pending = false;
    uint16_t rc = AwaitPageStart(r, &dle_pending);
    if (rc == TOLLAN_OK && !r.watchdog.timed_out) rc = ReceivePageBytes(r, dle_pending);
    if (rc != TOLLAN_OK) return rc;

    FaxTrace("FaxGetPageData: ページ終了, 受信バイト数: %d", r.count);
    if (r.watchdog.timed_out) {
        FaxTrace("FaxGetPageData: タイムアウトのため受信中断");
        return TOLLAN_E_TIMEOUT;
    }
    return TOLLAN_OK;
}

}  // namespace

void *FaxTimeOutCounter(void *arg) {
    FaxWatchdog &watchdog = *static_cast<FaxWatchdog *>(arg);
    watchdog.started_at = PlatTickCount();
    while (!watchdog.stop) {
        uint32_t limit_ms = static_cast<uint32_t>(watchdog.limit_seconds) * 1000u;
        if (PlatElapsed(watchdog.started_at) > limit_ms) {
            watchdog.timed_out = 1;
            FaxTrace("FaxTimeOutCounter: timout in thread %d %d", static_cast<int32_t>(watchdog.started_at.load()),
                     watchdog.limit_seconds.load());
            break;
        }
        PlatSleep(kWatchdogPollMs);
    }
    FaxTrace("FaxTimeOutCounter: exiting... ");
    return nullptr;
}

uint16_t FaxGetPageData(int32_t channel, int16_t page, const char *base_name) {
    FaxChannel &c = g_channels[channel];
    char path[kFaxPathSize];
    if (!FaxPageFileName(path, base_name, page, ".g3")) return TOLLAN_E_PAGE_CREATE;
    PageReception r;
    r.channel = channel;
    r.byte_limit = PageByteLimit(c);
    uint16_t rc = FaxCreateReceivedFile(path, &r.file.fd);
    if (rc != TOLLAN_OK) return rc;

    uint64_t thread = 0;
    if (Plat().thread_start(&thread, FaxTimeOutCounter, &r.watchdog) != 0) {
        RecordLastError();
        return TOLLAN_E_THREAD;
    }
    rc = ReceivePage(r);
    // What was received stays in the file, also after a failure, unless the
    // file itself failed. A page that ended otherwise keeps its own code: the
    // call ends with it either way.
    if (!CloseReceivedFile(r.file)) {
        DiscardReceivedFile(path, r.file.error, "FaxGetPageData");
        if (rc == TOLLAN_OK) rc = TOLLAN_E_DISK;
    }
    r.watchdog.stop = 1;
    Plat().thread_join(thread);
    return rc;
}

uint16_t FaxWriteInfo(const FaxChannel &c, int16_t page, const char *base_name) {
    char path[kFaxPathSize];
    if (!FaxPageFileName(path, base_name, page, ".ffi")) {
        FaxTrace("FaxWriteInfo: ファイル %s がオープンできません", base_name);
        return TOLLAN_E_PAGE_CREATE;
    }
    ReceivedFile file;
    uint16_t rc = FaxCreateReceivedFile(path, &file.fd);
    if (rc != TOLLAN_OK) {
        FaxTrace("FaxWriteInfo: ファイル %s がオープンできません", path);
        return rc;
    }
    // Text lines end in CR LF, as the hosts reading these files expect.
    char text[kFaxPathSize + 64];
    int n = snprintf(text, sizeof text, "RemoteID = %s\r\nHangupCode = %d\r\nLines = %d\r\n", c.reports.remote_id,
                     c.reports.hangup_code, c.reports.lines_received);
    // Option 2 adds the session's vertical resolution, so that the page can
    // be shown at its aspect; option 1 keeps the three lines hosts parse.
    if (g_settings.fax_info_option == 2)
        n += snprintf(text + n, sizeof text - static_cast<size_t>(n), "Resolution = %s\r\n",
                      c.reports.session_params[0] != 0 ? "fine" : "standard");
    PutBytes(file, text, static_cast<size_t>(n));
    if (!CloseReceivedFile(file)) {
        DiscardReceivedFile(path, file.error, "FaxWriteInfo");
        return TOLLAN_E_DISK;
    }
    return TOLLAN_OK;
}
