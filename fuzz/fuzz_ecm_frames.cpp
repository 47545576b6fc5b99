// Error correction's frames as a receiver reads them: page-rate data of any
// bits through the HDLC frame reader, frames with a good check of any
// length and number kept in a page of limited size, the PPS and PPR fields,
// and the page decoded in the coding the first byte names.
#include <cstdint>
#include <vector>

#include "class1/class1.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    EcmReceive ecm{};
    const LineMode line{static_cast<G3Coding>(mode % 3), static_cast<int16_t>(1 + (mode >> 2) % 2)};
    StartEcmReceivePage(ecm, line);
    ecm.limit = 4 * 256 * 64;
    HdlcReader reader{};
    for (size_t i = 1; i < size; ++i) FeedHdlc(reader, data[i], ecm);
    const int frames = 1 + (mode >> 3) % 32;
    const EcmMap missing = MissingFrames(ecm, frames);
    PpsFields pps{};
    ParsePps(data, size, &pps);
    EcmMap map{};
    ParsePpr(data, size, frames, &map);
    if (EcmMapCount(missing) == 0) EndEcmBlock(ecm, frames);
    std::vector<uint8_t> mh;
    EcmPageAsMh(ecm, &mh);
    return 0;
}
