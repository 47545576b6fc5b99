// A modem that says whatever the fuzzer gives: the platform's port reads
// return the input bytes, writes are taken whole and dropped, and the clock
// jumps forward whenever the library would wait, so every time-out passes at
// once and a run never sleeps.
//
// In the endless mode the input plays once and then its tail again and
// again, so a modem or station that never stops talking is fuzzed. Each byte
// read then costs the line's time (1 ms, a byte at 9600 bit/s with its start
// and stop bits), so the library's deadlines and its page watchdog see the
// clock move as data arrives. A call that does not end within its read limit
// aborts the run, which libFuzzer reports as a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// How the fake port plays the input.
struct FuzzPortOptions {
    bool endless = false;     // after the input, its tail from repeat_from, forever
    size_t repeat_from = 0;   // offset of the tail (below the input's size)
    uint64_t read_limit = 0;  // port reads before the run counts as a hang; 0: no limit
    int write_fails_at = 0;   // this port write and every later one fail with EIO; 0: none
};

// Installs the fake platform with the modem's bytes (kept by reference).
void FuzzPortInstall(const uint8_t *data, size_t size, const FuzzPortOptions &options = FuzzPortOptions{});
// Puts back the real platform.
void FuzzPortRemove();
// Port reads since the install.
uint64_t FuzzPortReads();
// Makes channel 0 an open channel on the fake port with the given class.
int32_t FuzzChannelOpen(int16_t modem_class);
// A path unique to this process, for file-based calls: in $TOLLAN_FUZZ_SCRATCH,
// else /dev/shm (or /tmp).
std::string FuzzScratchPath(const char *name);
// Writes bytes to a file; false when it cannot.
bool FuzzWriteFile(const char *path, const uint8_t *data, size_t size);
// Points $QUARRY_INI at a profile naming the fake port as COM1 (written once).
void FuzzUseFakeProfile();

// Settings of a call, taken from the input's first kFuzzSettingsBytes bytes.
constexpr size_t kFuzzSettingsBytes = 4;
struct FuzzCallSettings {
    int kind = 0;             // the target's choice of session, 0 to 3
    bool class_2_0 = false;   // class 2.0 rather than 2
    bool open_port = false;   // open the channel with PortOpen first
    bool info_files = false;  // write page information files
    int bit_rate = 5;         // SetBitRate code
    int32_t resolution = 0;   // SetResolution
    int scan_time = 0;        // SetScanTime code
    int32_t command_interval = 0;  // SetModemCommandInterval, a negative one included
    int32_t max_page_bytes = 0;    // SetReceiveLimits; 0 the defaults
    int32_t max_pages = 0;
    int32_t call_seconds = 60;     // SetCallTimeLimit
    FuzzPortOptions port;          // endless or not, the tail; the read limit
};
// Takes the settings off the front of the input; false when it is too short.
// The tail of an endless run is chosen within what remains.
bool FuzzTakeSettings(const uint8_t *&data, size_t &size, FuzzCallSettings &settings);
// Applies the channel's settings (library-wide ones included).
void FuzzApplySettings(int32_t channel, const FuzzCallSettings &settings);

// Opens the channel for a call: by PortOpen on the fake port (the modem's
// first answers then come from the input) or directly; applies the settings.
// -1 when PortOpen failed.
int32_t FuzzOpenCall(const FuzzCallSettings &settings, int16_t modem_class);
// Closes what FuzzOpenCall opened and puts back the real platform.
void FuzzEndCall(int32_t channel);
