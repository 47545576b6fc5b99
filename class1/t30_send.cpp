// The calling side of T.30 over a class 1 modem: dial, then answer each frame
// of the called station (DIS with TSI, DCS and the training check; CFR and
// MCF with the next page; DCN with the end) until the call is over. One loop
// reads the frames; each frame's step returns what comes next, and the
// repeats a hostile station could draw out are counted and bounded.
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "class1/class1.h"
#include "class2/class2.h"
#include "engine/channel.h"
#include "engine/call_limits.h"
#include "engine/trace.h"
#include "modem/modem_io.h"
#include "modem/response.h"

namespace {

constexpr uint32_t kSetupTimeout = kSetUpTimeoutMs;  // ms per byte while the modem is set up
constexpr uint32_t kCallTimeout = kCallTimeoutMs;   // ms per byte once dialling starts
constexpr size_t kMaxPhoneLength = kMaxDialNumberLength;
constexpr size_t kIdentityLength = 20;     // T.30 identity field
constexpr size_t kNsfIdentityOffset = 8;   // where an NSF carries the identity

// DCS information field: byte 2 (index 1) and byte 3 (index 2).
constexpr uint8_t kDcsFine = 0x40;       // bit 15: 7.7 lines/mm
constexpr uint8_t kDcsRateMask = 0x3C;   // bits 11 to 14: data signalling rate
constexpr uint8_t kDcsB4 = 0x01;         // bit 17: first recording-width bit
constexpr uint8_t kDcsScanMask = 0x70;   // bits 21 to 23: minimum scan line time

// Rate bits and training check length (1.5 s of zero bytes) by bit-rate code.
struct RateEntry {
    uint8_t dcs_bits;
    uint32_t training_bytes;
};
constexpr std::array<RateEntry, 6> kRates = {{
    {0x00, 450},   // 2400 V.27 ter
    {0x08, 900},   // 4800 V.27 ter
    {0x0C, 1350},  // 7200 V.29
    {0x04, 1800},  // 9600 V.29
    {0x28, 2250},  // 12000 V.17
    {0x20, 2700},  // 14400 V.17
}};
constexpr int kBitRate4800 = 1;
constexpr int kBitRate9600 = 3;
constexpr int kBitRate14400 = 5;

// Scan time bits by scan exponent; every other exponent means 20 ms (0x00).
struct ScanEntry {
    int exponent;
    uint8_t dcs_bits;
};
constexpr std::array<ScanEntry, 4> kScanBits = {{
    {0, 0x70},  // 0 ms
    {1, 0x10},  // 5 ms
    {2, 0x20},  // 10 ms
    {6, 0x40},  // 40 ms
}};

bool ValidRate(int bit_rate) { return bit_rate >= 0 && bit_rate < static_cast<int>(kRates.size()); }

FrameKind KindOf(uint8_t fcf) {
    switch (fcf) {
    case kFcfNsf: return kKindNsf;
    case kFcfCsi: return kKindCsi;
    case kFcfTsi:
    case kFcfTsiX: return kKindTsi;
    case kFcfDis: return kKindDis;
    case kFcfDcs: return kKindDcs;
    case kFcfCfr: return kKindCfr;
    case kFcfFtt: return kKindFtt;
    case kFcfMcf: return kKindMcf;
    case kFcfRtn: return kKindRtn;
    case kFcfRtp: return kKindRtp;
    case kFcfEop: return kKindEop;
    case kFcfMps: return kKindMps;
    case kFcfEom: return kKindEom;
    case kFcfDcnX:
    case kFcfDcn: return kKindDcn;
    default: return kKindUnknown;
    }
}

constexpr Step kAskNext{Next::kAskFrame, TOLLAN_OK};

// How a failed step ends the call: the host's abort and the call time still
// hang up, a page file that cannot be sent is a local failure the called
// station is told of with DCN, and a failed modem exchange ends it at once.
Step Failed(uint16_t code) {
    if (code == TOLLAN_E_ABORTED || code == TOLLAN_E_CALL_TIME) return {Next::kHangUp, code};
    if (code == TOLLAN_E_NO_PAGE_FILE || code == TOLLAN_E_FILE_NAME) return {Next::kDisconnect, code};
    return {Next::kStop, code};
}

Step After(uint16_t code) { return code == TOLLAN_OK ? kAskNext : Failed(code); }

// A training check at the current rate, after TSI and DCS when the called
// station has not been told the rate yet.
Step Train(SendCall &call, bool announce_rate) {
    if (announce_rate) {
        const uint16_t code = SendTsiDcs(call.channel);
        if (code != TOLLAN_OK) return Failed(code);
    }
    ++call.training_tries;
    return After(SendTCF(call.channel));
}

Step AnswerDis(const uint8_t *fif, SendCall &call) {
    FaxTrace("FramsSense: DIS");
    AdjustBitRate(fif, call.channel);
    call.dis_seen = true;
    call.dis_rate = g_channels[call.channel].bit_rate;
    call.page_pending = false;  // the station starts over: a page it did not answer is not confirmed
    call.training_tries = 0;
    return Train(call, true);
}

// FTT: the training check failed. A few tries at a rate, then the next
// lower rate, announced with a new DCS; below the lowest the call ends.
Step AnswerFtt(SendCall &call) {
    FaxChannel &c = g_channels[call.channel];
    FaxTrace("FrameSense: FTT");
    if (call.training_tries < kTrainingTriesPerRate) return Train(call, false);
    if (c.bit_rate <= 0) {
        FaxTrace("FrameSense: training failed at every bit rate");
        return {Next::kDisconnect, TOLLAN_E_RETRIES};
    }
    --c.bit_rate;
    FaxTrace("FrameSense: %d training checks failed, bit rate %d next", call.training_tries, c.bit_rate);
    call.training_tries = 0;
    return Train(call, true);
}

// The page whose post-page frame went out is confirmed: it counts, and the
// repeat count starts again.
void ConfirmPage(SendCall &call) {
    if (!call.page_pending) return;
    FaxChannel &c = g_channels[call.channel];
    ++c.pages_sent;
    call.page_pending = false;
    memset(call.seen, 0, sizeof call.seen);
    FaxTrace("FrameSense: page %d confirmed", c.pages_sent);
}

// The next page, or DCN once every page is confirmed.
Step SendNextPage(SendCall &call) {
    const FaxChannel &c = g_channels[call.channel];
    if (c.pages_sent >= c.pages_total) {
        (void)SendDCN(call.channel);  // every page is through, whatever becomes of DCN
        return {Next::kHangUp, TOLLAN_OK};
    }
    const uint16_t code = SendFaxFile(call.channel);
    if (code != TOLLAN_OK) return Failed(code);
    call.page_pending = true;
    return kAskNext;
}

Step AnswerMcf(SendCall &call) {
    const FaxChannel &c = g_channels[call.channel];
    FaxTrace("FrameSense: MCF PagesSent=%d Pages=%d", c.pages_sent, c.pages_total);
    ConfirmPage(call);
    return SendNextPage(call);
}

// RTP after a page: the page is good and the station asks for a new
// training before the next. Without a page waiting for it, it is confirmed
// like the station's other commands.
Step AnswerRtp(SendCall &call) {
    const FaxChannel &c = g_channels[call.channel];
    FaxTrace("FrameSense: RTP PagesSent=%d Pages=%d", c.pages_sent, c.pages_total);
    if (!call.page_pending) return After(SendMCF(call.channel));
    ConfirmPage(call);
    if (c.pages_sent >= c.pages_total) return SendNextPage(call);
    call.training_tries = 0;
    return Train(call, true);
}

// EOM: confirmed, and the frame that follows is taken without a new
// receive command. The rounds of a call are bounded.
Step AnswerEom(SendCall &call) {
    FaxTrace("FrameSense: EOM");
    if (++call.eom_rounds > kMaxEomRounds) {
        FaxTrace("FrameSense: more than %d EOM rounds", kMaxEomRounds);
        return {Next::kDisconnect, TOLLAN_E_RETRIES};
    }
    const uint16_t code = SendMCF(call.channel);
    if (code != TOLLAN_OK) return Failed(code);
    (void)SendCmd("AT+FTH=3\r", call.channel);
    FaxTrace("-------------");
    return {Next::kTakeFrame, TOLLAN_OK};
}

Step AnswerDcn(SendCall &call) {
    const FaxChannel &c = g_channels[call.channel];
    FaxTrace("FrameSense: DCN");
    if (c.pages_sent >= c.pages_total) return {Next::kHangUp, TOLLAN_OK};
    FaxTrace("FrameSense: DCN with %d of %d pages confirmed", c.pages_sent, c.pages_total);
    return {Next::kHangUp, TOLLAN_E_UNCONFIRMED};
}

// The frame the modem delivers unasked (after the dial's CONNECT, or after
// EOM); one whose checksum the modem did not confirm is asked for again.
// read_failure, when not 0, is the code for a frame that could not be read.
uint16_t TakeFrame(uint8_t *frame, size_t size, int32_t channel, uint16_t read_failure) {
    const FrameIn in = ReadFrame(frame, size, channel);
    if (in.code == TOLLAN_E_ABORTED || in.code == TOLLAN_E_CALL_TIME) return in.code;
    if (in.code != TOLLAN_OK && read_failure != TOLLAN_OK) return read_failure;
    if (in.code == TOLLAN_OK && WaitResult(kWaitTimed | kWait30s, channel) == kResultOk && !in.too_long)
        return TOLLAN_OK;
    return RecvFrame(frame, size, channel);
}

// Ends the call as the last step says. The channel keeps the rate the
// called station's DIS allowed, not a lower one a bad line forced.
uint16_t FinishCall(const Step &step, const SendCall &call) {
    if (call.dis_seen) g_channels[call.channel].bit_rate = call.dis_rate;
    if (step.next == Next::kStop) return step.code;
    if (step.next == Next::kDisconnect) (void)SendDCN(call.channel);
    if (FaxModemCommand("ATH0\r\n", call.channel) != TOLLAN_OK) {
        FaxTrace("SendClass1Fax: ath0 fail");
        if (step.code == TOLLAN_OK) return TOLLAN_E_ERROR;
    }
    return step.code;
}

}  // namespace

