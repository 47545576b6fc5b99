// The remote station's identity as every class shows it.
#pragma once

#include <cstddef>

// Copies the identity in text (at most length bytes, ending early at a NUL)
// to out (size bytes, always terminated): double quotes and bytes that are
// not printable left out, leading and trailing spaces trimmed, inner spaces
// kept. Returns the length written.
size_t FaxNormaliseIdentity(const char *text, size_t length, char *out, size_t size);
