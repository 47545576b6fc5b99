#include "fuzz/fuzz_port.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <vector>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/call_limits.h"
#include "engine/channel.h"
#include "platform/platform.h"
#include "support/fault_platform.h"
#include "tollan.h"

namespace {

constexpr int kFakeFd = 1000;  // never a real descriptor: every call goes through the fake
// The line's time for one byte in the endless mode: 9600 bit/s, ten bits a byte.
constexpr uint32_t kLineMsPerByte = 1;
// An endless read hands out at most this much at once.
constexpr size_t kLargestRead = 64 * 1024;
// No step of a call pauses this long; a longer sleep is a hang.
constexpr uint32_t kLongestSleepMs = 10 * 60 * 1000;
// After its call time has run out a call still hangs up: its last waits.
constexpr uint64_t kWindDownMs = 5 * 60 * 1000;

const uint8_t *g_input = nullptr;
size_t g_size = 0;
FuzzPortOptions g_options;
std::atomic<size_t> g_pos{0};  // next byte of the input to hand out
std::atomic<uint64_t> g_reads{0};
std::atomic<uint32_t> g_now{0};
std::thread::id g_caller;

bool OnCaller() { return std::this_thread::get_id() == g_caller; }

size_t BytesLeft() {
    if (g_options.endless) return kLargestRead;
    size_t pos = g_pos.load();
    return pos < g_size ? g_size - pos : 0;
}

// The library's other threads (the page watchdog) run in step with the
// caller's clock: a helper's sleep lasts until the caller's clock has passed
// its end, and the caller, having moved the clock, waits until every helper
// whose sleep has ended has looked at the clock and is asleep again or gone.
// So a watchdog fires at its time by the clock, however the threads are
// scheduled.
std::mutex g_step_lock;
std::condition_variable g_step_changed;
std::atomic<int> g_helpers{0};       // helper threads started and not ended
int g_helpers_awake = 0;             // of those, the ones not asleep
std::vector<uint32_t> g_helper_wakes;  // when each sleeping helper wakes
bool g_helpers_released = false;     // a join is under way: sleeps end at once

bool ClockPassed(uint32_t wake) { return static_cast<int32_t>(g_now.load() - wake) >= 0; }

bool HelpersCaughtUp() {
    if (g_helpers_awake > 0) return false;
    for (uint32_t wake : g_helper_wakes)
        if (ClockPassed(wake)) return false;
    return true;
}

void HelperSleep(uint32_t ms) {
    std::unique_lock<std::mutex> hold(g_step_lock);
    const uint32_t wake = g_now.load() + ms;
    --g_helpers_awake;
    g_helper_wakes.push_back(wake);
    g_step_changed.notify_all();
    g_step_changed.wait(hold, [wake] { return g_helpers_released || ClockPassed(wake); });
    g_helper_wakes.erase(std::find(g_helper_wakes.begin(), g_helper_wakes.end(), wake));
    ++g_helpers_awake;
}

// After the caller moved the clock.
void LetHelpersCatchUp() {
    if (g_helpers.load() == 0) return;
    std::unique_lock<std::mutex> hold(g_step_lock);
    g_step_changed.notify_all();
    g_step_changed.wait(hold, HelpersCaughtUp);
}

void Advance(uint32_t ms) {
    g_now.fetch_add(ms);
    LetHelpersCatchUp();
}

struct HelperStart {
    void *(*fn)(void *);
    void *arg;
};

void *RunHelper(void *raw) {
    HelperStart start = *static_cast<HelperStart *>(raw);
    delete static_cast<HelperStart *>(raw);
    void *result = start.fn(start.arg);
    std::lock_guard<std::mutex> hold(g_step_lock);
    --g_helpers_awake;
    --g_helpers;
    g_step_changed.notify_all();
    return result;
}

void CountRead() {
    uint64_t reads = g_reads.fetch_add(1) + 1;
    if (g_options.read_limit != 0 && reads > g_options.read_limit) {
        fprintf(stderr, "fuzz port: the call did not end within %llu port reads (%u ms by the library's clock)\n",
                static_cast<unsigned long long>(g_options.read_limit), g_now.load());
        abort();
    }
}

// The caller's clock moves by one on every look, so a loop that only watches
// the clock still comes to its end; a helper's look does not move it.
uint32_t FakeTick() { return OnCaller() ? g_now.fetch_add(1) : g_now.load(); }

void FakeSleep(uint32_t ms) {
    if (ms > kLongestSleepMs) {
        fprintf(stderr, "fuzz port: a sleep of %u ms\n", ms);
        abort();
    }
    if (OnCaller()) Advance(ms);
    else HelperSleep(ms);
}

int FakeWaitReadable(int, int, uint32_t ms) {
    if (BytesLeft() > 0) return 1;
    Advance(ms);
    return 0;
}
int FakeWaitWritable(int, uint32_t) { return 1; }
int FakeOpen(const char *) { return kFakeFd; }
int FakeOk(int) { return 0; }
int FakeGetSettings(int, struct termios *t) {
    memset(t, 0, sizeof *t);
    return 0;
}
int FakeSetSettings(int, const struct termios *) { return 0; }

// Once the input is spent the tail plays again; the read takes the line's time.
size_t ReadEndless(uint8_t *out, size_t n) {
    size_t take = n < kLargestRead ? n : kLargestRead;
    size_t pos = g_pos.load();
    for (size_t i = 0; i < take; ++i) {
        if (pos >= g_size) pos = g_options.repeat_from;
        out[i] = g_input[pos++];
    }
    g_pos = pos;
    Advance(static_cast<uint32_t>(take) * kLineMsPerByte);
    return take;
}

ssize_t FakeRead(int, void *buf, size_t n) {
    CountRead();
    if (n == 0) return 0;
    if (g_options.endless) return static_cast<ssize_t>(ReadEndless(static_cast<uint8_t *>(buf), n));
    size_t left = BytesLeft();
    if (left == 0) return 0;
    size_t take = n < left ? n : left;
    memcpy(buf, g_input + g_pos.load(), take);
    g_pos.fetch_add(take);
    return static_cast<ssize_t>(take);
}
ssize_t FakeWrite(int, const void *, size_t n) { return static_cast<ssize_t>(n); }
int FakeInputWaiting(int) {
    size_t left = BytesLeft();
    return static_cast<int>(left > 64 ? 64 : left);
}
void FakeLocalTime(struct tm *out) {
    memset(out, 0, sizeof *out);
    out->tm_hour = 12;
}

int FakeThreadStart(uint64_t *handle, void *(*fn)(void *), void *arg) {
    {
        std::lock_guard<std::mutex> hold(g_step_lock);
        ++g_helpers_awake;
        ++g_helpers;
    }
    auto *start = new HelperStart{fn, arg};
    int rc = PlatformDefaults().thread_start(handle, RunHelper, start);
    if (rc != 0) {
        delete start;
        std::lock_guard<std::mutex> hold(g_step_lock);
        --g_helpers_awake;
        --g_helpers;
        return rc;
    }
    // The helper's first look at the clock comes before the caller goes on.
    LetHelpersCatchUp();
    return 0;
}

// The caller stops a helper and waits for it: its sleep must end without the clock.
int FakeThreadJoin(uint64_t handle) {
    {
        std::lock_guard<std::mutex> hold(g_step_lock);
        g_helpers_released = true;
        g_step_changed.notify_all();
    }
    int rc = PlatformDefaults().thread_join(handle);
    std::lock_guard<std::mutex> hold(g_step_lock);
    g_helpers_released = false;
    return rc;
}

PlatformOps MakeFakeOps() {
    PlatformOps ops = PlatformDefaults();
    ops.tick_count = FakeTick;
    ops.sleep_ms = FakeSleep;
    ops.wait_readable = FakeWaitReadable;
    ops.wait_writable = FakeWaitWritable;
    ops.port_open = FakeOpen;
    ops.port_close = FakeOk;
    ops.port_purge = FakeOk;
    ops.port_get_settings = FakeGetSettings;
    ops.port_set_settings = FakeSetSettings;
    ops.port_read = FakeRead;
    ops.port_write = FakeWrite;
    ops.port_input_waiting = FakeInputWaiting;
    ops.port_raise_lines = FakeOk;
    ops.thread_start = FakeThreadStart;
    ops.thread_join = FakeThreadJoin;
    ops.local_time = FakeLocalTime;
    return ops;
}

PlatformOps g_fake_ops = MakeFakeOps();
// The fake port under the tests' fault-injecting double, which fails the
// writes the input asks to fail.
std::optional<FaultPlatform> g_port;

// Indexed by the settings' bits.
constexpr int32_t kPageByteLimits[8] = {0, 1, 64, 1024, 4096, 65536, 1 << 20, 0};
constexpr int32_t kPageCountLimits[4] = {0, 1, 2, 8};
constexpr int32_t kCallSeconds[8] = {1, 5, 20, 60, 120, 180, 240, 300};
constexpr int32_t kCommandIntervals[4] = {0, 0, 100, -1};

}  // namespace