// Acts on one frame of the called station and says what comes next. Frames
// of a kind seen more often than a command is repeated, since the last
// confirmed page, end the call; FTT and EOM have limits of their own.
Step FrameSense(const uint8_t *frame, SendCall &call) {
    FaxTrace("FrameSense: started...");
    const uint8_t *fif = frame + 2;
    const FrameKind kind = KindOf(frame[1]);
    if (kind != kKindFtt && kind != kKindEom && ++call.seen[kind] > kMaxCommandRepeats + 1) {
        FaxTrace("FrameSense: frame 0x%x repeated %d times", frame[1], call.seen[kind] - 1);
        return {Next::kDisconnect, TOLLAN_E_RETRIES};
    }
    switch (kind) {
    case kKindNsf:
        FaxTrace("FrameSense: NSF");
        CopyFIF(fif + kNsfIdentityOffset, call.channel);
        return kAskNext;
    case kKindCsi:
        FaxTrace("FrameSense: CSI");
        CopyFIF(fif, call.channel);
        return kAskNext;
    case kKindTsi:
        FaxTrace("FrameSense: TSI");
        CopyFIF(fif, call.channel);
        return kAskNext;
    case kKindDis:
        return AnswerDis(fif, call);
    case kKindDcs:
        FaxTrace("FrameSense: DCS");
        return kAskNext;
    case kKindCfr:
        FaxTrace("FrameSense: CFR");
        return SendNextPage(call);
    case kKindFtt:
        return AnswerFtt(call);
    case kKindMcf:
        return AnswerMcf(call);
    case kKindRtn:
        FaxTrace("FrameSense: RTN PagesSent=%d Pages=%d", g_channels[call.channel].pages_sent,
                 g_channels[call.channel].pages_total);
        return {Next::kDisconnect, TOLLAN_E_PAGE_REJECTED};
    case kKindRtp:
        return AnswerRtp(call);
    case kKindEop:
        FaxTrace("FrameSense: EOP");
        return After(SendMCF(call.channel));
    case kKindMps:
        FaxTrace("FrameSense: MPS");
        return After(SendMCF(call.channel));
    case kKindEom:
        return AnswerEom(call);
    case kKindDcn:
        return AnswerDcn(call);
    default:
        FaxTrace("FrameSense: unknown frame - 0x%x, 0x%x, 0x%x\n", frame[0], frame[1], fif[0]);
        return kAskNext;
    }
}

