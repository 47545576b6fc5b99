// The documents library's TIFF reader on any bytes: libtiff parses them, and
// what it reports (sizes, resolutions, strips, pages) goes through our checks,
// the scale plan and the page coder, with the coded pages dropped.
#include <cstddef>
#include <cstdint>

#include "documents/documents.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    MemoryTiff memory{data, size, 0};
    TIFF *tif = OpenTiffMemory(&memory);
    if (!tif) return 0;
    // Counting only: no base name, no files.
    PageOutput out{"", 1, TargetLpi(static_cast<int32_t>(size & 1)), 0, {}};
    ReadTiffDocument(tif, &out);
    TIFFClose(tif);
    // Every directory's size and resolution, as the resolution a document asks for reads them.
    memory.pos = 0;
    if ((tif = OpenTiffMemory(&memory))) {
        bool standard = false;
        TiffPagesAskStandard(tif, &standard);
        TIFFClose(tif);
    }
    return 0;
}
