// The called side of T.30 over a class 1 modem: answer, then run the call
// through its phases (identifying with CSI and DIS, waiting for the caller's
// commands, judging the training check, receiving a page, disconnecting,
// hanging up). The caller's commands drive it; every wait ends at a T.30
// timer or a bounded count, every change of phase is traced in one place.
#include <array>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "class1/class1.h"
#include "class2/class2.h"
#include "engine/call_limits.h"
#include "engine/call_report.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/call_end.h"
#include "modem/modem_io.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kSetupTimeout = 6000;    // ms per byte while the modem is set up
constexpr uint32_t kCallTimeout = 80000;    // ms per byte once the call is answered
// T.30 timers: T1 bounds phase B, T2 a wait for a command or a page, T4 a
// wait for the answer to DIS before it goes again.
constexpr uint32_t kT1Ms = 35000;
constexpr uint32_t kT2Ms = 6000;
constexpr uint32_t kT4Ms = 3000;
// ATA to CONNECT: the modem sends the answer tone (about 3 s) first.
constexpr uint32_t kAnswerMs = 30000;
// A training check is good when its longest run of zero bytes lasts at least
// 1 s of the 1.5 s sent: start and end of the carrier may be lost, a line
// that breaks the run in the middle cannot carry the rate.
constexpr uint32_t kTrainingNumerator = 2;
constexpr uint32_t kTrainingDenominator = 3;
// DIS/DCS information field bits (first byte of the field is index 0).
constexpr uint8_t kReceiverBit = 0x02;     // bit 10: the station receives by T.4
constexpr uint8_t kFineBit = 0x40;         // bit 15: 7.7 lines/mm
constexpr uint8_t kTwoDimBit = 0x80;       // bit 16: two-dimensional coding
constexpr uint8_t kRateMask = 0x3C;        // bits 11 to 14
constexpr uint8_t kWidthMask = 0x03;       // bits 17, 18: 00 is 1728 dots
constexpr uint8_t kUnlimitedLength = 0x08; // bits 19, 20 = 01: unlimited length
constexpr uint8_t kExtendBit = 0x80;       // bit 24: another byte follows
// Fourth byte: uncompressed mode (26, never taken), error correction (27),
// MMR (31).
constexpr uint8_t kUncompressedBit = 0x02;
constexpr uint8_t kEcmBit = 0x04;
constexpr uint8_t kMmrBit = 0x40;
// PPR rounds one block may draw: the sender's four, CTC, four more, and a margin.
constexpr int kMaxPprsPerBlock = 4 * kEcmPprsBeforeCtc;

// Response frames of the called station (X bit 0).
constexpr uint8_t kFcfCrp = 0x1A;
constexpr uint8_t kFcfDcnCalled = 0xFA;

// The caller's commands, X bit cleared.
enum Command : uint8_t {
    kCmdNone,
    kCmdTsi,
    kCmdDcs,
    kCmdMps,
    kCmdEop,
    kCmdEom,
    kCmdDcn,
    kCmdCrp,
    kCmdPps,
    kCmdCtc,
    kCmdEor,
    kCmdRr,
    kCmdIgnored,  // NSS, SUB, PWD, SEP and the like: traced only
    kCmdUnknown,
    kCommands,
};

struct CommandEntry {
    uint8_t fcf;  // X bit cleared
    Command command;
    const char *name;
};
// PRI-Q commands are their plain forms: nobody here asks for an operator.
constexpr std::array<CommandEntry, 19> kCommandTable = {{
    {0xBE, kCmdPps, "PPS"},     {0x12, kCmdCtc, "CTC"},     {0xCE, kCmdEor, "EOR"},
    {0x6E, kCmdRr, "RR"},
    {0x42, kCmdTsi, "TSI"},     {0x82, kCmdDcs, "DCS"},     {0x4E, kCmdMps, "MPS"},
    {0x5E, kCmdMps, "PRI-MPS"}, {0x2E, kCmdEop, "EOP"},     {0x3E, kCmdEop, "PRI-EOP"},
    {0x8E, kCmdEom, "EOM"},     {0x9E, kCmdEom, "PRI-EOM"}, {0xFA, kCmdDcn, "DCN"},
    {0x1A, kCmdCrp, "CRP"},     {0x22, kCmdIgnored, "NSS"}, {0xC2, kCmdIgnored, "SUB"},
    {0xA2, kCmdIgnored, "PWD"}, {0xA0, kCmdIgnored, "SEP"}, {0x20, kCmdIgnored, "NSF"},
}};

const CommandEntry *FindCommand(uint8_t fcf) {
    for (const CommandEntry &e : kCommandTable)
        if (e.fcf == (fcf & 0xFE)) return &e;
    return nullptr;
}

// DIS bits by bit-rate code: the modulations up to the channel's rate.
constexpr std::array<uint8_t, kBitRateCodes> kDisRates = {
    0x00,  // 2400: V.27 ter fall-back only
    0x08,  // 4800: V.27 ter
    0x0C,  // 7200: V.27 ter and V.29
    0x0C,  // 9600
    0x2C,  // 12000: V.27 ter, V.29, V.17
    0x2C,  // 14400
};

// The modulations a DCS may ask for. The six of the sending side's rate
// codes, and V.17 at 9600 and 7200 bit/s, which a V.17 caller steps down to
// after FTT at 12000: a receiver that offered V.17 must take them.
constexpr std::array<ReceiveRate, 8> kReceiveRates = {{
    {0x00, 0, false, "AT+FRM=24\r", "AT+FRM=24\r", 450},     // V.27 ter 2400
    {0x08, 1, false, "AT+FRM=48\r", "AT+FRM=48\r", 900},     // V.27 ter 4800
    {0x0C, 2, false, "AT+FRM=72\r", "AT+FRM=72\r", 1350},    // V.29 7200
    {0x04, 3, false, "AT+FRM=96\r", "AT+FRM=96\r", 1800},    // V.29 9600
    {0x2C, 2, true, "AT+FRM=73\r", "AT+FRM=74\r", 1350},     // V.17 7200
    {0x24, 3, true, "AT+FRM=97\r", "AT+FRM=98\r", 1800},     // V.17 9600
    {0x28, 4, true, "AT+FRM=121\r", "AT+FRM=122\r", 2250},   // V.17 12000
    {0x20, 5, true, "AT+FRM=145\r", "AT+FRM=146\r", 2700},   // V.17 14400
}};
constexpr int16_t kFirstV17Rate = 4;  // the channel's rate code from which DIS offers V.17

