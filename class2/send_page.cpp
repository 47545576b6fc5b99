// One page of a sending session: "AT+FDT", then the page file's data with
// every DLE doubled, under XON/XOFF flow control, then the post-page message.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <vector>

#include "class2/class2.h"
#include "engine/call_limits.h"
#include "engine/call_report.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "image/page_header.h"
#include "modem/dialect.h"
#include "modem/link.h"
#include "modem/modem_io.h"
#include "modem/response.h"
#include "platform/platform.h"

namespace {

constexpr size_t kBlockSize = 64;  // file bytes per port write, twice that after DLE doubling
// A class 2 modem needs a moment after CONNECT before it says XON.
constexpr uint32_t kXonSettleMs = 2000;

// GhostScript's fax output starts with a 64-byte header: a zero byte, this
// text and its terminating zero, and at offset 29 the resolution (0 normal).
constexpr size_t kGhostScriptHeaderSize = 64;
constexpr char kGhostScriptMark[] = "PC Research, Inc";
constexpr size_t kGhostScriptMarkOffset = 1;
constexpr size_t kGhostScriptResolutionOffset = 29;

bool IsGhostScriptHeader(const uint8_t *block, size_t n) {
    return n == kGhostScriptHeaderSize &&
           memcmp(block + kGhostScriptMarkOffset, kGhostScriptMark, sizeof kGhostScriptMark) == 0;
}

bool IsTiffFile(const uint8_t *block, size_t n) {
    return n >= 2 && ((block[0] == 'I' && block[1] == 'I') || (block[0] == 'M' && block[1] == 'M'));
}

const char *ResolutionName(bool fine) { return fine ? "fine" : "normal"; }

// Looks at the first block of a page file: returns where its data starts
// (past GhostScript's header), tracing a resolution that differs from the
// session's and warning about a TIFF file, which the modem cannot send.
size_t PageDataStart(const uint8_t *block, size_t n, const FaxReports &reports) {
    if (IsGhostScriptHeader(block, n)) {
        FaxTrace("FaxSendPage: GhostScriptヘダーをスキップ");
        bool session_fine = reports.session_params[0] != 0;
        bool data_fine = block[kGhostScriptResolutionOffset] != 0;
        if (session_fine != data_fine) {
            FaxTrace("FaxSendPage: sending in %s mode, fax data is %s mode", ResolutionName(session_fine),
                     ResolutionName(data_fine));
            FaxTrace("FaxSendPage: 解像度不一致");
        }
        return kGhostScriptHeaderSize;
    }
    if (IsTiffFile(block, n)) {
        FaxTrace("FaxSendPage: TIFFファイル？");
        FaxTrace("WARNING: TIFFはサポートされていないので、送信は失敗します");
    }
    return 0;
}

// Copies data to out with every DLE written twice, so that the modem takes it
// as data and not as a command. out holds twice n. Returns the length.
size_t DoubleDles(const uint8_t *data, size_t n, uint8_t *out) {
    size_t length = 0;
    for (size_t i = 0; i < n; ++i) {
        if (data[i] == kDle) out[length++] = kDle;
        out[length++] = data[i];
    }
    return length;
}

// Reads and traces what the modem sent while the page went out; the data
// phase has no use for it, but the port's input queue must not fill up. Only
// what had arrived when it began: a modem that never stops talking must not
// hold the page.
void DrainModemReplies(FaxChannel &c) {
    for (int pending = FaxPendingInput(c); pending > 0; --pending) {
        uint8_t byte = 0;
        const ssize_t got = FaxLinkTake(c, &byte, 1);
        if (got < 0) {
            RecordLastError();
            FaxTrace("FaxSendPage: ReadFile失敗 %d", g_last_error);
            return;
        }
        if (got == 0) return;
        if (byte >= 32 && byte <= 127)
            FaxTrace("FaxSendPage: got %c", byte);
        else
            FaxTrace("FaxSendPage: got %x", static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(byte))));
    }
}

