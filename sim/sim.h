// tollan-sim: a fax line emulator. It stands in for fax modems and the
// telephone network: each emulated modem sits on its own pseudo-terminal and
// answers AT commands as a class 1 (T.31), class 2 or class 2.0 (T.32) modem;
// a virtual exchange joins modems and built-in fax machines ("stations") by
// number, and the line between two ends carries T.30 as control frames and
// bursts of training or image data with their modulation.
//
// One thread runs everything: it polls every modem's pty and the timers.
// The functions below may be called from any thread; they take the emulator's
// lock. Configure modems and stations before SimStart; place calls, change
// faults and read results at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <vector>

struct Sim;

// Service classes a modem accepts ("AT+FCLASS=...").
enum SimClassMask : unsigned {
    kSimClass1 = 1u << 0,
    kSimClass2 = 1u << 1,
    kSimClass20 = 1u << 2,
    kSimAllClasses = kSimClass1 | kSimClass2 | kSimClass20,
};

// Call phases at which a fault may strike: dialling or answering (up to the
// modem's connection report), negotiation, the training check (class 1, and
// an answering class 2 modem from the DCS on), the data of a page, the page's
// post-page exchange, and the end of the call after the last post-page
// response.
enum class SimPhase : int { kNone, kDial, kB, kC, kD, kTraining, kEnd };

// Faults on request. They apply to every call of the modem or station that
// carries them until they are changed.
struct SimFaults {
    bool busy = false;          // the dialled number is busy
    bool no_answer = false;     // it rings until the caller gives up
    bool no_dial_tone = false;  // dialling finds no dial tone
    bool delayed = false;       // the dial command is refused with "DELAYED"
    bool garbage = false;       // junk bytes before every response
    bool paced = false;         // data moves at the line's bit rate
    SimPhase fail_phase = SimPhase::kNone;  // the call is lost in this phase
    int fail_code = -1;         // hang-up code reported then; -1: "NO CARRIER"
    // From this phase on the modem sends its host nothing more and the line
    // carries nothing, until the host closes the port. In a page's data
    // phase it strikes half way through the data.
    SimPhase silent_phase = SimPhase::kNone;
    SimPhase garbage_phase = SimPhase::kNone;  // junk bytes and a junk line before the modem's output in this phase
    int fault_page = 0;         // phase C and D faults above: this page only (1-based); 0 any page
    int rtn_page = 0;           // this page (1-based) is answered with RTN
    int bad_frame = 0;          // the n-th frame this end sends has a bad check
    int silent_page = 0;        // the line goes silent in the middle of this page
    // Hostile ends that never stop. A babbling modem sends its host an
    // endless line without a line end instead of its output: from the moment
    // its port is opened ("babble"), or from a phase on ("babble@<phase>").
    // Until the host closes the port.
    bool babble = false;
    SimPhase babble_phase = SimPhase::kNone;
    bool endless_page = false;  // receiving class 2 / 2.0: the page's data to the host never ends
    bool ftt_forever = false;   // an answering end rejects every training check (FTT)
    bool eom_forever = false;   // an answering end answers every post-page message, and every frame after it, with EOM
    // A calling station's slips, for the host that receives from it.
    bool bad_dcs = false;       // its first DCS asks for two-dimensional coding, which no DIS here offers
    bool bad_tcf = false;       // its first training check carries errors
    int bad_lines_page = 0;     // this page (1-based) goes first with every other line spoiled
    SimPhase dcn_phase = SimPhase::kNone;  // DCN instead of the next command: B (DCS), C (page), D (post-page message)
    int eom_page = 0;           // EOM after this page (1-based): a new document follows
    // Error correction on the line with a class 1 modem's host (a station's
    // faults; the frames are spoiled where the station sends or takes them).
    int ecm_bad_page = 0;              // frames of this page (1-based) ...
    std::vector<int> ecm_bad_frames;   // ... numbered so in the page (0-based) go bad once
    int ecm_bad_every = 0;             // every n-th page data frame on the line goes bad
    int ecm_stuck_page = 0;            // the first frame of this page goes bad ...
    int ecm_stuck_times = 0;           // ... the first n times it is sent
    bool ecm_pps_mute = false;         // ECM offered, but PPS (and RR) is never answered
    int ecm_rnr = 0;                   // a block whole is first answered RNR this many times
    bool ecm_eor = false;              // a sending station gives a block up with EOR, not CTC
    bool ecm_forever = false;          // a sending station sends again whatever PPR asks, never CTC or EOR
};

