// Page files from anywhere (received, downloaded, cut short): the decoder
// must end on bad codes, runaway lines and missing end marks without reading
// or writing outside its buffers.
#include <cstdint>
#include <unistd.h>

#include "fuzz/fuzz_port.h"
#include "tollan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string in = FuzzScratchPath("in.g3");
    static const std::string out = FuzzScratchPath("out.bmp");
    if (!FuzzWriteFile(in.c_str(), data, size)) return 0;
    int32_t width = 0, height = 0;
    GetG3Size(in.c_str(), &width, &height);
    // Half of the inputs also go through the shrinking writer.
    SetShrinkOption(size > 0 && (data[size / 2] & 1) ? 3 : 0);
    G3ToBmp(in.c_str(), out.c_str());
    unlink(out.c_str());
    return 0;
}
