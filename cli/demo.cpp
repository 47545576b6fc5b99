// tollan demo: faxes sent and received through the built-in fax line
// emulator, with no hardware and no configuration. It shows what a host
// program does: the same exports, in the same order, against emulated modems.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "cli/common.h"
#include "cli/return_codes.h"
#include "cli/sample_page.h"
#include "tollan.h"

#ifdef TOLLAN_HAVE_SIM
#include "sim/sim.h"
#endif

namespace {

struct DemoArgs {
    std::string folder;
    TraceChoice trace;
};

#ifdef TOLLAN_HAVE_SIM

// The emulated line: three modems on COM1..COM3 and three fax machines.
constexpr const char *kClass20Modem = "5550001";
constexpr const char *kClass1Modem = "5550002";
constexpr const char *kReceivingModem = "5550003";
constexpr const char *kClass1Receiver = "5550004";  // COM4, with class 1 reception
constexpr const char *kAnswerA = "5550100";  // takes the class 2.0 fax
constexpr const char *kAnswerB = "5550101";  // takes the class 1 fax
constexpr const char *kCaller = "5550199";   // calls COM3
constexpr int kPages = 2;

constexpr int kReceivingPorts = 2;  // COM3 in class 2.0 or 2, COM4 in class 1

struct DemoLine {
    Sim *sim = nullptr;
    int answer_a = -1, answer_b = -1, caller = -1;
    ~DemoLine() {
        if (sim) SimDestroy(sim);
    }
};

std::string DefaultFolder() {
    char stamp[32];
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return std::string("tollan-demo-") + stamp;
}

void Say(const char *format, const std::string &a = "", const std::string &b = "") {
    printf(format, a.c_str(), b.c_str());
    fflush(stdout);
}

// The sample document: BMP pages drawn here, converted as a host would.
std::string PrepareDocument(const std::string &folder) {
    SetStretchOption(5);  // widen to 1728 dots, at least 2290 lines: fine resolution
    for (int page = 1; page <= kPages; ++page) {
        std::string bmp = folder + "/sample_p" + std::to_string(page) + ".bmp";
        std::string g3 = folder + "/sample_p" + std::to_string(page) + ".g3";
        if (!WriteSamplePage(bmp, page, kPages)) FailWith("cannot write " + bmp);
        uint16_t rc = BmpToG3(bmp.c_str(), g3.c_str());
        if (rc != TOLLAN_OK) Fail("converting " + bmp, rc);
    }
    Say("drew the sample document: %s/sample_p1.bmp, sample_p2.bmp\n", folder);
    return folder + "/sample.g3";
}

void StartLine(DemoLine &line, const std::string &folder) {
    SimConfig config;
    config.timings.ring_interval = 1500;
    config.transcript = folder + "/line-transcript.txt";
    line.sim = SimCreate(config);

    SimModemConfig modem;
    modem.number = kClass20Modem;
    modem.classes = kSimClass2 | kSimClass20;
    SimAddModem(line.sim, modem);
    modem.number = kClass1Modem;
    modem.classes = kSimClass1;
    SimAddModem(line.sim, modem);
    modem.number = kReceivingModem;
    modem.classes = kSimClass2 | kSimClass20;
    SimAddModem(line.sim, modem);
    modem.number = kClass1Receiver;
    modem.classes = kSimClass1;
    SimAddModem(line.sim, modem);

    SimStationConfig station;
    station.page_dir = folder;
    station.number = kAnswerA;
    station.identity = "DEMO FAX A";
    station.base = "station-a-received";
    line.answer_a = SimAddStation(line.sim, station);
    station.number = kAnswerB;
    station.identity = "DEMO FAX B";
    station.base = "station-b-received";
    line.answer_b = SimAddStation(line.sim, station);
    station.number = kCaller;
    station.identity = "DEMO CALLER";
    station.answering = false;
    station.pages = {folder + "/sample_p1.g3", folder + "/sample_p2.g3"};
    line.caller = SimAddStation(line.sim, station);

    if (!SimStart(line.sim)) FailWith("the fax line emulator did not start");
    std::string profile = folder + "/quarry.ini";
    if (!SimWriteProfile(line.sim, profile)) FailWith("cannot write " + profile);
    setenv("QUARRY_INI", profile.c_str(), 1);
    for (int m = 0; m < kReceivingPorts + 2; ++m)
        printf("emulated modem %s on %s\n", SimModemName(line.sim, m).c_str(), SimModemDevice(line.sim, m).c_str());
    fflush(stdout);
}

void ReportCall(int32_t channel, uint16_t rc) {
    CallOutcome call = ReadCallOutcome(channel);
    printf("  result %u (%s); remote %s; %d page(s) sent; hang-up %d (%s)\n", rc, ReturnCodeText(rc),
           ShownIdentity(call.remote).c_str(), call.pages_sent, call.hangup, GetHangupText(call.hangup));
    fflush(stdout);
}

int32_t OpenPort(int port, int modem_class) {
    SetModemClass(0, modem_class);
    int32_t channel = -1;
    uint16_t rc = PortOpen(&channel, port, "ATZ");
    if (rc != TOLLAN_OK) Fail("opening COM" + std::to_string(port), rc);
    SetLocalID(channel, "+1 555 0001");
    return channel;
}

bool SendThroughClass20(const std::string &base) {
    Say("\nsending 2 pages through the class 2.0 modem on COM1 to %s ...\n", kAnswerA);
    OpenedChannel channel(OpenPort(1, TOLLAN_CLASS_2_0));
    uint16_t rc = SendFax(channel.get(), kAnswerA, base.c_str(), kPages);
    ReportCall(channel.get(), rc);
    return rc == TOLLAN_OK;
}

bool SendThroughClass1(const std::string &base) {
    Say("\nsending 2 pages through the class 1 modem on COM2 to %s (T.30 run by tollan) ...\n", kAnswerB);
    OpenedChannel channel(OpenPort(2, TOLLAN_CLASS_1));
    uint16_t rc = SendClass1Fax(channel.get(), kAnswerB, base.c_str(), kPages);
    ReportCall(channel.get(), rc);
    return rc == TOLLAN_OK;
}

// The calling fax machine dials the modem on COM<port>, which answers and
// receives into <folder>/<name>_p<n>.g3.
bool ReceiveOn(DemoLine &line, int port, int modem_class, const char *number, const std::string &base,
               std::vector<std::string> &pages) {
    const char *how = modem_class == TOLLAN_CLASS_1 ? " (class 1: T.30 run by tollan)" : "";
    printf("\nthe calling fax machine %s dials COM%d%s; waiting for the ring ...\n", kCaller, port, how);
    fflush(stdout);
    OpenedChannel channel(OpenPort(port, modem_class));
    if (!SimStationCall(line.sim, line.caller, number)) FailWith("the calling station could not dial");
    int32_t ring = 0;
    for (int polls = 0; ring != 1; ++polls) {
        uint16_t rc = WaitForRing(channel.get(), &ring);
        if (rc != TOLLAN_OK) Fail("watching COM" + std::to_string(port), rc);
        if (polls > 300) FailWith("no ring on COM" + std::to_string(port));
        if (ring != 1) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    printf("  RING - answering\n");
    fflush(stdout);
    int16_t count = 0;
    uint16_t rc = TOLLAN_OK;
    if (modem_class == TOLLAN_CLASS_1) rc = ReceiveClass1Fax(channel.get(), base.c_str(), &count);
    else
        rc = ReceiveFax(channel.get(), base.c_str(), &count);
    const char *remote = "";
    GetRemoteID(channel.get(), &remote);
    printf("  result %u (%s); %d page(s) from %s\n", rc, ReturnCodeText(rc), count, ShownIdentity(remote).c_str());
    std::string stem = base.substr(0, base.rfind('.'));
    for (int n = 1; n <= count; ++n) pages.push_back(stem + "_p" + std::to_string(n) + ".g3");
    return rc == TOLLAN_OK && count == kPages;
}

// Turns every page file that arrived into a BMP beside it.
void RenderArrivals(DemoLine &line, const std::vector<std::string> &received_here) {
    std::vector<std::string> pages = received_here;
    for (int station : {line.answer_a, line.answer_b}) {
        SimStationResult result = SimStationResults(line.sim, station);
        pages.insert(pages.end(), result.page_files.begin(), result.page_files.end());
    }
    printf("\npages that arrived, rendered as BMP:\n");
    for (const std::string &g3 : pages) {
        std::string bmp = g3.substr(0, g3.rfind('.')) + ".bmp";
        uint16_t rc = G3ToBmp(g3.c_str(), bmp.c_str());
        int32_t width = 0, height = 0;
        GetG3Size(g3.c_str(), &width, &height);
        if (rc == TOLLAN_OK)
            printf("  %s  (%d x %d)\n", bmp.c_str(), width, height);
        else
            printf("  %s: %u (%s)\n", g3.c_str(), rc, ReturnCodeText(rc));
    }
}

void RunDemo(const DemoArgs &args) {
    std::string folder = args.folder.empty() ? DefaultFolder() : args.folder;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) FailWith("cannot create " + folder + ": " + error.message());
    folder = std::filesystem::absolute(folder).string();
    TraceChoice trace = args.trace;
    if (trace.file.empty() && trace.raw_file.empty()) trace.file = folder + "/trace.log";
    StartTrace(trace);
    printf("tollan demo: everything goes into %s\n", folder.c_str());

    std::string base = PrepareDocument(folder);
    DemoLine line;
    StartLine(line, folder);
    bool ok = SendThroughClass20(base);
    ok = SendThroughClass1(base) && ok;
    std::vector<std::string> received;
    ok = ReceiveOn(line, 3, TOLLAN_CLASS_AUTO, kReceivingModem, folder + "/received.g3", received) && ok;
    SimWaitStation(line.sim, line.caller, 1, 10000);
    ok = ReceiveOn(line, 4, TOLLAN_CLASS_1, kClass1Receiver, folder + "/received-class1.g3", received) && ok;
    SimWaitStation(line.sim, line.caller, 2, 10000);
    RenderArrivals(line, received);
    printf("\nthe trace log is %s; the line transcript %s/line-transcript.txt\n",
           (trace.file.empty() ? trace.raw_file : trace.file).c_str(), folder.c_str());
    if (!ok) FailWith("the demo did not complete every fax");
    printf("demo complete: 2 faxes sent, %d received\n", kReceivingPorts);
}

#else

void RunDemo(const DemoArgs &) { FailWith("this build has no fax line emulator"); }

#endif

}  // namespace

void AddDemoCommand(CLI::App &app) {
    static DemoArgs args;
    CLI::App *c = app.add_subcommand("demo", "Send and receive faxes through the built-in fax line emulator");
    c->add_option("--folder", args.folder, "where the pages go (default: tollan-demo-DATE-TIME)");
    AddTraceOption(c, args.trace);
    c->footer("Example:\n  tollan demo --folder /tmp/fax-demo");
    c->callback([] { RunDemo(args); });
}
