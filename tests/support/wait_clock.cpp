#include "support/wait_clock.h"

#include <cerrno>
#include <poll.h>
#include <termios.h>
#include <climits>
#include <cstdlib>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kNoDeadline = ~uint64_t(0);
// Where the library's clock starts: close to the wrap of its 32-bit ticks,
// so that every run crosses it.
constexpr uint64_t kStartMs = 0xFFFFFFFFull - 60000;
// Real time between two looks at a descriptor while a party waits.
constexpr int kSliceMs = 2;
// The emulator's bytes reach the host no faster than a 19200 bit/s port
// carries them (ten bits a byte), after a burst the port's buffers hold: a
// modem that never stops talking uses up the host's waits as a real one does.
constexpr uint64_t kByteMicros = 10 * 1000000 / 19200;
constexpr uint64_t kBurstMicros = 100 * 1000;

// One thread that takes part in the clock: a library thread, or the
// emulator's loop (the far end).
struct Party {
    bool far = false;
    bool idle = false;           // in a wait, and its last look found nothing to do
    uint64_t deadline = kNoDeadline;
    std::string reading;         // library: the pty it waits to read from ("" none)
    std::vector<std::string> reads_ports;  // far end: the ptys it polls for input
    uint64_t seen_generation = 0;  // far end: the generation its last look began in
};

// Bytes across one pty, counted by both sides.
struct Flow {
    uint64_t up_written = 0, up_taken = 0;      // library -> emulator
    uint64_t down_written = 0, down_taken = 0;  // emulator -> library
    uint64_t line_free_us = 0;  // when the port has carried what the emulator wrote
};

// Everything under one lock. Bytes are counted both ways: what one side has
// written and the other has not yet taken is on its way, and the clock must
// not move past a wait that it would end.
struct ClockState {
    std::mutex lock;
    std::condition_variable moved;
    uint64_t now = kStartMs;
    uint32_t ratio = 20;
    uint64_t far_base = 0, now_base = kStartMs;  // the far end's clock: far_base at now_base, then 1/ratio
    bool installed = false;
    uint64_t generation = 0;  // counts the library's actions on the port
    int far_ends = 0;         // the clock stands still until this many far ends take part
    std::vector<Party *> parties;
    std::map<std::string, Flow> flows;      // by the pty's slave path
    std::map<int, std::string> library_fds;  // the library's open ports
    std::map<int, std::string> far_fds;      // the emulator's pty masters
};

ClockState g_state;

using Hold = std::unique_lock<std::mutex>;

bool QuietLocked(const ClockState &s) {
    int far_ends = 0;
    for (const Party *p : s.parties) {
        far_ends += p->far ? 1 : 0;
        if (!p->idle) return false;
        // The far end must have looked since the library last acted.
        if (p->far && p->seen_generation != s.generation) return false;
        if (!p->reading.empty()) {
            auto f = s.flows.find(p->reading);
            if (f != s.flows.end() && f->second.down_written > f->second.down_taken) return false;
        }
        for (const std::string &port : p->reads_ports) {
            auto f = s.flows.find(port);
            if (f != s.flows.end() && f->second.up_written > f->second.up_taken) return false;
        }
    }
    return !s.parties.empty() && far_ends >= s.far_ends;
}

// When every party waits and nothing is on its way, the clock jumps to the
// earliest deadline.
void TryAdvanceLocked(ClockState &s) {
    if (!QuietLocked(s)) return;
    uint64_t next = kNoDeadline;
    for (const Party *p : s.parties) next = std::min(next, p->deadline);
    if (next == kNoDeadline || next <= s.now) return;
    s.now = next;
    s.moved.notify_all();
}

void JoinLocked(ClockState &s, Party *p) { s.parties.push_back(p); }

void LeaveLocked(ClockState &s, Party *p) {
    s.parties.erase(std::remove(s.parties.begin(), s.parties.end(), p), s.parties.end());
    TryAdvanceLocked(s);
}

// The calling thread's party, joined for as long as the thread lives (or
// until the clock goes).
struct ThreadParty {
    Party party;
    bool joined = false;
    ~ThreadParty() {
        if (!joined) return;
        std::lock_guard<std::mutex> hold(g_state.lock);
        LeaveLocked(g_state, &party);
    }
};

thread_local ThreadParty t_party;

// The caller's party; a thread that has none takes part from now on.
Party &SelfLocked(bool far) {
    if (!t_party.joined) {
        t_party.party = Party{};
        t_party.party.far = far;
        t_party.joined = true;
        JoinLocked(g_state, &t_party.party);
    }
    return t_party.party;
}

