// The session parameters of a call in words, for people reading the trace:
// the DIS, DTC and DCS frames of class 1 and the "+FDIS:"/"+FIS:",
// "+FDCS:"/"+FCS:" and "+FDTC:"/"+FTC:" reports of class 2 and 2.0, one line
// each ("DCS: V.17 14400, fine, A4 1728 dots, unlimited length, MH, no ECM,
// scan 0 ms").
#pragma once

#include <cstddef>
#include <cstdint>

// What the parameters are: a station's capabilities (DIS, DTC) or the
// choice for the session (DCS).
enum class FaxSessionKind { kDis, kDtc, kDcs };

// Room for the words of any frame or report, terminator included.
constexpr size_t kSessionWordsSize = 256;

// The words of a DIS, DTC or DCS information field of length bytes (bits
// beyond it count as 0). Always terminated; cut to fit size.
void FaxFrameWords(FaxSessionKind kind, const uint8_t *fif, size_t length, char *out, size_t size);
// The words of a class 2/2.0 report's values in their order (resolution,
// bit rate, width, length, data format, error correction, file transfer,
// scan time); count of them given (fewer: the rest are not named).
void FaxReportWords(FaxSessionKind kind, const int32_t *values, int count, char *out, size_t size);

// Traces a class 1 frame (control, FCF, information field; length bytes)
// in words when it is a DIS, DTC or DCS, with its information bytes.
void FaxTraceFrameWords(const uint8_t *frame, size_t length);
// Traces a class 2/2.0 report line in words when it is one of the above.
void FaxTraceReportWords(const char *line);
