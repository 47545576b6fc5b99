// The class 2 hang-up codes and their texts, searched in this order. One
// table, read by the response interpreter's trace and by programs that show a
// call's end to people. The negative codes are the library's own.
#pragma once

#include <array>
#include <cstdint>

struct HangupEntry {
    int32_t code;
    const char *text;
};

inline constexpr std::array<HangupEntry, 52> kHangupTexts = {{
    {-4, "Unexpected hangup / read() error / write() error (int.)"},
    {-3, "Unexpected 'ERROR' or 'NO CARRIER' response (int.)"},
    {-2, "Modem responded 'BUSY' (int.)"},
    {-1, "Invalid +FPTS:xxx code"},
    // Call placement and termination
    {0, "Normal and proper end of connection"},
    {1, "Ring Detect without successful handshake"},
    {2, "Call aborted, from +FK or AN"},
    {3, "No Loop Current"},
    {4, "Ringback detected, no answer (timeout)"},
    {5, "Ringback detected, answer without CED"},
    // Transmit phase A and B
    {10, "Unspecified Phase A error"},
    {11, "No Answer (T.30 T1 timeout)"},
    {20, "Unspecified Transmit Phase B error"},
    {21, "Remote cannot receive or send"},
    {22, "COMREC error in transmit Phase B"},
    {23, "COMREC invalid command received"},
    {24, "RSPEC error"},
    {25, "DCS sent three times without response"},
    {26, "DIS/DTC received 3 times; DCS not recognized"},
    {27, "Failure to train at 2400 bps or +FMINSP value"},
    {28, "RSPREC invalid response received"},
    // Transmit phase C and D
    {40, "Unspecified Transmit Phase C error"},
    {41, "Unspecified Image format error"},
    {42, "Image conversion error"},
    {43, "DTE to DCE data underflow"},
    {44, "Unrecognized Transparent data command"},
    {45, "Image error, line length wrong"},
    {46, "Image error, page length wrong"},
    {47, "Image error, wrong compression code"},
    {50, "Unspecified Transmit Phase D error"},
    {51, "RSPREC error"},
    {52, "No response to MPS repeated 3 times"},
    {53, "Invalid response to MPS"},
    {54, "No response to EOP repeated 3 times"},
    {55, "Invalid response to EOP"},
    {56, "No response to EOM repeated 3 times"},
    {57, "Invalid response to EOM"},
    {58, "Unable to continue after PIN or PIP"},
    // Receive phases B, C and D
    {70, "Unspecified Receive Phase B error"},
    {71, "RSPREC error"},
    {72, "COMREC error"},
    {73, "T.30 T2 timeout, expected page not received"},
    {74, "T.30 T1 timeout after EOM received"},
    {90, "Unspecified Receive Phase C error"},
    {91, "Missing EOL after 5 seconds"},
    {92, "Bad CRC or frame (ECM mode)"},
    {93, "DCE to DTE buffer overflow"},
    {94, "Bad CRC or frame (ECM or BFT modes)"},
    {100, "Unspecified Receive Phase D errors"},
    {101, "RSPREC invalid response received"},
    {102, "COMREC invalid response received"},
    {103, "Unable to continue after PIN or PIP"},
}};

inline constexpr const char *kUnknownHangupText = "unknown +FHNG error code";

// The text of a hang-up code, or kUnknownHangupText.
constexpr const char *HangupCodeText(int32_t code) {
    for (const HangupEntry &entry : kHangupTexts)
        if (entry.code == code) return entry.text;
    return kUnknownHangupText;
}