void SetParam(uint8_t *dcs_fif, int isfine, int isb4) {
    FaxTrace("SetParam: isfine = %d isb4 = %d cmd[1]=%x cmd[2]=%x", isfine, isb4, dcs_fif[1], dcs_fif[2]);
    dcs_fif[1] = static_cast<uint8_t>(isfine ? dcs_fif[1] | kDcsFine : dcs_fif[1] & ~kDcsFine);
    dcs_fif[2] = static_cast<uint8_t>(isb4 ? dcs_fif[2] | kDcsB4 : dcs_fif[2] & ~kDcsB4);
    FaxTrace("SetParam: isfine = %d isb4 = %d cmd[1]=%x cmd[2]=%x", isfine, isb4, dcs_fif[1], dcs_fif[2]);
}

void SetRateBits(uint8_t *dcs_fif, int bit_rate) {
    const uint8_t bits = ValidRate(bit_rate) ? kRates[static_cast<size_t>(bit_rate)].dcs_bits : 0x00;
    dcs_fif[1] = static_cast<uint8_t>((dcs_fif[1] & ~kDcsRateMask) | bits);
    if (bit_rate == kBitRate14400) FaxTrace("setting 14400 speed");
}

void SetScanBits(uint8_t *dcs_fif, int exponent) {
    uint8_t bits = 0x00;
    for (const ScanEntry &e : kScanBits)
        if (e.exponent == exponent) bits = e.dcs_bits;
    dcs_fif[2] = static_cast<uint8_t>((dcs_fif[2] & ~kDcsScanMask) | bits);
}

