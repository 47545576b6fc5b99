// Page conversions against their peers, on three standard pages of
// 1728 x 2290 dots (text, halftone, blank; bench_pages.h):
//   BmpToG3      vs libtiff's 1-D Group 3 encoder and netpbm's pbmtog3
//   G3ToBmp      vs libtiff's decoder and netpbm's g3topbm
//   RotateBitmap vs netpbm's pamflip -cw
//   GetG3Size    (no peer)
// libtiff runs in this process like the library; the netpbm programs and
// the tollan command run as whole processes, so their time includes
// starting the process. Every side reads its input file and writes its
// output file. Time per page: processor time (user + system) of the process
// converting, this one or the child (from wait4), and wall time; ratios
// are of processor time, which a busy machine disturbs least. Peak memory:
// each conversion once more in a process of its own (this program again,
// with --one), its ru_maxrss.
//
// Google Benchmark's table goes to standard error, Markdown tables with the
// ratios to standard output. bench/profile.sh uses the one-shot modes at the
// end of main to profile a single conversion.
#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bench/bench_pages.h"
#include "bench/bench_process.h"
#include "engine/tollan.h"

namespace {

std::string g_dir;
Spawner g_spawner;  // starts the processes whose peak memory is measured
const char *const kPageNames[] = {"text", "halftone", "blank"};

std::string PathOf(const std::string &page, const char *suffix) { return g_dir + "/" + page + suffix; }

long FileSize(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

bool ReadFileBytes(const std::string &path, std::string *bytes) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return false;
    bytes->clear();
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes->append(buf, n);
    fclose(f);
    return true;
}

// ---- libtiff: a page as one strip of 1-D Group 3, LSB first -------------

// The dots of a P4 file as WritePagePbm writes it.
bool ReadPbmBits(const std::string &path, std::string *bits) {
    std::string file;
    if (!ReadFileBytes(path, &file)) return false;
    const std::string header = "P4\n" + std::to_string(kPageWidth) + " " + std::to_string(kPageHeight) + "\n";
    if (file.compare(0, header.size(), header) != 0) return false;
    *bits = file.substr(header.size());
    return bits->size() == static_cast<size_t>(kPageStride) * kPageHeight;
}

bool TiffEncode(const std::string &pbm_path, const std::string &tif_path) {
    std::string bits;
    if (!ReadPbmBits(pbm_path, &bits)) return false;
    TIFF *tif = TIFFOpen(tif_path.c_str(), "w");
    if (!tif) return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kPageWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kPageHeight);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, 0);  // one-dimensional, no fill bits
    TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, kPageHeight);
    bool ok = TIFFWriteEncodedStrip(tif, 0, bits.data(), static_cast<tmsize_t>(bits.size())) != -1;
    TIFFClose(tif);
    return ok;
}

bool TiffDecode(const std::string &tif_path, const std::string &pbm_path) {
    TIFF *tif = TIFFOpen(tif_path.c_str(), "r");
    if (!tif) return false;
    std::string bits(static_cast<size_t>(TIFFStripSize(tif)), '\0');
    bool ok = TIFFReadEncodedStrip(tif, 0, &bits[0], -1) == static_cast<tmsize_t>(bits.size());
    TIFFClose(tif);
    BenchPage page{"", bits};
    return ok && WritePagePbm(page, pbm_path);
}

// ---- The conversions, by name --------------------------------------------

