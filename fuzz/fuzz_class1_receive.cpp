// A whole class 1 receiving call against a hostile modem and calling
// station: result words, frames of any length and content, training checks
// and page data with any DLE sequences, in any order. Settings (bit rate,
// resolution, limits, page information files) come from the input's first
// bytes; in the endless mode the modem never stops talking, and the call must
// still end within its read limit.
#include <cstdint>
#include <string>
#include <unistd.h>

#include "engine/channel.h"
#include "fuzz/fuzz_port.h"
#include "tollan.h"

namespace {

// Each run starts without the last run's pages.
void RemoveReceivedPages(const std::string &base) {
    const std::string stem = base.substr(0, base.rfind('.'));
    for (int n = 1;; ++n) {
        const std::string page = stem + "_p" + std::to_string(n);
        unlink((page + ".ffi").c_str());
        if (unlink((page + ".g3").c_str()) != 0 && n > 2) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string base = FuzzScratchPath("c1-rx.g3");
    FuzzCallSettings settings;
    if (!FuzzTakeSettings(data, size, settings)) return 0;
    FuzzPortInstall(data, size, settings.port);
    const int32_t channel = FuzzOpenCall(settings, TOLLAN_CLASS_1);
    if (channel >= 0) {
        int16_t pages = 0;
        RemoveReceivedPages(base);
        ReceiveClass1Fax(channel, base.c_str(), &pages);
        RemoveReceivedPages(base);
    }
    FuzzEndCall(channel);
    return 0;
}
