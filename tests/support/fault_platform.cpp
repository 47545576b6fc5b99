#include "support/fault_platform.h"

namespace {

FaultPlatform *g_double = nullptr;

}  // namespace

// The table's functions reach the double's private parts through this.
struct FaultPlatformAccess {
    static bool Fails(PortOp op) { return g_double->FailsNow(op); }
    static const PlatformOps &Base() { return g_double->base_; }
    static void Opened(const char *device) {
        std::lock_guard<std::mutex> hold(g_double->lock_);
        g_double->opened_.push_back(device);
    }
    static void Closed(int fd) {
        std::lock_guard<std::mutex> hold(g_double->lock_);
        g_double->closed_.push_back(fd);
    }
    static void Moved(std::string FaultPlatform::*bytes, const void *buf, ssize_t n) {
        if (n <= 0) return;
        std::lock_guard<std::mutex> hold(g_double->lock_);
        if (!g_double->keep_bytes_) return;
        (g_double->*bytes).append(static_cast<const char *>(buf), static_cast<size_t>(n));
    }

    static int Open(const char *device) {
        Opened(device);
        return Fails(PortOp::kOpen) ? -1 : Base().port_open(device);
    }
    static int Close(int fd) {
        Closed(fd);
        // A close that fails still gives the descriptor back: no test leaks it.
        if (!Fails(PortOp::kClose)) return Base().port_close(fd);
        int error = errno;
        Base().port_close(fd);
        errno = error;
        return -1;
    }
    static int Purge(int fd) { return Fails(PortOp::kPurge) ? -1 : Base().port_purge(fd); }
    static int GetSettings(int fd, termios *t) {
        return Fails(PortOp::kGetSettings) ? -1 : Base().port_get_settings(fd, t);
    }
    static int SetSettings(int fd, const termios *t) {
        return Fails(PortOp::kSetSettings) ? -1 : Base().port_set_settings(fd, t);
    }
    static ssize_t Read(int fd, void *buf, size_t n) {
        if (Fails(PortOp::kRead)) return -1;
        ssize_t r = Base().port_read(fd, buf, n);
        Moved(&FaultPlatform::read_, buf, r);
        return r;
    }
    static ssize_t Write(int fd, const void *buf, size_t n) {
        if (Fails(PortOp::kWrite)) return -1;
        ssize_t r = Base().port_write(fd, buf, n);
        Moved(&FaultPlatform::written_, buf, r);
        return r;
    }
    static int InputWaiting(int fd) { return Fails(PortOp::kInputWaiting) ? -1 : Base().port_input_waiting(fd); }
    static int RaiseLines(int fd) { return Fails(PortOp::kRaiseLines) ? -1 : Base().port_raise_lines(fd); }

    // Everything else goes to the base as it is at the time of the call.
    static uint32_t Tick() { return Base().tick_count(); }
    static void Sleep(uint32_t ms) { Base().sleep_ms(ms); }
    static int WaitReadable(int fd, int wake, uint32_t ms) { return Base().wait_readable(fd, wake, ms); }
    static int WaitWritable(int fd, uint32_t ms) { return Base().wait_writable(fd, ms); }
    static int ThreadStart(uint64_t *h, void *(*fn)(void *), void *arg) { return Base().thread_start(h, fn, arg); }
    static int ThreadJoin(uint64_t h) { return Base().thread_join(h); }
    static void LocalTime(struct tm *out) { Base().local_time(out); }
};

FaultPlatform::FaultPlatform() : FaultPlatform(Plat()) {}

FaultPlatform::FaultPlatform(const PlatformOps &base) : base_(base) {
    using A = FaultPlatformAccess;
    ops_ = {A::Tick,        A::Sleep,        A::WaitReadable, A::WaitWritable, A::Open,
            A::Close,       A::Purge,        A::GetSettings,  A::SetSettings,  A::Read,
            A::Write,       A::InputWaiting, A::RaiseLines,   A::ThreadStart,  A::ThreadJoin,
            A::LocalTime};
    g_double = this;
    previous_ = PlatformInstall(&ops_);
}

FaultPlatform::~FaultPlatform() {
    PlatformInstall(previous_);
    g_double = nullptr;
}

void FaultPlatform::Fail(PortOp op, int nth, int error, int times) {
    std::lock_guard<std::mutex> hold(lock_);
    Rule &r = rules_[static_cast<size_t>(op)];
    r.fail_at = nth > 0 ? calls_[static_cast<size_t>(op)] + nth : 0;
    r.times = times;
    r.error = error;
}

void FaultPlatform::Heal(PortOp op) {
    std::lock_guard<std::mutex> hold(lock_);
    rules_[static_cast<size_t>(op)] = Rule{};
}

bool FaultPlatform::FailsNow(PortOp op) {
    std::lock_guard<std::mutex> hold(lock_);
    const size_t i = static_cast<size_t>(op);
    const int call = ++calls_[i];
    const Rule &r = rules_[i];
    if (r.fail_at == 0 || call < r.fail_at) return false;
    if (r.times != kFromThenOn && call >= r.fail_at + r.times) return false;
    errno = r.error;
    return true;
}

int FaultPlatform::Calls(PortOp op) const {
    std::lock_guard<std::mutex> hold(lock_);
    return calls_[static_cast<size_t>(op)];
}

std::vector<std::string> FaultPlatform::Opened() const {
    std::lock_guard<std::mutex> hold(lock_);
    return opened_;
}

std::vector<int> FaultPlatform::Closed() const {
    std::lock_guard<std::mutex> hold(lock_);
    return closed_;
}

std::string FaultPlatform::Written() const {
    std::lock_guard<std::mutex> hold(lock_);
    return written_;
}

void FaultPlatform::KeepBytes(bool keep) {
    std::lock_guard<std::mutex> hold(lock_);
    keep_bytes_ = keep;
}

std::string FaultPlatform::Read() const {
    std::lock_guard<std::mutex> hold(lock_);
    return read_;
}
