// Class 1 page data: a raw Group 3 page file streamed at the negotiated bit
// rate, DLE doubled, each scan line made up to the minimum scan line time
// with zero fill, and the stream stopped at the page's RTC.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <utility>

#include "class1/class1.h"
#include "class2/class2.h"
#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/modem_io.h"

namespace {

constexpr char kStopTransmitting[] = "AT+FTS=8\r";

// Zero bytes that make up one scan line when the scan exponent is 0, by
// bit-rate code; the fill target is the unit shifted left by the exponent.
// At 2400 bit/s the unit is 1: one byte already lasts 3.3 ms there, so the
// smallest whole unit gives at least the time the DCS announces (2 bytes,
// 6.7 ms, for 5 ms; 4 bytes, 13.3 ms, for 10 ms) without slowing the page.
constexpr std::array<uint32_t, 6> kFillUnits = {1, 1, 3, 4, 6, 9};

// Scan exponent by scan time code 0..7; -1 is "no minimum, no fill".
constexpr std::array<int, 8> kScanExponents = {kNoScanExponent, 0, 1, 2, 2, 3, 3, 7};

// Bytes that can carry the EOLs of an RTC when it starts on a byte boundary.
constexpr std::array<uint8_t, 15> kRtcBytes = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80,
                                               0xFE, 0xFC, 0xF8, 0xF0, 0xE0, 0xC0, 0x03};
constexpr int32_t kRtcEols = 6;
// Page bytes between two looks at whether the call may go on.
constexpr long kCallCheckBytes = 4096;
constexpr uint32_t kEolZeroBits = 11;

using File = FaxFile;

bool IsRtcByte(uint8_t byte) {
    for (uint8_t b : kRtcBytes)
        if (b == byte) return true;
    return false;
}

uint32_t FillUnit(int16_t bit_rate) {
    if (bit_rate < 0 || bit_rate >= static_cast<int16_t>(kFillUnits.size())) return 0;
    return kFillUnits[static_cast<size_t>(bit_rate)];
}

// Makes a short scan line up to the fill target with zero bytes, sent in
// front of the byte that holds the EOL's one bit.
void FillScanLine(int exponent, int32_t channel) {
    const uint32_t unit = FillUnit(g_channels[channel].bit_rate);
    const uint32_t target = unit << exponent;
    FaxTrace("Out: eol found scan=%d, i = %u, count = %u %u", exponent, target, g_class1.line_byte_count, unit);
    for (uint32_t i = g_class1.line_byte_count; i < target; ++i) (void)FaxSendByte(0x00, channel);
    g_class1.line_byte_count = 0;
}

// An exponent that gives a fill target: not "none", and small enough to shift.
bool FillsLines(int exponent) { return exponent >= 0 && exponent < 16; }

}  // namespace

int ScanExponent(int16_t scan_time) {
    if (scan_time < 0 || scan_time >= static_cast<int16_t>(kScanExponents.size())) return scan_time;
    return kScanExponents[static_cast<size_t>(scan_time)];
}

// An EOL is eleven or more 0 bits and a 1; the byte that holds that 1 ends
// it. The bits are counted, not guessed from whole zero bytes: inside a line
// two codes can meet in nine or ten 0 bits, and fill put there would corrupt
// the line, while an EOL need not contain a whole zero byte at all. Fill
// goes in front of this byte, which lengthens the EOL's run of 0 bits
// whatever its alignment, since that run always crosses into this byte.
int IsEolByte(uint8_t byte) {
    uint32_t &zeros = g_class1.trailing_zero_bits;
    if (byte == 0x00) {
        if (zeros < kEolZeroBits) zeros += 8;
        return 0;
    }
    const int eol = zeros + static_cast<uint32_t>(__builtin_ctz(byte)) >= kEolZeroBits;
    zeros = static_cast<uint32_t>(__builtin_clz(byte)) - 24;  // 0 bits after the byte's last 1
    return eol;
}

// Watches for six EOLs in a row. eol_count opens on a zero byte that follows
// at most two non-zero bytes and counts the RTC bytes after it.
void ChkRTC(uint8_t byte, int32_t channel) {
    FaxChannel &c = g_channels[channel];
    if (byte == 0x00) {
        if (g_class1.nonzero_run <= 2 && c.eol_count == 0) c.eol_count = g_class1.nonzero_run;
        g_class1.nonzero_run = 0;
        return;
    }
    if (c.eol_count == 0) {
        ++g_class1.nonzero_run;
        return;
    }
    if (!IsRtcByte(byte)) {
        c.eol_count = 0;
        return;
    }
    if (++c.eol_count >= kRtcEols) {
        FaxTrace("ChkRTC: eol count is six");
        g_class1.nonzero_run = 0;
        c.eol_count = 0;
        c.rtc_seen = 1;
    }
}

