// The T.30 procedure as the built-in stations and the class 2 and 2.0 modems
// run it: the receiver sends CSI and DIS, checks the training, takes pages
// and answers post-page messages; the sender answers DIS with TSI, DCS and
// the training check, sends pages and post-page messages. Whoever owns the
// record acts on its events; the T.30 timers and repeats live here.
#include <algorithm>
#include <cstdio>

#include "sim/sim_internal.h"

namespace {

constexpr int kMaxRepeats = 3;  // T.30: a command goes out at most three times

void Emit(T30 &t, T30EventKind kind, int value = 0) { t.events.push_back({kind, value}); }

void SetState(T30 &t, T30State state, SimTime deadline) {
    t.state = state;
    t.deadline = deadline;
}

// T.30 timers run from the end of what this end has put on the line.
SimTime After(Sim &sim, const T30 &t, uint32_t ms) { return ExchangeLineFree(sim, t.self) + ms; }

void SendFrame(Sim &sim, T30 &t, bool final, uint8_t fcf, const Bytes &fif = {}) {
    LineSignal s;
    s.kind = SignalKind::kFrame;
    s.bytes = MakeFrame(final, fcf, fif);
    s.good_check = !(t.faults && FaultBadFrameNow(*t.faults, t.fault_state));
    s.bps = 300;
    s.family = Family::kV21;
    ExchangeSend(sim, t.self, s);
}

void SendBurst(Sim &sim, T30 &t, Bytes data, bool page = false) {
    LineSignal s;
    s.kind = SignalKind::kBurst;
    s.page = page;
    s.bytes = std::move(data);
    s.bps = t.params.mod->bps;
    s.family = t.params.mod->family;
    ExchangeSend(sim, t.self, s);
}

// The caller sets the X bit of its frames, the answerer leaves it clear.
// EOM with the X bit set, as a calling station sends it: the form a caller
// acts on, so the hostile station's answer is taken for an EOM.
constexpr uint8_t kHostileEom = Fcf::kEom | 1;

uint8_t WithX(const T30 &t, uint8_t fcf) {
    return t.role == T30Role::kSender ? static_cast<uint8_t>(fcf | 1) : fcf;
}

uint8_t DisRateBitsForBr(int br) {
    if (br >= 4) return 0x2C;
    if (br >= 2) return 0x0C;
    if (br == 1) return 0x08;
    return 0x00;
}

// T.30 bits of the codings and error correction: two-dimensional coding in
// the second octet, the third octet's extension bit, and in the fourth
// error correction, 64-octet frames (DCS) and T.6 coding.
constexpr uint8_t kMrBit = 0x80, kExtendBit = 0x80, kEcmBit = 0x04, kFrame64Bit = 0x08, kMmrBit = 0x40;

// Adds the coding and error correction bits; the fourth octet only when it
// says something, so that a plain end's frames stay as they always were.
void AddCodingBits(Bytes &fif, int df, bool ecm, bool frame64) {
    if (df == 1 || (df == 3 && !ecm)) fif[1] = static_cast<uint8_t>(fif[1] | kMrBit);
    if (!ecm && df != 3) return;
    fif[2] = static_cast<uint8_t>(fif[2] | kExtendBit);
    fif.push_back(static_cast<uint8_t>((ecm ? kEcmBit : 0) | (frame64 ? kFrame64Bit : 0) | (df == 3 ? kMmrBit : 0)));
}

bool Offers(const Bytes &dis, int octet, uint8_t bit) {
    if (octet == 3 && !(dis.size() > 2 && (dis[2] & kExtendBit))) return false;
    return dis.size() > static_cast<size_t>(octet) && (dis[static_cast<size_t>(octet)] & bit) != 0;
}

void SendCsiDis(Sim &sim, T30 &t) {
    uint8_t rates = static_cast<uint8_t>(t.rates & DisRateBitsForBr(t.max_br));
    if (t.max_br >= 1 && rates == 0) rates = 0x08;
    Bytes dis{0x00,
              static_cast<uint8_t>((t.can_receive ? 0x02 : 0x00) | rates | (t.fine ? 0x40 : 0x00)),
              static_cast<uint8_t>(0x04 | ScanBitsForMs(t.scan_ms))};
    // An MMR receiver also takes MR.
    if (t.df_max >= 1) dis[1] = static_cast<uint8_t>(dis[1] | kMrBit);
    AddCodingBits(dis, t.ecm && t.df_max >= 3 ? 3 : 0, t.ecm, false);
    SendFrame(sim, t, false, Fcf::kCsi, EncodeIdentity(t.local_id));
    SendFrame(sim, t, true, Fcf::kDis, dis);
}

void End(Sim &sim, T30 &t, int code, bool send_dcn) {
    if (t.state == T30State::kEnded) return;
    if (send_dcn) SendFrame(sim, t, true, WithX(t, Fcf::kDcn));
    ExchangeHangUp(sim, t.self);
    t.hangup_code = code;
    SetState(t, T30State::kEnded, kNever);
    Emit(t, T30EventKind::kEnded, code);
}

// Hang-up code for a call lost in the given state (class 2 numbering).
int LostCode(const T30 &t) {
    switch (t.state) {
    case T30State::kWaitDis: return 11;
    case T30State::kHaveDis: case T30State::kWaitCfr: return 20;
    case T30State::kTrained: return 40;
    case T30State::kWaitPpr: case T30State::kHavePpr: return 50;
    case T30State::kWaitDcs: case T30State::kWaitTcf: return 70;
    case T30State::kWaitPage: case T30State::kWaitPpm: return 90;
    case T30State::kHavePpm: return 100;
    default: return 0;
    }
}

int RemoteDisTopBr(const Bytes &dis) {
    uint8_t r = dis.size() > 1 ? dis[1] & 0x3C : 0;
    if (r & 0x20) return 5;
    if (r & 0x04) return 3;
    if (r & 0x08) return 1;
    return 0;
}

// The fastest modulation both ends have, at most max_bps.
const Modulation *ChooseModulation(const T30 &t, int max_bps) {
    uint8_t r = t.remote_dis.size() > 1 ? t.remote_dis[1] : 0;
    for (int br = t.max_br; br >= t.min_br; --br) {
        for (Family f : {Family::kV17, Family::kV29, Family::kV27ter}) {
            const Modulation *m = ModulationByBr(br, f);
            if (m && m->family == f && m->bps <= max_bps && DisOffers(r, *m) && DisOffers(t.rates, *m)) return m;
        }
    }
    return nullptr;
}

void SendTsiDcsTcf(Sim &sim, T30 &t) {
    const T30Params &p = t.params;
    bool first = ++t.trainings == 1;
    Bytes dcs{0x00, static_cast<uint8_t>(0x02 | p.mod->dcs_bits | (p.fine ? 0x40 : 0x00)),
              static_cast<uint8_t>(0x04 | ScanBitsForMs(p.scan_ms))};
    AddCodingBits(dcs, p.df, p.ecm_frame != 0, p.ecm_frame == 64);
    if (first && t.faults && t.faults->bad_dcs) dcs[1] |= 0x80;  // two-dimensional coding
    SendFrame(sim, t, false, WithX(t, Fcf::kTsi), EncodeIdentity(t.local_id));
    SendFrame(sim, t, true, WithX(t, Fcf::kDcs), dcs);
    SetState(t, T30State::kWaitCfr, kNever);
    if (T30FaultCuts(sim, t, SimPhase::kTraining)) return;
    Bytes tcf(static_cast<size_t>(p.mod->bps) * 3 / 16, 0);  // 1.5 s of zeros
    if (first && t.faults && t.faults->bad_tcf)
        for (size_t i = 5; i < tcf.size(); i += 7) tcf[i] = 0x5A;  // no run of zeros longer than 6 bytes
    SendBurst(sim, t, std::move(tcf));
    SetState(t, T30State::kWaitCfr, After(sim, t, sim.config.timings.t4));
}

bool TrainingGood(const T30 &t, const LineSignal &s) {
    if (!t.params.mod || s.bps != t.params.mod->bps || s.family != t.params.mod->family) return false;
    size_t zeros = static_cast<size_t>(std::count(s.bytes.begin(), s.bytes.end(), 0));
    return s.bytes.size() >= static_cast<size_t>(s.bps) / 8 && zeros * 100 >= s.bytes.size() * 99;
}

bool SameModulation(const T30 &t, const LineSignal &s) {
    return t.params.mod && s.bps == t.params.mod->bps && s.family == t.params.mod->family;
}

uint8_t PpmFcf(int ppm) {
    return ppm == kPpmMps ? Fcf::kMps : ppm == kPpmEom ? Fcf::kEom : Fcf::kEop;
}

int PpmOf(uint8_t fcf) {
    return fcf == Fcf::kMps ? kPpmMps : fcf == Fcf::kEom ? kPpmEom : kPpmEop;
}

int PprOf(uint8_t fcf) {
    switch (fcf) {
    case Fcf::kMcf: return kPprMcf;
    case Fcf::kRtn: return kPprRtn;
    case Fcf::kRtp: return kPprRtp;
    case Fcf::kPin: return kPprPin;
    default: return kPprPip;
    }
}

void ReceiverFrame(Sim &sim, T30 &t, uint8_t fcf, const Bytes &f) {
    const uint8_t *fif = f.data() + 3;
    size_t fif_len = f.size() > 3 ? f.size() - 3 : 0;
    switch (fcf) {
    case Fcf::kTsi:
        t.remote_id = DecodeIdentity(fif, std::min<size_t>(fif_len, 20));
        Emit(t, T30EventKind::kRemoteId);
        return;
    case Fcf::kDcs: {
        const Modulation *m = fif_len > 1 ? ModulationByDcsBits(fif[1]) : nullptr;
        if (!m) return;
        t.params.mod = (fif[1] & 0x20) ? m : ModulationByBr(m->br, m->family);
        t.params.fine = (fif[1] & 0x40) != 0;
        t.params.scan_ms = fif_len > 2 ? ScanMsForBits(fif[2]) : 20;
        const Bytes dcs(fif, fif + fif_len);
        t.params.df = Offers(dcs, 3, kMmrBit) ? 3 : Offers(dcs, 1, kMrBit) ? 1 : 0;
        t.params.ecm_frame = Offers(dcs, 3, kEcmBit) ? (Offers(dcs, 3, kFrame64Bit) ? 64 : 256) : 0;
        t.ecm_line.on = t.hdlc_ecm && t.params.ecm_frame != 0;
        Emit(t, T30EventKind::kDcs);
        SetState(t, T30State::kWaitTcf, After(sim, t, sim.config.timings.t2));
        return;
    }
    case Fcf::kMps: case Fcf::kEop: case Fcf::kEom:
        if (t.state == T30State::kWaitPage && !t.last_response.empty()) {
            // Our response was lost: say it again.
            LineSignal s;
            s.kind = SignalKind::kFrame;
            s.bytes = t.last_response;
            s.bps = 300;
            ExchangeSend(sim, t.self, s);
            return;
        }
        if (t.state == T30State::kWaitDcn && !t.last_response.empty()) {
            LineSignal s;
            s.kind = SignalKind::kFrame;
            s.bytes = t.last_response;
            s.bps = 300;
            ExchangeSend(sim, t.self, s);
            return;
        }
        if (t.state != T30State::kWaitPpm) return;
        t.last_ppm = PpmOf(fcf);
        SetState(t, T30State::kHavePpm, kNever);
        Emit(t, T30EventKind::kPpm, PpmOf(fcf));
        return;
    case Fcf::kDcn:
        End(sim, t, t.state == T30State::kWaitDcn ? 0 : LostCode(t), false);
        return;
    default:
        if (t.ecm_line.on) EcmReceiverFrame(sim, t, fcf, fif, fif_len);
        return;
    }
}

void SenderFrame(Sim &sim, T30 &t, uint8_t fcf, const Bytes &f) {
    const uint8_t *fif = f.data() + 3;
    size_t fif_len = f.size() > 3 ? f.size() - 3 : 0;
    if (t.ecm_line.on && t.state == T30State::kWaitPpr) {
        // The answers about a block; MCF once the page is through.
        fcf = EcmSenderAnswer(sim, t, fcf, fif, fif_len);
        if (fcf == 0) return;
    }
    switch (fcf) {
    case Fcf::kCsi:
        t.remote_id = DecodeIdentity(fif, std::min<size_t>(fif_len, 20));
        Emit(t, T30EventKind::kRemoteId);
        return;
    case Fcf::kDis:
        t.remote_dis.assign(fif, fif + fif_len);
        // After EOM the DIS may come before the response to it was acted on.
        if (t.state == T30State::kWaitDis || (t.state == T30State::kHavePpr && t.last_ppm == kPpmEom)) {
            SetState(t, T30State::kHaveDis, kNever);
            Emit(t, T30EventKind::kDis);
        } else if (t.state == T30State::kWaitCfr) {
            if (++t.retries >= kMaxRepeats) {
                End(sim, t, 26, true);
                return;
            }
            SendTsiDcsTcf(sim, t);
        }
        return;
    case Fcf::kCfr:
        if (t.state != T30State::kWaitCfr) return;
        SetState(t, T30State::kTrained, kNever);
        Emit(t, T30EventKind::kTrained);
        return;
    case Fcf::kFtt: {
        if (t.state != T30State::kWaitCfr) return;
        const Modulation *lower = ChooseModulation(t, t.params.mod->bps - 1);
        if (!lower) {
            Emit(t, T30EventKind::kTrainFailed);
            End(sim, t, 27, true);
            return;
        }
        t.params.mod = lower;
        t.retries = 0;
        SendTsiDcsTcf(sim, t);
        return;
    }
    case Fcf::kMcf: case Fcf::kRtn: case Fcf::kRtp: case Fcf::kPin: case Fcf::kPip: {
        if (t.state != T30State::kWaitPpr) return;
        int ppr = PprOf(fcf);
        if (ppr == kPprMcf || ppr == kPprRtp || ppr == kPprPip) ++t.pages;
        SetState(t, ppr == kPprRtn ? T30State::kHaveDis : T30State::kHavePpr, kNever);
        Emit(t, T30EventKind::kPpr, ppr);
        if (t.last_ppm == kPpmEop && ppr != kPprRtn && !T30FaultCuts(sim, t, SimPhase::kEnd)) End(sim, t, 0, true);
        return;
    }
    case Fcf::kDcn:
        End(sim, t, LostCode(t), false);
        return;
    default:
        return;
    }
}

}  // namespace

