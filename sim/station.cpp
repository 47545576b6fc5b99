// Built-in fax machines with numbers: an answering one that receives pages
// into page files, and a calling one that sends given page files.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "sim/sim_internal.h"

namespace {

Endpoint Self(const Station &s) { return {Endpoint::kStation, s.index}; }

void SetUpT30(Station &s) {
    T30 &t = s.t30;
    t.self = Self(s);
    t.local_id = s.config.identity;
    t.rates = s.config.rates;
    t.max_br = (s.config.rates & 0x20) ? 5 : (s.config.rates & 0x04) ? 3 : (s.config.rates & 0x08) ? 1 : 0;
    t.max_br = std::max(0, std::min(t.max_br, s.config.max_bps / 2400 - 1));
    t.min_br = 0;
    t.fine = s.config.fine;
    t.scan_ms = s.config.scan_ms;
    t.can_receive = s.config.answering;
    t.faults = &s.config.faults;
    t.params = T30Params{};
    t.df_max = s.config.data_format;
    t.ecm = s.config.ecm;
    t.ecm_frame_size = s.config.ecm_frame_size == 64 ? 64 : 256;
}

// A class 1 modem's host frames error correction itself, so the station
// does too; with a class 2 modem the page crosses whole, as it always has.
bool FarEndFramesEcm(const Sim &sim, const Station &s) {
    if (s.call < 0 || static_cast<size_t>(s.call) >= sim.calls.size()) return false;
    const Call &c = sim.calls[static_cast<size_t>(s.call)];
    const Endpoint far = c.caller.kind == Endpoint::kStation && c.caller.index == s.index ? c.callee : c.caller;
    if (far.kind != Endpoint::kModem) return false;
    const Modem &m = sim.modems[static_cast<size_t>(far.index)];
    return m.ops && m.ops->fclass == 1;
}

std::string PagePath(const Station &s, int page) {
    char name[64];
    snprintf(name, sizeof name, "_p%d.g3", page);
    std::string dir = s.config.page_dir.empty() ? "." : s.config.page_dir;
    return dir + "/" + s.config.base + name;
}

bool ReadFile(const std::string &path, Bytes &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void WriteFile(const std::string &path, const Bytes &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

void CallEnded(Sim &sim, Station &s, int code) {
    s.call = -1;
    s.next_call = SimNow() + s.config.call_interval_ms;
    s.ringing = false;
    s.result.calls += 1;
    s.result.hangup_code = code;
    s.result.remote_id = s.t30.remote_id;
    const EcmLine &e = s.t30.ecm_line;
    s.result.ecm_pprs = e.pprs_total;
    s.result.ecm_frames_resent = e.frames_resent;
    s.result.ecm_ctcs = e.ctcs_total;
    s.result.ecm_eors = e.eors_total;
    s.result.ecm_bad_frames = e.bad_frames;
    s.t30.state = T30State::kIdle;
    s.inbox.clear();
    sim.changed.notify_all();
}

// Calling station: the next page and its post-page message.
void SendNextPage(Sim &sim, Station &s) {
    Bytes page;
    if (s.next_page >= s.config.pages.size() || !ReadFile(s.config.pages[s.next_page], page)) {
        T30Disconnect(sim, s.t30, 41);
        return;
    }
    int number = static_cast<int>(s.next_page) + 1;
    const SimFaults &f = s.config.faults;
    if (T30FaultCuts(sim, s.t30, SimPhase::kC, number)) return;
    if (f.bad_lines_page == number && s.resends == 0) page = SpoilLines(page);
    T30SendPage(sim, s.t30, page, number);
    if (T30FaultCuts(sim, s.t30, SimPhase::kD, number)) return;
    bool last = s.next_page + 1 >= s.config.pages.size();
    T30SendPpm(sim, s.t30, last ? kPpmEop : f.eom_page == number ? kPpmEom : kPpmMps);
}

void SenderEvent(Sim &sim, Station &s, const T30Event &e) {
    switch (e.kind) {
    case T30EventKind::kDis:
        if (T30FaultCuts(sim, s.t30, SimPhase::kB)) break;
        // Its page files are in one coding: a far end without it gets none.
        if (s.config.pages.empty() || T30ChooseCoding(s.t30).df != s.config.data_format || !T30Train(sim, s.t30))
            T30Disconnect(sim, s.t30, 21);
        break;
    case T30EventKind::kTrained:
        s.result.data_format = s.t30.params.df;
        s.result.ecm_frame = s.t30.params.ecm_frame;
        SendNextPage(sim, s);
        break;
    case T30EventKind::kPpr:
        if (e.value == kPprRtn) {
            // Retrain and send the page again, a few times at most.
            if (++s.resends > 2 || !T30Train(sim, s.t30)) T30Disconnect(sim, s.t30, 50);
            break;
        }
        s.resends = 0;
        ++s.next_page;
        s.result.pages = static_cast<int>(s.next_page);
        // After EOM the next document begins with the receiver's DIS.
        if (s.t30.last_ppm == kPpmEom) T30AwaitDis(sim, s.t30);
        else if (s.next_page < s.config.pages.size()) SendNextPage(sim, s);
        break;
    case T30EventKind::kEnded:
        CallEnded(sim, s, e.value);
        break;
    default:
        break;
    }
}

void ReceiverEvent(Sim &sim, Station &s, const T30Event &e) {
    switch (e.kind) {
    case T30EventKind::kDcs:
        s.result.data_format = s.t30.params.df;
        s.result.ecm_frame = s.t30.params.ecm_frame;
        break;
    case T30EventKind::kTrained:
        s.line_mark = ExchangeCarriedMs(sim, Self(s));
        break;
    case T30EventKind::kPage:
        WriteFile(PagePath(s, s.result.pages + 1), s.t30.page);
        break;
    case T30EventKind::kPpm: {
        int number = s.result.pages + 1;
        bool reject = s.config.faults.rtn_page == number && s.resends == 0;
        if (reject) {
            s.resends = 1;
            T30Respond(sim, s.t30, kPprRtn);
            break;
        }
        s.resends = 0;
        s.result.pages = number;
        s.result.page_files.push_back(PagePath(s, number));
        s.result.page_lines.push_back(s.t30.page_lines);
        T30Respond(sim, s.t30, kPprMcf);
        {
            const SimTime carried = ExchangeCarriedMs(sim, Self(s));
            s.result.page_line_ms.push_back(static_cast<uint32_t>(carried - s.line_mark));
            s.line_mark = carried;
        }
        break;
    }
    case T30EventKind::kEnded:
        CallEnded(sim, s, e.value);
        break;
    default:
        break;
    }
}

bool CallsByItself(const Station &s) {
    const SimStationConfig &c = s.config;
    return !c.answering && !c.dial.empty() && (c.call_count == 0 || s.calls_placed < c.call_count);
}

// The host of the called modem has opened its port, set it up and gone
// quiet: a call now finds it waiting for RING, not in its "ATZ".
bool CalleeReady(Sim &sim, const Station &s, SimTime now) {
    Endpoint e = ExchangeFind(sim, s.config.dial);
    if (e.kind != Endpoint::kModem || s.config.host_settle_ms == 0) return true;
    const Modem &m = sim.modems[static_cast<size_t>(e.index)];
    return m.pty.attached && m.host_spoke && m.mode == ModemMode::kCommand && m.call == -1 && m.pending.empty() &&
           m.out.empty() && now - m.host_last_byte >= s.config.host_settle_ms;
}

bool CallWhenDue(Sim &sim, Station &s, SimTime now) {
    if (s.call != -1 || !CallsByItself(s) || now < s.next_call || !CalleeReady(sim, s, now)) return false;
    ++s.calls_placed;
    StationPlaceCall(sim, s, s.config.dial);
    return true;
}

}  // namespace

SimTime StationNextWake(const Sim &sim, const Station &s, SimTime now) {
    (void)sim;
    SimTime next = s.t30.deadline;
    if (!s.inbox.empty() && s.inbox.front().at < next) next = s.inbox.front().at;
    // Waiting for a host to settle: look again now and then.
    if (s.call == -1 && CallsByItself(s)) {
        SimTime look = s.next_call > now + 50 ? s.next_call : now + 50;
        if (look < next) next = look;
    }
    return next;
}

bool StationStep(Sim &sim, Station &s, SimTime now) {
    bool progress = CallWhenDue(sim, s, now);
    if (s.ringing && s.call != -1) {
        // Answers at the first ring.
        s.ringing = false;
        ExchangeAnswer(sim, s.call);
        SetUpT30(s);
        s.t30.hdlc_ecm = FarEndFramesEcm(sim, s);
        s.resends = 0;
        s.result.pages = 0;
        s.result.page_files.clear();
        s.result.page_lines.clear();
        s.result.page_line_ms.clear();
        s.line_mark = 0;
        s.result.data_format = 0;
        s.result.ecm_frame = 0;
        T30StartReceiver(sim, s.t30);
        progress = true;
    }
    while (InboxReady(s.inbox)) {
        LineSignal sig = s.inbox.front();
        s.inbox.pop_front();
        progress = true;
        if (sig.kind == SignalKind::kAnswered) {
            s.t30.hdlc_ecm = FarEndFramesEcm(sim, s);
            T30StartSender(sim, s.t30);
        } else if (s.t30.state == T30State::kIdle && sig.kind == SignalKind::kDrop) {
            CallEnded(sim, s, 4);  // rang out: nobody answered
        } else {
            T30OnSignal(sim, s.t30, sig);
        }
    }
    T30OnTimer(sim, s.t30, now);
    while (!s.t30.events.empty()) {
        T30Event e = s.t30.events.front();
        s.t30.events.pop_front();
        progress = true;
        if (s.t30.role == T30Role::kSender)
            SenderEvent(sim, s, e);
        else
            ReceiverEvent(sim, s, e);
    }
    return progress;
}

bool StationPlaceCall(Sim &sim, Station &s, const std::string &number) {
    if (s.call != -1) return false;
    SetUpT30(s);
    s.next_page = 0;
    s.resends = 0;
    s.result.pages = 0;
    s.result.data_format = 0;
    s.result.ecm_frame = 0;
    int call = -1;
    DialOutcome o = ExchangeDial(sim, Self(s), number, call);
    if (o != DialOutcome::kRinging) {
        CallEnded(sim, s, o == DialOutcome::kBusy ? -2 : 3);
        return false;
    }
    return true;
}
