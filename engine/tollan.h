/*
 * tollan - a fax-modem engine.
 *
 * What does it do?
 *   It works fax modems on serial ports: it opens and initialises a modem,
 *   sends a fax through a class 2 or class 2.0 modem, watches a line for rings
 *   and receives a fax, sends a fax through a class 1 modem (running the T.30
 *   procedure itself), and converts pages between 1-bit BMP files and raw
 *   Group 3 page files. Up to twenty modems are served at once, each on its own
 *   channel (0 to 19).
 *
 * How does it work?
 *   PortOpen claims a channel and returns its number; every per-channel call
 *   takes that number. Each call runs to its end on the caller's thread and
 *   returns a 16-bit code, 0 for success (TOLLAN_OK and the codes below).
 *   A document is a set of page files named from a base name: for the base
 *   name "letter.tif" and two pages, "letter_p1.g3" and "letter_p2.g3".
 *   What happened in detail goes to the trace log (SetTraceOption).
 *   Threads (since 1.1): calls on different channels may run at the same
 *   time, each on its own thread; the channels share nothing but the
 *   library-wide settings. One channel takes one call at a time (AbortCall
 *   excepted: any thread, or a signal handler, may ask a running call to
 *   stop). PortOpen claims a slot with the class SetModemClass chose for it:
 *   open ports one at a time (other channels' calls may run meanwhile). Set
 *   the library-wide settings before calls start. Conversions keep their
 *   working state per call and may run on any thread. GetLastFaxError tells
 *   the calling thread's last error. Trace lines are written whole;
 *   SetTraceOption(5) or (6) puts the channel in each line.
 *
 *   Port N is the device named by key "COM<N>" in section [Ports] of the
 *   profile quarry.ini ($QUARRY_INI, else /etc/quarry.ini), else /dev/ttyS<N-1>.
 */
#ifndef TOLLAN_H
#define TOLLAN_H

#include <stdint.h>

#define TOLLAN_VERSION_MAJOR 1
#define TOLLAN_VERSION_MINOR 3
#define TOLLAN_VERSION_PATCH 0
#define TOLLAN_VERSION "1.3.0"

