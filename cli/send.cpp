// tollan send: convert the documents into page files and send them through a
// class 2, class 2.0 or class 1 modem.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#include "cli/common.h"
#include "cli/documents.h"
#include "cli/hangup_text.h"
#include "tollan.h"

namespace {

struct SendArgs {
    PortChoice port;
    std::string modem_class = "auto";
    bool fine = false;
    bool normal = false;
    int rate = 14400;
    std::string id;
    bool pulse = false;
    int scan_time = 0;
    std::string header;
    TraceChoice trace;
    std::string number;
    std::vector<std::string> files;
};

int ClassCode(const std::string &name) {
    static const std::map<std::string, int> classes = {
        {"auto", TOLLAN_CLASS_AUTO}, {"1", TOLLAN_CLASS_1}, {"2", TOLLAN_CLASS_2}, {"2.0", TOLLAN_CLASS_2_0}};
    return classes.at(name);
}

// A number the modem can dial: digits and the dial modifiers, nothing else.
void CheckNumber(const std::string &number) {
    if (number.find_first_not_of(" \t") == std::string::npos)
        FailUsage("the number to dial is empty");
    if (number.find_first_not_of("0123456789+*#,-()/ .ABCDabcdPTWptw!@") != std::string::npos)
        FailUsage("the number to dial \"" + number + "\" holds characters a modem cannot dial");
}

// --class auto: the modem's class 2.0, else 2 (PortOpen tries them in that
// order), else class 1 when the modem offers it; the message says what the
// modem offered when it is not 2.0 or 2.
int32_t OpenForSending(const SendArgs &args, int *modem_class) {
    if (*modem_class != TOLLAN_CLASS_AUTO) return OpenChannel(args.port, *modem_class);
    int32_t channel = -1;
    uint16_t rc = TryOpenChannel(args.port, TOLLAN_CLASS_AUTO, &channel);
    if (rc == TOLLAN_OK) return channel;
    if (rc != TOLLAN_E_CLASS) return OpenChannel(args.port, TOLLAN_CLASS_AUTO);  // fails again, and says why
    channel = OpenChannel(args.port, TOLLAN_CLASS_1);
    std::string offered = OfferedClasses(channel);
    if (!ClassOffered(offered, "1") && !ClassOffered(offered, "1.0")) {
        PortClose(channel);
        FailWith("the modem on " + PortName(args.port) + " offers no fax class tollan can send with (it offers " +
                 (offered.empty() ? std::string("nothing in answer to AT+FCLASS=?") : "classes " + offered) + ")");
    }
    printf("the modem offers classes %s, not 2.0 or 2: sending in class 1\n", offered.c_str());
    fflush(stdout);
    *modem_class = TOLLAN_CLASS_1;
    return channel;
}

void ApplyCallSettings(int32_t channel, const SendArgs &args, bool standard) {
    if (!args.id.empty()) {
        uint16_t rc = SetLocalID(channel, args.id.c_str());
        if (rc != TOLLAN_OK) Fail("setting the identity (1 to 129 characters)", rc);
    }
    SetResolution(channel, standard ? 1 : 0);
    SetBitRate(channel, args.rate / 2400 - 1);
    SetScanTime(channel, args.scan_time);
    SetLineType(channel, args.pulse ? 1 : 0);
    if (!args.header.empty() && SetPageHeader(channel, args.header.c_str()) != TOLLAN_OK)
        FailUsage("--header \"" + args.header +
                  "\": printable ASCII up to 200 characters, fields {date} {time} {id} {number} {page} {pages}, "
                  "\"{{\" for a \"{\"");
}

// The send call blocks; a watcher prints a line for each page the library
// has counted as sent meanwhile, and passes on a request to stop: again and
// again, since one that came before the call began is forgotten when it begins.
class PageProgress {
public:
    PageProgress(int32_t channel, int total) : channel_(channel), total_(total), thread_([this] { Watch(); }) {}
    ~PageProgress() { Stop(); }
    void Stop() {
        if (!thread_.joinable()) return;
        done_ = true;
        thread_.join();
        Report();
    }

private:
    void Watch() {
        BlockStopSignals();
        while (!done_) {
            if (StopSignal()) AbortCall(channel_);
            Report();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    void Report() {
        int16_t sent = 0;
        GetNumOfPagesSent(channel_, &sent);
        for (; shown_ < sent; ++shown_) {
            printf("page %d/%d sent\n", shown_ + 1, total_);
            fflush(stdout);
        }
    }
    int32_t channel_;
    int total_;
    int shown_ = 0;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// The hang-up code is shown when the modem reported one, or the call went
// through: a busy line or no answer has none worth a line.
void PrintSummary(int32_t channel, int pages, uint16_t rc) {
    CallOutcome call = ReadCallOutcome(channel);
    printf("remote station: %s\n", ShownIdentity(call.remote).c_str());
    printf("pages sent: %d of %d\n", call.pages_sent, pages);
    if (call.hangup != 0 || rc == TOLLAN_OK) printf("hang-up code: %d (%s)\n", call.hangup, HangupText(call.hangup));
}

ResolutionChoice ResolutionAsked(const SendArgs &args) {
    if (args.normal) return ResolutionChoice::kStandard;
    if (args.fine) return ResolutionChoice::kFine;
    return ResolutionChoice::kAuto;
}

void RunSend(const SendArgs &args) {
    CatchStopSignals();
    CheckNumber(args.number);
    StartTrace(args.trace);
    ScratchDir scratch("tollan-send-");
    PreparedPages prepared = PreparePages(args.files, scratch.path(), ResolutionAsked(args));
    int pages = prepared.pages;
    if (StopSignal() || HangupRequested()) ExitStopped("before dialling");
    int modem_class = ClassCode(args.modem_class);
    OpenedChannel channel(OpenForSending(args, &modem_class));
    StopCallsOn(channel.get());
    ApplyCallSettings(channel.get(), args, prepared.standard);

    std::string base = PagesBaseName(scratch.path());
    printf("sending %d page%s at %s resolution to %s: dialling and waiting for the remote fax machine to answer\n",
           pages, pages == 1 ? "" : "s", prepared.standard ? "standard" : "fine", args.number.c_str());
    fflush(stdout);
    if (StopSignal()) ExitStopped("before dialling");
    PageProgress progress(channel.get(), pages);
    uint16_t rc = modem_class == TOLLAN_CLASS_1 ? SendClass1Fax(channel.get(), args.number.c_str(), base.c_str(), pages)
                                                : SendFax(channel.get(), args.number.c_str(), base.c_str(), pages);
    progress.Stop();
    PrintSummary(channel.get(), pages, rc);
    if (StopSignal()) ExitStopped("during the call");
    if (rc != TOLLAN_OK) Fail("sending the fax", rc);
}

}  // namespace

void AddSendCommand(CLI::App &app) {
    static SendArgs args;
    CLI::App *c = app.add_subcommand("send", "Send documents (TIFF, PDF, PostScript, BMP, PBM) and page files as one fax");
    AddPortOptions(c, args.port);
    c->add_option("--class", args.modem_class, "service class of the modem")
        ->check(CLI::IsMember({"auto", "1", "2", "2.0"}))
        ->capture_default_str();
    auto *fine = c->add_flag("--fine", args.fine, "fine resolution (204 x 196 dpi); default: as the pictures ask");
    c->add_flag("--normal", args.normal, "normal (standard) resolution (204 x 98 dpi)")->excludes(fine);
    c->add_option("--rate", args.rate, "highest bit rate")
        ->check(CLI::IsMember({2400, 4800, 7200, 9600, 12000, 14400}))
        ->capture_default_str();
    c->add_option("--id", args.id, "local station identity (the number the remote shows)")
        ->check(IdentityCheck(true));
    c->add_option("--header", args.header,
                  "a header line on top of every page: text with {date} {time} {id} {number} {page} {pages}");
    c->add_flag("--pulse", args.pulse, "pulse dialling instead of tone");
    c->add_option("--scan-time", args.scan_time, "minimum scan line time code 0-7")->check(CLI::Range(0, 7));
    AddTraceOption(c, args.trace);
    c->add_option("NUMBER", args.number, "number to dial")->required();
    c->add_option("FILE", args.files, "documents: TIFF, PDF, PostScript, BMP, PBM or Group 3 page files (known by content)")
        ->required();
    c->footer(
        "Examples:\n"
        "  tollan send --device /dev/ttyUSB0 5551234 letter.pdf\n"
        "  tollan send --header '{date} {time}  {id}  page {page}/{pages}' --id '+1 555 0100' 5551234 scan.tif\n"
        "  tollan send --port 2 --class 1 --id '+1 555 0100' 5551234 page1.bmp page2.bmp\n"
        "  tollan send --normal --rate 9600 5551234 fax_p1.g3 fax_p2.g3");
    c->callback([] { RunSend(args); });
}
