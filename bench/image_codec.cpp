// Page conversions against their peers, on three standard pages of
// 1728 x 2290 dots (text, halftone, blank; bench_pages.h) and the eight ITU
// test charts (1728 x 2376, from the shared test data when it is there):
//   BmpToG3      vs libtiff's 1-D Group 3 encoder and netpbm's pbmtog3
//   G3ToBmp      vs libtiff's decoder and netpbm's g3topbm
//   RotateBitmap vs netpbm's pamflip -cw
//   GetG3Size    (no peer)
//   MR (K = 4) and MMR coding and decoding by the page codec vs libtiff's:
//   both sides read the page from the same PBM file and write their coding
//   to a file, or read the coding from a file and write a PBM file.
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
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bench/bench_pages.h"
#include "bench/bench_process.h"
#include "engine/tollan.h"
#include "image/g3_codec.h"

namespace {

std::string g_dir;
Spawner g_spawner;  // starts the processes whose peak memory is measured
std::vector<std::string> g_pages;  // the drawn pages, then the charts found

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
    int width = 0, height = 0, used = 0;
    if (sscanf(file.c_str(), "P4\n%d %d\n%n", &width, &height, &used) != 2 || used == 0 || width != kPageWidth)
        return false;
    *bits = file.substr(static_cast<size_t>(used));
    return bits->size() == static_cast<size_t>(kPageStride) * height;
}

enum class Coding { kMh, kMr, kMmr };

bool TiffEncode(const std::string &pbm_path, const std::string &tif_path, Coding coding = Coding::kMh) {
    std::string bits;
    if (!ReadPbmBits(pbm_path, &bits)) return false;
    const int rows = static_cast<int>(bits.size() / kPageStride);
    TIFF *tif = TIFFOpen(tif_path.c_str(), "w");
    if (!tif) return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kPageWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    if (coding == Coding::kMmr) {
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    } else {
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
        // One- or two-dimensional, no fill bits.
        TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, coding == Coding::kMr ? GROUP3OPT_2DENCODING : 0);
    }
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 196.0);  // fine: libtiff codes MR with K = 4
    TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows);
    bool ok = TIFFWriteEncodedStrip(tif, 0, &bits[0], static_cast<tmsize_t>(bits.size())) != -1;
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

// ---- The page codec: MR and MMR, page from a PBM file to a file ---------

// Opens a P4 file as WritePagePbm writes it and reads its header: the rows
// follow. Null when it is not one.
FILE *OpenPbmRows(const std::string &path, int *rows) {
    FILE *f = fopen(path.c_str(), "rb");
    int width = 0;
    if (f && (fscanf(f, "P4 %d %d", &width, rows) != 2 || width != kPageWidth || fgetc(f) != '\n')) {
        fclose(f);
        return nullptr;
    }
    return f;
}

// As the library codes a page: the PBM's rows read once into the page, the
// coded bytes written out in 64 KB blocks as they come, never held whole.
bool CodecEncode(const std::string &pbm_path, const std::string &out_path, G3Coding coding) {
    int rows = 0;
    FILE *in = OpenPbmRows(pbm_path, &rows);
    if (!in) return false;
    const size_t page_bytes = static_cast<size_t>(rows) * kPageStride;
    std::unique_ptr<uint8_t[]> page(new uint8_t[page_bytes]);  // not cleared: every byte is read
    const bool read = fread(page.get(), 1, page_bytes, in) == page_bytes;
    fclose(in);
    FILE *out = fopen(out_path.c_str(), "wb");
    if (!read || !out) {
        if (out) fclose(out);
        return false;
    }
    setvbuf(out, nullptr, _IONBF, 0);  // each block one write
    constexpr size_t kBlock = 64 * 1024;
    std::vector<uint8_t> coded;
    coded.reserve(2 * kBlock);
    bool ok = true;
    auto drain = [&](bool all) {
        const size_t n = all ? coded.size() : coded.size() / kBlock * kBlock;
        if (n > 0) ok = fwrite(coded.data(), 1, n, out) == n && ok;
        coded.erase(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(n));
    };
    G3Encoder e;
    StartG3Encoder(&e, coding, 4, kPageWidth, &coded);
    for (size_t at = 0; at < page_bytes; at += kPageStride) {
        EncodeG3Row(&e, page.get() + at);
        if (coded.size() >= kBlock) drain(false);
    }
    FinishG3Encoder(&e);
    drain(true);
    return fclose(out) == 0 && ok;
}

