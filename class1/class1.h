// Class 1: the library runs T.30 itself over a service class 1 modem. Layers,
// bottom up, each usable by a sending and a receiving procedure alike:
// command.cpp (AT commands, result words, modulation commands), hdlc.cpp
// (V.21 control frames), coding.cpp (frame kinds, rates, DIS/DCS bits,
// station identities), page_data.cpp (high-speed page data and its end-of-
// page scanner), then the sending procedure t30_send.cpp with the export
// SendClass1Fax; for receiving, receive_data.cpp (result words, training
// check and page data as a receiver gets them, page quality) and the
// procedure t30_receive.cpp with the export ReceiveClass1Fax.
#pragma once

#include <cstddef>
#include <cstdint>

#include <cstdio>

#include <array>
#include <vector>

#include "engine/channel.h"
#include "image/g3_codec.h"
#include "modem/modem_io.h"

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

// Which way high-speed data goes: the modulation commands differ.
enum class Direction : uint8_t { kTransmit, kReceive };

// Control field of an HDLC frame.
constexpr uint8_t kControlNotFinal = 0x03;
constexpr uint8_t kControlFinal = 0x13;
constexpr uint8_t kHdlcAddress = 0xFF;

// T.30 facsimile control fields (X bit included where it may be set).
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
    // Error correction: page data frames and the exchanges about them.
    kFcfFcd = 0x06,
    kFcfRcp = 0x86,
    kFcfPps = 0xBF,
    kFcfPpr = 0xBC,
    kFcfCtc = 0x13,
    kFcfCtr = 0xC4,
    kFcfEor = 0xCF,
    kFcfErr = 0x1C,
    kFcfRr = 0x6F,
    kFcfRnr = 0xEC,
};
// PPS and EOR name the post-page command in their first byte; NULL: the
// page goes on in the next block.
constexpr uint8_t kPostPageNull = 0x00;

constexpr size_t kFrameBufferSize = 256;
// A received frame ends within this time of the start of its reading: a
// frame of 256 bytes takes about 7 s at 300 bit/s, a T.30 frame at most
// 3.45 s.
constexpr uint32_t kFrameTimeLimitMs = 10000;
constexpr size_t kIdentityLength = 20;                    // T.30 identity field
constexpr size_t kIdentityFrameSize = 2 + kIdentityLength;  // control, FCF, identity (TSI, CSI)
constexpr size_t kDcsFrameSize = 6;                       // control, FCF, 4 information bytes
constexpr int kNoScanExponent = -1;
constexpr int kBitRateCodes = 6;  // 0..5: 2400 to 14400 bit/s

// ---- command.cpp: commands and result words ----------------------------------
uint16_t SendCmd(const char *command, int32_t channel);
int WaitResult(int flags, int32_t channel);
void WaitOk(int32_t channel);
void WaitConnect(int32_t channel);
// The modulation command for a bit-rate code, or nullptr outside 0..5. The
// trace shows the code asked for and the channel's rate.
const char *TranslateCmd(int bit_rate, bool training, Direction direction, int32_t channel);
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
// DLE ETX: the byte is ETX and the DLE before it was not the second of a pair.
bool EndsFrame(bool dle_pending, uint8_t byte);
// Whether a DLE waits for its partner after this byte.
bool DlePendingAfter(bool dle_pending, uint8_t byte);
uint16_t RecvFrame(uint8_t *buffer, size_t size, int32_t channel);
// The frame the modem delivers unasked (after the dial's CONNECT, after
// EOM); one whose checksum the modem did not confirm is asked for again.
// read_failure, when not 0, is the code for a frame that could not be read.
uint16_t TakeFrame(uint8_t *frame, size_t size, int32_t channel, uint16_t read_failure);