constexpr std::array<const char *, 8> kPhaseNames = {
    "answering", "identifying", "waiting for a command", "training check",
    "receiving a page", "disconnecting", "hanging up", "done",
};

// The call report's phase of each phase, in ReceivePhase order; -1 leaves it
// (waiting for a command belongs to the phase before). Waiting for a page's
// carrier is the page's phase already: a call lost then was lost there, not
// in the training or the last page's post-page exchange.
constexpr std::array<int32_t, 8> kReportPhases = {
    TOLLAN_PHASE_DIAL, TOLLAN_PHASE_NEGOTIATION, -1, TOLLAN_PHASE_TRAINING,
    TOLLAN_PHASE_PAGE, TOLLAN_PHASE_RELEASE,     TOLLAN_PHASE_RELEASE, -1,
};
static_assert(kReportPhases.size() == kPhaseNames.size() &&
                  kPhaseNames.size() == static_cast<size_t>(ReceivePhase::kDone) + 1,
              "one name and one report phase for every phase");

// One class 1 receiving call, for its whole length.
struct ReceiveCall {
    int32_t channel;
    const char *base_name;
    int16_t *pages;          // the host's counter: pages received whole
    ReceivePhase phase;
    uint16_t code;           // the call's outcome so far
    bool identify_direct;    // CSI and DIS go out on the answer's CONNECT, no AT+FTH=3
    bool phase_b;            // no DCS accepted since the last DIS: T1 runs
    uint32_t phase_b_start;
    bool after_eom;
    const ReceiveRate *rate; // the modulation of the accepted DCS; none before one
    bool fine;
    int16_t page;            // number of the page received or coming next
    PageVerdict verdict;     // the answer of the page awaiting its post-page command
    bool page_cut;           // the page's data ended before its end of page
    bool page_lost;          // the page after the last answer did not arrive (no carrier, cut short)
    bool replace_page;       // the file of the page coming next is from this call: RTN, or cut short
    uint8_t last_response;   // FCF of the last response, sent again when the caller repeats
    int silences;            // waits in a row that heard nothing
    int trainings;           // training checks judged since the last confirmed page
    int eom_rounds;
    bool eop_answered;       // the document is complete
    uint8_t seen[kCommands]; // commands of each kind since the last page answer
    uint8_t csi[kIdentityFrameSize];
    uint8_t dis[6];          // control, FCF, 3 or 4 information bytes
    LineMode mode;           // the coding and error correction of the accepted DCS
    EcmReceive ecm;          // the page coming in blocks
    bool ecm_page_open;      // a page's blocks are coming
    int ecm_frames;          // frames of the block, as its PPS said
    int pprs;                // PPRs for the block
    uint8_t ecm_answered[3]; // page, block and post-page of the PPS last answered
    bool ecm_any_answered;
    uint8_t frame[kFrameBufferSize];
    size_t frame_length;     // control, FCF and information of the last frame
};

struct Step {
    ReceivePhase next;
    uint16_t code;
};

Step Stay(const ReceiveCall &call) { return {call.phase, TOLLAN_OK}; }

// A failed modem exchange, the host's abort or the call time: no more
// frames, the modem hangs up.
Step Failed(ReceiveCall &call, uint16_t code, int32_t hangup) {
    FaxChannel &c = g_channels[call.channel];
    if (c.reports.hangup_code == 0) c.reports.hangup_code = code == TOLLAN_E_ABORTED ? 2 : hangup;  // 2: call aborted
    // Aborted or out of time: ReceiveClass1Fax ends the call, briefly.
    if (FaxCallEnded(code)) return {ReceivePhase::kDone, code};
    return {ReceivePhase::kHangUp, code};
}

// Ends the call politely: DCN, then hang up.
Step EndWithDcn(ReceiveCall &call, uint16_t code, int32_t hangup) {
    FaxChannel &c = g_channels[call.channel];
    if (c.reports.hangup_code == 0) c.reports.hangup_code = hangup;
    return {ReceivePhase::kDisconnect, code};
}

// What listening for one control frame gave.
enum class Listened : uint8_t { kFrame, kBadFrame, kNothing, kFailed };

// "AT+FRH=3" until a frame comes within limit_ms. A carrier that is not V.21
// ("+FCERROR") is asked for again, a few times.
Listened ListenForFrame(ReceiveCall &call, uint32_t limit_ms, uint16_t *failure) {
    const FaxDeadline deadline = FaxDeadlineIn(limit_ms);
    for (int asked = 0; asked <= kMaxCommandRepeats; ++asked) {
        const uint32_t left = FaxTimeLeft(deadline);
        if (left == 0) return Listened::kNothing;
        const Hearing h = AwaitCarrier("AT+FRH=3\r", left, call.channel);
        if (h.what == Heard::kFailed) {
            *failure = h.code;
            return Listened::kFailed;
        }
        if (h.what == Heard::kOtherCarrier) continue;
        if (h.what != Heard::kConnect) return Listened::kNothing;
        const FrameIn in = ReadFrame(call.frame, sizeof call.frame, call.channel);
        if (in.code != TOLLAN_OK) {
            *failure = in.code;
            return Listened::kFailed;
        }
        call.frame_length = in.length >= 2 ? in.length - 2 : 0;  // without DLE ETX
        uint16_t code = TOLLAN_OK;
        const Word result = AwaitWord(call.channel, FaxDeadlineIn(kResultWaitMs), &code);
        if (FaxCallEnded(code)) {
            *failure = code;
            return Listened::kFailed;
        }
        if (result == Word::kOk && !in.too_long && call.frame_length >= 2) return Listened::kFrame;
        return Listened::kBadFrame;
    }
    return Listened::kNothing;
}

