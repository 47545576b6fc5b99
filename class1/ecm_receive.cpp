// Error correction, receiving: a block's page data read from the modem as
// plain data (AT+FRM), its HDLC frames found by the host, each frame with a
// good check kept at its place in the page, the frames still missing named
// for PPR, and the whole page decoded and stored as MH.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "class1/class1.h"
#include "engine/call_limits.h"
#include "engine/trace.h"
#include "modem/call_setup.h"

namespace {

constexpr size_t kFcsBytes = 2;
constexpr size_t kAddressBytes = 1;
constexpr size_t kMinFrame = kAddressBytes + 2 + kFcsBytes;  // address, control, FCF, check
// A block on the line: 256 frames of 256 octets and their framing, bit
// stuffing at its worst (a fifth more), RCP and flags, with room to spare.
constexpr int64_t kMaxBlockLineBytes = 256 * 1024;

// A frame between two flags: its check, then what it is.
void EndFrame(HdlcReader &r, EcmReceive &ecm) {
    const size_t n = r.length;
    if (r.overflow || n < kMinFrame) return;
    const uint16_t fcs = HdlcFcs(r.frame, n - kFcsBytes);
    if (r.frame[n - 2] != (fcs & 0xFF) || r.frame[n - 1] != (fcs >> 8)) {
        ++ecm.bad_frames;
        return;
    }
    TakeEcmFrame(ecm, r.frame + kAddressBytes, n - kAddressBytes - kFcsBytes);
}

void PutDataBit(HdlcReader &r, int bit) {
    if (!r.in_frame) return;
    r.bits = static_cast<uint8_t>(r.bits | (bit << r.bit_count));
    if (++r.bit_count < 8) return;
    if (r.length < sizeof r.frame)
        r.frame[r.length++] = r.bits;
    else
        r.overflow = true;
    r.bits = 0;
    r.bit_count = 0;
}

void OpenFrame(HdlcReader &r) {
    r.in_frame = true;
    r.length = 0;
    r.bits = 0;
    r.bit_count = 0;
    r.overflow = false;
}

}  // namespace

// Bits come least significant first. Ones are held until a zero says what
// they were: five and a zero are data with a stuffed zero, six and a zero a
// flag, seven an abort. A flag's own first zero went in as a data bit, so a
// whole frame ends one bit past a byte boundary.
void FeedHdlc(HdlcReader &r, uint8_t byte, EcmReceive &ecm) {
    for (int i = 0; i < 8; ++i) {
        if ((byte >> i) & 1) {
            if (++r.ones == 7) r.in_frame = false;
            if (r.ones > 7) r.ones = 7;
            continue;
        }
        if (r.ones == 6) {
            if (r.in_frame && r.bit_count == 1) EndFrame(r, ecm);
            OpenFrame(r);
        } else if (r.ones < 7) {
            for (int k = 0; k < r.ones; ++k) PutDataBit(r, 1);
            if (r.ones != 5) PutDataBit(r, 0);
        }
        r.ones = 0;
    }
}

void StartEcmReceivePage(EcmReceive &ecm, const LineMode &mode) {
    ecm.page.clear();
    ecm.coding = mode.coding;
    ecm.frame_size = EcmFrameSize(mode.ecm);
    ecm.block_start = 0;
    ecm.received = EcmMap{};
    ecm.rcp_seen = false;
    ecm.bad_frames = 0;
    ecm.overflow = false;
}

// FCD frames go to their place in the current block; RCP ends the block's
// data. A frame whose data does not fit a frame, or past the page's byte
// limit, is not kept.
void TakeEcmFrame(EcmReceive &ecm, const uint8_t *frame, size_t length) {
    if (length < 2) return;
    if (frame[1] == kFcfRcp) {
        ecm.rcp_seen = true;
        return;
    }
    FcdFrame fcd{};
    if ((frame[1] & 0xFE) != kFcfFcd || !ParseFcd(frame, length, &fcd)) return;
    if (fcd.size > ecm.frame_size) return;
    const size_t at = ecm.block_start + static_cast<size_t>(fcd.number) * ecm.frame_size;
    if (at + ecm.frame_size > ecm.limit) {
        ecm.overflow = true;
        return;
    }
    if (ecm.page.size() < at + ecm.frame_size) ecm.page.resize(at + ecm.frame_size, 0);
    memcpy(ecm.page.data() + at, fcd.data, fcd.size);
    memset(ecm.page.data() + at + fcd.size, 0, ecm.frame_size - fcd.size);
    EcmMapSet(ecm.received, fcd.number);
}

EcmMap MissingFrames(const EcmReceive &ecm, int frames) {
    EcmMap missing = FullEcmMap(frames);
    for (size_t i = 0; i < missing.size(); ++i) missing[i] = static_cast<uint8_t>(missing[i] & ~ecm.received[i]);
    return missing;
}

void EndEcmBlock(EcmReceive &ecm, int frames) {
    ecm.block_start += static_cast<size_t>(frames) * ecm.frame_size;
    ecm.received = EcmMap{};
    ecm.rcp_seen = false;
    if (ecm.page.size() > ecm.block_start) ecm.page.resize(ecm.block_start);
}

LineDecode EcmPageAsMh(const EcmReceive &ecm, std::vector<uint8_t> *mh) {
    const size_t size = ecm.page.size() < ecm.block_start ? ecm.page.size() : ecm.block_start;
    return DecodeLinePage(ecm.page.data(), size, ecm.coding, mh);
}

uint16_t RecodeFileAsMh(const char *path, G3Coding coding, int64_t limit) {
    std::vector<uint8_t> data;
    {
        FaxFile in(fopen(path, "rb"));
        if (!in) return TOLLAN_E_FILE_NAME;
        for (int ch; (ch = getc(in.get())) != EOF;) {
            if (static_cast<int64_t>(data.size()) >= limit) return TOLLAN_E_PAGE_TOO_LARGE;
            data.push_back(static_cast<uint8_t>(ch));
        }
    }
    std::vector<uint8_t> mh;
    const LineDecode decoded = DecodeLinePage(data.data(), data.size(), coding, &mh);
    FaxTrace("RecodeFileAsMh: %s, %d rows, %d bad, code %d", path, decoded.rows, decoded.bad_rows, decoded.code);
    if (decoded.code != TOLLAN_OK) mh.clear();  // the page is judged as empty
    FaxFile out(fopen(path, "wb"));
    if (!out) return TOLLAN_E_DISK;
    if (!mh.empty() && fwrite(mh.data(), 1, mh.size(), out.get()) != mh.size()) return TOLLAN_E_DISK;
    return fclose(out.release()) == 0 ? uint16_t{TOLLAN_OK} : uint16_t{TOLLAN_E_DISK};
}

// The data after CONNECT, DLE pairs undone, up to DLE ETX, fed to the frame
// reader a buffer at a time.
uint16_t ReadEcmBlock(int32_t channel, EcmReceive &ecm) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&buffer, &size);
    if (!memory) return TOLLAN_E_NO_MEMORY;
    ecm.bad_frames = 0;
    int64_t count = 0;
    const uint16_t code = ReadPageData(channel, memory, kMaxBlockLineBytes, &count);
    fclose(memory);
    HdlcReader reader{};
    for (size_t i = 0; i < size; ++i) FeedHdlc(reader, static_cast<uint8_t>(buffer[i]), ecm);
    free(buffer);
    FaxTrace("ReadEcmBlock: %lld bytes, %d frames of the block whole, %d bad, %s", static_cast<long long>(count),
             EcmMapCount(ecm.received), ecm.bad_frames, ecm.rcp_seen ? "RCP" : "no RCP");
    return code;
}