// Lowers the bit rate to what the receiver's DIS offers: V.27 ter only
// gives 4800, V.29 at most 9600; V.17 leaves the rate as it is.
void AdjustBitRate(const uint8_t *dis_fif, int32_t channel) {
    FaxChannel &c = g_channels[channel];
    switch (dis_fif[1] & kDcsRateMask) {
    case 0x00:
    case 0x08:
        c.bit_rate = kBitRate4800;
        break;
    case 0x04:
    case 0x0C:
        if (c.bit_rate > kBitRate4800) c.bit_rate = kBitRate9600;
        break;
    default:
        break;
    }
}

// The identity travels last character first in a field of 20, padded with
// spaces; of a longer identity the last 20 characters are sent.
void BuildTsiId(uint8_t *identity, const char *local_id) {
    const size_t length = strlen(local_id);
    const size_t used = length < kIdentityLength ? length : kIdentityLength;
    for (size_t i = 0; i < used; ++i) identity[i] = static_cast<uint8_t>(local_id[length - 1 - i]);
    for (size_t i = used; i < kIdentityLength; ++i) identity[i] = ' ';
}

// Takes the remote identity out of a received field: printable characters
// other than the space, back in writing order.
void CopyFIF(const uint8_t *start, int32_t channel) {
    char *remote = g_channels[channel].reports.remote_id;
    size_t kept = 0;
    for (size_t i = 0; i < kIdentityLength; ++i)
        if (start[i] >= 0x21 && start[i] <= 0x7F) remote[kept++] = static_cast<char>(start[i]);
    remote[kept] = '\0';
    for (size_t i = 0; i < kept / 2; ++i) std::swap(remote[i], remote[kept - 1 - i]);
    FaxTrace("CopyFIF: remote = %s", remote);
}

