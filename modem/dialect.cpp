// The two dialect records, side by side.
#include "modem/dialect.h"

#include "engine/channel.h"

namespace {

constexpr FaxDialect kClass2 = {
    "AT+FLID=\"%.40s\"\r\n",
    "AT+FLI=\"%.40s\"\r\n",  // some class 2 modems only know the class 2.0 name
    "+FDCC",
    "AT+FMINSP=%d\r\n",
    "AT+FPTS=2\r\n",
    "AT+FCR=1\r\n",
    "AT+FBOR=1\r\n",
    nullptr,
    nullptr,
    "AT+FK\r\n",
    false,
    true,
    false,
    false,
    {0, 2, 1},  // class 2 names the frame size: 1 for 64 octets, 2 for 256
};

constexpr FaxDialect kClass20 = {
    "AT+FLI=\"%.40s\"\r\n",
    nullptr,
    "+FCC",
    "AT+FMS=%d\r\n",
    "AT+FPS=2\r\n",
    nullptr,
    nullptr,
    "AT+FNR=1,1,1,0\r\n",
    "AT+FLO=2\r\n",
    "AT+FKS\r\n",
    true,
    false,
    true,
    true,
    {0, 1, 1},  // T.32 has one value for error correction; the modem picks the frame size
};

}  // namespace

const FaxDialect &FaxDialectOf(const FaxChannel &c) {
    return c.modem_class == TOLLAN_CLASS_2_0 ? kClass20 : kClass2;
}

int FaxEcValue(const FaxChannel &c) {
    const int mode = c.error_correction;
    return mode >= TOLLAN_ECM_OFF && mode <= TOLLAN_ECM_64 ? FaxDialectOf(c).ec_values[mode] : 0;
}

int32_t FaxEcmModeOf(const FaxChannel &c, int ec) {
    if (ec <= 0) return TOLLAN_ECM_OFF;
    const FaxDialect &dialect = FaxDialectOf(c);
    // A dialect with one EC value for both sizes (the modem picks) reports
    // the usual 256-octet frames.
    if (dialect.ec_values[TOLLAN_ECM_256] != ec && dialect.ec_values[TOLLAN_ECM_64] == ec) return TOLLAN_ECM_64;
    return TOLLAN_ECM_256;
}

int FaxDfValue(const FaxChannel &c) {
    const int32_t codings = OfferedCodings(c);
    if (codings & TOLLAN_COMPRESS_MMR) return 3;
    if (codings & TOLLAN_COMPRESS_MR) return 1;
    return 0;
}
