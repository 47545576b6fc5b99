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
};

}  // namespace

const FaxDialect &FaxDialectOf(const FaxChannel &c) {
    return c.modem_class == TOLLAN_CLASS_2_0 ? kClass20 : kClass2;
}