void FuzzPortInstall(const uint8_t *data, size_t size, const FuzzPortOptions &options) {
    g_input = data;
    g_size = size;
    g_options = options;
    // An endless run needs a tail to repeat.
    if (size == 0 || options.repeat_from >= size) g_options.endless = false;
    g_pos = 0;
    g_reads = 0;
    g_caller = std::this_thread::get_id();
    g_port.reset();
    g_port.emplace(g_fake_ops);
    g_port->KeepBytes(false);
    if (options.write_fails_at > 0) g_port->Fail(PortOp::kWrite, options.write_fails_at, EIO, FaultPlatform::kFromThenOn);
}

void FuzzPortRemove() {
    g_port.reset();
    PlatformInstall(nullptr);
}

uint64_t FuzzPortReads() { return g_reads.load(); }

int32_t FuzzChannelOpen(int16_t modem_class) {
    FaxChannel &c = g_channels[0];
    memset(&c, 0, sizeof c);
    c.in_use = 1;
    c.comm_handle = kFakeFd;
    c.modem_class = modem_class;
    c.bit_rate = 5;
    c.io_timeout = 6000;
    c.command_interval = 0;
    strcpy(c.local_id, "+1 555 0100");
    // The fake clock runs on across inputs: each call's clock starts afresh.
    FaxBeginCall(0);
    return 0;
}

