// Error correction on the line, as the far end of a class 1 modem's host
// sees it: the host frames page data in HDLC itself and hands it to its
// modem as plain data, so the emulated station must find flags, undo bit
// stuffing and check each frame. A block of up to 256 numbered frames ends
// with RCP; the exchange about it (PPS, PPR, CTC, EOR, RR and their
// answers) goes as ordinary control frames.
#include <algorithm>

#include "sim/sim_internal.h"

// ---- the bit stream --------------------------------------------------------

uint16_t SimHdlcCheck(const uint8_t *data, size_t n) {
    // The 16-bit check of the control frames, computed bit by bit: the
    // generator x^16 + x^12 + x^5 + 1 taken least significant bit first.
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
    return static_cast<uint16_t>(~crc);
}

namespace {

constexpr uint8_t kFlagBits = 0x7E;

// Bits gathered into bytes, the first bit in the least significant place.
struct BitSink {
    Bytes *out = nullptr;
    unsigned acc = 0;
    int used = 0;
    int ones = 0;  // data ones in a row, for stuffing

    void Raw(int bit) {
        acc |= static_cast<unsigned>(bit) << used;
        if (++used == 8) {
            out->push_back(static_cast<uint8_t>(acc));
            acc = 0;
            used = 0;
        }
    }
    void Flag() {
        for (int k = 0; k < 8; ++k) Raw((kFlagBits >> k) & 1);
        ones = 0;
    }
    void Data(uint8_t byte) {
        for (int k = 0; k < 8; ++k) {
            const int bit = (byte >> k) & 1;
            Raw(bit);
            ones = bit ? ones + 1 : 0;
            if (ones == 5) {
                Raw(0);
                ones = 0;
            }
        }
    }
    void Idle() {
        while (used != 0) Raw(1);
    }
};

}  // namespace

Bytes SimHdlcEncode(const std::vector<Bytes> &frames, const std::vector<bool> &spoil, size_t lead) {
    Bytes out;
    BitSink sink;
    sink.out = &out;
    // At least one flag opens the first frame.
    for (size_t i = 0; i < std::max<size_t>(lead, 1); ++i) sink.Flag();
    for (size_t f = 0; f < frames.size(); ++f) {
        const Bytes &frame = frames[f];
        uint16_t check = SimHdlcCheck(frame.data(), frame.size());
        if (f < spoil.size() && spoil[f]) check ^= 0x0101;
        for (uint8_t b : frame) sink.Data(b);
        sink.Data(static_cast<uint8_t>(check & 0xFF));
        sink.Data(static_cast<uint8_t>(check >> 8));
        sink.Flag();
    }
    sink.Flag();
    sink.Idle();
    return out;
}

namespace {

// Undoes the framing: a run of ones decides what the zero after it means.
struct BitSource {
    std::vector<Bytes> *frames = nullptr;
    int *bad = nullptr;
    Bytes frame;
    unsigned acc = 0;
    int used = 0;
    int ones = 0;
    bool open = false;

    void Close() {
        // The closing flag's first zero went in as a data bit: a frame
        // ends one bit past a byte boundary, with at least address,
        // control and the check; anything else is noise between flags.
        if (open && used == 1 && frame.size() >= 4) {
            const size_t n = frame.size() - 2;
            const uint16_t check = SimHdlcCheck(frame.data(), n);
            if (frame[n] == (check & 0xFF) && frame[n + 1] == (check >> 8)) {
                frame.resize(n);
                frames->push_back(frame);
            } else {
                ++*bad;
            }
        }
        frame.clear();
        acc = 0;
        used = 0;
        open = true;
    }
    void Data(int bit) {
        if (!open) return;
        acc |= static_cast<unsigned>(bit) << used;
        if (++used < 8) return;
        if (frame.size() < 4 + 256 + 2 + 16) frame.push_back(static_cast<uint8_t>(acc));
        acc = 0;
        used = 0;
    }
    void Bit(int bit) {
        if (bit) {
            if (++ones > 6) {
                open = false;  // an abort, or idle line
                ones = 7;
            }
            return;
        }
        const int run = ones;
        ones = 0;
        if (run == 6) {
            Close();
            return;
        }
        if (run == 7) return;
        for (int k = 0; k < run; ++k) Data(1);
        if (run != 5) Data(0);  // after five ones a zero was stuffed
    }
};

}  // namespace

