/* Sends page files through a fax modem, showing the call's progress and
 * then its report.
 *
 *   send PORT NUMBER BASE PAGES      e.g.  send 1 5551234 letter.g3 2
 *
 * sends letter_p1.g3 and letter_p2.g3 to 5551234 through the modem on COM
 * port PORT (see [Ports] in quarry.ini). Exit status: 0 sent, 3 worth trying
 * again later, 1 other failures. */
#include <stdio.h>
#include <stdlib.h>
#include <tollan.h>

static void show_progress(int32_t channel, const TollanProgress *p, void *user) {
    (void)channel;
    (void)user;
    if (p->phase == TOLLAN_PHASE_PAGE && p->bytes_total > 0)
        printf("page %d of %d: %u of %u bytes\n", (int)p->page, (int)p->pages, (unsigned)p->bytes_done,
               (unsigned)p->bytes_total);
    else
        printf("phase %d\n", (int)p->phase);
}

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s PORT NUMBER BASE PAGES\n", argv[0]);
        return 2;
    }
    int32_t channel;
    uint16_t rc = PortOpen(&channel, atoi(argv[1]), "ATZ");
    if (rc != TOLLAN_OK) {
        fprintf(stderr, "PortOpen failed: %u (%s)\n", rc, GetReturnCodeText(rc));
        return 1;
    }
    SetLocalID(channel, "tollan example");
    SetProgressCallback(channel, show_progress, NULL);
    rc = SendFax(channel, argv[2], argv[3], atoi(argv[4]));

    TollanCallReport report;
    report.size = sizeof report;
    GetCallReport(channel, &report);
    printf("SendFax: %u (%s)\n", rc, GetReturnCodeText(rc));
    printf("%d of %d page(s) confirmed by \"%s\" at %d bit/s in %u ms\n", (int)report.pages_confirmed,
           (int)report.pages_total, report.remote_id, (int)report.rate, (unsigned)report.duration_ms);
    if (report.cause != TOLLAN_CAUSE_NONE)
        printf("cause: %s; hang-up code %d (%s)\n", GetCauseText(report.cause), (int)report.hangup_code,
               GetHangupText(report.hangup_code));
    PortClose(channel);
    if (report.outcome == TOLLAN_OUTCOME_SUCCESS) return 0;
    return report.outcome == TOLLAN_OUTCOME_RETRY ? 3 : 1;
}