#if defined(TOLLAN_BUILDING) || defined(__GNUC__)
#define TOLLAN_API __attribute__((visibility("default")))
#else
#define TOLLAN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes. Every export but GetLastFaxError returns one of these. */
enum {
    TOLLAN_OK = 0,
    TOLLAN_E_NO_MEMORY = 100,         /* no memory for an image */
    TOLLAN_E_NOT_OPEN = 102,          /* the channel is not open */
    TOLLAN_E_NO_FREE_SLOT = 104,      /* no free slot in the channel table */
    TOLLAN_E_PURGE = 105,             /* purging the port's queues failed */
    TOLLAN_E_CLOSE = 106,             /* closing the port failed */
    TOLLAN_E_WRITE = 107,             /* writing to the port failed */
    TOLLAN_E_READ = 108,              /* reading from the port failed, or no response line */
    TOLLAN_E_INIT = 109,              /* the modem did not answer the init string with OK */
    TOLLAN_E_RECEIVE_REFUSED = 110,   /* the modem refused the command enabling reception */
    TOLLAN_E_CLASS = 111,             /* the modem refused the class or a set-up command */
    TOLLAN_E_RECEIVE_FAILED = 112,    /* ERROR or hang-up before the fax connection (receive) */
    TOLLAN_E_BUSY = 114,              /* the modem answered BUSY */
    TOLLAN_E_ERROR = 115,             /* ERROR, or a class 1 command or frame exchange failed */
    TOLLAN_E_PAGE_CREATE = 116,       /* creating a received page file failed */
    TOLLAN_E_TIMEOUT = 117,           /* time-out */
    TOLLAN_E_ARGUMENT = 118,          /* an argument is missing, empty or out of range */
    TOLLAN_E_CHANNEL = 119,           /* the channel number is out of range */
    TOLLAN_E_NO_RESPONSE = 120,       /* no OK to ATV1Q0, or the identity was refused (send) */
    TOLLAN_E_LOCAL_ID = 121,          /* the modem refused the local station identity */
    TOLLAN_E_CAPABILITIES = 122,      /* the modem refused the session capabilities */
    TOLLAN_E_DIAL = 123,              /* dialling failed: busy or no answer */
    TOLLAN_E_NO_CARRIER = 124,        /* the modem answered NO CARRIER */
    TOLLAN_E_FILE_NAME = 125,         /* a page file cannot be opened */
    TOLLAN_E_THREAD = 126,            /* starting the page reception watchdog failed */
    TOLLAN_E_BIT_ORDER = 128,         /* the modem refused the bit order command */
    TOLLAN_E_NO_CONNECT = 129,        /* no CONNECT to the page data command */
    TOLLAN_E_OPEN_FILE = 130,         /* opening a file failed */
    TOLLAN_E_WRITE_BITMAP = 131,      /* writing a bitmap file failed */
    TOLLAN_E_NOT_BITMAP = 132,        /* the file is not a bitmap of a supported kind */
    TOLLAN_E_READ_BITMAP = 133,       /* reading bitmap data failed */
    TOLLAN_E_G3_END = 134,            /* the Group 3 data ended unexpectedly */
    TOLLAN_E_COLOUR_TABLE = 135,      /* reading the bitmap's colour table failed */
    TOLLAN_E_HANGUP = 136,            /* the modem reported a hang-up with a non-zero code */
    TOLLAN_E_TOO_WIDE = 138,          /* the bitmap is wider than 1728 dots */
    TOLLAN_E_DEPTH = 139,             /* the bitmap's colour depth is not supported */
    TOLLAN_E_TOO_TALL = 140,          /* the bitmap is taller than 4580 lines */
    TOLLAN_E_NO_PAGE_FILE = 141,      /* a page file does not exist */
    TOLLAN_E_FLOW_CONTROL = 142,      /* the modem refused the flow control setting */
    TOLLAN_E_PORT_OPEN = 143,         /* opening the serial port failed */
    TOLLAN_E_PORT_PURGE = 144,        /* purging the port's queues failed while opening */
    TOLLAN_E_PORT_QUEUES = 145,       /* setting the port's buffer sizes failed */
    TOLLAN_E_PORT_GET_STATE = 146,    /* reading the port's settings failed */
    TOLLAN_E_PORT_EVENT_MASK = 147,   /* setting the port's event mask failed */
    TOLLAN_E_PORT_TIMEOUTS = 148,     /* setting the port's time-outs failed */
    TOLLAN_E_PORT_SET_STATE = 149,    /* writing the port's settings failed */
    TOLLAN_E_PAGE_REJECTED = 150,     /* the remote station rejected a page (RTN) */
    TOLLAN_E_PAGE_TOO_LARGE = 151,    /* a received page passed the page size limit */
    TOLLAN_E_TOO_MANY_PAGES = 152,    /* a call passed the limit of pages per call */
    TOLLAN_E_DISK = 153,              /* writing a received page file failed (disk full, I/O) */
    TOLLAN_E_PAGE_EXISTS = 154,       /* a page file of the base name exists; the call was not taken */
    TOLLAN_E_PORT_LOCKED = 155,       /* another program holds the port (lock file in /var/lock) */
    TOLLAN_E_RETRIES = 156,           /* class 1: a frame or training was repeated past the limit */
    TOLLAN_E_UNCONFIRMED = 157,       /* the call ended before the remote confirmed the last page */
    TOLLAN_E_CALL_TIME = 158,         /* the call passed its time limit */
    TOLLAN_E_ABORTED = 159,           /* the host aborted the call (AbortCall) */
    TOLLAN_E_FIRST_FRAME = 173,       /* class 1: no first control frame from the called station */
    TOLLAN_E_DELAYED = 174,           /* the modem answered DELAYED */
    TOLLAN_E_FAILED = 999             /* ERROR or no answer to a command, or an internal step failed */
};