void T30StartReceiver(Sim &sim, T30 &t) {
    t.role = T30Role::kReceiver;
    t.retries = 0;
    t.pages = 0;
    t.hangup_code = 0;
    t.remote_id.clear();
    t.last_response.clear();
    t.burst_parts.clear();
    t.events.clear();
    t.fault_state = FaultState{};
    t.eom_looping = false;
    EcmStartCall(t);
    SendCsiDis(sim, t);
    SetState(t, T30State::kWaitDcs, After(sim, t, sim.config.timings.t4));
}

void T30StartSender(Sim &sim, T30 &t) {
    t.role = T30Role::kSender;
    t.retries = 0;
    t.pages = 0;
    t.hangup_code = 0;
    t.remote_id.clear();
    t.remote_dis.clear();
    t.params = T30Params{};
    t.trainings = 0;
    t.events.clear();
    t.fault_state = FaultState{};
    t.eom_looping = false;
    EcmStartCall(t);
    SetState(t, T30State::kWaitDis, After(sim, t, sim.config.timings.t1));
}

void T30OnSignal(Sim &sim, T30 &t, const LineSignal &s) {
    if (t.state == T30State::kEnded || t.state == T30State::kIdle) return;
    if (s.kind == SignalKind::kBurst && (s.partial || !t.burst_parts.empty())) {
        // A station takes a burst whole, once its last part has come.
        t.burst_parts.insert(t.burst_parts.end(), s.bytes.begin(), s.bytes.end());
        if (s.partial) return;
        LineSignal whole = s;
        whole.bytes.swap(t.burst_parts);
        t.burst_parts.clear();
        T30OnSignal(sim, t, whole);
        return;
    }
    if (s.kind == SignalKind::kDrop) {
        End(sim, t, t.state == T30State::kWaitDcn ? 0 : LostCode(t), false);
        return;
    }
    if (s.kind == SignalKind::kCarrier) {
        // The receiver's timer stops while a burst is on the line.
        if (t.state == T30State::kWaitTcf || t.state == T30State::kWaitPage) t.deadline = kNever;
        return;
    }
    if (s.kind == SignalKind::kBurst) {
        if (t.role != T30Role::kReceiver) return;
        if (t.state == T30State::kWaitTcf) {
            if (TrainingGood(t, s) && !(t.faults && t.faults->ftt_forever)) {
                SendFrame(sim, t, true, Fcf::kCfr);
                SetState(t, T30State::kWaitPage, After(sim, t, sim.config.timings.t2));
                Emit(t, T30EventKind::kTrained);
            } else {
                SendFrame(sim, t, true, Fcf::kFtt);
                // The hostile station takes a training check with or without
                // a new DCS first, so the caller's retries never end the call.
                bool lenient = t.faults && t.faults->ftt_forever;
                SetState(t, lenient ? T30State::kWaitTcf : T30State::kWaitDcs,
                         After(sim, t, lenient ? sim.config.timings.t2 : sim.config.timings.t4));
                Emit(t, T30EventKind::kTrainFailed);
            }
        } else if (t.ecm_line.on && (t.state == T30State::kWaitPage || t.state == T30State::kWaitPpm) &&
                   SameModulation(t, s)) {
            EcmReceiveBlock(sim, t, s);
        } else if (t.state == T30State::kWaitPage && SameModulation(t, s)) {
            t.page = s.bytes;
            t.page_began = s.began;
            t.page_lines = CountPageLines(t.page);
            // The wait for the post-page message runs from the page's end.
            const SimTime ends = s.page ? s.began + LineTimeMs(s.bytes.size(), s.bps) : 0;
            const SimTime now = SimNow();
            SetState(t, T30State::kWaitPpm, (ends > now ? ends - now : 0) + After(sim, t, sim.config.timings.t2));
            Emit(t, T30EventKind::kPage);
        }
        return;
    }
    if (s.kind != SignalKind::kFrame || !s.good_check || s.bytes.size() < 3) return;
    uint8_t fcf = static_cast<uint8_t>(s.bytes[2] & 0xFE);
    if (fcf == (Fcf::kDcn & 0xFE)) fcf = Fcf::kDcn;
    if (t.eom_looping && fcf != Fcf::kDcn) {
        SendFrame(sim, t, true, kHostileEom);
        return;
    }
    if (t.role == T30Role::kReceiver)
        ReceiverFrame(sim, t, fcf, s.bytes);
    else
        SenderFrame(sim, t, fcf, s.bytes);
}

