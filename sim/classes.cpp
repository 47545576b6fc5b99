// The service classes a modem can be put in with "+FCLASS": class 0, which
// makes no fax calls, and the fax classes of class1_modem.cpp and
// class2_modem.cpp.
#include "sim/modem_classes.h"

namespace {

CmdStatus NoCommand(Sim &, Modem &, const std::string &) { return CmdStatus::kError; }

void NoData(Sim &, Modem &, uint8_t) {}

// What arrives on the line goes unheard; a drop still ends the call.
bool DrainLine(Sim &, Modem &m) {
    bool progress = false;
    while (InboxReady(m.inbox)) {
        if (m.inbox.front().kind == SignalKind::kDrop) m.call = -1;
        m.inbox.pop_front();
        progress = true;
    }
    return progress;
}

// A data call is not something this modem can make.
void NoFaxCall(Sim &sim, Modem &m) {
    ModemHangUp(sim, m);
    ModemResult(sim, m, Result::kNoCarrier);
}

void Select0(Modem &) {}

const ModemClassOps kClass0Ops = {0, "0", 0, Select0, NoCommand, NoData, DrainLine, NoFaxCall, NoFaxCall,
                                  nullptr, false};

constexpr const ModemClassOps *kClasses[] = {&kClass0Ops, &kClass1Ops, &kClass2Ops, &kClass20Ops};

bool Offers(const Modem &m, const ModemClassOps &c) { return c.mask == 0 || (m.classes & c.mask) != 0; }

}  // namespace

const ModemClassOps &ModemClassNone() { return kClass0Ops; }

const ModemClassOps *ModemClassNamed(const Modem &m, const std::string &name) {
    std::string want = name == "1.0" ? "1" : name;
    for (const ModemClassOps *c : kClasses)
        if (want == c->name && Offers(m, *c)) return c;
    return nullptr;
}

std::string ModemClassList(const Modem &m) {
    std::string list;
    for (const ModemClassOps *c : kClasses)
        if (Offers(m, *c)) list += (list.empty() ? "" : ",") + std::string(c->name);
    return list;
}

void ModemClassesReset(Modem &m) {
    m.ops = &kClass0Ops;
    Class2Reset(m);
}
