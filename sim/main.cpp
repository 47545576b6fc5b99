// tollan-sim: emulated fax modems on pseudo-terminals, a virtual exchange and
// built-in fax machines, until interrupted.
//
//   tollan-sim [--modem NUMBER[:CLASSES[:QUIRKS[:FAULTS]]]]...
//              [--station NUMBER[:DIR[:FAULTS]]]... [--send NUMBER:TARGET:PAGE,PAGE...]...
//              [--profile FILE] [--transcript FILE]
//              [--calls N] [--call-interval MS] [--settle MS]
//              [--send-faults FAULTS] [--send-bps BPS]
//              [--ring-interval MS] [--give-up MS] [--t1 MS] [--t2 MS] [--t4 MS]
//
// CLASSES is a list such as 1+2+2.0. Without --modem two modems, 100 and
// 101, take every class; without --station an answering station has 200.
// A --send station calls TARGET once the host of that modem has opened it,
// set it up and gone quiet, --calls times (0: without end), --call-interval
// after the previous call ended.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

std::vector<std::string> Split(const std::string &text, char sep) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, sep)) parts.push_back(part);
    return parts;
}

bool ParseClasses(const std::string &text, unsigned &mask) {
    mask = 0;
    for (const std::string &c : Split(text, '+')) {
        if (c == "1") mask |= kSimClass1;
        else if (c == "2") mask |= kSimClass2;
        else if (c == "2.0") mask |= kSimClass20;
        else return false;
    }
    return mask != 0;
}

bool ParseModem(const std::string &arg, SimModemConfig &m) {
    std::vector<std::string> f = Split(arg, ':');
    if (f.empty() || f[0].empty()) return false;
    m.number = f[0];
    if (f.size() > 1 && !f[1].empty() && !ParseClasses(f[1], m.classes)) return false;
    if (f.size() > 2 && !SimParseQuirks(f[2], &m.quirks)) return false;
    if (f.size() > 3 && !SimParseFaults(f[3], &m.faults)) return false;
    return true;
}

void Usage(FILE *out) {
    fprintf(out,
            "usage: tollan-sim [--modem NUMBER[:CLASSES[:QUIRKS[:FAULTS]]]]... [--station NUMBER[:DIR[:FAULTS]]]...\n"
            "                  [--send NUMBER:TARGET:PAGE,...]... [--calls N] [--call-interval MS] [--settle MS]\n"
            "                  [--send-faults FAULTS] [--send-bps BPS] [--coding mh|mr|mmr[+ecm|+ecm64]]\n"
            "                  [--profile FILE] [--transcript FILE]\n"
            "                  [--ring-interval MS] [--give-up MS] [--t1 MS] [--t2 MS] [--t4 MS]\n");
}

// "mh", "mr" or "mmr", "+ecm" (or "+ecm64": 64-octet frames) after any; MMR always has it.
bool ParseCoding(const std::string &text, SimStationConfig &s) {
    const size_t plus = text.find('+');
    const std::string name = text.substr(0, plus);
    const std::string extra = plus == std::string::npos ? "" : text.substr(plus);
    if (!extra.empty() && extra != "+ecm" && extra != "+ecm64") return false;
    s.ecm_frame_size = extra == "+ecm64" ? 64 : 256;
    if (name == "mh") s.data_format = 0;
    else if (name == "mr") s.data_format = 1;
    else if (name == "mmr") s.data_format = 3;
    else return false;
    s.ecm = !extra.empty() || s.data_format == 3;
    return true;
}

// --help: what the emulator is and how to start it, then the usage.
void Help() {
    printf("tollan-sim: emulated fax modems on pseudo-terminals, a virtual exchange and\n"
           "built-in fax machines, until SIGINT or SIGTERM. It writes a profile mapping\n"
           "COM1, COM2, ... to the modems' devices.\n\n");
    Usage(stdout);
    printf("\n"
           "  --modem NUMBER[:CLASSES[:QUIRKS[:FAULTS]]]  an emulated modem; CLASSES such as 1+2+2.0\n"
           "                                 (default: modems 100 and 101, every class)\n"
           "  --station NUMBER[:DIR[:FAULTS]]  an answering fax machine writing DIR/received_pN.g3,\n"
           "                                 with its faults\n"
           "                                 (default: 200 into the current folder)\n"
           "  --send NUMBER:TARGET:PAGE,...  a fax machine that calls TARGET and sends the page files,\n"
           "                                 once TARGET's host has opened and set up its modem\n"
           "  --calls N                      each --send machine calls N times (default 1; 0: without end)\n"
           "  --call-interval MS             from the end of one call to the next (default 10000)\n"
           "  --settle MS                    the host must have been quiet this long (default 2000;\n"
           "                                 0: call at once, for hosts that answer without RING)\n"
           "  --coding mh|mr|mmr[+ecm|+ecm64]  the stations' coding and error correction: an answering\n"
           "                                 one offers codings up to it, a --send one's page files are\n"
           "                                 coded so (default mh; mmr comes with ecm; ecm64: a --send\n"
           "                                 one asks for 64-octet frames). With a class 1 modem's host\n"
           "                                 the stations frame ECM page data in HDLC on the line\n"
           "  --send-faults FAULTS           the --send machines' faults (see tollan-sim(1)); with a\n"
           "                                 class 1 host and ECM also ecmbad@P:F:F..., ecmevery=N,\n"
           "                                 ecmstuck@P=N, ecmeor, ecmforever (a --station also takes the first\n"
           "                                 three, ppsmute and rnr=N)\n"
           "  --send-bps BPS                 the --send machines train no faster (2400 to 14400)\n"
           "  --profile FILE                 the profile to write (default quarry.ini)\n"
           "  --transcript FILE              log every byte between each modem and its host\n"
           "  --ring-interval, --give-up, --t1, --t2, --t4 MS   the emulator's waits\n"
           "\n"
           "Example:\n"
           "  tollan-sim --modem 100 --station 200:inbox --profile /tmp/quarry.ini &\n"
           "  QUARRY_INI=/tmp/quarry.ini tollan send --port 1 200 letter.pdf\n"
           "  tollan-sim --modem 100 --send 300:100:page.g3 --profile /tmp/quarry.ini &\n"
           "  QUARRY_INI=/tmp/quarry.ini tollan receive --port 1 in.g3\n"
           "See tollan-sim(1) for the quirks and faults.\n");
}

}  // namespace

