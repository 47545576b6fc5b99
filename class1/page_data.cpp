// Class 1 page data: a raw Group 3 page file streamed at the negotiated bit
// rate, DLE doubled, each scan line made up to the minimum scan line time
// with zero fill, the stream stopped at the page's RTC, and an RTC added
// when the file's data ends without one.
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
#include "engine/call_report.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "image/page_header.h"
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
// Six EOLs on byte boundaries, the first bit of the stream in the least
// significant bit: the RTC a page without one is given.
constexpr std::array<uint8_t, 9> kRtc = {0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80};
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
uint16_t FillScanLine(PageStream &stream) {
    PageScan &scan = *stream.scan;
    const uint32_t target = stream.fill_unit << stream.scan_exponent;
    FaxTrace("Out: eol found scan=%d, i = %u, count = %u %u", stream.scan_exponent, target, scan.line_byte_count,
             stream.fill_unit);
    for (uint32_t i = scan.line_byte_count; i < target; ++i) {
        const uint16_t code = FaxSendByte(0x00, stream.channel);
        if (code != TOLLAN_OK) return code;
    }
    scan.line_byte_count = 0;
    return TOLLAN_OK;
}

// An exponent that gives a fill target: not "none", and small enough to shift.
bool FillsLines(int exponent) { return exponent >= 0 && exponent < 16; }

}  // namespace

int ScanExponent(int16_t scan_time) {
    if (scan_time < 0 || scan_time >= static_cast<int16_t>(kScanExponents.size())) return scan_time;
    return kScanExponents[static_cast<size_t>(scan_time)];
}

PageStream OpenPageStream(int32_t channel) {
    const FaxChannel &c = g_channels[channel];
    return {channel, ScanExponent(c.scan_time), FillUnit(c.bit_rate), &g_class1_page_scan[channel]};
}

// An EOL is eleven or more 0 bits and a 1; the byte that holds that 1 ends
// it. The bits are counted, not guessed from whole zero bytes: inside a line
// two codes can meet in nine or ten 0 bits, and fill put there would corrupt
// the line, while an EOL need not contain a whole zero byte at all. Fill
// goes in front of this byte, which lengthens the EOL's run of 0 bits
// whatever its alignment, since that run always crosses into this byte.
bool EndsEol(uint32_t zero_bits_before, uint8_t byte) {
    return byte != 0x00 && zero_bits_before + static_cast<uint32_t>(__builtin_ctz(byte)) >= kEolZeroBits;
}

// Counting stops at an EOL's eleven: more 0 bits change nothing.
uint32_t ZeroBitsAfter(uint32_t zero_bits_before, uint8_t byte) {
    if (byte != 0x00) return static_cast<uint32_t>(__builtin_clz(byte)) - 24;  // 0 bits after the byte's last 1
    return zero_bits_before < kEolZeroBits ? zero_bits_before + 8 : zero_bits_before;
}

namespace {

// EOLs in a row once the byte is scanned: a 1 bit that does not end an EOL
// is line data and breaks the row; 0 bits (fill) do not.
uint32_t EolRunAfter(uint32_t run, uint32_t zero_bits_before, uint8_t byte) {
    if (byte == 0x00) return run;
    if (!EndsEol(zero_bits_before, byte)) return 0;
    return __builtin_popcount(byte) == 1 ? run + 1 : 0;
}

}  // namespace

// Watches for six EOLs in a row. eol_count opens on a zero byte that follows
// at most two non-zero bytes and counts the RTC bytes after it.
void ChkRTC(uint8_t byte, PageScan &scan) {
    if (byte == 0x00) {
        if (scan.nonzero_run <= 2 && scan.eol_count == 0) scan.eol_count = scan.nonzero_run;
        scan.nonzero_run = 0;
        return;
    }
    if (scan.eol_count == 0) {
        ++scan.nonzero_run;
        return;
    }
    if (!IsRtcByte(byte)) {
        scan.eol_count = 0;
        return;
    }
    if (++scan.eol_count >= kRtcEols) {
        FaxTrace("ChkRTC: eol count is six");
        scan.nonzero_run = 0;
        scan.eol_count = 0;
        scan.rtc_seen = true;
    }
}