void T30OnTimer(Sim &sim, T30 &t, SimTime now) {
    if (t.deadline == kNever || now < t.deadline) return;
    const SimTimings &tm = sim.config.timings;
    switch (t.state) {
    case T30State::kWaitDis:
        End(sim, t, 11, true);
        break;
    case T30State::kWaitCfr:
        if (++t.retries >= kMaxRepeats) {
            End(sim, t, 25, true);
        } else {
            SendTsiDcsTcf(sim, t);
        }
        break;
    case T30State::kWaitPpr:
        if (++t.retries >= kMaxRepeats) {
            End(sim, t, t.last_ppm == kPpmMps ? 52 : t.last_ppm == kPpmEop ? 54 : 56, true);
        } else {
            if (t.ecm_line.on) EcmSenderRepeat(sim, t);
            else SendFrame(sim, t, true, WithX(t, PpmFcf(t.last_ppm)));
            t.deadline = After(sim, t, tm.t4);
        }
        break;
    case T30State::kWaitDcs:
        if (++t.retries >= kMaxRepeats) {
            End(sim, t, 70, true);
        } else {
            SendCsiDis(sim, t);
            t.deadline = After(sim, t, tm.t4);
        }
        break;
    case T30State::kWaitTcf: case T30State::kWaitPage: case T30State::kWaitPpm:
        End(sim, t, 73, true);
        break;
    case T30State::kWaitDcn:
        End(sim, t, 0, false);
        break;
    default:
        t.deadline = kNever;
        break;
    }
}

