// The calling side of T.30 over a class 1 modem: dial, then run the call
// through its phases (waiting for DIS, training, waiting for CFR, sending a
// page, waiting for the post-page response, disconnecting, hanging up). The
// called station's frames drive it: each is answered by FrameSense, which
// names the next phase; the repeats a hostile station could draw out are
// counted and bounded.
#include <array>
#include <cstdio>
#include <cstring>

#include "class1/class1.h"
#include "class2/class2.h"
#include "engine/channel.h"
#include "engine/call_limits.h"
#include "engine/call_report.h"
#include "engine/trace.h"
#include "image/page_header.h"
#include "modem/call_end.h"
#include "modem/modem_io.h"
#include "modem/response.h"

namespace {

constexpr uint32_t kSetupTimeout = kSetUpTimeoutMs;  // ms per byte while the modem is set up
constexpr uint32_t kCallTimeout = kCallTimeoutMs;   // ms per byte once dialling starts
constexpr size_t kMaxPhoneLength = kMaxDialNumberLength;
constexpr size_t kNsfIdentityOffset = 8;   // where an NSF carries the identity

// The DCS before a call sets its resolution, scan time and rate bits: final,
// DCS with the X bit, then the information field.
constexpr std::array<uint8_t, kDcsFrameSize> kDcsTemplate = {kControlFinal, kFcfDcs, 0x00, 0x46, 0x88, 0x00};

// Names of the phases in the trace, in SendPhase order.
constexpr std::array<const char *, 9> kPhaseNames = {
    "waiting for DIS",
    "training",
    "waiting for CFR",
    "sending a page",
    "waiting for the post-page response",
    "disconnecting",
    "hanging up",
    "done",
    "sending a block",
};

// The call report's phase of each phase, in SendPhase order; -1 leaves it
// (a page's start reports itself).
constexpr std::array<int32_t, 9> kReportPhases = {
    TOLLAN_PHASE_NEGOTIATION, TOLLAN_PHASE_TRAINING, TOLLAN_PHASE_TRAINING, -1,
    TOLLAN_PHASE_POST_PAGE,   TOLLAN_PHASE_RELEASE,  TOLLAN_PHASE_RELEASE,  -1,
    TOLLAN_PHASE_PAGE,
};
static_assert(kReportPhases.size() == kPhaseNames.size() &&
                  kPhaseNames.size() == static_cast<size_t>(SendPhase::kSendBlock) + 1,
              "one name and one report phase for every phase");

Step Stay(const SendCall &call) { return {call.phase, TOLLAN_OK}; }

// How a failed step ends the call: the host's abort and the call time end
// it at once (SendClass1Fax then sends DCN and hangs up, briefly), a page
// file that cannot be sent is a local failure the called station is told of
// with DCN, and a failed modem exchange ends it at once.
Step Failed(uint16_t code) {
    if (FaxCallEnded(code)) return {SendPhase::kDone, code};
    if (code == TOLLAN_E_NO_PAGE_FILE || code == TOLLAN_E_FILE_NAME) return {SendPhase::kDisconnect, code};
    return {SendPhase::kDone, code};
}

// A frame answered with MCF; the call waits where it was.
Step ConfirmWithMcf(const SendCall &call) {
    const uint16_t code = SendMCF(call.channel);
    return code == TOLLAN_OK ? Stay(call) : Failed(code);
}

// A new training at the current rate, announced with TSI and DCS or not.
Step TrainAgain(SendCall &call, bool announce_rate) {
    call.announce_rate = announce_rate;
    return {SendPhase::kTraining, TOLLAN_OK};
}

Step AnswerDis(const uint8_t *fif, SendCall &call) {
    FaxChannel &c = g_channels[call.channel];
    FaxTrace("FramsSense: DIS");
    c.bit_rate = AdjustBitRate(fif, c.bit_rate);
    call.offer = ReadDisOffer(fif);
    call.dis_seen = true;
    call.dis_rate = c.bit_rate;
    call.page_pending = false;  // the station starts over: a page it did not answer is not confirmed
    call.ecm.pps_pending = false;  // and a block it did not answer goes again with its page
    call.training_tries = 0;
    return TrainAgain(call, true);
}

// FTT: the training check failed. A few tries at a rate, then the next
// lower rate, announced with a new DCS; below the lowest the call ends.
Step AnswerFtt(SendCall &call) {
    FaxChannel &c = g_channels[call.channel];
    FaxTrace("FrameSense: FTT");
    FaxReportRetrain(call.channel);
    if (call.training_tries < kTrainingTriesPerRate) return TrainAgain(call, false);
    if (c.bit_rate <= 0) {
        FaxTrace("FrameSense: training failed at every bit rate");
        return {SendPhase::kDisconnect, TOLLAN_E_RETRIES};
    }
    --c.bit_rate;
    FaxTrace("FrameSense: %d training checks failed, bit rate %d next", call.training_tries, c.bit_rate);
    call.training_tries = 0;
    return TrainAgain(call, true);
}

// The page whose post-page frame went out is confirmed: it counts, and the
// repeat count starts again.
void ConfirmPage(SendCall &call) {
    if (!call.page_pending) return;
    ++call.pages_confirmed;
    g_channels[call.channel].pages_sent = call.pages_confirmed;
    call.page_pending = false;
    memset(call.seen, 0, sizeof call.seen);
    FaxTrace("FrameSense: page %d confirmed", call.pages_confirmed);
}

bool AllPagesConfirmed(const SendCall &call) { return call.pages_confirmed >= call.pages_total; }

// The next page, or DCN once every page is confirmed.
Step NextPageOrEnd(const SendCall &call) {
    if (AllPagesConfirmed(call)) return {SendPhase::kDisconnect, TOLLAN_OK};
    return {SendPhase::kSendPage, TOLLAN_OK};
}

// A block confirmed (MCF, or ERR after EOR): the page's next block, or
// the page confirmed after its last.
Step BlockDone(SendCall &call) {
    call.ecm.pps_pending = false;
    if (NextEcmBlock(call)) {
        call.seen[kKindMcf] = 0;  // one MCF a block
        return {SendPhase::kSendBlock, TOLLAN_OK};
    }
    ConfirmPage(call);
    return NextPageOrEnd(call);
}

Step AnswerMcf(SendCall &call) {
    FaxTrace("FrameSense: MCF PagesSent=%d Pages=%d", call.pages_confirmed, call.pages_total);
    if (call.ecm.pps_pending) return BlockDone(call);
    ConfirmPage(call);
    return NextPageOrEnd(call);
}

// RTP after a page: the page is good and the station asks for a new
// training before the next. Without a page waiting for it, it is confirmed
// like the station's other commands.
Step AnswerRtp(SendCall &call) {
    FaxTrace("FrameSense: RTP PagesSent=%d Pages=%d", call.pages_confirmed, call.pages_total);
    if (!call.page_pending) return ConfirmWithMcf(call);
    ConfirmPage(call);
    if (AllPagesConfirmed(call)) return NextPageOrEnd(call);
    call.training_tries = 0;
    return TrainAgain(call, true);
}

// EOM: confirmed, and the call starts over at DIS, whose frame the modem
// delivers without a new receive command. The rounds of a call are bounded.
Step AnswerEom(SendCall &call) {
    FaxTrace("FrameSense: EOM");
    if (++call.eom_rounds > kMaxEomRounds) {
        FaxTrace("FrameSense: more than %d EOM rounds", kMaxEomRounds);
        return {SendPhase::kDisconnect, TOLLAN_E_RETRIES};
    }
    const uint16_t code = SendMCF(call.channel);
    if (code != TOLLAN_OK) return Failed(code);
    // Whatever the modem says to this, the next frame is read: it comes, or
    // reading it fails and says why.
    SendCmd("AT+FTH=3\r", call.channel);
    FaxTrace("-------------");
    call.read = FrameRead::kTake;
    return {SendPhase::kWaitDis, TOLLAN_OK};
}

// PPR: the frames it names go again. After the fourth PPR for the block
// the call goes on (CTC, one rate lower) once, and gives the block up
// (EOR) the next time.
Step AnswerPpr(SendCall &call) {
    EcmSend &ecm = call.ecm;
    EcmMap map{};
    ParsePpr(call.frame, sizeof call.frame, ecm.frames, &map);
    FaxTrace("FrameSense: PPR for block %d: %d of %d frames", ecm.block, EcmMapCount(map), ecm.frames);
    ecm.to_send = map;
    if (++ecm.pprs < kEcmPprsBeforeCtc) return {SendPhase::kSendBlock, TOLLAN_OK};
    ecm.pprs = 0;
    const uint16_t code = ecm.ctcs++ < kEcmCtcsPerBlock ? SendCtc(call) : SendEor(call);
    return code == TOLLAN_OK ? Stay(call) : Failed(code);
}

// RNR: the station is busy with the block; RR asks again, a bounded number of times.
Step AnswerRnr(SendCall &call) {
    if (++call.ecm.rr_polls > kEcmMaxRrPolls) {
        FaxTrace("FrameSense: station not ready after %d polls", kEcmMaxRrPolls);
        return {SendPhase::kDisconnect, TOLLAN_E_RETRIES};
    }
    const uint16_t code = SendRr(call);
    return code == TOLLAN_OK ? Stay(call) : Failed(code);
}

// The answers that only mean something while a block waits for its answer.
bool EcmAnswer(FrameKind kind) { return kind == kKindPpr || kind == kKindCtr || kind == kKindErr || kind == kKindRnr; }

Step AnswerEcm(FrameKind kind, SendCall &call) {
    switch (kind) {
    case kKindPpr: return call.ecm.eor_sent ? Stay(call) : AnswerPpr(call);
    case kKindCtr: FaxTrace("FrameSense: CTR"); return {SendPhase::kSendBlock, TOLLAN_OK};
    case kKindErr:
        FaxTrace("FrameSense: ERR, block %d stays incomplete", call.ecm.block);
        return call.ecm.eor_sent ? BlockDone(call) : Stay(call);
    default: return AnswerRnr(call);
    }
}

Step AnswerDcn(const SendCall &call) {
    FaxTrace("FrameSense: DCN");
    if (AllPagesConfirmed(call)) return {SendPhase::kHangUp, TOLLAN_OK};
    FaxTrace("FrameSense: DCN with %d of %d pages confirmed", call.pages_confirmed, call.pages_total);
    return {SendPhase::kHangUp, TOLLAN_E_UNCONFIRMED};
}

// ---- the phases' actions ----

// The station's next frame, answered by FrameSense.
Step AwaitFrame(SendCall &call) {
    const FrameRead read = call.read;
    call.read = FrameRead::kAsk;
    uint16_t code = TOLLAN_OK;
    if (read == FrameRead::kFirst) {
        code = TakeFrame(call.frame, sizeof call.frame, call.channel, TOLLAN_E_FIRST_FRAME);
    } else {
        code = FaxCallCheck(call.channel);
        if (code == TOLLAN_OK)
            code = read == FrameRead::kAsk ? RecvFrame(call.frame, sizeof call.frame, call.channel)
                                           : TakeFrame(call.frame, sizeof call.frame, call.channel, TOLLAN_OK);
        if (read == FrameRead::kTake) FaxTrace("**************");
    }
    return code == TOLLAN_OK ? FrameSense(call.frame, call) : Failed(code);
}

// TSI and DCS when the rate is new to the station, then the training check.
Step Train(SendCall &call) {
    if (call.announce_rate) {
        const uint16_t code = SendTsiDcs(call);
        if (code != TOLLAN_OK) return Failed(code);
        call.announce_rate = false;
    }
    ++call.training_tries;
    const FaxChannel &c = g_channels[call.channel];
    FaxReportSession(call.channel, 2400 * (c.bit_rate + 1), c.resolution == 0 ? 196 : 98);
    FaxReportLineMode(call.channel, LineModeCompression(call.mode), call.mode.ecm);
    const uint16_t code = SendTCF(call.channel);
    return code == TOLLAN_OK ? Step{SendPhase::kWaitCfr, TOLLAN_OK} : Failed(code);
}

// With error correction the page is coded and cut into blocks first.
Step SendEcmPage(SendCall &call) {
    const uint16_t code = BeginEcmPage(call);
    return code == TOLLAN_OK ? Step{SendPhase::kSendBlock, TOLLAN_OK} : Failed(code);
}

Step SendBlock(SendCall &call) {
    const uint16_t code = SendEcmBlock(call);
    return code == TOLLAN_OK ? Step{SendPhase::kWaitPostPage, TOLLAN_OK} : Failed(code);
}

// MPS while pages follow, EOP after the last: one document a call, so the
// sender has no use for EOM.
uint16_t SendPostPage(const SendCall &call) {
    FaxTrace("SendFaxFile: sending eop %d %d", call.pages_confirmed, call.pages_total);
    const bool more_pages = call.pages_confirmed < call.pages_total - 1;
    return more_pages ? SendMPS(call.channel) : SendEOP(call.channel);
}

// The page after the confirmed ones and its post-page frame; it counts only
// once the station confirms it.
Step SendPage(SendCall &call) {
    if (call.mode.ecm != TOLLAN_ECM_OFF) return SendEcmPage(call);
    const PageRef page{call.document, static_cast<int16_t>(call.pages_confirmed + 1), call.pages_total};
    uint16_t code = call.mode.coding == kCodingMh ? SendFaxFile(page, call.channel)
                                                  : SendCodedPage(page, call.channel, call.mode.coding);
    if (code == TOLLAN_OK) code = SendPostPage(call);
    if (code != TOLLAN_OK) return Failed(code);
    call.page_pending = true;
    return {SendPhase::kWaitPostPage, TOLLAN_OK};
}

Step Disconnect(const SendCall &call) {
    // The call ends with its own code whatever becomes of DCN.
    if (SendDCN(call.channel) != TOLLAN_OK) FaxTrace("SendClass1Fax: DCN not confirmed, hanging up all the same");
    return {SendPhase::kHangUp, call.code};
}

Step HangUp(const SendCall &call) {
    if (FaxModemCommand("ATH0\r\n", call.channel) != TOLLAN_OK) {
        FaxTrace("SendClass1Fax: ath0 fail");
        if (call.code == TOLLAN_OK) return {SendPhase::kDone, TOLLAN_E_ERROR};
    }
    return {SendPhase::kDone, call.code};
}

Step RunPhase(SendCall &call) {
    switch (call.phase) {
    case SendPhase::kWaitDis:
    case SendPhase::kWaitCfr:
    case SendPhase::kWaitPostPage: return AwaitFrame(call);
    case SendPhase::kTraining: return Train(call);
    case SendPhase::kSendPage: return SendPage(call);
    case SendPhase::kSendBlock: return SendBlock(call);
    case SendPhase::kDisconnect: return Disconnect(call);
    case SendPhase::kHangUp: return HangUp(call);
    case SendPhase::kDone: break;
    }
    return {SendPhase::kDone, call.code};
}

// Every change of phase goes through here, and is traced.
void ChangePhase(SendCall &call, const Step &step) {
    if (step.next != call.phase) FaxTrace("ChangePhase: %s -> %s", PhaseName(call.phase), PhaseName(step.next));
    const int32_t reported = kReportPhases[static_cast<size_t>(step.next)];
    if (reported >= 0) FaxReportPhase(call.channel, reported, step.code);
    call.phase = step.next;
    call.code = step.code;
}

// Runs the call from its first frame to its end. The channel keeps the rate
// the called station's DIS allowed, not a lower one a bad line forced.
uint16_t RunSendCall(SendCall &call) {
    while (call.phase != SendPhase::kDone) ChangePhase(call, RunPhase(call));
    if (call.dis_seen) g_channels[call.channel].bit_rate = call.dis_rate;
    return call.code;
}

}  // namespace

