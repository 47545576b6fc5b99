// What every emulated modem does whatever its class: the command line with
// echo and result codes, dialling and answering through the exchange, RING,
// S-registers, "DTR off" when the host closes the port, and timed output.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/sim_internal.h"

namespace {

struct ResultText {
    Result result;
    const char *word;
};

constexpr ResultText kResults[] = {
    {Result::kOk, "OK"},           {Result::kConnect, "CONNECT"},        {Result::kRing, "RING"},
    {Result::kNoCarrier, "NO CARRIER"}, {Result::kError, "ERROR"},       {Result::kNoDialTone, "NO DIALTONE"},
    {Result::kBusy, "BUSY"},       {Result::kNoAnswer, "NO ANSWER"},     {Result::kDelayed, "DELAYED"},
};

const Bytes kGarbage{0xFE, 0x00, 0x7F, 0x92, 0x07};
const Bytes kJunk{0xFE, 0x7F, 0x92, 0x07, 0x1B, '\r', '\n', '#', '~', '%', ' ', 'q', '9', '!', '\r', '\n'};

bool GarbageNow(const Modem &m) {
    return m.faults.garbage_phase != SimPhase::kNone && m.phase == m.faults.garbage_phase &&
           FaultPageMatches(m.faults, m.phase_page);
}

// What goes before a response: the old every-response garbage, then the phase's junk.
Bytes ResponsePrefix(const Modem &m) {
    Bytes b = m.faults.garbage ? kGarbage : Bytes{};
    if (GarbageNow(m)) b.insert(b.end(), kJunk.begin(), kJunk.end());
    return b;
}

Endpoint Self(const Modem &m) { return {Endpoint::kModem, m.index}; }

SimTime ResponseTime(const Modem &m) { return SimNow() + static_cast<SimTime>(m.quirks.response_delay_ms); }

void ResetSettings(Modem &m) {
    m.echo = true;
    m.verbose = true;
    m.quiet = false;
    memset(m.s_regs, 0, sizeof m.s_regs);
    m.s_regs[3] = 13;
    m.s_regs[4] = 10;
    m.s_regs[5] = 8;
    m.s_regs[7] = 50;
    ModemClassesReset(m);
}

void Answer(Sim &sim, Modem &m) {
    if (!m.ringing || m.call == -1) {
        ModemResult(sim, m, Result::kNoCarrier);
        return;
    }
    ExchangeAnswer(sim, m.call);
    m.inbox.clear();
    m.line_dropped = false;
    m.c1_ftm_count = 0;
    m.c1_frame_cmds = 0;
    m.c1_page_sent = false;
    m.c1_eop_sent = false;
    ModemEnterPhase(sim, m, SimPhase::kDial);
    if (ModemFaultAt(m, SimPhase::kDial)) {
        ModemFailCall(sim, m);
    } else {
        m.ops->answer(sim, m);
    }
}

CmdStatus ClassCommand(Sim &sim, Modem &m, const std::string &t) {
    std::string arg = t.substr(7);  // after "+FCLASS"
    if (arg == "=?") {
        ModemInfo(sim, m, ModemClassList(m));
        return CmdStatus::kOk;
    }
    if (arg == "?") {
        ModemInfo(sim, m, m.ops->name);
        return CmdStatus::kOk;
    }
    const ModemClassOps *chosen = arg.size() > 1 && arg[0] == '=' ? ModemClassNamed(m, arg.substr(1)) : nullptr;
    if (!chosen) return CmdStatus::kError;
    m.ops = chosen;
    chosen->select(m);
    return CmdStatus::kOk;
}

CmdStatus SRegister(Sim &sim, Modem &m, const std::string &t) {
    size_t i = 1;
    int reg = atoi(t.c_str() + i);
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    if (reg < 0 || reg >= 100) return CmdStatus::kError;
    if (i < t.size() && t[i] == '?') {
        char text[8];
        snprintf(text, sizeof text, "%03d", m.s_regs[reg]);
        ModemInfo(sim, m, text);
        return CmdStatus::kOk;
    }
    if (i < t.size() && t[i] == '=') {
        int v = atoi(t.c_str() + i + 1);
        if (v < 0 || v > 255) return CmdStatus::kError;
        m.s_regs[reg] = v;
    }
    return CmdStatus::kOk;
}

CmdStatus ExecuteOne(Sim &sim, Modem &m, const std::string &t) {
    if (t.rfind("+FCLASS", 0) == 0) return ClassCommand(sim, m, t);
    if (t == "+GMI" || t == "+FMI?" || t == "+FMFR?") {
        ModemInfo(sim, m, "TOLLAN");
        return CmdStatus::kOk;
    }
    if (t == "+GMM" || t == "+FMM?" || t == "+FMDL?") {
        ModemInfo(sim, m, "SIM FAX");
        return CmdStatus::kOk;
    }
    if (t == "+GMR" || t == "+FMR?" || t == "+FREV?") {
        ModemInfo(sim, m, "1.0");
        return CmdStatus::kOk;
    }
    if (t.rfind("+F", 0) == 0) return m.ops->command(sim, m, t);
    if (t[0] == '+' || t[0] == '#' || t[0] == '$') return CmdStatus::kError;
    int n = t.size() > 1 ? atoi(t.c_str() + 1) : 0;
    switch (t[0]) {
    case 'A':
        Answer(sim, m);
        return CmdStatus::kAsync;
    case 'D':
        ModemDial(sim, m, t.substr(1));
        return CmdStatus::kAsync;
    case 'E': m.echo = n != 0; return CmdStatus::kOk;
    case 'V': m.verbose = n != 0; return CmdStatus::kOk;
    case 'Q': m.quiet = n != 0; return CmdStatus::kOk;
    case 'H':
        if (n != 0) return CmdStatus::kOk;  // off hook: nothing to do here
        if (m.call != -1 || m.mode == ModemMode::kDialing) ++m.host_hangups;
        ModemHangUp(sim, m);
        return CmdStatus::kOk;
    case 'Z':
        ModemHangUp(sim, m);
        ResetSettings(m);
        return CmdStatus::kOk;
    case 'I': ModemInfo(sim, m, "TOLLAN SIM FAX"); return CmdStatus::kOk;
    case 'O': return CmdStatus::kError;  // never in a data call
    case 'S': return SRegister(sim, m, t);
    case '&':
        if (t.size() > 1 && t[1] == 'F') {
            ModemHangUp(sim, m);
            ResetSettings(m);
        }
        return CmdStatus::kOk;
    case '\\': case '%': case 'B': case 'C': case 'L': case 'M': case 'N':
    case 'P': case 'T': case 'W': case 'X': case 'Y':
        return CmdStatus::kOk;
    default:
        return CmdStatus::kError;
    }
}

void ExecuteLine(Sim &sim, Modem &m, const std::string &line) {
    std::vector<AtCommand> cmds;
    if (!ParseAtLine(line, cmds)) {
        ModemResult(sim, m, Result::kError);
        return;
    }
    for (const AtCommand &c : cmds) {
        CmdStatus st = ExecuteOne(sim, m, c.text);
        if (st == CmdStatus::kError) {
            ModemResult(sim, m, Result::kError);
            return;
        }
        if (st == CmdStatus::kAsync) return;
    }
    ModemResult(sim, m, Result::kOk);
}

void CommandByte(Sim &sim, Modem &m, uint8_t c) {
    if (m.echo || m.quirks.echo_always) ModemSay(sim, m, Bytes{c});
    if (!m.in_at) {
        // Waiting for "AT": keep the last character to find the pair.
        bool a = !m.line.empty() && (m.line.back() == 'A' || m.line.back() == 'a');
        if (a && (c == 'T' || c == 't')) {
            m.in_at = true;
            m.line.clear();
        } else {
            m.line.assign(1, static_cast<char>(c));
        }
        return;
    }
    if (c == m.s_regs[3] || c == '\r') {
        m.in_at = false;
        std::string line = m.line;
        m.line.clear();
        ExecuteLine(sim, m, line);
        m.command_ended = true;
    } else if (c == m.s_regs[5] || c == 0x7F) {
        if (!m.line.empty()) m.line.pop_back();
    } else if (c >= 32 && c < 127 && m.line.size() < 255) {
        m.line += static_cast<char>(c);
    }
}

// A call that ends outside a fax session: the class's hang-up report and
// OK, or NO CARRIER.
void ReportCallEnded(Sim &sim, Modem &m, int code) {
    if (m.ops->hangup_report && !m.quirks.no_carrier_hangup) {
        char text[32];
        snprintf(text, sizeof text, m.ops->hangup_report, code);
        ModemInfo(sim, m, text);
        ModemResult(sim, m, Result::kOk);
    } else {
        ModemResult(sim, m, Result::kNoCarrier);
    }
}

void DialEnded(Sim &sim, Modem &m, const LineSignal &s) {
    m.mode = ModemMode::kCommand;
    if (s.kind == SignalKind::kDrop) {
        m.call = -1;
        ReportCallEnded(sim, m, 4);  // ring-back and nobody answered
        return;
    }
    m.line_dropped = false;
    m.c1_ftm_count = 0;
    m.c1_frame_cmds = 0;
    m.c1_page_sent = false;
    m.c1_eop_sent = false;
    if (ModemFaultAt(m, SimPhase::kDial)) {
        ModemFailCall(sim, m);
    } else {
        m.ops->dialled(sim, m);
    }
}

// The stream is kept a few kilobytes ahead of the host: as fast as it reads,
// without end. Babble is printable text with no line end; an endless page is
// image data (white lines with their EOLs) that holds no DLE, so no DLE ETX
// ever ends it.
constexpr size_t kFloodAhead = 4096;
const char kBabble[] = "+FHNG:0 OK CONNECT RING +FPTS:1 ";
const uint8_t kEndlessLine[] = {0x00, 0x80, 0xB2, 0x59, 0x01};

bool TopUpFlood(Modem &m) {
    if (m.out.size() >= kFloodAhead) return false;
    while (m.out.size() < kFloodAhead) {
        if (m.flood == Flood::kText)
            m.out.insert(m.out.end(), kBabble, kBabble + sizeof kBabble - 1);
        else
            m.out.insert(m.out.end(), kEndlessLine, kEndlessLine + sizeof kEndlessLine);
    }
    return true;
}

}  // namespace

