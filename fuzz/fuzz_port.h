// A modem that says whatever the fuzzer gives: the platform's port reads
// return the input bytes, writes are taken whole and dropped, and the clock
// jumps forward whenever the library would wait, so every time-out passes at
// once and a run never sleeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Installs the fake platform with the modem's bytes (kept by reference).
void FuzzPortInstall(const uint8_t *data, size_t size);
// Puts back the real platform.
void FuzzPortRemove();
// Makes channel 0 an open channel on the fake port with the given class.
int32_t FuzzChannelOpen(int16_t modem_class);
// A path under /dev/shm (or /tmp) unique to this process, for file-based calls.
std::string FuzzScratchPath(const char *name);
// Writes bytes to a file; false when it cannot.
bool FuzzWriteFile(const char *path, const uint8_t *data, size_t size);