/* Service classes for SetModemClass. */
enum {
    TOLLAN_CLASS_AUTO = 0, /* class 2.0, else class 2 */
    TOLLAN_CLASS_1 = 1,
    TOLLAN_CLASS_2 = 2,
    TOLLAN_CLASS_2_0 = 3
};

/* ---- Ports and channels ------------------------------------------------ */

/* Open COM port `port` (1..20), send `init` (e.g. "ATZ"), select the fax class,
 * and store the new channel number in *channel. */
TOLLAN_API uint16_t PortOpen(int32_t *channel, int port, const char *init);
/* Close the channel's port and free its slot. Nothing is sent to the modem. */
TOLLAN_API uint16_t PortClose(int32_t channel);
/* Discard whatever is queued on the channel's port, both ways. */
TOLLAN_API uint16_t PortClear(int32_t channel);
/* Store the port's file descriptor; it stays owned by the channel. */
TOLLAN_API uint16_t GetCommHandle(int32_t channel, int *handle);

/* ---- Class 2 and 2.0 fax sessions --------------------------------------- */

/* Send pages 1..pages of base_name ("<base cut at the last '.' of its file
 * name>_p<n>.g3"; a one-page fax may be the base name itself) to number through a class 2 or
 * 2.0 modem. GetNumOfPagesSent tells how many pages the remote accepted.
 * Numbers longer than 121 characters and base names whose page file names do
 * not fit 259 characters are refused (TOLLAN_E_ARGUMENT). */
TOLLAN_API uint16_t SendFax(int32_t channel, const char *number, const char *base_name, int pages);
/* Look, without blocking, at what the modem sent on its own: *ring is 1 RING,
 * 2 BUSY, 3 NO CARRIER, 4 ERROR, 5 NO DIALTONE, 0 nothing of these. */
TOLLAN_API uint16_t WaitForRing(int32_t channel, int32_t *ring);
/* Answer and receive the pages of a fax into "<base cut at the last '.' of
 * its file name>_p<n>.g3" (and "_p<n>.ffi" with SetFaxInfoOption); *pages counts the pages received,
 * updated after every page. Base names whose page file names could pass 259
 * characters are refused (TOLLAN_E_ARGUMENT). */
TOLLAN_API uint16_t ReceiveFax(int32_t channel, const char *base_name, int16_t *pages);

/* ---- Results of the last call on a channel ------------------------------ */

/* Store the address of the remote station's identity (owned by the library). */
TOLLAN_API uint16_t GetRemoteID(int32_t channel, const char **remote_id);
/* Store the last hang-up code the modem reported (0 is a normal end). */
TOLLAN_API uint16_t GetHangupCode(int32_t channel, int32_t *code);
/* Store the number of pages the last sending call sent. */
TOLLAN_API uint16_t GetNumOfPagesSent(int32_t channel, int16_t *pages);
/* Return the system error value (errno) of the last failing system call, once;
 * the next call returns 0. */
TOLLAN_API int32_t GetLastFaxError(void);

/* ---- Per-channel settings (16-bit arguments take the low 16 bits) ------- */

/* 0 tone dialling, 1 pulse dialling. */
TOLLAN_API uint16_t SetLineType(int32_t channel, int line_type);
/* Minimum scan line time code 0..7 (reset to 0 by PortOpen). */
TOLLAN_API uint16_t SetScanTime(int32_t channel, int code);
/* Bit rate code 0..5: 2400 * (code + 1) bit/s (reset to 5 by PortOpen). */
TOLLAN_API uint16_t SetBitRate(int32_t channel, int code);
/* 0 fine resolution, any other value standard (reset to 0 by PortOpen). */
TOLLAN_API uint16_t SetResolution(int32_t channel, int32_t resolution);
/* Local station identity, 1 to 129 characters. */
TOLLAN_API uint16_t SetLocalID(int32_t channel, const char *id);
/* Class (TOLLAN_CLASS_*) for the slot the next PortOpen will claim. */
TOLLAN_API uint16_t SetModemClass(int32_t unused, int modem_class);

