// What the library tells a class 2 or 2.0 modem before a session: the local
// identity, the capabilities it offers and, on the receiving side, reception,
// bit order and flow control. The two classes name the same commands
// differently; each keeps its names in one record.
#include <cstdio>

#include "class2/class2.h"
#include "engine/channel.h"
#include "engine/trace.h"
#include "modem/modem_io.h"
#include "modem/response.h"

namespace {

struct Class2Dialect {
    const char *local_id;      // identity, at most 40 characters between quotes
    const char *capabilities;  // the "+F" name of the capability list
    const char *min_speed;     // minimum bit rate code
};

constexpr Class2Dialect kClass2Dialect = {"AT+FLID=\"%.40s\"\r\n", "+FDCC", "AT+FMINSP=%d\r\n"};
constexpr Class2Dialect kClass20Dialect = {"AT+FLI=\"%.40s\"\r\n", "+FCC", "AT+FMS=%d\r\n"};

// The sending side asks for class 2.0; any other class takes the class 2 form.
const Class2Dialect &SendingDialect(int32_t channel) {
    return g_channels[channel].modem_class == TOLLAN_CLASS_2_0 ? kClass20Dialect : kClass2Dialect;
}

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

}  // namespace

int FaxVerticalResolution(int32_t resolution) { return resolution == 0 ? 1 : 0; }

uint16_t FaxSetLocalID(int32_t channel, const char *id) {
    if (SendLocalID(channel, SendingDialect(channel).local_id, id) == TOLLAN_OK) return TOLLAN_OK;
    FaxTrace("FaxSetLocalID: cannot set local fax id");
    // Some class 2 modems only know the class 2.0 name of the command.
    if (g_channels[channel].modem_class == TOLLAN_CLASS_2 &&
        SendLocalID(channel, kClass20Dialect.local_id, id) == TOLLAN_OK)
        return TOLLAN_OK;
    return TOLLAN_E_LOCAL_ID;
}

uint16_t FaxSetFDCC(int32_t channel, int vr, int32_t min_speed) {
    const FaxChannel &c = g_channels[channel];
    const Class2Dialect &dialect = SendingDialect(channel);
    char command[kCommandSize];
    // VR, BR, WD 1728 dots, LN unlimited, DF one-dimensional, EC none, BF none, ST.
    snprintf(command, sizeof command, "AT%s=%d,%d,0,2,0,0,0,%d\r\n", dialect.capabilities, vr, c.bit_rate,
             c.scan_time);
    if (FaxModemCommand(command, channel) != TOLLAN_OK) return TOLLAN_E_CAPABILITIES;
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
    char command[kCommandSize];
    if (c.modem_class == TOLLAN_CLASS_2) {
        if (FaxCommandWait("AT+FCR=1\r\n", "OK", channel) != TOLLAN_OK) return TOLLAN_E_RECEIVE_REFUSED;
        snprintf(command, sizeof command, "AT+FDCC=%d,%d,0,2,0,0,0,%d\r\n", FaxVerticalResolution(c.resolution),
                 c.bit_rate, c.scan_time);
        if (FaxCommandWait(command, "OK", channel) != TOLLAN_OK) return TOLLAN_E_CAPABILITIES;
        if (FaxCommandWait("AT+FBOR=1\r\n", "OK", channel) != TOLLAN_OK) return TOLLAN_E_BIT_ORDER;
        return TOLLAN_OK;
    }
    // Class 2.0 receives by default and keeps its own bit order.
    snprintf(command, sizeof command, "AT+FCC=%d,%d,0,2,0,0,0,%d\r\n", FaxVerticalResolution(c.resolution), c.bit_rate,
             c.scan_time);
    if (FaxCommandWait(command, "OK", channel) != TOLLAN_OK) return TOLLAN_E_CAPABILITIES;
    if (FaxCommandWait("AT+FLO=2\r\n", "OK", channel) != TOLLAN_OK) return TOLLAN_E_FLOW_CONTROL;
    return TOLLAN_OK;
}