uint16_t SendTsiDcs(int32_t channel) {
    const FaxChannel &c = g_channels[channel];
    FaxTrace("SendTsiDcs:");
    BuildTsiId(g_class1.tsi + 2, c.local_id);
    FaxTrace("SendTsiDcs: TSI sending localid = %s", c.local_id);
    uint16_t code = SendCmd("AT+FRS=8\r", channel);
    if (code == TOLLAN_OK) code = SendCmd("AT+FTH=3\r", channel);
    if (code != TOLLAN_OK) return code;
    (void)SendHdlc(g_class1.tsi, sizeof g_class1.tsi, channel);
    WaitConnect(channel);  // the modem asks for the next frame with CONNECT

    uint8_t *fif = g_class1.dcs + 2;
    SetParam(fif, c.resolution == 0, 0);
    SetScanBits(fif, ScanExponent(c.scan_time));
    SetRateBits(fif, c.bit_rate);
    FaxTrace("DCS sending %x %x %x %x", fif[0], fif[1], fif[2], fif[3]);
    (void)SendHdlc(g_class1.dcs, sizeof g_class1.dcs, channel);
    WaitOk(channel);
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
    const char *modulation = TranslateCmd(c.bit_rate, true, channel);
    code = modulation ? SendCmd(modulation, channel) : uint16_t{TOLLAN_E_ERROR};
    if (code != TOLLAN_OK) {
        FaxTrace("SendTCF: bitrate fail %d", code);
        return code;
    }
    const uint32_t zeros = kRates[static_cast<size_t>(c.bit_rate)].training_bytes;
    FaxOutputBlocks blocks(channel);  // the training goes out a block at a time
    for (uint32_t i = 0; i < zeros; ++i) (void)FaxSendByte(0x00, channel);
    (void)blocks.Finish();
    (void)SendFrameEnd(channel);
    WaitOk(channel);
    FaxTrace("SendTCF: exiting");
    return TOLLAN_OK;
}

uint16_t SendClass1Fax(int32_t channel, const char *phone, const char *file_name, int pages) {
    if (!ChannelInRange(channel)) return TOLLAN_E_CHANNEL;
    FaxChannel &c = g_channels[channel];
    if (!c.in_use) return TOLLAN_E_NOT_OPEN;
    FaxBeginCall(channel);
    const int16_t page_count = Low16(pages);
    if (page_count <= 0 || phone == nullptr || phone[0] == '\0' || file_name == nullptr || file_name[0] == '\0')
        return TOLLAN_E_ARGUMENT;
    // Arguments that do not fit the dial command, fax_file or the names of
    // the page files are refused, not cut.
    if (strlen(phone) > kMaxPhoneLength || strlen(file_name) >= sizeof c.fax_file ||
        !FaxPageNamesFit(file_name, page_count, ".g3"))
        return TOLLAN_E_ARGUMENT;
    if (!FaxCommandTextSafe(phone, false)) return TOLLAN_E_ARGUMENT;

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

    // The call state is set before the first frame, so an identity in a CSI
    // that arrives first is kept for GetRemoteID.
    c.pages_total = page_count;
    FaxReportsBeginCall(c.reports);
    snprintf(c.fax_file, sizeof c.fax_file, "%s", file_name);
    c.class1_mode = 2;

    uint16_t code = FaxDial(channel, phone, "CONNECT");
    if (code != TOLLAN_OK) return code;

    // After CONNECT the modem delivers the called station's first frame
    // unasked; then the frames drive the call, one step each.
    SendCall call{};
    call.channel = channel;
    uint8_t frame[kFrameBufferSize];
    code = TakeFrame(frame, sizeof frame, channel, TOLLAN_E_FIRST_FRAME);
    if (code != TOLLAN_OK) return FinishCall(Failed(code), call);
    Step step = FrameSense(frame, call);
    while (step.next == Next::kAskFrame || step.next == Next::kTakeFrame) {
        code = FaxCallCheck(channel);
        if (code == TOLLAN_OK)
            code = step.next == Next::kAskFrame ? RecvFrame(frame, sizeof frame, channel)
                                                : TakeFrame(frame, sizeof frame, channel, TOLLAN_OK);
        if (step.next == Next::kTakeFrame) FaxTrace("**************");
        step = code == TOLLAN_OK ? FrameSense(frame, call) : Failed(code);
    }
    return FinishCall(step, call);
}
