// A whole call of any kind against a hostile modem and remote station: the
// port opened by PortOpen or not, then a class 2 or 2.0 sending or receiving
// call, or a class 1 sending call, with bit rate, resolution, limits and
// command pause taken from the input's first bytes. In the endless mode the
// modem never stops talking: the call must still end within its read limit.
#include <cstdint>
#include <string>
#include <unistd.h>

#include "fuzz/fuzz_port.h"
#include "tollan.h"

namespace {

// Two small pages: a few EOL-led lines and the end-of-page sequence.
const uint8_t kPage[] = {0x00, 0x80, 0xB2, 0x59, 0x01, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08};

enum Kind { kSend = 0, kReceive = 1, kSendClass1 = 2, kOpenOnly = 3 };

bool WriteSendPages() {
    static const bool written = FuzzWriteFile(FuzzScratchPath("doc_p1.g3").c_str(), kPage, sizeof kPage) &&
                                FuzzWriteFile(FuzzScratchPath("doc_p2.g3").c_str(), kPage, sizeof kPage);
    return written;
}

// A receiving call writes pages up to its limit (1000 by default); each run
// starts without the last run's pages. They are numbered from 1 on.
void RemoveReceivedPages(const std::string &base) {
    const std::string stem = base.substr(0, base.rfind('.'));
    for (int n = 1;; ++n) {
        const std::string page = stem + "_p" + std::to_string(n);
        unlink((page + ".ffi").c_str());
        if (unlink((page + ".g3").c_str()) != 0 && n > 2) break;
    }
}

void RunCall(int32_t channel, Kind kind) {
    static const std::string send_base = FuzzScratchPath("doc.g3");
    static const std::string receive_base = FuzzScratchPath("call-rx.g3");
    switch (kind) {
    case kSend:
        SendFax(channel, "5551234", send_base.c_str(), 2);
        break;
    case kSendClass1:
        SendClass1Fax(channel, "5551234", send_base.c_str(), 2);
        break;
    case kReceive: {
        int32_t ring = 0;
        WaitForRing(channel, &ring);
        int16_t pages = 0;
        RemoveReceivedPages(receive_base);
        ReceiveFax(channel, receive_base.c_str(), &pages);
        RemoveReceivedPages(receive_base);
        break;
    }
    case kOpenOnly:
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzCallSettings settings;
    if (!WriteSendPages() || !FuzzTakeSettings(data, size, settings)) return 0;
    const Kind kind = static_cast<Kind>(settings.kind);
    int16_t modem_class = settings.class_2_0 ? TOLLAN_CLASS_2_0 : TOLLAN_CLASS_2;
    if (kind == kSendClass1 || (kind == kOpenOnly && settings.resolution)) modem_class = TOLLAN_CLASS_1;
    FuzzPortInstall(data, size, settings.port);
    int32_t channel = FuzzOpenCall(settings, modem_class);
    if (channel >= 0) RunCall(channel, kind);
    FuzzEndCall(channel);
    return 0;
}