std::vector<Bytes> SimHdlcDecode(const Bytes &bits, int *bad) {
    std::vector<Bytes> frames;
    int ignored = 0;
    if (bad) *bad = 0;
    BitSource source;
    source.frames = &frames;
    source.bad = bad ? bad : &ignored;
    for (uint8_t byte : bits)
        for (int k = 0; k < 8; ++k) source.Bit((byte >> k) & 1);
    return frames;
}

// ---- the procedure ---------------------------------------------------------

namespace {

constexpr int kFramesPerBlock = 256;
constexpr int kPprsBeforeCtc = 4;
constexpr int kCtcsPerBlock = 1;
constexpr int kRcpRepeats = 3;
constexpr int kMaxRrPolls = 50;  // a receiver not ready for longer is given up
constexpr uint8_t kPostPageNull = 0x00;
constexpr uint8_t kControl = 0x03;

bool MapHas(const EcmMap &map, int n) { return (map[static_cast<size_t>(n / 8)] >> (n % 8)) & 1; }
void MapSet(EcmMap &map, int n) { map[static_cast<size_t>(n / 8)] |= static_cast<uint8_t>(1u << (n % 8)); }
int MapCount(const EcmMap &map) {
    int count = 0;
    for (uint8_t b : map) count += __builtin_popcount(b);
    return count;
}

EcmMap FullMap(int frames) {
    EcmMap map{};
    for (int n = 0; n < frames; ++n) MapSet(map, n);
    return map;
}

int FrameSize(const T30 &t) { return t.params.ecm_frame == 64 ? 64 : 256; }

bool ListHas(const std::vector<int> &list, int value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

// Whether the line spoils this page data frame (page 1-based, frame
// numbered in the page): frames chosen once, every n-th, or one that
// sticks. A station applies it to the frames it sends or takes.
bool LineSpoils(T30 &t, int page, int frame) {
    EcmLine &e = t.ecm_line;
    ++e.frames_on_line;
    if (!t.faults) return false;
    const SimFaults &f = *t.faults;
    if (f.ecm_bad_every > 0 && e.frames_on_line % f.ecm_bad_every == 0) return true;
    if (f.ecm_stuck_page == page && frame == 0 && e.stuck_sent < f.ecm_stuck_times) {
        ++e.stuck_sent;
        return true;
    }
    if (f.ecm_bad_page == page && ListHas(f.ecm_bad_frames, frame) && !ListHas(e.spoiled, frame)) {
        e.spoiled.push_back(frame);
        return true;
    }
    return false;
}

// ---- sending ----

void StartBlock(EcmLine &e, size_t start, int block, int frame_size) {
    const size_t left = e.page.size() > start ? e.page.size() - start : 0;
    const size_t fs = static_cast<size_t>(frame_size);
    e.block_start = start;
    e.block = block;
    e.frames = std::max(1, static_cast<int>(std::min<size_t>((left + fs - 1) / fs, kFramesPerBlock)));
    e.to_send = FullMap(e.frames);
    e.pprs = 0;
    e.ctcs = 0;
    e.eor_sent = false;
    e.first_pass = true;
    e.rr_polls = 0;
}

bool LastBlock(const EcmLine &e, int frame_size) {
    return e.block_start + static_cast<size_t>(e.frames) * static_cast<size_t>(frame_size) >= e.page.size();
}

void SendCommand(Sim &sim, T30 &t, uint8_t fcf, const Bytes &fif) {
    t.ecm_line.last_command.assign(1, fcf);
    t.ecm_line.last_command.insert(t.ecm_line.last_command.end(), fif.begin(), fif.end());
    T30SendFrame(sim, t, true, T30WithX(t, fcf), fif);
    T30SetState(t, T30State::kWaitPpr, T30After(sim, t, sim.config.timings.t4));
}

uint8_t PostPage(const T30 &t) {
    return LastBlock(t.ecm_line, FrameSize(t)) ? T30WithX(t, T30PpmFcf(t.ecm_line.ppm)) : kPostPageNull;
}

// The frames still to send and RCP at the page rate, flags first for about
// a fifth of a second, then PPS.
void SendBlock(Sim &sim, T30 &t) {
    EcmLine &e = t.ecm_line;
    const int fs = FrameSize(t);
    std::vector<Bytes> frames;
    std::vector<bool> spoil;
    for (int n = 0; n < e.frames; ++n) {
        if (!MapHas(e.to_send, n)) continue;
        Bytes frame{0xFF, kControl, Fcf::kFcd, static_cast<uint8_t>(n)};
        const size_t at = e.block_start + static_cast<size_t>(n) * static_cast<size_t>(fs);
        const size_t end = std::min(e.page.size(), at + static_cast<size_t>(fs));
        if (at < end) frame.insert(frame.end(), e.page.begin() + static_cast<long>(at), e.page.begin() + static_cast<long>(end));
        frame.resize(4 + static_cast<size_t>(fs), 0);
        frames.push_back(std::move(frame));
        spoil.push_back(LineSpoils(t, e.page_number, e.block * kFramesPerBlock + n));
    }
    for (int i = 0; i < kRcpRepeats; ++i) frames.push_back(Bytes{0xFF, kControl, Fcf::kRcp});
    const Modulation &mod = *t.params.mod;
    LineSignal carrier;
    carrier.kind = SignalKind::kCarrier;
    carrier.bps = mod.bps;
    carrier.family = mod.family;
    ExchangeSend(sim, t.self, carrier);
    LineSignal burst;
    burst.kind = SignalKind::kBurst;
    burst.page = true;
    burst.bps = mod.bps;
    burst.family = mod.family;
    burst.bytes = SimHdlcEncode(frames, spoil, static_cast<size_t>(mod.bps) / 8 / 5);
    ExchangeSend(sim, t.self, burst);
    e.first_pass = false;
    t.retries = 0;
    SendCommand(sim, t, Fcf::kPps,
                {PostPage(t), static_cast<uint8_t>(e.page_number - 1), static_cast<uint8_t>(e.block),
                 static_cast<uint8_t>(e.frames - 1)});
}

// The block is through (MCF, or ERR after EOR): the next block, or the page is done.
uint8_t BlockDone(Sim &sim, T30 &t) {
    EcmLine &e = t.ecm_line;
    const int fs = FrameSize(t);
    if (LastBlock(e, fs)) return Fcf::kMcf;
    StartBlock(e, e.block_start + static_cast<size_t>(e.frames) * static_cast<size_t>(fs), e.block + 1, fs);
    SendBlock(sim, t);
    return 0;
}

// After the fourth PPR: CTC one rate lower (the lowest stays), or EOR.
void GoOnOrGiveUp(Sim &sim, T30 &t) {
    EcmLine &e = t.ecm_line;
    e.pprs = 0;
    if (e.ctcs++ < kCtcsPerBlock && !(t.faults && t.faults->ecm_eor)) {
        if (const Modulation *lower = T30LowerModulation(t)) t.params.mod = lower;
        ++e.ctcs_total;
        const Modulation &m = *t.params.mod;
        SendCommand(sim, t, Fcf::kCtc, {0x00, static_cast<uint8_t>(m.dcs_bits | (t.params.fine ? 0x40 : 0))});
        return;
    }
    ++e.eors_total;
    e.eor_sent = true;
    SendCommand(sim, t, Fcf::kEor, {PostPage(t)});
}

}  // namespace

void EcmStartCall(T30 &t) {
    const bool hdlc = t.hdlc_ecm;
    t.ecm_line = EcmLine{};
    t.hdlc_ecm = hdlc;
    t.ecm_line.rnr_left = t.faults ? t.faults->ecm_rnr : 0;
}

void EcmSendPage(Sim &sim, T30 &t, int ppm) {
    EcmLine &e = t.ecm_line;
    e.ppm = ppm;
    StartBlock(e, 0, 0, FrameSize(t));
    SendBlock(sim, t);
}

uint8_t EcmSenderAnswer(Sim &sim, T30 &t, uint8_t fcf, const uint8_t *fif, size_t n) {
    EcmLine &e = t.ecm_line;
    switch (fcf) {
    case Fcf::kMcf:
        return BlockDone(sim, t);
    case Fcf::kErr:
        return e.eor_sent ? BlockDone(sim, t) : 0;
    case Fcf::kPpr: {
        if (e.eor_sent) return 0;
        EcmMap map{};
        const EcmMap block = FullMap(e.frames);
        for (size_t i = 0; i < map.size() && i < n; ++i) map[i] = fif[i] & block[i];
        e.to_send = map;
        ++e.pprs_total;
        e.frames_resent += MapCount(map);
        const bool forever = t.faults && t.faults->ecm_forever;
        if (++e.pprs < kPprsBeforeCtc || forever) SendBlock(sim, t);
        else GoOnOrGiveUp(sim, t);
        return 0;
    }
    case Fcf::kCtr:
        SendBlock(sim, t);
        return 0;
    case Fcf::kRnr:
        if (++e.rr_polls > kMaxRrPolls) {
            T30Disconnect(sim, t, 50);
            return 0;
        }
        SendCommand(sim, t, Fcf::kRr, {});
        return 0;
    default:
        return fcf;  // not about the block: the procedure's as ever
    }
}

void EcmSenderRepeat(Sim &sim, T30 &t) {
    const Bytes &c = t.ecm_line.last_command;
    if (c.empty()) return;
    T30SendFrame(sim, t, true, T30WithX(t, c[0]), Bytes(c.begin() + 1, c.end()));
}

// ---- receiving ----

namespace {

void Answer(Sim &sim, T30 &t, uint8_t fcf, const Bytes &fif, T30State next) {
    T30SendFrame(sim, t, true, fcf, fif);
    t.last_response = MakeFrame(true, fcf, fif);
    T30SetState(t, next, T30After(sim, t, sim.config.timings.t2));
}

// The block's frames in order onto the page; a frame given up is zeros.
void KeepBlock(T30 &t, int frames) {
    EcmLine &e = t.ecm_line;
    const size_t fs = static_cast<size_t>(FrameSize(t));
    for (int n = 0; n < frames; ++n) {
        const size_t i = static_cast<size_t>(n);
        if (i < e.got.size() && !e.got[i].empty()) e.assembled.insert(e.assembled.end(), e.got[i].begin(), e.got[i].end());
        else e.assembled.insert(e.assembled.end(), fs, 0);
    }
    e.got.clear();
}

// The block is in (or given up): MCF (ERR) for a block within the page; the
// page's last one hands the page over for the post-page answer.
void EndBlock(Sim &sim, T30 &t, uint8_t post_page, int frames, bool by_eor) {
    EcmLine &e = t.ecm_line;
    KeepBlock(t, frames);
    e.frames = 0;
    e.pending_pps.clear();
    e.rnr_left = t.faults ? t.faults->ecm_rnr : 0;
    if ((post_page & 0xFE) == kPostPageNull) {
        ++e.block;
        Answer(sim, t, by_eor ? Fcf::kErr : Fcf::kMcf, {}, T30State::kWaitPage);
        return;
    }
    e.block = 0;
    t.page.swap(e.assembled);
    e.assembled.clear();
    e.page_by_eor = by_eor;
    t.page_lines = CountPageLines(t.page);
    T30Emit(t, T30EventKind::kPage);
    t.last_ppm = T30PpmOf(static_cast<uint8_t>(post_page & 0xFE));
    T30SetState(t, T30State::kHavePpm, kNever);
    T30Emit(t, T30EventKind::kPpm, t.last_ppm);
}

void TakePps(Sim &sim, T30 &t, const Bytes &pps) {
    EcmLine &e = t.ecm_line;
    // A block keeps the size its first PPS gave, whatever a PPS after PPR says.
    e.frames = std::max(e.frames, pps[3] + 1);
    const int frames = e.frames;
    EcmMap missing{};
    for (int n = 0; n < frames; ++n)
        if (static_cast<size_t>(n) >= e.got.size() || e.got[static_cast<size_t>(n)].empty()) MapSet(missing, n);
    if (MapCount(missing) > 0) {
        ++e.pprs_total;
        e.frames_resent += MapCount(missing);
        Answer(sim, t, Fcf::kPpr, Bytes(missing.begin(), missing.end()), T30State::kWaitPage);
        return;
    }
    if (e.rnr_left > 0) {
        --e.rnr_left;
        e.pending_pps = pps;
        Answer(sim, t, Fcf::kRnr, {}, T30State::kWaitPpm);
        return;
    }
    EndBlock(sim, t, pps[0], frames, false);
}

}  // namespace

void EcmReceiveBlock(Sim &sim, T30 &t, const LineSignal &s) {
    EcmLine &e = t.ecm_line;
    const int page = t.pages + 1;
    const int block = e.block;
    int bad = 0;
    for (const Bytes &f : SimHdlcDecode(s.bytes, &bad)) {
        if (f.size() < 4 || (f[2] & 0xFE) != Fcf::kFcd) continue;  // RCP, or not page data
        const size_t number = f[3];
        if (LineSpoils(t, page, block * kFramesPerBlock + static_cast<int>(number))) {
            ++bad;
            continue;
        }
        if (f.size() - 4 > static_cast<size_t>(FrameSize(t))) continue;
        if (e.got.size() <= number) e.got.resize(number + 1);
        e.got[number].assign(f.begin() + 4, f.end());
    }
    e.bad_frames += bad;
    t.page_began = s.began;
    T30SetState(t, T30State::kWaitPpm, T30After(sim, t, sim.config.timings.t2));
}

bool EcmReceiverFrame(Sim &sim, T30 &t, uint8_t fcf, const uint8_t *fif, size_t n) {
    EcmLine &e = t.ecm_line;
    const bool waiting = t.state == T30State::kWaitPage || t.state == T30State::kWaitPpm || t.state == T30State::kWaitDcn;
    switch (fcf) {
    case Fcf::kPps: {
        if (n < 4 || !waiting) return true;
        if (t.faults && t.faults->ecm_pps_mute) {
            // Says nothing, and waits until the sender gives up.
            T30SetState(t, t.state, kNever);
            return true;
        }
        const Bytes pps(fif, fif + 4);
        const int id = pps[1] | pps[2] << 8 | (pps[0] & 0xFE) << 16;
        if (id == e.answered_id && t.state != T30State::kWaitPpm && !t.last_response.empty()) {
            // Our answer was lost: the same again.
            T30SendFrame(sim, t, true, t.last_response[2], Bytes(t.last_response.begin() + 3, t.last_response.end()));
            return true;
        }
        if (t.state == T30State::kWaitDcn) return true;
        e.answered_id = id;
        TakePps(sim, t, pps);
        return true;
    }
    case Fcf::kRr:
        if (t.faults && t.faults->ecm_pps_mute) return true;
        if (!e.pending_pps.empty()) TakePps(sim, t, Bytes(e.pending_pps));
        else if (!t.last_response.empty())
            T30SendFrame(sim, t, true, t.last_response[2], Bytes(t.last_response.begin() + 3, t.last_response.end()));
        return true;
    case Fcf::kCtc:
        if (n >= 2) {
            const Modulation *m = ModulationByDcsBits(fif[1]);
            if (m) t.params.mod = (fif[1] & 0x20) ? m : ModulationByBr(m->br, m->family);
        }
        ++e.ctcs_total;
        Answer(sim, t, Fcf::kCtr, {}, T30State::kWaitPage);
        return true;
    case Fcf::kEor: {
        if (n < 1 || !waiting || t.state == T30State::kWaitDcn) return true;
        ++e.eors_total;
        // The block's size is its first PPS's.
        const int frames = std::max(e.frames, static_cast<int>(e.got.size()));
        EndBlock(sim, t, fif[0], std::max(frames, 1), true);
        return true;
    }
    default:
        return false;
    }
}
