#include "cli/call_report.h"

#include <array>
#include <chrono>

namespace {

constexpr std::array<const char *, 7> kPhaseWords = {
    "setting up", "connecting", "negotiating", "training", "page data", "post-page", "releasing",
};

constexpr std::array<const char *, 7> kOutcomeWords = {
    "none", "success", "partial", "retry", "failed", "local", "aborted",
};

uint32_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// A JSON string: quotes, backslashes and control bytes escaped; bytes above
// 0x7E (identities are not always ASCII) as \u00XX, so the line stays valid.
std::string JsonString(const char *text) {
    std::string out = "\"";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (*p < 0x20 || *p > 0x7E) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", *p);
            out += escaped;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out + "\"";
}

std::string Field(const char *name, long long value) { return std::string("\"") + name + "\":" + std::to_string(value); }

std::string Field(const char *name, const std::string &json) { return std::string("\"") + name + "\":" + json; }

std::string PageJson(const TollanPageReport &p) {
    return "{" + Field("bytes", p.bytes) + "," + Field("lines", p.lines) + "," + Field("bad_lines", p.bad_lines) + "," +
           Field("rate", p.rate) + "," + Field("coding", p.coding) + "," + Field("retrains", p.retrains) + "," +
           Field("ms", p.ms) + "}";
}

}  // namespace

const char *PhaseWords(int32_t phase) {
    return phase >= 0 && static_cast<size_t>(phase) < kPhaseWords.size() ? kPhaseWords[static_cast<size_t>(phase)] : "";
}

const char *OutcomeWords(int32_t outcome) {
    return outcome >= 0 && static_cast<size_t>(outcome) < kOutcomeWords.size() ? kOutcomeWords[static_cast<size_t>(outcome)]
                                                                              : "";
}

std::string ProgressText(const TollanProgress &p, uint32_t elapsed_ms) {
    std::string text = PhaseWords(p.phase);
    if (p.page > 0) {
        text += ", page " + std::to_string(p.page);
        if (p.bytes_total > 0) text += " of " + std::to_string(p.pages);
        if (p.bytes_total > 0) {
            const uint64_t percent = uint64_t{p.bytes_done > p.bytes_total ? p.bytes_total : p.bytes_done} * 100 / p.bytes_total;
            text += ", " + std::to_string(percent) + "%";
        } else {
            text += ", " + std::to_string(p.bytes_done / 1024) + " KiB";
        }
    }
    if (p.rate > 0) text += ", " + std::to_string(p.rate) + " bit/s";
    const uint32_t seconds = elapsed_ms / 1000;
    char clock[16];
    snprintf(clock, sizeof clock, "%u:%02u", seconds / 60, seconds % 60);
    return text + ", " + clock;
}

std::string ReportJson(const TollanCallReport &r) {
    std::string pages = "[";
    for (int32_t i = 0; i < r.page_count && i < TOLLAN_REPORT_PAGES; ++i) pages += (i ? "," : "") + PageJson(r.page[i]);
    pages += "]";
    return "{" + Field("outcome", JsonString(OutcomeWords(r.outcome))) + "," +
           Field("phase", JsonString(PhaseWords(r.phase))) + "," + Field("cause", r.cause) + "," +
           Field("cause_text", JsonString(GetCauseText(r.cause))) + "," + Field("code", r.code) + "," +
           Field("code_text", JsonString(GetReturnCodeText(r.code))) + "," + Field("hangup_code", r.hangup_code) + "," +
           Field("hangup_text", JsonString(GetHangupText(r.hangup_code))) + "," + Field("pages_total", r.pages_total) +
           "," + Field("pages_sent", r.pages_sent) + "," + Field("pages_confirmed", r.pages_confirmed) + "," +
           Field("pages_rejected", r.pages_rejected) + "," + Field("pages_received", r.pages_received) + "," +
           Field("remote_id", JsonString(r.remote_id)) + "," + Field("rate", r.rate) + "," +
           Field("resolution", r.resolution) + "," + Field("coding", r.coding) + "," + Field("ecm", r.ecm) + "," +
           Field("start", static_cast<long long>(r.start)) + "," + Field("duration_ms", r.duration_ms) + "," +
           Field("pages", pages) + "}";
}

std::string ReportSummary(const TollanCallReport &r) {
    std::string text = "result: " + std::string(OutcomeWords(r.outcome));
    if (r.cause != TOLLAN_CAUSE_NONE)
        text += " (" + std::string(GetCauseText(r.cause)) + ", while " + PhaseWords(r.phase) + ")";
    text += "\n";
    if (r.rate > 0)
        text += "line: " + std::to_string(r.rate) + " bit/s, " + (r.resolution == 196 ? "fine" : "standard") +
                " resolution\n";
    char duration[32];
    snprintf(duration, sizeof duration, "%u.%u s", r.duration_ms / 1000, r.duration_ms % 1000 / 100);
    return text + "call time: " + duration + "\n";
}

TollanCallReport ReadReport(int32_t channel) {
    TollanCallReport r{};
    r.size = sizeof r;
    if (GetCallReport(channel, &r) != TOLLAN_OK) {
        r = TollanCallReport{};
        r.size = sizeof r;
    }
    return r;
}

int FailureStatus(const TollanCallReport &r) { return r.outcome == TOLLAN_OUTCOME_RETRY ? 3 : 1; }

ProgressDisplay::ProgressDisplay(int32_t channel, FILE *out, bool terminal)
    : channel_(channel), out_(out), terminal_(terminal), started_ms_(NowMs()) {
    if (out_) SetProgressCallback(channel_, &ProgressDisplay::Hear, this);
}

ProgressDisplay::~ProgressDisplay() {
    if (!out_) return;
    SetProgressCallback(channel_, nullptr, nullptr);
    EndLine();
}

void ProgressDisplay::EndLine() {
    if (!line_open_) return;
    fputc('\n', out_);
    fflush(out_);
    line_open_ = false;
}

void ProgressDisplay::Hear(int32_t, const TollanProgress *progress, void *self) {
    static_cast<ProgressDisplay *>(self)->Show(*progress);
}

void ProgressDisplay::Show(const TollanProgress &p) {
    const std::string text = ProgressText(p, NowMs() - started_ms_);
    if (terminal_) {
        fprintf(out_, "\r\033[K%s", text.c_str());
        line_open_ = true;
    } else {
        // Not a terminal: a line when the phase or the page changes, not for
        // every stretch of data.
        const std::string key = std::string(PhaseWords(p.phase)) + "/" + std::to_string(p.page);
        if (key == last_plain_) return;
        last_plain_ = key;
        fprintf(out_, "progress: %s\n", text.c_str());
    }
    fflush(out_);
}
