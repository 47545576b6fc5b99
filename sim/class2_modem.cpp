// Service class 2 and class 2.0 (ITU-T T.32): the modem runs T.30 itself and
// the host drives it with +F commands. The two classes are one procedure in
// two dialects; Class2Dialect holds what differs.
#include <cstdio>
#include <cstdlib>

#include "sim/modem_classes.h"

struct Class2Dialect {
    int fclass;
    const char *connect;  // fax connection report
    const char *csi, *tsi, *dis, *dcs, *pts, *hangup;
    const char *hangup_format;
    bool quoted_ids;
    bool dc1_after_connect;  // class 2 sends DC1 when ready for page data
    bool dle_ppm;            // class 2.0 ends a page with DLE and its post-page message
    bool dc1_trigger;        // class 2 also takes DC1 for DC2 before received data
    bool reversed_rx;        // class 2: received data MSB first unless +FBOR says otherwise;
                             // class 2.0: bit 0 of +FBO reverses page data both ways
    // Commands: identity, capabilities, current parameters, minimum speed,
    // bit order, post-page response, abort.
    const char *id, *caps, *params, *minsp, *bor, *ppr, *abort;
    const char *const *others;  // parameters stored and otherwise left alone
};

namespace {

const char *const kClass2Others[] = {"+FAXERR", "+FBUF",  "+FCIG",  "+FSPL",  "+FLPL",   "+FPHCTO", "+FAA",
                                     "+FBUG",   "+FCQ",   "+FTBC",  "+FREL",  "+FCTCRTY", "+FECM",  "+FBADLIN",
                                     "+FBADMUL", "+FLO",  "+FRBC",  "+FWDFC", "+FDFFC",  "+FVRFC", "+FLNFC",
                                     "+FDCS",   "+FCSI",  "+FTSI",  nullptr};
const char *const kClass20Others[] = {"+FAP", "+FBS", "+FBU", "+FCQ", "+FCT", "+FEA", "+FFC", "+FFD", "+FHS",
                                      "+FIE", "+FIP", "+FIT", "+FLP", "+FND", "+FNS", "+FPA", "+FPI", "+FPP",
                                      "+FPW", "+FRQ", "+FRY", "+FSA", "+FSP", "+FAA", "+FCS", nullptr};

// Class 2 modems of the common chip sets deliver received page data with
// the last bit first unless told "+FBOR=1"; T.32 keeps the line's order.
constexpr Class2Dialect kClass2 = {2, "+FCON", "+FCSI: ", "+FTSI: ", "+FDIS:", "+FDCS:", "+FPTS:", "+FHNG:",
                                   "%d", false, true, false, true, true,
                                   "+FLID", "+FDCC", "+FDIS", "+FMINSP", "+FBOR", "+FPTS", "+FK", kClass2Others};
constexpr Class2Dialect kClass20 = {20, "+FCO", "+FCI:", "+FTI:", "+FIS:", "+FCS:", "+FPS:", "+FHS:",
                                    "%02d", true, false, true, false, false,
                                    "+FLI", "+FCC", "+FIS", "+FMS", "+FBO", "+FPS", "+FKS", kClass20Others};

constexpr SimTime kCarrierTrainingMs = 250;  // a V.29 carrier's training, about

Endpoint Self(const Modem &m) { return {Endpoint::kModem, m.index}; }

const Class2Dialect &D(const Modem &m) { return m.dialect ? *m.dialect : kClass2; }

bool Is20(const Modem &m) { return D(m).fclass == 20; }

// T.32 reports only what +FNR asks for: receiver parameters, transmitter
// parameters, identities. Class 2 always reports.
bool ReportsDis(const Modem &m) { return !Is20(m) || m.fnr[0]; }
bool ReportsDcs(const Modem &m) { return !Is20(m) || m.fnr[1]; }
bool ReportsIds(const Modem &m) { return !Is20(m) || m.fnr[2]; }

void ReportConnect(Sim &sim, Modem &m) {
    if (m.connected_reported) return;
    m.connected_reported = true;
    ModemInfo(sim, m, D(m).connect);
    ModemEnterPhase(sim, m, SimPhase::kB);
}

void ReportId(Sim &sim, Modem &m, const char *prefix) {
    if (!ReportsIds(m)) return;
    std::string id = D(m).quoted_ids ? "\"" + m.t30.remote_id + "\"" : m.t30.remote_id;
    ModemInfo(sim, m, prefix + id);
}

// The hang-up report; false when the quirk says NO CARRIER instead (a final
// result, so no OK follows).
bool ReportHangup(Sim &sim, Modem &m, int code) {
    if (m.quirks.no_carrier_hangup) {
        ModemResult(sim, m, Result::kNoCarrier);
        return false;
    }
    char text[32];
    snprintf(text, sizeof text, D(m).hangup_format, code);
    ModemInfo(sim, m, std::string(D(m).hangup) + text);
    return true;
}

void EndWithHangup(Sim &sim, Modem &m, int code) {
    ModemToCommand(m);
    m.call = -1;
    if (ReportHangup(sim, m, code)) ModemResult(sim, m, Result::kOk);
}

// Page data crosses the port with each byte's bits reversed.
bool PortReversesPageData(const Modem &m, bool to_host) {
    if (D(m).reversed_rx) return to_host && (m.bor & 1) == 0;
    return (m.bor & 1) != 0;
}

void ReportPageStatus(Sim &sim, Modem &m, int ppr) {
    char text[64];
    // With error correction the page came whole: there are no lines to count.
    if (m.t30.params.ecm_frame)
        snprintf(text, sizeof text, "%s%d", D(m).pts, ppr);
    else
        snprintf(text, sizeof text, "%s%d,%d,0,0,0", D(m).pts, ppr, m.page_lines);
    ModemInfo(sim, m, text);
}

bool CallOver(const Modem &m) {
    return m.call == -1 || m.t30.state == T30State::kEnded || m.t30.state == T30State::kIdle;
}

void SetUpT30(Modem &m) {
    T30 &t = m.t30;
    t.self = Self(m);
    t.local_id = m.local_id;
    t.max_br = m.br;
    t.min_br = m.minsp <= m.br ? m.minsp : m.br;
    t.fine = m.vr != 0;
    t.scan_ms = ScanMsForSt(m.st);
    t.can_receive = m.fcr != 0;
    t.rates = 0x2C;
    // DF 2 (uncompressed mode) is not emulated: it offers MR.
    t.df_max = m.df >= 3 ? 3 : m.df >= 1 ? 1 : 0;
    t.ecm = m.ec > 0;
    // Class 2 names the frame size in EC (1: 64 octets); T.32 leaves it to the modem.
    t.ecm_frame_size = !Is20(m) && m.ec == 1 ? 64 : 256;
    t.faults = &m.faults;
    m.connected_reported = false;
    m.trained = false;
    m.page_number = 0;
    m.page_ready = false;
    m.host_ppr = 0;
}

void StartPageData(Sim &sim, Modem &m) {
    ModemResult(sim, m, Result::kConnect);
    int page = m.page_number + 1;
    ModemEnterPhase(sim, m, SimPhase::kC, page);
    ModemSayJunk(sim, m);
    // DC1 once the high-speed carrier has trained, well after CONNECT: hosts
    // read CONNECT as a line and look for DC1 in what comes next.
    if (D(m).dc1_after_connect && !m.quirks.no_dc1) ModemSay(sim, m, Bytes{kDc1}, SimNow() + kCarrierTrainingMs);
    // Silent from here: the modem takes the page and never answers.
    if (ModemSilentAt(m, SimPhase::kC, page)) ModemGoSilent(sim, m);
    m.mode = ModemMode::kC2TxPage;
    m.data.clear();
    m.dle = false;
    m.data_bps = m.faults.paced && m.t30.params.mod ? m.t30.params.mod->bps : 0;
    m.data_start = SimNow();
    m.data_taken = 0;
    LineSignal carrier;
    carrier.kind = SignalKind::kCarrier;
    ExchangeSend(sim, Self(m), carrier);
}

// Sender: a page ended with DLE ETX or the class 2.0 DLE post-page byte.
bool PageDone(Sim &sim, Modem &m) {
    // Taken at once, the page still needs its time on the line before the
    // modem can say more: hosts time the page by its post-page report.
    if (m.data_bps == 0 && m.t30.params.mod)
        ModemHoldOutput(m, m.data_start + LineTimeMs(m.data.size(), m.t30.params.mod->bps));
    if (PortReversesPageData(m, false))
        for (uint8_t &b : m.data) b = ReverseBits(b);
    ++m.page_number;
    m.page_lines = CountPageLines(m.data);
    if (ModemFaultAt(m, SimPhase::kC, m.page_number)) {
        ModemFailCall(sim, m);
        return false;
    }
    T30SendPage(sim, m.t30, m.data, m.page_number);
    m.data.clear();
    m.data_bps = 0;
    return true;
}

void SendPpm(Sim &sim, Modem &m, int ppm) {
    ModemEnterPhase(sim, m, SimPhase::kD, m.page_number);
    if (ModemFaultAt(m, SimPhase::kD, m.page_number)) {
        ModemFailCall(sim, m);
        return;
    }
    T30SendPpm(sim, m.t30, ppm);
    m.mode = ModemMode::kC2WaitPpr;
}

int OwnJudgement(const Modem &m) {
    return m.faults.rtn_page > 0 && m.faults.rtn_page == m.page_number ? kPprRtn : kPprMcf;
}

void ReportPostPage(Sim &sim, Modem &m, int ppm) {
    ReportPageStatus(sim, m, OwnJudgement(m));
    char text[32];
    snprintf(text, sizeof text, "+FET:%d", ppm);
    ModemInfo(sim, m, text);
    ModemToCommand(m);
    ModemResult(sim, m, Result::kOk);
}

// Receiver: hand the page to the host once it asked with +FDR and sent DC2.
void DeliverPage(Sim &sim, Modem &m) {
    bool reverse = PortReversesPageData(m, true) != m.quirks.reversed_bits;
    int bps = m.faults.paced && m.t30.params.mod ? m.t30.params.mod->bps : 0;
    int page = m.page_number + 1;
    m.page_lines = m.t30.page_lines;
    ModemEnterPhase(sim, m, SimPhase::kC, page);
    ModemSayJunk(sim, m);
    if (ModemSilentAt(m, SimPhase::kC, page)) {
        // Half the page, then nothing.
        ModemSendData(sim, m, Bytes(m.t30.page.begin(), m.t30.page.begin() + static_cast<long>(m.t30.page.size() / 2)),
                      bps, reverse, m.t30.page_began);
        ModemGoSilent(sim, m);
        return;
    }
    ModemSendData(sim, m, m.t30.page, bps, reverse, m.t30.page_began);
    ModemSay(sim, m, Bytes{kDle, kEtx});
    // The post-page message crosses the line after the page: its report
    // never comes with the page's last bytes.
    ModemHoldOutput(m, ModemOutputDone(m) + kPpmFrameMs);
    m.page_ready = false;
    ++m.page_number;
    ModemEnterPhase(sim, m, SimPhase::kD, m.page_number);
    if (ModemFaultAt(m, SimPhase::kD, m.page_number)) {
        ModemFailCall(sim, m);
        return;
    }
    m.mode = ModemMode::kC2WaitPpm;
    if (m.t30.state == T30State::kHavePpm) ReportPostPage(sim, m, m.t30.last_ppm);
}

void SenderEvent(Sim &sim, Modem &m, const T30Event &e) {
    switch (e.kind) {
    case T30EventKind::kRemoteId:
        ReportConnect(sim, m);
        ReportId(sim, m, D(m).csi);
        break;
    case T30EventKind::kDis:
        ReportConnect(sim, m);
        if (ReportsDis(m)) ModemInfo(sim, m, D(m).dis + T30DisReport(m.t30, !Is20(m)));
        if (m.mode == ModemMode::kC2DialWait) {
            ModemToCommand(m);
            ModemResult(sim, m, Result::kOk);
        }
        break;
    case T30EventKind::kTrained:
        m.trained = true;
        if (ReportsDcs(m)) ModemInfo(sim, m, D(m).dcs + T30DcsReport(m.t30, !Is20(m)));
        if (m.mode == ModemMode::kC2WaitTrain) StartPageData(sim, m);
        break;
    case T30EventKind::kPpr:
        ReportPageStatus(sim, m, e.value);
        if (e.value == kPprRtn) m.trained = false;
        if (m.t30.last_ppm == kPpmEop && e.value != kPprRtn) {
            ModemEnterPhase(sim, m, SimPhase::kEnd);
            break;  // the hang-up report follows
        }
        ModemToCommand(m);
        // T.32 answers a rejected page with ERROR.
        ModemResult(sim, m, Is20(m) && e.value == kPprRtn ? Result::kError : Result::kOk);
        break;
    case T30EventKind::kEnded:
        if (m.mode != ModemMode::kCommand) EndWithHangup(sim, m, e.value);
        m.call = -1;
        break;
    default:
        break;
    }
}

void ReceiverEvent(Sim &sim, Modem &m, const T30Event &e) {
    switch (e.kind) {
    case T30EventKind::kRemoteId:
        ReportConnect(sim, m);
        ReportId(sim, m, D(m).tsi);
        break;
    case T30EventKind::kDcs:
        ReportConnect(sim, m);
        if (ReportsDcs(m)) ModemInfo(sim, m, D(m).dcs + T30DcsReport(m.t30, !Is20(m)));
        ModemEnterPhase(sim, m, SimPhase::kTraining);  // the training check follows the DCS
        break;
    case T30EventKind::kTrained:
        if (m.mode == ModemMode::kC2Answering) {
            ModemToCommand(m);
            ModemResult(sim, m, Result::kOk);
        }
        break;
    case T30EventKind::kPage:
        m.page_ready = true;
        if (m.mode == ModemMode::kC2WaitPage) {
            m.mode = ModemMode::kC2WaitDc2;
            ModemResult(sim, m, Result::kConnect);
        }
        break;
    case T30EventKind::kPpm:
        if (m.mode == ModemMode::kC2WaitPpm) ReportPostPage(sim, m, e.value);
        break;
    case T30EventKind::kEnded:
        if (m.mode == ModemMode::kC2Answering || m.mode == ModemMode::kC2WaitPage ||
            m.mode == ModemMode::kC2WaitEnd || m.mode == ModemMode::kC2WaitDc2 || m.mode == ModemMode::kC2WaitPpm)
            EndWithHangup(sim, m, e.value);
        m.call = -1;
        break;
    default:
        break;
    }
}

// +FDR: answer the last page's post-page message, then wait for the next page.
void ReceiveCommand(Sim &sim, Modem &m) {
    if (CallOver(m)) {
        EndWithHangup(sim, m, m.t30.hangup_code);
        return;
    }
    if (ModemFaultAt(m, SimPhase::kC, m.page_number + 1)) {
        ModemFailCall(sim, m);
        return;
    }
    if (m.t30.state == T30State::kHavePpm && !m.page_ready) {
        int ppr = m.host_ppr ? m.host_ppr : OwnJudgement(m);
        m.host_ppr = 0;
        int ppm = m.t30.last_ppm;
        T30Respond(sim, m.t30, ppr);
        if (ppm == kPpmEop && ppr != kPprRtn) {
            m.mode = ModemMode::kC2WaitEnd;
            ModemEnterPhase(sim, m, SimPhase::kEnd);
            return;
        }
    }
    if (m.page_ready) {
        m.mode = ModemMode::kC2WaitDc2;
        ModemResult(sim, m, Result::kConnect);
    } else {
        m.mode = ModemMode::kC2WaitPage;
    }
}

// +FDT: train first if needed, then CONNECT for the page data.
void TransmitCommand(Sim &sim, Modem &m) {
    if (CallOver(m)) {
        if (m.t30.state == T30State::kEnded) {
            EndWithHangup(sim, m, m.t30.hangup_code);
        } else {
            ModemResult(sim, m, Result::kError);
        }
        return;
    }
    if (ModemFaultAt(m, SimPhase::kB) && m.page_number == 0) {
        ModemFailCall(sim, m);
        return;
    }
    if (m.trained) {
        StartPageData(sim, m);
        return;
    }
    m.mode = ModemMode::kC2WaitTrain;
    if (!T30Train(sim, m.t30)) T30Disconnect(sim, m.t30, 21);
}

bool InRange(const int *v, int n, const int *lo, const int *hi) {
    for (int i = 0; i < n; ++i)
        if (v[i] < lo[i] || v[i] > hi[i]) return false;
    return true;
}

CmdStatus CapabilityCommand(Sim &sim, Modem &m, const std::string &arg) {
    static constexpr int kLo[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    static constexpr int kHi[9] = {127, 5, 4, 2, 3, 2, 1, 7, 1};
    if (arg == "=?") {
        ModemInfo(sim, m, "(0,1),(0-5),(0-4),(0-2),(0-3),(0-2),(0,1),(0-7)");
        return CmdStatus::kOk;
    }
    if (arg == "?") {
        char text[64];
        snprintf(text, sizeof text, "%d,%d,%d,%d,%d,%d,%d,%d", m.vr, m.br, m.wd, m.ln, m.df, m.ec, m.bf, m.st);
        ModemInfo(sim, m, text);
        return CmdStatus::kOk;
    }
    if (arg.empty() || arg[0] != '=') return CmdStatus::kError;
    int v[9] = {m.vr, m.br, m.wd, m.ln, m.df, m.ec, m.bf, m.st, 0};
    int count = 0;
    if (!ParseNumbers(arg.substr(1), v, Is20(m) ? 9 : 8, count) || !InRange(v, count, kLo, kHi))
        return CmdStatus::kError;
    m.vr = v[0], m.br = v[1], m.wd = v[2], m.ln = v[3], m.df = v[4], m.ec = v[5], m.bf = v[6], m.st = v[7];
    return CmdStatus::kOk;
}

CmdStatus NumberSetting(Sim &sim, Modem &m, const std::string &arg, int &value, int lo, int hi) {
    if (arg == "?") {
        ModemInfo(sim, m, std::to_string(value));
        return CmdStatus::kOk;
    }
    if (arg == "=?") {
        ModemInfo(sim, m, "(" + std::to_string(lo) + "-" + std::to_string(hi) + ")");
        return CmdStatus::kOk;
    }
    if (arg.size() < 2 || arg[0] != '=') return CmdStatus::kError;
    char *end = nullptr;
    long v = strtol(arg.c_str() + 1, &end, 10);
    if (*end != '\0' || v < lo || v > hi) return CmdStatus::kError;
    value = static_cast<int>(v);
    return CmdStatus::kOk;
}

CmdStatus IdentityCommand(Sim &sim, Modem &m, const std::string &arg) {
    if (arg == "?") {
        ModemInfo(sim, m, "\"" + m.local_id + "\"");
        return CmdStatus::kOk;
    }
    if (arg == "=?") {
        ModemInfo(sim, m, "(20)(32-127)");
        return CmdStatus::kOk;
    }
    if (arg.empty() || arg[0] != '=') return CmdStatus::kError;
    std::string id;
    if (!ParseQuoted(arg.substr(1), id)) id = arg.substr(1);
    if (id.size() > 20) id.resize(20);  // T.30 carries twenty characters
    m.local_id = id;
    return CmdStatus::kOk;
}

void Select2(Modem &m) { m.dialect = &kClass2; }
void Select20(Modem &m) { m.dialect = &kClass20; }

}  // namespace

void Class2Reset(Modem &m) {
    m.vr = 1, m.br = 5, m.wd = 0, m.ln = 2, m.df = 0, m.ec = 0, m.bf = 0, m.st = 0;
    m.minsp = 0;
    m.bor = 0;
    m.fcr = 1;
    for (int &f : m.fnr) f = 0;
    m.host_ppr = 0;
    m.local_id.clear();
    m.dialect = &kClass2;
}

namespace {

CmdStatus Class2Command(Sim &sim, Modem &m, const std::string &t) {
    const Class2Dialect &d = D(m);
    size_t cut = t.find_first_of("=?");
    std::string name = t.substr(0, cut);
    std::string arg = cut == std::string::npos ? "" : t.substr(cut);
    if (name == d.id) return IdentityCommand(sim, m, arg);
    if (name == d.caps || name == d.params) return CapabilityCommand(sim, m, arg);
    if (name == d.minsp) return NumberSetting(sim, m, arg, m.minsp, 0, 5);
    if (name == d.bor) return NumberSetting(sim, m, arg, m.bor, 0, 3);
    if (name == "+FCR") return NumberSetting(sim, m, arg, m.fcr, 0, 1);
    if (name == d.ppr) return NumberSetting(sim, m, arg, m.host_ppr, 1, 5);
    if (name == "+FLO" && Is20(m)) {
        int lo = 0;
        return NumberSetting(sim, m, arg, lo, 0, 2);
    }
    if (name == "+FNR" && Is20(m)) {
        if (arg == "?") {
            char text[32];
            snprintf(text, sizeof text, "%d,%d,%d,%d", m.fnr[0], m.fnr[1], m.fnr[2], m.fnr[3]);
            ModemInfo(sim, m, text);
            return CmdStatus::kOk;
        }
        int v[4] = {m.fnr[0], m.fnr[1], m.fnr[2], m.fnr[3]};
        int count = 0;
        if (arg.size() < 2 || arg[0] != '=' || !ParseNumbers(arg.substr(1), v, 4, count)) return CmdStatus::kError;
        for (int i = 0; i < 4; ++i) m.fnr[i] = v[i] != 0;
        return CmdStatus::kOk;
    }
    if (name == "+FDT") {
        TransmitCommand(sim, m);
        return CmdStatus::kAsync;
    }
    if (name == "+FDR") {
        ReceiveCommand(sim, m);
        return CmdStatus::kAsync;
    }
    if (name == "+FET") {
        int ppm = -1;
        if (NumberSetting(sim, m, arg, ppm, 0, 2) != CmdStatus::kOk || ppm < 0) return CmdStatus::kError;
        if (m.t30.state != T30State::kTrained && m.t30.state != T30State::kHavePpr) return CmdStatus::kError;
        SendPpm(sim, m, ppm);
        return CmdStatus::kAsync;
    }
    if (name == d.abort) {
        if (!CallOver(m)) {
            T30Disconnect(sim, m.t30, 2);
            TranscriptNote(sim, m.name, "DCN");
            ++m.host_hangups;
        }
        m.t30.events.clear();
        ModemHangUp(sim, m);
        return CmdStatus::kOk;
    }
    for (const char *const *o = d.others; *o; ++o)
        if (name == *o) return CmdStatus::kOk;
    return CmdStatus::kError;
}

void Class2HostData(Sim &sim, Modem &m, uint8_t b) {
    if (m.mode == ModemMode::kC2WaitDc2) {
        if (b == 0x18) {  // CAN: the host stops the reception before the page began
            ModemSay(sim, m, Bytes{kDle, kEtx});
            ModemToCommand(m);
            ModemResult(sim, m, Result::kOk);
            return;
        }
        bool trigger = b == kDc2 || (b == kDc1 && D(m).dc1_trigger);
        if (trigger && m.faults.endless_page) ModemFlood(m, Flood::kPage);
        else if (trigger) DeliverPage(sim, m);
        return;
    }
    if (m.mode != ModemMode::kC2TxPage) {
        // A key stops the command the modem is busy with (dial, answer,
        // +FDT, +FET, +FDR), as on real modems; the session stays until +FK.
        if (ModemCancelOutput(sim, m, b)) return;
        if (b != '\r' && b != '\n' && b != kDc1 && b != 0x13) {  // XON, XOFF
            ModemToCommand(m);
            ModemResult(sim, m, Result::kOk);
        }
        return;
    }
    if (!m.dle) {
        if (b == kDle) m.dle = true;
        else m.data.push_back(b);
        return;
    }
    m.dle = false;
    if (b == kDle) {
        m.data.push_back(kDle);
    } else if (b == kSub) {
        m.data.insert(m.data.end(), {kDle, kDle});
    } else if (b == kEtx) {
        if (!PageDone(sim, m)) return;
        ModemToCommand(m);
        ModemResult(sim, m, Result::kOk);  // the host follows with +FET
    } else if (D(m).dle_ppm && (b == ',' || b == ';' || b == '.')) {
        if (!PageDone(sim, m)) return;
        SendPpm(sim, m, b == ',' ? kPpmMps : b == ';' ? kPpmEom : kPpmEop);
    }
}

bool Class2Step(Sim &sim, Modem &m) {
    bool progress = false;
    while (InboxReady(m.inbox)) {
        LineSignal s = m.inbox.front();
        m.inbox.pop_front();
        progress = true;
        if (s.kind == SignalKind::kAnswered) continue;
        if (CallOver(m) && s.kind == SignalKind::kDrop) {
            m.call = -1;
            continue;
        }
        T30OnSignal(sim, m.t30, s);
    }
    T30OnTimer(sim, m.t30, SimNow());
    while (!m.t30.events.empty()) {
        T30Event e = m.t30.events.front();
        m.t30.events.pop_front();
        progress = true;
        if (m.t30.role == T30Role::kSender)
            SenderEvent(sim, m, e);
        else
            ReceiverEvent(sim, m, e);
    }
    return progress;
}

void Class2Answer(Sim &sim, Modem &m) {
    SetUpT30(m);
    m.mode = ModemMode::kC2Answering;
    if (ModemFaultAt(m, SimPhase::kB)) {
        ModemFailCall(sim, m);
        return;
    }
    T30StartReceiver(sim, m.t30);
}

void Class2Dialled(Sim &sim, Modem &m) {
    SetUpT30(m);
    m.mode = ModemMode::kC2DialWait;
    T30StartSender(sim, m.t30);
}

}  // namespace

extern const ModemClassOps kClass2Ops = {2, "2", kSimClass2, Select2, Class2Command, Class2HostData,
                                         Class2Step, Class2Answer, Class2Dialled, "+FHNG:%d", true};
extern const ModemClassOps kClass20Ops = {20, "2.0", kSimClass20, Select20, Class2Command, Class2HostData,
                                          Class2Step, Class2Answer, Class2Dialled, "+FHS:%02d", true};