// ---- coding.cpp: what the frames carry --------------------------------------------
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
    kKindPpr,
    kKindCtr,
    kKindErr,
    kKindRnr,
    kKindUnknown,
    kFrameKinds,
};
FrameKind KindOf(uint8_t fcf);
bool ValidRate(int bit_rate);
// Zero bytes of a training check (1.5 s) at the bit-rate code.
uint32_t TrainingBytes(int bit_rate);
// The bit-rate code a DCS information field asks for, or -1 for rate bits
// of no known modulation.
int DcsRate(const uint8_t *dcs_fif);
void SetParam(uint8_t *dcs_fif, int isfine, int isb4);
void SetRateBits(uint8_t *dcs_fif, int bit_rate);
void SetScanBits(uint8_t *dcs_fif, int exponent);
// The rate the receiver's DIS allows, starting from bit_rate.
int16_t AdjustBitRate(const uint8_t *dis_fif, int16_t bit_rate);
void BuildTsiId(uint8_t *identity, const char *local_id);
// What a DIS offers beyond the modulations: two-dimensional coding, error
// correction and, with it, MMR.
struct DisOffer {
    bool mr;
    bool mmr;
    bool ecm;
};
DisOffer ReadDisOffer(const uint8_t *dis_fif);
// How page data goes on the line: its coding and the error correction
// (TOLLAN_ECM_*), the best both the channel and the DIS offer.
struct LineMode {
    G3Coding coding;
    int16_t ecm;
};
LineMode ChooseLineMode(const DisOffer &offer, const FaxChannel &c);
// The mode's coding as the call report names it (TOLLAN_COMPRESS_*).
int32_t LineModeCompression(const LineMode &mode);
// The DCS bits of the mode: MR or MMR, error correction and its frame size.
void SetLineModeBits(uint8_t *dcs_fif, const LineMode &mode);
// The mode a DCS information field of length bytes asks for.
LineMode DcsLineMode(const uint8_t *dcs_fif, size_t length);
// The remote identity from a received identity field, into the channel's remote_id.
void CopyFIF(const uint8_t *start, int32_t channel);

// ---- page_data.cpp: page data ---------------------------------------------------
// The exponent of a scan_time code, which the DCS bits and the fill use.
int ScanExponent(int16_t scan_time);
// The end-of-page scanner over one modem's stream of page bytes: where the
// EOLs are (for the scan line fill), whether six of them have ended the page.
struct PageScan {
    uint32_t trailing_zero_bits;  // 0 bits at the end of the bytes scanned (capped at an EOL's 11)
    uint32_t line_byte_count;     // page bytes since the last filled EOL
    uint8_t nonzero_run;          // non-zero bytes since the last zero byte (wraps)
    int32_t eol_count;            // ChkRTC's count of RTC bytes; 0 while no RTC is open
    bool rtc_seen;                // ChkRTC found the page's RTC
    uint32_t eol_run;             // EOLs in a row with nothing but 0 bits between (bit exact)
};

// The only class 1 state that outlives a call, one per channel: the
// scanner's position in the modem's page stream (zero bits, line byte count,
// non-zero run) carries from page to page and call to call, so a page's first
// line is filled as the stream's previous line left it. Zero at load.
extern PageScan g_class1_page_scan[kMaxChannels];

// One page of a document: its base name, its number (from 1), the pages in all.
struct PageRef {
    const char *document;
    int16_t number;
    int16_t pages_total;
};

// The page bytes' way to the modem: the channel, its fill target, its scanner.
struct PageStream {
    int32_t channel;
    int scan_exponent;   // ScanExponent of scan_time; none: no fill
    uint32_t fill_unit;  // fill bytes a line per unit of the exponent, by bit rate
    PageScan *scan;
};
// The stream of the channel at its scan time and bit rate.
PageStream OpenPageStream(int32_t channel);

