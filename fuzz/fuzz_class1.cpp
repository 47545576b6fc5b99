// A whole class 1 sending call against a hostile modem and called station:
// result words, HDLC frames of any length and content, and frame sequences
// that no real station would send. The input's last byte chooses the
// error correction and codings, so PPR maps, RNR, CTR and ERR of any shape
// reach the block exchange.
#include <cstdint>
#include <unistd.h>

#include "fuzz/fuzz_port.h"
#include "tollan.h"

namespace {

// Two small pages: a few EOL-led lines and the end-of-page sequence.
const uint8_t kPage[] = {0x00, 0x80, 0xB2, 0x59, 0x01, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string base = FuzzScratchPath("doc.g3");
    static const std::string page1 = FuzzScratchPath("doc_p1.g3");
    static const std::string page2 = FuzzScratchPath("doc_p2.g3");
    static bool pages_written = FuzzWriteFile(page1.c_str(), kPage, sizeof kPage) &&
                                FuzzWriteFile(page2.c_str(), kPage, sizeof kPage);
    if (!pages_written) return 0;
    // The last byte, so the seeds' modem dialogues keep their start.
    const uint8_t mode = size > 0 ? data[size - 1] : 0;
    if (size > 0) --size;
    FuzzPortInstall(data, size);
    int32_t channel = FuzzChannelOpen(TOLLAN_CLASS_1);
    SetErrorCorrection(channel, mode % 3);
    SetCompression(channel, TOLLAN_COMPRESS_MH | ((mode >> 2) & 3) * TOLLAN_COMPRESS_MR);
    SendClass1Fax(channel, "5551234", base.c_str(), 2);
    FuzzPortRemove();
    return 0;
}