// The decoded rows go out as a PBM file straight from the decoder's block.
bool CodecDecode(const std::string &in_path, const std::string &pbm_path, G3Coding coding) {
    FILE *in = fopen(in_path.c_str(), "rb");
    if (!in) return false;
    G3Reader reader;
    StartFileReader(&reader, in, INT64_MAX);
    G3Rows rows;
    G3DecodeReport report;
    uint16_t code = DecodeG3Page(&reader, {coding, kPageWidth, 10000, "bench"}, &rows, &report);
    fclose(in);
    if (code != TOLLAN_OK || report.bad_rows != 0) return false;
    FILE *out = fopen(pbm_path.c_str(), "wb");
    if (!out) return false;
    const size_t bytes = static_cast<size_t>(rows.count) * kPageStride;
    bool ok = fprintf(out, "P4\n%d %d\n", kPageWidth, rows.count) > 0 &&
              fwrite(rows.bits.get(), 1, bytes, out) == bytes;
    return fclose(out) == 0 && ok;
}

// The floor under a conversion: reading its input file whole and writing
// an output file of the size the conversion writes, nothing else.
bool CopyBytes(const std::string &in_path, const std::string &out_path, long out_size) {
    std::string bytes;
    if (!ReadFileBytes(in_path, &bytes) || out_size < 0) return false;
    bytes.resize(static_cast<size_t>(out_size));
    return WriteFileBytes(out_path, bytes);
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
    if (what == "floor, encode") return CopyBytes(PathOf(page, ".bmp"), PathOf(page, "_floor.g3"), FileSize(PathOf(page, ".g3")));
    if (what == "floor, decode") return CopyBytes(PathOf(page, ".g3"), PathOf(page, "_floor.bmp"), FileSize(PathOf(page, "_out.bmp")));
    if (what == "MR encode") return CodecEncode(PathOf(page, ".pbm"), PathOf(page, "_out.mr"), kCodingMr);
    if (what == "MR decode") return CodecDecode(PathOf(page, ".mr"), PathOf(page, "_mr.pbm"), kCodingMr);
    if (what == "MMR encode") return CodecEncode(PathOf(page, ".pbm"), PathOf(page, "_out.mmr"), kCodingMmr);
    if (what == "MMR decode") return CodecDecode(PathOf(page, ".mmr"), PathOf(page, "_mmr.pbm"), kCodingMmr);
    if (what == "libtiff MR encode") return TiffEncode(PathOf(page, ".pbm"), PathOf(page, "_out_mr.tif"), Coding::kMr);
    if (what == "libtiff MR decode") return TiffDecode(PathOf(page, "_mr.tif"), PathOf(page, "_tif_mr.pbm"));
    if (what == "libtiff MMR encode") return TiffEncode(PathOf(page, ".pbm"), PathOf(page, "_out_mmr.tif"), Coding::kMmr);
    if (what == "libtiff MMR decode") return TiffDecode(PathOf(page, "_mmr.tif"), PathOf(page, "_tif_mmr.pbm"));
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
            times[run.run_name.function_name] = {run.GetAdjustedRealTime(),
                                           child != run.counters.end() ? child->second.value : run.GetAdjustedCPUTime()};
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

using Times = std::map<std::string, PageTime>;

std::string BenchName(const std::string &what, const std::string &page) { return what + "/" + page; }

const PageTime *Find(const Times &times, const std::string &name) {
    auto it = times.find(name);
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
    for (const std::string &page : g_pages) {
        printf("| %s | %s |", page.c_str(), Ms(ms, BenchName(ours, page)).c_str());
        for (const std::string &p : peers)
            printf(" %s | %s |", Ms(ms, BenchName(p, page)).c_str(), Ratio(ms, BenchName(ours, page), BenchName(p, page)).c_str());
        printf("\n");
    }
}

void PrintSizes() {
    printf("\n#### Coded page sizes (bytes)\n\n| page | BmpToG3 (MH) | libtiff MH (whole file) | pbmtog3 | MR, K = 4 | libtiff MR | "
           "MMR | libtiff MMR |\n|---|---|---|---|---|---|---|---|\n");
    for (const std::string &page : g_pages)
        printf("| %s | %ld | %ld | %ld | %ld | %ld | %ld | %ld |\n", page.c_str(), FileSize(PathOf(page, ".g3")),
               FileSize(PathOf(page, ".tif")), FileSize(PathOf(page, "_pbmtog3.g3")), FileSize(PathOf(page, ".mr")),
               FileSize(PathOf(page, "_mr.tif")), FileSize(PathOf(page, ".mmr")), FileSize(PathOf(page, "_mmr.tif")));
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
        "tollan convert back", "g3topbm", "GetG3Size", "RotateBitmap", "pamflip -cw", "MR encode", "libtiff MR encode",
        "MR decode", "libtiff MR decode", "MMR encode", "libtiff MMR encode", "MMR decode", "libtiff MMR decode"};
    printf("\n#### Peak resident memory (ru_maxrss of a process doing one conversion)\n\n| conversion |");
    for (const std::string &page : g_pages) printf(" %s |", page.c_str());
    printf("\n|---|");
    for (size_t i = 0; i < g_pages.size(); ++i) printf("---|");
    printf("\n");
    for (const std::string &what : conversions) {
        printf("| %s |", what == "true"      ? "/bin/true (the floor under every figure)"
                         : what == "nothing" ? "this program, no conversion"
                                             : what.c_str());
        for (const std::string &page : g_pages) printf(" %.1f MB |", static_cast<double>(PeakKb(what, page)) / 1024);
        printf("\n");
    }
}

