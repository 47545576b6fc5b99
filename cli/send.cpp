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
    std::string trace;
    std::string number;
    std::vector<std::string> files;
};

int ClassCode(const std::string &name) {
    static const std::map<std::string, int> classes = {
        {"auto", TOLLAN_CLASS_AUTO}, {"1", TOLLAN_CLASS_1}, {"2", TOLLAN_CLASS_2}, {"2.0", TOLLAN_CLASS_2_0}};
    return classes.at(name);
}

void ApplyCallSettings(int32_t channel, const SendArgs &args) {
    if (!args.id.empty()) {
        uint16_t rc = SetLocalID(channel, args.id.c_str());
        if (rc != TOLLAN_OK) Fail("setting the identity (1 to 129 characters)", rc);
    }
    SetResolution(channel, args.normal ? 1 : 0);
    SetBitRate(channel, args.rate / 2400 - 1);
    SetScanTime(channel, args.scan_time);
    SetLineType(channel, args.pulse ? 1 : 0);
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

void PrintSummary(int32_t channel, int pages) {
    CallOutcome call = ReadCallOutcome(channel);
    printf("remote station: %s\n", *call.remote ? call.remote : "(no identity)");
    printf("pages sent: %d of %d\n", call.pages_sent, pages);
    printf("hang-up code: %d (%s)\n", call.hangup, HangupText(call.hangup));
}

void RunSend(const SendArgs &args) {
    StartTrace(args.trace);
    CatchStopSignals();
    ScratchDir scratch("tollan-send-");
    int pages = PreparePages(args.files, scratch.path(), args.normal);
    int modem_class = ClassCode(args.modem_class);
    OpenedChannel channel(OpenChannel(args.port, modem_class));
    StopCallsOn(channel.get());
    ApplyCallSettings(channel.get(), args);

    std::string base = PagesBaseName(scratch.path());
    printf("sending %d page%s to %s\n", pages, pages == 1 ? "" : "s", args.number.c_str());
    fflush(stdout);
    if (StopSignal()) ExitStopped("before dialling");
    PageProgress progress(channel.get(), pages);
    uint16_t rc = modem_class == TOLLAN_CLASS_1 ? SendClass1Fax(channel.get(), args.number.c_str(), base.c_str(), pages)
                                                : SendFax(channel.get(), args.number.c_str(), base.c_str(), pages);
    progress.Stop();
    PrintSummary(channel.get(), pages);
    if (StopSignal()) ExitStopped("during the call");
    if (rc != TOLLAN_OK) Fail("sending the fax", rc);
}

}  // namespace

void AddSendCommand(CLI::App &app) {
    static SendArgs args;
    CLI::App *c = app.add_subcommand("send", "Send page files, BMPs, PDF or PostScript documents as one fax");
    AddPortOptions(c, args.port);
    c->add_option("--class", args.modem_class, "service class of the modem")
        ->check(CLI::IsMember({"auto", "1", "2", "2.0"}))
        ->capture_default_str();
    auto *fine = c->add_flag("--fine", args.fine, "fine resolution (204 x 196 dpi, the default)");
    c->add_flag("--normal", args.normal, "normal resolution (204 x 98 dpi)")->excludes(fine);
    c->add_option("--rate", args.rate, "highest bit rate")
        ->check(CLI::IsMember({2400, 4800, 7200, 9600, 12000, 14400}))
        ->capture_default_str();
    c->add_option("--id", args.id, "local station identity (the number the remote shows)");
    c->add_flag("--pulse", args.pulse, "pulse dialling instead of tone");
    c->add_option("--scan-time", args.scan_time, "minimum scan line time code 0-7")->check(CLI::Range(0, 7));
    AddTraceOption(c, args.trace);
    c->add_option("NUMBER", args.number, "number to dial")->required();
    c->add_option("FILE", args.files, "pages: .g3 page files, .bmp, .pdf or .ps documents")->required();
    c->footer(
        "Examples:\n"
        "  tollan send --device /dev/ttyUSB0 5551234 letter.pdf\n"
        "  tollan send --port 2 --class 1 --id '+1 555 0100' 5551234 page1.bmp page2.bmp\n"
        "  tollan send --normal --rate 9600 5551234 fax_p1.g3 fax_p2.g3");
    c->callback([] { RunSend(args); });
}
