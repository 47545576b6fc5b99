#include "support/scripted_modem.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

#include "engine/call_limits.h"
#include "engine/channel.h"
#include "platform/platform.h"
#include "support/wait_clock.h"

namespace {

// How often a waiting player looks at its stop flag.
constexpr int kPollSliceMs = 10;

void MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) == -1) return;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

std::string Escaped(const std::string &bytes) {
    std::string out;
    for (unsigned char b : bytes) {
        if (b == '\r') {
            out += "\\r";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\\') {
            out += "\\\\";
        } else if (b < 32 || b > 126) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        } else {
            out += static_cast<char>(b);
        }
    }
    return out;
}

// ---- ScriptedModem --------------------------------------------------------

ScriptedModem::ScriptedModem() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ == -1 || grantpt(master_) == -1 || unlockpt(master_) == -1)
        throw std::runtime_error(std::string("pseudo-terminal: ") + strerror(errno));
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname_r failed");
    device_ = name;
    // Holding the slave open keeps the master readable (no EIO) while the
    // library has the port closed, and lets the modem set raw mode first.
    slave_keeper_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_keeper_ == -1) throw std::runtime_error(std::string("open slave: ") + strerror(errno));
    MakeRaw(slave_keeper_);
    stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stop_fd_ == -1) throw std::runtime_error(std::string("eventfd: ") + strerror(errno));
}

ScriptedModem::~ScriptedModem() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    uint64_t one = 1;
    ssize_t woken = write(stop_fd_, &one, sizeof one);
    (void)woken;  // a counter that cannot take one more is awake already
    if (player_.joinable()) player_.join();
    close(stop_fd_);
    if (slave_keeper_ != -1) close(slave_keeper_);
    if (master_ != -1) close(master_);
}

ScriptedModem &ScriptedModem::Expect(const std::string &bytes) {
    steps_.push_back({Step::kExpect, bytes, 0});
    return *this;
}

ScriptedModem &ScriptedModem::Send(const std::string &bytes) {
    steps_.push_back({Step::kSend, bytes, 0});
    return *this;
}

ScriptedModem &ScriptedModem::On(const std::string &command, const std::string &reply) {
    return Expect(command).Send(reply);
}

ScriptedModem &ScriptedModem::Pause(uint32_t real_ms) {
    steps_.push_back({Step::kPause, "", real_ms});
    return *this;
}

ScriptedModem &ScriptedModem::Trickle(const std::string &bytes, uint32_t real_ms) {
    steps_.push_back({Step::kTrickle, bytes, real_ms});
    return *this;
}

ScriptedModem &ScriptedModem::Vanish() {
    steps_.push_back({Step::kVanish, "", 0});
    return *this;
}

void ScriptedModem::Start() {
    clock_ = WaitClockFarOps();
    if (clock_) reserved_ = WaitClockReserveFarEnd();
    player_ = std::thread([this] {
        if (clock_) WaitClockTakeOverFarEnd(reserved_);
        Play();
    });
}

int ScriptedModem::Look(short events, int timeout_ms) {
    if (!clock_) {
        pollfd p{master_, events, 0};
        return poll(&p, 1, timeout_ms < 0 ? kPollSliceMs : timeout_ms);
    }
    pollfd fds[2] = {{stop_fd_, POLLIN, 0}, {master_, events, 0}};
    return clock_->poll(fds, 2, 1, timeout_ms);
}

ssize_t ScriptedModem::ReadMaster(void *buf, size_t n) const {
    return clock_ ? clock_->port_read(master_, buf, n) : read(master_, buf, n);
}

ssize_t ScriptedModem::WriteMaster(const void *buf, size_t n) {
    return clock_ ? clock_->port_write(master_, buf, n) : write(master_, buf, n);
}

bool ScriptedModem::Done(uint32_t real_timeout_ms) {
    // The script may still wait on the clock: this thread lets it move.
    std::unique_ptr<WaitClockOutside> outside;
    if (clock_) outside = std::make_unique<WaitClockOutside>();
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(real_timeout_ms), [this] { return finished_; });
}

std::string ScriptedModem::Written() const {
    std::lock_guard<std::mutex> lock(mu_);
    DrainLocked();
    return written_;
}

std::string ScriptedModem::Failure() const {
    std::lock_guard<std::mutex> lock(mu_);
    DrainLocked();
    if (finished_) return "";
    std::ostringstream out;
    out << "script stuck at step " << next_step_ + 1 << " of " << steps_.size();
    if (next_step_ < steps_.size()) {
        const Step &s = steps_[next_step_];
        static const char *const kKinds[] = {"Expect", "Send", "Pause", "Trickle", "Vanish"};
        out << ": " << kKinds[s.kind] << " \"" << Escaped(s.bytes) << "\"";
    }
    out << "; host wrote \"" << Escaped(written_) << "\"";
    if (match_end_ > 0) out << " (matched up to byte " << match_end_ << ")";
    return out.str();
}

void ScriptedModem::DrainLocked() const {
    char buf[4096];
    for (;;) {
        ssize_t n = ReadMaster(buf, sizeof buf);
        if (n > 0) {
            written_.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == -1 && errno == EINTR) continue;
        return;  // EAGAIN: nothing more for now
    }
}

