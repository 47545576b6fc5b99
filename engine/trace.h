// The trace log: one line per call, "hh:mm:ss message", to the trace file,
// to standard error, or nowhere, as trace_option says.
#pragma once

// Formats with printf rules. Format texts are UTF-8 in the source; Japanese
// texts reach the log as Shift_JIS (code page 932) bytes.
void FaxTrace(const char *format, ...) __attribute__((format(printf, 1, 2)));
