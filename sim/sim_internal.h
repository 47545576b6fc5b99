// The emulator's records, shared by its files. Everything here is touched
// only by the loop thread or under Sim::lock.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"

using Bytes = std::vector<uint8_t>;
using SimTime = uint64_t;  // milliseconds, monotonic

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kDc1 = 0x11;
constexpr uint8_t kDc2 = 0x12;
constexpr uint8_t kSub = 0x1A;
constexpr SimTime kNever = ~SimTime(0);

SimTime SimNow();
// The test's clock installed with SimUseClock, or nullptr.
const SimClockOps *SimClock();

// ---- line.cpp: what travels on the line ----

enum class Family : uint8_t { kV21, kV27ter, kV29, kV17 };

struct Modulation {
    int t31;           // +FTM/+FRM number
    int bps;
    Family family;
    uint8_t dcs_bits;  // T.30 DCS rate bits (byte 2, 0x3C)
    int br;            // class 2 BR code
};

const Modulation *ModulationByT31(int code);
const Modulation *ModulationByDcsBits(uint8_t bits);
const Modulation *ModulationByBr(int br, Family preferred);
bool DisOffers(uint8_t dis_rate_bits, const Modulation &m);

enum class SignalKind : uint8_t {
    kFrame,     // one HDLC frame on V.21: 0xFF, control, FCF, FIF
    kCarrier,   // a high-speed burst begins (its data follows as kBurst)
    kBurst,     // high-speed data: training check or page
    kAnswered,  // the called end went off hook
    kDrop,      // the other end hung up
};

struct LineSignal {
    SignalKind kind = SignalKind::kFrame;
    Bytes bytes;
    bool good_check = true;
    int bps = 0;
    Family family = Family::kV21;
    SimTime at = 0;  // when it has arrived, with line time emulated
    SimTime began = 0;  // a burst: when its first bit went on the line
    bool page = false;  // a burst of page data (not a training check)
    bool partial = false;  // a burst's part as its sender takes it; the rest follows
};

// The first signal of an inbox, once it has arrived.
bool InboxReady(const std::deque<LineSignal> &box);

// T.30 facsimile control fields, X bit clear (compare with fcf & 0xFE).
namespace Fcf {
constexpr uint8_t kDis = 0x80, kCsi = 0x40, kNsf = 0x20, kDtc = 0x81;
constexpr uint8_t kTsi = 0x42, kDcs = 0x82, kCfr = 0x84, kFtt = 0x44;
constexpr uint8_t kMps = 0x4E, kEop = 0x2E, kEom = 0x8E, kDcn = 0xFA;
constexpr uint8_t kMcf = 0x8C, kRtn = 0x4C, kRtp = 0xCC, kPin = 0x2C, kPip = 0xAC;
}  // namespace Fcf

// Post-page messages and responses as class 2 numbers them.
enum Ppm : int { kPpmMps = 0, kPpmEom = 1, kPpmEop = 2 };
enum Ppr : int { kPprMcf = 1, kPprRtn = 2, kPprRtp = 3, kPprPin = 4, kPprPip = 5 };

Bytes MakeFrame(bool final, uint8_t fcf, const Bytes &fif = {});
Bytes EncodeIdentity(const std::string &id);  // 20 bytes, last character first
std::string DecodeIdentity(const uint8_t *fif, size_t n);
int CountPageLines(const Bytes &page);
// The page with every other coded line spoiled (a byte after its EOL
// flipped), EOLs kept: a receiver that checks the lines finds half bad.
Bytes SpoilLines(const Bytes &page);
uint8_t ReverseBits(uint8_t b);
// Scan line time in ms <-> T.30 bits (byte 3, 0x70) and class 2 ST codes.
uint8_t ScanBitsForMs(int ms);
int ScanMsForBits(uint8_t bits);
int ScanMsForSt(int st);
int StForScanMs(int ms);

// ---- faults.cpp ----

