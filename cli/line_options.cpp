// The command's error correction and coding options and its retry ladder.
#include "cli/line_options.h"

#include <array>

#include "tollan.h"

namespace {

// Class 2 hang-up codes of the sending side's page and post-page phases.
constexpr int32_t kFirstPagePhaseHangup = 40;
constexpr int32_t kLastPagePhaseHangup = 69;

constexpr std::array<int, 6> kRates = {2400, 4800, 7200, 9600, 12000, 14400};
// The rate a ladder falls back to from each rate: V.17's 14400 and 12000
// both to V.29's 9600, the commonest rate a poor line still carries.
int LowerRate(int rate) {
    if (rate > 9600) return 9600;
    for (size_t i = kRates.size(); i-- > 1;)
        if (kRates[i] == rate) return kRates[i - 1];
    return 0;
}

int CodingsUpTo(const std::string &coding) {
    int codings = TOLLAN_COMPRESS_MH;
    if (coding == "mr" || coding == "mmr") codings |= TOLLAN_COMPRESS_MR;
    if (coding == "mmr") codings |= TOLLAN_COMPRESS_MMR;
    return codings;
}

}  // namespace

void AddLineOptions(CLI::App *command, LineChoice &choice, bool ladder) {
    command->add_flag("--no-ecm", choice.no_ecm, "no error correction (ECM); by default it is offered");
    command->add_option("--coding", choice.coding,
                        "the best coding offered: mh, mr, or mmr (MMR needs error correction; without it MR)")
        ->check(CLI::IsMember({"mh", "mr", "mmr"}))
        ->capture_default_str();
    if (ladder)
        command->add_flag("--no-retry-ladder", choice.no_retry_ladder,
                          "a call that fails while its pages go is not tried again without error correction "
                          "and then at a lower rate");
}

void ApplyLineChoice(int32_t channel, bool ecm, const std::string &coding) {
    uint16_t rc = SetErrorCorrection(channel, ecm ? TOLLAN_ECM_256 : TOLLAN_ECM_OFF);
    if (rc != TOLLAN_OK) Fail("setting the error correction", rc);
    rc = SetCompression(channel, CodingsUpTo(coding));
    if (rc != TOLLAN_OK) Fail("setting the codings", rc);
}

bool FailedInPagePhase(uint16_t rc, const CallOutcome &call) {
    switch (rc) {
    case TOLLAN_OK:
    case TOLLAN_E_ABORTED:
    case TOLLAN_E_CALL_TIME:
        return false;
    case TOLLAN_E_PAGE_REJECTED:
    case TOLLAN_E_UNCONFIRMED:
    case TOLLAN_E_NO_CONNECT:
        return true;
    default:
        break;
    }
    if (call.hangup >= kFirstPagePhaseHangup && call.hangup <= kLastPagePhaseHangup) return true;
    return call.pages_sent > 0;
}

bool NextLadderStep(LadderStep *step) {
    if (step->retries >= kMaxLadderRetries) return false;
    if (step->ecm) {
        step->ecm = false;
    } else {
        const int lower = LowerRate(step->rate);
        if (lower == 0) return false;
        step->rate = lower;
    }
    ++step->retries;
    return true;
}

std::string LadderStepText(const LadderStep &before, const LadderStep &after) {
    if (before.ecm && !after.ecm) return "without error correction";
    return "at " + std::to_string(after.rate) + " bit/s";
}
