// The cost of a fax: processor time and peak memory of a host process that
// sends or receives one and five copies of the text page (bench_pages.h,
// coded by BmpToG3, an EOL first) through the fax line emulator, in class 2, class 2.0
// and class 1.
//
// The emulator runs in this process, on an unpaced line and a clock twenty
// times faster than real time (a page's line time, which the emulator keeps,
// would otherwise outlast the library's 80 s wait); the library runs
// in a host process of its own (this program again, with --host), so the
// host's rusage from wait4 (user + system, every thread of it) is the
// library's share alone, process start and PortOpen included. What one
// more page costs is the five-page session less the one-page session, over
// four. Prints a Markdown table.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_pages.h"
#include "bench/bench_process.h"
#include "engine/tollan.h"
#include "sim/sim.h"

namespace {

constexpr int kManyPages = 5;
// The pause before reading a command's response; the default (500 ms) only
// makes a session longer, not costlier.
constexpr int kCommandIntervalMs = 50;
constexpr double kLineBytesPerSecond = 14400.0 / 8;

std::string g_dir;
Spawner g_spawner;  // starts the hosts, so that their peak memory is their own

std::string DocPath() { return g_dir + "/doc.g3"; }
std::string PagePath(int n) { return g_dir + "/doc_p" + std::to_string(n) + ".g3"; }
std::string ReadyPath() { return g_dir + "/host_ready"; }

bool FileExists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

long FileSize(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// ---- The host: one session, then exit 0 if every page went -------------

// Polls for RING as a host does between calls, ten times a second at most.
bool WaitForCall(int32_t ch) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int32_t ring = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (WaitForRing(ch, &ring) != TOLLAN_OK) return false;
        if (ring == 1) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// TOLLAN_BENCH_PROGRESS=1: a progress callback that counts its calls, to
// show what hearing of progress costs.
void CountProgress(int32_t, const TollanProgress *, void *calls) { ++*static_cast<long *>(calls); }

int HostSession(const std::string &mode, int modem_class, int pages) {
    if (mode == "none") return 0;
    setenv("QUARRY_INI", (g_dir + "/quarry.ini").c_str(), 1);
    SetModemCommandInterval(kCommandIntervalMs);
    SetModemClass(0, modem_class);
    int32_t ch = -1;
    if (PortOpen(&ch, 1, "ATZ") != TOLLAN_OK) return 10;
    SetLocalID(ch, "12345");
    long progress_calls = 0;
    if (getenv("TOLLAN_BENCH_PROGRESS")) SetProgressCallback(ch, CountProgress, &progress_calls);
    bool ok = false;
    if (mode == "send") {
        uint16_t rc = modem_class == TOLLAN_CLASS_1 ? SendClass1Fax(ch, "200", DocPath().c_str(), pages)
                                                    : SendFax(ch, "200", DocPath().c_str(), pages);
        int16_t sent = 0;
        GetNumOfPagesSent(ch, &sent);
        ok = rc == TOLLAN_OK && sent == pages;
    } else {
        FILE *ready = fopen(ReadyPath().c_str(), "w");
        if (ready) fclose(ready);
        int16_t got = 0;
        const std::string base = g_dir + "/in.g3";
        ok = WaitForCall(ch) &&
             (modem_class == TOLLAN_CLASS_1 ? ReceiveClass1Fax(ch, base.c_str(), &got) : ReceiveFax(ch, base.c_str(), &got)) ==
                 TOLLAN_OK &&
             got == pages;
    }
    PortClose(ch);
    return ok ? 0 : 20;
}

// ---- The emulator's side ---------------------------------------------------

// The emulator's clock: its line and T.30 timers run this much faster than
// real time, so a long page crosses the line before the host's waits end.
constexpr uint64_t kSimSpeed = 20;

uint64_t FastNow() {
    static const auto start = std::chrono::steady_clock::now();
    const auto real = std::chrono::steady_clock::now() - start;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(real).count()) * kSimSpeed;
}
int FastPoll(pollfd *fds, size_t n, size_t, int timeout_ms) {
    const int real = timeout_ms < 0 ? -1 : static_cast<int>((static_cast<uint64_t>(timeout_ms) + kSimSpeed - 1) / kSimSpeed);
    return poll(fds, n, real);
}
ssize_t RealRead(int fd, void *buf, size_t n) { return read(fd, buf, n); }
ssize_t RealWrite(int fd, const void *buf, size_t n) { return write(fd, buf, n); }
constexpr SimClockOps kFastSimClock = {FastNow, FastPoll, RealRead, RealWrite};

struct Scenario {
    const char *name;
    const char *mode;  // "send" or "receive"
    int modem_class;
};

// The page's size as the decoder finds it, "" if it does not decode.
std::string PageSize(const std::string &path) {
    int32_t width = 0, height = 0;
    if (GetG3Size(path.c_str(), &width, &height) != TOLLAN_OK) return "";
    return std::to_string(width) + "x" + std::to_string(height);
}

// The far end's station ended its call with every page, and every page
// decodes to the size of the page sent: a session that lost lines would be
// cheap for nothing. (Bytes after the end of the page may go.)
bool SessionDelivered(Sim *sim, int far_end, bool host_received, int pages) {
    if (!SimWaitStation(sim, far_end, 1, 5000 * kSimSpeed)) return false;
    const SimStationResult result = SimStationResults(sim, far_end);
    if (result.pages != pages) return false;
    const std::string sent = PageSize(PagePath(1));
    for (int n = 1; n <= pages; ++n) {
        const std::string got = host_received ? PageSize(g_dir + "/in_p" + std::to_string(n) + ".g3")
                                              : PageSize(result.page_files[static_cast<size_t>(n - 1)]);
        if (got != sent) return false;
    }
    return true;
}

// One session of `pages` pages; the host's result, or a failed one.
ChildResult RunSession(const Scenario &s, int pages) {
    SimUseClock(&kFastSimClock);
    SimConfig config;
    config.timings.ring_interval = 200 * kSimSpeed;  // the host answers the first RING anyway
    Sim *sim = SimCreate(config);
    if (!sim) {
        SimUseClock(nullptr);
        return {};
    }
    SimAddModem(sim, SimModemConfig{"100", kSimAllClasses, {}, {}});
    SimStationConfig answering;
    answering.number = "200";
    answering.page_dir = g_dir;
    answering.base = "station";
    const int station = SimAddStation(sim, answering);
    int caller = -1;
    if (strcmp(s.mode, "receive") == 0) {
        SimStationConfig calling;
        calling.number = "300";
        calling.answering = false;
        for (int n = 1; n <= pages; ++n) calling.pages.push_back(PagePath(n));
        caller = SimAddStation(sim, calling);
    }
    const std::string profile = g_dir + "/quarry.ini";
    if (!SimStart(sim) || !SimWriteProfile(sim, profile)) {
        SimDestroy(sim);
        SimUseClock(nullptr);
        return {};
    }
    unlink(ReadyPath().c_str());
    // A receiving call never writes over the page files of an earlier one.
    for (int n = 1; n <= kManyPages; ++n) unlink((g_dir + "/in_p" + std::to_string(n) + ".g3").c_str());

    bool started = SpawnProgram(g_spawner, {SelfPath(), "--host", s.mode, std::to_string(s.modem_class),
                                            std::to_string(pages), g_dir});
    if (started && caller != -1) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!FileExists(ReadyPath()) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        SimStationCall(sim, caller, "100");
    }
    ChildResult r = started ? SpawnedResult(g_spawner) : ChildResult{};
    if (!SessionDelivered(sim, caller != -1 ? caller : station, caller != -1, pages)) r.exited_ok = false;
    SimDestroy(sim);
    SimUseClock(nullptr);
    return r;
}