struct FaultState {
    int frames_sent = 0;  // for the bad-check fault
};
bool FaultBadFrameNow(const SimFaults &f, FaultState &s);
// A phase C or D fault for this page (0: a phase without pages).
bool FaultPageMatches(const SimFaults &f, int page);

// ---- t30.cpp: the T.30 procedure run by stations and class 2 modems ----

enum class T30Role : uint8_t { kNone, kSender, kReceiver };

enum class T30State : uint8_t {
    kIdle,
    // sender (calling)
    kWaitDis, kHaveDis, kWaitCfr, kTrained, kWaitPpr, kHavePpr,
    // receiver (answering)
    kWaitDcs, kWaitTcf, kWaitPage, kWaitPpm, kHavePpm, kWaitDcn,
    kEnded,
};

enum class T30EventKind : uint8_t {
    kConnected,  // the first frame of the remote arrived
    kRemoteId,   // CSI or TSI
    kDis,        // sender: the remote's capabilities
    kDcs,        // receiver: the session parameters
    kTrained,    // sender: CFR; receiver: training check accepted
    kTrainFailed,
    kPage,       // receiver: a page arrived (in T30::page)
    kPpm,        // receiver: the post-page message (value)
    kPpr,        // sender: the post-page response (value)
    kEnded,      // the call is over (value: class 2 hang-up code)
};

struct T30Event {
    T30EventKind kind;
    int value = 0;
};

struct T30Params {
    const Modulation *mod = nullptr;
    bool fine = false;
    int scan_ms = 0;
    int df = 0;         // page coding as class 2 numbers it: 0 MH, 1 MR, 3 MMR
    int ecm_frame = 0;  // octets of an error correction frame; 0 without
};

// Error correction framed on the line: the page data of a call with a
// class 1 modem's host goes in numbered HDLC frames, a block at a time.
using EcmMap = std::array<uint8_t, 32>;  // frame n: bit n % 8 of byte n / 8

struct EcmLine {
    bool on = false;  // this call's page data goes in frames
    // sender
    Bytes page;             // the page being sent, in the session's coding
    int page_number = 0;    // 1-based
    int ppm = 0;            // what follows the page (Ppm)
    size_t block_start = 0;
    int block = 0;
    int frames = 0;         // frames of the block
    EcmMap to_send{};       // frames of the block (still) to send
    int pprs = 0;           // PPRs for the block since it went whole or after CTC
    int ctcs = 0;
    bool eor_sent = false;
    bool first_pass = true;  // the block's first sending
    int stuck_sent = 0;     // times the stuck frame went
    int rr_polls = 0;
    Bytes last_command;     // PPS, CTC, EOR or RR: FCF and FIF, said again after T4
    // receiver
    std::vector<Bytes> got;  // frames of the block by number; empty: missing
    Bytes assembled;         // the page's blocks so far
    int answered_id = -1;    // page, block and post-page of the PPS answered last
    Bytes pending_pps;       // a whole block's PPS answered RNR, taken up again at RR
    int rnr_left = 0;
    bool page_by_eor = false;  // the page's last block was given up: ERR, not MCF
    std::vector<int> spoiled;  // frames of the page spoiled once already
    // both
    int frames_on_line = 0;    // page data frames sent or taken, for the damage rate
    int pprs_total = 0, frames_resent = 0, ctcs_total = 0, eors_total = 0, bad_frames = 0;
};

struct Endpoint {
    enum Kind : uint8_t { kNone, kModem, kStation } kind = kNone;
    int index = -1;
};

