// Bitmap files from anywhere: the size reader, the encoder's loader and the
// rotation must reject what they cannot read and never touch memory outside
// their buffers.
#include <cstdint>
#include <unistd.h>

#include "fuzz/fuzz_port.h"
#include "tollan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string in = FuzzScratchPath("in.bmp");
    static const std::string out = FuzzScratchPath("out");
    if (!FuzzWriteFile(in.c_str(), data, size)) return 0;
    // Stretching to a full page costs most of a run; do it for half the inputs.
    SetStretchOption(size > 0 && (data[size / 2] & 1) ? 3 : 0);
    int32_t width = 0, height = 0;
    GetBmpSize(in.c_str(), &width, &height);
    BmpToG3(in.c_str(), out.c_str());
    RotateBitmap(in.c_str(), out.c_str(), 0);
    unlink(out.c_str());
    return 0;
}