// Runs one conversion of the named page in this process; false on failure.
bool RunInProcess(const std::string &what, const std::string &page) {
    if (what == "BmpToG3") return BmpToG3(PathOf(page, ".bmp").c_str(), PathOf(page, "_out.g3").c_str()) == TOLLAN_OK;
    if (what == "G3ToBmp") return G3ToBmp(PathOf(page, ".g3").c_str(), PathOf(page, "_out.bmp").c_str()) == TOLLAN_OK;
    if (what == "GetG3Size") {
        int32_t width = 0, height = 0;
        return GetG3Size(PathOf(page, ".g3").c_str(), &width, &height) == TOLLAN_OK;
    }
    if (what == "RotateBitmap")
        return RotateBitmap(PathOf(page, ".bmp").c_str(), PathOf(page, "_rot.bmp").c_str(), 0) == TOLLAN_OK;
    if (what == "libtiff encode") return TiffEncode(PathOf(page, ".pbm"), PathOf(page, "_out.tif"));
    if (what == "libtiff decode") return TiffDecode(PathOf(page, ".tif"), PathOf(page, "_tif.pbm"));
    return what == "nothing";
}

// A conversion done by a program of its own: argv, stdin, stdout.
struct Command {
    std::vector<std::string> argv;
    std::string in, out;
};

bool IsProcessConversion(const std::string &what) {
    return what == "pbmtog3" || what == "g3topbm" || what == "pamflip -cw" || what == "tollan convert" ||
           what == "tollan convert back" || what == "start";
}

// What starting a process costs alone: the page is ignored.
const char *const kStartCommands[] = {"pbmtog3 on a page of one 8-dot line", "tollan --version"};

Command CommandFor(const std::string &what, const std::string &page) {
    if (what == "start" && page == kStartCommands[0])
        return {{"/usr/bin/pbmtog3", "-reversebits"}, g_dir + "/tiny.pbm", "/dev/null"};
    if (what == "start") return {{TOLLAN_CLI_PATH, "--version"}, "", "/dev/null"};
    if (what == "pbmtog3") return {{"/usr/bin/pbmtog3", "-reversebits"}, PathOf(page, ".pbm"), PathOf(page, "_pbmtog3.g3")};
    if (what == "g3topbm")
        return {{"/usr/bin/g3topbm", "-reversebits"}, PathOf(page, ".g3"), PathOf(page, "_g3topbm.pbm")};
    if (what == "pamflip -cw") return {{"/usr/bin/pamflip", "-cw"}, PathOf(page, ".pbm"), PathOf(page, "_rot.pbm")};
    if (what == "tollan convert")
        return {{TOLLAN_CLI_PATH, "convert", "--stretch", "0", PathOf(page, ".bmp"), PathOf(page, "_cli.g3")}, "", "/dev/null"};
    return {{TOLLAN_CLI_PATH, "convert", PathOf(page, ".g3"), PathOf(page, "_cli.bmp")}, "", "/dev/null"};
}

void BenchConversion(benchmark::State &state, const std::string &what, const std::string &page) {
    if (IsProcessConversion(what)) {
        const Command c = CommandFor(what, page);
        double child_cpu = 0;
        for (auto _ : state) {
            ChildResult r = RunProgram(c.argv, c.in, c.out);
            if (!r.exited_ok) {
                state.SkipWithError((what + " failed").c_str());
                break;
            }
            child_cpu += r.cpu_s;
        }
        state.counters["child_cpu_ms"] = 1000 * child_cpu / static_cast<double>(std::max<int64_t>(1, state.iterations()));
        return;
    }
    for (auto _ : state) {
        if (!RunInProcess(what, page)) {
            state.SkipWithError((what + " failed").c_str());
            break;
        }
    }
}

// ---- Results and the Markdown tables --------------------------------------

// Time per page of one benchmark, in milliseconds.
struct PageTime {
    double wall;
    double cpu;  // of the process doing the conversion: this one, or the child
};

// Keeps the time per page of every run, by name.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, PageTime> times;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            auto child = run.counters.find("child_cpu_ms");
            times[run.benchmark_name()] = {run.GetAdjustedRealTime(),
                                           child != run.counters.end() ? child->second.value : run.GetAdjustedCPUTime()};
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

using Times = std::map<std::string, PageTime>;

std::string BenchName(const std::string &what, const std::string &page) { return what + "/" + page; }

const PageTime *Find(const Times &times, const std::string &name) {
    auto it = times.find(name + "/real_time");
    return it == times.end() ? nullptr : &it->second;
}