std::string FuzzScratchPath(const char *name) {
    const char *scratch = getenv("TOLLAN_FUZZ_SCRATCH");
    const char *dir = scratch && *scratch ? scratch : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/tollan-fuzz-" + std::to_string(getpid()) + "-" + name;
}

bool FuzzWriteFile(const char *path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path, "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

void FuzzUseFakeProfile() {
    static const std::string path = FuzzScratchPath("quarry.ini");
    static const bool written = [] {
        static const char kProfile[] = "[Ports]\nCOM1=/dev/tollan-fuzz-modem\n[Fax]\nfdr_wait=0\n";
        return FuzzWriteFile(path.c_str(), reinterpret_cast<const uint8_t *>(kProfile), sizeof kProfile - 1);
    }();
    if (written) setenv("QUARRY_INI", path.c_str(), 1);
    // Lock files of the fake port go to the scratch folder, not /var/lock.
    static const std::string lock_dir = FuzzScratchPath("locks");
    mkdir(lock_dir.c_str(), 0700);
    setenv("TOLLAN_LOCK_DIR", lock_dir.c_str(), 1);
}

bool FuzzTakeSettings(const uint8_t *&data, size_t &size, FuzzCallSettings &s) {
    if (size < kFuzzSettingsBytes) return false;
    const uint8_t *b = data;
    s.kind = b[0] & 3;
    s.class_2_0 = (b[0] & 4) != 0;
    s.open_port = (b[0] & 8) != 0;
    s.info_files = (b[0] & 16) != 0;
    s.bit_rate = b[0] >> 5;  // 6 and 7 are out of range: refused, the default stays
    s.resolution = b[1] & 1;
    s.scan_time = (b[1] >> 1) & 7;
    s.command_interval = kCommandIntervals[(b[1] >> 4) & 3];
    s.port.endless = (b[1] & 0x40) != 0;
    // A port that stops taking bytes: at one of the first 64 writes.
    s.port.write_fails_at = (b[1] & 0x80) != 0 ? 1 + (b[3] & 63) : 0;
    s.max_page_bytes = kPageByteLimits[b[2] & 7];
    s.max_pages = kPageCountLimits[(b[2] >> 3) & 3];
    s.call_seconds = kCallSeconds[b[2] >> 5];
    data += kFuzzSettingsBytes;
    size -= kFuzzSettingsBytes;
    s.port.repeat_from = size * b[3] / 256;
    // Endless, every byte read costs a millisecond of the line, so the call's
    // time limit bounds the reads; the wind-down covers opening the port,
    // waiting for the ring and the hang-up once the limit has passed. A
    // finite input ends in time-outs, a few reads each.
    s.port.read_limit = static_cast<uint64_t>(s.call_seconds) * 1000u + kWindDownMs + size;
    return true;
}

void FuzzApplySettings(int32_t channel, const FuzzCallSettings &s) {
    SetFaxInfoOption(s.info_files ? 1 : 0);
    // A channel opened by PortOpen takes the library's interval; one made by
    // FuzzChannelOpen is given it here.
    SetModemCommandInterval(s.command_interval);
    g_channels[channel].command_interval = s.command_interval;
    SetBitRate(channel, s.bit_rate);
    SetResolution(channel, s.resolution);
    SetScanTime(channel, s.scan_time);
    SetReceiveLimits(channel, s.max_page_bytes, s.max_pages);
    SetCallTimeLimit(channel, s.call_seconds);
}

int32_t FuzzOpenCall(const FuzzCallSettings &s, int16_t modem_class) {
    int32_t channel = -1;
    if (s.open_port) {
        FuzzUseFakeProfile();
        SetModemClass(0, modem_class);
        SetModemCommandInterval(s.command_interval);
        if (PortOpen(&channel, 1, "ATZ") != TOLLAN_OK) return -1;
    } else {
        channel = FuzzChannelOpen(modem_class);
    }
    FuzzApplySettings(channel, s);
    return channel;
}

void FuzzEndCall(int32_t channel) {
    if (channel >= 0 && PortClose(channel) != TOLLAN_OK) g_channels[channel].in_use = 0;
    FuzzPortRemove();
}