int main(int argc, char **argv) {
    SimConfig config;
    std::vector<SimModemConfig> modems;
    std::vector<SimStationConfig> stations;
    std::vector<SimStationConfig> senders;
    SimStationConfig plan;  // --calls, --call-interval, --settle, --coding
    std::string profile = "quarry.ini";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Help();
            return 0;
        }
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v) {
            Usage(stderr);
            return 2;
        }
        ++i;
        if (a == "--modem") {
            SimModemConfig m;
            if (!ParseModem(v, m)) {
                fprintf(stderr, "tollan-sim: bad modem '%s'\n", v);
                return 2;
            }
            modems.push_back(m);
        } else if (a == "--station") {
            std::vector<std::string> f = Split(v, ':');
            SimStationConfig s;
            s.number = f.empty() ? "" : f[0];
            s.page_dir = f.size() > 1 && !f[1].empty() ? f[1] : ".";
            if (f.size() > 2 && !SimParseFaults(f[2], &s.faults)) {
                fprintf(stderr, "tollan-sim: bad faults '%s'\n", f[2].c_str());
                return 2;
            }
            stations.push_back(s);
        } else if (a == "--send") {
            std::vector<std::string> f = Split(v, ':');
            if (f.size() != 3) {
                Usage(stderr);
                return 2;
            }
            SimStationConfig s;
            s.number = f[0];
            s.answering = false;
            s.dial = f[1];
            s.pages = Split(f[2], ',');
            senders.push_back(s);
        } else if (a == "--calls") {
            plan.call_count = atoi(v);
            if (plan.call_count < 0) {
                Usage(stderr);
                return 2;
            }
        } else if (a == "--call-interval") {
            plan.call_interval_ms = static_cast<uint32_t>(atoi(v));
        } else if (a == "--settle") {
            plan.host_settle_ms = static_cast<uint32_t>(atoi(v));
        } else if (a == "--coding") {
            if (!ParseCoding(v, plan)) {
                fprintf(stderr, "tollan-sim: bad coding '%s'\n", v);
                return 2;
            }
        } else if (a == "--send-faults") {
            if (!SimParseFaults(v, &plan.faults)) {
                fprintf(stderr, "tollan-sim: bad faults '%s'\n", v);
                return 2;
            }
        } else if (a == "--send-bps") {
            plan.max_bps = atoi(v);
            if (plan.max_bps < 2400 || plan.max_bps > 14400) {
                Usage(stderr);
                return 2;
            }
        } else if (a == "--profile") {
            profile = v;
        } else if (a == "--transcript") {
            config.transcript = v;
        } else if (a == "--ring-interval") {
            config.timings.ring_interval = static_cast<uint32_t>(atoi(v));
        } else if (a == "--give-up") {
            config.timings.give_up = static_cast<uint32_t>(atoi(v));
        } else if (a == "--t1") {
            config.timings.t1 = static_cast<uint32_t>(atoi(v));
        } else if (a == "--t2") {
            config.timings.t2 = static_cast<uint32_t>(atoi(v));
        } else if (a == "--t4") {
            config.timings.t4 = static_cast<uint32_t>(atoi(v));
        } else {
            Usage(stderr);
            return 2;
        }
    }
    if (modems.empty()) {
        for (const char *n : {"100", "101"}) {
            SimModemConfig m;
            m.number = n;
            modems.push_back(m);
        }
    }
    if (stations.empty()) {
        SimStationConfig s;
        s.number = "200";
        s.page_dir = ".";
        stations.push_back(s);
    }
    Sim *sim = SimCreate(config);
    if (!sim) {
        perror("tollan-sim");
        return 1;
    }
    for (const SimModemConfig &m : modems) {
        int i = SimAddModem(sim, m);
        if (i < 0) {
            perror("tollan-sim: pseudo-terminal");
            SimDestroy(sim);
            return 1;
        }
        printf("%s %s number %s\n", SimModemName(sim, i).c_str(), SimModemDevice(sim, i).c_str(), m.number.c_str());
    }
    for (SimStationConfig &s : stations) {
        s.data_format = plan.data_format;
        s.ecm = plan.ecm;
        SimAddStation(sim, s);
        printf("station %s receives into %s\n", s.number.c_str(), s.page_dir.c_str());
    }
    for (SimStationConfig &s : senders) {
        s.call_count = plan.call_count;
        s.call_interval_ms = plan.call_interval_ms;
        s.host_settle_ms = plan.host_settle_ms;
        s.data_format = plan.data_format;
        s.ecm = plan.ecm;
        s.ecm_frame_size = plan.ecm_frame_size;
        s.faults = plan.faults;
        s.max_bps = plan.max_bps;
        SimAddStation(sim, s);
        printf("station %s calls %s\n", s.number.c_str(), s.dial.c_str());
    }
    if (!SimWriteProfile(sim, profile)) {
        fprintf(stderr, "tollan-sim: cannot write %s\n", profile.c_str());
        SimDestroy(sim);
        return 1;
    }
    printf("profile %s\n", profile.c_str());
    fflush(stdout);
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    SimStart(sim);
    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SimDestroy(sim);
    return 0;
}