// The ITU charts: gzip'd P4 files of 1728 x 2376 dots, in the shared test
// data beside the source tree.
std::vector<BenchPage> Charts() {
    std::vector<BenchPage> charts;
    for (const char *dir : {TOLLAN_SOURCE_DIR "/../shared/testdata/itu-charts", "/work/shared/testdata/itu-charts"}) {
        for (int i = 1; i <= 8; ++i) {
            const std::string path = std::string(dir) + "/itu" + std::to_string(i) + ".pbm.gz";
            struct stat st {};
            if (stat(path.c_str(), &st) != 0) continue;
            const std::string pbm = g_dir + "/chart.pbm";
            std::string bits;
            if (system(("gzip -dc '" + path + "' > '" + pbm + "'").c_str()) != 0 || !ReadPbmBits(pbm, &bits)) continue;
            charts.push_back({"itu" + std::to_string(i), bits});
        }
        if (!charts.empty()) break;
    }
    return charts;
}

// Checks a PBM file against the page's dots.
bool SamePage(const std::string &pbm_path, const BenchPage &page) {
    std::string back;
    return ReadPbmBits(pbm_path, &back) && back == page.bits;
}

bool PreparePages() {
    if (!WriteFileBytes(g_dir + "/tiny.pbm", std::string("P4\n8 1\n\0", 9))) return false;
    std::vector<BenchPage> pages = {TextPage(), HalftonePage(), BlankPage()};
    std::vector<BenchPage> charts = Charts();
    if (charts.empty()) fprintf(stderr, "the ITU charts are not there: the drawn pages only\n");
    pages.insert(pages.end(), charts.begin(), charts.end());
    g_pages.clear();
    for (const BenchPage &page : pages) {
        const std::string name = page.name;
        g_pages.push_back(name);
        if (!WritePageBmp(page, PathOf(name, ".bmp")) || !WritePagePbm(page, PathOf(name, ".pbm"))) return false;
        if (BmpToG3(PathOf(name, ".bmp").c_str(), PathOf(name, ".g3").c_str()) != TOLLAN_OK ||
            G3ToBmp(PathOf(name, ".g3").c_str(), PathOf(name, "_out.bmp").c_str()) != TOLLAN_OK)  // the floor's size
            return false;
        // Every side must give back the very page, or its times say nothing.
        if (!TiffEncode(PathOf(name, ".pbm"), PathOf(name, ".tif")) ||
            !TiffDecode(PathOf(name, ".tif"), PathOf(name, "_tif.pbm")) || !SamePage(PathOf(name, "_tif.pbm"), page))
            return false;
        if (!TiffEncode(PathOf(name, ".pbm"), PathOf(name, "_mr.tif"), Coding::kMr) ||
            !TiffEncode(PathOf(name, ".pbm"), PathOf(name, "_mmr.tif"), Coding::kMmr) ||
            !CodecEncode(PathOf(name, ".pbm"), PathOf(name, ".mr"), kCodingMr) ||
            !CodecEncode(PathOf(name, ".pbm"), PathOf(name, ".mmr"), kCodingMmr))
            return false;
        for (const char *decoded : {"_tif_mr.pbm", "_tif_mmr.pbm", "_mr.pbm", "_mmr.pbm"}) {
            const std::string out = PathOf(name, decoded);
            const bool ok = decoded == std::string("_tif_mr.pbm")    ? TiffDecode(PathOf(name, "_mr.tif"), out)
                            : decoded == std::string("_tif_mmr.pbm") ? TiffDecode(PathOf(name, "_mmr.tif"), out)
                            : decoded == std::string("_mr.pbm") ? CodecDecode(PathOf(name, ".mr"), out, kCodingMr)
                                                                : CodecDecode(PathOf(name, ".mmr"), out, kCodingMmr);
            if (!ok || !SamePage(out, page)) {
                fprintf(stderr, "%s: %s is not the page\n", name.c_str(), decoded);
                return false;
            }
        }
        if (!RunProgram(CommandFor("pbmtog3", name).argv, PathOf(name, ".pbm"), PathOf(name, "_pbmtog3.g3")).exited_ok)
            return false;
    }
    return true;
}

