// The class 1 sender: the library runs the calling side of T.30 itself over a
// service class 1 modem. Layers, bottom up: command.cpp (AT commands and
// result words), hdlc.cpp (V.21 control frames), page_data.cpp (high-speed
// page data), t30_send.cpp (the procedure and the export SendClass1Fax).
#pragma once

#include <cstddef>
#include <cstdint>

// Indexes of the result word table; they are the values WaitResult returns.
enum Class1Result : int {
    kResultTimeout = -1,  // the response deadline passed
    kResultOk = 0,
    kResultConnect = 1,
    kResultRing = 2,
    kResultNoCarrier = 3,
    kResultError = 4,
    kResultVoice = 5,
    kResultNoDialtone = 6,
    kResultBusy = 7,
    kResultNoAnswer = 8,
    kResultFcon = 9,
    kResultFcfr = 10,
    kResultFtsi = 11,
    kResultFdcs = 12,
    kResultFdis = 13,
    kResultFcsi = 14,
    kResultFet = 15,
    kResultFhng = 16,
    kResultDisconnect = 17,
    kResultConnectFax = 18,
};

// WaitResult flags.
constexpr int kWaitTimed = 1;       // give up at the response deadline
constexpr int kWait30s = 2;         // the deadline is 30 s away (else 5 s)
constexpr int kWait60s = 4;         // the deadline is 60 s away
constexpr int kWaitTraceError = 8;  // trace the ERROR line once more

// Control field of an HDLC frame.
constexpr uint8_t kControlNotFinal = 0x03;
constexpr uint8_t kControlFinal = 0x13;
constexpr uint8_t kHdlcAddress = 0xFF;

// T.30 facsimile control fields as the called station sends them (X bit
// included where it may be set).
enum T30Fcf : uint8_t {
    kFcfNsf = 0x20,
    kFcfCsi = 0x40,
    kFcfTsi = 0x42,
    kFcfTsiX = 0x43,
    kFcfDis = 0x80,
    kFcfDcs = 0x83,
    kFcfCfr = 0x84,
    kFcfFtt = 0x44,
    kFcfMcf = 0x8C,
    kFcfEop = 0x2F,
    kFcfRtn = 0x4C,
    kFcfRtp = 0xCC,
    kFcfMps = 0x4F,
    kFcfEom = 0x8F,
    kFcfDcnX = 0xFA,
    kFcfDcn = 0xFB,
};

constexpr size_t kFrameBufferSize = 256;
// A received frame ends within this time of the start of its reading: a
// frame of 256 bytes takes about 7 s at 300 bit/s, a T.30 frame at most
// 3.45 s.
constexpr uint32_t kFrameTimeLimitMs = 10000;
constexpr size_t kTsiFrameSize = 22;  // control, FCF, 20 identity characters
constexpr size_t kDcsFrameSize = 6;   // control, FCF, 4 information bytes
constexpr int kNoScanExponent = -1;

// The library-wide state of the class 1 sender, shared by every channel:
// class 1 calls are made one at a time.
struct Class1State {
    uint8_t dle_pending;            // the last received frame byte was an unpaired DLE
    uint8_t tsi[kTsiFrameSize];     // TSI template, rewritten for every DIS
    uint8_t dcs[kDcsFrameSize];     // DCS template, rewritten for every DIS
    uint32_t trailing_zero_bits;    // 0 bits at the end of the page data passed to IsEolByte
    uint32_t line_byte_count;       // page bytes since the last filled EOL
    uint8_t nonzero_run;            // non-zero page bytes since the last zero byte (wraps)
};
extern Class1State g_class1;

// ---- command.cpp: commands and result words ----------------------------------
uint16_t SendCmd(const char *command, int32_t channel);
int WaitResult(int flags, int32_t channel);
void WaitOk(int32_t channel);
void WaitConnect(int32_t channel);
// The modulation command for a bit-rate code, or nullptr outside 0..5.
const char *TranslateCmd(int bit_rate, bool training, int32_t channel);
uint16_t CheckDoCount(int attempt);

// ---- hdlc.cpp: control frames ---------------------------------------------------
uint16_t FaxSendByte(uint8_t byte, int32_t channel);
uint16_t SendHdlc(const uint8_t *frame, size_t length, int32_t channel);
uint16_t SendFrameEnd(int32_t channel);
uint16_t SendFrame(const uint8_t *frame, size_t length, int32_t channel);
uint16_t SendMCF(int32_t channel);
uint16_t SendEOP(int32_t channel);
uint16_t SendMPS(int32_t channel);
uint16_t SendDCN(int32_t channel);
// What reading one frame gave: the code (0, or the failure that stopped
// it), the bytes stored, and whether the frame was too long for the buffer.
struct FrameIn {
    uint16_t code;
    size_t length;
    bool too_long;
};
FrameIn ReadFrame(uint8_t *buffer, size_t size, int32_t channel);
int IsFrameEnd(uint8_t byte);
uint16_t RecvFrame(uint8_t *buffer, size_t size, int32_t channel);

// ---- page_data.cpp: page data ---------------------------------------------------
uint16_t SendFaxFile(int32_t channel);
uint16_t SendFaxData(int32_t channel);
uint16_t TTYOut(uint8_t byte, int32_t channel);
int IsEolByte(uint8_t byte);
void ChkRTC(uint8_t byte, int32_t channel);
int ScanExponent(int16_t scan_time);

// ---- t30_send.cpp: the T.30 procedure -------------------------------------------
// Frame kinds the repeat count tells apart; every unknown frame is one kind.
enum FrameKind : uint8_t {
    kKindNsf,
    kKindCsi,
    kKindTsi,
    kKindDis,
    kKindDcs,
    kKindCfr,
    kKindFtt,
    kKindMcf,
    kKindRtn,
    kKindRtp,
    kKindEop,
    kKindMps,
    kKindEom,
    kKindDcn,
    kKindUnknown,
    kFrameKinds,
};

// One class 1 call's progress through the procedure; it lives for the call.
struct SendCall {
    int32_t channel;
    bool page_pending;     // the post-page frame of page pages_sent + 1 went out, unanswered
    bool dis_seen;         // a DIS has set the rate the call trains at
    int16_t dis_rate;      // that rate; the channel keeps it after the call
    int training_tries;    // training checks sent at the current rate
    int eom_rounds;        // EOM frames in the call
    uint8_t seen[kFrameKinds];  // frames of each kind since the last confirmed page
};

// What the procedure does after a frame.
enum class Next : uint8_t {
    kAskFrame,    // ask the modem for the next frame (AT+FRH=3)
    kTakeFrame,   // the modem delivers the next frame unasked
    kDisconnect,  // send DCN, hang up, end with the code
    kHangUp,      // hang up and end with the code
    kStop,        // the modem exchange failed: end with the code at once
};
struct Step {
    Next next;
    uint16_t code;
};

Step FrameSense(const uint8_t *frame, SendCall &call);
uint16_t SendTsiDcs(int32_t channel);
void SetParam(uint8_t *dcs_fif, int isfine, int isb4);
void SetRateBits(uint8_t *dcs_fif, int bit_rate);
void SetScanBits(uint8_t *dcs_fif, int exponent);
void AdjustBitRate(const uint8_t *dis_fif, int32_t channel);
void BuildTsiId(uint8_t *identity, const char *local_id);
void CopyFIF(const uint8_t *start, int32_t channel);
uint16_t SendTCF(int32_t channel);