// A response frame after the line fell silent ("AT+FRS"), sent as the
// sending side sends its frames.
uint16_t SendResponse(ReceiveCall &call, uint8_t fcf) {
    call.last_response = fcf;
    uint16_t code = SendCmd("AT+FRS=8\r", call.channel);
    if (code != TOLLAN_OK) return code;
    const uint8_t frame[] = {kControlFinal, fcf};
    return SendFrame(frame, sizeof frame, call.channel);
}

// ---- the phases' actions ----

// ATA; the modem answers with CONNECT once it sends V.21 flags.
Step Answer(ReceiveCall &call) {
    FaxTrace("SendCmd: ATA");
    uint16_t code = FaxSendString("ATA\r", call.channel);
    if (code != TOLLAN_OK) return Failed(call, code, -4);
    const Word word = AwaitWord(call.channel, FaxDeadlineIn(kAnswerMs), &code);
    if (word == Word::kConnect) {
        // The caller hears our flags: a call ended from here on tells it DCN.
        FaxNoteConnected(call.channel);
        return {ReceivePhase::kIdentify, TOLLAN_OK};
    }
    if (FaxCallEnded(code)) return Failed(call, code, 1);
    FaxTrace("ReceiveClass1Fax: no fax connection after the answer");
    return Failed(call, TOLLAN_E_RECEIVE_FAILED, 1);
}

// CSI then DIS. Right after the answer the modem already sends flags; later
// (a repeat, after EOM) AT+FTH=3 starts them.
Step Identify(ReceiveCall &call) {
    const int32_t ch = call.channel;
    const FaxChannel &c = g_channels[ch];
    if (!call.phase_b) {
        call.phase_b = true;
        call.phase_b_start = PlatTickCount();
    }
    BuildTsiId(call.csi + 2, c.local_id);
    BuildDis(call.dis + 2, c);
    FaxTrace("ReceiveClass1Fax: CSI %s, DIS %x %x %x", c.local_id, call.dis[2], call.dis[3], call.dis[4]);
    uint16_t code = TOLLAN_OK;
    if (!call.identify_direct) code = SendCmd("AT+FTH=3\r", ch);
    call.identify_direct = false;
    if (code == TOLLAN_OK) code = SendHdlc(call.csi, sizeof call.csi, ch);
    Word word = Word::kNone;
    if (code == TOLLAN_OK) word = AwaitWord(ch, FaxDeadlineIn(kResultWaitMs), &code);
    if (code == TOLLAN_OK && word == Word::kConnect) code = SendHdlc(call.dis, 2 + DisFieldLength(c), ch);
    if (code == TOLLAN_OK && word == Word::kConnect) word = AwaitWord(ch, FaxDeadlineIn(kResultWaitMs), &code);
    if (code != TOLLAN_OK) return Failed(call, code, -4);
    if (word != Word::kOk) return Failed(call, TOLLAN_E_ERROR, -3);
    call.last_response = kFcfDis;
    return {ReceivePhase::kWaitCommand, TOLLAN_OK};
}

// The page after the last one answered MCF or RTP; an RTN page keeps its
// number until the caller sends it again.
void AnswerPage(ReceiveCall &call) {
    call.replace_page = call.verdict == PageVerdict::kRtn;
    if (call.verdict == PageVerdict::kMcf || call.verdict == PageVerdict::kRtp) {
        *call.pages = call.page;
        ++call.page;
        call.trainings = 0;
    }
    if (g_settings.fax_info_option) {
        const int16_t number = call.verdict == PageVerdict::kRtn ? call.page : static_cast<int16_t>(call.page - 1);
        FaxWriteInfo(g_channels[call.channel], number, call.base_name);
    }
    memset(call.seen, 0, sizeof call.seen);
}

uint8_t VerdictFcf(PageVerdict verdict) {
    switch (verdict) {
    case PageVerdict::kMcf: return kFcfMcf;
    case PageVerdict::kRtp: return kFcfRtp;
    default: return kFcfRtn;
    }
}

// MPS, EOP or EOM after a page: the page's answer, then the next page, the
// end, or phase B again. A command repeated because our answer was lost
// gets the same answer again.
Step AnswerPostPage(ReceiveCall &call, Command command, uint8_t response = 0) {
    uint8_t fcf = call.last_response;
    if (call.verdict != PageVerdict::kNone) {
        fcf = response ? response : VerdictFcf(call.verdict);
        FaxTrace("ReceiveClass1Fax: page %d answered %s", call.page,
                 fcf == kFcfMcf ? "MCF" : fcf == kFcfRtp ? "RTP" : "RTN");
        if (fcf == kFcfRtn) FaxReportPageRejected(call.channel);
        AnswerPage(call);
        call.verdict = PageVerdict::kNone;
    } else if (call.page_lost || (fcf != kFcfMcf && fcf != kFcfRtp && fcf != kFcfRtn)) {
        // The caller sent a page we did not get whole: it must send it again.
        // (A command repeated because our answer was lost comes instead of
        // the page's carrier, and gets the same answer again.)
        FaxTrace("ReceiveClass1Fax: post-page command without a page");
        fcf = kFcfRtn;
    }
    call.page_lost = false;
    const uint16_t code = SendResponse(call, fcf);
    if (code != TOLLAN_OK) return Failed(call, code, -3);
    if (fcf == kFcfRtn || fcf == kFcfRtp) return Stay(call);  // the caller trains again with DCS
    if (command == kCmdMps) return {ReceivePhase::kPageData, TOLLAN_OK};
    if (command == kCmdEop) {
        call.eop_answered = true;
        return Stay(call);
    }
    if (++call.eom_rounds > kMaxEomRounds) return EndWithDcn(call, TOLLAN_E_RETRIES, 100);
    call.after_eom = true;
    call.phase_b = false;
    return {ReceivePhase::kIdentify, TOLLAN_OK};
}