// Streams a page file, then RTC when the file's data did not end with one.
uint16_t SendFaxData(const PageRef &page, int32_t channel);
// The page at the channel's bit rate: its data and DLE ETX; the post-page
// frame is the procedure's.
uint16_t SendFaxFile(const PageRef &page, int32_t channel);
uint16_t TTYOut(uint8_t byte, PageStream &stream);
// The page file coded for the line (CodePageForLine), k by the channel's resolution.
uint16_t CodePageFile(const PageRef &page, int32_t channel, G3Coding coding, std::vector<uint8_t> *out);
// A page in a two-dimensional coding without error correction: coded, then
// sent at the channel's rate with its lines filled, and its data ended.
uint16_t SendCodedPage(const PageRef &page, int32_t channel, G3Coding coding);
// Whether the byte ends an EOL, given the 0 bits scanned before it.
bool EndsEol(uint32_t zero_bits_before, uint8_t byte);
// The 0 bits at the end of the stream once the byte is scanned.
uint32_t ZeroBitsAfter(uint32_t zero_bits_before, uint8_t byte);
void ChkRTC(uint8_t byte, PageScan &scan);

// ---- line_coding.cpp: page files coded for the line ----------------------------
// A page file's width: every page file holds A4 rows.
constexpr int32_t kLineWidth = 1728;
// The rows of a page file, read as the receiving terminal would (from the
// first EOL; the blank rows of its RTC not counted), coded for the line:
// MH, MR with a one-dimensional row every k rows, or MMR; the coding's end
// of page at the end. 0, TOLLAN_E_PAGE_TOO_LARGE past limit bytes or too many
// rows, TOLLAN_E_G3_END for a file without a row, TOLLAN_E_NO_MEMORY.
uint16_t CodePageForLine(FILE *file, int64_t limit, G3Coding coding, int k, std::vector<uint8_t> *out);
// Rows coded one way decoded and coded as MH for the page files: the inverse
// of CodePageForLine. rows_out counts the rows; bad the rows decoded wrongly.
struct LineDecode {
    uint16_t code;
    int32_t rows;
    int32_t bad_rows;
};
LineDecode DecodeLinePage(const uint8_t *data, size_t size, G3Coding coding, std::vector<uint8_t> *mh);
// MR's k: a one-dimensional row every 2 rows at standard resolution, 4 at fine.
int MrRowsPerOneD(int32_t resolution);

// ---- hdlc_bits.cpp: HDLC framing by the host, for page-rate frames ------------
struct HdlcBits {
    std::vector<uint8_t> *out;
    uint32_t bits;  // bits not yet a whole byte, the first in bit 0
    int count;
    int ones;       // ones in a row, for bit stuffing
};
// The frame check sequence of address, control and the rest of the frame.
uint16_t HdlcFcs(const uint8_t *data, size_t length);
void PutHdlcFlags(HdlcBits &w, int flags);
// frame: address first; its check and a closing flag follow it.
void PutHdlcFrame(HdlcBits &w, const uint8_t *frame, size_t length);
void FinishHdlcBits(HdlcBits &w);