std::string Milliseconds(double ms) {
    char text[32];
    snprintf(text, sizeof text, ms < 10 ? "%.2f" : "%.1f", ms);
    return text;
}

// "processor (wall) ms"
std::string Ms(const Times &times, const std::string &name) {
    const PageTime *t = Find(times, name);
    if (!t) return "-";
    return Milliseconds(t->cpu) + " (" + Milliseconds(t->wall) + ") ms";
}

// tollan's processor time over the peer's: above 1, tollan is slower.
std::string Ratio(const Times &times, const std::string &ours, const std::string &peer) {
    const PageTime *a = Find(times, ours), *b = Find(times, peer);
    if (!a || !b || b->cpu <= 0) return "-";
    char text[32];
    snprintf(text, sizeof text, "%.2f", a->cpu / b->cpu);
    return text;
}

void PrintComparison(const Times &ms, const char *title, const std::string &ours,
                     const std::vector<std::string> &peers) {
    printf("\n#### %s\n\n| page | %s |", title, ours.c_str());
    for (const std::string &p : peers) printf(" %s | ratio |", p.c_str());
    printf("\n|---|---|");
    for (size_t i = 0; i < peers.size(); ++i) printf("---|---|");
    printf("\n");
    for (const char *page : kPageNames) {
        printf("| %s | %s |", page, Ms(ms, BenchName(ours, page)).c_str());
        for (const std::string &p : peers)
            printf(" %s | %s |", Ms(ms, BenchName(p, page)).c_str(), Ratio(ms, BenchName(ours, page), BenchName(p, page)).c_str());
        printf("\n");
    }
}

void PrintSizes() {
    printf("\n#### Coded page sizes (bytes)\n\n| page | BmpToG3 | libtiff (whole file) | pbmtog3 |\n|---|---|---|---|\n");
    for (const char *page : kPageNames)
        printf("| %s | %ld | %ld | %ld |\n", page, FileSize(PathOf(page, ".g3")), FileSize(PathOf(page, ".tif")),
               FileSize(PathOf(page, "_pbmtog3.g3")));
}

// Peak resident memory of one conversion in a process of its own.
long PeakKb(const std::string &what, const std::string &page) {
    if (what == "true") return RunSpawned(g_spawner, {"/bin/true"}).peak_kb;
    if (IsProcessConversion(what)) {
        const Command c = CommandFor(what, page);
        ChildResult r = RunSpawned(g_spawner, c.argv, c.in, c.out);
        return r.exited_ok ? r.peak_kb : -1;
    }
    ChildResult r = RunSpawned(g_spawner, {SelfPath(), "--one", what, page, g_dir});
    return r.exited_ok ? r.peak_kb : -1;
}

void PrintMemory() {
    const std::vector<std::string> conversions = {
        "true", "nothing", "BmpToG3", "libtiff encode", "tollan convert", "pbmtog3", "G3ToBmp", "libtiff decode",
        "tollan convert back", "g3topbm", "GetG3Size", "RotateBitmap", "pamflip -cw"};
    printf("\n#### Peak resident memory (ru_maxrss of a process doing one conversion)\n\n| conversion |");
    for (const char *page : kPageNames) printf(" %s |", page);
    printf("\n|---|---|---|---|\n");
    for (const std::string &what : conversions) {
        printf("| %s |", what == "true"      ? "/bin/true (the floor under every figure)"
                         : what == "nothing" ? "this program, no conversion"
                                             : what.c_str());
        for (const char *page : kPageNames) printf(" %.1f MB |", static_cast<double>(PeakKb(what, page)) / 1024);
        printf("\n");
    }
}

