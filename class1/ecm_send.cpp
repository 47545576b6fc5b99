// Error correction, sending: the coded page cut into frames, a block of up
// to 256 frames sent at the page rate with HDLC framing and ended by RCP,
// then PPS over V.21. What the station answers (MCF, PPR, RNR, CTR, ERR) is
// the procedure's to judge; these are the sending steps it takes.
#include <algorithm>
#include <cstring>

#include "class1/class1.h"
#include "engine/call_limits.h"
#include "engine/call_report.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/modem_io.h"

namespace {

constexpr char kStopTransmitting[] = "AT+FTS=8\r";
constexpr int kRcpRepeats = 3;
// Flags before the first frame: about a fifth of a second at the rate.
constexpr uint32_t kPreambleDivisor = 7;
constexpr int kTrailingFlags = 2;
constexpr size_t kCallCheckBytes = 4096;
constexpr size_t kCtcFieldBytes = 2;  // the first two bytes of DCS: the rate bits

// Frames of the block starting at start.
int FramesFrom(const EcmSend &ecm, size_t start) {
    const size_t left = ecm.page.size() - start;
    const size_t frames = (left + ecm.frame_size - 1) / ecm.frame_size;
    return static_cast<int>(std::min<size_t>(frames, kEcmFramesPerBlock));
}

void StartBlock(EcmSend &ecm, size_t start, int block) {
    ecm.block_start = start;
    ecm.block = block;
    ecm.frames = FramesFrom(ecm, start);
    ecm.to_send = FullEcmMap(ecm.frames);
    ecm.pprs = 0;
    ecm.ctcs = 0;
    ecm.rr_polls = 0;
    ecm.eor_sent = false;
    ecm.pps_pending = false;
}

// FCD: address, control, FCF, the frame's number in the block, frame_size
// bytes of the page (the last frame of the page made up with zero bits).
void PutFcd(HdlcBits &w, const EcmSend &ecm, int number) {
    uint8_t frame[4 + 256] = {kHdlcAddress, kControlNotFinal, kFcfFcd, static_cast<uint8_t>(number)};
    const size_t start = ecm.block_start + static_cast<size_t>(number) * ecm.frame_size;
    const size_t size = std::min(ecm.frame_size, ecm.page.size() - start);
    memcpy(frame + 4, ecm.page.data() + start, size);
    PutHdlcFrame(w, frame, 4 + ecm.frame_size);
}

}  // namespace

// Flags while the receiver finds the frames, the frames still to send, RCP
// three times, flags, idle ones to the byte's end.
std::vector<uint8_t> EcmBlockBytes(const EcmSend &ecm, int bit_rate) {
    std::vector<uint8_t> bits;
    HdlcBits w{&bits, 0, 0, 0};
    PutHdlcFlags(w, static_cast<int>(TrainingBytes(bit_rate) / kPreambleDivisor) + 1);
    for (int n = 0; n < ecm.frames; ++n)
        if (EcmMapHas(ecm.to_send, n)) PutFcd(w, ecm, n);
    const uint8_t rcp[] = {kHdlcAddress, kControlNotFinal, kFcfRcp};
    for (int i = 0; i < kRcpRepeats; ++i) PutHdlcFrame(w, rcp, sizeof rcp);
    PutHdlcFlags(w, kTrailingFlags);
    FinishHdlcBits(w);
    return bits;
}

namespace {

// The block's bytes as page data, DLE doubled, then DLE ETX; OK once the
// modem has sent them.
uint16_t SendBlockBits(const std::vector<uint8_t> &bits, int32_t channel) {
    uint16_t code = TOLLAN_OK;
    {
        FaxOutputBlocks blocks(channel);
        for (size_t i = 0; i < bits.size() && code == TOLLAN_OK; ++i) {
            if (i % kCallCheckBytes == 0) code = FaxCallCheck(channel);
            if (code == TOLLAN_OK && bits[i] == kDle) code = FaxSendByte(kDle, channel);
            if (code == TOLLAN_OK) code = FaxSendByte(bits[i], channel);
        }
        const uint16_t flushed = blocks.Finish();
        if (code == TOLLAN_OK) code = flushed;
    }
    const uint16_t end = SendFrameEnd(channel);
    if (code == TOLLAN_OK) code = end;
    if (code != TOLLAN_OK) return code;
    const int result = WaitResult(kWaitTimed | kWait60s, channel);
    if (result == kResultOk) return TOLLAN_OK;
    FaxTrace("SendBlockBits: no OK after the block (%d)", result);
    code = FaxCallCheck(channel);
    // A modem that says nothing at all has stopped answering; any other word is its failure.
    return code != TOLLAN_OK ? code : result == kResultTimeout ? uint16_t{TOLLAN_E_TIMEOUT} : uint16_t{TOLLAN_E_ERROR};
}

// The modulation command, answered CONNECT when the carrier is up; any
// other word means the modem will take no data.
uint16_t StartCarrier(const char *modulation, int32_t channel) {
    FaxTrace("StartCarrier: %s", modulation);
    uint16_t code = FaxSendString(modulation, channel);
    if (code != TOLLAN_OK) return code;
    const int result = WaitResult(kWaitTimed | kWait30s, channel);
    if (result == kResultConnect) return TOLLAN_OK;
    code = FaxCallCheck(channel);
    return code != TOLLAN_OK ? code : uint16_t{TOLLAN_E_ERROR};
}

bool LastBlock(const EcmSend &ecm) {
    return ecm.block_start + static_cast<size_t>(ecm.frames) * ecm.frame_size >= ecm.page.size();
}

uint16_t SendPps(SendCall &call) {
    EcmSend &ecm = call.ecm;
    const uint8_t frame[] = {kControlFinal, kFcfPps, ecm.post_page, static_cast<uint8_t>(call.pages_confirmed),
                             static_cast<uint8_t>(ecm.block), static_cast<uint8_t>(ecm.frames - 1)};
    FaxTrace("SendPps: post-page 0x%x page %d block %d frames %d", ecm.post_page, call.pages_confirmed, ecm.block,
             ecm.frames);
    return SendFrame(frame, sizeof frame, call.channel);
}

}  // namespace