struct T30 {
    T30Role role = T30Role::kNone;
    T30State state = T30State::kIdle;
    Endpoint self;
    std::string local_id;
    std::string remote_id;
    // What this end offers: the DIS rates, the top and bottom BR, fine, scan.
    uint8_t rates = 0x2C;
    int max_br = 5;
    int min_br = 0;
    bool fine = true;
    int scan_ms = 0;
    bool can_receive = true;
    int df_max = 0;             // best coding offered (0 MH, 1 MR, 3 MMR; MMR only with ecm)
    bool ecm = false;           // offers error correction
    int ecm_frame_size = 256;   // the frames a sender asks for
    Bytes remote_dis;  // FIF of the remote's DIS
    T30Params params;  // negotiated (DCS)
    int retries = 0;
    int trainings = 0;  // sender: training checks sent in this call
    SimTime deadline = kNever;
    int hangup_code = 0;
    bool eom_looping = false;  // receiver with the EOM-forever fault: every frame draws EOM
    int pages = 0;       // pages received or confirmed
    Bytes page;          // receiver: the last page
    SimTime page_began = 0;  // when it began to cross the line
    int page_lines = 0;
    int last_ppm = -1;   // sender: the PPM awaiting its response
    Bytes last_response;  // receiver: said again when the sender repeats itself
    Bytes burst_parts;    // a burst arriving in parts, so far
    // The far end is a class 1 modem whose host frames error correction
    // itself: page data crosses in HDLC frames (else a page crosses whole).
    bool hdlc_ecm = false;
    EcmLine ecm_line;
    const SimFaults *faults = nullptr;
    FaultState fault_state;
    std::deque<T30Event> events;
};

void T30StartReceiver(Sim &sim, T30 &t);  // sends CSI and DIS
void T30StartSender(Sim &sim, T30 &t);    // waits for DIS
void T30OnSignal(Sim &sim, T30 &t, const LineSignal &s);
void T30OnTimer(Sim &sim, T30 &t, SimTime now);
// Sender.
bool T30Train(Sim &sim, T30 &t);  // TSI, DCS and training check; false: no rate
void T30SendPage(Sim &sim, T30 &t, const Bytes &page, int page_number);
void T30SendPpm(Sim &sim, T30 &t, int ppm);
// After EOM was answered: waits for the receiver's CSI and DIS again.
void T30AwaitDis(Sim &sim, T30 &t);
// A calling station's fault planned for this phase (and page) strikes: junk
// goes on the line first; the call is lost, ended with DCN, or the line goes
// silent (true: the call goes no further).
bool T30FaultCuts(Sim &sim, T30 &t, SimPhase phase, int page = 0);
// Receiver.
void T30Respond(Sim &sim, T30 &t, int ppr);  // to the last PPM
// Either: DCN and hang up.
void T30Disconnect(Sim &sim, T30 &t, int hangup_code);
void T30Abort(Sim &sim, T30 &t, int hangup_code);  // hang up without DCN
// The coding and error correction a sender would choose with the remote's DIS.
T30Params T30ChooseCoding(const T30 &t);
// "vr,br,wd,ln,df,ec,bf,st" of the DIS and the DCS. EC is 1 or 2 for 64 or
// 256-octet frames with ec_names_frame (class 2), else 1 for either.
std::string T30DisReport(const T30 &t, bool ec_names_frame);
std::string T30DcsReport(const T30 &t, bool ec_names_frame);

// Shared with ecm.cpp.
void T30SendFrame(Sim &sim, T30 &t, bool final, uint8_t fcf, const Bytes &fif = {});
void T30SetState(T30 &t, T30State state, SimTime deadline);
SimTime T30After(Sim &sim, const T30 &t, uint32_t ms);  // ms after the line is free
void T30Emit(T30 &t, T30EventKind kind, int value = 0);
uint8_t T30WithX(const T30 &t, uint8_t fcf);
uint8_t T30PpmFcf(int ppm);
int T30PpmOf(uint8_t fcf);
// The next lower modulation both ends have; nullptr at the lowest.
const Modulation *T30LowerModulation(const T30 &t);

// ---- ecm.cpp: error correction on the line ----

namespace Fcf {
constexpr uint8_t kFcd = 0x06, kRcp = 0x86, kPps = 0xBE, kPpr = 0xBC, kCtc = 0x12, kCtr = 0xC4;
constexpr uint8_t kEor = 0xCE, kErr = 0x1C, kRr = 0x6E, kRnr = 0xEC;
}  // namespace Fcf

