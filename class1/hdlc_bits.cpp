// HDLC framing done by the host: page-rate frames go out as plain page
// data (AT+FTM), since many class 1 modems frame HDLC at V.21 only. Each
// frame is flag, bytes with their frame check, bit-stuffed, least
// significant bit first, flag.
#include "class1/class1.h"

namespace {

constexpr uint8_t kFlag = 0x7E;
constexpr int kOnesBeforeStuffing = 5;

void PutBit(HdlcBits &w, int bit) {
    w.bits |= static_cast<uint32_t>(bit) << w.count;
    if (++w.count == 8) {
        w.out->push_back(static_cast<uint8_t>(w.bits));
        w.bits = 0;
        w.count = 0;
    }
}

// A data bit: after five ones in a row a zero goes in, so no data looks like a flag.
void PutDataBit(HdlcBits &w, int bit) {
    PutBit(w, bit);
    w.ones = bit ? w.ones + 1 : 0;
    if (w.ones == kOnesBeforeStuffing) {
        PutBit(w, 0);
        w.ones = 0;
    }
}

void PutDataByte(HdlcBits &w, uint8_t byte) {
    for (int i = 0; i < 8; ++i) PutDataBit(w, (byte >> i) & 1);
}

}  // namespace

uint16_t HdlcFcs(const uint8_t *data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1);
    }
    return static_cast<uint16_t>(~crc);
}

void PutHdlcFlags(HdlcBits &w, int flags) {
    for (int f = 0; f < flags; ++f)
        for (int i = 0; i < 8; ++i) PutBit(w, (kFlag >> i) & 1);
    w.ones = 0;
}

void PutHdlcFrame(HdlcBits &w, const uint8_t *frame, size_t length) {
    for (size_t i = 0; i < length; ++i) PutDataByte(w, frame[i]);
    const uint16_t fcs = HdlcFcs(frame, length);
    PutDataByte(w, static_cast<uint8_t>(fcs & 0xFF));
    PutDataByte(w, static_cast<uint8_t>(fcs >> 8));
    PutHdlcFlags(w, 1);
}

// Ones to the byte's end: the line idles after the closing flag.
void FinishHdlcBits(HdlcBits &w) {
    while (w.count != 0) PutBit(w, 1);
}
