// The private profile reader: a small INI file of [Section] and key=value
// lines, section and key names compared without regard to case, ';' and '#'
// starting comment lines.
#include "platform/platform.h"

#include <cctype>
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

// Finds key in section; true with its trimmed value.
bool FindProfileValue(const char *section, const char *key, std::string &value) {
    std::unique_ptr<FILE, FileCloser> f(fopen(PlatProfilePath(), "r"));
    if (!f) return false;
    bool in_section = false;
    char buf[1024];
    while (fgets(buf, sizeof buf, f.get())) {
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
    // A value that is not a number reads as 0, as an integer profile read does.
    return static_cast<int>(strtol(value.c_str(), nullptr, 10));
}

bool PlatProfileString(const char *section, const char *key, char *out, size_t n) {
    std::string value;
    if (!FindProfileValue(section, key, value) || value.size() + 1 > n) return false;
    memcpy(out, value.c_str(), value.size() + 1);
    return true;
}
