// Processor time of a host waiting on a silent line: FaxReadByte waiting
// out a 5 s time-out (the wait must sit in poll(), not spin), a host polling
// WaitForRing ten times a second for 5 s, and one WaitForRing call on its
// own. A pseudo-terminal whose far end never answers stands in for the
// modem; the process has no other thread, so its rusage is the library's.
// Prints a Markdown table.
#include <unistd.h>

#include <cstdio>

#include "bench/bench_process.h"
#include "bench/bench_pty.h"
#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/tollan.h"
#include "modem/modem_io.h"

namespace {

constexpr int kWaitMs = 5000;
constexpr int kPollEveryMs = 100;
constexpr int kBackToBackCalls = 100000;

void PrintRow(const char *what, double wall, double cpu) {
    printf("| %s | %.2f s | %.2f ms | %.3f ms |\n", what, wall, 1000 * cpu, 1000 * cpu / wall);
}

}  // namespace

int main() {
    int master = -1;
    int fd = OpenBenchPort(&master, 0);
    if (fd == -1) return 1;
    g_channels[0].in_use = 1;
    g_channels[0].comm_handle = fd;
    g_channels[0].io_timeout = kWaitMs;
    FaxBeginCall(0);  // a read ends once the call's time is up

    printf("| wait on a silent line | wall | processor | processor per second |\n|---|---|---|---|\n");

    double cpu = ProcessCpuSeconds(), wall = WallSeconds();
    uint8_t byte = 0;
    const uint16_t code = FaxReadByte(0, &byte);
    const double read_cpu = ProcessCpuSeconds() - cpu;
    PrintRow("FaxReadByte, 5 s time-out", WallSeconds() - wall, read_cpu);

    cpu = ProcessCpuSeconds();
    wall = WallSeconds();
    int32_t ring = 0;
    bool calls_ok = true;
    for (int i = 0; i < kWaitMs / kPollEveryMs; ++i) {
        calls_ok = calls_ok && WaitForRing(0, &ring) == TOLLAN_OK && ring == 0;
        usleep(kPollEveryMs * 1000);
    }
    PrintRow("WaitForRing every 100 ms for 5 s", WallSeconds() - wall, ProcessCpuSeconds() - cpu);

    cpu = ProcessCpuSeconds();
    for (int i = 0; i < kBackToBackCalls; ++i) calls_ok = calls_ok && WaitForRing(0, &ring) == TOLLAN_OK;
    printf("\nOne WaitForRing call on a silent line: %.2f microseconds of processor time.\n",
           1e6 * (ProcessCpuSeconds() - cpu) / kBackToBackCalls);

    close(fd);
    close(master);
    return code == TOLLAN_E_TIMEOUT && calls_ok && read_cpu < 0.1 ? 0 : 1;
}