uint64_t ActLocked(ClockState &s) { return ++s.generation; }

// When a port has carried all the emulator wrote, in ms: then it takes a
// whole burst again (fewer, larger steps of the clock).
uint64_t PortFreeAtLocked(const ClockState &s, const std::string &port) {
    auto f = s.flows.find(port);
    return f == s.flows.end() ? 0 : (f->second.line_free_us + 999) / 1000;
}

std::string LibraryPortLocked(const ClockState &s, int fd) {
    auto at = s.library_fds.find(fd);
    return at == s.library_fds.end() ? std::string() : at->second;
}

// The pty a master descriptor of the emulator belongs to, by its slave's path.
std::string FarPortLocked(ClockState &s, int fd) {
    auto at = s.far_fds.find(fd);
    if (at != s.far_fds.end()) return at->second;
    char name[128];
    std::string port = ptsname_r(fd, name, sizeof name) == 0 ? name : "";
    s.far_fds[fd] = port;
    return port;
}

// A thread that does not take part in the clock takes part while it waits.
class WaitingParty {
public:
    explicit WaitingParty(Hold &) : temporary_(!t_party.joined), self_(SelfLocked(false)) {}
    ~WaitingParty() {  // the lock is held
        self_.idle = false;
        self_.reading.clear();
        if (!temporary_) return;
        LeaveLocked(g_state, &self_);
        t_party.joined = false;
    }
    Party &self() { return self_; }

private:
    bool temporary_;
    Party &self_;
};

