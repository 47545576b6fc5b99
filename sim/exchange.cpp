// The virtual exchange: numbers, ringing, busy lines, no answer, no dial
// tone, and the line between the two ends of a call.
#include "sim/sim_internal.h"

namespace {

// Dial strings carry modifiers (T, P, W, commas, dashes); a number is its digits.
std::string DigitsOf(const std::string &dial) {
    std::string d;
    for (char c : dial)
        if ((c >= '0' && c <= '9') || c == '*' || c == '#') d += c;
    return d;
}

}  // namespace

Endpoint ExchangeFind(Sim &sim, const std::string &number) {
    std::string want = DigitsOf(number);
    if (want.empty()) return {};
    for (const Modem &m : sim.modems)
        if (DigitsOf(m.number) == want) return {Endpoint::kModem, m.index};
    for (const Station &s : sim.stations)
        if (s.config.answering && DigitsOf(s.config.number) == want) return {Endpoint::kStation, s.index};
    return {};
}

namespace {

int &CallOf(Sim &sim, Endpoint e) {
    if (e.kind == Endpoint::kModem) return sim.modems[static_cast<size_t>(e.index)].call;
    return sim.stations[static_cast<size_t>(e.index)].call;
}

bool Same(Endpoint a, Endpoint b) { return a.kind == b.kind && a.index == b.index; }

void SetRinging(Sim &sim, Endpoint e, bool on) {
    if (e.kind == Endpoint::kModem) {
        Modem &m = sim.modems[static_cast<size_t>(e.index)];
        m.ringing = on;
        m.rings = 0;
        m.next_ring = on ? SimNow() : kNever;
    } else if (e.kind == Endpoint::kStation) {
        Station &s = sim.stations[static_cast<size_t>(e.index)];
        s.ringing = on;
        s.rings = 0;
    }
}

void Deliver(Sim &sim, Endpoint to, LineSignal s) {
    if (std::deque<LineSignal> *box = Inbox(sim, to)) box->push_back(std::move(s));
}

}  // namespace

std::deque<LineSignal> *Inbox(Sim &sim, Endpoint e) {
    if (e.kind == Endpoint::kModem) return &sim.modems[static_cast<size_t>(e.index)].inbox;
    if (e.kind == Endpoint::kStation) return &sim.stations[static_cast<size_t>(e.index)].inbox;
    return nullptr;
}

const SimFaults &FaultsOf(Sim &sim, Endpoint e) {
    static const SimFaults kNone;
    if (e.kind == Endpoint::kModem) return sim.modems[static_cast<size_t>(e.index)].faults;
    if (e.kind == Endpoint::kStation) return sim.stations[static_cast<size_t>(e.index)].config.faults;
    return kNone;
}

DialOutcome ExchangeDial(Sim &sim, Endpoint caller, const std::string &number, int &call) {
    const SimFaults &mine = FaultsOf(sim, caller);
    if (mine.no_dial_tone) return DialOutcome::kNoDialTone;
    if (mine.delayed) return DialOutcome::kDelayed;
    if (mine.busy) return DialOutcome::kBusy;
    Endpoint callee = ExchangeFind(sim, number);
    if (callee.kind != Endpoint::kNone) {
        if (Same(callee, caller) || CallOf(sim, callee) != -1 || FaultsOf(sim, callee).busy)
            return DialOutcome::kBusy;
        // A line that never answers: only the caller hears the ring-back.
        if (mine.no_answer || FaultsOf(sim, callee).no_answer) callee = Endpoint{};
    }
    Call c;
    c.caller = caller;
    c.callee = callee;
    c.give_up = SimNow() + sim.config.timings.give_up;
    sim.calls.push_back(c);
    call = static_cast<int>(sim.calls.size() - 1);
    CallOf(sim, caller) = call;
    if (callee.kind != Endpoint::kNone) {
        CallOf(sim, callee) = call;
        SetRinging(sim, callee, true);
    }
    return DialOutcome::kRinging;
}

void ExchangeAnswer(Sim &sim, int call) {
    Call &c = sim.calls[static_cast<size_t>(call)];
    if (c.state != CallState::kRinging) return;
    c.state = CallState::kConnected;
    SetRinging(sim, c.callee, false);
    LineSignal s;
    s.kind = SignalKind::kAnswered;
    Deliver(sim, c.caller, s);
}

