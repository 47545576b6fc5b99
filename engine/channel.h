// The channel table, the library-wide settings and last_error: the static
// data every part of the library works on.
#pragma once

#include <cstdint>

#include "modem/link.h"
#include "tollan.h"

constexpr int kMaxChannels = 20;

// What the modem reported of the running call, in one place. The response
// interpreter (modem/response.cpp) writes these as the reports arrive and
// clears them where a call or a page begins (FaxReportsBeginCall,
// FaxReportsBeginPage, FaxReportsBeginReception); class 1 writes remote_id
// from the called station's identity frame and clears hangup_code before it
// dials. The sessions read them where they decide: class2/send.cpp after each
// page, class2/receive.cpp when it judges a page and at the end of a page.
struct FaxReports {
    int32_t hangup_seen;        // a hang-up report ("+FHNG:"/"+FHS:") or a final failure word came
    int32_t hangup_code;        // its code; 0 after a failure word, -1 when a reception failed here
    int32_t page_status;        // the last page's status ("+FPTS:"/"+FPS:", class 2.0 sending: its answer)
    int32_t lines_received;     // 9999 when the last page report gave no counts
    int32_t lines_bad;
    int32_t lines_bad_run;
    int32_t bytes_lost;
    int32_t line_counts_valid;  // 1 when the last page report counted lines
    int16_t session_params[8];  // resolution, bit rate, width, length, format, ECM, BFT, scan time
    char dcs_report[129];       // last "+FDCS:"/"+FCS:" line
    char remote_id[129];        // remote station identity, as FaxNormaliseIdentity gives it
    int32_t poll_requested;     // the remote asked to poll ("+FDTC:"/"+FTC:")
};

// One modem. Zero-filled at load; a record keeps its values after its channel
// is closed, and PortOpen sets only some of them afresh.
struct FaxChannel {
    int32_t in_use;             // 1 while the slot holds an open channel
    int comm_handle;            // the port's file descriptor
    int16_t line_type;          // 0 tone, 1 pulse dialling
    int16_t modem_class;        // 0 auto, 1 class 1, 2 class 2, 3 class 2.0; -1 selection failed
    int16_t scan_time;          // minimum scan time code 0..7
    int16_t bit_rate;           // 0..5: 2400 bit/s per step above 2400
    char local_id[130];         // local station identity
    int32_t command_interval;   // ms slept after a command before reading its response
    uint32_t io_timeout;        // ms within which a byte must be read or a command written
    int32_t resolution;         // 0 fine, other standard
    FaxReports reports;         // what the modem reported of the running call
    int16_t pages_sent;
    int32_t max_page_bytes;     // received page limit; 0 the library's
    int32_t max_pages;          // pages of one receiving call; 0 the library's
    int32_t call_seconds;       // time limit of one call; 0 the library's
    uint32_t call_started;      // tick count at the start of the running call
    FaxLink link;               // all I/O with the modem (modem/link.h)
    char ring_text[256];        // WaitForRing: text after the last line end, kept for the next poll
    int32_t ring_length;
    int16_t error_correction;   // TOLLAN_ECM_*; kept across opens
    int16_t codings;            // TOLLAN_COMPRESS_* sum; 0 means one-dimensional only
};

struct LibrarySettings {
    int32_t modem_command_interval;
    int16_t trace_option;
    char trace_file[260];
    int16_t fax_info_option;
    int16_t stretch_option;
    int16_t shrink_option;
    int16_t shrink_height;
    int16_t shrink_width;
    int16_t xon_lim;
    int16_t xoff_lim;
    int32_t fdr_wait;
    int32_t page_file_mode;     // permission bits of received files
};

extern FaxChannel g_channels[kMaxChannels];
extern LibrarySettings g_settings;
// __thread, not thread_local: a constant-initialised per-thread value needs no
// initialisation function, which other objects would otherwise call through a
// weak reference.
extern __thread int32_t g_last_error;

// The codings the channel offers (TOLLAN_COMPRESS_* sum, MH always among them);
// MMR only when error correction is on.
int32_t OfferedCodings(const FaxChannel &c);

// The first free slot, or -1 when all are in use.
int FindFreeSlot();
// True when channel is a valid slot number.
bool ChannelInRange(int32_t channel);
// Records the current errno as the library's last error.
void RecordLastError();
// Reads xon_lim, xoff_lim and fdr_wait from the profile's [Fax] section.
void LoadProfileSettings();
// An argument the library takes as 16 bits: its low 16 bits, signed.
inline int16_t Low16(int value) { return static_cast<int16_t>(static_cast<uint16_t>(value & 0xFFFF)); }
