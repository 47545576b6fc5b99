// Service class 1 (ITU-T T.31): the host runs T.30 and the modem moves HDLC
// frames and high-speed data between the host and the line.
//
// Signals from the line wait in the modem's inbox until the host asks for
// them with +FRH or +FRM, a little kinder than a real line, where a frame
// sent while nobody listens is gone; they are dropped when the host starts
// sending. A burst met by +FRH, like a carrier the receiver cannot lock on,
// is passed over; a modem that answered the call first says +FCERROR once.
#include <cstdlib>

#include "sim/modem_classes.h"

namespace {

constexpr const char *kModulationList = "24,48,72,73,74,96,97,98,121,122,145,146";

Endpoint Self(const Modem &m) { return {Endpoint::kModem, m.index}; }

bool LineGone(const Modem &m) { return m.call == -1 || m.line_dropped; }

bool DropArrived(const std::deque<LineSignal> &inbox) {
    for (const LineSignal &s : inbox)
        if (s.kind == SignalKind::kDrop && s.at <= SimNow()) return true;
    return false;
}

// The page the host's page data belongs to; 0: a training check.
int SendingPage(const Modem &m) {
    if (!m.c1_tx_ecm) return m.c1_ftm_count - 1;
    return m.c1_tx_trained ? m.c1_tx_confirmed + 1 : 0;
}

// A calling host's frames and the answers it hears, for its page numbers.
void NoteSendingFrame(Modem &m, const Bytes &frame, bool from_host) {
    if (m.c1_answered || frame.size() < 3) return;
    const uint8_t fcf = frame[2] & 0xFE;
    if (from_host && fcf == Fcf::kDcs) {
        m.c1_tx_ecm = frame.size() > 6 && (frame[5] & 0x80) && (frame[6] & 0x04);
        m.c1_tx_trained = false;
    } else if (from_host && (fcf == Fcf::kPps || fcf == Fcf::kEor)) {
        m.c1_tx_page_end = frame.size() > 3 && (frame[3] & 0xFE) != 0;
    } else if (!from_host && fcf == Fcf::kCfr) {
        m.c1_tx_trained = true;
    } else if (!from_host && (fcf == Fcf::kMcf || fcf == Fcf::kErr) && m.c1_tx_page_end) {
        m.c1_tx_page_end = false;
        ++m.c1_tx_confirmed;
    }
}

void NoCarrier(Sim &sim, Modem &m) {
    if (m.call != -1) ExchangeHangUp(sim, Self(m));
    m.call = -1;
    ModemToCommand(m);
    ModemResult(sim, m, Result::kNoCarrier);
}

void DeliverFrame(Sim &sim, Modem &m, const LineSignal &s) {
    ModemResult(sim, m, Result::kConnect);
    // The CONNECT of the first frame ends the dial.
    if (m.phase == SimPhase::kDial) ModemEnterPhase(sim, m, SimPhase::kB);
    Bytes framed;
    for (uint8_t b : s.bytes) {
        framed.push_back(b);
        if (b == kDle) framed.push_back(kDle);
    }
    framed.push_back(kDle);
    framed.push_back(kEtx);
    ModemSay(sim, m, framed);
    ModemToCommand(m);
    ModemResult(sim, m, s.good_check ? Result::kOk : Result::kError);
    if (s.good_check) NoteSendingFrame(m, s.bytes, false);
    // The answer to EOP is the last post-page exchange.
    if (m.c1_eop_sent && m.phase == SimPhase::kD) ModemEnterPhase(sim, m, SimPhase::kEnd);
    if (m.c1_answered && s.good_check && s.bytes.size() > 2) {
        uint8_t fcf = s.bytes[2] & 0xFE;
        if (fcf == Fcf::kDcs) m.c1_rx_trained = false;  // a training check comes next
        if (fcf == Fcf::kEop) m.c1_rx_eop_heard = true;
    }
}

// What the answering host's frames tell: it accepted the training, or
// confirmed a page; its confirmation of the last page ends the call's pages.
void NoteHostFrame(Sim &sim, Modem &m, const Bytes &frame) {
    if (!m.c1_answered || frame.size() < 3) return;
    uint8_t fcf = frame[2] & 0xFE;
    if (fcf == Fcf::kCfr) m.c1_rx_trained = true;
    if (fcf == Fcf::kMcf || fcf == Fcf::kRtp || fcf == Fcf::kPip) {
        ++m.c1_rx_confirmed;
        if (m.c1_rx_eop_heard) ModemEnterPhase(sim, m, SimPhase::kEnd);
    }
}

void FcError(Sim &sim, Modem &m) {
    ModemToCommand(m);
    if (m.quiet) return;
    ModemSay(sim, m, Bytes{'\r', '\n', '+', 'F', 'C', 'E', 'R', 'R', 'O', 'R', '\r', '\n'});
}

// Host data of +FTH and +FTM, DLE-framed; DLE ETX ends it.
bool TakeFramedByte(Modem &m, uint8_t b) {
    if (m.dle) {
        m.dle = false;
        if (b == kEtx) return true;
        if (b == kDle) m.data.push_back(kDle);
        else if (b == kSub) m.data.insert(m.data.end(), {kDle, kDle});
        return false;
    }
    if (b == kDle) m.dle = true;
    else m.data.push_back(b);
    return false;
}

void FrameDone(Sim &sim, Modem &m) {
    LineSignal s;
    s.kind = SignalKind::kFrame;
    s.bytes = m.data;
    s.bps = 300;
    s.good_check = !FaultBadFrameNow(m.faults, m.t30.fault_state);
    bool final = m.data.size() > 1 && (m.data[1] & 0x10);
    if (m.data.size() > 2 && (m.data[2] & 0xFE) == Fcf::kEop) m.c1_eop_sent = true;
    NoteSendingFrame(m, m.data, true);
    m.data.clear();
    if (LineGone(m)) {
        NoCarrier(sim, m);
        return;
    }
    ExchangeSend(sim, Self(m), s);
    if (final) {
        ModemToCommand(m);
        ModemResult(sim, m, Result::kOk);
        NoteHostFrame(sim, m, s.bytes);
    } else {
        ModemResult(sim, m, Result::kConnect);  // ready for the next frame
    }
}

// A host handing data over at the line's rate: what it gave so far goes on
// the line in parts of half a second, as a modem passes on what it is given.
void DataPart(Sim &sim, Modem &m) {
    if (m.data_bps <= 0 || m.data.size() < static_cast<size_t>(m.data_bps) / 16 || LineGone(m)) return;
    LineSignal s;
    s.kind = SignalKind::kBurst;
    s.partial = true;
    s.bytes.swap(m.data);
    s.bps = m.c1_mod->bps;
    s.family = m.c1_mod->family;
    ExchangeSend(sim, Self(m), s);
}

void DataDone(Sim &sim, Modem &m) {
    int page_number = SendingPage(m);
    bool page = page_number > 0;
    LineSignal s;
    s.kind = SignalKind::kBurst;
    s.bytes.swap(m.data);
    s.bps = m.c1_mod->bps;
    s.family = m.c1_mod->family;
    ModemToCommand(m);
    if (LineGone(m) || (page && ModemFaultAt(m, SimPhase::kC, page_number))) {
        NoCarrier(sim, m);
        return;
    }
    if (page && m.faults.silent_page == page_number) {
        s.bytes.resize(s.bytes.size() / 2);
        ExchangeSend(sim, Self(m), s);
        ExchangeSilence(sim, Self(m));
    } else {
        ExchangeSend(sim, Self(m), s);
    }
    if (page) m.c1_page_sent = true;
    ModemResult(sim, m, Result::kOk);
    if (page) ModemEnterPhase(sim, m, SimPhase::kD, page_number);
}

// What the far end sent while the host neither listened nor was about to is
// gone once the host starts sending itself.
void DropUnheard(Modem &m) {
    std::deque<LineSignal> keep;
    for (LineSignal &s : m.inbox)
        if (s.kind == SignalKind::kDrop) keep.push_back(std::move(s));
    m.inbox.swap(keep);
}

// Faults of phases B and D strike at the host's frame commands.
bool FrameCommandFails(const Modem &m) {
    if (m.c1_frame_cmds == 1 && ModemFaultAt(m, SimPhase::kB)) return true;
    if (m.c1_rx_page_seen && ModemFaultAt(m, SimPhase::kD, m.c1_rx_confirmed + 1)) return true;
    return m.c1_page_sent && ModemFaultAt(m, SimPhase::kD, SendingPage(m));
}

// An answered call's +FRM: the training check until the host accepts one,
// then a page. The phase's faults strike here; false when the call was lost.
bool EnterReceivePhase(Sim &sim, Modem &m) {
    if (!m.c1_rx_trained) return ModemEnterPhase(sim, m, SimPhase::kTraining);
    int page = m.c1_rx_confirmed + 1;
    ModemEnterPhase(sim, m, SimPhase::kC, page);
    if (ModemFaultAt(m, SimPhase::kC, page)) {
        ModemFailCall(sim, m);
        return false;
    }
    ModemSayJunk(sim, m);
    return true;
}

CmdStatus Class1Command(Sim &sim, Modem &m, const std::string &t) {
    size_t eq = t.find('=');
    std::string name = t.substr(0, eq == std::string::npos ? t.find('?') : eq);
    std::string arg = eq == std::string::npos ? "" : t.substr(eq + 1);
    bool frames = name == "+FTH" || name == "+FRH";
    bool data = name == "+FTM" || name == "+FRM";
    bool silence = name == "+FTS" || name == "+FRS";
    if (!frames && !data && !silence) {
        // Settings a host may touch; none changes what this modem does.
        static const char *const kAccepted[] = {"+FAR", "+FCL", "+FIT", "+FDD", "+FLO", "+FPR"};
        for (const char *a : kAccepted)
            if (name == a) return CmdStatus::kOk;
        return CmdStatus::kError;
    }
    if (arg == "?") {
        ModemInfo(sim, m, frames ? "3" : data ? kModulationList : "0-255");
        return CmdStatus::kOk;
    }
    if (eq == std::string::npos || arg.empty()) return CmdStatus::kError;
    int n = atoi(arg.c_str());
    if (silence) return n >= 0 && n <= 255 ? CmdStatus::kOk : CmdStatus::kError;
    if (frames && n != 3) return CmdStatus::kError;
    const Modulation *mod = data ? ModulationByT31(n) : nullptr;
    if (data && (!mod || mod->family == Family::kV21)) return CmdStatus::kError;
    if (frames) ++m.c1_frame_cmds;
    if (m.call == -1 && m.inbox.empty()) {
        ModemResult(sim, m, Result::kNoCarrier);
        return CmdStatus::kAsync;
    }
    if (frames && FrameCommandFails(m)) {
        ModemFailCall(sim, m);
        return CmdStatus::kAsync;
    }
    m.data.clear();
    m.dle = false;
    if (name == "+FTH" || name == "+FTM") DropUnheard(m);
    if (name == "+FTH") {
        m.mode = ModemMode::kC1TxFrames;
        ModemResult(sim, m, Result::kConnect);
    } else if (name == "+FRH") {
        m.mode = ModemMode::kC1RxFrame;
    } else if (name == "+FTM") {
        if (m.c1_ftm_count == 0 && !ModemEnterPhase(sim, m, SimPhase::kTraining)) return CmdStatus::kAsync;
        m.c1_mod = mod;
        ++m.c1_ftm_count;
        m.mode = ModemMode::kC1TxData;
        m.data_bps = m.faults.paced ? mod->bps : 0;
        m.data_start = SimNow();
        m.data_taken = 0;
        LineSignal carrier;
        carrier.kind = SignalKind::kCarrier;
        carrier.bps = mod->bps;
        carrier.family = mod->family;
        ExchangeSend(sim, Self(m), carrier);
        ModemResult(sim, m, Result::kConnect);
        int page = SendingPage(m);
        if (page > 0) {
            ModemEnterPhase(sim, m, SimPhase::kC, page);
            ModemSayJunk(sim, m);
            // Silent from here: the modem takes the page and never answers.
            if (ModemSilentAt(m, SimPhase::kC, page)) ModemGoSilent(sim, m);
        }
    } else {
        if (m.c1_answered && !EnterReceivePhase(sim, m)) return CmdStatus::kAsync;
        m.c1_mod = mod;
        m.mode = ModemMode::kC1RxData;
        m.c1_carrier_heard = false;
    }
    return CmdStatus::kAsync;
}

void Class1HostData(Sim &sim, Modem &m, uint8_t b) {
    switch (m.mode) {
    case ModemMode::kC1TxFrames:
        if (TakeFramedByte(m, b)) FrameDone(sim, m);
        break;
    case ModemMode::kC1TxData:
        if (TakeFramedByte(m, b)) DataDone(sim, m);
        else DataPart(sim, m);
        break;
    case ModemMode::kC1Answering:
        // A key during the answer tone abandons the answer, as any key
        // abandons a dial.
        if (b != '\r' && b != '\n') NoCarrier(sim, m);
        break;
    case ModemMode::kC1RxFrame: case ModemMode::kC1RxData:
        // A key from the host stops the wait, a carriage return too. The
        // line feed of a command ended with CR LF is not such a key.
        if (b != '\n') {
            ModemToCommand(m);
            ModemResult(sim, m, Result::kOk);
        }
        break;
    default:
        break;
    }
}

// The answer tone's end: the modem sends flags and takes the host's frames.
void AnswerConnects(Sim &sim, Modem &m) {
    m.mode = ModemMode::kC1TxFrames;
    m.data.clear();
    m.dle = false;
    ModemEnterPhase(sim, m, SimPhase::kB);
    ModemResult(sim, m, Result::kConnect);
}

bool Class1Step(Sim &sim, Modem &m) {
    if (m.mode == ModemMode::kC1Answering) {
        if (SimNow() < m.c1_connect_at) return false;
        AnswerConnects(sim, m);
        return true;
    }
    bool progress = false;
    while (InboxReady(m.inbox)) {
        LineSignal &s = m.inbox.front();
        if (s.kind == SignalKind::kAnswered) {
            m.inbox.pop_front();
            continue;
        }
        if (s.kind == SignalKind::kCarrier) {
            // Waits for the host's +FRM, which hears it as it begins: the
            // data follows as the sender hands it over. A lost call goes first.
            if (m.mode == ModemMode::kCommand && !DropArrived(m.inbox)) break;
            const bool heard = m.mode == ModemMode::kC1RxData && !m.c1_carrier_heard && s.bps == m.c1_mod->bps &&
                               s.family == m.c1_mod->family;
            m.inbox.pop_front();
            if (!heard) continue;
            m.c1_carrier_heard = true;
            ModemResult(sim, m, Result::kConnect);
            return true;
        }
        if (s.kind == SignalKind::kDrop) {
            if (m.mode == ModemMode::kC1RxFrame || m.mode == ModemMode::kC1RxData) {
                m.inbox.pop_front();
                NoCarrier(sim, m);
                return true;
            }
            // Heard by the host at its next command or data end.
            m.line_dropped = true;
            m.call = -1;
            m.inbox.pop_front();
            return true;
        }
        if (m.mode == ModemMode::kC1RxFrame) {
            // An answering modem tells its host once that the carrier on the
            // line is not V.21; the host may still take it with +FRM.
            if (s.kind == SignalKind::kBurst && m.c1_answered && !m.c1_burst_flagged) {
                m.c1_burst_flagged = true;
                FcError(sim, m);
                return true;
            }
            LineSignal sig = s;
            m.inbox.pop_front();
            if (!sig.partial) m.c1_burst_flagged = false;
            progress = true;
            if (sig.kind == SignalKind::kFrame) {
                DeliverFrame(sim, m, sig);
                return true;
            }
            continue;  // a burst nobody received
        }
        if (m.mode == ModemMode::kC1RxData) {
            if (s.kind == SignalKind::kFrame) {
                FcError(sim, m);
                return true;
            }
            LineSignal sig = s;
            m.inbox.pop_front();
            if (!sig.partial) m.c1_burst_flagged = false;
            if (sig.bps != m.c1_mod->bps || sig.family != m.c1_mod->family) {
                FcError(sim, m);
                return true;
            }
            if (!m.c1_carrier_heard) ModemResult(sim, m, Result::kConnect);
            m.c1_carrier_heard = sig.partial;
            bool page = m.c1_answered && m.c1_rx_trained;
            int number = m.c1_rx_confirmed + 1;
            if (page && ModemSilentAt(m, SimPhase::kC, number)) {
                // Half the page, then nothing more.
                sig.bytes.resize(sig.bytes.size() / 2);
                ModemSendData(sim, m, sig.bytes, m.faults.paced ? sig.bps : 0, false, sig.began);
                ModemGoSilent(sim, m);
                return true;
            }
            // A station's page holds the line for its time: its data comes
            // as it crosses, and its carrier ends with its last bit.
            const SimTime start = sig.at > sig.began ? sig.at : sig.began;
            ModemSendData(sim, m, sig.bytes, m.faults.paced || sig.page ? sig.bps : 0, false,
                          sig.page ? start : sig.began);
            if (sig.partial) return true;  // the carrier goes on
            ModemSay(sim, m, Bytes{kDle, kEtx}, sig.page ? start + LineTimeMs(sig.bytes.size(), sig.bps) : 0);
            ModemToCommand(m);
            ModemResult(sim, m, Result::kNoCarrier);
            if (page) {
                m.c1_rx_page_seen = true;
                ModemEnterPhase(sim, m, SimPhase::kD, number);
            }
            return true;
        }
        break;  // waits for the host's next command
    }
    return progress;
}

void ResetReception(Modem &m, bool answered) {
    m.c1_answered = answered;
    m.c1_rx_trained = false;
    m.c1_rx_confirmed = 0;
    m.c1_rx_page_seen = false;
    m.c1_rx_eop_heard = false;
    m.c1_burst_flagged = false;
    m.c1_tx_ecm = false;
    m.c1_tx_trained = false;
    m.c1_tx_page_end = false;
    m.c1_tx_confirmed = 0;
}

void Class1Answer(Sim &sim, Modem &m) {
    // Answering in class 1 sends CED and leaves the modem in +FTH=3.
    ResetReception(m, true);
    if (m.quirks.answer_tone_ms > 0) {
        m.mode = ModemMode::kC1Answering;
        m.c1_connect_at = SimNow() + static_cast<SimTime>(m.quirks.answer_tone_ms);
        return;
    }
    AnswerConnects(sim, m);
}

void Class1Dialled(Sim &sim, Modem &m) {
    (void)sim;
    ResetReception(m, false);
    // After dialling the modem listens for the answerer's frames on its own.
    m.mode = ModemMode::kC1RxFrame;
}

void Class1Select(Modem &) {}

}  // namespace

extern const ModemClassOps kClass1Ops = {1, "1", kSimClass1, Class1Select, Class1Command, Class1HostData,
                                         Class1Step, Class1Answer, Class1Dialled, nullptr, false};