// Class 2: the modem says DC1 when it is ready for the data; anything before
// it is dropped, and the whole wait ends io_timeout after it began. 0, 117,
// 158, 159.
uint16_t WaitForXon(int32_t channel) {
    FaxTrace("FaxSendPage: XON 待ち, got:");
    FaxCallPause(channel, kXonSettleMs);
    const FaxDeadline deadline = FaxDeadlineIn(g_channels[channel].io_timeout);
    for (;;) {
        uint8_t byte = 0;
        const uint16_t code = FaxReadByteUntil(channel, deadline, &byte);
        if (code != TOLLAN_OK) {
            FaxTrace("FaxSendPage:XON待ちでタイムアウト (class2)");
            return FaxCallEnded(code) ? code : static_cast<uint16_t>(TOLLAN_E_TIMEOUT);
        }
        if (byte == kDc1) {
            FaxTrace("FaxsendPage: got XON");
            return TOLLAN_OK;
        }
    }
}

// Writes one block of page data with every DLE doubled, and reads what the
// modem said meanwhile. 0, 107.
uint16_t WritePageBlock(int32_t channel, const uint8_t *data, size_t n, uint64_t *total) {
    uint8_t out[2 * kBlockSize] = {};
    const size_t length = DoubleDles(data, n, out);
    const ssize_t written = FaxPortWrite(channel, out, length);
    if (written < 0) {
        RecordLastError();
        FaxTrace("FaxSendPage: WriteFile API失敗 %d", g_last_error);
        return TOLLAN_E_WRITE;
    }
    if (static_cast<size_t>(written) < length) {
        FaxTrace("FaxSendPage: すべてのバイトを出力できませんでした %d bytes", static_cast<int>(length));
        return TOLLAN_E_WRITE;
    }
    *total += static_cast<uint64_t>(written);
    DrainModemReplies(g_channels[channel]);
    return TOLLAN_OK;
}

// Streams the page file to the port as it is. 0, 107, 158, 159.
uint16_t StreamPageFile(FILE *file, int32_t channel, uint64_t *total) {
    uint8_t block[kBlockSize];
    uint32_t done = 0;
    for (bool first = true;; first = false) {
        // A long page must not outlast the call's limits.
        const uint16_t limit = FaxCallCheck(channel);
        if (limit != TOLLAN_OK) return limit;
        const size_t got = fread(block, 1, sizeof block, file);
        if (got == 0) return TOLLAN_OK;
        const size_t start = first ? PageDataStart(block, got, g_channels[channel].reports) : 0;
        const uint16_t rc = WritePageBlock(channel, block + start, got - start, total);
        if (rc != TOLLAN_OK) return rc;
        done += static_cast<uint32_t>(got);
        FaxReportPageBytes(channel, done);
    }
}

// Reads the page file whole, bounded by the page size limit, and codes its
// data (past a GhostScript header) for the line. 0; 130 when it cannot be
// read; 151, 134 (no page in it), 100.
uint16_t CodePageFile(FILE *file, int32_t channel, const LineCoding &line, std::vector<uint8_t> *coded) {
    const size_t limit = static_cast<size_t>(kMaxPageBytes) + kGhostScriptHeaderSize;
    std::vector<uint8_t> data;
    uint8_t block[4096];
    for (size_t got; (got = fread(block, 1, sizeof block, file)) > 0;) {
        if (data.size() + got > limit) {
            FaxTrace("FaxSendPage: the page file passes %zu bytes", limit);
            return TOLLAN_E_PAGE_TOO_LARGE;
        }
        data.insert(data.end(), block, block + got);
    }
    if (ferror(file)) {
        RecordLastError();
        return TOLLAN_E_OPEN_FILE;
    }
    const size_t head = data.size() < kGhostScriptHeaderSize ? data.size() : kGhostScriptHeaderSize;
    const size_t start = PageDataStart(data.data(), head, g_channels[channel].reports);
    const uint16_t rc = CodePageForLine(data.data() + start, data.size() - start, line, coded);
    if (rc != TOLLAN_OK) FaxTrace("FaxSendPage: the page cannot be coded for the line: %d", rc);
    return rc;
}