bool T30Train(Sim &sim, T30 &t) {
    const Modulation *m = t.params.mod ? t.params.mod : ChooseModulation(t, 1 << 30);
    if (!m) return false;
    t.params.mod = m;
    bool remote_fine = t.remote_dis.size() > 1 && (t.remote_dis[1] & 0x40);
    t.params.fine = t.fine && remote_fine;
    int remote_scan = t.remote_dis.size() > 2 ? ScanMsForBits(t.remote_dis[2]) : 20;
    t.params.scan_ms = std::max(t.scan_ms, remote_scan);
    const T30Params coding = T30ChooseCoding(t);
    t.params.df = coding.df;
    t.params.ecm_frame = coding.ecm_frame;
    t.ecm_line.on = t.hdlc_ecm && t.params.ecm_frame != 0;
    t.retries = 0;
    SendTsiDcsTcf(sim, t);
    return true;
}

void T30SendPage(Sim &sim, T30 &t, const Bytes &page, int page_number) {
    const SimFaults *f = t.faults;
    if (f && (f->silent_page == page_number ||
              (f->silent_phase == SimPhase::kC && FaultPageMatches(*f, page_number)))) {
        // The line dies half way through the page and stays dead.
        SendBurst(sim, t, Bytes(page.begin(), page.begin() + static_cast<long>(page.size() / 2)));
        ExchangeSilence(sim, t.self);
        return;
    }
    if (t.ecm_line.on) {
        // Framed in blocks once its post-page message is known.
        t.ecm_line.page = page;
        t.ecm_line.page_number = page_number;
        return;
    }
    // The carrier comes first: the far end's wait for the page ends as
    // the page begins, not when its last bit arrives.
    LineSignal carrier;
    carrier.kind = SignalKind::kCarrier;
    carrier.bps = t.params.mod->bps;
    carrier.family = t.params.mod->family;
    ExchangeSend(sim, t.self, carrier);
    SendBurst(sim, t, page, true);
}