bool PreparePages() {
    if (!WriteFileBytes(g_dir + "/tiny.pbm", std::string("P4\n8 1\n\0", 9))) return false;
    for (BenchPage page : {TextPage(), HalftonePage(), BlankPage()}) {
        const std::string name = page.name;
        if (!WritePageBmp(page, PathOf(name, ".bmp")) || !WritePagePbm(page, PathOf(name, ".pbm"))) return false;
        if (BmpToG3(PathOf(name, ".bmp").c_str(), PathOf(name, ".g3").c_str()) != TOLLAN_OK) return false;
        // libtiff must give back the very page, or its times say nothing.
        std::string back;
        if (!TiffEncode(PathOf(name, ".pbm"), PathOf(name, ".tif")) ||
            !TiffDecode(PathOf(name, ".tif"), PathOf(name, "_tif.pbm")) || !ReadPbmBits(PathOf(name, "_tif.pbm"), &back) ||
            back != page.bits)
            return false;
        if (!RunProgram(CommandFor("pbmtog3", name).argv, PathOf(name, ".pbm"), PathOf(name, "_pbmtog3.g3")).exited_ok)
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    TIFFSetWarningHandler(nullptr);
    SetStretchOption(0);  // the pages are full size: no stretching
    // One-shot modes: a conversion in a process of its own (peak memory, and
    // profiling with a repeat count), and the pages alone (for profiling).
    if ((argc == 5 || argc == 6) && strcmp(argv[1], "--one") == 0) {
        g_dir = argv[4];
        const int repeat = argc == 6 ? atoi(argv[5]) : 1;
        for (int i = 0; i < repeat; ++i)
            if (!RunInProcess(argv[2], argv[3])) return 1;
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "--prepare") == 0) {
        g_dir = argv[2];
        return PreparePages() ? 0 : 1;
    }
    if (!StartSpawner(&g_spawner)) return 1;
    char dir[] = "/tmp/tollan-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    g_dir = dir;
    if (!PreparePages()) {
        fprintf(stderr, "preparing the pages failed\n");
        return 1;
    }
    const char *const conversions[] = {"BmpToG3",  "libtiff encode", "tollan convert", "pbmtog3",
                                       "G3ToBmp",  "libtiff decode", "tollan convert back", "g3topbm",
                                       "GetG3Size", "RotateBitmap",  "pamflip -cw"};
    for (const char *what : conversions)
        for (const char *page : kPageNames)
            benchmark::RegisterBenchmark(BenchName(what, page).c_str(), BenchConversion, std::string(what), std::string(page))
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
    for (const char *command : kStartCommands)
        benchmark::RegisterBenchmark(BenchName("start", command).c_str(), BenchConversion, std::string("start"),
                                     std::string(command))
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    benchmark::Initialize(&argc, argv);
    CollectingReporter reporter;
    reporter.SetOutputStream(&std::cerr);  // standard output is for the Markdown tables
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const Times &ms = reporter.times;
    PrintComparison(ms, "Encoding: bitmap file to Group 3 file, processor (wall) time per page; ratio of processor times, tollan / peer", "BmpToG3",
                    {"libtiff encode", "pbmtog3"});
    PrintComparison(ms, "Encoding as whole processes", "tollan convert", {"pbmtog3"});
    PrintComparison(ms, "Decoding: Group 3 file to bitmap file", "G3ToBmp",
                    {"libtiff decode", "g3topbm"});
    PrintComparison(ms, "Decoding as whole processes", "tollan convert back", {"g3topbm"});
    PrintComparison(ms, "Turning a page a quarter turn clockwise", "RotateBitmap", {"pamflip -cw"});
    PrintComparison(ms, "Measuring a Group 3 page (decoding without output)", "GetG3Size", {});
    printf("\n#### Starting a process, no page (included in every whole-process time above)\n\n| command | processor (wall) |\n|---|---|\n");
    for (const char *command : kStartCommands) printf("| %s | %s |\n", command, Ms(ms, BenchName("start", command)).c_str());
    PrintSizes();
    PrintMemory();
    StopSpawner(&g_spawner);

    std::string command = std::string("rm -rf ") + dir;
    int ignored = system(command.c_str());
    (void)ignored;
    return 0;
}