// The pages of a directory made by --prepare, for the one-shot modes.
void FindPreparedPages() {
    g_pages = {"text", "halftone", "blank"};
    for (int i = 1; i <= 8; ++i)
        if (FileSize(PathOf("itu" + std::to_string(i), ".pbm")) > 0) g_pages.push_back("itu" + std::to_string(i));
}

}  // namespace

int main(int argc, char **argv) {
    TIFFSetWarningHandler(nullptr);
    SetStretchOption(0);  // the pages are full size: no stretching
    // One-shot modes: a conversion in a process of its own (peak memory, and
    // profiling with a repeat count), and the pages alone (for profiling).
    if ((argc == 5 || argc == 6) && strcmp(argv[1], "--one") == 0) {
        g_dir = argv[4];
        FindPreparedPages();
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
    const char *const conversions[] = {"floor, encode", "floor, decode",
                                       "BmpToG3",  "libtiff encode", "tollan convert", "pbmtog3",
                                       "G3ToBmp",  "libtiff decode", "tollan convert back", "g3topbm",
                                       "GetG3Size", "RotateBitmap",  "pamflip -cw",
                                       "MR encode", "libtiff MR encode", "MR decode", "libtiff MR decode",
                                       "MMR encode", "libtiff MMR encode", "MMR decode", "libtiff MMR decode"};
    for (const char *what : conversions)
        for (const std::string &page : g_pages)
            benchmark::RegisterBenchmark(BenchName(what, page).c_str(), BenchConversion, std::string(what), page)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.2)
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
    PrintComparison(ms, "The floor under encoding: reading the BMP file and writing a file of the page's size, nothing else", "BmpToG3", {"floor, encode"});
    PrintComparison(ms, "Decoding: Group 3 file to bitmap file", "G3ToBmp",
                    {"libtiff decode", "g3topbm"});
    PrintComparison(ms, "Decoding as whole processes", "tollan convert back", {"g3topbm"});
    PrintComparison(ms, "The floor under decoding: reading the page file and writing a file of the bitmap's size, nothing else", "G3ToBmp", {"floor, decode"});
    PrintComparison(ms, "Turning a page a quarter turn clockwise", "RotateBitmap", {"pamflip -cw"});
    PrintComparison(ms, "Measuring a Group 3 page (decoding without output)", "GetG3Size", {});
    PrintComparison(ms, "MR coding (K = 4), PBM file to coded file", "MR encode", {"libtiff MR encode"});
    PrintComparison(ms, "MR decoding, coded file to PBM file", "MR decode", {"libtiff MR decode"});
    PrintComparison(ms, "MMR coding, PBM file to coded file", "MMR encode", {"libtiff MMR encode"});
    PrintComparison(ms, "MMR decoding, coded file to PBM file", "MMR decode", {"libtiff MMR decode"});
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
