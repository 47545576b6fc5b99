// The trace log: one line per call, "hh:mm:ss message", to the trace file,
// to standard error, or nowhere, as trace_option says. With the channel
// flag in trace_option each line names the channel whose call wrote it:
// "hh:mm:ss [3] message". Lines from calls on different threads never mix:
// each is written whole.
#pragma once

#include <cstdint>

// Formats with printf rules. Format texts are UTF-8 in the source; Japanese
// texts reach the log as Shift_JIS (code page 932) bytes.
void FaxTrace(const char *format, ...) __attribute__((format(printf, 1, 2)));

// trace_option: where lines go (bits 0-1), and the channel flag.
constexpr int16_t kTraceTargetMask = 3;
constexpr int16_t kTraceWithChannel = 4;

// The channel whose call the calling thread runs, for the channel field
// (-1: none). Each export that works on a channel sets it as it starts.
void FaxTraceChannel(int32_t channel);
