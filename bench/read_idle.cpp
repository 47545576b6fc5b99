// Processor time of FaxReadByte waiting out a 5 s time-out on a silent modem:
// the wait must sit in poll(), not spin. Prints wall and processor seconds.
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "engine/channel.h"
#include "modem/modem_io.h"
#include "bench/bench_pty.h"
#include "platform/platform.h"

namespace {

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main() {
    // A pseudo-terminal whose far end never answers stands in for the modem.
    int master = -1;
    int fd = OpenBenchPort(&master, 0);
    if (fd == -1) return 1;

    g_channels[0].in_use = 1;
    g_channels[0].comm_handle = fd;
    g_channels[0].io_timeout = 5000;

    double cpu_before = ProcessCpuSeconds();
    auto wall_before = std::chrono::steady_clock::now();
    uint8_t byte = 0;
    uint16_t code = FaxReadByte(0, &byte);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    double cpu = ProcessCpuSeconds() - cpu_before;

    printf("FaxReadByte on a silent port: code %u, wall %.3f s, processor %.4f s (target < 0.1 s)\n", code, wall, cpu);
    close(fd);
    close(master);
    return (code == TOLLAN_E_TIMEOUT && cpu < 0.1) ? 0 : 1;
}
