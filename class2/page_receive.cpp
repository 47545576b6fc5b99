// One received page: the modem's data stream with its DLE framing removed,
// written to the page file up to DLE ETX, while a watchdog thread ends the
// page when the data stalls.
#include <cstdio>
#include <memory>

#include "class2/class2.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/modem_io.h"
#include "platform/platform.h"

namespace {

constexpr int32_t kWatchdogLimitSeconds = 60;
constexpr uint32_t kWatchdogPollMs = 1000;
// The watchdog's mark moves on every this many data bytes, so the clock is
// not read for every byte.
constexpr int32_t kProgressBytes = 1024;
// Failed reads a page survives; one more ends it.
constexpr int32_t kMaxFailedReads = 10;

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Waits for the first byte of the page: a NUL (the start of an EOL, stored)
// or a DLE (the start of an escape). Anything before is dropped. Returns 0
// when the data begins, with *dle_pending telling which, or when the
// watchdog fired; 108 when a read failed first.
uint16_t AwaitPageStart(int32_t channel, FILE *file, const FaxWatchdog &watchdog, bool *dle_pending) {
    for (;;) {
        if (watchdog.timed_out) return TOLLAN_OK;
        uint8_t byte = 0;
        if (FaxReadByte(channel, &byte) != TOLLAN_OK) {
            // A read blocks for io_timeout, longer than the watchdog's limit:
            // a silent line is the watchdog's time-out, not a read failure.
            if (watchdog.timed_out) return TOLLAN_OK;
            FaxTrace("FaxGetPageData: ページ開始待機中にエラー %d", g_last_error);
            return TOLLAN_E_READ;
        }
        if (byte == 0x00) {
            fputc(byte, file);
            FaxTrace("FaxGetPageData: null received");
            *dle_pending = false;
            return TOLLAN_OK;
        }
        if (byte == kDle) {
            *dle_pending = true;
            return TOLLAN_OK;
        }
    }
}

// Takes data bytes until DLE ETX or the watchdog's time-out, undoing the
// modem's escapes: DLE DLE is one DLE, DLE SUB two. Counts the bytes read.
// 0, or 108 after too many failed reads.
uint16_t ReceivePageBytes(int32_t channel, FILE *file, FaxWatchdog &watchdog, bool dle_pending, int32_t *count) {
    int32_t failed_reads = 0;
    while (!watchdog.timed_out) {
        if (*count % kProgressBytes == 0) watchdog.started_at = PlatTickCount();
        uint8_t byte = 0;
        uint16_t rc = FaxReadByte(channel, &byte);
        if (rc != TOLLAN_OK) {
            ++failed_reads;
            FaxTrace("FaxGetPageData: データ読取失敗 %d %d", rc, g_last_error);
            if (failed_reads > kMaxFailedReads) return TOLLAN_E_READ;
            continue;
        }
        ++*count;
        if (dle_pending) {
            dle_pending = false;
            if (byte == kEtx) return TOLLAN_OK;
            if (byte == kDle) {
                fputc(kDle, file);
            } else if (byte == kSub) {
                fputc(kDle, file);
                fputc(kDle, file);
            }
            // Any other escape carries no data.
        } else if (byte == kDle) {
            dle_pending = true;
        } else {
            if (byte == kDc1 || byte == kDc3) FaxTrace("FaxGetPageData: got xoff/on");
            fputc(byte, file);
        }
    }
    return TOLLAN_OK;
}

// The page's part between starting the watchdog and stopping it.
uint16_t ReceivePage(int32_t channel, int16_t page, const char *base_name, FILE *file, FaxWatchdog &watchdog) {
    FaxTrace("FaxGetPageData: EOL待ち, got: ");
    bool dle_pending = false;
    int32_t count = 0;
    uint16_t rc = AwaitPageStart(channel, file, watchdog, &dle_pending);
    if (rc == TOLLAN_OK && !watchdog.timed_out) rc = ReceivePageBytes(channel, file, watchdog, dle_pending, &count);
    if (rc != TOLLAN_OK) return rc;

    FaxTrace("FaxGetPageData: ページ終了, 受信バイト数: %d", count);
    if (watchdog.timed_out) {
        FaxTrace("FaxGetPageData: タイムアウトのため受信中断");
        rc = TOLLAN_E_TIMEOUT;
    }
    if (g_settings.fax_info_option) FaxWriteInfo(channel, page, base_name);
    return rc;
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
    char path[kFaxPathSize];
    if (!FaxPageFileName(path, base_name, page, ".g3")) return TOLLAN_E_PAGE_CREATE;
    FilePtr file(fopen(path, "wb"));
    if (!file) return TOLLAN_E_PAGE_CREATE;

    FaxWatchdog watchdog{{0}, {0}, {kWatchdogLimitSeconds}, {0}};
    uint64_t thread = 0;
    if (Plat().thread_start(&thread, FaxTimeOutCounter, &watchdog) != 0) {
        RecordLastError();
        return TOLLAN_E_THREAD;
    }
    uint16_t rc = ReceivePage(channel, page, base_name, file.get(), watchdog);
    // What was received stays in the file, also after a failure.
    file.reset();
    watchdog.stop = 1;
    Plat().thread_join(thread);
    return rc;
}

void FaxWriteInfo(int32_t channel, int16_t page, const char *base_name) {
    const FaxChannel &c = g_channels[channel];
    char path[kFaxPathSize];
    FilePtr file;
    if (FaxPageFileName(path, base_name, page, ".ffi")) file.reset(fopen(path, "wb"));
    if (!file) {
        FaxTrace("FaxWriteInfo: ファイル %s がオープンできません", path);
        return;
    }
    // Text lines end in CR LF, as the hosts reading these files expect.
    fprintf(file.get(), "RemoteID = %s\r\n", c.remote_id);
    fprintf(file.get(), "HangupCode = %d\r\n", c.hangup_code);
    fprintf(file.get(), "Lines = %d\r\n", c.lines_received);
}
