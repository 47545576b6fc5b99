// Byte, line and command I/O with a modem: the only way the library talks to
// one. None of these checks the channel number; their callers have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Control bytes of the modem data streams.
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kDc1 = 0x11;  // XON
constexpr uint8_t kDc2 = 0x12;
constexpr uint8_t kDc3 = 0x13;  // XOFF
constexpr uint8_t kSub = 0x1A;

// Writes text to the channel's port within io_timeout. 0, 107, 117.
uint16_t FaxSendString(const char *text, int32_t channel);
// Reads one byte within io_timeout. 0, 108, 117.
uint16_t FaxReadByte(int32_t channel, uint8_t *out);
// Reads one non-empty line of printable characters (at most 256) into the
// shared line buffer and returns it; nullptr on failure.
const char *FaxReadLine(int32_t channel);
// Reads raw bytes up to and including a line feed into buffer (size bytes).
// 0, or the code of FaxReadByte.
uint16_t FaxReadRawLine(int32_t channel, char *buffer, size_t size);
// Sends command and waits for "OK" (0) or "ERROR" (999).
uint16_t FaxModemCommand(const char *command, int32_t channel);
// Selects class 2.0, else 2; the outcome is left in modem_class (3, 2 or -1).
uint16_t FaxSelectClass(int32_t channel, int16_t *modem_class);
// Class 2.0 only: "AT+FLO=2" when hardware is preferred, else (or on refusal) "AT+FLO=1".
uint16_t FaxSetFlowControl(int32_t channel, int16_t prefer_hardware);
// One write to the channel's port, bounded as the port's write time-out is:
// waits for room (a full queue, XOFF from the modem) at most 1 ms per byte
// plus 10 s. Returns the count written, short after a time-out, or -1 with
// errno set.
ssize_t FaxPortWrite(int32_t channel, const void *data, size_t size);
// Writes "AT+FCLASS=0\r\n" and reads no answer.
void FaxResetClass(int32_t channel);
