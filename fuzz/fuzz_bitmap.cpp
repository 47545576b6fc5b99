// The documents library's bitmap readers on any bytes: PBM (headers,
// comments, several images, short data) and BMP (the resolution fields read
// beside the library's loader), with the coded pages counted, not kept.
#include <cstdint>

#include "documents/documents.h"
#include "fuzz/fuzz_port.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string in = FuzzScratchPath("in.bitmap");
    if (!FuzzWriteFile(in.c_str(), data, size)) return 0;
    PageOutput out{"", 1, TargetLpi(static_cast<int32_t>(size & 1)), 0, {}};
    SourceGeometry g{};
    // The headers alone, as the resolution a document asks for reads them.
    if (size >= 2 && data[0] == 'B' && data[1] == 'M') {
        if (BmpGeometry(in.c_str(), &g) == TOLLAN_OK) AsksForStandard(g);
        ReadBmpDocument(in.c_str(), &out);
    } else {
        if (PbmGeometry(in.c_str(), &g) == TOLLAN_OK) AsksForStandard(g);
        ReadPbmDocument(in.c_str(), &out);
    }
    return 0;
}
