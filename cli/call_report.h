// What the command shows of a call: a progress line while it runs (redrawn
// on a terminal, plain lines otherwise), then the summary from the library's
// call report, or the report as one JSON object for scripts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tollan.h"

// Shows the progress of the calls on the channel while it exists; nothing
// when out is null.
class ProgressDisplay {
public:
    ProgressDisplay(int32_t channel, FILE *out, bool terminal);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay &) = delete;
    ProgressDisplay &operator=(const ProgressDisplay &) = delete;
    // Ends a redrawn line so that what follows starts on its own.
    void EndLine();

private:
    static void Hear(int32_t channel, const TollanProgress *progress, void *self);
    void Show(const TollanProgress &p);
    int32_t channel_;
    FILE *out_;
    bool terminal_;
    bool line_open_ = false;
    uint32_t started_ms_ = 0;
    std::string last_plain_;
};

// The progress line's text: phase, page n of N, percentage of the page's
// bytes (when its size is known), rate, elapsed time m:ss.
std::string ProgressText(const TollanProgress &p, uint32_t elapsed_ms);
// The report as one line of JSON, strings escaped.
std::string ReportJson(const TollanCallReport &r);
// The summary lines people read after a call.
std::string ReportSummary(const TollanCallReport &r);
// The channel's last report; a zeroed record (outcome none) when it cannot be read.
TollanCallReport ReadReport(int32_t channel);
// Exit status of a failed call: 3 when trying again later may succeed, else 1.
int FailureStatus(const TollanCallReport &r);
// The words for a phase, an outcome ("" for unknown values).
const char *PhaseWords(int32_t phase);
const char *OutcomeWords(int32_t outcome);
