/* Waits for a call on a fax modem and receives one fax.
 *
 *   receive PORT BASE        e.g.  receive 1 incoming.g3
 *
 * answers the first ring and writes incoming_p1.g3, incoming_p2.g3, ... */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <tollan.h>

static void pause_briefly(void) {
    struct timespec ts = {0, 200 * 1000 * 1000};
    nanosleep(&ts, NULL);
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s PORT BASE\n", argv[0]);
        return 2;
    }
    int32_t channel;
    uint16_t rc = PortOpen(&channel, atoi(argv[1]), "ATZ");
    if (rc != TOLLAN_OK) {
        fprintf(stderr, "PortOpen failed: %u\n", rc);
        return 1;
    }
    int32_t ring = 0;
    while (ring != 1) {
        rc = WaitForRing(channel, &ring);
        if (rc != TOLLAN_OK) {
            fprintf(stderr, "WaitForRing failed: %u\n", rc);
            PortClose(channel);
            return 1;
        }
        if (ring != 1) pause_briefly();
    }
    int16_t pages = 0;
    rc = ReceiveFax(channel, argv[2], &pages);
    const char *remote = "";
    GetRemoteID(channel, &remote);
    printf("ReceiveFax: %u, %d page(s) from %s\n", rc, pages, remote);
    PortClose(channel);
    return rc == TOLLAN_OK ? 0 : 1;
}
