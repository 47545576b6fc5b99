// Time on the line per page, class 1 at 14400 bit/s, for the eight ITU
// charts: MH and MR without error correction, MH, MR and MMR with it (256-
// octet frames), and with it while one page data frame in a hundred arrives
// damaged and is sent again after PPR.
//
// The library sends each chart as a one-page fax (an MH page file at fine
// resolution) through the emulator's class 1 modem to its answering station,
// which asks for no minimum scan line time. The station counts each page's
// time on the line from the training's confirmation to the page's own: every
// signal that crossed, at its rate (page data at 14400 bit/s, with error
// correction's frames, flags and RCP; control frames at 300 bit/s), so the
// figure does not depend on how fast this machine runs the session and
// nothing waits in real time. Carrier preambles, training and the silences
// between signals are not in it. Prints a Markdown table.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/tollan.h"
#include "image/g3_codec.h"
#include "sim/sim.h"

namespace {

constexpr int32_t kWidth = 1728;
constexpr size_t kRowBytes = kWidth / 8;
constexpr int kCommandIntervalMs = 50;

struct Column {
    const char *name;
    int ecm;       // TOLLAN_ECM_*
    int codings;   // TOLLAN_COMPRESS_* the channel allows (the best both ends have is used)
    const char *faults;  // the station's
};

constexpr int kMh = TOLLAN_COMPRESS_MH, kMr = kMh | TOLLAN_COMPRESS_MR, kMmr = kMr | TOLLAN_COMPRESS_MMR;

const Column kColumns[] = {
    {"MH", TOLLAN_ECM_OFF, kMh, ""},
    {"MR", TOLLAN_ECM_OFF, kMr, ""},
    {"MH, ECM", TOLLAN_ECM_256, kMh, ""},
    {"MR, ECM", TOLLAN_ECM_256, kMr, ""},
    {"MMR, ECM", TOLLAN_ECM_256, kMmr, ""},
    {"MH, ECM, 1 % damaged", TOLLAN_ECM_256, kMh, "ecmevery=100"},
    {"MR, ECM, 1 % damaged", TOLLAN_ECM_256, kMr, "ecmevery=100"},
    {"MMR, ECM, 1 % damaged", TOLLAN_ECM_256, kMmr, "ecmevery=100"},
};

std::string ChartDir() {
    for (const char *dir : {TOLLAN_SOURCE_DIR "/../shared/testdata/itu-charts", "/work/shared/testdata/itu-charts"}) {
        std::string probe = std::string(dir) + "/itu1.pbm.gz";
        if (FILE *f = fopen(probe.c_str(), "rb")) {
            fclose(f);
            return dir;
        }
    }
    return "";
}

// A gzipped P4 PBM of 1728 dots a row: its rows, 1 black.
bool ReadChart(const std::string &path, std::vector<uint8_t> *rows) {
    const std::string cmd = "gzip -dc '" + path + "'";
    FILE *in = popen(cmd.c_str(), "r");
    if (!in) return false;
    int width = 0, height = 0;
    const bool header = fscanf(in, "P4 %d %d", &width, &height) == 2 && fgetc(in) != EOF;
    rows->assign(static_cast<size_t>(height > 0 ? height : 0) * kRowBytes, 0);
    const bool ok = header && width == kWidth && fread(rows->data(), 1, rows->size(), in) == rows->size();
    return pclose(in) == 0 && ok;
}

// The rows as an MH page file: an EOL first, RTC at the end.
std::vector<uint8_t> CodeMh(const std::vector<uint8_t> &rows) {
    std::vector<uint8_t> out = {0x00, 0x80};
    G3Encoder e;
    StartG3Encoder(&e, kCodingMh, 1, kWidth, &out);
    for (size_t at = 0; at + kRowBytes <= rows.size(); at += kRowBytes) EncodeG3Row(&e, rows.data() + at);
    FinishG3Encoder(&e);
    return out;
}

struct Measured {
    uint32_t line_ms = 0;
    int pprs = 0;
    int resent = 0;
    bool ok = false;
};

Measured SendChart(Sim *sim, int station, int32_t ch, const std::string &page, const Column &c) {
    Measured m;
    SimFaults faults;
    SimParseFaults(c.faults, &faults);
    SimSetStationFaults(sim, station, faults);
    SetErrorCorrection(ch, c.ecm);
    SetCompression(ch, c.codings);
    const int calls = SimStationResults(sim, station).calls;
    const uint16_t code = SendClass1Fax(ch, "200", page.c_str(), 1);
    if (!SimWaitStation(sim, station, calls + 1, 60000)) return m;
    const SimStationResult r = SimStationResults(sim, station);
    m.ok = code == TOLLAN_OK && r.page_line_ms.size() == 1;
    m.line_ms = m.ok ? r.page_line_ms[0] : 0;
    m.pprs = r.ecm_pprs;
    m.resent = r.ecm_frames_resent;
    if (!m.ok) fprintf(stderr, "%s: code %u, %zu pages\n", c.name, code, r.page_line_ms.size());
    return m;
}

}  // namespace

