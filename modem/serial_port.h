// The serial port under a channel: its device, its line settings, and putting
// things back as they were when the channel lets it go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <termios.h>

constexpr int kMaxPorts = 20;

// The device of port N: key "COM<N>" in section [Ports] of the profile, else
// /dev/ttyS<N-1>. False when the name does not fit in size bytes.
bool PortDeviceName(int port, char *name, size_t size);
// Changes settings (as the driver reported them) into the fax modem line.
void ApplyModemLineSettings(struct termios &settings);
// Keeps the settings the port had before the channel's open, for its close.
void RememberPortSettings(int32_t channel, const struct termios &settings);
// Takes the lock file of device for the channel before the device is opened.
// 0; 155 when a live process holds it. Without a usable lock directory the
// port is used without a lock, and the trace says so.
uint16_t LockPort(int32_t channel, const char *device);
// Removes the channel's lock file, if it took one.
void UnlockPort(int32_t channel);
// Puts the remembered settings back (if any), closes fd and gives up the
// channel's lock. 0, or -1 with errno.
int ReleasePort(int32_t channel, int fd);