void ModemSay(Sim &sim, Modem &m, const Bytes &bytes, SimTime when) {
    (void)sim;
    if (m.muted || m.flood != Flood::kNone) return;
    SimTime due = when ? when : SimNow();
    if (due < m.hold_output) due = m.hold_output;
    if (!m.pending.empty() && m.pending.back().due > due) due = m.pending.back().due;
    m.pending.push_back({due, bytes});
}

void ModemHoldOutput(Modem &m, SimTime until) {
    if (until > m.hold_output) m.hold_output = until;
}

SimTime ModemOutputDone(const Modem &m) {
    SimTime now = SimNow();
    SimTime done = m.pending.empty() ? now : m.pending.back().due;
    return done > now ? done : now;
}

SimTime LineTimeMs(size_t bytes, int bps) {
    return bps > 0 ? static_cast<SimTime>(bytes) * 8000 / static_cast<SimTime>(bps) : 0;
}

void ModemInfo(Sim &sim, Modem &m, const std::string &text) {
    Bytes b = ResponsePrefix(m);
    std::string framed = m.verbose ? "\r\n" + text + "\r\n" : text + "\r\n";
    b.insert(b.end(), framed.begin(), framed.end());
    ModemSay(sim, m, b, ResponseTime(m));
}

void ModemResult(Sim &sim, Modem &m, Result r) {
    if (m.quiet) return;
    const char *word = "ERROR";
    for (const ResultText &t : kResults)
        if (t.result == r) word = t.word;
    Bytes b = ResponsePrefix(m);
    std::string framed = m.verbose ? "\r\n" + std::string(word) + "\r\n" : std::to_string(static_cast<int>(r)) + "\r";
    b.insert(b.end(), framed.begin(), framed.end());
    ModemSay(sim, m, b, ResponseTime(m));
}