const char *PhaseName(SendPhase phase) { return kPhaseNames[static_cast<size_t>(phase)]; }

SendCall NewSendCall(int32_t channel, const char *document, int16_t pages) {
    SendCall call{};
    call.channel = channel;
    call.document = document;
    call.pages_total = pages;
    call.phase = SendPhase::kWaitDis;
    call.read = FrameRead::kFirst;
    call.tsi[0] = kControlNotFinal;
    call.tsi[1] = kFcfTsiX;
    memset(call.tsi + 2, ' ', kIdentityLength);
    memcpy(call.dcs, kDcsTemplate.data(), sizeof call.dcs);
    return call;
}

// Acts on one frame of the called station and says which phase comes next.
// Frames of a kind seen more often than a command is repeated, since the
// last confirmed page, end the call; FTT and EOM have limits of their own.
Step FrameSense(const uint8_t *frame, SendCall &call) {
    FaxTrace("FrameSense: started...");
    const uint8_t *fif = frame + 2;
    const FrameKind kind = KindOf(frame[1]);
    // FTT, EOM and the answers to a block have limits of their own.
    const bool own_limit = kind == kKindFtt || kind == kKindEom || (EcmAnswer(kind) && call.ecm.pps_pending);
    if (!own_limit && ++call.seen[kind] > kMaxCommandRepeats + 1) {
        FaxTrace("FrameSense: frame 0x%x repeated %d times", frame[1], call.seen[kind] - 1);
        return {SendPhase::kDisconnect, TOLLAN_E_RETRIES};
    }
    switch (kind) {
    case kKindNsf:
        FaxTrace("FrameSense: NSF");
        CopyFIF(fif + kNsfIdentityOffset, call.channel);
        return Stay(call);
    case kKindCsi:
        FaxTrace("FrameSense: CSI");
        CopyFIF(fif, call.channel);
        return Stay(call);
    case kKindTsi:
        FaxTrace("FrameSense: TSI");
        CopyFIF(fif, call.channel);
        return Stay(call);
    case kKindDis:
        return AnswerDis(fif, call);
    case kKindDcs:
        FaxTrace("FrameSense: DCS");
        return Stay(call);
    case kKindCfr:
        FaxTrace("FrameSense: CFR");
        return NextPageOrEnd(call);
    case kKindFtt:
        return AnswerFtt(call);
    case kKindMcf:
        return AnswerMcf(call);
    case kKindRtn:
        FaxTrace("FrameSense: RTN PagesSent=%d Pages=%d", call.pages_confirmed, call.pages_total);
        return {SendPhase::kDisconnect, TOLLAN_E_PAGE_REJECTED};
    case kKindRtp:
        return AnswerRtp(call);
    case kKindEop:
        FaxTrace("FrameSense: EOP");
        return ConfirmWithMcf(call);
    case kKindMps:
        FaxTrace("FrameSense: MPS");
        return ConfirmWithMcf(call);
    case kKindEom:
        return AnswerEom(call);
    case kKindDcn:
        return AnswerDcn(call);
    case kKindPpr:
    case kKindCtr:
    case kKindErr:
    case kKindRnr:
        if (call.ecm.pps_pending) return AnswerEcm(kind, call);
        FaxTrace("FrameSense: 0x%x without a block waiting for it", frame[1]);
        return Stay(call);
    default:
        FaxTrace("FrameSense: unknown frame - 0x%x, 0x%x, 0x%x\n", frame[0], frame[1], fif[0]);
        return Stay(call);
    }
}