void T30SendPpm(Sim &sim, T30 &t, int ppm) {
    t.last_ppm = ppm;
    t.retries = 0;
    if (t.ecm_line.on) {
        EcmSendPage(sim, t, ppm);
        return;
    }
    SendFrame(sim, t, true, WithX(t, PpmFcf(ppm)));
    SetState(t, T30State::kWaitPpr, After(sim, t, sim.config.timings.t4));
}

void T30Respond(Sim &sim, T30 &t, int ppr) {
    if (t.faults && t.faults->eom_forever) {
        // No response: EOM now and to every frame after, with no time-out
        // of its own; the call ends when the other end puts it down.
        t.eom_looping = true;
        SendFrame(sim, t, true, kHostileEom);
        SetState(t, T30State::kWaitPage, kNever);
        return;
    }
    int ppm = t.last_ppm;
    uint8_t fcf = ppr == kPprMcf ? Fcf::kMcf : ppr == kPprRtn ? Fcf::kRtn : ppr == kPprRtp ? Fcf::kRtp
                : ppr == kPprPin ? Fcf::kPin : Fcf::kPip;
    // A page whose last block was given up (EOR) is answered ERR.
    if (fcf == Fcf::kMcf && t.ecm_line.on && t.ecm_line.page_by_eor) fcf = Fcf::kErr;
    if (ppr != kPprRtn) ++t.pages;
    SendFrame(sim, t, true, fcf);
    t.last_response = MakeFrame(true, fcf);
    if (ppm == kPpmEop && ppr != kPprRtn) {
        SetState(t, T30State::kWaitDcn, After(sim, t, sim.config.timings.t2));
    } else if (ppm == kPpmEom && ppr != kPprRtn) {
        t.last_response.clear();
        SendCsiDis(sim, t);
        SetState(t, T30State::kWaitDcs, After(sim, t, sim.config.timings.t4));
    } else {
        SetState(t, T30State::kWaitPage, After(sim, t, sim.config.timings.t2));
    }
}

