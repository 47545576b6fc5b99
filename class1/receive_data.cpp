// What a class 1 modem says and delivers to a receiving station: its result
// words after a receive command (where "+FCERROR" is not a plain ERROR), the
// high-speed data of a training check or a page up to DLE ETX, and the
// quality of a received page.
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "class1/class1.h"
#include "engine/call_limits.h"
#include "engine/trace.h"
#include "image/g3_codec.h"
#include "modem/modem_io.h"

namespace {

// The training check lasts 1.5 s; its carrier may start late and end late.
constexpr uint32_t kTrainingCheckMs = 5000;
// Page data may pause (scan line fill, a slow modem) but not for this long.
constexpr uint32_t kPageSilenceMs = 10000;
// Page quality thresholds (JudgeQuality).
constexpr int32_t kMcfBadRun = 5;
constexpr int32_t kRtpBadRun = 15;
// Rows a page may have for its quality check: far above any real page.
constexpr int32_t kMaxPageRows = 16384;
constexpr int32_t kPageWidth = 1728;
constexpr size_t kResultLineSize = 256;

// The words the receiving side tells apart after a receive command: a
// carrier that is not the one asked for ("+FCERROR") is not a plain ERROR.
struct WordEntry {
    std::string_view text;
    Word word;
};
constexpr std::array<WordEntry, 5> kWords = {{
    {"+FCERROR", Word::kFcError},
    {"CONNECT", Word::kConnect},
    {"NO CARRIER", Word::kNoCarrier},
    {"ERROR", Word::kError},
    {"OK\r", Word::kOk},  // a line of its own, not inside junk
}};

Word WordIn(std::string_view line) {
    for (const WordEntry &e : kWords)
        if (line.find(e.text) != std::string_view::npos) return e.word;
    return Word::kNone;
}

}  // namespace

Word AwaitWord(int32_t channel, const FaxDeadline &deadline, uint16_t *code) {
    for (;;) {
        char line[kResultLineSize];
        *code = FaxReadRawLineUntil(channel, deadline, line, sizeof line);
        const Word word = WordIn(line);
        if (word != Word::kNone) {
            const size_t length = strcspn(line, "\r\n");
            FaxTrace("ReceiveClass1Fax: got %.*s", static_cast<int>(length), line);
            *code = TOLLAN_OK;
            return word;
        }
        if (*code != TOLLAN_OK) return Word::kNone;
    }
}

uint16_t AbortReceive(int32_t channel) {
    FaxTrace("ReceiveClass1Fax: nothing heard, receive command ended");
    uint16_t code = FaxSendString("\r", channel);
    if (code != TOLLAN_OK) return code;
    AwaitWord(channel, FaxDeadlineIn(kResultWaitMs), &code);
    return FaxCallEnded(code) ? code : uint16_t{TOLLAN_OK};
}

Hearing AwaitCarrier(const char *command, uint32_t limit_ms, int32_t channel) {
    FaxTrace("SendCmd: %s", command);
    uint16_t code = FaxSendString(command, channel);
    if (code != TOLLAN_OK) return {Heard::kFailed, code};
    const Word word = AwaitWord(channel, FaxDeadlineIn(limit_ms), &code);
    switch (word) {
    case Word::kConnect: return {Heard::kConnect, TOLLAN_OK};
    case Word::kFcError: return {Heard::kOtherCarrier, TOLLAN_OK};
    case Word::kNoCarrier: return {Heard::kNoCarrier, TOLLAN_OK};
    case Word::kError:
    case Word::kOk: return {Heard::kError, TOLLAN_OK};
    case Word::kNone: break;
    }
    if (code != TOLLAN_E_TIMEOUT) return {Heard::kFailed, code};
    code = AbortReceive(channel);
    return code == TOLLAN_OK ? Hearing{Heard::kSilence, TOLLAN_OK} : Hearing{Heard::kFailed, code};
}