// Library waits: look at the descriptor in short real slices; between them,
// report the wait and let the clock move.
int LibraryWait(int fd, short events, int wake_fd, uint32_t ms) {
    Hold hold(g_state.lock);
    WaitingParty waiting(hold);
    Party &self = waiting.self();
    const uint64_t deadline = g_state.now + ms;
    ActLocked(g_state);
    // The party counts as waiting during its looks too: bytes on their way
    // to it hold the clock through the counts.
    self.deadline = deadline;
    self.reading = fd >= 0 && (events & POLLIN) ? LibraryPortLocked(g_state, fd) : std::string();
    for (;;) {
        if (fd >= 0) {
            hold.unlock();
            pollfd p[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
            int r = poll(p, wake_fd >= 0 ? 2 : 1, kSliceMs);
            hold.lock();
            if (r > 0 && ((p[0].revents | p[1].revents) & POLLNVAL)) {
                errno = EBADF;
                return -1;
            }
            if (r != 0) return r < 0 ? r : p[0].revents != 0 ? 1 : 2;
        }
        if (g_state.now >= deadline) return 0;
        self.idle = true;
        TryAdvanceLocked(g_state);
        if (g_state.now >= deadline) return 0;
        if (fd < 0) g_state.moved.wait_for(hold, std::chrono::milliseconds(kSliceMs));
    }
}

uint32_t LibraryTick() {
    std::lock_guard<std::mutex> hold(g_state.lock);
    return static_cast<uint32_t>(g_state.now);
}

void LibrarySleep(uint32_t ms) { LibraryWait(-1, 0, -1, ms); }
int LibraryWaitReadable(int fd, int wake_fd, uint32_t ms) { return LibraryWait(fd, POLLIN, wake_fd, ms); }
int LibraryWaitWritable(int fd, uint32_t ms) { return LibraryWait(fd, POLLOUT, -1, ms); }

// What the library's port operations did, for the byte counts. A purge, an
// open or a close may drop what is on its way in either direction (the pty
// discards bytes still in passage); what either side takes afterwards is
// counted only up to what was written.
void PortActedLocked(ClockState &s, const std::string &port) {
    if (!port.empty()) {
        Flow &f = s.flows[port];
        f.down_taken = std::max(f.down_taken, f.down_written);
        f.up_taken = std::max(f.up_taken, f.up_written);
    }
    ActLocked(s);
}

int LibraryPortOpen(const char *device) {
    int fd = PlatformDefaults().port_open(device);
    char real[PATH_MAX];
    std::string port = realpath(device, real) ? real : device;
    std::lock_guard<std::mutex> hold(g_state.lock);
    if (fd >= 0) g_state.library_fds[fd] = port;
    PortActedLocked(g_state, port);
    return fd;
}

int LibraryPortClose(int fd) {
    int r = PlatformDefaults().port_close(fd);
    std::lock_guard<std::mutex> hold(g_state.lock);
    PortActedLocked(g_state, LibraryPortLocked(g_state, fd));
    g_state.library_fds.erase(fd);
    return r;
}

int LibraryPortPurge(int fd) {
    int r = PlatformDefaults().port_purge(fd);
    std::lock_guard<std::mutex> hold(g_state.lock);
    PortActedLocked(g_state, LibraryPortLocked(g_state, fd));
    return r;
}

ssize_t LibraryPortRead(int fd, void *buf, size_t n) {
    ssize_t r = PlatformDefaults().port_read(fd, buf, n);
    if (r > 0) {
        std::lock_guard<std::mutex> hold(g_state.lock);
        std::string port = LibraryPortLocked(g_state, fd);
        if (!port.empty()) {
            Flow &f = g_state.flows[port];
            f.down_taken = std::min(f.down_taken + static_cast<uint64_t>(r), f.down_written);
        }
        ActLocked(g_state);
    }
    return r;
}

// Counted before the write, so the far end never takes more than was sent.
ssize_t LibraryPortWrite(int fd, const void *buf, size_t n) {
    std::unique_lock<std::mutex> hold(g_state.lock);
    Flow &f = g_state.flows[LibraryPortLocked(g_state, fd)];
    f.up_written += n;
    ActLocked(g_state);
    hold.unlock();
    ssize_t r = PlatformDefaults().port_write(fd, buf, n);
    hold.lock();
    f.up_written -= n - static_cast<size_t>(r > 0 ? r : 0);
    return r;
}

// A thread the library starts takes part from before it runs until it ends.
struct Start {
    void *(*fn)(void *);
    void *arg;
    Party *party;
};

// The new thread's own party takes the place its starter held for it.
void *RunStarted(void *raw) {
    Start start = *static_cast<Start *>(raw);
    delete static_cast<Start *>(raw);
    {
        std::lock_guard<std::mutex> hold(g_state.lock);
        t_party.party = Party{};
        t_party.joined = true;
        std::replace(g_state.parties.begin(), g_state.parties.end(), start.party, &t_party.party);
        delete start.party;
    }
    void *result = start.fn(start.arg);
    std::lock_guard<std::mutex> hold(g_state.lock);
    LeaveLocked(g_state, &t_party.party);
    t_party.joined = false;
    return result;
}

int LibraryThreadStart(uint64_t *handle, void *(*fn)(void *), void *arg) {
    auto *party = new Party{};
    {
        std::lock_guard<std::mutex> hold(g_state.lock);
        JoinLocked(g_state, party);
    }
    auto *start = new Start{fn, arg, party};
    int r = PlatformDefaults().thread_start(handle, RunStarted, start);
    if (r != 0) {
        delete start;
        std::lock_guard<std::mutex> hold(g_state.lock);
        LeaveLocked(g_state, party);
        delete party;
    }
    return r;
}

// Joining a thread is a wait without an end of its own: the thread joined
// may be sitting out a wait of the clock.
int LibraryThreadJoin(uint64_t handle) {
    Hold hold(g_state.lock);
    WaitingParty waiting(hold);
    waiting.self().idle = true;
    waiting.self().deadline = kNoDeadline;
    TryAdvanceLocked(g_state);
    hold.unlock();
    int r = PlatformDefaults().thread_join(handle);
    hold.lock();
    return r;
}

// The far end: its clock runs at 1/ratio of the library's.
uint64_t FarNowLocked(const ClockState &s) { return s.far_base + (s.now - s.now_base) / s.ratio; }

// The library's time at which the far end's clock reads far_ms.
uint64_t NowAtFarLocked(const ClockState &s, uint64_t far_ms) {
    return s.now_base + (far_ms - s.far_base) * s.ratio;
}

uint64_t FarNow() {
    std::lock_guard<std::mutex> hold(g_state.lock);
    return FarNowLocked(g_state);
}

int FarPoll(pollfd *fds, size_t n, size_t ports_from, int timeout_ms) {
    Hold hold(g_state.lock);
    Party &self = SelfLocked(true);
    // A time-out of 0 asks for the next millisecond: a timer due "now" that
    // fires only once the time has passed it would otherwise spin forever.
    const uint64_t wait = static_cast<uint64_t>(timeout_ms > 0 ? timeout_ms : 1);
    uint64_t deadline = timeout_ms < 0 ? kNoDeadline : NowAtFarLocked(g_state, FarNowLocked(g_state) + wait);
    std::vector<std::string> reads_ports;
    for (size_t i = ports_from; i < n; ++i)
        if (fds[i].events & POLLIN) reads_ports.push_back(FarPortLocked(g_state, fds[i].fd));
    // A port still busy with earlier bytes takes no more until it is free.
    const std::vector<pollfd> asked(fds, fds + n);
    for (size_t i = ports_from; i < n; ++i) {
        if (!(fds[i].events & POLLOUT)) continue;
        uint64_t free_ms = PortFreeAtLocked(g_state, FarPortLocked(g_state, fds[i].fd));
        if (free_ms <= g_state.now) continue;
        fds[i].events = static_cast<short>(fds[i].events & ~POLLOUT);
        deadline = std::min(deadline, free_ms);
    }
    auto restore = [&] {
        for (size_t i = 0; i < n; ++i) fds[i].events = asked[i].events;
    };
    self.deadline = deadline;
    self.reads_ports = reads_ports;
    for (;;) {
        // A look counts only if the library has not acted since it began.
        const uint64_t generation = g_state.generation;
        hold.unlock();
        int r = poll(fds, n, kSliceMs);
        hold.lock();
        if (r != 0 || g_state.now >= deadline) {
            self.idle = false;
            restore();
            return r;
        }
        self.idle = true;
        self.seen_generation = generation;
        TryAdvanceLocked(g_state);
        if (g_state.now >= deadline) {
            self.idle = false;
            restore();
            return 0;
        }
    }
}

// Of bytes the far end writes, those that reach the host's reads: with the
// port's output flow control on (IXON), its XON and XOFF bytes are taken by
// the terminal and never read.
uint64_t BytesTheHostReads(int fd, const void *buf, size_t n) {
    termios t{};
    if (n == 0 || tcgetattr(fd, &t) != 0 || !(t.c_iflag & IXON)) return n;
    const auto *bytes = static_cast<const unsigned char *>(buf);
    uint64_t read = 0;
    for (size_t i = 0; i < n; ++i) read += bytes[i] != t.c_cc[VSTART] && bytes[i] != t.c_cc[VSTOP];
    return read;
}

ssize_t FarPortRead(int fd, void *buf, size_t n) {
    ssize_t r = read(fd, buf, n);
    if (r > 0) {
        std::lock_guard<std::mutex> hold(g_state.lock);
        Flow &f = g_state.flows[FarPortLocked(g_state, fd)];
        f.up_taken = std::min(f.up_taken + static_cast<uint64_t>(r), f.up_written);
    }
    return r;
}

// Counted before the write: the library may read the bytes at once. At most
// what the port carries in its burst goes at a time.
ssize_t FarPortWrite(int fd, const void *buf, size_t n) {
    std::unique_lock<std::mutex> hold(g_state.lock);
    Flow &f = g_state.flows[FarPortLocked(g_state, fd)];
    const uint64_t now_us = g_state.now * 1000;
    const uint64_t start_us = std::max(f.line_free_us, now_us);
    const uint64_t room = (now_us + kBurstMicros - std::min(start_us, now_us + kBurstMicros)) / kByteMicros;
    if (room == 0) {
        errno = EAGAIN;
        return -1;
    }
    n = std::min<size_t>(n, room);
    f.down_written += BytesTheHostReads(fd, buf, n);
    hold.unlock();
    ssize_t r = write(fd, buf, n);
    hold.lock();
    const size_t sent = static_cast<size_t>(r > 0 ? r : 0);
    f.down_written -= BytesTheHostReads(fd, static_cast<const char *>(buf) + sent, n - sent);
    f.line_free_us = start_us + sent * kByteMicros;
    return r;
}

// A scripted far end writes what its script says at once.
ssize_t FarPortWriteUnpaced(int fd, const void *buf, size_t n) {
    std::unique_lock<std::mutex> hold(g_state.lock);
    Flow &f = g_state.flows[FarPortLocked(g_state, fd)];
    f.down_written += BytesTheHostReads(fd, buf, n);
    hold.unlock();
    ssize_t r = write(fd, buf, n);
    hold.lock();
    const size_t sent = static_cast<size_t>(r > 0 ? r : 0);
    f.down_written -= BytesTheHostReads(fd, static_cast<const char *>(buf) + sent, n - sent);
    return r;
}

constexpr SimClockOps kFarOps = {FarNow, FarPoll, FarPortRead, FarPortWrite};
constexpr SimClockOps kScriptOps = {FarNow, FarPoll, FarPortRead, FarPortWriteUnpaced};

}  // namespace