// The frame check of an HDLC frame (address to its last data byte).
uint16_t SimHdlcCheck(const uint8_t *data, size_t n);
// Frames (address first, no check) as a bit stream, first bit in bit 0:
// `lead` flags (at least one), each frame stuffed with its check and a flag after it, a
// spoiled frame with its check wrong, idle ones to the byte's end.
Bytes SimHdlcEncode(const std::vector<Bytes> &frames, const std::vector<bool> &spoil, size_t lead);
// The frames of a bit stream whose check is good (check removed); `bad`
// counts those whose check failed.
std::vector<Bytes> SimHdlcDecode(const Bytes &bits, int *bad);

// Sender: the page whose post-page message is ppm goes block by block.
void EcmSendPage(Sim &sim, T30 &t, int ppm);
// Sender: the receiver's answer to PPS, CTC, EOR or RR. Returns the FCF the
// page's procedure goes on with (MCF: the page is done), or 0: handled here.
uint8_t EcmSenderAnswer(Sim &sim, T30 &t, uint8_t fcf, const uint8_t *fif, size_t n);
void EcmSenderRepeat(Sim &sim, T30 &t);  // no answer within T4
// Receiver: a block's data, and PPS, CTC, EOR, RR (false: not one of them).
void EcmReceiveBlock(Sim &sim, T30 &t, const LineSignal &s);
bool EcmReceiverFrame(Sim &sim, T30 &t, uint8_t fcf, const uint8_t *fif, size_t n);
void EcmStartCall(T30 &t);  // forgets the last call's frames and counts

// ---- pty.cpp and transcript ----

struct Pty {
    int master = -1;
    std::string device;
    bool attached = false;
    int watch = -1;  // inotify watch on the slave: its opens and closes
    int opens = 0;   // host descriptors open on the slave
    SimTime next_check = 0;
};
bool PtyOpen(Pty &p);
void PtyClose(Pty &p);
bool PtyCheckAttached(Pty &p);  // a host has the slave open
// Reads the watch events; calls closed(index) for every pty whose last host
// descriptor was closed ("DTR off"), even if a host opened it again since.
struct Sim;
void PtyWatchEvents(Sim &sim, void (*closed)(Sim &, int modem));
void TranscriptLog(Sim &sim, const std::string &who, bool from_host, const uint8_t *b, size_t n);
// A line event of the modem's (what it sent to the far end), in the transcript.
void TranscriptNote(Sim &sim, const std::string &who, const char *event);

// ---- modems ----

enum class ModemMode : uint8_t {
    kCommand,
    kDialing,       // waiting for the call to be answered
    // class 1
    kC1TxFrames,    // after CONNECT to +FTH: frame bytes from the host
    kC1TxData,      // after CONNECT to +FTM
    kC1RxFrame,     // +FRH (or after ATD): waiting for a frame
    kC1RxData,      // +FRM: waiting for a burst
    kC1Answering,   // after ATA: the answer tone, then CONNECT
    // class 2 / 2.0
    kC2Answering,   // after ATA: until the training is accepted
    kC2DialWait,    // after ATD: until the DIS
    kC2WaitTrain,   // after +FDT: waiting for CFR
    kC2TxPage,      // page data from the host
    kC2WaitPpr,     // after +FET or DLE ppm
    kC2WaitPage,    // after +FDR: waiting for the page
    kC2WaitDc2,     // CONNECT sent, waiting for DC2
    kC2WaitPpm,     // page delivered, waiting for the post-page message
    kC2WaitEnd,     // after +FDR past EOP: waiting for DCN
};

// An endless stream to the host in place of the modem's output.
enum class Flood : uint8_t { kNone, kText, kPage };

struct Pending {
    SimTime due;
    Bytes bytes;
};

struct Class2Dialect;
struct ModemClassOps;