// ---- ecm_frames.cpp: error correction frames, both directions ---------------------
constexpr size_t kEcmMapBytes = 32;        // 256 frames, 1 bit each
constexpr int kEcmFramesPerBlock = 256;
// PPRs for one block before the sender must continue (CTC) or end (EOR).
constexpr int kEcmPprsBeforeCtc = 4;
// CTCs for one block before the sender gives it up with EOR.
constexpr int kEcmCtcsPerBlock = 1;
// RR polls a receiver that is not ready may draw out for one block.
constexpr int kEcmMaxRrPolls = 20;
// A block's frames, 1 bit each: frame n is bit n % 8 of byte n / 8.
using EcmMap = std::array<uint8_t, kEcmMapBytes>;
inline bool EcmMapHas(const EcmMap &map, int frame) { return (map[static_cast<size_t>(frame) / 8] >> (frame % 8)) & 1; }
inline void EcmMapSet(EcmMap &map, int frame) { map[static_cast<size_t>(frame) / 8] |= static_cast<uint8_t>(1 << (frame % 8)); }
// Every frame of a block of frames frames.
EcmMap FullEcmMap(int frames);
int EcmMapCount(const EcmMap &map);
// The frame size of an error correction setting: 256 or 64 octets.
size_t EcmFrameSize(int16_t ecm);
// PPS's information field: the post-page command, the page and block
// numbers (mod 256) and the frames of the block less one.
struct PpsFields {
    uint8_t post_page;
    uint8_t page;
    uint8_t block;
    int frames;  // 1..256
};
// A PPS frame (control, FCF, 4 bytes) of length bytes: false when too short
// or naming an unknown post-page command.
bool ParsePps(const uint8_t *frame, size_t length, PpsFields *pps);
// A PPR frame's map (control, FCF, 32 bytes) of length bytes, frames past
// the block's frames dropped; false when the map is short.
bool ParsePpr(const uint8_t *frame, size_t length, int frames, EcmMap *map);
// An FCD frame (control, FCF, number, data) of length bytes: its number and
// where its data is; false when it has no data.
struct FcdFrame {
    int number;
    const uint8_t *data;
    size_t size;
};
bool ParseFcd(const uint8_t *frame, size_t length, FcdFrame *fcd);

// ---- t30_send.cpp: the T.30 sending procedure -----------------------------------
// Where a sending call stands. The called station's frames may come in any
// order; each is answered as FrameSense says whatever the phase, and the
// phase names what the call is doing or waiting for.
enum class SendPhase : uint8_t {
    kWaitDis,       // the station's frames up to its DIS (after the dial, after EOM)
    kTraining,      // TSI and DCS when the rate is new, then the training check
    kWaitCfr,       // the station's answer to the training check
    kSendPage,      // a page's data, then MPS or EOP (with ECM: the page coded, cut in blocks)
    kWaitPostPage,  // the station's answer to the post-page frame (PPS, CTC, EOR, RR)
    kDisconnect,    // DCN to the station
    kHangUp,        // ATH0 to the modem
    kDone,
    kSendBlock,     // ECM: a block's frames (or those PPR asked for), RCP, then PPS
};

// How the next frame of the called station is read.
enum class FrameRead : uint8_t {
    kFirst,  // delivered unasked after the dial's CONNECT
    kTake,   // delivered unasked after EOM
    kAsk,    // asked for with AT+FRH=3
};

// The page being sent with error correction, cut in blocks of frames.
struct EcmSend {
    std::vector<uint8_t> page;  // the page coded for the line
    size_t frame_size;          // 256 or 64 octets
    size_t block_start;         // the current block's first byte in page
    int frames;                 // frames in the current block
    int block;                  // the block's number in the page
    EcmMap to_send;             // frames of the block (still) to send
    bool pps_pending;           // the block's PPS (or CTC, EOR, RR) went out, unanswered
    uint8_t post_page;          // the PPS's post-page command
    int pprs;                   // PPRs for the block since it was sent whole or after CTC
    int ctcs;                   // CTCs for the block
    int rr_polls;               // RRs for the block
    bool eor_sent;              // the block was given up with EOR
};

// One class 1 sending call, for its whole length.
struct SendCall {
    int32_t channel;
    const char *document;  // base name of the page files
    int16_t pages_total;
    int16_t pages_confirmed;  // shown to the host as the channel's pages_sent
    SendPhase phase;
    FrameRead read;
    uint16_t code;         // the call's outcome so far
    bool page_pending;     // the post-page frame of page pages_confirmed + 1 went out, unanswered
    bool dis_seen;         // a DIS has set the rate the call trains at
    int16_t dis_rate;      // that rate; the channel keeps it after the call
    bool announce_rate;    // the next training goes after TSI and DCS
    int training_tries;    // training checks sent at the current rate
    int eom_rounds;        // EOM frames in the call
    uint8_t seen[kFrameKinds];  // frames of each kind since the last confirmed page
    DisOffer offer;        // what the last DIS offered
    LineMode mode;         // the coding and error correction the DCS chose
    EcmSend ecm;
    uint8_t tsi[kIdentityFrameSize];  // the TSI frame as last sent
    uint8_t dcs[kDcsFrameSize];       // the DCS frame as last sent: the negotiated parameters
    uint8_t frame[kFrameBufferSize];  // the station's last frame
};