void ModemToCommand(Modem &m) {
    m.mode = ModemMode::kCommand;
    m.data.clear();
    m.dle = false;
    m.data_bps = 0;
}

void ModemHangUp(Sim &sim, Modem &m) {
    if (m.ringing) {
        // Still on hook: "ATH" or "ATZ" while it rings leaves the call ringing.
        ModemToCommand(m);
        return;
    }
    if (m.call != -1) {
        if (m.t30.state != T30State::kIdle && m.t30.state != T30State::kEnded) {
            // A fax call put down by the host still says goodbye.
            T30Disconnect(sim, m.t30, 2);
        }
        ExchangeHangUp(sim, Self(m));
    }
    m.call = -1;
    m.inbox.clear();
    m.t30.events.clear();
    m.t30.state = T30State::kIdle;
    m.page_ready = false;
    ModemToCommand(m);
}

bool ModemFaultAt(const Modem &m, SimPhase phase, int page) {
    return m.faults.fail_phase == phase && FaultPageMatches(m.faults, page);
}

bool ModemSilentAt(const Modem &m, SimPhase phase, int page) {
    return m.faults.silent_phase == phase && FaultPageMatches(m.faults, page);
}

void ModemGoSilent(Sim &sim, Modem &m) {
    m.muted = true;
    if (m.call != -1) ExchangeSilence(sim, Self(m));
}