void PrintRow(const char *name, const ChildResult &one, const ChildResult &many, long page_bytes) {
    if (!one.exited_ok || !many.exited_ok) {
        printf("| %s | failed (host status %d / %d) | | | | | |\n", name, one.status, many.status);
        return;
    }
    const double per_page = (many.cpu_s - one.cpu_s) / (kManyPages - 1);
    const double line_seconds = static_cast<double>(page_bytes) / kLineBytesPerSecond;
    printf("| %s | %.0f ms | %.0f ms | %.0f ms | %.2f %% | %.1f s | %.1f MB |\n", name, 1000 * one.cpu_s,
           1000 * many.cpu_s, 1000 * per_page, 100 * per_page / line_seconds, many.wall_s,
           static_cast<double>(many.peak_kb) / 1024);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 6 && strcmp(argv[1], "--host") == 0) {
        g_dir = argv[5];
        return HostSession(argv[2], atoi(argv[3]), atoi(argv[4]));
    }
    if (!StartSpawner(&g_spawner)) return 1;
    char dir[] = "/tmp/tollan-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    g_dir = dir;
    SetStretchOption(0);
    const std::string bmp = g_dir + "/page.bmp";
    const std::string coded = g_dir + "/page.g3";
    if (!WritePageBmp(TextPage(), bmp) || BmpToG3(bmp.c_str(), coded.c_str()) != TOLLAN_OK) return 1;
    // A fax machine's page begins with an EOL, and a receiver drops what
    // comes before it: a byte-aligned EOL first keeps every line.
    std::string page = std::string("\x00\x80", 2);
    FILE *in = fopen(coded.c_str(), "rb");
    if (!in) return 1;
    for (int c; (c = getc(in)) != EOF;) page += static_cast<char>(c);
    fclose(in);
    for (int n = 1; n <= kManyPages; ++n)
        if (!WriteFileBytes(PagePath(n), page)) return 1;
    const long page_bytes = FileSize(PagePath(1));

    const Scenario scenarios[] = {
        {"class 2, send", "send", TOLLAN_CLASS_2},
        {"class 2, receive", "receive", TOLLAN_CLASS_2},
        {"class 2.0, send", "send", TOLLAN_CLASS_2_0},
        {"class 2.0, receive", "receive", TOLLAN_CLASS_2_0},
        {"class 1, send", "send", TOLLAN_CLASS_1},
        {"class 1, receive", "receive", TOLLAN_CLASS_1},
    };
    printf("Host processor time (user + system) per session; text page of %ld bytes, unpaced line, the emulator's clock 20 times real time.\n\n", page_bytes);
    printf("| session | 1 page | %d pages | each further page | share of a core at 14400 bit/s | wall, %d pages | peak RSS |\n",
           kManyPages, kManyPages);
    printf("|---|---|---|---|---|---|---|\n");
    ChildResult idle = RunSpawned(g_spawner, {SelfPath(), "--host", "none", "0", "0", g_dir});
    printf("| host that starts and exits | %.0f ms | | | | | %.1f MB |\n", 1000 * idle.cpu_s,
           static_cast<double>(idle.peak_kb) / 1024);
    bool all_ok = true;
    for (const Scenario &s : scenarios) {
        ChildResult one = RunSession(s, 1);
        ChildResult many = RunSession(s, kManyPages);
        PrintRow(s.name, one, many, page_bytes);
        all_ok = all_ok && one.exited_ok && many.exited_ok;
        fflush(stdout);
    }
    StopSpawner(&g_spawner);
    std::string command = std::string("rm -rf ") + dir;
    int ignored = system(command.c_str());
    (void)ignored;
    return all_ok ? 0 : 1;
}