// Quirks of real modems.
struct SimQuirks {
    bool no_dc1 = false;           // class 2: no DC1 after CONNECT to +FDT
    bool echo_always = false;      // echoes commands even after ATE0
    bool no_carrier_hangup = false;  // "NO CARRIER" instead of a hang-up report
    int response_delay_ms = 0;     // every response comes this late
    bool reversed_bits = false;    // received page data with each byte's bits reversed
    int answer_tone_ms = 0;        // class 1: ATA's answer tone before CONNECT; a key during it abandons the answer
};

struct SimModemConfig {
    std::string number;               // its phone number
    unsigned classes = kSimAllClasses;
    SimQuirks quirks;
    SimFaults faults;
};

struct SimStationConfig {
    std::string number;
    std::string identity = "TOLLAN STATION";
    bool answering = true;           // an answering machine, else a calling one
    uint8_t rates = 0x2C;            // DIS modulations: 0x00, 0x08, 0x04, 0x0C, 0x2C
    bool fine = true;                // offers fine resolution
    int scan_ms = 20;                // minimum scan line time it asks for: 0, 5, 10, 20, 40
    std::string page_dir;            // where received pages go
    std::string base = "received";   // received pages: <page_dir>/<base>_p<N>.g3
    std::vector<std::string> pages;  // a calling station sends these files
    int max_bps = 14400;             // a calling station trains no faster than this
    // A calling station that dials by itself: it calls `dial` once the host
    // of the modem with that number has opened its port, sent commands and
    // then been quiet for `host_settle_ms` with the modem idle (a station, an
    // unknown number, or any number with a settle time of 0, is called at
    // once: for hosts that answer without waiting for RING). It makes
    // `call_count` calls (0:
    // without end), the next one `call_interval_ms` after the last ended.
    std::string dial;
    int call_count = 1;
    uint32_t call_interval_ms = 10000;
    uint32_t host_settle_ms = 2000;
    // Error correction and codings (class 2 DF: 0 MH, 1 MR, 3 MMR). An
    // answering station offers every coding up to data_format (MMR only with
    // ecm); a calling station's page files are coded in data_format, and it
    // sends them only to a far end that takes that coding.
    bool ecm = false;
    int ecm_frame_size = 256;        // a calling station's error correction frames: 256 or 64 octets
    int data_format = 0;
    SimFaults faults;
};

// The emulator's own waits, in milliseconds.
struct SimTimings {
    uint32_t ring_interval = 6000;   // between two RINGs
    uint32_t give_up = 60000;        // a caller stops ringing an unanswered line
    uint32_t t1 = 35000;             // T.30: wait for the first frames of a call
    uint32_t t2 = 6000;              // T.30: wait for a command or a page
    uint32_t t4 = 3000;              // T.30: wait for a response before repeating
};

struct SimConfig {
    SimTimings timings;
    std::string transcript;  // file that logs every byte with each host ("" none)
};

// Station results.
struct SimStationResult {
    int calls = 0;               // calls that ended
    int pages = 0;               // pages received (answering) or confirmed (calling)
    int hangup_code = 0;         // class 2 hang-up code of the last call
    std::string remote_id;       // the other end's identity
    std::vector<std::string> page_files;  // pages received, in order
    std::vector<int> page_lines;          // line count of each page received
    int data_format = 0;         // the coding of the last call's pages (0 MH, 1 MR, 3 MMR)
    int ecm_frame = 0;           // its error correction frame size; 0 without
    // Error correction framed on the line (a class 1 modem's host at the
    // other end), in the last call: PPRs sent or received, frames asked for
    // again, CTCs and EORs, frames that arrived with a bad check.
    int ecm_pprs = 0;
    int ecm_frames_resent = 0;
    int ecm_ctcs = 0;
    int ecm_eors = 0;
    int ecm_bad_frames = 0;
    // An answering station: each page's time on the line, from the training's
    // or the last page's confirmation to its own (data, post-page exchanges,
    // frames sent again), counted at each signal's rate: carrier preambles
    // and the silences between signals are not in it.
    std::vector<uint32_t> page_line_ms;
};

