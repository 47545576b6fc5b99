// Response lines from a hostile modem or remote station: the interpreter
// stores identities, session parameters and page reports from them and must
// keep every field within its bounds.
#include <cstdint>

#include "engine/channel.h"
#include "fuzz/fuzz_port.h"
#include "modem/response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the class and what the caller waits for.
    static const char *const kExpected[] = {"OK", "CONNECT", "+FCON", "+FHNG"};
    const char *expected = kExpected[data[0] & 3];
    int16_t modem_class = (data[0] & 4) ? TOLLAN_CLASS_2_0 : TOLLAN_CLASS_2;
    FuzzPortInstall(data + 1, size - 1);
    int32_t channel = FuzzChannelOpen(modem_class);
    // Keep reading until the modem has nothing more to say.
    for (int waits = 0; waits < 64; ++waits)
        if (FaxWaitFor(channel, expected) == TOLLAN_E_READ) break;
    FuzzPortRemove();
    return 0;
}