// The fill goes out before a doubled DLE, never between its two bytes: the
// byte that ends an EOL may well be 0x10.
uint16_t TTYOut(uint8_t byte, PageStream &stream) {
    PageScan &scan = *stream.scan;
    const bool eol = EndsEol(scan.trailing_zero_bits, byte);
    scan.eol_run = EolRunAfter(scan.eol_run, scan.trailing_zero_bits, byte);
    scan.trailing_zero_bits = ZeroBitsAfter(scan.trailing_zero_bits, byte);
    if (eol && scan.eol_count == 0 && FillsLines(stream.scan_exponent)) {
        const uint16_t code = FillScanLine(stream);
        if (code != TOLLAN_OK) {
            FaxTrace("TTYOut: faxsendbyte fail %d", code);
            return code;
        }
    }
    if (byte == kDle) {
        const uint16_t code = FaxSendByte(kDle, stream.channel);
        if (code != TOLLAN_OK) {
            FaxTrace("TTYOut: faxsendbyte fail %d", code);
            return code;
        }
    }
    ++scan.line_byte_count;
    const uint16_t code = FaxSendByte(byte, stream.channel);
    if (code != TOLLAN_OK) return code;
    ChkRTC(byte, scan);
    return TOLLAN_OK;
}

namespace {

struct PageFile {
    uint16_t code;
    File file;
};

// Opens the page's file, named as every page file of the library is; a
// one-page document may be the base file itself.
PageFile OpenPageFile(const PageRef &page, int32_t channel) {
    char name[kFaxPathSize];
    if (!FaxPageFileName(name, page.document, page.number, ".g3")) {
        FaxTrace("SendFaxData: file name too long %s", page.document);
        return {TOLLAN_E_FILE_NAME, nullptr};
    }
    if (!FaxFileExists(name)) {
        if (page.pages_total != 1 || !FaxFileExists(page.document)) return {TOLLAN_E_NO_PAGE_FILE, nullptr};
        snprintf(name, sizeof name, "%s", page.document);
    }
    File file(FaxOpenPageToSend(name, page.number, channel));
    if (!file) {
        RecordLastError();
        FaxTrace("SendFaxData: file open fail %s", name);
        return {TOLLAN_E_FILE_NAME, nullptr};
    }
    return {TOLLAN_OK, std::move(file)};
}

// A page whose data ends without RTC gets one: a receiver cannot tell
// otherwise where the page ended. Data that ends with six EOLs, on byte
// boundaries or not, already has its RTC.
uint16_t EndWithRtc(PageStream &stream) {
    if (stream.scan->rtc_seen || stream.scan->eol_run >= kRtcEols) return TOLLAN_OK;
    FaxTrace("SendFaxData: no RTC at the end of the page, RTC added");
    for (uint8_t byte : kRtc) {
        const uint16_t code = TTYOut(byte, stream);
        if (code != TOLLAN_OK) {
            FaxTrace("SendFaxData: send byte fail %d", code);
            return code;
        }
    }
    return TOLLAN_OK;
}

// Streams the open page file up to its RTC, or adds the RTC it lacks.
uint16_t StreamPage(FILE *file, const PageRef &page, int32_t channel) {
    FaxTrace("SendFaxData: pages=%d", page.pages_total);
    PageStream stream = OpenPageStream(channel);
    PageScan &scan = *stream.scan;
    scan.eol_count = 0;
    scan.rtc_seen = false;
    scan.eol_run = 0;
    FaxOutputBlocks blocks(channel);  // the page goes out a block at a time
    long sent = 0;
    struct stat info {};
    const bool sized = fstat(fileno(file), &info) == 0;
    FaxReportPageStart(channel, page.number, sized ? static_cast<uint32_t>(info.st_size) : 0);
    for (int ch; (ch = getc(file)) != EOF;) {
        if (sent % kCallCheckBytes == 0) {
            const uint16_t code = FaxCallCheck(channel);
            if (code != TOLLAN_OK) return code;
            FaxReportPageBytes(channel, static_cast<uint32_t>(sent));
        }
        const uint16_t code = TTYOut(static_cast<uint8_t>(ch), stream);
        if (code != TOLLAN_OK) {
            FaxTrace("SendFaxData: send byte fail %d", code);
            return code;
        }
        if (scan.rtc_seen) break;  // the rest of the file is not part of the page
        ++sent;
    }
    // A page cut short by a failing read must not pass for a whole page.
    if (ferror(file)) {
        RecordLastError();
        FaxTrace("SendFaxData: read error %d", g_last_error);
        return TOLLAN_E_FILE_NAME;
    }
    FaxTrace("SendFaxData: sent %ld bytes", sent);
    const uint32_t page_bytes = static_cast<uint32_t>(scan.rtc_seen ? sent + 1 : sent);  // with the RTC's last byte
    const uint16_t code = EndWithRtc(stream);
    if (code != TOLLAN_OK) return code;
    const uint16_t flushed = blocks.Finish();
    if (flushed != TOLLAN_OK) FaxTrace("SendFaxData: send byte fail %d", flushed);
    if (flushed == TOLLAN_OK) FaxReportPageEnd(channel, page_bytes, 0, 0);
    return flushed;
}

}  // namespace

