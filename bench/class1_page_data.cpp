// Class 1 page data over a pseudo-terminal: how fast SendFaxData streams a
// page file (port writes in blocks, DLE doubled, scan lines filled, the
// end-of-page watch on every byte). Prints bytes per second and processor
// time per megabyte, without and with a minimum scan line time; a 14400
// bit/s line carries 1800 bytes a second. Processor time is the library's
// thread alone (the draining modem thread is left out). Prints Markdown rows.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "class1/class1.h"
#include "engine/call_limits.h"
#include "engine/channel.h"
#include "engine/tollan.h"
#include "bench/bench_process.h"
#include "bench/bench_pty.h"
#include "platform/platform.h"

namespace {

constexpr size_t kPageBytes = 1 << 20;
constexpr double kLineBytesPerSecond = 14400.0 / 8;

// Lines of 12 random bytes, each ended by a byte-aligned EOL (0x00 0x80):
// text-like, with one DLE in about 256 bytes and a fill point every line.
std::string PageData() {
    std::string data;
    uint32_t seed = 1;
    while (data.size() < kPageBytes) {
        for (int i = 0; i < 12; ++i) {
            seed = seed * 1103515245u + 12345u;
            const char byte = static_cast<char>((seed >> 16) & 0xff);
            data += byte != 0 ? byte : '\x10';  // never 0 inside a line: no false end of page
        }
        data += '\x00';
        data += '\x80';
    }
    return data;
}

// The modem's side: takes everything the host writes until told to stop.
void Drain(int master, const std::atomic<bool> *stop, size_t *taken) {
    char buf[4096];
    while (!stop->load()) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            *taken += static_cast<size_t>(n);
        } else {
            pollfd p{master, POLLIN, 0};
            poll(&p, 1, 10);
        }
    }
}

void Run(const char *what, int16_t scan_time, int master, const PageRef &page) {
    FaxChannel &c = g_channels[0];
    c.scan_time = scan_time;
    std::atomic<bool> stop{false};
    size_t taken = 0;
    std::thread modem(Drain, master, &stop, &taken);
    const double cpu = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const uint16_t code = SendFaxData(page, 0);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double used = ThreadCpuSeconds() - cpu;
    usleep(100000);
    stop = true;
    modem.join();
    const double rate = static_cast<double>(kPageBytes) / wall;
    if (code != TOLLAN_OK) {
        printf("| %s | failed, code %u | | | | |\n", what, code);
        return;
    }
    printf("| %s | %.2f MB | %.0f KiB/s | %.0f | %.2f s | %.2f us |\n", what, static_cast<double>(taken) / 1e6,
           rate / 1024, rate / kLineBytesPerSecond, used * (1 << 20) / static_cast<double>(kPageBytes),
           1e6 * used / static_cast<double>(taken));
}

}  // namespace

int main() {
    int master = -1;
    int fd = OpenBenchPort(&master, O_NONBLOCK);
    if (fd == -1) return 1;

    char dir[] = "/tmp/tollan-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string page = PageData();
    const std::string base = std::string(dir) + "/page.g3";
    FILE *out = fopen((std::string(dir) + "/page_p1.g3").c_str(), "wb");
    fwrite(page.data(), 1, page.size(), out);
    fclose(out);

    FaxChannel &c = g_channels[0];
    c.in_use = 1;
    c.comm_handle = fd;
    c.io_timeout = 80000;
    FaxBeginCall(0);  // a read ends once the call's time is up
    c.bit_rate = 5;
    const PageRef one{base.c_str(), 1, 1};

    printf("| class 1 SendFaxData, 1 MiB page of 14-byte lines | bytes written | throughput | times a 14400 bit/s line "
           "| processor per MiB of page | processor per byte written |\n|---|---|---|---|---|---|\n");
    Run("scan time 0 (no fill)", 0, master, one);
    Run("scan time 3 (lines filled to 36 bytes)", 3, master, one);  // 10 ms at 14400: every line filled to 36 bytes

    std::string command = std::string("rm -rf ") + dir;
    int ignored = system(command.c_str());
    (void)ignored;
    close(fd);
    close(master);
    return 0;
}