Step AnswerDcs(ReceiveCall &call) {
    FaxChannel &c = g_channels[call.channel];
    const uint8_t *fif = call.frame + 2;
    const ReceiveRate *rate = DcsModulation(fif, call.frame_length - 2, c);
    if (!rate) {
        FaxTrace("ReceiveClass1Fax: DCS %x %x %x asks for what DIS did not offer", fif[0], fif[1], fif[2]);
        return EndWithDcn(call, TOLLAN_E_ERROR, 70);
    }
    if (call.page_cut || call.verdict != PageVerdict::kNone) {
        // The caller trains again instead of ending the page: it is sent again.
        call.verdict = PageVerdict::kNone;
        call.page_cut = false;
    }
    call.page_lost = false;
    call.rate = rate;
    call.mode = DcsLineMode(fif, call.frame_length - 2);
    call.ecm_page_open = false;
    call.fine = (fif[1] & kFineBit) != 0;
    FaxReportSession(call.channel, 2400 * (rate->bit_rate + 1), call.fine ? 196 : 98);
    FaxReportLineMode(call.channel, LineModeCompression(call.mode), call.mode.ecm);
    call.phase_b = false;
    call.after_eom = false;
    FaxTrace("ReceiveClass1Fax: DCS %s%s, %s, coding %d ecm %d", rate->v17 ? "V.17 " : "", rate->page,
             call.fine ? "fine" : "standard", static_cast<int>(call.mode.coding), call.mode.ecm);
    return {ReceivePhase::kTraining, TOLLAN_OK};
}

Step AnswerDcn(ReceiveCall &call) {
    FaxTrace("ReceiveClass1Fax: DCN");
    if (call.eop_answered) return {ReceivePhase::kHangUp, TOLLAN_OK};
    FaxTrace("ReceiveClass1Fax: DCN before the end of the document");
    g_channels[call.channel].reports.hangup_code = 100;
    return {ReceivePhase::kHangUp, TOLLAN_E_UNCONFIRMED};
}

// Error correction's commands and the page data in blocks (below).
Step AnswerEcmCommand(ReceiveCall &call, Command command);
Step AnswerCtc(ReceiveCall &call);
Step ReceiveBlock(ReceiveCall &call);

// One frame of the caller, acted on. Commands of a kind repeated past the
// limit since the last page answer end the call; DCS has the training limit.
// Error correction's commands belong to a session whose DCS agreed to it;
// before that they are passed over, and counted, as unknown frames.
bool EcmCommandOutOfPlace(const ReceiveCall &call, const CommandEntry *entry) {
    if (!entry) return false;
    const Command c = entry->command;
    const bool ecm = c == kCmdPps || c == kCmdEor || c == kCmdCtc || c == kCmdRr;
    return ecm && (call.rate == nullptr || call.mode.ecm == TOLLAN_ECM_OFF);
}

Step CommandSense(ReceiveCall &call) {
    const uint8_t fcf = call.frame[1];
    const CommandEntry *entry = FindCommand(fcf);
    const Command command = EcmCommandOutOfPlace(call, entry) ? kCmdUnknown : entry ? entry->command : kCmdUnknown;
    FaxTrace("CommandSense: %s (0x%x)", entry ? entry->name : "unknown", fcf);
    // DCS has the training limit; the ECM exchanges have limits of their own.
    const bool own_limit = command == kCmdDcs || command == kCmdPps || command == kCmdRr || command == kCmdCtc;
    if (!own_limit && ++call.seen[command] > kMaxCommandRepeats + 1) {
        FaxTrace("CommandSense: frame 0x%x repeated %d times", fcf, call.seen[command] - 1);
        return EndWithDcn(call, TOLLAN_E_RETRIES, 102);
    }
    switch (command) {
    case kCmdTsi:
        CopyFIF(call.frame + 2, call.channel);
        return Stay(call);
    case kCmdDcs: return AnswerDcs(call);
    case kCmdMps:
    case kCmdEop:
    case kCmdEom: return AnswerPostPage(call, command);
    case kCmdDcn: return AnswerDcn(call);
    case kCmdPps:
    case kCmdEor: return AnswerEcmCommand(call, command);
    case kCmdCtc: return AnswerCtc(call);
    case kCmdRr: {
        // Ready: our answer to the block went missing, or was RNR.
        const uint16_t code = SendResponse(call, call.last_response);
        return code == TOLLAN_OK ? Stay(call) : Failed(call, code, -3);
    }
    case kCmdCrp: {
        // The caller lost our last frame: it goes again.
        if (call.last_response == kFcfDis) return {ReceivePhase::kIdentify, TOLLAN_OK};
        const uint16_t code = SendResponse(call, call.last_response);
        return code == TOLLAN_OK ? Stay(call) : Failed(call, code, -3);
    }
    default: return Stay(call);
    }
}

// Nothing heard within the wait: in phase B DIS goes again until T1; after
// EOP the call is over; elsewhere a few silent waits end the call.
Step AnswerSilence(ReceiveCall &call) {
    if (call.eop_answered) return {ReceivePhase::kHangUp, TOLLAN_OK};
    if (call.phase_b) {
        if (PlatElapsed(call.phase_b_start) >= kT1Ms) {
            FaxTrace("ReceiveClass1Fax: T1 passed without DCS");
            return EndWithDcn(call, TOLLAN_E_TIMEOUT, call.after_eom ? 74 : 11);
        }
        return {ReceivePhase::kIdentify, TOLLAN_OK};
    }
    if (++call.silences > kMaxCommandRepeats) {
        FaxTrace("ReceiveClass1Fax: no command after %d waits", call.silences);
        return EndWithDcn(call, TOLLAN_E_UNCONFIRMED, call.page_cut ? 90 : 73);
    }
    return Stay(call);
}