uint16_t SendTsiDcs(SendCall &call) {
    const FaxChannel &c = g_channels[call.channel];
    FaxTrace("SendTsiDcs:");
    BuildTsiId(call.tsi + 2, c.local_id);
    FaxTrace("SendTsiDcs: TSI sending localid = %s", c.local_id);
    uint16_t code = SendCmd("AT+FRS=8\r", call.channel);
    if (code == TOLLAN_OK) code = SendCmd("AT+FTH=3\r", call.channel);
    if (code == TOLLAN_OK) code = SendHdlc(call.tsi, sizeof call.tsi, call.channel);
    if (code != TOLLAN_OK) return code;
    WaitConnect(call.channel);  // the modem asks for the next frame with CONNECT

    uint8_t *fif = call.dcs + 2;
    SetParam(fif, c.resolution == 0, 0);
    SetScanBits(fif, ScanExponent(c.scan_time));
    SetRateBits(fif, c.bit_rate);
    call.mode = ChooseLineMode(call.offer, c);
    SetLineModeBits(fif, call.mode);
    FaxTrace("SendTsiDcs: coding %d ecm %d", static_cast<int>(call.mode.coding), call.mode.ecm);
    FaxTrace("DCS sending %x %x %x %x", fif[0], fif[1], fif[2], fif[3]);
    code = SendHdlc(call.dcs, sizeof call.dcs, call.channel);
    if (code != TOLLAN_OK) return code;
    WaitOk(call.channel);
    return TOLLAN_OK;
}

