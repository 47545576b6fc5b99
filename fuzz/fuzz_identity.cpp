// Remote identities as modems and stations send them: the normalised form
// stays inside its field, holds no quote, control byte or outer space, and
// normalising it again changes nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "modem/identity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const size_t field = size > 0 ? 1 + data[0] % 129 : 1;
    const char *text = reinterpret_cast<const char *>(data);
    char out[129];
    char again[129];
    const size_t length = FaxNormaliseIdentity(text, size, out, field);
    if (length >= field || out[length] != '\0' || strlen(out) != length) abort();
    for (size_t i = 0; i < length; ++i)
        if (out[i] == '"' || out[i] < 0x20 || out[i] > 0x7E) abort();
    if (length > 0 && (out[0] == ' ' || out[length - 1] == ' ')) abort();
    if (FaxNormaliseIdentity(out, length, again, sizeof again) != length || strcmp(out, again) != 0) abort();
    return 0;
}