// What comes after a frame, a phase's action or a failure: the next phase
// and the call's outcome so far.
struct Step {
    SendPhase next;
    uint16_t code;
};

// The call record as SendClass1Fax sets it up for a document.
SendCall NewSendCall(int32_t channel, const char *document, int16_t pages);
const char *PhaseName(SendPhase phase);
Step FrameSense(const uint8_t *frame, SendCall &call);
uint16_t SendTsiDcs(SendCall &call);

// ---- ecm_send.cpp: the sending steps of error correction ------------------------
// The next page coded for the line and its first block set up.
uint16_t BeginEcmPage(SendCall &call);
// The current block as it goes on the line at the bit-rate code: the
// frames of ecm.to_send and RCP, HDLC framed.
std::vector<uint8_t> EcmBlockBytes(const EcmSend &ecm, int bit_rate);
// The next block of the page set up; false after the last.
bool NextEcmBlock(SendCall &call);
// The block's frames still to send, RCP, PPS; the PPS then waits for its answer.
uint16_t SendEcmBlock(SendCall &call);
// CTC at the next lower rate (the lowest stays), EOR giving the block up, RR.
uint16_t SendCtc(SendCall &call);
uint16_t SendEor(SendCall &call);
uint16_t SendRr(SendCall &call);
uint16_t SendTCF(int32_t channel);

// ---- receive_data.cpp: what the modem says and delivers to a receiver -----------
// How a received page is answered, judged by its lines.
enum class PageVerdict : uint8_t { kNone, kMcf, kRtp, kRtn };

// What decoding a received page found.
struct PageQuality {
    int32_t lines;      // rows of the page, its end of page not counted
    int32_t bad_lines;
    int32_t longest_bad_run;
    bool rtc_found;     // the page ended with its end-of-page code
};

// A result word after a receive command: a carrier that is not the one asked
// for ("+FCERROR") is not a plain ERROR.
enum class Word : uint8_t { kNone, kConnect, kOk, kNoCarrier, kFcError, kError };
// The modem's word after DLE ETX or after an aborted receive command.
constexpr uint32_t kResultWaitMs = 3000;
// Lines until one holds a word, or the deadline (kNone; *code tells why a
// read failed).
Word AwaitWord(int32_t channel, const FaxDeadline &deadline, uint16_t *code);
// A receive command that heard nothing in time is ended by any character;
// the modem answers OK. 0, or the call's own limit codes and write failures.
uint16_t AbortReceive(int32_t channel);
// What waiting for a carrier gave.
enum class Heard : uint8_t { kConnect, kSilence, kOtherCarrier, kNoCarrier, kError, kFailed };
struct Hearing {
    Heard what;
    uint16_t code;  // kFailed: why
};
// Sends a receive command and waits for CONNECT until limit_ms; a wait that
// hears nothing is aborted.
Hearing AwaitCarrier(const char *command, uint32_t limit_ms, int32_t channel);
// The modem's word after DLE ETX (NO CARRIER, or OK).
void AwaitDataEnd(int32_t channel);
// A training check after CONNECT, up to DLE ETX or 5 s: its bytes and its
// longest run of zero bytes. code 0, 117 when it did not end in time, or a
// read failure.
struct TrainingCheck {
    uint16_t code;
    uint32_t bytes;
    uint32_t longest_zero_run;
};
TrainingCheck ReadTrainingCheck(int32_t channel);
// Page data after CONNECT into file, DLE pairs undone, up to DLE ETX; *count
// counts the data bytes. 0; 117 after 10 s without a byte; 151 past limit
// bytes; 153 the file took no more; read failures, the call's limit codes.
uint16_t ReadPageData(int32_t channel, FILE *file, int64_t limit, int64_t *count);