void ModemFlood(Modem &m, Flood flood) {
    m.flood = flood;
    m.pending.clear();
}

bool ModemEnterPhase(Sim &sim, Modem &m, SimPhase phase, int page) {
    m.phase = phase;
    m.phase_page = page;
    if (sim.phase_hook) sim.phase_hook(sim.phase_hook_user, m.index, phase, page);
    if (m.faults.babble_phase == phase && FaultPageMatches(m.faults, page)) ModemFlood(m, Flood::kText);
    if (phase != SimPhase::kC && ModemSilentAt(m, phase, page)) ModemGoSilent(sim, m);
    if ((phase == SimPhase::kTraining || phase == SimPhase::kEnd) && ModemFaultAt(m, phase)) {
        ModemFailCall(sim, m);
        return false;
    }
    return true;
}

void ModemSayJunk(Sim &sim, Modem &m) {
    if (GarbageNow(m)) ModemSay(sim, m, kJunk);
}

void ModemFailCall(Sim &sim, Modem &m) {
    if (m.call != -1) ExchangeHangUp(sim, Self(m));
    m.call = -1;
    m.inbox.clear();
    m.t30.events.clear();
    m.t30.state = T30State::kIdle;
    m.page_ready = false;
    ModemToCommand(m);
    if (m.faults.fail_code >= 0) {
        ReportCallEnded(sim, m, m.faults.fail_code);
    } else {
        ModemResult(sim, m, Result::kNoCarrier);
    }
}

bool ModemDial(Sim &sim, Modem &m, const std::string &number) {
    if (m.call != -1) {
        ModemResult(sim, m, Result::kError);
        return false;
    }
    int call = -1;
    switch (ExchangeDial(sim, Self(m), number, call)) {
    case DialOutcome::kBusy: ModemResult(sim, m, Result::kBusy); return false;
    case DialOutcome::kNoDialTone: ModemResult(sim, m, Result::kNoDialTone); return false;
    case DialOutcome::kDelayed: ModemResult(sim, m, Result::kDelayed); return false;
    case DialOutcome::kRinging: break;
    }
    m.inbox.clear();
    m.mode = ModemMode::kDialing;
    ModemEnterPhase(sim, m, SimPhase::kDial);
    return true;
}

void ModemDetached(Sim &sim, Modem &m) {
    // The host closed the port: like DTR going off, the call is put down.
    ModemHangUp(sim, m);
    m.host_spoke = false;
    m.pending.clear();
    m.hold_output = 0;
    m.out.clear();
    m.line.clear();
    m.in_at = false;
    // Its power cycled, so to speak: a silenced modem talks again.
    m.muted = false;
    m.flood = Flood::kNone;
    m.phase = SimPhase::kNone;
    m.phase_page = 0;
}

void ModemSendData(Sim &sim, Modem &m, const Bytes &data, int bps, bool reverse, SimTime began) {
    Bytes framed;
    framed.reserve(data.size() + data.size() / 16 + 2);
    for (uint8_t b : data) {
        uint8_t v = reverse ? ReverseBits(b) : b;
        framed.push_back(v);
        if (v == kDle) framed.push_back(kDle);
    }
    if (bps <= 0) {
        ModemSay(sim, m, framed);
        return;
    }
    // At the line's rate: a slice every 50 ms.
    size_t slice = static_cast<size_t>(bps) / 8 / 20;
    if (slice == 0) slice = 1;
    SimTime t = began;
    for (size_t i = 0; i < framed.size(); i += slice) {
        size_t end = i + slice < framed.size() ? i + slice : framed.size();
        ModemSay(sim, m, Bytes(framed.begin() + static_cast<long>(i), framed.begin() + static_cast<long>(end)), t);
        t += 50;
    }
}

