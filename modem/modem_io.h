// Byte, line and command I/O with a modem: the only way the library talks to
// one. None of these checks the channel number; their callers have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct FaxChannel;

// Control bytes of the modem data streams.
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kDc1 = 0x11;  // XON
constexpr uint8_t kDc2 = 0x12;
constexpr uint8_t kDc3 = 0x13;  // XOFF
constexpr uint8_t kSub = 0x1A;

// Every wait for the modem ends at a deadline counted from its start,
// whatever arrives meanwhile: bytes that keep coming never extend it. While it
// waits, a read also looks at the call's limits (FaxCallCheck: the host's
// AbortCall, the call time limit) at least once a second and on every call.
struct FaxDeadline {
    uint32_t start;     // tick count when the wait began
    uint32_t limit_ms;  // how long it may last
};
// A deadline limit_ms from now.
FaxDeadline FaxDeadlineIn(uint32_t limit_ms);
// Milliseconds left before the deadline; 0 once it has passed.
uint32_t FaxTimeLeft(const FaxDeadline &deadline);

// Reads one byte before the deadline. 0; 108 the read failed or the port hung
// up; 117 the deadline passed; 158, 159 the call's limits (FaxCallCheck).
uint16_t FaxReadByteUntil(int32_t channel, const FaxDeadline &deadline, uint8_t *out);
// FaxReadLine with the whole line due by the deadline; on failure nullptr,
// and the code of FaxReadByteUntil in *code.
const char *FaxReadLineUntil(int32_t channel, const FaxDeadline &deadline, uint16_t *code);
// FaxReadRawLine with the whole line due by the deadline.
uint16_t FaxReadRawLineUntil(int32_t channel, const FaxDeadline &deadline, char *buffer, size_t size);
// True for the codes that end a wait because the call itself must end
// (158 time limit, 159 aborted): callers pass these on unchanged.
bool FaxCallEnded(uint16_t code);

// Writes text to the channel's port within io_timeout. 0, 107, 117.
uint16_t FaxSendString(const char *text, int32_t channel);
// Reads one byte within io_timeout. As FaxReadByteUntil.
uint16_t FaxReadByte(int32_t channel, uint8_t *out);
// Reads one non-empty line of printable characters (at most 256) into the
// channel's own line buffer (in its link) and returns it; nullptr on failure. The whole line is
// due within io_timeout of the call.
const char *FaxReadLine(int32_t channel);
// Reads raw bytes up to and including a line feed into buffer (size bytes),
// the whole line within io_timeout. 0, or the code of FaxReadByteUntil.
uint16_t FaxReadRawLine(int32_t channel, char *buffer, size_t size);
// Sends command and waits for "OK" (0) or "ERROR" (999), the wait ending
// io_timeout after the command's pause (999; 158, 159 the call's limits).
uint16_t FaxModemCommand(const char *command, int32_t channel);
// Sleeps the channel's command interval; a negative interval is no pause.
void FaxCommandPause(const FaxChannel &c);
// Refuses text that would break out of an AT command: CR, LF, every other
// control byte and DEL, and also the double quote when the text goes between
// quotes. True when the text is safe to put into a command.
bool FaxCommandTextSafe(const char *text, bool quoted);
// Selects class 2.0, else 2; the outcome is left in modem_class (3, 2 or -1).
uint16_t FaxSelectClass(int32_t channel, int16_t *modem_class);
// Class 2.0 only: "AT+FLO=2" when hardware is preferred, else (or on refusal) "AT+FLO=1".
uint16_t FaxSetFlowControl(int32_t channel, int16_t prefer_hardware);
// One write to the channel's port, bounded as the port's write time-out is:
// waits for room (a full queue, XOFF from the modem) at most 1 ms per byte
// plus 10 s. Returns the count written, short after a time-out, or -1 with
// errno set.
ssize_t FaxPortWrite(int32_t channel, const void *data, size_t size);
// Writes one byte, waiting for room at most io_timeout a byte. 0, 107, 117.
// While a FaxOutputBlocks of the channel lives, the byte is queued instead
// and the queue goes out as one write when it is full, before any other use
// of the link, or at the block's Finish: 0 then, or the code of a write of
// the queue that failed.
uint16_t FaxSendByte(uint8_t byte, int32_t channel);

// Page data and training a block at a time: FaxSendByte queues while one
// lives; Finish (or the end of its life) writes the rest.
class FaxOutputBlocks {
public:
    explicit FaxOutputBlocks(int32_t channel);
    ~FaxOutputBlocks();
    FaxOutputBlocks(const FaxOutputBlocks &) = delete;
    FaxOutputBlocks &operator=(const FaxOutputBlocks &) = delete;
    // Writes what is queued and ends the blocks. As FaxSendByte.
    uint16_t Finish();

private:
    int32_t channel_;
    bool open_;
};
// Switches XON/XOFF flow control of the port on or off. 0, 999.
uint16_t FaxSetXonXoff(const FaxChannel &c, bool on);
// Received bytes not yet read: those the link holds and the port's queue.
uint16_t FaxPendingInput(FaxChannel &c);
// Writes "AT+FCLASS=0\r\n" and reads no answer.
void FaxResetClass(int32_t channel);
