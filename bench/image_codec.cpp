// Pages per second of BmpToG3 and G3ToBmp on a 1728 x 2290 page of
// text-like rows, and the peak memory of one conversion of each.
//
// Peak memory: a child process resets its peak resident size (clear_refs),
// runs one conversion, and reports VmHWM, and its growth over the resident
// size before the call.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/channel.h"
#include "engine/tollan.h"

namespace {

constexpr int kWidth = 1728;
constexpr int kHeight = 2290;

std::string g_dir;

std::string PathOf(const char *name) { return g_dir + "/" + name; }

void Put32(std::string *out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

// A 1-bit page: bands of 28 rows of short random runs (text) and 12 blank
// rows, with 100-pixel margins.
void WritePage(const std::string &path) {
    const uint32_t stride = kWidth / 8;
    std::string bmp = "BM";
    Put32(&bmp, 62 + stride * kHeight);
    Put32(&bmp, 0);
    Put32(&bmp, 62);
    for (uint32_t v : {40u, static_cast<uint32_t>(kWidth), static_cast<uint32_t>(kHeight)}) Put32(&bmp, v);
    bmp += std::string("\x01\x00\x01\x00", 4);
    for (int i = 0; i < 6; ++i) Put32(&bmp, 0);
    Put32(&bmp, 0x00FFFFFF);  // entry 0 white
    Put32(&bmp, 0);
    std::mt19937 random(2290);
    for (int y = 0; y < kHeight; ++y) {
        std::string row(stride, '\0');
        if (y % 40 < 28) {
            int x = 100;
            bool black = false;
            while (x < kWidth - 100) {
                int run = 1 + static_cast<int>(random() % (black ? 4 : 12));
                for (int i = 0; i < run && x < kWidth - 100; ++i, ++x)
                    if (black) row[x / 8] |= static_cast<char>(0x80 >> (x % 8));
                black = !black;
            }
        }
        bmp += row;
    }
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(bmp.data(), 1, bmp.size(), f);
    fclose(f);
}

long StatusKb(const char *field) {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    size_t n = strlen(field);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, field, n) == 0) kb = strtol(line + n, nullptr, 10);
    fclose(f);
    return kb;
}

struct PeakMemory {
    long peak_kb;
    long growth_kb;
};

// Runs one conversion in a child and returns its peak resident size.
template <typename Conversion>
PeakMemory MeasurePeak(Conversion conversion) {
    int fds[2];
    if (pipe(fds) != 0) return {-1, -1};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int clear = open("/proc/self/clear_refs", O_WRONLY);
        if (clear >= 0) {
            ssize_t ignored = write(clear, "5", 1);  // resets VmHWM to the current size
            (void)ignored;
            close(clear);
        }
        long before = StatusKb("VmRSS:");
        conversion();
        PeakMemory m{StatusKb("VmHWM:"), 0};
        m.growth_kb = m.peak_kb - before;
        ssize_t ignored = write(fds[1], &m, sizeof m);
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    PeakMemory m{-1, -1};
    if (read(fds[0], &m, sizeof m) != static_cast<ssize_t>(sizeof m)) m = {-1, -1};
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return m;
}

void ReportPeak(benchmark::State &state, const PeakMemory &m) {
    state.counters["peak_rss_kB"] = static_cast<double>(m.peak_kb);
    state.counters["growth_kB"] = static_cast<double>(m.growth_kb);
}

void EncodePage() { BmpToG3(PathOf("page.bmp").c_str(), PathOf("page.g3").c_str()); }
void DecodePage() { G3ToBmp(PathOf("page.g3").c_str(), PathOf("back.bmp").c_str()); }

void BM_BmpToG3(benchmark::State &state) {
    for (auto _ : state) EncodePage();
    state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
    ReportPeak(state, MeasurePeak(EncodePage));
}

void BM_G3ToBmp(benchmark::State &state) {
    for (auto _ : state) DecodePage();
    state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
    ReportPeak(state, MeasurePeak(DecodePage));
}

BENCHMARK(BM_BmpToG3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_G3ToBmp)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    char dir[] = "/tmp/tollan-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    g_dir = dir;
    g_settings.stretch_option = 0;  // the page is full size: no stretching
    WritePage(PathOf("page.bmp"));
    if (BmpToG3(PathOf("page.bmp").c_str(), PathOf("page.g3").c_str()) != TOLLAN_OK) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const char *name : {"page.bmp", "page.g3", "back.bmp"}) unlink(PathOf(name).c_str());
    rmdir(dir);
    return 0;
}
