// Texts of the class 2 hang-up codes for the trace.
#include "modem/hangup_codes.h"
#include "modem/response.h"

const char *FaxHangupText(int32_t code) { return HangupCodeText(code); }