void ExchangeHangUp(Sim &sim, Endpoint who) {
    int &mine = CallOf(sim, who);
    if (mine == -1) return;
    Call &c = sim.calls[static_cast<size_t>(mine)];
    mine = -1;
    if (c.state == CallState::kEnded) return;
    bool was_ringing = c.state == CallState::kRinging;
    c.state = CallState::kEnded;
    Endpoint other = Same(who, c.caller) ? c.callee : c.caller;
    if (other.kind == Endpoint::kNone) return;
    // An unanswered call put down by its callee stops ringing there too.
    if (was_ringing && Same(who, c.callee)) SetRinging(sim, who, false);
    if (was_ringing && Same(other, c.callee)) {
        SetRinging(sim, other, false);
        CallOf(sim, other) = -1;
        return;
    }
    LineSignal s;
    s.kind = SignalKind::kDrop;
    s.at = c.line_free[Same(who, c.caller) ? 0 : 1];
    Deliver(sim, other, s);
}

bool InboxReady(const std::deque<LineSignal> &box) { return !box.empty() && box.front().at <= SimNow(); }

// With line time emulated (a paced end in the call) a frame arrives when its
// last bit has crossed at 300 bit/s, and a burst holds the line for its
// length; a modem that takes its host's data at the line rate has spent
// that time already.
void ExchangeSend(Sim &sim, Endpoint from, LineSignal s) {
    int call = CallOf(sim, from);
    if (call == -1) return;
    Call &c = sim.calls[static_cast<size_t>(call)];
    if (c.state != CallState::kConnected || c.silent) return;
    Endpoint to = Same(from, c.caller) ? c.callee : c.caller;
    SimTime now = SimNow();
    SimTime &free = c.line_free[Same(from, c.caller) ? 0 : 1];
    s.began = now;
    if (s.kind == SignalKind::kFrame) c.carried_ms += static_cast<SimTime>(s.bytes.size() + 4) * 8000 / 300;
    if (s.kind == SignalKind::kBurst) c.carried_ms += LineTimeMs(s.bytes.size(), s.bps);
    if (FaultsOf(sim, from).paced || FaultsOf(sim, to).paced) {
        SimTime start = free > now ? free : now;
        s.at = start;
        if (s.kind == SignalKind::kFrame) {
            s.at = start + static_cast<SimTime>(s.bytes.size() + 4) * 8000 / 300;
            free = s.at;
        } else if (s.kind == SignalKind::kBurst && s.bps > 0) {
            bool spent = from.kind == Endpoint::kModem && FaultsOf(sim, from).paced;
            // A paced sender's burst began when its host began to hand it over.
            s.began = spent ? sim.modems[static_cast<size_t>(from.index)].data_start : start;
            free = spent ? start : start + LineTimeMs(s.bytes.size(), s.bps);
        } else {
            free = start;
        }
    } else {
        // Nothing overtakes what this end sent before.
        SimTime start = free > now ? free : now;
        if (s.kind == SignalKind::kBurst && from.kind == Endpoint::kModem) {
            // A page its host handed over at once ends on the line when the
            // modem reports it: the far end's post-page wait starts then.
            const SimTime reported = sim.modems[static_cast<size_t>(from.index)].hold_output;
            if (reported > start) start = reported;
            free = start;
        } else if (s.page && s.bps > 0) {
            // A station's page holds the line for its time: what the station
            // sends next comes after the page has ended.
            free = start + LineTimeMs(s.bytes.size(), s.bps);
        }
        if (start > now) s.at = start;
    }
    Deliver(sim, to, std::move(s));
}

SimTime ExchangeLineFree(Sim &sim, Endpoint from) {
    SimTime now = SimNow();
    int call = CallOf(sim, from);
    if (call == -1) return now;
    const Call &c = sim.calls[static_cast<size_t>(call)];
    SimTime free = c.line_free[Same(from, c.caller) ? 0 : 1];
    return free > now ? free : now;
}

SimTime ExchangeCarriedMs(Sim &sim, Endpoint e) {
    int call = CallOf(sim, e);
    return call == -1 ? 0 : sim.calls[static_cast<size_t>(call)].carried_ms;
}

void ExchangeSilence(Sim &sim, Endpoint from) {
    int call = CallOf(sim, from);
    if (call != -1) sim.calls[static_cast<size_t>(call)].silent = true;
}

bool ExchangeStep(Sim &sim, SimTime now) {
    bool progress = false;
    for (Call &c : sim.calls) {
        if (c.state != CallState::kRinging || now < c.give_up) continue;
        // Nobody answered: the caller gives up and the ringing stops.
        c.state = CallState::kEnded;
        if (c.callee.kind != Endpoint::kNone) {
            SetRinging(sim, c.callee, false);
            CallOf(sim, c.callee) = -1;
        }
        LineSignal s;
        s.kind = SignalKind::kDrop;
        Deliver(sim, c.caller, s);
        progress = true;
    }
    return progress;
}
