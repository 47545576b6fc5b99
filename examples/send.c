/* Sends page files through a fax modem.
 *
 *   send PORT NUMBER BASE PAGES      e.g.  send 1 5551234 letter.g3 2
 *
 * sends letter_p1.g3 and letter_p2.g3 to 5551234 through the modem on COM
 * port PORT (see [Ports] in quarry.ini). */
#include <stdio.h>
#include <stdlib.h>
#include <tollan.h>

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s PORT NUMBER BASE PAGES\n", argv[0]);
        return 2;
    }
    int32_t channel;
    uint16_t rc = PortOpen(&channel, atoi(argv[1]), "ATZ");
    if (rc != TOLLAN_OK) {
        fprintf(stderr, "PortOpen failed: %u (system error %d)\n", rc, (int)GetLastFaxError());
        return 1;
    }
    SetLocalID(channel, "tollan example");
    rc = SendFax(channel, argv[2], argv[3], atoi(argv[4]));

    const char *remote = "";
    int16_t pages = 0;
    int32_t hangup = 0;
    GetRemoteID(channel, &remote);
    GetNumOfPagesSent(channel, &pages);
    GetHangupCode(channel, &hangup);
    printf("SendFax: %u, remote %s, %d page(s) sent, hang-up code %d\n", rc, remote, pages, (int)hangup);
    PortClose(channel);
    return rc == TOLLAN_OK ? 0 : 1;
}