// Streams the page's file, up to its RTC.
uint16_t SendFaxData(const PageRef &page, int32_t channel) {
    const PageFile file = OpenPageFile(page, channel);
    if (file.code != TOLLAN_OK) return file.code;
    return StreamPage(file.file.get(), page, channel);
}

// Sends the page at the channel's bit rate and ends its data. The page file
// is opened first, so a missing page leaves the modem untouched.
uint16_t SendFaxFile(const PageRef &page, int32_t channel) {
    FaxTrace("SendFaxFile:");
    const PageFile file = OpenPageFile(page, channel);
    if (file.code != TOLLAN_OK) {
        FaxTrace("SendFaxFile: failed %d", file.code);
        return file.code;
    }
    uint16_t code = SendCmd(kStopTransmitting, channel);
    if (code != TOLLAN_OK) {
        FaxTrace("SendFaxFile: AT+FTS8 fail");
        return code;
    }
    const char *modulation = TranslateCmd(g_channels[channel].bit_rate, false, Direction::kTransmit, channel);
    code = modulation ? SendCmd(modulation, channel) : uint16_t{TOLLAN_E_ERROR};
    if (code != TOLLAN_OK) {
        FaxTrace("SendFaxFile: sending bitrate fail");
        return code;
    }
    code = StreamPage(file.file.get(), page, channel);
    // DLE ETX ends the data even after a failure, so the modem takes commands
    // again; the first failure is the page's.
    const uint16_t end = SendFrameEnd(channel);
    if (end == TOLLAN_OK) WaitOk(channel);  // OK once the data has left the modem
    if (code == TOLLAN_OK) code = end;
    if (code != TOLLAN_OK) FaxTrace("SendFaxFile: failed %d", code);
    return code;
}

uint16_t CodePageFile(const PageRef &page, int32_t channel, G3Coding coding, std::vector<uint8_t> *out) {
    const PageFile file = OpenPageFile(page, channel);
    if (file.code != TOLLAN_OK) return file.code;
    const int k = MrRowsPerOneD(g_channels[channel].resolution);
    return CodePageForLine(file.file.get(), PageByteLimit(g_channels[channel]), coding, k, out);
}

// The coded page holds its own end of page: streamed whole, lines filled,
// its RTC not looked for.
uint16_t SendCodedPage(const PageRef &page, int32_t channel, G3Coding coding) {
    std::vector<uint8_t> coded;
    uint16_t code = CodePageFile(page, channel, coding, &coded);
    if (code != TOLLAN_OK) return code;
    code = SendCmd(kStopTransmitting, channel);
    const char *modulation = TranslateCmd(g_channels[channel].bit_rate, false, Direction::kTransmit, channel);
    if (code == TOLLAN_OK) code = modulation ? SendCmd(modulation, channel) : uint16_t{TOLLAN_E_ERROR};
    if (code != TOLLAN_OK) return code;
    PageStream stream = OpenPageStream(channel);
    stream.scan->eol_count = 0;
    {
        FaxOutputBlocks blocks(channel);
        for (size_t i = 0; i < coded.size() && code == TOLLAN_OK; ++i) {
            if (i % kCallCheckBytes == 0) code = FaxCallCheck(channel);
            if (code == TOLLAN_OK) code = TTYOut(coded[i], stream);
            stream.scan->eol_count = 0;  // fill every line, the end's included
        }
        const uint16_t flushed = blocks.Finish();
        if (code == TOLLAN_OK) code = flushed;
    }
    const uint16_t end = SendFrameEnd(channel);
    if (end == TOLLAN_OK) WaitOk(channel);
    if (code == TOLLAN_OK) code = end;
    if (code != TOLLAN_OK) FaxTrace("SendCodedPage: failed %d", code);
    return code;
}
