// The text of a class 2 hang-up code, from the library's own table.
#pragma once

#include "modem/hangup_codes.h"

inline const char *HangupText(int32_t code) { return HangupCodeText(code); }