// The caller's next frame: T4 after DIS, T2 otherwise. A frame whose check
// failed is asked for again with CRP.
Step AwaitCommand(ReceiveCall &call) {
    uint16_t failure = TOLLAN_OK;
    const uint32_t limit = call.phase_b && call.last_response == kFcfDis ? kT4Ms : kT2Ms;
    switch (ListenForFrame(call, limit, &failure)) {
    case Listened::kFrame: {
        call.silences = 0;
        return CommandSense(call);
    }
    case Listened::kBadFrame: {
        if (++call.seen[kCmdCrp] > kMaxCommandRepeats + 1) return EndWithDcn(call, TOLLAN_E_RETRIES, 72);
        FaxTrace("ReceiveClass1Fax: bad frame, CRP");
        const uint8_t keep = call.last_response;
        const uint16_t code = SendResponse(call, kFcfCrp);
        call.last_response = keep;
        return code == TOLLAN_OK ? Stay(call) : Failed(call, code, -3);
    }
    case Listened::kNothing: return AnswerSilence(call);
    case Listened::kFailed: break;
    }
    return Failed(call, failure, -4);
}

// The training check at the DCS rate, judged; CFR or FTT. A caller still
// sending frames (it missed our answer) is listened to again.
Step JudgeTraining(ReceiveCall &call) {
    const int32_t ch = call.channel;
    if (++call.trainings > kTrainingTriesPerRate * kBitRateCodes) {
        FaxTrace("ReceiveClass1Fax: %d training checks", call.trainings - 1);
        return EndWithDcn(call, TOLLAN_E_RETRIES, 70);
    }
    const Hearing h = AwaitCarrier(call.rate->training, kT2Ms, ch);
    if (h.what == Heard::kFailed) return Failed(call, h.code, -4);
    if (h.what != Heard::kConnect) return {ReceivePhase::kWaitCommand, TOLLAN_OK};
    const TrainingCheck check = ReadTrainingCheck(ch);
    const uint16_t code = check.code;
    if (FaxCallEnded(code) || (code != TOLLAN_OK && code != TOLLAN_E_TIMEOUT)) return Failed(call, code, -4);
    if (code == TOLLAN_OK) AwaitDataEnd(ch);
    else if (AbortReceive(ch) != TOLLAN_OK) return Failed(call, TOLLAN_E_ERROR, -4);
    const uint32_t needed = call.rate->training_bytes * kTrainingNumerator / kTrainingDenominator;
    const bool good = code == TOLLAN_OK && check.longest_zero_run >= needed;
    FaxTrace("ReceiveClass1Fax: training check %u bytes, %u zeros in a row, %u needed: %s", check.bytes,
             check.longest_zero_run, needed, good ? "CFR" : "FTT");
    const uint16_t sent = SendResponse(call, good ? kFcfCfr : kFcfFtt);
    if (sent != TOLLAN_OK) return Failed(call, sent, -3);
    return {good ? ReceivePhase::kPageData : ReceivePhase::kWaitCommand, TOLLAN_OK};
}

// A page file being written, closed on every path.
struct PageFile {
    FILE *file = nullptr;
    ~PageFile() {
        if (file) fclose(file);
    }
};

// Opens the page's file afresh; a page answered RTN and sent again replaces
// the one kept. 0, 116, 154.
uint16_t OpenPageFile(ReceiveCall &call, char (&path)[kFaxPathSize], PageFile &page) {
    if (!FaxPageFileName(path, call.base_name, call.page, ".g3")) return TOLLAN_E_PAGE_CREATE;
    if (call.replace_page) {
        call.replace_page = false;
        unlink(path);
        char info[kFaxPathSize];
        if (FaxPageFileName(info, call.base_name, call.page, ".ffi")) unlink(info);
    }
    int fd = -1;
    const uint16_t code = FaxCreateReceivedFile(path, &fd);
    if (code != TOLLAN_OK) return code;
    page.file = fdopen(fd, "wb");
    if (!page.file) {
        RecordLastError();
        close(fd);
        return TOLLAN_E_PAGE_CREATE;
    }
    return TOLLAN_OK;
}

// A page at the DCS rate into its file as it arrives, then judged. A caller
// still sending frames (it missed CFR) is listened to.
Step ReceivePage(ReceiveCall &call) {
    const int32_t ch = call.channel;
    FaxChannel &c = g_channels[ch];
    if (call.page > PageCountLimit(c)) {
        FaxTrace("ReceiveClass1Fax: the call passed its limit of %d pages", PageCountLimit(c));
        return EndWithDcn(call, TOLLAN_E_TOO_MANY_PAGES, 100);
    }
    if (call.mode.ecm != TOLLAN_ECM_OFF) return ReceiveBlock(call);
    const Hearing h = AwaitCarrier(call.rate->page, kT2Ms, ch);
    if (h.what == Heard::kFailed) return Failed(call, h.code, -4);
    if (h.what != Heard::kConnect) {
        // Frames instead of the page: the caller repeats its command. Nothing
        // at all: the page was sent and lost.
        call.page_lost = h.what != Heard::kOtherCarrier;
        FaxTrace("ReceiveClass1Fax: no page carrier");
        return {ReceivePhase::kWaitCommand, TOLLAN_OK};
    }
    char path[kFaxPathSize];
    PageFile page;
    uint16_t code = OpenPageFile(call, path, page);
    if (code != TOLLAN_OK) {
        AbortReceive(ch);
        return EndWithDcn(call, code, 90);
    }
    FaxReportPageStart(ch, call.page, 0);
    const int64_t limit = PageByteLimit(c);
    int64_t count = 0;
    code = ReadPageData(ch, page.file, limit, &count);
    FILE *file = page.file;
    page.file = nullptr;
    if (fclose(file) != 0 && code == TOLLAN_OK) code = TOLLAN_E_DISK;
    if (code == TOLLAN_E_DISK) {
        RecordLastError();
        FaxTrace("ReceiveClass1Fax: %s could not be written (errno %d); removed", path, g_last_error);
        unlink(path);
    }
    FaxTrace("ReceiveClass1Fax: page %d, %lld bytes", call.page, static_cast<long long>(count));
    if (code == TOLLAN_E_PAGE_TOO_LARGE) FaxTrace("ReceiveClass1Fax: the page passed its limit of %lld bytes",
                                                  static_cast<long long>(limit));
    if (code != TOLLAN_OK) {
        if (FaxCallEnded(code)) return Failed(call, code, -4);
        if (code == TOLLAN_E_TIMEOUT) {
            call.page_cut = true;
            call.page_lost = true;
            call.replace_page = true;
            AbortReceive(ch);
            return {ReceivePhase::kWaitCommand, TOLLAN_OK};
        }
        AbortReceive(ch);
        return EndWithDcn(call, code, code == TOLLAN_E_PAGE_TOO_LARGE ? 93 : 90);
    }
    AwaitDataEnd(ch);
    if (call.mode.coding != kCodingMh) {
        code = RecodeFileAsMh(path, call.mode.coding, limit);
        if (code != TOLLAN_OK) return EndWithDcn(call, code, 90);
    }
    const PageQuality q = CheckQuality(path);
    c.reports.lines_received = q.lines;
    c.reports.lines_bad = q.bad_lines;
    c.reports.lines_bad_run = q.longest_bad_run;
    FaxReportPageEnd(ch, static_cast<uint32_t>(count), static_cast<uint32_t>(q.lines), static_cast<uint32_t>(q.bad_lines));
    call.verdict = JudgeQuality(q);
    call.page_cut = false;
    call.page_lost = false;
    FaxTrace("ReceiveClass1Fax: page %d: %d lines, %d bad, %d bad in a row, %s", call.page, q.lines, q.bad_lines,
             q.longest_bad_run, q.rtc_found ? "RTC found" : "no RTC");
    return {ReceivePhase::kWaitCommand, TOLLAN_OK};
}