struct Modem {
    int index = 0;
    std::string name;  // COM1 ...
    std::string number;
    unsigned classes = kSimAllClasses;
    SimQuirks quirks;
    SimFaults faults;
    Pty pty;
    std::deque<Pending> pending;  // timed output
    SimTime hold_output = 0;      // nothing more reaches the host before this
    Bytes out;                    // due output not yet written
    // command state
    bool echo = true, verbose = true, quiet = false;
    const ModemClassOps *ops = nullptr;  // the service class, chosen at +FCLASS
    int s_regs[100] = {};
    std::string line;  // the command line being typed
    bool in_at = false;
    bool command_ended = false;  // the last byte ended a command line
    bool host_spoke = false;     // the host has sent bytes since it opened the port
    SimTime host_last_byte = 0;  // when its last byte came
    ModemMode mode = ModemMode::kCommand;
    // call
    int call = -1;
    bool ringing = false;
    int rings = 0;
    SimTime next_ring = kNever;
    std::deque<LineSignal> inbox;
    bool line_dropped = false;
    // data from the host
    Bytes data;
    bool dle = false;
    SimTime data_start = 0;
    int data_bps = 0;      // pacing of host data, 0: as fast as it comes
    size_t data_taken = 0;
    // class 1
    const Modulation *c1_mod = nullptr;
    int c1_ftm_count = 0;     // +FTM since the call began: the first is the training check
    int c1_frame_cmds = 0;    // +FTH and +FRH since the call began
    bool c1_page_sent = false;
    // class 2
    const Class2Dialect *dialect = nullptr;
    int vr = 1, br = 5, wd = 0, ln = 2, df = 0, ec = 0, bf = 0, st = 0;
    int minsp = 0;
    int bor = 0;
    int fcr = 1;
    int fnr[4] = {0, 0, 0, 0};
    int host_ppr = 0;   // +FPTS= / +FPS= for the next response; 0 none
    std::string local_id;
    T30 t30;
    bool trained = false;
    bool connected_reported = false;
    int page_number = 0;
    bool page_ready = false;  // a received page waits for +FDR
    int page_lines = 0;       // lines of the last page sent or received
    bool fail_reported = false;
    // The call's phase, for the phase-targeted faults.
    SimPhase phase = SimPhase::kNone;
    int phase_page = 0;
    bool muted = false;      // a silence fault struck: the host hears nothing more
    Flood flood = Flood::kNone;  // a babble or endless page fault struck
    bool c1_eop_sent = false;  // class 1: the host has sent EOP
    int host_hangups = 0;      // calls the host ended: "ATH0", or +FK/+FKS (DCN, then on hook)
    // class 1, answered: where the host's reception stands.
    bool c1_answered = false;      // this call was answered here
    bool c1_rx_trained = false;    // the host sent CFR since the last DCS
    int c1_rx_confirmed = 0;       // pages the host answered MCF, RTP or PIP
    bool c1_rx_page_seen = false;  // a page went to the host: phase D faults apply
    bool c1_rx_eop_heard = false;  // EOP went to the host
    bool c1_burst_flagged = false; // +FCERROR said for the burst first in the inbox
    bool c1_carrier_heard = false; // +FRM: CONNECT said for a carrier whose data has not come
    SimTime c1_connect_at = 0;     // kC1Answering: the answer tone ends
    // class 1, calling with error correction: its pages go in blocks, some
    // sent again, so its page data is numbered by the pages confirmed.
    bool c1_tx_ecm = false;        // the host's last DCS asked for error correction
    bool c1_tx_trained = false;    // CFR went to the host since its last DCS
    bool c1_tx_page_end = false;   // the host's PPS or EOR ended a page, unanswered
    int c1_tx_confirmed = 0;       // pages the far end confirmed (MCF, or ERR after EOR)
};

enum class CmdStatus : uint8_t { kOk, kError, kAsync };  // kAsync: the result comes later