WaitClock::WaitClock(uint32_t far_end_ratio, bool creator_takes_part, int far_ends) : ops_(PlatformDefaults()) {
    {
        std::lock_guard<std::mutex> hold(g_state.lock);
        // A clock made again while a far end still takes part (a test that
        // changes its clock) goes on from where the last one stood.
        if (g_state.parties.empty()) {
            g_state.now = kStartMs;
            g_state.generation = 0;
            g_state.flows.clear();
            g_state.library_fds.clear();
            g_state.far_fds.clear();
        }
        g_state.far_base = FarNowLocked(g_state);
        g_state.now_base = g_state.now;
        g_state.ratio = far_end_ratio > 0 ? far_end_ratio : 1;
        g_state.installed = true;
        g_state.far_ends = far_ends;
        if (creator_takes_part) SelfLocked(false);
    }
    ops_.tick_count = LibraryTick;
    ops_.sleep_ms = LibrarySleep;
    ops_.wait_readable = LibraryWaitReadable;
    ops_.wait_writable = LibraryWaitWritable;
    ops_.port_open = LibraryPortOpen;
    ops_.port_close = LibraryPortClose;
    ops_.port_purge = LibraryPortPurge;
    ops_.port_read = LibraryPortRead;
    ops_.port_write = LibraryPortWrite;
    ops_.thread_start = LibraryThreadStart;
    ops_.thread_join = LibraryThreadJoin;
    previous_ = PlatformInstall(&ops_);
}

