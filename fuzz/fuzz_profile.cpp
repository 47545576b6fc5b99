// The profile (quarry.ini, found through $QUARRY_INI): any text, any line
// length, any bytes. Reads the keys the library uses and checks that a value
// found comes from a line that holds its key, and that a string read fits.
// The same bytes then stand as another program's lock file of a port: a
// lock taken over must name this process and be given back.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>

#include "fuzz/fuzz_port.h"
#include "platform/platform.h"
#include "tollan.h"

namespace {

struct Key {
    const char *section;
    const char *key;
};
constexpr Key kKeys[] = {{"Fax", "xon_lim"}, {"Fax", "xoff_lim"}, {"Fax", "fdr_wait"},
                         {"Ports", "COM1"},  {"Ports", "COM2"},   {"Ports", "COM10"}};
// Buffer sizes a caller may give: small ones make long values not fit.
constexpr size_t kSizes[] = {1, 8, 64, 4096};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// True when some line of the text, leading blanks aside, starts with the key
// followed by blanks and '=', and holds the value after it.
bool SomeLineHolds(const std::string &text, const char *key, const char *value) {
    const size_t key_length = strlen(key);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        size_t p = 0;
        while (p < line.size() && IsSpace(line[p])) ++p;
        if (line.size() - p >= key_length && strncasecmp(line.c_str() + p, key, key_length) == 0) {
            size_t q = p + key_length;
            while (q < line.size() && IsSpace(line[q])) ++q;
            if (q < line.size() && line[q] == '=' && line.find(value, q + 1) != std::string::npos) return true;
        }
        start = end + 1;
    }
    return false;
}

void Fail(const char *what, const Key &k) {
    fprintf(stderr, "fuzz profile: [%s] %s: %s\n", k.section, k.key, what);
    abort();
}

// The input as the lock file of a device no program uses.
void ExamineLockFile(const uint8_t *data, size_t size) {
    static const std::string dir = FuzzScratchPath("locks");
    static const bool made = mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
    if (!made) return;
    setenv("TOLLAN_LOCK_DIR", dir.c_str(), 1);
    const std::string lock = dir + "/LCK..tollan-fuzz-lock";
    if (!FuzzWriteFile(lock.c_str(), data, size)) return;
    char path[512];
    long holder = 0;
    if (PlatLockDevice("/dev/tollan-fuzz-lock", path, sizeof path, &holder) == PlatLockOutcome::kTaken) {
        char text[32] = {};
        FILE *f = fopen(path, "r");
        if (!f) abort();
        size_t n = fread(text, 1, sizeof text - 1, f);
        fclose(f);
        if (n == 0 || atol(text) != static_cast<long>(getpid())) abort();
        PlatUnlockDevice(path);
    }
    unlink(lock.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = FuzzScratchPath("profile.ini");
    if (!FuzzWriteFile(path.c_str(), data, size)) return 0;
    setenv("QUARRY_INI", path.c_str(), 1);
    // The checks below compare with the text up to its first NUL, as a text
    // reader sees it; a NUL byte makes them moot.
    const std::string text(reinterpret_cast<const char *>(data), size);
    const bool plain_text = text.find('\0') == std::string::npos;
    for (const Key &k : kKeys) {
        PlatProfileInt(k.section, k.key, -7);
        for (size_t n : kSizes) {
            char out[4096];
            memset(out, 'x', sizeof out);
            if (!PlatProfileString(k.section, k.key, out, n)) continue;
            const size_t length = strnlen(out, n);
            if (length == n) Fail("the value fills its buffer unterminated", k);
            if (plain_text && !SomeLineHolds(text, k.key, out)) Fail("the value comes from no line of its key", k);
        }
    }
    ExamineLockFile(data, size);
    return 0;
}
