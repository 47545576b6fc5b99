// The port the benchmarks drive: a pseudo-terminal opened through the
// platform layer as a modem's port would be, in raw mode.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>

#include "platform/platform.h"

// Stores the far end in *master; returns the port's descriptor, or -1 after
// saying why.
inline int OpenBenchPort(int *master, int master_flags) {
    *master = posix_openpt(O_RDWR | O_NOCTTY | master_flags);
    if (*master == -1 || grantpt(*master) == -1 || unlockpt(*master) == -1) {
        perror("posix_openpt");
        return -1;
    }
    int fd = Plat().port_open(ptsname(*master));
    if (fd == -1) {
        perror("port_open");
        return -1;
    }
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}
