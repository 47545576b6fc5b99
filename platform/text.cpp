// Text services: the Shift_JIS lead-byte test and UTF-8 to code page 932.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

bool PlatIsLeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool PlatUtf8ToCp932(const char *text, char *out, size_t n) {
    if (n == 0) return false;
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    char *in = const_cast<char *>(text);
    size_t in_left = strlen(text);
    char *dst = out;
    size_t out_left = n - 1;
    size_t r = iconv(cd, &in, &in_left, &dst, &out_left);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) return false;
    *dst = '\0';
    return true;
}
