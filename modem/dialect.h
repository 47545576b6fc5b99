// The class 2 and class 2.0 dialects: the same procedure under different
// command names and a few different habits. Each session takes its record
// once (FaxDialectOf) and reads its fields; nothing else branches on the class.
#pragma once

#include <cstdint>

struct FaxChannel;

struct FaxDialect {
    const char *local_id;            // identity command, at most 40 characters between quotes
    const char *local_id_retry;      // tried when local_id is refused; nullptr: none
    const char *capabilities;        // the "+F" name of the capability list
    const char *min_speed;           // minimum bit rate command
    const char *reject_page;         // asks the modem to answer the page just received with RTN
    const char *enable_reception;    // nullptr: the modem receives by default
    const char *bit_order;           // receiving bit order command; nullptr: the modem keeps its own
    const char *reports;             // asks for the "+F" reports; nullptr: they always come
    const char *receive_flow;        // receiving flow control command; nullptr: none
    const char *disconnect;          // ends the session in a call: the modem sends DCN
    bool sets_flow_control;          // the sender chooses flow control ("AT+FLO")
    bool waits_for_xon;              // after CONNECT the modem says DC1 when it wants page data
    bool post_page_by_dle;           // the post-page message is DLE and one character, not "AT+FET="
    bool error_refuses_command;      // "ERROR" refuses a command; it does not end the call
    int ec_values[3];                // the EC value of the capability list for each TOLLAN_ECM_* mode
};

// The record of the channel's class: class 2.0 for class 2.0, class 2 for every other.
const FaxDialect &FaxDialectOf(const FaxChannel &c);
// The EC value of the capability list for the channel's error correction.
int FaxEcValue(const FaxChannel &c);
// The error correction (TOLLAN_ECM_*) a session report's EC value names in
// the channel's dialect; an EC the dialect does not list, or one it uses for
// both frame sizes, is 256-octet frames.
int32_t FaxEcmModeOf(const FaxChannel &c, int ec);
// The DF value of the capability list: the best coding the channel offers
// (0 MH, 1 MR, 3 MMR).
int FaxDfValue(const FaxChannel &c);
