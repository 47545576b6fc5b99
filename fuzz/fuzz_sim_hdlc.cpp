// The emulator's HDLC reader for page-rate data its hosts send: any bits
// give frames whose check is good, and the frames the emulator writes come
// back the same, a spoiled one left out.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sim/sim_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int bad = 0;
    const Bytes bits(data, data + size);
    for (const Bytes &f : SimHdlcDecode(bits, &bad))
        if (f.size() < 2) abort();
    // The input cut into frames at its zero bytes and at the longest frame
    // the reader takes (an FCD frame of 256 octets), the first spoiled.
    constexpr size_t kLongest = 4 + 256;
    std::vector<Bytes> frames(1);
    for (size_t i = 0; i < size && frames.size() < 64; ++i) {
        if ((data[i] == 0 && frames.back().size() >= 2) || frames.back().size() == kLongest) frames.emplace_back();
        if (data[i] != 0 || frames.back().size() < 2) frames.back().push_back(data[i]);
    }
    if (frames.back().size() < 2) frames.pop_back();
    std::vector<bool> spoil(frames.size(), false);
    if (!spoil.empty()) spoil[0] = size % 2 == 1;
    bad = 0;
    const std::vector<Bytes> back = SimHdlcDecode(SimHdlcEncode(frames, spoil, size % 4), &bad);
    const size_t skipped = !spoil.empty() && spoil[0] ? 1 : 0;
    if (back.size() + skipped != frames.size() || bad != static_cast<int>(skipped)) abort();
    for (size_t i = 0; i < back.size(); ++i)
        if (back[i] != frames[i + skipped]) abort();
    return 0;
}