// ---- error correction ----

// A block's data at the DCS rate; its frames are kept, the PPS that follows
// says what to answer. The page's first block starts the page.
Step ReceiveBlock(ReceiveCall &call) {
    const int32_t ch = call.channel;
    FaxChannel &c = g_channels[ch];
    if (call.page > PageCountLimit(c)) return EndWithDcn(call, TOLLAN_E_TOO_MANY_PAGES, 100);
    const Hearing h = AwaitCarrier(call.rate->page, kT2Ms, ch);
    if (h.what == Heard::kFailed) return Failed(call, h.code, -4);
    if (h.what != Heard::kConnect) {
        FaxTrace("ReceiveClass1Fax: no block carrier");
        return {ReceivePhase::kWaitCommand, TOLLAN_OK};
    }
    if (!call.ecm_page_open) {
        StartEcmReceivePage(call.ecm, call.mode);
        call.ecm.limit = static_cast<size_t>(PageByteLimit(c));
        call.ecm_page_open = true;
        call.pprs = 0;
        FaxReportPageStart(ch, call.page, 0);
    }
    const uint16_t code = ReadEcmBlock(ch, call.ecm);
    if (FaxCallEnded(code)) return Failed(call, code, -4);
    if (code == TOLLAN_E_PAGE_TOO_LARGE || code == TOLLAN_E_DISK) {
        FaxTrace("ReceiveClass1Fax: a block longer than any block can be");
        AbortReceive(ch);
        return EndWithDcn(call, TOLLAN_E_PAGE_TOO_LARGE, 93);
    }
    if (code == TOLLAN_OK) AwaitDataEnd(ch);
    else AbortReceive(ch);
    if (call.ecm.overflow) return EndWithDcn(call, TOLLAN_E_PAGE_TOO_LARGE, 93);
    return {ReceivePhase::kWaitCommand, TOLLAN_OK};
}

// The page's blocks decoded, stored as MH in the page's file and judged.
uint16_t StoreEcmPage(ReceiveCall &call) {
    FaxChannel &c = g_channels[call.channel];
    std::vector<uint8_t> mh;
    const LineDecode decoded = EcmPageAsMh(call.ecm, &mh);
    call.ecm_page_open = false;
    char path[kFaxPathSize];
    PageFile page;
    uint16_t code = OpenPageFile(call, path, page);
    if (code != TOLLAN_OK) return code;
    if (decoded.code == TOLLAN_OK && fwrite(mh.data(), 1, mh.size(), page.file) != mh.size()) code = TOLLAN_E_DISK;
    FILE *file = page.file;
    page.file = nullptr;
    if (fclose(file) != 0 && code == TOLLAN_OK) code = TOLLAN_E_DISK;
    if (code != TOLLAN_OK) {
        unlink(path);
        return code;
    }
    const PageQuality q = CheckQuality(path);
    c.reports.lines_received = q.lines;
    c.reports.lines_bad = q.bad_lines;
    c.reports.lines_bad_run = q.longest_bad_run;
    FaxReportPageEnd(call.channel, static_cast<uint32_t>(call.ecm.block_start), static_cast<uint32_t>(q.lines),
                     static_cast<uint32_t>(q.bad_lines));
    call.verdict = JudgeQuality(q);
    FaxTrace("ReceiveClass1Fax: page %d by ECM: %u bytes, %d rows, %d bad", call.page,
             static_cast<unsigned>(call.ecm.block_start), q.lines, q.bad_lines);
    return TOLLAN_OK;
}

Command PostPageCommand(uint8_t post_page) {
    switch (post_page & 0xFE) {
    case kFcfMps & 0xFE: return kCmdMps;
    case kFcfEom & 0xFE: return kCmdEom;
    case kFcfEop & 0xFE: return kCmdEop;
    default: return kCmdNone;
    }
}

// PPR with the frames of the block still missing.
uint16_t SendPpr(ReceiveCall &call, const EcmMap &missing) {
    call.last_response = kFcfPpr;
    FaxTrace("ReceiveClass1Fax: PPR for %d frames", EcmMapCount(missing));
    uint16_t code = SendCmd("AT+FRS=8\r", call.channel);
    if (code != TOLLAN_OK) return code;
    uint8_t frame[2 + kEcmMapBytes] = {kControlFinal, kFcfPpr};
    memcpy(frame + 2, missing.data(), kEcmMapBytes);
    return SendFrame(frame, sizeof frame, call.channel);
}