// The training check: 1.5 s of zeros at the page bit rate, long training.
uint16_t SendTCF(int32_t channel) {
    const FaxChannel &c = g_channels[channel];
    FaxTrace("SendTCF: ");
    uint16_t code = SendCmd("AT+FTS=8\r", channel);
    if (code != TOLLAN_OK) {
        FaxTrace("SendTCF: at+fts8 fail %d", code);
        return code;
    }
    const char *modulation = TranslateCmd(c.bit_rate, true, Direction::kTransmit, channel);
    code = modulation ? SendCmd(modulation, channel) : uint16_t{TOLLAN_E_ERROR};
    if (code != TOLLAN_OK) {
        FaxTrace("SendTCF: bitrate fail %d", code);
        return code;
    }
    const uint32_t zeros = TrainingBytes(c.bit_rate);
    FaxOutputBlocks blocks(channel);  // the training goes out a block at a time
    for (uint32_t i = 0; i < zeros && code == TOLLAN_OK; ++i) code = FaxSendByte(0x00, channel);
    const uint16_t flushed = blocks.Finish();
    if (code == TOLLAN_OK) code = flushed;
    if (code == TOLLAN_OK) code = SendFrameEnd(channel);
    if (code != TOLLAN_OK) {
        FaxTrace("SendTCF: send byte fail %d", code);
        return code;
    }
    WaitOk(channel);
    FaxTrace("SendTCF: exiting");
    return TOLLAN_OK;
}

