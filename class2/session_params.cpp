// What the library tells a class 2 or 2.0 modem before a session: the local
// identity, the capabilities it offers and, on the receiving side, reception,
// bit order and flow control, in the words of the channel's dialect.
#include <cstdio>

#include "class2/class2.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/dialect.h"
#include "modem/modem_io.h"
#include "modem/response.h"

namespace {

constexpr int32_t kBitsPerSpeedStep = 2400;
constexpr size_t kCommandSize = 64;

uint16_t SendLocalID(int32_t channel, const char *format, const char *id) {
    char command[kCommandSize];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(command, sizeof command, format, id);
#pragma GCC diagnostic pop
    return FaxModemCommand(command, channel);
}

using CommandSender = uint16_t (*)(int32_t channel, const char *command);

uint16_t SendByModemCommand(int32_t channel, const char *command) { return FaxModemCommand(command, channel); }
uint16_t SendAwaitingOk(int32_t channel, const char *command) { return FaxCommandWait(command, "OK", channel); }

// The capability list: VR, BR, WD 1728 dots, LN unlimited, DF and EC as
// given, BF none, ST. Sent with the channel's DF and EC; a modem that refuses
// them (it lacks error correction or the coding) is asked once more for MH
// without error correction, as the list was before these settings existed.
// 0, or the sender's code.
uint16_t SendCapabilities(int32_t channel, int vr, CommandSender send) {
    const FaxChannel &c = g_channels[channel];
    const char *name = FaxDialectOf(c).capabilities;
    const int df = FaxDfValue(c), ec = FaxEcValue(c);
    char command[kCommandSize];
    snprintf(command, sizeof command, "AT%s=%d,%d,0,2,%d,%d,0,%d\r\n", name, vr, c.bit_rate, df, ec, c.scan_time);
    const uint16_t rc = send(channel, command);
    if (rc == TOLLAN_OK || (df == 0 && ec == 0)) return rc;
    FaxTrace("SendCapabilities: DF %d and EC %d refused; MH without error correction offered", df, ec);
    snprintf(command, sizeof command, "AT%s=%d,%d,0,2,0,0,0,%d\r\n", name, vr, c.bit_rate, c.scan_time);
    return send(channel, command);
}

}  // namespace

int FaxVerticalResolution(int32_t resolution) { return resolution == 0 ? 1 : 0; }

uint16_t FaxSetLocalID(int32_t channel, const char *id) {
    const FaxDialect &dialect = FaxDialectOf(g_channels[channel]);
    if (SendLocalID(channel, dialect.local_id, id) == TOLLAN_OK) return TOLLAN_OK;
    FaxTrace("FaxSetLocalID: cannot set local fax id");
    if (dialect.local_id_retry && SendLocalID(channel, dialect.local_id_retry, id) == TOLLAN_OK) return TOLLAN_OK;
    return TOLLAN_E_LOCAL_ID;
}

uint16_t FaxSetFDCC(int32_t channel, int vr, int32_t min_speed) {
    const FaxChannel &c = g_channels[channel];
    const FaxDialect &dialect = FaxDialectOf(c);
    char command[kCommandSize];
    if (SendCapabilities(channel, vr, SendByModemCommand) != TOLLAN_OK) return TOLLAN_E_CAPABILITIES;
    if (min_speed >= kBitsPerSpeedStep) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        snprintf(command, sizeof command, dialect.min_speed, min_speed / kBitsPerSpeedStep - 1);
#pragma GCC diagnostic pop
        // A modem without a minimum speed setting still works: go on without.
        if (FaxModemCommand(command, channel) != TOLLAN_OK)
            FaxTrace("FaxSetFDCC: +FMINSP command failed, ignoring");
    }
    return TOLLAN_OK;
}

uint16_t FaxSetUpReception(int32_t channel) {
    const FaxChannel &c = g_channels[channel];
    const FaxDialect &dialect = FaxDialectOf(c);
    // A class 2.0 modem receives by default and keeps its own bit order.
    if (dialect.enable_reception && FaxCommandWait(dialect.enable_reception, "OK", channel) != TOLLAN_OK)
        return TOLLAN_E_RECEIVE_REFUSED;
    if (SendCapabilities(channel, FaxVerticalResolution(c.resolution), SendAwaitingOk) != TOLLAN_OK)
        return TOLLAN_E_CAPABILITIES;
    if (dialect.bit_order && FaxCommandWait(dialect.bit_order, "OK", channel) != TOLLAN_OK)
        return TOLLAN_E_BIT_ORDER;
    // A class 2.0 modem reports the caller's identity and the session's
    // parameters only when asked; one that refuses still receives.
    if (dialect.reports && FaxCommandWait(dialect.reports, "OK", channel) != TOLLAN_OK)
        FaxTrace("FaxSetUpReception: +FNR refused, no reports of the call");
    if (dialect.receive_flow && FaxCommandWait(dialect.receive_flow, "OK", channel) != TOLLAN_OK)
        return TOLLAN_E_FLOW_CONTROL;
    return TOLLAN_OK;
}

LineCoding FaxSessionLineCoding(const FaxChannel &c) {
    const int16_t *p = c.reports.session_params;
    const LineCoding line = LineCodingOf(p[kSessionDataFormat], p[kSessionResolution], p[kSessionWidth]);
    if (!LineCodingIsMh(line))
        FaxTrace("FaxSessionLineCoding: pages go on the line as %s (DF %d, EC %d)",
                 line.coding == kCodingMr ? "MR" : "MMR", p[kSessionDataFormat], p[kSessionErrorCorrection]);
    return line;
}
