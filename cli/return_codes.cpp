#include "cli/return_codes.h"

#include <array>

#include "tollan.h"
#include "tollan_documents.h"

namespace {

struct CodeText {
    uint16_t code;
    const char *text;
};

constexpr std::array<CodeText, 64> kCodeTexts = {{
    {TOLLAN_OK, "success"},
    {TOLLAN_E_NO_MEMORY, "no memory for an image"},
    {TOLLAN_E_NOT_OPEN, "the channel is not open"},
    {TOLLAN_E_NO_FREE_SLOT, "no free slot in the channel table (twenty channels are open)"},
    {TOLLAN_E_PURGE, "purging the port's queues failed"},
    {TOLLAN_E_CLOSE, "closing the port failed"},
    {TOLLAN_E_WRITE, "writing to the port failed"},
    {TOLLAN_E_READ, "reading from the port failed, or the modem sent no response line"},
    {TOLLAN_E_INIT, "the modem did not answer the initialisation string with OK"},
    {TOLLAN_E_RECEIVE_REFUSED, "the modem refused the command that enables reception"},
    {TOLLAN_E_CLASS, "the modem refused the fax service class or a set-up command"},
    {TOLLAN_E_RECEIVE_FAILED, "the modem answered ERROR or hung up before the fax connection"},
    {TOLLAN_E_BUSY, "the line is busy"},
    {TOLLAN_E_ERROR, "the modem answered ERROR, or a class 1 command or frame exchange failed"},
    {TOLLAN_E_PAGE_CREATE, "creating a received page file failed"},
    {TOLLAN_E_TIMEOUT, "time-out: the modem or the remote station stopped answering"},
    {TOLLAN_E_ARGUMENT, "an argument is missing, empty or out of range"},
    {TOLLAN_E_CHANNEL, "the channel number is out of range"},
    {TOLLAN_E_NO_RESPONSE, "the modem did not answer ATV1Q0, or refused the local identity"},
    {TOLLAN_E_LOCAL_ID, "the modem refused the local station identity"},
    {TOLLAN_E_CAPABILITIES, "the modem refused the session capabilities"},
    {TOLLAN_E_DIAL, "dialling failed: busy or no answer"},
    {TOLLAN_E_NO_CARRIER, "the modem answered NO CARRIER"},
    {TOLLAN_E_FILE_NAME, "a page file cannot be opened"},
    {TOLLAN_E_THREAD, "starting the page reception watchdog failed"},
    {TOLLAN_E_BIT_ORDER, "the modem refused the bit order command"},
    {TOLLAN_E_NO_CONNECT, "the modem did not answer the page data command with CONNECT"},
    {TOLLAN_E_OPEN_FILE, "opening a file failed"},
    {TOLLAN_E_WRITE_BITMAP, "writing a bitmap file failed"},
    {TOLLAN_E_NOT_BITMAP, "the file is not a bitmap of a supported kind"},
    {TOLLAN_E_READ_BITMAP, "reading bitmap data failed"},
    {TOLLAN_E_G3_END, "the Group 3 data ended unexpectedly or holds no pixel"},
    {TOLLAN_E_COLOUR_TABLE, "reading the bitmap's colour table failed"},
    {TOLLAN_E_HANGUP, "the modem reported a hang-up with a non-zero hang-up code"},
    {TOLLAN_E_TOO_WIDE, "the bitmap is wider than 1728 dots"},
    {TOLLAN_E_DEPTH, "the bitmap's colour depth is not supported"},
    {TOLLAN_E_TOO_TALL, "the bitmap is taller than 4580 lines"},
    {TOLLAN_E_NO_PAGE_FILE, "a page file does not exist"},
    {TOLLAN_E_FLOW_CONTROL, "the modem refused the flow control setting"},
    {TOLLAN_E_PORT_OPEN, "opening the serial port failed"},
    {TOLLAN_E_PORT_PURGE, "purging the port's queues failed while opening"},
    {TOLLAN_E_PORT_QUEUES, "setting the port's buffer sizes failed"},
    {TOLLAN_E_PORT_GET_STATE, "reading the port's settings failed"},
    {TOLLAN_E_PORT_EVENT_MASK, "setting the port's event mask failed"},
    {TOLLAN_E_PORT_TIMEOUTS, "setting the port's time-outs failed"},
    {TOLLAN_E_PORT_SET_STATE, "writing the port's settings failed"},
    {TOLLAN_E_PAGE_REJECTED, "the remote station rejected a page (RTN)"},
    {TOLLAN_E_PAGE_TOO_LARGE, "a page passed the page size limit (a call keeps the pages before it)"},
    {TOLLAN_E_TOO_MANY_PAGES, "the call passed the limit of pages per call; the pages before it are kept"},
    {TOLLAN_E_DISK, "writing a received page file failed (disk full or I/O error)"},
    {TOLLAN_E_PAGE_EXISTS, "a page file of that name exists already; the call was not taken"},
    {TOLLAN_E_PORT_LOCKED, "another program is using the port"},
    {TOLLAN_E_RETRIES, "the remote station repeated a frame or failed training too often"},
    {TOLLAN_E_UNCONFIRMED, "the call ended before the remote station confirmed the last page"},
    {TOLLAN_E_CALL_TIME, "the call passed its time limit"},
    {TOLLAN_E_ABORTED, "the call was aborted"},
    {TOLLAN_E_FIRST_FRAME, "class 1: no first control frame came from the called station"},
    {TOLLAN_E_DELAYED, "the modem answered DELAYED: too many recent calls to this number"},
    {TOLLAN_E_FAILED, "a command was answered with ERROR or not at all, or an internal step failed"},
    {TOLLAN_E_DOC_FORMAT, "not a document tollan reads (TIFF, PDF, PostScript, BMP, PBM)"},
    {TOLLAN_E_DOC_TIFF, "the TIFF cannot be read, or a page of it is not black and white"},
    {TOLLAN_E_DOC_NO_GHOSTSCRIPT, "PDF and PostScript need Ghostscript (gs), which is not installed"},
    {TOLLAN_E_DOC_GHOSTSCRIPT, "Ghostscript failed on the document"},
    {TOLLAN_E_DOC_WRITE, "writing the document failed (disk full or I/O error)"},
}};

}  // namespace

const char *ReturnCodeText(uint16_t code) {
    for (const CodeText &entry : kCodeTexts)
        if (entry.code == code) return entry.text;
    return "unknown return code";
}
