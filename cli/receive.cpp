// tollan receive: watch a line for rings, answer, receive the fax into page
// files, and optionally render them as BMPs and one TIFF or PDF document.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>
#include <unistd.h>

#include "cli/call_report.h"
#include "cli/common.h"
#include "cli/line_options.h"
#include "cli/return_codes.h"
#include "tollan.h"
#include "tollan_documents.h"

namespace {

struct ReceiveArgs {
    PortChoice port;
    int rings = 1;
    bool info = false;
    bool bmp = false;
    bool tiff = false;
    bool pdf = false;
    bool loop = false;
    std::string id;
    LineChoice line;
    TraceChoice trace;
    bool json = false;
    std::string base;
    std::string modem_class = "auto";
};

int ClassCode(const std::string &name) {
    if (name == "1") return TOLLAN_CLASS_1;
    if (name == "2") return TOLLAN_CLASS_2;
    if (name == "2.0") return TOLLAN_CLASS_2_0;
    return TOLLAN_CLASS_AUTO;
}

uint16_t ReceiveInClass(int32_t channel, int modem_class, const char *base, int16_t *pages) {
    if (modem_class == TOLLAN_CLASS_1) return ReceiveClass1Fax(channel, base, pages);
    return ReceiveFax(channel, base, pages);
}

// Where the file name of a path starts.
size_t FileNameStart(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

// The base name cut at the last dot of its file name, as the library names
// page files (a dot in a folder name is kept).
std::string PageStem(const std::string &base) {
    size_t dot = base.rfind('.');
    return dot == std::string::npos || dot < FileNameStart(base) ? base : base.substr(0, dot);
}

std::string PagePath(const std::string &base, int page, const char *extension) {
    return PageStem(base) + "_p" + std::to_string(page) + extension;
}

// Each call of a --loop run gets its own base: BASE-YYYYmmdd-HHMMSS-N.
std::string CallBaseName(const std::string &base, int call) {
    char stamp[32];
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return PageStem(base) + "-" + stamp + "-" + std::to_string(call) + ".g3";
}

// True when a file of an earlier fax lies under the base name: a page file
// "<stem>_p<digits>..." of any kind, or the document "<stem>.tif" or ".pdf".
bool BaseNameTaken(const std::string &base) {
    std::string stem = PageStem(base);
    size_t start = FileNameStart(stem);
    std::string folder = start == 0 ? "." : stem.substr(0, start);
    std::string name = stem.substr(start);
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
        std::string file = entry.path().filename().string();
        if (file == name + ".tif" || file == name + ".pdf") return true;
        if (file.compare(0, name.size() + 2, name + "_p") != 0) continue;
        size_t digits = name.size() + 2;
        if (digits < file.size() && isdigit(static_cast<unsigned char>(file[digits]))) return true;
    }
    return false;  // an unreadable folder: the library reports what is wrong with it
}

// The n-th name for a base: BASE itself, then BASE-2, BASE-3, ... (the
// number put before the extension).
std::string NumberedBaseName(const std::string &base, int n) {
    if (n == 1) return base;
    std::string stem = PageStem(base);
    return stem + "-" + std::to_string(n) + base.substr(stem.size());
}

// The first of the base's names, from the n-th on, under which no earlier fax
// lies (n is left at its number): a call is never refused, nor an earlier
// fax mixed with it, for a name.
std::string FreshBaseName(const std::string &base, int &n) {
    while (BaseNameTaken(NumberedBaseName(base, n))) ++n;
    std::string name = NumberedBaseName(base, n);
    if (name != base) {
        printf("%s holds an earlier fax; receiving as %s\n", base.c_str(), name.c_str());
        fflush(stdout);
    }
    return name;
}

// Polls the line until the wanted number of rings; false when stopped first.
bool WaitForRings(int32_t channel, int wanted) {
    int rings = 0;
    while (!StopSignal() && !HangupRequested()) {
        int32_t ring = 0;
        uint16_t rc = WaitForRing(channel, &ring);
        if (rc != TOLLAN_OK) Fail("watching the line", rc);
        if (ring == 1) {
            printf("RING %d\n", ++rings);
            fflush(stdout);
            if (rings >= wanted) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// ReceiveFax blocks; it stores the page count after every page, which this
// thread watches to report pages as they arrive.
static_assert(sizeof(std::atomic<int16_t>) == sizeof(int16_t) && std::atomic<int16_t>::is_always_lock_free);

uint16_t ReceiveReportingPages(int32_t channel, int modem_class, const std::string &base, int16_t &pages) {
    std::atomic<int16_t> counter{0};
    std::atomic<bool> done{false};
    uint16_t rc = TOLLAN_OK;
    std::thread call([&] {
        BlockStopSignals();
        rc = ReceiveInClass(channel, modem_class, base.c_str(), reinterpret_cast<int16_t *>(&counter));
        done = true;
    });
    int16_t shown = 0;
    for (;;) {
        bool finished = done.load();
        // Again and again: a request that came before the call began is forgotten when it begins.
        if (StopSignal() && !finished) AbortCall(channel);
        for (int16_t now = counter.load(); shown < now; ++shown) {
            printf("page %d received: %s\n", shown + 1, PagePath(base, shown + 1, ".g3").c_str());
            fflush(stdout);
        }
        if (finished) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    call.join();
    pages = counter.load();
    return rc;
}

// The documents asked for, written through the documents library: each
// page at the resolution its ".ffi" file records for the call.
bool WriteDocuments(const ReceiveArgs &args, const std::string &base) {
    const struct {
        bool asked;
        const char *extension;
    } kinds[] = {{args.tiff, ".tif"}, {args.pdf, ".pdf"}};
    bool ok = true;
    for (const auto &kind : kinds) {
        if (!kind.asked) continue;
        std::string document = PageStem(base) + kind.extension;
        uint16_t rc = kind.extension[1] == 't' ? WritePagesAsTiff(base.c_str(), document.c_str(), TOLLAN_CODING_MH, 0)
                                               : WritePagesAsPdf(base.c_str(), document.c_str(), 0);
        if (rc == TOLLAN_OK) {
            printf("document: %s\n", document.c_str());
        } else {
            fprintf(stderr, "tollan: no document %s written: %u (%s)\n", document.c_str(), rc, ReturnCodeText(rc));
            ok = false;
        }
    }
    return ok;
}

// The ".ffi" files the documents needed and the user did not ask for.
void RemoveInfoFiles(const ReceiveArgs &args, const std::string &base, int pages) {
    if (args.info || (!args.tiff && !args.pdf)) return;
    for (int n = 1; n <= pages; ++n) unlink(PagePath(base, n, ".ffi").c_str());
}

// Renders the pages as asked; false (each failure said) when a page or a
// document could not be made.
bool RenderPages(const ReceiveArgs &args, const std::string &base, int pages) {
    bool ok = true;
    for (int n = 1; n <= pages && args.bmp; ++n) {
        std::string g3 = PagePath(base, n, ".g3");
        std::string bmp = PagePath(base, n, ".bmp");
        uint16_t rc = G3ToBmp(g3.c_str(), bmp.c_str());
        if (rc != TOLLAN_OK) {
            fprintf(stderr, "tollan: page %d could not be rendered as %s: %u (%s)\n", n, bmp.c_str(), rc,
                    ReturnCodeText(rc));
            ok = false;
        }
    }
    if (pages > 0 && !WriteDocuments(args, base)) ok = false;
    RemoveInfoFiles(args, base, pages);
    return ok;
}

void PrintCallSummary(const TollanCallReport &r, int pages, bool json) {
    if (json) {
        printf("%s\n", ReportJson(r).c_str());
        return;
    }
    printf("remote station: %s\n", ShownIdentity(r.remote_id).c_str());
    printf("pages received: %d\n", pages);
    printf("hang-up code: %d (%s)\n", r.hangup_code, GetHangupText(r.hangup_code));
    printf("%s", ReportSummary(r).c_str());
}

// Receives one call under a fresh base name. Should the library still find
// a page file under it (one that appeared meanwhile), it refuses before
// answering and the next fresh name is taken while the line still rings.
uint16_t ReceiveCall(int32_t channel, int modem_class, const std::string &wanted, std::string &base, int16_t &pages) {
    constexpr int kNameTries = 3;
    uint16_t rc = TOLLAN_OK;
    for (int i = 0, n = 1; i < kNameTries; ++i, ++n) {
        base = FreshBaseName(wanted, n);
        pages = 0;
        rc = ReceiveReportingPages(channel, modem_class, base, pages);
        if (rc != TOLLAN_E_PAGE_EXISTS || pages != 0 || StopSignal()) break;
    }
    return rc;
}

// The identity callers see (CSI). ReceiveFax sets none, so the command gives
// it to the modem itself once the port is open: "+FLID" in class 2, "+FLI"
// in class 2.0 (the modem keeps it for every call until it is reset).
void SetAnsweringIdentity(int32_t channel, int modem_class, const std::string &id) {
    SetLocalID(channel, id.c_str());
    if (modem_class == TOLLAN_CLASS_1) return;  // the library sends the CSI itself
    const std::string quoted = "=\"" + id + "\"";
    if (ModemSaidOk(ModemExchange(channel, "AT+FLID" + quoted))) return;
    if (ModemSaidOk(ModemExchange(channel, "AT+FLI" + quoted))) return;
    FailWith("the modem refused the identity \"" + id + "\"");
}

// --class auto: class 2.0, else 2, else class 1 when the modem offers it
// (and the library receives in it); otherwise the modem is told what it offers.
int32_t OpenForReceiving(const PortChoice &port, int *modem_class) {
    if (*modem_class != TOLLAN_CLASS_AUTO) return OpenChannel(port, *modem_class);
    int32_t channel = -1;
    uint16_t rc = TryOpenChannel(port, TOLLAN_CLASS_AUTO, &channel);
    if (rc == TOLLAN_OK) return channel;
    if (rc != TOLLAN_E_CLASS) return OpenChannel(port, TOLLAN_CLASS_AUTO);  // fails again, and says why
    int32_t probe = OpenChannel(port, TOLLAN_CLASS_1);
    std::string offered = OfferedClasses(probe);
    if (ClassOffered(offered, "1") || ClassOffered(offered, "1.0")) {
        printf("the modem offers classes %s, not 2.0 or 2: receiving in class 1\n", offered.c_str());
        fflush(stdout);
        *modem_class = TOLLAN_CLASS_1;
        return probe;
    }
    PortClose(probe);
    FailWith("the modem on " + PortName(port) + " offers " +
             (offered.empty() ? std::string("no class in answer to AT+FCLASS=?") : "classes " + offered) +
             ": tollan receives through class 2.0, 2 or 1 modems only");
}

void RunReceive(const ReceiveArgs &args) {
    CatchStopSignals();
    StartTrace(args.trace);
    // The documents take each page's resolution from its ".ffi" file.
    if (args.info || args.tiff || args.pdf) SetFaxInfoOption(2);  // with the resolution line
    int modem_class = ClassCode(args.modem_class);
    OpenedChannel channel(OpenForReceiving(args.port, &modem_class));
    StopCallsOn(channel.get());
    if (!args.id.empty()) SetAnsweringIdentity(channel.get(), modem_class, args.id);
    ApplyLineChoice(channel.get(), !args.line.no_ecm, args.line.coding);
    printf("waiting for a call on %s\n", PortName(args.port).c_str());
    fflush(stdout);
    for (int call = 1; WaitForRings(channel.get(), args.rings); ++call) {
        std::string base;
        int16_t pages = 0;
        uint16_t rc = TOLLAN_OK;
        {
            ProgressDisplay display(channel.get(), args.json ? nullptr : stdout, isatty(STDOUT_FILENO));
            rc = ReceiveCall(channel.get(), modem_class, args.loop ? CallBaseName(args.base, call) : args.base, base,
                             pages);
        }
        const TollanCallReport report = ReadReport(channel.get());
        PrintCallSummary(report, pages, args.json);
        bool rendered = RenderPages(args, base, pages);
        if (StopSignal())
            ExitStopped("during a call; " + std::to_string(pages) + (pages == 1 ? " page" : " pages") +
                        " received whole kept");
        if (!args.loop) {
            if (rc != TOLLAN_OK) Fail("receiving the fax", rc, FailureStatus(report));
            if (!rendered) FailWith("the fax was received, but not every page could be rendered as asked");
            return;
        }
        if (rc != TOLLAN_OK) fprintf(stderr, "tollan: call %d ended with %u\n", call, rc);
        if (HangupRequested()) break;
    }
    if (args.loop && HangupRequested()) {
        printf("SIGHUP: stopped after the last call\n");
        return;
    }
    // Stopped while waiting: the end of a loop, but no fax for a single call.
    if (!args.loop) ExitStopped("before a call came");
}

}  // namespace

void AddReceiveCommand(CLI::App &app) {
    static ReceiveArgs args;
    CLI::App *c = app.add_subcommand("receive", "Answer a call and receive a fax into page files");
    AddPortOptions(c, args.port);
    c->add_option("--class", args.modem_class, "service class of the modem (auto: 2.0, else 2, else 1)")
        ->check(CLI::IsMember({"auto", "1", "2", "2.0"}))
        ->capture_default_str();
    c->add_option("--rings", args.rings, "answer after this many rings")->check(CLI::Range(1, 50))->capture_default_str();
    c->add_flag("--info", args.info, "write a .ffi information file beside each page");
    c->add_flag("--bmp", args.bmp, "also render each page as a BMP");
    c->add_flag("--tiff", args.tiff, "also write the whole fax as one TIFF Class F document (BASE.tif)");
    c->add_flag("--pdf", args.pdf, "also write the whole fax as one PDF document (BASE.pdf)");
    c->add_flag("--loop", args.loop,
                "answer call after call until stopped (SIGINT or SIGTERM end a call at once; SIGHUP lets it finish)");
    c->add_option("--id", args.id, "local station identity (what callers see as the CSI)")
        ->check(IdentityCheck(false));
    AddLineOptions(c, args.line, false);
    AddTraceOption(c, args.trace);
    c->add_flag("--json", args.json, "print each call's report as one JSON object instead of the summary");
    c->add_option("BASE", args.base, "base name of the page files: BASE.g3 gives BASE_p1.g3, ...")->required();
    c->footer(
        "Examples:\n"
        "  tollan receive --device /dev/ttyUSB0 --rings 2 --bmp incoming.g3\n"
        "  tollan receive --port 1 --loop --pdf --info inbox/fax");
    c->callback([] { RunReceive(args); });
}
