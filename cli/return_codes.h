// Words for the library's return codes, for people.
#pragma once

#include <cstdint>

// The meaning of a return code of either library, or "unknown return code".
const char *ReturnCodeText(uint16_t code);
