// The one-dimensional Modified Huffman codes of ITU-T T.4, shared by the
// Group 3 encoder and decoder.
#pragma once

#include <cstdint>

// Kinds of code. The numbers are kept from the original tables.
enum MhCodeKind : int32_t {
    kWhiteTerminating = 23,
    kWhiteMakeUp = 24,
    kBlackTerminating = 25,
    kBlackMakeUp = 26,
    kExtendedMakeUp = 27,  // the same for both colours
};

// One code: its bits right-aligned (the bit sent first is the most
// significant of the length bits), its length in bits and its run length.
struct MhCodeEntry {
    int32_t kind;
    int32_t code;
    int32_t length;
    int32_t run;
};

constexpr int kMhTerminatingCount = 64;  // runs 0..63, entry r for run r
constexpr int kMhMakeUpCount = 27;       // runs 64..1728, entry k-1 for run 64*k
constexpr int kMhExtendedCount = 13;     // runs 1792..2560
constexpr int kMhMaxCodeLength = 13;
constexpr int kG3LineWidth = 1728;       // pixels of every coded line

extern const MhCodeEntry kWhiteMhTerminating[kMhTerminatingCount];
extern const MhCodeEntry kWhiteMhMakeUp[kMhMakeUpCount];
extern const MhCodeEntry kBlackMhTerminating[kMhTerminatingCount];
extern const MhCodeEntry kBlackMhMakeUp[kMhMakeUpCount];
extern const MhCodeEntry kExtendedMhMakeUp[kMhExtendedCount];
