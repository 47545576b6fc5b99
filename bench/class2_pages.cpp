// Page data through a class 2.0 channel over a pseudo-terminal: how fast
// FaxSendPage streams a page file (DLE doubling, 64-byte blocks, draining
// between them) and FaxGetPageData takes one apart (port reads a block at a
// time through the modem link, file writes in 8 KiB blocks). Prints bytes
// per second and processor time per megabyte as Markdown rows; a fax line
// carries at most 1800 bytes a second.
// Processor time is the library's thread alone (the modem thread is left out).
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "class2/class2.h"
#include "engine/call_limits.h"
#include "engine/channel.h"
#include "bench/bench_process.h"
#include "bench/bench_pty.h"
#include "platform/platform.h"

namespace {

constexpr size_t kPageBytes = 1 << 20;
constexpr double kLineBytesPerSecond = 14400.0 / 8;

std::string PageData() {
    std::string data(1, '\0');
    uint32_t seed = 1;
    while (data.size() < kPageBytes) {
        seed = seed * 1103515245u + 12345u;
        data += static_cast<char>((seed >> 16) & 0xff);
    }
    return data;
}

void WriteAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

// Reads from fd until the stop text has arrived; returns what came.
std::string ReadUntil(int fd, const std::string &stop) {
    std::string got;
    char buf[4096];
    while (got.size() < stop.size() || got.compare(got.size() - stop.size(), stop.size(), stop) != 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
        } else {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 100);
        }
    }
    return got;
}

// The modem's side of one class 2.0 page: CONNECT to "AT+FDT", the data up
// to DLE ".", then OK.
void AnswerOnePage(int master) {
    ReadUntil(master, "AT+FDT\r\n");
    WriteAll(master, "\r\nCONNECT\r\n");
    char buf[4096];
    bool dle = false;
    for (bool end = false; !end;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) {
            pollfd p{master, POLLIN, 0};
            poll(&p, 1, 100);
            continue;
        }
        for (ssize_t i = 0; i < n && !end; ++i) {
            if (dle) {
                dle = false;
                end = buf[i] == '.';
            } else {
                dle = buf[i] == '\x10';
            }
        }
    }
    WriteAll(master, "\r\nOK\r\n");
}

void Report(const char *what, uint16_t code, double wall, double cpu) {
    if (code != 0) {
        printf("| %s | failed, code %u | | | |\n", what, code);
        return;
    }
    double rate = static_cast<double>(kPageBytes) / wall;
    printf("| %s | %.0f KiB/s | %.0f | %.2f s | %.2f us |\n", what, rate / 1024, rate / kLineBytesPerSecond,
           cpu * (1 << 20) / static_cast<double>(kPageBytes), 1e6 * cpu / static_cast<double>(kPageBytes));
}

}  // namespace

int main() {
    int master = -1;
    int fd = OpenBenchPort(&master, O_NONBLOCK);
    if (fd == -1) return 1;
    FaxChannel &c = g_channels[0];
    c.in_use = 1;
    c.comm_handle = fd;
    c.io_timeout = 80000;
    c.modem_class = 3;
    FaxBeginCall(0);  // a read ends once the call's time is up

    char dir[] = "/tmp/tollan-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string page = PageData();
    const std::string send_file = std::string(dir) + "/send_p1.g3";
    FILE *out = fopen(send_file.c_str(), "wb");
    fwrite(page.data(), 1, page.size(), out);
    fclose(out);

    std::thread modem(AnswerOnePage, master);
    double cpu = ThreadCpuSeconds();
    auto wall = std::chrono::steady_clock::now();
    uint16_t sent = FaxSendPage(send_file.c_str(), 2, 0);
    double send_wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    double send_cpu = ThreadCpuSeconds() - cpu;
    modem.join();

    std::string framed;
    for (char b : page) {
        if (b == '\x10') framed += '\x10';
        framed += b;
    }
    framed += "\x10\x03";
    modem = std::thread(WriteAll, master, framed);
    cpu = ThreadCpuSeconds();
    wall = std::chrono::steady_clock::now();
    uint16_t received = FaxGetPageData(0, 1, (std::string(dir) + "/received.g3").c_str());
    double receive_wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    double receive_cpu = ThreadCpuSeconds() - cpu;
    modem.join();

    printf("| class 2.0 page data, 1 MiB page | throughput | times a 14400 bit/s line | processor per MiB "
           "| processor per page byte |\n|---|---|---|---|---|\n");
    Report("FaxSendPage (64-byte blocks)", sent, send_wall, send_cpu);
    Report("FaxGetPageData (blocks)", received, receive_wall, receive_cpu);
    std::string command = std::string("rm -rf ") + dir;
    int ignored = system(command.c_str());
    (void)ignored;
    close(fd);
    close(master);
    return sent == 0 && received == 0 ? 0 : 1;
}