/* ---- Library-wide settings ---------------------------------------------- */

/* Milliseconds to wait after a command before reading its response (500). */
TOLLAN_API uint16_t SetModemCommandInterval(int32_t milliseconds);
/* 1: write a page information file (".ffi") beside each received page; 2: the
 * same with a fourth line, the session's resolution. */
TOLLAN_API uint16_t SetFaxInfoOption(int option);
/* 0 no trace, 1 append to the trace file, 2 standard error; 5 and 6: as 1
 * and 2, each line with the channel of the call that wrote it, "[3] " after
 * the time ("[-] " outside a channel's call). */
TOLLAN_API uint16_t SetTraceOption(int option);
/* Path of the trace file, 1 to 259 characters. */
TOLLAN_API uint16_t SetTraceFileName(const char *path);
/* BmpToG3: bit 0 widen to 1728 dots, bit 1 stretch to 1145 lines, bit 2 to 2290 (3). */
TOLLAN_API uint16_t SetStretchOption(int option);
/* G3ToBmp: bit 0 narrow to the shrink width, bit 1 shorten to the shrink height (0). */
TOLLAN_API uint16_t SetShrinkOption(int option);
/* Target height of G3ToBmp's shrinking, 0..32767 lines (1145). */
TOLLAN_API uint16_t SetShrinkHeight(int lines);
/* Target width of G3ToBmp's shrinking, 0..1728 dots (864). */
TOLLAN_API uint16_t SetShrinkWidth(int dots);

/* ---- Sending through a class 1 modem ------------------------------------ */

/* Sends pages 1..pages of the document file_name ("letter.tif": letter_p1.g3,
 * letter_p2.g3, ...) to phone, the library running T.30 itself. The modem is
 * switched to class 1. phone: at most 121 characters; file_name: at most 259.
 * Returns TOLLAN_OK when the call ended with DCN (GetNumOfPagesSent tells how
 * many pages went; a station may end a call early), TOLLAN_E_PAGE_REJECTED
 * when the called station rejected a page (that page is not counted). */
TOLLAN_API uint16_t SendClass1Fax(int32_t channel, const char *phone, const char *file_name, int pages);
/* (since 1.2) Answers a call on a class 1 channel (SetModemClass(0,
 * TOLLAN_CLASS_1) before PortOpen) after WaitForRing reported a ring, and
 * receives its pages as ReceiveFax does: "<base cut at the last '.' of its file
 * name>_p<n>.g3" and "_p<n>.ffi" with SetFaxInfoOption; *pages counts the
 * pages received whole, updated after every page; GetRemoteID gives the TSI.
 * A page answered RTN is kept under its number and replaced when sent again.
 * Refuses what ReceiveFax refuses, and a channel not in class 1
 * (TOLLAN_E_CLASS). TOLLAN_OK after EOP; TOLLAN_E_UNCONFIRMED when the caller
 * ended the call before EOP; TOLLAN_E_RETRIES past a repeat limit;
 * TOLLAN_E_ERROR when the caller asked for what was not offered. */
TOLLAN_API uint16_t ReceiveClass1Fax(int32_t channel, const char *base_name, int16_t *pages);

/* ---- Limits and cancelling (since 1.1) ---------------------------------- */

/* Largest received page in bytes (default and ceiling 32 MiB) and most pages
 * of one receiving call (default and ceiling 1000); 0 restores a default.
 * Past either the call ends (TOLLAN_E_PAGE_TOO_LARGE, TOLLAN_E_TOO_MANY_PAGES)
 * and the pages received whole are kept. Kept until changed, across opens. */
TOLLAN_API uint16_t SetReceiveLimits(int32_t channel, int32_t max_page_bytes, int32_t max_pages);
/* Longest time one sending or receiving call may take, 1 to 86400 seconds
 * (default 14400); 0 restores the default. Past it: TOLLAN_E_CALL_TIME. */