// What a modem does in one service class. The modem's core calls only
// these; each class file fills in its table (sim/modem_classes.h) and
// classes.cpp chooses one at "+FCLASS".
struct ModemClassOps {
    int fclass;          // 0, 1, 2 or 20
    const char *name;    // as "+FCLASS?" reports it
    unsigned mask;       // the SimClassMask bit a modem must offer (0: every modem)
    void (*select)(Modem &m);                                   // entering the class
    CmdStatus (*command)(Sim &sim, Modem &m, const std::string &cmd);  // "+F..." commands
    void (*host_data)(Sim &sim, Modem &m, uint8_t b);           // host bytes in a data mode
    bool (*step)(Sim &sim, Modem &m);                           // the line's signals, timers
    void (*answer)(Sim &sim, Modem &m);                         // ATA on a ringing line
    void (*dialled)(Sim &sim, Modem &m);                        // the dialled end answered
    const char *hangup_report;  // printf format of the hang-up report; nullptr: NO CARRIER
    bool runs_t30;              // the modem runs T.30: its timers wake the loop
};

// classes.cpp
const ModemClassOps &ModemClassNone();  // class 0: no fax
// The class "+FCLASS=<name>" chooses on this modem; nullptr: not offered.
const ModemClassOps *ModemClassNamed(const Modem &m, const std::string &name);
std::string ModemClassList(const Modem &m);  // "+FCLASS=?": "0,1,2,2.0"
void ModemClassesReset(Modem &m);            // every class's settings as from the factory

// modem.cpp
void ModemSay(Sim &sim, Modem &m, const Bytes &bytes, SimTime when = 0);
void ModemInfo(Sim &sim, Modem &m, const std::string &text);
enum class Result : int { kOk = 0, kConnect = 1, kRing = 2, kNoCarrier = 3, kError = 4,
                          kNoDialTone = 6, kBusy = 7, kNoAnswer = 8, kDelayed = 100 };
void ModemResult(Sim &sim, Modem &m, Result r);
void ModemHangUp(Sim &sim, Modem &m);  // on hook, the far end hears the drop
void ModemFailCall(Sim &sim, Modem &m);  // a fault cuts the call: report it
// The call is to be lost here (page: the page of a phase C or D, else 0).
bool ModemFaultAt(const Modem &m, SimPhase phase, int page = 0);
// The call moves on to a phase. From now the phase's junk goes before the
// modem's output; a silence planned for it begins (except in a page's data,
// where the class code lets it strike half way: ModemSilentAt); training and
// the end lose the call here when planned. False when the call was lost.
bool ModemEnterPhase(Sim &sim, Modem &m, SimPhase phase, int page = 0);
// CAN from the host while output waits for it: the output is dropped, the
// modem ends the data and says OK. False (nothing done) for any other byte.
bool ModemCancelOutput(Sim &sim, Modem &m, uint8_t c);
bool ModemSilentAt(const Modem &m, SimPhase phase, int page);
void ModemGoSilent(Sim &sim, Modem &m);
// From now on the host gets an endless stream instead of the modem's output.
void ModemFlood(Modem &m, Flood flood);
// Junk bytes and a junk line when the current phase has a garbage fault; they
// hold no NUL, DLE, DC1, DC3 or 0xFF, so page data and frames around them keep
// their meaning.
void ModemSayJunk(Sim &sim, Modem &m);
void ModemDetached(Sim &sim, Modem &m);
void ModemReset(Modem &m);  // factory settings (ATZ)
void ModemToCommand(Modem &m);
bool ModemDial(Sim &sim, Modem &m, const std::string &number);
bool ModemStep(Sim &sim, Modem &m, SimTime now);
SimTime ModemNextWake(const Sim &sim, const Modem &m);
size_t ModemReadBudget(const Modem &m, SimTime now);
void ModemHostBytes(Sim &sim, Modem &m, const uint8_t *b, size_t n);
// Page data to the host, DLE doubled; with bps, at the line's rate from the
// moment the data began to cross the line (what has crossed already goes now).
void ModemSendData(Sim &sim, Modem &m, const Bytes &data, int bps, bool reverse, SimTime began);
// What the modem says from now on waits until `until`: what a line's time
// keeps from the host when the data itself moved at once.
void ModemHoldOutput(Modem &m, SimTime until);
// When the host has had everything said so far.
SimTime ModemOutputDone(const Modem &m);
// Milliseconds `bytes` take on the line at `bps`.
SimTime LineTimeMs(size_t bytes, int bps);
constexpr SimTime kPpmFrameMs = (3 + 4) * 8000 / 300;  // a post-page message on V.21