uint16_t BeginEcmPage(SendCall &call) {
    const PageRef page{call.document, static_cast<int16_t>(call.pages_confirmed + 1), call.pages_total};
    EcmSend &ecm = call.ecm;
    const uint16_t code = CodePageFile(page, call.channel, call.mode.coding, &ecm.page);
    if (code != TOLLAN_OK) return code;
    ecm.frame_size = EcmFrameSize(call.mode.ecm);
    StartBlock(ecm, 0, 0);
    FaxReportPageStart(call.channel, page.number, static_cast<uint32_t>(ecm.page.size()));
    FaxTrace("BeginEcmPage: page %d, %u bytes in frames of %u", page.number, static_cast<unsigned>(ecm.page.size()),
             static_cast<unsigned>(ecm.frame_size));
    return TOLLAN_OK;
}

bool NextEcmBlock(SendCall &call) {
    EcmSend &ecm = call.ecm;
    if (LastBlock(ecm)) return false;
    StartBlock(ecm, ecm.block_start + static_cast<size_t>(ecm.frames) * ecm.frame_size, ecm.block + 1);
    return true;
}

// The frames still to send and RCP at the page rate, then PPS naming what
// follows the block.
uint16_t SendEcmBlock(SendCall &call) {
    EcmSend &ecm = call.ecm;
    const int32_t channel = call.channel;
    const int bit_rate = g_channels[channel].bit_rate;
    const char *modulation = TranslateCmd(bit_rate, false, Direction::kTransmit, channel);
    if (!modulation) return TOLLAN_E_ERROR;
    FaxTrace("SendEcmBlock: block %d, %d of %d frames", ecm.block, EcmMapCount(ecm.to_send), ecm.frames);
    const std::vector<uint8_t> bits = EcmBlockBytes(ecm, bit_rate);
    uint16_t code = SendCmd(kStopTransmitting, channel);
    if (code == TOLLAN_OK) code = StartCarrier(modulation, channel);
    if (code == TOLLAN_OK) code = SendBlockBits(bits, channel);
    if (code != TOLLAN_OK) return code;
    const bool last = LastBlock(ecm);
    // The page's data has all gone once its last block went whole the first
    // time: the post-page exchange begins (frames sent again are not new data).
    const size_t block_end = std::min(ecm.page.size(), ecm.block_start + static_cast<size_t>(ecm.frames) * ecm.frame_size);
    if (last && ecm.pprs == 0 && ecm.ctcs == 0)
        FaxReportPageEnd(channel, static_cast<uint32_t>(ecm.page.size()), 0, 0);
    else
        FaxReportPageBytes(channel, static_cast<uint32_t>(block_end));
    const bool more_pages = call.pages_confirmed < call.pages_total - 1;
    ecm.post_page = !last ? kPostPageNull : static_cast<uint8_t>(more_pages ? kFcfMps : kFcfEop);
    code = SendPps(call);
    if (code != TOLLAN_OK) return code;
    ecm.pps_pending = true;
    call.page_pending = last;
    return TOLLAN_OK;
}

// CTC with the rate the block goes at next, one lower when there is one.
uint16_t SendCtc(SendCall &call) {
    FaxChannel &c = g_channels[call.channel];
    if (c.bit_rate > 0) --c.bit_rate;
    SetRateBits(call.dcs + 2, c.bit_rate);
    uint8_t frame[2 + kCtcFieldBytes] = {kControlFinal, kFcfCtc, call.dcs[2], call.dcs[3]};
    FaxTrace("SendCtc: block %d at bit rate %d", call.ecm.block, c.bit_rate);
    return SendFrame(frame, sizeof frame, call.channel);
}

uint16_t SendEor(SendCall &call) {
    const uint8_t frame[] = {kControlFinal, kFcfEor, call.ecm.post_page};
    FaxTrace("SendEor: block %d given up", call.ecm.block);
    call.ecm.eor_sent = true;
    return SendFrame(frame, sizeof frame, call.channel);
}

uint16_t SendRr(SendCall &call) {
    const uint8_t frame[] = {kControlFinal, kFcfRr};
    return SendFrame(frame, sizeof frame, call.channel);
}
