// A modem's pseudo-terminal, and the transcript of what crosses it.
//
// The emulator holds the master side. The slave is put in raw mode once, so
// a host that opens it without setting the line up still gets every byte
// unchanged. Linux reports POLLHUP on the master while no host holds the
// slave open: that is this modem's "DTR off", and the loop then polls the
// master only now and then to see a host arrive.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include "sim/sim_internal.h"

bool PtyOpen(Pty &p) {
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (p.master == -1) return false;
    if (grantpt(p.master) == -1 || unlockpt(p.master) == -1) {
        PtyClose(p);
        return false;
    }
    char name[128];
    if (ptsname_r(p.master, name, sizeof name) != 0) {
        PtyClose(p);
        return false;
    }
    p.device = name;
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave == -1) {
        PtyClose(p);
        return false;
    }
    termios t{};
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);  // no echo, no line editing, no CR/LF translation
        cfsetispeed(&t, B19200);
        cfsetospeed(&t, B19200);
        tcsetattr(slave, TCSANOW, &t);
    }
    close(slave);  // from now on the master sees POLLHUP until a host opens it
    p.attached = false;
    p.next_check = 0;
    return true;
}

void PtyClose(Pty &p) {
    if (p.master != -1) close(p.master);
    p.master = -1;
    p.attached = false;
}

bool PtyCheckAttached(Pty &p) {
    pollfd f{p.master, POLLIN, 0};
    if (poll(&f, 1, 0) < 0) return false;
    p.attached = !(f.revents & POLLHUP);
    return p.attached;
}

// A real modem sees DTR drop when the host closes the port; a pty shows
// nothing if the host opens it again at once, so the opens and closes of the
// slave are counted from inotify's events.
void PtyWatchEvents(Sim &sim, void (*closed)(Sim &, int modem)) {
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(sim.watches, buf, sizeof buf);
        if (n <= 0) return;
        for (char *p = buf; p < buf + n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(p);
            p += sizeof(inotify_event) + e->len;
            for (Modem &m : sim.modems) {
                if (m.pty.watch != e->wd) continue;
                if (e->mask & IN_OPEN) {
                    ++m.pty.opens;
                    m.pty.attached = true;
                } else if ((e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && m.pty.opens > 0 && --m.pty.opens == 0) {
                    closed(sim, m.index);
                }
            }
        }
    }
}

namespace {

void AppendEscaped(std::string &out, const uint8_t *b, size_t n) {
    static const char *const kNames[32] = {
        "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS", "HT", "LF", "VT", "FF", "CR", "SO", "SI",
        "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB", "CAN", "EM", "SUB", "ESC", "FS", "GS", "RS", "US"};
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = b[i];
        if (c >= 32 && c < 127 && c != '<') {
            out += static_cast<char>(c);
        } else if (c < 32) {
            out += '<';
            out += kNames[c];
            out += '>';
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "<%02X>", c);
            out += hex;
        }
    }
}

}  // namespace

namespace {

double TranscriptSeconds() {
    static const SimTime start = SimNow();
    return static_cast<double>(SimNow() - start) / 1000.0;
}

}  // namespace

void TranscriptNote(Sim &sim, const std::string &who, const char *event) {
    if (!sim.transcript) return;
    fprintf(sim.transcript, "%9.3f %s ~> line: %s\n", TranscriptSeconds(), who.c_str(), event);
    fflush(sim.transcript);
}

void TranscriptLog(Sim &sim, const std::string &who, bool from_host, const uint8_t *b, size_t n) {
    if (!sim.transcript || n == 0) return;
    std::string line;
    AppendEscaped(line, b, n);
    fprintf(sim.transcript, "%9.3f %s %s %s\n", TranscriptSeconds(), who.c_str(),
            from_host ? "<-" : "->", line.c_str());
    fflush(sim.transcript);
}