// PPS: MCF once every frame of the block is in (and after the page's last
// block, the page's answer), else PPR naming the missing frames. EOR: the
// block is given up, ERR. A PPS answered before comes again when our answer
// was lost: the same answer.
Step AnswerEcmCommand(ReceiveCall &call, Command command) {
    PpsFields pps{};
    const bool eor = command == kCmdEor;
    if (eor) {
        if (call.frame_length < 3 || (call.frame[2] != kPostPageNull && PostPageCommand(call.frame[2]) == kCmdNone))
            return Stay(call);
        pps = {static_cast<uint8_t>(call.frame[2] & 0xFE), 0, 0, call.ecm_frames};
    } else if (!ParsePps(call.frame, call.frame_length, &pps)) {
        FaxTrace("ReceiveClass1Fax: PPS unreadable");
        return Stay(call);
    } else {
        const uint8_t id[3] = {pps.page, pps.block, pps.post_page};
        if (call.ecm_any_answered && memcmp(id, call.ecm_answered, sizeof id) == 0 && !call.ecm_page_open) {
            const uint16_t code = SendResponse(call, call.last_response);
            return code == TOLLAN_OK ? Stay(call) : Failed(call, code, -3);
        }
        memcpy(call.ecm_answered, id, sizeof id);
        call.ecm_any_answered = true;
    }
    if (!call.ecm_page_open) return EndWithDcn(call, TOLLAN_E_ERROR, 90);
    // After PPR some senders count only the frames they sent again: the
    // block keeps the size its first PPS gave.
    if (call.pprs > 0 && call.ecm_frames > pps.frames) pps.frames = call.ecm_frames;
    call.ecm_frames = pps.frames;
    const EcmMap missing = MissingFrames(call.ecm, pps.frames);
    const int count = EcmMapCount(missing);
    FaxTrace("ReceiveClass1Fax: %s page %d block %d, %d frames, %d missing", eor ? "EOR" : "PPS", pps.page, pps.block,
             pps.frames, count);
    if (count > 0 && !eor) {
        if (++call.pprs > kMaxPprsPerBlock) return EndWithDcn(call, TOLLAN_E_RETRIES, 95);
        call.ecm_any_answered = false;  // the PPS comes again after the frames
        const uint16_t code = SendPpr(call, missing);
        if (code != TOLLAN_OK) return Failed(call, code, -3);
        return {ReceivePhase::kPageData, TOLLAN_OK};
    }
    EndEcmBlock(call.ecm, pps.frames);
    call.pprs = 0;
    const uint8_t response = eor ? kFcfErr : kFcfMcf;
    const Command post_page = PostPageCommand(pps.post_page);
    if (post_page == kCmdNone) {
        const uint16_t code = SendResponse(call, response);
        if (code != TOLLAN_OK) return Failed(call, code, -3);
        return {ReceivePhase::kPageData, TOLLAN_OK};
    }
    const uint16_t code = StoreEcmPage(call);
    if (code != TOLLAN_OK) return EndWithDcn(call, code, 90);
    return AnswerPostPage(call, post_page, call.verdict == PageVerdict::kRtn ? 0 : response);
}

// CTC: the blocks go on at the rate it names; CTR.
Step AnswerCtc(ReceiveCall &call) {
    if (call.frame_length >= 4) {
        uint8_t dcs[4] = {call.frame[2], call.frame[3], call.dis[4], 0};
        const ReceiveRate *rate = DcsModulation(dcs, 3, g_channels[call.channel]);
        if (rate) call.rate = rate;
    }
    call.pprs = 0;
    const uint16_t code = SendResponse(call, kFcfCtr);
    return code == TOLLAN_OK ? Step{ReceivePhase::kPageData, TOLLAN_OK} : Failed(call, code, -3);
}

Step Disconnect(ReceiveCall &call) {
    if (SendResponse(call, kFcfDcnCalled) != TOLLAN_OK) FaxTrace("ReceiveClass1Fax: DCN not sent, hanging up");
    return {ReceivePhase::kHangUp, call.code};
}

Step HangUp(const ReceiveCall &call) {
    if (FaxModemCommand("ATH0\r\n", call.channel) != TOLLAN_OK) {
        FaxTrace("ReceiveClass1Fax: ath0 fail");
        if (call.code == TOLLAN_OK) return {ReceivePhase::kDone, TOLLAN_E_ERROR};
    }
    return {ReceivePhase::kDone, call.code};
}

Step RunPhase(ReceiveCall &call) {
    const uint16_t ended = FaxCallCheck(call.channel);
    if (ended != TOLLAN_OK && call.phase != ReceivePhase::kHangUp && call.phase != ReceivePhase::kDone)
        return Failed(call, ended, -4);
    switch (call.phase) {
    case ReceivePhase::kAnswer: return Answer(call);
    case ReceivePhase::kIdentify: return Identify(call);
    case ReceivePhase::kWaitCommand: return AwaitCommand(call);
    case ReceivePhase::kTraining: return JudgeTraining(call);
    case ReceivePhase::kPageData: return ReceivePage(call);
    case ReceivePhase::kDisconnect: return Disconnect(call);
    case ReceivePhase::kHangUp: return HangUp(call);
    case ReceivePhase::kDone: break;
    }
    return {ReceivePhase::kDone, call.code};
}

const char *PhaseName(ReceivePhase phase) { return kPhaseNames[static_cast<size_t>(phase)]; }

// Every change of phase goes through here, and is traced.
void ChangePhase(ReceiveCall &call, const Step &step) {
    if (step.next != call.phase)
        FaxTrace("ChangePhase: %s -> %s", PhaseName(call.phase), PhaseName(step.next));
    const int32_t reported = kReportPhases[static_cast<size_t>(step.next)];
    if (reported >= 0) FaxReportPhase(call.channel, reported, step.code);
    call.phase = step.next;
    call.code = step.code;
}