int main() {
    const std::string charts = ChartDir();
    if (charts.empty()) {
        fprintf(stderr, "ecm_line_time: the ITU charts are not there\n");
        return 1;
    }
    char dir_template[] = "/tmp/tollan-ecm-bench-XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (!dir) return 1;
    Sim *sim = SimCreate(SimConfig{});
    SimModemConfig modem;
    modem.number = "100";
    modem.classes = kSimClass1;
    SimAddModem(sim, modem);
    SimStationConfig station;
    station.number = "200";
    station.page_dir = dir;
    station.ecm = true;
    station.data_format = 3;
    station.scan_ms = 0;
    const int station_index = SimAddStation(sim, station);
    const std::string profile = std::string(dir) + "/quarry.ini";
    if (!SimStart(sim) || !SimWriteProfile(sim, profile)) return 1;
    setenv("QUARRY_INI", profile.c_str(), 1);
    SetModemCommandInterval(kCommandIntervalMs);
    SetModemClass(0, TOLLAN_CLASS_1);
    int32_t ch = -1;
    if (PortOpen(&ch, 1, "ATZ") != TOLLAN_OK) return 1;
    SetResolution(ch, 0);
    SetBitRate(ch, 5);

    printf("| chart | MH bytes |");
    for (const Column &c : kColumns) printf(" %s |", c.name);
    printf("\n|---|---|");
    for (size_t i = 0; i < sizeof kColumns / sizeof kColumns[0]; ++i) printf("---|");
    printf("\n");
    std::vector<double> sums(sizeof kColumns / sizeof kColumns[0], 0);
    int failures = 0;
    for (int n = 1; n <= 8; ++n) {
        std::vector<uint8_t> rows;
        if (!ReadChart(charts + "/itu" + std::to_string(n) + ".pbm.gz", &rows)) return 1;
        const std::vector<uint8_t> mh = CodeMh(rows);
        const std::string page = std::string(dir) + "/itu" + std::to_string(n) + ".g3";
        if (FILE *f = fopen(page.c_str(), "wb")) {
            fwrite(mh.data(), 1, mh.size(), f);
            fclose(f);
        }
        printf("| itu%d | %zu |", n, mh.size());
        for (size_t i = 0; i < sizeof kColumns / sizeof kColumns[0]; ++i) {
            const Measured m = SendChart(sim, station_index, ch, page, kColumns[i]);
            failures += m.ok ? 0 : 1;
            sums[i] += m.line_ms / 1000.0;
            if (kColumns[i].faults[0]) printf(" %.1f (%d PPR, %d frames again) |", m.line_ms / 1000.0, m.pprs, m.resent);
            else printf(" %.1f |", m.line_ms / 1000.0);
        }
        printf("\n");
        fflush(stdout);
    }
    printf("| mean | |");
    for (double s : sums) printf(" %.1f |", s / 8);
    printf("\n\nSeconds on the line per page; %d sessions failed.\n", failures);
    SetErrorCorrection(ch, TOLLAN_ECM_OFF);
    SetCompression(ch, TOLLAN_COMPRESS_MH);
    PortClose(ch);
    SimDestroy(sim);
    const std::string cleanup = std::string("rm -rf '") + dir + "'";
    return system(cleanup.c_str()) == 0 && failures == 0 ? 0 : 1;
}
