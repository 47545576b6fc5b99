// Faults and quirks: parsed from their short text form, and asked about
// while a call runs.
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "sim/sim_internal.h"

bool FaultBadFrameNow(const SimFaults &f, FaultState &s) {
    ++s.frames_sent;
    return f.bad_frame > 0 && s.frames_sent == f.bad_frame;
}

bool FaultPageMatches(const SimFaults &f, int page) { return f.fault_page == 0 || page == 0 || f.fault_page == page; }

namespace {

bool ParseCount(const std::string &text, int &out) {
    char *end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 0 || v > 100000) return false;
    out = static_cast<int>(v);
    return true;
}

// "dial", "B", "T", "C", "D" or "end"; C and D may be followed by a page number.
bool ParsePhase(const std::string &text, SimPhase &phase, int &page) {
    page = 0;
    if (text == "dial") phase = SimPhase::kDial;
    else if (text == "B") phase = SimPhase::kB;
    else if (text == "T") phase = SimPhase::kTraining;
    else if (text == "end") phase = SimPhase::kEnd;
    else if (!text.empty() && (text[0] == 'C' || text[0] == 'D')) {
        phase = text[0] == 'C' ? SimPhase::kC : SimPhase::kD;
        return text.size() == 1 || (ParseCount(text.substr(1), page) && page > 0);
    } else return false;
    return true;
}

// "<page>:<frame>:<frame>...": frames of a page, numbered in the page from 0.
bool ParseFrameList(const std::string &text, SimFaults &f) {
    std::stringstream in(text);
    std::string part;
    if (!std::getline(in, part, ':') || !ParseCount(part, f.ecm_bad_page) || f.ecm_bad_page == 0) return false;
    f.ecm_bad_frames.clear();
    while (std::getline(in, part, ':')) {
        int frame = 0;
        if (!ParseCount(part, frame)) return false;
        f.ecm_bad_frames.push_back(frame);
    }
    return !f.ecm_bad_frames.empty();
}

// Splits "name@arg=value" at its first '@' and '='.
void SplitWord(const std::string &word, std::string &name, std::string &at, std::string &value) {
    size_t eq = word.find('=');
    std::string head = word.substr(0, eq);
    value = eq == std::string::npos ? "" : word.substr(eq + 1);
    size_t a = head.find('@');
    name = head.substr(0, a);
    at = a == std::string::npos ? "" : head.substr(a + 1);
}

bool ApplyFault(const std::string &word, SimFaults &f) {
    std::string name, at, value;
    SplitWord(word, name, at, value);
    if (name == "busy") f.busy = true;
    else if (name == "noanswer") f.no_answer = true;
    else if (name == "nodialtone") f.no_dial_tone = true;
    else if (name == "delayed") f.delayed = true;
    else if (name == "garbage" && at.empty()) f.garbage = true;
    else if (name == "garbage") return ParsePhase(at, f.garbage_phase, f.fault_page);
    else if (name == "paced") f.paced = true;
    else if (name == "nocarrier") {
        f.fail_code = -1;
        return ParsePhase(at, f.fail_phase, f.fault_page);
    } else if (name == "hangup") {
        return ParsePhase(at, f.fail_phase, f.fault_page) && ParseCount(value, f.fail_code);
    } else if (name == "silent" && !at.empty() && isdigit(static_cast<unsigned char>(at[0]))) {
        return ParseCount(at, f.silent_page);
    } else if (name == "silent") {
        return ParsePhase(at, f.silent_phase, f.fault_page);
    } else if (name == "babble" && at.empty()) f.babble = true;
    else if (name == "babble") return ParsePhase(at, f.babble_phase, f.fault_page);
    else if (name == "endlesspage") f.endless_page = true;
    else if (name == "fttforever") f.ftt_forever = true;
    else if (name == "eomforever") f.eom_forever = true;
    else if (name == "rtn") return ParseCount(at, f.rtn_page);
    else if (name == "badframe") return ParseCount(at, f.bad_frame);
    else if (name == "baddcs") f.bad_dcs = true;
    else if (name == "badtcf") f.bad_tcf = true;
    else if (name == "badlines") return ParseCount(at, f.bad_lines_page) && f.bad_lines_page > 0;
    else if (name == "dcn") return ParsePhase(at, f.dcn_phase, f.fault_page);
    else if (name == "eom") return ParseCount(at, f.eom_page) && f.eom_page > 0;
    else if (name == "ecmbad") return ParseFrameList(at, f);
    else if (name == "ecmevery") return ParseCount(value, f.ecm_bad_every) && f.ecm_bad_every > 0;
    else if (name == "ecmstuck")
        return ParseCount(at, f.ecm_stuck_page) && f.ecm_stuck_page > 0 && ParseCount(value, f.ecm_stuck_times);
    else if (name == "ppsmute") f.ecm_pps_mute = true;
    else if (name == "rnr") return ParseCount(value, f.ecm_rnr);
    else if (name == "ecmeor") f.ecm_eor = true;
    else if (name == "ecmforever") f.ecm_forever = true;
    else return false;
    return true;
}

bool ApplyQuirk(const std::string &word, SimQuirks &q) {
    std::string name, at, value;
    SplitWord(word, name, at, value);
    if (name == "nodc1") q.no_dc1 = true;
    else if (name == "echo") q.echo_always = true;
    else if (name == "nocarrier") q.no_carrier_hangup = true;
    else if (name == "reversed") q.reversed_bits = true;
    else if (name == "delay") return ParseCount(value, q.response_delay_ms);
    else return false;
    return true;
}

template <typename T, typename F>
bool ParseWords(const std::string &text, T *out, F apply) {
    T parsed;
    std::stringstream in(text);
    std::string word;
    while (std::getline(in, word, ','))
        if (!word.empty() && !apply(word, parsed)) return false;
    *out = parsed;
    return true;
}

}  // namespace

bool SimParseFaults(const std::string &text, SimFaults *faults) { return ParseWords(text, faults, ApplyFault); }

bool SimParseQuirks(const std::string &text, SimQuirks *quirks) { return ParseWords(text, quirks, ApplyQuirk); }
