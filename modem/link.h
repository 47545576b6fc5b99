// The modem link: every byte between the library and a modem passes here.
// Each channel holds one link record beside its port; the named operations
// of modem_io.h (FaxSendString, FaxReadByte, FaxReadLine, FaxSendByte, ...)
// are thin wrappers over it. Nothing outside modem/ calls the platform's port
// operations.
//
// Input is read from the port a block at a time into the link and handed out
// from there, so a page costs one system call per block, not per byte. Page
// data that FaxSendByte queues (FaxOutputBlocks) goes out as one block; any
// other use of the link writes the queue first, so queued bytes always reach
// the modem before the library waits for its answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct FaxChannel;

constexpr size_t kLinkInputSize = 4096;
constexpr size_t kLinkQueueSize = 512;
constexpr size_t kMaxLineLength = 256;

// Zero-filled is an empty link.
struct FaxLink {
    uint8_t input[kLinkInputSize];  // read from the port, not yet handed out
    uint32_t input_start;
    uint32_t input_end;
    uint8_t queue[kLinkQueueSize];  // FaxQueueByte's bytes, not yet written
    uint32_t queued;
    bool holding;                   // FaxSendByte queues (a FaxOutputBlocks lives)
    int32_t empty_wakes;            // reads of nothing in a row while the port said readable
    bool woke_ready;                // the last look at the port found it readable
    bool data_last;                 // the last write was data, not a command: the modem may be busy with it
    char line[kMaxLineLength + 1];  // the line FaxReadLine returned last
};

// How long one write may wait for the port to take its bytes.
struct FaxWriteRule {
    uint32_t limit_ms;
    bool renew_on_progress;  // the limit counts from the last byte the port took
    bool strict;             // a write that ends past the limit still timed out
    bool note_full;          // a full port (EAGAIN) is kept as the last error
};

enum class FaxWriteEnd { kDone, kTimeout, kFailed };

struct FaxWritten {
    size_t count;     // bytes the port took
    FaxWriteEnd end;  // kFailed leaves errno set
};

// The one write loop: writes data to the channel's port, waiting in poll()
// for room while the rule allows. Writes the queue first.
FaxWritten FaxLinkWrite(FaxChannel &c, const void *data, size_t size, const FaxWriteRule &rule);
// Writes the queue of FaxSendByte. 0; 107, 117 as FaxSendByte.
uint16_t FaxLinkFlush(FaxChannel &c);
// One look at the port, never waiting: up to max bytes the link holds, else
// one read of what the port has. Returns the count, 0 when nothing has
// arrived, -1 with errno when the read failed or the port hung up (a port
// that keeps calling itself readable yet gives nothing, as a hung-up terminal
// does, fails with EIO).
ssize_t FaxLinkTake(FaxChannel &c, uint8_t *out, size_t max);
// Waits up to ms for input: 1 readable, 0 not (the time passed, or the
// host's AbortCall ended the wait), -1 failed (errno).
int FaxLinkWait(FaxChannel &c, uint32_t ms);
// Drops what the link holds both ways and purges the port's queues. 0, -1 (errno).
int FaxLinkPurge(FaxChannel &c);
// Empties the link: a port opened afresh starts with nothing held.
void FaxLinkReset(FaxLink &link);
// The channel's slot number.
int32_t FaxChannelNumber(const FaxChannel &c);