// The answer to a page of this quality: MCF for at least 95 % good lines
// and no more than kMcfBadRun bad lines in a row; RTP (kept, but the line
// must train again) for at least 85 % and no more than kRtpBadRun; RTN below,
// or for a page without a line.
PageVerdict JudgeQuality(const PageQuality &quality);
// Decodes a received page file and counts its lines.
PageQuality CheckQuality(const char *path);

// ---- ecm_receive.cpp: the receiving steps of error correction -----------------
// The page being received with error correction: its blocks so far, each
// frame at its place.
struct EcmReceive {
    std::vector<uint8_t> page;
    G3Coding coding;
    size_t frame_size;
    size_t limit;          // bytes the page may have
    size_t block_start;    // the current block's place in page
    EcmMap received;       // frames of the current block received whole
    bool rcp_seen;
    int bad_frames;        // frames whose check failed, in the last block read
    bool overflow;         // a frame fell past limit
};
// The HDLC frame reader over page-rate data.
struct HdlcReader {
    uint8_t frame[4 + 256 + 2];
    size_t length;
    uint8_t bits;
    int bit_count;
    int ones;
    bool in_frame;
    bool overflow;
};
void FeedHdlc(HdlcReader &r, uint8_t byte, EcmReceive &ecm);
void StartEcmReceivePage(EcmReceive &ecm, const LineMode &mode);
// A frame (control, FCF, information) whose check was good.
void TakeEcmFrame(EcmReceive &ecm, const uint8_t *frame, size_t length);
// The frames of a block of frames frames not received whole.
EcmMap MissingFrames(const EcmReceive &ecm, int frames);
// The block of frames frames is complete (or given up): the next starts after it.
void EndEcmBlock(EcmReceive &ecm, int frames);
// The page's blocks decoded in its coding and coded as MH.
LineDecode EcmPageAsMh(const EcmReceive &ecm, std::vector<uint8_t> *mh);
// A block's data after CONNECT, up to DLE ETX, its frames taken.
uint16_t ReadEcmBlock(int32_t channel, EcmReceive &ecm);
// A page file received in coding rewritten as MH.
uint16_t RecodeFileAsMh(const char *path, G3Coding coding, int64_t limit);

// ---- t30_receive.cpp: the T.30 receiving procedure -----------------------------
// Where a receiving call stands. The caller's commands drive it; each phase
// names what the call is doing or waiting for.
enum class ReceivePhase : uint8_t {
    kAnswer,        // ATA, up to the modem's CONNECT
    kIdentify,      // CSI and DIS to the caller (phase B, again after EOM)
    kWaitCommand,   // the caller's frames: TSI, DCS, post-page commands, DCN
    kTraining,      // the training check received and judged, CFR or FTT
    kPageData,      // a page at the DCS modulation, written as it arrives
    kDisconnect,    // DCN to the caller
    kHangUp,        // ATH0 to the modem
    kDone,
};

// A modulation a DCS may ask for, and its receive commands.
struct ReceiveRate {
    uint8_t dcs_bits;
    int16_t bit_rate;  // the rate code of the same speed: offered when the channel's rate reaches it
    bool v17;
    const char *training;     // receive command, long training
    const char *page;         // receive command, short training
    uint32_t training_bytes;  // of the 1.5 s training check
};
// The modulation a DCS information field of length bytes asks for, when it
// asks only for what the DIS built from the channel's settings offered; else
// nullptr.
const ReceiveRate *DcsModulation(const uint8_t *dcs_fif, size_t length, const FaxChannel &c);
// The DIS information field (3 bytes, 4 with error correction) for the
// channel's settings, and its length.
void BuildDis(uint8_t *dis_fif, const FaxChannel &c);
size_t DisFieldLength(const FaxChannel &c);