bool ModemStep(Sim &sim, Modem &m, SimTime now) {
    bool progress = false;
    if (m.faults.babble && m.pty.attached && m.flood == Flood::kNone) ModemFlood(m, Flood::kText);
    if (m.flood != Flood::kNone && m.pty.attached) progress = TopUpFlood(m) || progress;
    while (!m.pending.empty() && m.pending.front().due <= now) {
        if (m.pty.attached) m.out.insert(m.out.end(), m.pending.front().bytes.begin(), m.pending.front().bytes.end());
        m.pending.pop_front();
    }
    if (m.ringing && now >= m.next_ring) {
        ++m.rings;
        m.s_regs[1] = m.rings;
        ModemResult(sim, m, Result::kRing);
        m.next_ring = now + sim.config.timings.ring_interval;
        if (m.s_regs[0] > 0 && m.rings >= m.s_regs[0] && m.mode == ModemMode::kCommand) Answer(sim, m);
        progress = true;
    }
    if (m.mode == ModemMode::kDialing) {
        if (!InboxReady(m.inbox)) return progress;
        LineSignal s = m.inbox.front();
        m.inbox.pop_front();
        DialEnded(sim, m, s);
        return true;
    }
    return m.ops->step(sim, m) || progress;
}

SimTime ModemNextWake(const Sim &sim, const Modem &m) {
    (void)sim;
    SimTime next = kNever;
    if (!m.pending.empty()) next = m.pending.front().due;
    if (m.ringing && m.next_ring < next) next = m.next_ring;
    if (m.ops->runs_t30 && m.t30.deadline < next) next = m.t30.deadline;
    if (m.mode == ModemMode::kC1Answering && m.c1_connect_at < next) next = m.c1_connect_at;
    if (!m.pty.attached && m.pty.next_check < next) next = m.pty.next_check;
    if (!m.inbox.empty() && m.inbox.front().at < next) next = m.inbox.front().at;
    if (m.data_bps > 0 || m.flood != Flood::kNone || (m.faults.babble && m.pty.attached)) {
        SimTime soon = SimNow() + 20;
        if (soon < next) next = soon;
    }
    return next;
}

size_t ModemReadBudget(const Modem &m, SimTime now) {
    bool data_mode = m.mode == ModemMode::kC1TxData || m.mode == ModemMode::kC2TxPage;
    if (!data_mode || m.data_bps <= 0) return 4096;
    // A modem's buffer takes a little ahead of the line, then the host waits.
    size_t allowed = 256 + static_cast<size_t>((now - m.data_start) * static_cast<SimTime>(m.data_bps) / 8000);
    return allowed > m.data_taken ? allowed - m.data_taken : 0;
}

void ModemHostBytes(Sim &sim, Modem &m, const uint8_t *b, size_t n) {
    TranscriptLog(sim, m.name, true, b, n);
    if (n > 0) {
        m.host_spoke = true;
        m.host_last_byte = SimNow();
    }
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = b[i];
        // The line feed after the carriage return that ended a command
        // belongs to the command, even when the command went on line.
        bool after_command = m.command_ended;
        m.command_ended = false;
        if (c == '\n' && after_command) continue;
        switch (m.mode) {
        case ModemMode::kCommand:
            if (!ModemCancelOutput(sim, m, c)) CommandByte(sim, m, c);
            break;
        case ModemMode::kDialing:
            if (c != '\r' && c != '\n') {
                // Any key aborts the dial.
                ModemHangUp(sim, m);
                ModemResult(sim, m, Result::kNoCarrier);
            }
            break;
        default:
            m.data_taken += 1;
            m.ops->host_data(sim, m, c);
            break;
        }
    }
}

bool ModemCancelOutput(Sim &sim, Modem &m, uint8_t c) {
    const bool holding = !m.pending.empty() || !m.out.empty() || m.hold_output > SimNow();
    if (c != 0x18 || !holding) return false;  // CAN
    // The host cancels: what the modem still held for it (the rest of a
    // received page) is dropped.
    m.pending.clear();
    m.out.clear();
    m.hold_output = 0;
    ModemSay(sim, m, Bytes{kDle, kEtx});
    ModemToCommand(m);
    ModemResult(sim, m, Result::kOk);
    return true;
}

void ModemReset(Modem &m) { ResetSettings(m); }
