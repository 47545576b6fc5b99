// Pictures the command sends: its BMP and PBM reader must refuse what it
// cannot read and never read outside the file's bytes; a picture it reads
// becomes a page of at most 1728 dots.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/picture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string bytes(reinterpret_cast<const char *>(data), size);
    Picture picture;
    if (ReadPicture(bytes, &picture) != PictureRead::kOk) return 0;
    if (picture.dots.size() != static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height)) abort();
    // Scaling a large picture costs most of a run; small ones are enough here.
    if (static_cast<int64_t>(picture.width) * picture.height > 4000000) return 0;
    Picture page = FaxPage(picture, ResolutionOf(picture));
    if (page.width != 1728 || page.dots.size() != static_cast<size_t>(page.width) * static_cast<size_t>(page.height))
        abort();
    return 0;
}