void T30AwaitDis(Sim &sim, T30 &t) {
    t.retries = 0;
    SetState(t, T30State::kWaitDis, After(sim, t, sim.config.timings.t1));
}

bool T30FaultCuts(Sim &sim, T30 &t, SimPhase phase, int page) {
    const SimFaults *f = t.faults;
    // Only a station: a class 2 modem's faults strike through its own code.
    if (!f || t.role != T30Role::kSender || t.self.kind != Endpoint::kStation) return false;
    auto planned = [&](SimPhase p) { return p == phase && FaultPageMatches(*f, page); };
    if (planned(f->garbage_phase)) {
        LineSignal junk;
        junk.kind = SignalKind::kFrame;
        junk.bytes = {0xFF, 0x13, 0x5A, 0x37, 0x92, 0x07};
        junk.good_check = false;
        junk.bps = 300;
        ExchangeSend(sim, t.self, junk);
    }
    if (planned(f->fail_phase)) {
        End(sim, t, LostCode(t), false);
        return true;
    }
    if (planned(f->dcn_phase)) {
        End(sim, t, LostCode(t), true);
        return true;
    }
    // Silence in a page's data strikes half way through the page (T30SendPage).
    if (phase != SimPhase::kC && planned(f->silent_phase)) {
        ExchangeSilence(sim, t.self);
        SetState(t, T30State::kIdle, kNever);  // until the other end hangs up
        return true;
    }
    return false;
}

