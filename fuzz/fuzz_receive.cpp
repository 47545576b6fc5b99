// A receiving call against a hostile modem and calling station: ring
// texts, connection reports, page data with any DLE sequences, page reports
// with any counts. Pages are written as far as they arrive.
#include <cstdint>
#include <unistd.h>

#include "engine/channel.h"
#include "fuzz/fuzz_port.h"
#include "tollan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string base = FuzzScratchPath("rx.g3");
    if (size < 1) return 0;
    // The first byte chooses the class and whether page information files are written.
    int16_t modem_class = (data[0] & 1) ? TOLLAN_CLASS_2_0 : TOLLAN_CLASS_2;
    SetFaxInfoOption(data[0] & 2 ? 1 : 0);
    g_settings.fdr_wait = 0;
    FuzzPortInstall(data + 1, size - 1);
    int32_t channel = FuzzChannelOpen(modem_class);
    int32_t ring = 0;
    WaitForRing(channel, &ring);
    int16_t pages = 0;
    ReceiveFax(channel, base.c_str(), &pages);
    FuzzPortRemove();
    for (int n = 1; n <= 8; ++n) {
        std::string stem = base.substr(0, base.rfind('.')) + "_p" + std::to_string(n);
        unlink((stem + ".g3").c_str());
        unlink((stem + ".ffi").c_str());
    }
    return 0;
}
