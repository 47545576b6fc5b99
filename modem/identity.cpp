// One form of the remote identity for every class: a class 2.0 modem quotes
// it, a class 2 modem does not, and a class 1 frame pads it with spaces.
#include "modem/identity.h"

namespace {

bool KeptInIdentity(char ch) { return ch >= 0x20 && ch <= 0x7E && ch != '"'; }

}  // namespace

size_t FaxNormaliseIdentity(const char *text, size_t length, char *out, size_t size) {
    if (size == 0) return 0;
    size_t used = 0;
    size_t kept_end = 0;  // length up to the last character that is not a space
    for (size_t i = 0; i < length && text[i] != '\0' && used + 1 < size; ++i) {
        const char ch = text[i];
        if (!KeptInIdentity(ch)) continue;
        if (ch == ' ' && used == 0) continue;
        out[used++] = ch;
        if (ch != ' ') kept_end = used;
    }
    out[kept_end] = '\0';
    return kept_end;
}