void ScriptedModem::Play() {
    for (size_t i = 0; i < steps_.size(); ++i) {
        if (!RunStep(steps_[i])) return;
        std::lock_guard<std::mutex> lock(mu_);
        next_step_ = i + 1;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        finished_ = true;
    }
    cv_.notify_all();
    // Silence: keep taking what the host writes so its writes never block.
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_) return;
            DrainLocked();
        }
        Look(POLLIN, -1);
    }
}

bool ScriptedModem::RunStep(const Step &step) {
    switch (step.kind) {
    case Step::kExpect:
        return WaitForBytes(step.bytes);
    case Step::kSend:
        return WriteAll(step.bytes);
    case Step::kPause:
        return SleepUnlessStopped(step.ms);
    case Step::kTrickle:
        for (char b : step.bytes)
            if (!WriteAll(std::string(1, b)) || !SleepUnlessStopped(step.ms)) return false;
        return true;
    case Step::kVanish: {
        std::lock_guard<std::mutex> lock(mu_);
        DrainLocked();
        // Closing the master hangs the terminal up; the descriptors become -1,
        // which poll() passes over and read() refuses.
        close(master_);
        close(slave_keeper_);
        master_ = -1;
        slave_keeper_ = -1;
        return true;
    }
    }
    return false;
}

bool ScriptedModem::WaitForBytes(const std::string &bytes) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_) return false;
            DrainLocked();
            size_t at = written_.find(bytes, match_end_);
            if (at != std::string::npos) {
                match_end_ = at + bytes.size();
                return true;
            }
        }
        Look(POLLIN, -1);
    }
}

bool ScriptedModem::WriteAll(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_) return false;
            // Take the host's bytes first: a host blocked writing to a full
            // pty would never read what we send.
            DrainLocked();
        }
        ssize_t n = WriteMaster(bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == -1 && errno != EAGAIN && errno != EINTR) return false;
        Look(static_cast<short>(POLLOUT | POLLIN), -1);  // room, or host bytes to take first
    }
    return true;
}

bool ScriptedModem::SleepUnlessStopped(uint32_t ms) {
    if (clock_) {
        pollfd stop{stop_fd_, POLLIN, 0};
        return clock_->poll(&stop, 1, 1, static_cast<int>(ms)) == 0;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(mu_);
    return !cv_.wait_until(lock, until, [this] { return stop_; });
}

// ---- Channels on the modem ----------------------------------------------

int32_t AttachChannel(ScriptedModem &modem, int32_t ch, int16_t modem_class) {
    int fd = Plat().port_open(modem.Device().c_str());
    if (fd == -1) throw std::runtime_error("AttachChannel: cannot open " + modem.Device() + ": " + strerror(errno));
    MakeRaw(fd);
    FaxChannel &c = g_channels[ch];
    c.in_use = 1;
    c.comm_handle = fd;
    c.io_timeout = 6000;
    c.command_interval = 0;
    c.modem_class = modem_class;
    c.reports.hangup_seen = 0;
    c.reports.hangup_code = 0;
    FaxLinkReset(c.link);  // nothing an earlier test left in the link
    FaxBeginCall(ch);  // as PortOpen does: the call's clock starts here
    return ch;
}

void DetachChannel(int32_t ch) {
    FaxChannel &c = g_channels[ch];
    if (c.in_use) Plat().port_close(c.comm_handle);
    c.in_use = 0;
    c.comm_handle = 0;
}

// ---- ProfileFile ------------------------------------------------------------

ProfileFile::ProfileFile(const std::string &contents) {
    char path[] = "/tmp/tollan-quarry-XXXXXX";
    int fd = mkstemp(path);
    if (fd == -1) throw std::runtime_error("ProfileFile: mkstemp failed");
    ssize_t ignored = write(fd, contents.data(), contents.size());
    (void)ignored;
    close(fd);
    path_ = path;
    if (const char *old = getenv("QUARRY_INI")) {
        had_previous_ = true;
        previous_ = old;
    }
    setenv("QUARRY_INI", path_.c_str(), 1);
}

ProfileFile::~ProfileFile() {
    if (had_previous_)
        setenv("QUARRY_INI", previous_.c_str(), 1);
    else
        unsetenv("QUARRY_INI");
    unlink(path_.c_str());
}

// ---- TraceCapture ---------------------------------------------------------

TraceCapture::TraceCapture() : saved_option_(g_settings.trace_option), saved_file_(g_settings.trace_file) {
    char path[] = "/tmp/tollan-trace-XXXXXX";
    int fd = mkstemp(path);
    if (fd == -1) throw std::runtime_error("TraceCapture: mkstemp failed");
    close(fd);
    path_ = path;
    g_settings.trace_option = 1;
    snprintf(g_settings.trace_file, sizeof g_settings.trace_file, "%s", path_.c_str());
}

TraceCapture::~TraceCapture() {
    g_settings.trace_option = saved_option_;
    snprintf(g_settings.trace_file, sizeof g_settings.trace_file, "%s", saved_file_.c_str());
    unlink(path_.c_str());
}

std::string TraceCapture::Text() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool TraceCapture::Contains(const std::string &utf8) const {
    char converted[1024];
    std::string wanted = utf8;
    if (PlatUtf8ToCp932(utf8.c_str(), converted, sizeof converted)) wanted = converted;
    return Text().find(wanted) != std::string::npos;
}

std::vector<std::string> TraceCapture::Lines() const {
    std::vector<std::string> lines;
    std::string text = Text();
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        lines.push_back(line.size() >= 9 ? line.substr(9) : line);  // drop "hh:mm:ss "
        at = end + 2;
    }
    return lines;
}
