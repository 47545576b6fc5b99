// Error correction frames as both directions see them: the block map, and
// the information fields of PPS, PPR and FCD read from frames whose length
// the reader knows. Nothing here talks to a modem.
#include <cstdio>
#include <cstring>

#include "class1/class1.h"
#include "engine/trace.h"

namespace {

constexpr size_t kFrameHead = 2;  // control and FCF
constexpr size_t kPpsFieldBytes = 4;

bool KnownPostPage(uint8_t fcf) {
    switch (fcf & 0xFE) {
    case kPostPageNull:
    case kFcfMps & 0xFE:
    case kFcfEop & 0xFE:
    case kFcfEom & 0xFE: return true;
    default: return false;
    }
}

}  // namespace

EcmMap FullEcmMap(int frames) {
    EcmMap map{};
    for (int n = 0; n < frames && n < kEcmFramesPerBlock; ++n) EcmMapSet(map, n);
    return map;
}

int EcmMapCount(const EcmMap &map) {
    int count = 0;
    for (uint8_t byte : map) count += __builtin_popcount(byte);
    return count;
}

size_t EcmFrameSize(int16_t ecm) { return ecm == TOLLAN_ECM_64 ? 64 : 256; }

bool ParsePps(const uint8_t *frame, size_t length, PpsFields *pps) {
    if (length < kFrameHead + kPpsFieldBytes) return false;
    const uint8_t *fif = frame + kFrameHead;
    if (!KnownPostPage(fif[0])) return false;
    *pps = {static_cast<uint8_t>(fif[0] & 0xFE), fif[1], fif[2], fif[3] + 1};
    return true;
}

bool ParsePpr(const uint8_t *frame, size_t length, int frames, EcmMap *map) {
    if (length < kFrameHead + kEcmMapBytes) return false;
    const EcmMap block = FullEcmMap(frames);
    for (size_t i = 0; i < kEcmMapBytes; ++i) (*map)[i] = frame[kFrameHead + i] & block[i];
    return true;
}

bool ParseFcd(const uint8_t *frame, size_t length, FcdFrame *fcd) {
    if (length < kFrameHead + 2) return false;
    *fcd = {frame[kFrameHead], frame + kFrameHead + 1, length - kFrameHead - 1};
    return true;
}