// A clock of the test's own for the emulator: now() in milliseconds; poll()
// as poll(2) with its time-out by that clock (fds from ports_from on are the
// modems' pty masters); port_read and port_write move bytes on a master.
// Install before SimCreate and keep until SimDestroy; nullptr: the real ones.
struct SimClockOps {
    uint64_t (*now)();
    int (*poll)(pollfd *fds, size_t n, size_t ports_from, int timeout_ms);
    ssize_t (*port_read)(int fd, void *buf, size_t n);
    ssize_t (*port_write)(int fd, const void *buf, size_t n);
};
void SimUseClock(const SimClockOps *ops);

Sim *SimCreate(const SimConfig &config);
// Returns the modem's index; its device path is SimModemDevice.
int SimAddModem(Sim *sim, const SimModemConfig &config);
int SimAddStation(Sim *sim, const SimStationConfig &config);
bool SimStart(Sim *sim);
void SimDestroy(Sim *sim);  // stops the thread, closes the ptys

std::string SimModemDevice(Sim *sim, int modem);
std::string SimModemName(Sim *sim, int modem);  // COM1, COM2, ...
void SimSetModemFaults(Sim *sim, int modem, const SimFaults &faults);
void SimSetModemQuirks(Sim *sim, int modem, const SimQuirks &quirks);
// A silence fault has struck the modem: it says nothing until its host
// closes the port.
bool SimModemSilenced(Sim *sim, int modem);
void SimSetStationFaults(Sim *sim, int station, const SimFaults &faults);
// Calls the modem's host ended, with "ATH0" or class 2's "+FK"/"+FKS" (not
// by closing the port).
int SimModemHostHangups(Sim *sim, int modem);
// Called on the emulator's thread, with its lock held, whenever a modem's
// call enters a phase (page: the page of phases C and D, else 0). It must not
// call the emulator. nullptr: none.
using SimPhaseHook = void (*)(void *user, int modem, SimPhase phase, int page);
void SimSetPhaseHook(Sim *sim, SimPhaseHook hook, void *user);

// A calling station dials a number and sends its pages.
bool SimStationCall(Sim *sim, int station, const std::string &number);
SimStationResult SimStationResults(Sim *sim, int station);
// Waits until the station has ended `calls` calls in all; false on time-out.
bool SimWaitStation(Sim *sim, int station, int calls, uint32_t timeout_ms);

// Writes "[Ports]" with COM<n>=<device> for every modem.
bool SimWriteProfile(Sim *sim, const std::string &path);

// Parses "busy,noanswer,nodialtone,delayed,garbage,paced,nocarrier@B,
// hangup@D=50,rtn@2,badframe@3,silent@1" and "nodc1,echo,nocarrier,
// delay=300,reversed". Unknown words make it return false. Phases are
// "dial", "B", "T" (training), "C", "D" and "end"; C and D may name a page
// ("nocarrier@C2", "hangup@D1=52"). "silent@<phase>" and "garbage@<phase>"
// are the phase-targeted silence and junk ("silent@<n>" stays the line going
// silent in page n). "babble", "babble@<phase>", "endlesspage", "fttforever"
// and "eomforever" are the hostile ends that never stop. A calling station
// also takes "baddcs", "badtcf", "badlines@<n>", "dcn@<phase>" (B, C or D,
// C and D with a page) and "eom@<n>"; its "nocarrier@", "silent@" and
// "garbage@" strike in the phase named. Error correction with a class 1
// host (a station's): "ecmbad@<page>:<frame>:<frame>..." spoils those
// frames of the page once, "ecmevery=<n>" every n-th frame on the line,
// "ecmstuck@<page>=<n>" the page's first frame the first n times it goes,
// "ppsmute" never answers PPS, "rnr=<n>" answers a whole block RNR n times
// first, "ecmeor" gives a block up with EOR after the fourth PPR,
// "ecmforever" sends again after every PPR, never CTC or EOR.
bool SimParseFaults(const std::string &text, SimFaults *faults);
bool SimParseQuirks(const std::string &text, SimQuirks *quirks);