// The fill goes out before a doubled DLE, never between its two bytes: the
// byte that ends an EOL may well be 0x10.
uint16_t TTYOut(uint8_t byte, int32_t channel) {
    const FaxChannel &c = g_channels[channel];
    if (IsEolByte(byte) && c.eol_count == 0) {
        const int exponent = ScanExponent(c.scan_time);
        if (FillsLines(exponent)) FillScanLine(exponent, channel);
    }
    if (byte == kDle) {
        const uint16_t code = FaxSendByte(kDle, channel);
        if (code != TOLLAN_OK) {
            FaxTrace("TTYOut: faxsendbyte fail %d", code);
            return code;
        }
    }
    ++g_class1.line_byte_count;
    const uint16_t code = FaxSendByte(byte, channel);
    if (code != TOLLAN_OK) return code;
    ChkRTC(byte, channel);
    return TOLLAN_OK;
}

namespace {

struct PageFile {
    uint16_t code;
    File file;
};

// Opens the file of page pages_sent + 1, named as every page file of the
// library is; a one-page document may be the base file itself.
PageFile OpenPageFile(const FaxChannel &c) {
    char name[kFaxPathSize];
    if (!FaxPageFileName(name, c.fax_file, c.pages_sent + 1, ".g3")) {
        FaxTrace("SendFaxData: file name too long %s", c.fax_file);
        return {TOLLAN_E_FILE_NAME, nullptr};
    }
    if (!FaxFileExists(name)) {
        if (c.pages_total != 1 || !FaxFileExists(c.fax_file)) return {TOLLAN_E_NO_PAGE_FILE, nullptr};
        snprintf(name, sizeof name, "%s", c.fax_file);
    }
    File file(fopen(name, "rb"));
    if (!file) {
        RecordLastError();
        FaxTrace("SendFaxData: file open fail %s", name);
        return {TOLLAN_E_FILE_NAME, nullptr};
    }
    return {TOLLAN_OK, std::move(file)};
}

// Streams the open page file up to its RTC.
uint16_t StreamPage(FILE *file, int32_t channel) {
    FaxChannel &c = g_channels[channel];
    FaxTrace("SendFaxData: pages=%d", c.pages_total);
    c.eol_count = 0;
    c.rtc_seen = 0;
    FaxOutputBlocks blocks(channel);  // the page goes out a block at a time
    long sent = 0;
    for (int ch; (ch = getc(file)) != EOF;) {
        if (sent % kCallCheckBytes == 0) {
            const uint16_t code = FaxCallCheck(channel);
            if (code != TOLLAN_OK) return code;
        }
        const uint16_t code = TTYOut(static_cast<uint8_t>(ch), channel);
        if (code != TOLLAN_OK) {
            FaxTrace("SendFaxData: send byte fail %d", code);
            return code;
        }
        if (c.rtc_seen == 1) break;  // the rest of the file is not part of the page
        ++sent;
    }
    const uint16_t flushed = blocks.Finish();
    if (flushed != TOLLAN_OK) {
        FaxTrace("SendFaxData: send byte fail %d", flushed);
        return flushed;
    }
    // A page cut short by a failing read must not pass for a whole page.
    if (ferror(file)) {
        RecordLastError();
        FaxTrace("SendFaxData: read error %d", g_last_error);
        return TOLLAN_E_FILE_NAME;
    }
    FaxTrace("SendFaxData: sent %ld bytes", sent);
    return TOLLAN_OK;
}

}  // namespace

// Streams the page file of the page about to be sent, up to its RTC.
uint16_t SendFaxData(int32_t channel) {
    const PageFile page = OpenPageFile(g_channels[channel]);
    if (page.code != TOLLAN_OK) return page.code;
    return StreamPage(page.file.get(), channel);
}

// Sends page pages_sent + 1 at the channel's bit rate, then MPS or EOP. The
// page file is opened first, so a missing page leaves the modem untouched;
// the page is counted only once the called station confirms it.
uint16_t SendFaxFile(int32_t channel) {
    const FaxChannel &c = g_channels[channel];
    FaxTrace("SendFaxFile:");
    const PageFile page = OpenPageFile(c);
    if (page.code != TOLLAN_OK) {
        FaxTrace("SendFaxFile: failed %d", page.code);
        return page.code;
    }
    uint16_t code = SendCmd(kStopTransmitting, channel);
    if (code != TOLLAN_OK) {
        FaxTrace("SendFaxFile: AT+FTS8 fail");
        return code;
    }
    const char *modulation = TranslateCmd(c.bit_rate, false, channel);
    code = modulation ? SendCmd(modulation, channel) : uint16_t{TOLLAN_E_ERROR};
    if (code != TOLLAN_OK) {
        FaxTrace("SendFaxFile: sending bitrate fail");
        return code;
    }
    code = StreamPage(page.file.get(), channel);
    // DLE ETX ends the data even after a failure, so the modem takes commands again.
    (void)SendFrameEnd(channel);
    WaitOk(channel);  // OK once the data has left the modem
    if (code != TOLLAN_OK) {
        FaxTrace("SendFaxFile: failed %d", code);
        return code;
    }
    FaxTrace("SendFaxFile: sending eop %d %d", c.pages_sent, c.pages_total);
    return c.pages_sent < c.pages_total - 1 ? SendMPS(channel) : SendEOP(channel);
}
