// What calls of every class do the same way: the time-outs of their phases,
// dialling, the names of page files and finding them, closing files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// io_timeout while the modem is set up, and from the dial or the answer on,
// when the modem may be silent for the length of a T.30 phase.
constexpr uint32_t kSetUpTimeoutMs = 6000;
constexpr uint32_t kCallTimeoutMs = 80000;

// Hang-up codes ("+FHNG:"/"+FHS:") the library acts on; the negative ones
// are its own.
constexpr int32_t kHangupNormal = 0;
constexpr int32_t kHangupNoLoopCurrent = 3;
constexpr int32_t kHangupRingbackNoAnswer = 4;
constexpr int32_t kHangupBusy = -2;        // the modem said BUSY
constexpr int32_t kHangupCallFailed = -1;  // the library ended a reception it could not finish

// Post-page status numbers of "+FPTS:"/"+FPS:"; class 2.0 senders learn
// only good (1) or bad (2) from the modem's final answer.
constexpr int32_t kStatusNone = -1;  // nothing reported yet
constexpr int32_t kStatusMcf = 1;    // page good
constexpr int32_t kStatusRtn = 2;    // page bad
constexpr int32_t kStatusRtp = 3;    // page good, retrain
constexpr int32_t kStatusPip = 4;    // procedure interrupt, page good
constexpr int32_t kStatusPin = 5;    // procedure interrupt, page bad

// The dial command "ATDT<number>\r\n" and the longest number it holds.
constexpr size_t kDialCommandSize = 128;
constexpr size_t kMaxDialNumberLength = kDialCommandSize - sizeof "ATDT\r\n";

// Path buffers: 259 characters and a terminator. Names that do not fit are
// refused, never cut.
constexpr size_t kFaxPathSize = 260;

struct FaxFileCloser {
    void operator()(FILE *file) const { fclose(file); }
};
using FaxFile = std::unique_ptr<FILE, FaxFileCloser>;

// True when something exists at path.
bool FaxFileExists(const char *path);
// Forms "<base name cut at the last '.' of its file name>_p<page><extension>"
// (a file name without a dot is used whole; a dot in a folder name is never
// cut at). False, with out empty, when it would not fit.
bool FaxPageFileName(char (&out)[kFaxPathSize], const char *base_name, int page, const char *extension);
// True when the base name fits a path buffer and so do the page names with
// this extension of every page from 1 to last_page.
bool FaxPageNamesFit(const char *base_name, int last_page, const char *extension);
// The checks a receiving call makes before anything else, in their order:
// 119, 102 (the call's time then starts), 118 for a missing or empty base
// name, no page counter, or page file names that would not fit.
uint16_t FaxCheckReceiveArguments(int32_t channel, const char *base_name, const int16_t *pages);
// The page file of page (1-based) of a document of pages: "<stem>_p<page>.g3",
// or for a one-page document the base name itself when that does not exist.
// 0; 118 when the name does not fit; 141 when neither file exists.
uint16_t FaxFindPageFile(char (&path)[kFaxPathSize], const char *base_name, int page, int pages);
// Dials number (tone or pulse by the channel's line type) and waits for
// expected. 0; 123 for a busy line or no answer (by the hang-up code); else
// the code of the failed wait.
uint16_t FaxDial(int32_t channel, const char *number, const char *expected);
