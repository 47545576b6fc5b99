/* A host program that uses the installed documents library from C. */
#include <stdio.h>
#include <tollan.h>
#include <tollan_documents.h>

int main(void) {
    int16_t pages = -1;
    if (ConvertDocumentToPages("/nonexistent/letter.pdf", "/tmp/x", 0, 1, &pages) != TOLLAN_E_OPEN_FILE) return 1;
    if (pages != 0) return 2;
    if (WritePagesAsTiff("/nonexistent/fax", "/nonexistent/fax.tif", TOLLAN_TIFF_MH, 0) != TOLLAN_E_NO_PAGE_FILE)
        return 3;
    printf("tollan-documents linked\n");
    return 0;
}
