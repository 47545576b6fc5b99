// Splits an AT command line into its commands, as V.250 writes them: basic
// commands of one letter (or &, \, % and a letter) with a number, S-register
// commands, D with the rest of the line, and extended "+NAME=..." commands
// separated by ';'.
#include <cctype>
#include <cstdlib>

#include "sim/sim_internal.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// `line` is what follows "AT". Spaces outside quotes mean nothing.
bool ParseAtLine(const std::string &line, std::vector<AtCommand> &out) {
    size_t i = 0, n = line.size();
    while (i < n) {
        char c = static_cast<char>(toupper(static_cast<unsigned char>(line[i])));
        if (c == ' ' || c == ';') {
            ++i;
            continue;
        }
        AtCommand cmd;
        if (c == '+' || c == '#' || c == '$') {
            bool quoted = false;
            while (i < n && (quoted || line[i] != ';')) {
                char d = line[i];
                if (d == '"') quoted = !quoted;
                if (quoted || d != ' ') cmd.text += quoted ? d : static_cast<char>(toupper(static_cast<unsigned char>(d)));
                ++i;
            }
        } else if (c == 'D') {
            cmd.text = "D" + line.substr(i + 1);
            i = n;
        } else if (c == 'S') {
            cmd.text = "S";
            ++i;
            while (i < n && IsDigit(line[i])) cmd.text += line[i++];
            if (i < n && (line[i] == '=' || line[i] == '?')) {
                cmd.text += line[i++];
                while (i < n && IsDigit(line[i])) cmd.text += line[i++];
            }
        } else if (c == '&' || c == '\\' || c == '%') {
            cmd.text = c;
            ++i;
            if (i < n) cmd.text += static_cast<char>(toupper(static_cast<unsigned char>(line[i++])));
            while (i < n && IsDigit(line[i])) cmd.text += line[i++];
        } else if (isalpha(static_cast<unsigned char>(c))) {
            cmd.text = c;
            ++i;
            while (i < n && IsDigit(line[i])) cmd.text += line[i++];
        } else {
            return false;
        }
        out.push_back(cmd);
    }
    return true;
}

// "1,5,0,2" into values; empty positions keep their value. False on junk.
bool ParseNumbers(const std::string &text, int *values, int max, int &count) {
    count = 0;
    size_t i = 0;
    while (count < max) {
        size_t j = text.find(',', i);
        std::string item = text.substr(i, j == std::string::npos ? std::string::npos : j - i);
        if (!item.empty()) {
            char *end = nullptr;
            long v = strtol(item.c_str(), &end, 10);
            if (*end != '\0') return false;
            values[count] = static_cast<int>(v);
        }
        ++count;
        if (j == std::string::npos) return true;
        i = j + 1;
    }
    return false;  // more values than the command takes
}

bool ParseQuoted(const std::string &text, std::string &out) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
    out = text.substr(1, text.size() - 2);
    return true;
}
