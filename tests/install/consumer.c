/* A host program that uses the installed library from C. */
#include <stdio.h>
#include <tollan.h>

int main(void) {
    if (SetTraceOption(0) != TOLLAN_OK) return 1;
    if (SetLineType(20, 0) != TOLLAN_E_CHANNEL) return 2;
    if (GetLastFaxError() != 0) return 3;
    printf("tollan %s linked\n", TOLLAN_VERSION);
    return 0;
}