// Streams the page coded for the line to the port. 0, 107, 158, 159.
uint16_t StreamCodedPage(const std::vector<uint8_t> &coded, int32_t channel, uint64_t *total) {
    for (size_t at = 0; at < coded.size(); at += kBlockSize) {
        const uint16_t limit = FaxCallCheck(channel);
        if (limit != TOLLAN_OK) return limit;
        const size_t n = coded.size() - at < kBlockSize ? coded.size() - at : kBlockSize;
        const uint16_t rc = WritePageBlock(channel, coded.data() + at, n, total);
        if (rc != TOLLAN_OK) return rc;
        FaxReportPageBytes(channel, static_cast<uint32_t>(at + n));
    }
    return TOLLAN_OK;
}

// Sends the page file's data, in the session's coding on the line. 0, 100,
// 107, 130, 134, 151, 158, 159.
uint16_t SendPageFile(const char *file_name, int32_t channel) {
    FaxTrace("FaxSendPage:ファイル %s を送信中...", file_name);
    FaxFile file(FaxOpenPageToSend(file_name, g_channels[channel].pages_sent + 1, channel));
    if (!file) {
        RecordLastError();
        FaxTrace("FaxSendPage:ファイル %s がオープンできません。err=%d", file_name, g_last_error);
        return TOLLAN_E_OPEN_FILE;
    }
    uint64_t total = 0;  // a page file may pass 2 GiB
    const LineCoding line = FaxSessionLineCoding(g_channels[channel]);
    const int32_t page = g_channels[channel].pages_sent + 1;
    uint32_t page_bytes = 0;  // the data as it goes on the line, for the report
    uint16_t rc = TOLLAN_OK;
    if (LineCodingIsMh(line)) {
        struct stat info {};
        if (fstat(fileno(file.get()), &info) == 0) page_bytes = static_cast<uint32_t>(info.st_size);
        FaxReportPageStart(channel, page, page_bytes);
        rc = StreamPageFile(file.get(), channel, &total);
    } else {
        std::vector<uint8_t> coded;
        rc = CodePageFile(file.get(), channel, line, &coded);
        page_bytes = static_cast<uint32_t>(coded.size());
        if (rc == TOLLAN_OK) FaxReportPageStart(channel, page, page_bytes);
        if (rc == TOLLAN_OK) rc = StreamCodedPage(coded, channel, &total);
    }
    if (rc != TOLLAN_OK) return rc;
    file.reset();
    FaxReportPageEnd(channel, page_bytes, 0, 0);
    FaxTrace("FaxSendPage: ページ送信終了 %llu bytes", static_cast<unsigned long long>(total));
    return TOLLAN_OK;
}

}  // namespace

uint16_t FaxSendPage(const char *file_name, int ppm_type, int32_t channel, int32_t *page_status) {
    FaxChannel &c = g_channels[channel];
    FaxTrace("FaxSendPage: (\"%s\") 開始...", file_name);
    FaxCommandPause(c);
    FaxReportsBeginPage(c.reports);

    uint16_t rc = FaxCommandWait("AT+FDT\r\n", "CONNECT", channel);
    if (rc != TOLLAN_OK || c.reports.hangup_seen) {
        FaxTrace("FaxSendPage:AT+FDT エラー rc=%d, code=%d, ファックス送信中断", rc, c.reports.hangup_code);
        return TOLLAN_E_NO_CONNECT;
    }
    if (FaxDialectOf(c).waits_for_xon) {
        rc = WaitForXon(channel);
        if (rc != TOLLAN_OK) return rc;
    }
    rc = FaxSetXonXoff(c, true);
    if (rc != TOLLAN_OK) return rc;

    rc = SendPageFile(file_name, channel);
    if (rc != TOLLAN_OK) {
        // Left on, XON/XOFF would swallow the DC1 the next page waits for.
        FaxSetXonXoff(c, false);
        return rc;
    }
    FaxCommandPause(c);
    rc = FaxSetXonXoff(c, false);
    if (rc != TOLLAN_OK) FaxTrace("FaxSendPage: xon/xoffフロー制御の解除に失敗 %d", rc);
    return FaxSendPPM(channel, ppm_type, page_status);
}
