// The private profile reader: a small INI file of [Section] and key=value
// lines, section and key names compared without regard to case, ';' and '#'
// starting comment lines. A line longer than 1022 characters is ignored.
#include "platform/platform.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

std::string Trim(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

bool SameName(const std::string &a, const char *b) { return strcasecmp(a.c_str(), b) == 0; }

// Lines longer than this are passed over whole: their tail is never read as
// a line of its own.
constexpr size_t kMaxLineLength = 1022;

// Reads the next line into buf (its line end kept). False at the end of the
// file; *too_long when the line did not fit and its rest was skipped.
bool ReadProfileLine(FILE *f, char (&buf)[kMaxLineLength + 2], bool *too_long) {
    if (!fgets(buf, sizeof buf, f)) return false;
    *too_long = false;
    if (strchr(buf, '\n') || feof(f)) return true;
    *too_long = true;
    int c = 0;
    while ((c = fgetc(f)) != EOF && c != '\n') {
    }
    return true;
}

// Finds key in section; true with its trimmed value.
bool FindProfileValue(const char *section, const char *key, std::string &value) {
    std::unique_ptr<FILE, FileCloser> f(fopen(PlatProfilePath(), "r"));
    if (!f) return false;
    bool in_section = false;
    char buf[kMaxLineLength + 2];
    bool too_long = false;
    while (ReadProfileLine(f.get(), buf, &too_long)) {
        if (too_long) continue;
        std::string line = Trim(buf);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            in_section = close != std::string::npos && SameName(Trim(line.substr(1, close - 1)), section);
            continue;
        }
        if (!in_section) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        if (SameName(Trim(line.substr(0, eq)), key)) {
            value = Trim(line.substr(eq + 1));
            return true;
        }
    }
    return false;
}

}  // namespace

const char *PlatProfilePath() {
    const char *p = getenv("QUARRY_INI");
    return (p && *p) ? p : "/etc/quarry.ini";
}

int PlatProfileInt(const char *section, const char *key, int fallback) {
    std::string value;
    if (!FindProfileValue(section, key, value)) return fallback;
    // A value that is not a number reads as 0, as an integer profile read
    // does; one past the range of int is held at its end.
    long number = strtol(value.c_str(), nullptr, 10);
    if (number > INT_MAX) return INT_MAX;
    if (number < INT_MIN) return INT_MIN;
    return static_cast<int>(number);
}

bool PlatProfileString(const char *section, const char *key, char *out, size_t n) {
    std::string value;
    if (!FindProfileValue(section, key, value) || value.size() + 1 > n) return false;
    memcpy(out, value.c_str(), value.size() + 1);
    return true;
}
