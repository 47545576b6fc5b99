// The class 2 and class 2.0 fax sessions: what their files call of each other.
// The exported entry points (SendFax, WaitForRing, ReceiveFax) are declared in
// engine/tollan.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "image/line_coding.h"
#include "modem/call_setup.h"

struct FaxChannel;

// Post-page message that ends a page of a sending session.
enum FaxPpmType : int {
    kPpmMps = 0,  // another page follows
    kPpmEom = 1,  // end of message, a new procedure follows
    kPpmEop = 2,  // end of procedure
};

// ---- Page file names (page_file.cpp) --------------------------------------

// Creates a received file for writing, with the library's page file mode,
// never following a link and never opening an existing file. 0 with *fd;
// 154 when the name exists, 116 when it cannot be made (errno in last_error).
uint16_t FaxCreateReceivedFile(const char *path, int *fd);
// Creates and removes a page's file, to learn before a call is answered that
// it can be received. 0, 116, 118 (name too long), 154.
uint16_t FaxProbePageFile(const char *base_name, int page, const char *extension);

// ---- Session parameters (session_params.cpp) ------------------------------

// VR of a capability list for the channel's resolution: 1 fine, 0 normal.
int FaxVerticalResolution(int32_t resolution);

// Sends the local identity ("+FLID", or "+FLI" in class 2.0; a class 2 modem
// that refuses "+FLID" is tried with "+FLI"). 0, 121.
uint16_t FaxSetLocalID(int32_t channel, const char *id);
// Sends the sending side's capabilities with the given VR and, when
// min_speed is 2400 bit/s or more, the minimum speed. 0, 122.
uint16_t FaxSetFDCC(int32_t channel, int vr, int32_t min_speed);
// The receiving side's set-up: enable reception, capabilities, bit order
// (class 2) or flow control (class 2.0). 0, 110, 122, 128, 142.
uint16_t FaxSetUpReception(int32_t channel);

// How the session's pages go on the line, from what the modem reported of it
// ("+FDCS:"/"+FCS:" DF, VR, WD); MH when it reported nothing. Traced when
// the pages are recoded.
LineCoding FaxSessionLineCoding(const FaxChannel &c);

// ---- Sending a page (send_page.cpp, post_page.cpp) ------------------------

// "AT+FDT", then the page file's data with DLE doubled under XON/XOFF, then
// FaxSendPPM. The data goes in the coding the modem reported for the session
// (MR or MMR coded from the MH file). 0, 100, 107, 117, 129, 130, 134, 151,
// 999, or FaxSendPPM's code; the page's
// status as the modem reported it in *page_status (when given).
uint16_t FaxSendPage(const char *file_name, int ppm_type, int32_t channel, int32_t *page_status = nullptr);
// Ends the page data and sends the post-page message. 0, 107, 117, 999, or
// the code of the class 2 response wait; the page's status as the modem
// reported it in *page_status (when given).
uint16_t FaxSendPPM(int32_t channel, int ppm_type, int32_t *page_status = nullptr);

// ---- Receiving (receive.cpp, page_receive.cpp) ----------------------------

// Writes text to the channel's port. 0, 107.
uint16_t SendString(int32_t channel, const char *text);

// Shared by FaxGetPageData and its watchdog thread; each side polls the
// other's fields, so every field is atomic.
struct FaxWatchdog {
    std::atomic<int32_t> timed_out;       // set by the thread when the limit passed
    std::atomic<int32_t> stop;            // set by the receiver to end the thread
    std::atomic<int32_t> limit_seconds;   // allowed seconds without progress
    std::atomic<uint32_t> started_at;     // tick count the limit is measured from
};

// The watchdog thread: sets timed_out once limit_seconds pass after
// started_at, or ends when stop is set.
void *FaxTimeOutCounter(void *watchdog);
// Receives one page into its page file, up to DLE ETX; a page in the MR or
// MMR coding the modem reported is stored as MH (100 when memory runs out,
// 151 also past the row limit). 0; 108; 116 and 154
// (the file cannot be made, or exists); 117 (no progress for 60 s); 126;
// 151 (past the page size limit); 153 (the file could not be written whole:
// it is removed, the errno in last_error); 158, 159 (the call's limits).
// The file of a page that ended otherwise keeps what arrived.
uint16_t FaxGetPageData(int32_t channel, int16_t page, const char *base_name);
// Writes the page information file (".ffi") of a page from what the channel
// record holds. 0, 116, 153, 154; a failure is traced, and a file not
// written whole is removed.
uint16_t FaxWriteInfo(const FaxChannel &c, int16_t page, const char *base_name);