WaitClock::~WaitClock() {
    PlatformInstall(previous_);
    std::lock_guard<std::mutex> hold(g_state.lock);
    g_state.installed = false;
    if (t_party.joined) {
        LeaveLocked(g_state, &t_party.party);
        t_party.joined = false;
    }
}

const SimClockOps &WaitClock::ForSim() const { return kFarOps; }

void WaitClock::SetRatio(uint32_t far_end_ratio) {
    std::lock_guard<std::mutex> hold(g_state.lock);
    g_state.far_base = FarNowLocked(g_state);
    g_state.now_base = g_state.now;
    g_state.ratio = far_end_ratio > 0 ? far_end_ratio : 1;
}

const SimClockOps *WaitClockFarOps() {
    std::lock_guard<std::mutex> hold(g_state.lock);
    return g_state.installed ? &kScriptOps : nullptr;
}

void *WaitClockReserveFarEnd() {
    std::lock_guard<std::mutex> hold(g_state.lock);
    auto *party = new Party{};
    party->far = true;
    JoinLocked(g_state, party);
    return party;
}

void WaitClockTakeOverFarEnd(void *reserved) {
    std::lock_guard<std::mutex> hold(g_state.lock);
    auto *party = static_cast<Party *>(reserved);
    t_party.party = Party{};
    t_party.party.far = true;
    t_party.joined = true;
    std::replace(g_state.parties.begin(), g_state.parties.end(), party, &t_party.party);
    delete party;
}

WaitClockOutside::WaitClockOutside() {
    std::lock_guard<std::mutex> hold(g_state.lock);
    if (!t_party.joined || t_party.party.far) return;
    t_party.party.idle = true;
    t_party.party.deadline = kNoDeadline;
    TryAdvanceLocked(g_state);
}

WaitClockOutside::~WaitClockOutside() {
    std::lock_guard<std::mutex> hold(g_state.lock);
    if (t_party.joined && !t_party.party.far) t_party.party.idle = false;
}

std::string WaitClockState() {
    std::lock_guard<std::mutex> hold(g_state.lock);
    std::string out = "now " + std::to_string(g_state.now - kStartMs) + " gen " + std::to_string(g_state.generation);
    for (const Party *p : g_state.parties) {
        out += std::string("\n  ") + (p->far ? "far" : "lib") + (p->idle ? " idle" : " busy") +
               " deadline " + (p->deadline == kNoDeadline ? "none" : std::to_string(p->deadline - kStartMs)) +
               " reading '" + p->reading + "' seen " + std::to_string(p->seen_generation);
        for (const std::string &port : p->reads_ports) out += " polls " + port;
    }
    for (const auto &[port, f] : g_state.flows)
        out += "\n  " + port + ": up " + std::to_string(f.up_written) + "/" + std::to_string(f.up_taken) + " down " +
               std::to_string(f.down_written) + "/" + std::to_string(f.down_taken);
    return out;
}

WaitClockParty::WaitClockParty() {
    std::lock_guard<std::mutex> hold(g_state.lock);
    SelfLocked(false);
}

WaitClockParty::~WaitClockParty() {
    std::lock_guard<std::mutex> hold(g_state.lock);
    if (!t_party.joined) return;
    LeaveLocked(g_state, &t_party.party);
    t_party.joined = false;
}