// at_parser.cpp
struct AtCommand {
    std::string text;  // one command: "E0", "+FCLASS=2", "D5551234", "S0=1"
};
bool ParseAtLine(const std::string &line, std::vector<AtCommand> &out);
bool ParseNumbers(const std::string &text, int *values, int max, int &count);
bool ParseQuoted(const std::string &text, std::string &out);

// ---- stations ----

struct Station {
    int index = 0;
    SimStationConfig config;
    int call = -1;
    bool ringing = false;
    int rings = 0;
    std::deque<LineSignal> inbox;
    T30 t30;
    size_t next_page = 0;
    int resends = 0;
    int calls_placed = 0;    // calls it made by itself (config.dial)
    SimTime next_call = 0;   // not before this
    SimTime line_mark = 0;   // line time carried up to the last training or confirmation
    SimStationResult result;
};
bool StationStep(Sim &sim, Station &s, SimTime now);
SimTime StationNextWake(const Sim &sim, const Station &s, SimTime now);
bool StationPlaceCall(Sim &sim, Station &s, const std::string &number);

// ---- exchange.cpp ----

enum class CallState : uint8_t { kRinging, kConnected, kEnded };

struct Call {
    Endpoint caller, callee;
    CallState state = CallState::kRinging;
    SimTime give_up = kNever;
    bool silent = false;  // the line carries nothing any more
    SimTime line_free[2] = {0, 0};  // caller to callee, callee to caller
    // The time what crossed takes on the line at its rate, both ways: frames
    // at 300 bit/s with their flags and check, bursts at theirs.
    SimTime carried_ms = 0;
};

enum class DialOutcome : uint8_t { kRinging, kBusy, kNoDialTone, kDelayed };
// Who has this number: a modem or an answering station (kNone: nobody).
Endpoint ExchangeFind(Sim &sim, const std::string &number);
DialOutcome ExchangeDial(Sim &sim, Endpoint caller, const std::string &number, int &call);
void ExchangeAnswer(Sim &sim, int call);
void ExchangeHangUp(Sim &sim, Endpoint who);
void ExchangeSend(Sim &sim, Endpoint from, LineSignal s);
void ExchangeSilence(Sim &sim, Endpoint from);
// When what this end has sent will have left the line (now, without line time).
SimTime ExchangeLineFree(Sim &sim, Endpoint from);
// The line time of everything this end's call has carried so far.
SimTime ExchangeCarriedMs(Sim &sim, Endpoint e);
bool ExchangeStep(Sim &sim, SimTime now);
std::deque<LineSignal> *Inbox(Sim &sim, Endpoint e);
const SimFaults &FaultsOf(Sim &sim, Endpoint e);

// ---- the emulator ----

struct Sim {
    SimConfig config;
    std::mutex lock;
    std::condition_variable changed;
    std::thread thread;
    bool running = false;
    bool stopping = false;
    int wake[2] = {-1, -1};
    int watches = -1;  // inotify descriptor for the ptys' opens and closes
    std::deque<Modem> modems;
    std::deque<Station> stations;
    std::vector<Call> calls;
    FILE *transcript = nullptr;
    SimPhaseHook phase_hook = nullptr;
    void *phase_hook_user = nullptr;
};

void SimWake(Sim &sim);