uint16_t RunReceiveCall(ReceiveCall &call) {
    while (call.phase != ReceivePhase::kDone) ChangePhase(call, RunPhase(call));
    return call.code;
}

ReceiveCall NewReceiveCall(int32_t channel, const char *base_name, int16_t *pages) {
    ReceiveCall call{};
    call.channel = channel;
    call.base_name = base_name;
    call.pages = pages;
    call.phase = ReceivePhase::kAnswer;
    call.identify_direct = true;
    call.page = 1;
    call.csi[0] = kControlNotFinal;
    call.csi[1] = kFcfCsi;
    call.dis[0] = kControlFinal;
    call.dis[1] = kFcfDis;
    return call;
}

// Before the call is answered: the first page's files can be made and none
// of them exists.
uint16_t CheckInbox(const char *base_name) {
    uint16_t code = FaxProbePageFile(base_name, 1, ".g3");
    if (code == TOLLAN_OK && g_settings.fax_info_option) code = FaxProbePageFile(base_name, 1, ".ffi");
    if (code != TOLLAN_OK) FaxTrace("ReceiveClass1Fax: the call is not answered: page files of %s cannot be made", base_name);
    return code;
}

}  // namespace

void BuildDis(uint8_t *dis_fif, const FaxChannel &c) {
    const int rate = ValidRate(c.bit_rate) ? c.bit_rate : kBitRateCodes - 1;
    dis_fif[0] = 0x00;
    dis_fif[1] = static_cast<uint8_t>(kReceiverBit | kDisRates[static_cast<size_t>(rate)] |
                                      (c.resolution == 0 ? kFineBit : 0));
    dis_fif[2] = kUnlimitedLength;
    SetScanBits(dis_fif, ScanExponent(c.scan_time));
    const int32_t codings = OfferedCodings(c);
    if (codings & TOLLAN_COMPRESS_MR) dis_fif[1] |= kTwoDimBit;
    if (c.error_correction == TOLLAN_ECM_OFF) return;
    dis_fif[2] |= kExtendBit;
    dis_fif[3] = static_cast<uint8_t>(kEcmBit | ((codings & TOLLAN_COMPRESS_MMR) ? kMmrBit : 0));
}

size_t DisFieldLength(const FaxChannel &c) { return c.error_correction == TOLLAN_ECM_OFF ? 3 : 4; }

const ReceiveRate *DcsModulation(const uint8_t *dcs_fif, size_t length, const FaxChannel &c) {
    if (length < 3) return nullptr;
    const int16_t top = ValidRate(c.bit_rate) ? c.bit_rate : kBitRateCodes - 1;
    const ReceiveRate *rate = nullptr;
    for (const ReceiveRate &r : kReceiveRates)
        if (r.dcs_bits == (dcs_fif[1] & kRateMask)) rate = &r;
    if (!rate || rate->bit_rate > top || (rate->v17 && top < kFirstV17Rate)) return nullptr;
    if ((dcs_fif[1] & kFineBit) && c.resolution != 0) return nullptr;
    const int32_t codings = OfferedCodings(c);
    if ((dcs_fif[1] & kTwoDimBit) && !(codings & TOLLAN_COMPRESS_MR)) return nullptr;
    if (dcs_fif[2] & kWidthMask) return nullptr;
    if ((dcs_fif[2] & kExtendBit) && length >= 4) {
        const uint8_t fourth = dcs_fif[3];
        const bool ecm = (fourth & kEcmBit) != 0;
        if (fourth & kUncompressedBit) return nullptr;
        if (ecm && c.error_correction == TOLLAN_ECM_OFF) return nullptr;
        if ((fourth & kMmrBit) && !(ecm && (codings & TOLLAN_COMPRESS_MMR))) return nullptr;
    }
    return rate;
}

static uint16_t ReceiveClass1FaxCall(int32_t channel, const char *base_name, int16_t *pages) {
    const uint16_t refused = FaxCheckReceiveArguments(channel, base_name, pages);
    if (refused != TOLLAN_OK) return refused;
    FaxChannel &c = g_channels[channel];
    if (c.modem_class != TOLLAN_CLASS_1) return TOLLAN_E_CLASS;
    *pages = 0;
    c.ring_length = 0;  // the call takes the line
    uint16_t code = CheckInbox(base_name);
    if (code != TOLLAN_OK) return code;

    c.reports.remote_id[0] = '\0';
    c.reports.hangup_code = 0;
    c.reports.lines_received = 0;
    c.reports.lines_bad = 0;
    c.io_timeout = kSetupTimeout;
    if (FaxModemCommand("AT+FCLASS=1\r\n", channel) != TOLLAN_OK) {
        FaxTrace("ReceiveClass1Fax: failed to set class 1");
        return TOLLAN_E_CLASS;
    }
    // Adaptive reception lets the modem tell V.21 from page carriers itself;
    // a modem without it still works, with "+FCERROR" asked again.
    if (FaxModemCommand("AT+FAR=1\r\n", channel) != TOLLAN_OK) FaxTrace("ReceiveClass1Fax: no adaptive reception");
    c.io_timeout = kCallTimeout;

    ReceiveCall call = NewReceiveCall(channel, base_name, pages);
    FaxReportPhase(channel, TOLLAN_PHASE_DIAL);
    code = FaxCallOutcome(channel, RunReceiveCall(call));
    // DCN once the modem answered (Answer noted it), then the hang-up.
    code = FaxEndCall(channel, {false, nullptr, kFcfDcnCalled}, code);
    c.io_timeout = kSetupTimeout;
    return code;
}

uint16_t ReceiveClass1Fax(int32_t channel, const char *base_name, int16_t *pages) {
    FaxReportBegin(channel, TOLLAN_CALL_RECEIVE_CLASS1, 0);
    return FaxReportEnd(channel, ReceiveClass1FaxCall(channel, base_name, pages), pages);
}