namespace {

// Reads high-speed data after CONNECT up to DLE ETX: DLE DLE is one DLE,
// DLE SUB two, any other escape carries no data; each data byte goes to sink
// (false: no more). 0, or why it stopped: 117 when a byte took
// longer than byte_ms or the whole longer than total_ms.
template <typename Sink>
uint16_t ReadData(int32_t channel, uint32_t byte_ms, uint32_t total_ms, Sink &&sink) {
    const FaxDeadline total = FaxDeadlineIn(total_ms);
    bool dle_pending = false;
    for (;;) {
        const uint32_t left = FaxTimeLeft(total);
        uint8_t byte = 0;
        const uint16_t code = FaxReadByteUntil(channel, FaxDeadlineIn(left < byte_ms ? left : byte_ms), &byte);
        if (code != TOLLAN_OK) return code;
        if (dle_pending) {
            dle_pending = false;
            if (byte == kEtx) return TOLLAN_OK;
            if (byte == kDle) {
                if (!sink(kDle)) return TOLLAN_E_PAGE_TOO_LARGE;
            } else if (byte == kSub) {
                if (!sink(kDle) || !sink(kDle)) return TOLLAN_E_PAGE_TOO_LARGE;
            }
        } else if (byte == kDle) {
            dle_pending = true;
        } else if (!sink(byte)) {
            return TOLLAN_E_PAGE_TOO_LARGE;
        }
    }
}

}  // namespace

// The modem's word after DLE ETX (NO CARRIER, or OK).
void AwaitDataEnd(int32_t channel) {
    uint16_t code = TOLLAN_OK;
    AwaitWord(channel, FaxDeadlineIn(kResultWaitMs), &code);
}

TrainingCheck ReadTrainingCheck(int32_t channel) {
    TrainingCheck check{TOLLAN_OK, 0, 0};
    uint32_t run = 0;
    check.code = ReadData(channel, kResultWaitMs, kTrainingCheckMs, [&check, &run](uint8_t byte) {
        ++check.bytes;
        run = byte == 0 ? run + 1 : 0;
        if (run > check.longest_zero_run) check.longest_zero_run = run;
        return true;
    });
    return check;
}

uint16_t ReadPageData(int32_t channel, FILE *file, int64_t limit, int64_t *count) {
    const uint16_t code = ReadData(channel, kPageSilenceMs, UINT32_MAX, [file, limit, count](uint8_t byte) {
        if (++*count > limit) return false;
        return putc(byte, file) != EOF;
    });
    return code == TOLLAN_E_PAGE_TOO_LARGE && *count <= limit ? uint16_t{TOLLAN_E_DISK} : code;
}

PageQuality CheckQuality(const char *path) {
    PageQuality q{0, 0, 0, false};
    FILE *file = fopen(path, "rb");
    if (!file) return q;
    G3Reader reader{};
    StartFileReader(&reader, file, kMaxPageBytes);
    G3Rows rows{};
    G3DecodeReport report{};
    const G3DecodeOptions options{kCodingMh, kPageWidth, kMaxPageRows, "ReceiveClass1Fax"};
    const uint16_t code = DecodeG3Page(&reader, options, &rows, &report);
    fclose(file);
    q.rtc_found = code == TOLLAN_OK && rows.count < kMaxPageRows;
    // The end of page adds two blank rows.
    q.lines = q.rtc_found && rows.count >= 2 ? rows.count - 2 : rows.count;
    q.bad_lines = report.bad_rows;
    q.longest_bad_run = report.longest_bad_run;
    return q;
}

PageVerdict JudgeQuality(const PageQuality &q) {
    if (q.lines <= 0) return PageVerdict::kRtn;
    const int64_t good = q.lines - q.bad_lines;
    if (good * 100 >= int64_t{q.lines} * 95 && q.longest_bad_run <= kMcfBadRun) return PageVerdict::kMcf;
    if (good * 100 >= int64_t{q.lines} * 85 && q.longest_bad_run <= kRtpBadRun) return PageVerdict::kRtp;
    return PageVerdict::kRtn;
}