static uint16_t SendClass1FaxCall(int32_t channel, const char *phone, const char *file_name, int pages) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    FaxChannel &c = g_channels[channel];
    if (!c.in_use) return TOLLAN_E_NOT_OPEN;
    FaxBeginCall(channel);
    const int16_t page_count = Low16(pages);
    if (page_count <= 0 || phone == nullptr || phone[0] == '\0' || file_name == nullptr || file_name[0] == '\0')
        return TOLLAN_E_ARGUMENT;
    // Arguments that do not fit the dial command, a path or the names of
    // the page files are refused, not cut.
    if (strlen(phone) > kMaxPhoneLength || strlen(file_name) >= kFaxPathSize ||
        !FaxPageNamesFit(file_name, page_count, ".g3"))
        return TOLLAN_E_ARGUMENT;
    if (!FaxCommandTextSafe(phone, false)) return TOLLAN_E_ARGUMENT;
    FaxBeginPageHeader(channel, phone, page_count);

    c.io_timeout = kSetupTimeout;
    c.pages_sent = 0;
    if (FaxModemCommand("AT+FCLASS=1\r\n", channel) != TOLLAN_OK) {
        FaxTrace("failed to set class-1\n");
        return TOLLAN_E_CLASS;
    }
    c.modem_class = TOLLAN_CLASS_1;
    if (FaxModemCommand("AT+FLO=2\r\n", channel) != TOLLAN_OK) FaxTrace("fail to set flow control\n");
    c.io_timeout = kCallTimeout;
    FaxReportsBeginDial(c.reports);

    // Cleared before the first frame, so an identity in a CSI that arrives
    // first is kept for GetRemoteID.
    FaxReportsBeginCall(c.reports);

    FaxReportPhase(channel, TOLLAN_PHASE_DIAL);
    uint16_t code = FaxDial(channel, phone, "CONNECT");
    if (code != TOLLAN_OK) return FaxEndCall(channel, {false, nullptr, kFcfDcn}, FaxCallOutcome(channel, code));
    FaxReportPhase(channel, TOLLAN_PHASE_NEGOTIATION);

    // After CONNECT the modem delivers the called station's first frame
    // unasked; then the frames drive the call through its phases.
    SendCall call = NewSendCall(channel, file_name, page_count);
    code = FaxCallOutcome(channel, RunSendCall(call));
    // Aborted or out of time: the called station answered (the dial's
    // CONNECT, its frames follow), so DCN, then the hang-up.
    return FaxEndCall(channel, {true, nullptr, kFcfDcn}, code);
}

uint16_t SendClass1Fax(int32_t channel, const char *phone, const char *file_name, int pages) {
    FaxReportBegin(channel, TOLLAN_CALL_SEND_CLASS1, Low16(pages));
    return FaxReportEnd(channel, SendClass1FaxCall(channel, phone, file_name, pages), nullptr);
}
