// Page file names: a document's pages live beside its base name, cut at the
// last ".", as "<stem>_p<page>.g3", with "<stem>_p<page>.ffi" for the page
// information.
#include <cstdio>
#include <cstring>

#include "class2/class2.h"

namespace {

// Length of the part of the base name kept in page names.
size_t StemLength(const char *base_name) {
    const char *dot = strrchr(base_name, '.');
    return dot ? static_cast<size_t>(dot - base_name) : strlen(base_name);
}

}  // namespace

bool FaxBaseNameHasDot(const char *base_name) { return strchr(base_name, '.') != nullptr; }

bool FaxPageFileName(char (&out)[kFaxPathSize], const char *base_name, int page, const char *extension) {
    size_t stem = StemLength(base_name);
    out[0] = '\0';
    if (stem >= kFaxPathSize) return false;
    int n = snprintf(out, kFaxPathSize, "%.*s_p%d%s", static_cast<int>(stem), base_name, page, extension);
    if (n < 0 || static_cast<size_t>(n) >= kFaxPathSize) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool FaxPageNamesFit(const char *base_name, int last_page, const char *extension) {
    if (strnlen(base_name, kFaxPathSize) >= kFaxPathSize) return false;
    // Page numbers only grow longer, so the last page's name is the longest.
    char name[kFaxPathSize];
    return FaxPageFileName(name, base_name, last_page, extension);
}