TOLLAN_API uint16_t SetCallTimeLimit(int32_t channel, int32_t seconds);
/* Permission bits (0 to 0777, default 0600) of the page and page information
 * files received from now on. */
TOLLAN_API uint16_t SetPageFileMode(int32_t mode);
/* Asks the call running on the channel to end; safe from another thread and
 * from a signal handler. The call stops at its next wait, keeps the pages
 * received whole and returns TOLLAN_E_ABORTED. */
TOLLAN_API uint16_t AbortCall(int32_t channel);

/* ---- Page header line (since 1.2) --------------------------------------- */

/* Text drawn at the top of every page the channel sends (SendFax,
 * SendClass1Fax), kept until changed, across opens. NULL or "" turns it off
 * (the default: pages go byte for byte as they are). Printable ASCII, at
 * most 200 bytes, with the fields {date} (YYYY-MM-DD) and {time} (HH:MM) of
 * the call's start, {id} (SetLocalID), {number} (the number dialled), {page}
 * and {pages}; "{{" is a "{". An unknown or unclosed field gives
 * TOLLAN_E_ARGUMENT and leaves the setting as it was. */
TOLLAN_API uint16_t SetPageHeader(int32_t channel, const char *format);

/* ---- Error correction and coding on the line (since 1.3) --------------- */

#define TOLLAN_ECM_OFF 0      /* no error correction (the default) */
#define TOLLAN_ECM_256 1      /* error correction with 256-octet frames */
#define TOLLAN_ECM_64 2       /* error correction with 64-octet frames */

#define TOLLAN_COMPRESS_MH 1  /* one-dimensional coding, always offered */
#define TOLLAN_COMPRESS_MR 2  /* two-dimensional coding */
#define TOLLAN_COMPRESS_MMR 4 /* modified two-dimensional coding, only with error correction */

/* Error correction the channel offers and accepts: TOLLAN_ECM_OFF,
 * TOLLAN_ECM_256 or TOLLAN_ECM_64; kept until changed, across opens. */
TOLLAN_API uint16_t SetErrorCorrection(int32_t channel, int32_t mode);
/* Codings the channel offers and may choose, as the sum of TOLLAN_COMPRESS_*
 * values; TOLLAN_COMPRESS_MH must be among them (TOLLAN_E_ARGUMENT otherwise).
 * A session uses the best coding both ends have; MMR only with error
 * correction. Page files stay one-dimensional on both sides of the API.
 * Kept until changed, across opens. */
TOLLAN_API uint16_t SetCompression(int32_t channel, int32_t codings);

/* ---- Page image conversion (no channel, no modem) ----------------------- */

/* Converts a bitmap file (1, 4, 8, 16, 24 or 32 bits per pixel; colour is
 * reduced to black and white by luminance) into a raw Group 3 page file:
 * 1728-pixel Modified Huffman lines, least significant bit first, at least
 * the page length stretch_option asks for, ended by six EOLs. */
TOLLAN_API uint16_t BmpToG3(const char *bmp_path, const char *g3_path);
/* Checks the headers of a 1-bit or 8-bit bitmap file and stores its size. */
TOLLAN_API uint16_t GetBmpSize(const char *bmp_path, int32_t *width, int32_t *height);
/* Decodes a raw Group 3 page file (Modified Huffman, least significant bit
 * first) into a 1-bit bitmap file, shrunk as shrink_option asks. */
TOLLAN_API uint16_t G3ToBmp(const char *g3_path, const char *bmp_path);
/* Decodes a page file and stores its widest line and its number of rows. */
TOLLAN_API uint16_t GetG3Size(const char *g3_path, int32_t *width, int32_t *height);
/* Writes a 1-bit bitmap file turned a quarter turn clockwise; the third
 * argument is not used. */
TOLLAN_API uint16_t RotateBitmap(const char *src_path, const char *dst_path, int32_t unused);

#ifdef __cplusplus
}
#endif

#endif /* TOLLAN_H */