void T30Disconnect(Sim &sim, T30 &t, int hangup_code) { End(sim, t, hangup_code, true); }

void T30Abort(Sim &sim, T30 &t, int hangup_code) { End(sim, t, hangup_code, false); }

T30Params T30ChooseCoding(const T30 &t) {
    const Bytes &d = t.remote_dis;
    T30Params p;
    p.ecm_frame = t.ecm && Offers(d, 3, kEcmBit) ? t.ecm_frame_size : 0;
    if (t.df_max >= 3 && p.ecm_frame && Offers(d, 3, kMmrBit))
        p.df = 3;
    else if (t.df_max >= 1 && Offers(d, 1, kMrBit))
        p.df = 1;
    return p;
}

namespace {

int EcReport(int ecm_frame, bool ec_names_frame) {
    if (ecm_frame == 0) return 0;
    return ec_names_frame && ecm_frame == 256 ? 2 : 1;
}

}  // namespace

std::string T30DisReport(const T30 &t, bool ec_names_frame) {
    const Bytes &d = t.remote_dis;
    int vr = d.size() > 1 && (d[1] & 0x40) ? 1 : 0;
    int ln = d.size() > 2 && (d[2] & 0x04) ? 2 : 0;
    int st = StForScanMs(d.size() > 2 ? ScanMsForBits(d[2]) : 20);
    int df = Offers(d, 3, kMmrBit) ? 3 : Offers(d, 1, kMrBit) ? 1 : 0;
    int ec = EcReport(Offers(d, 3, kEcmBit) ? 256 : 0, ec_names_frame);
    char text[64];
    snprintf(text, sizeof text, "%d,%d,0,%d,%d,%d,0,%d", vr, RemoteDisTopBr(d), ln, df, ec, st);
    return text;
}

std::string T30DcsReport(const T30 &t, bool ec_names_frame) {
    char text[64];
    snprintf(text, sizeof text, "%d,%d,0,2,%d,%d,0,%d", t.params.fine ? 1 : 0, t.params.mod ? t.params.mod->br : 0,
             t.params.df, EcReport(t.params.ecm_frame, ec_names_frame), StForScanMs(t.params.scan_ms));
    return text;
}

void T30SendFrame(Sim &sim, T30 &t, bool final, uint8_t fcf, const Bytes &fif) { SendFrame(sim, t, final, fcf, fif); }

void T30SetState(T30 &t, T30State state, SimTime deadline) { SetState(t, state, deadline); }

SimTime T30After(Sim &sim, const T30 &t, uint32_t ms) { return After(sim, t, ms); }

void T30Emit(T30 &t, T30EventKind kind, int value) { Emit(t, kind, value); }

uint8_t T30WithX(const T30 &t, uint8_t fcf) { return WithX(t, fcf); }

uint8_t T30PpmFcf(int ppm) { return PpmFcf(ppm); }

int T30PpmOf(uint8_t fcf) { return PpmOf(fcf); }

const Modulation *T30LowerModulation(const T30 &t) {
    return t.params.mod ? ChooseModulation(t, t.params.mod->bps - 1) : nullptr;
}
