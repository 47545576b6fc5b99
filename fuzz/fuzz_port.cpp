#include "fuzz/fuzz_port.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <string>
#include <unistd.h>

#include "engine/channel.h"
#include "platform/platform.h"

namespace {

constexpr int kFakeFd = 1000;  // never a real descriptor: every call goes through the fake

const uint8_t *g_data = nullptr;
std::atomic<size_t> g_left{0};
std::atomic<uint32_t> g_now{0};

uint32_t FakeTick() { return g_now.fetch_add(1); }
std::thread::id g_caller;

// The calling thread's sleeps pass at once. Another thread (the page
// watchdog) really waits a little, so that it sees the clock move only as the
// call makes progress and not run ahead to its own time-out.
void FakeSleep(uint32_t ms) {
    if (std::this_thread::get_id() == g_caller) {
        g_now.fetch_add(ms);
    } else {
        usleep(200);
    }
}
int FakeWaitReadable(int, uint32_t ms) {
    if (g_left.load() > 0) return 1;
    g_now.fetch_add(ms);
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
ssize_t FakeRead(int, void *buf, size_t n) {
    size_t left = g_left.load();
    if (left == 0 || n == 0) return 0;
    size_t take = n < left ? n : left;
    memcpy(buf, g_data, take);
    g_data += take;
    g_left.fetch_sub(take);
    return static_cast<ssize_t>(take);
}
ssize_t FakeWrite(int, const void *, size_t n) { return static_cast<ssize_t>(n); }
int FakeInputWaiting(int) { return static_cast<int>(g_left.load() > 64 ? 64 : g_left.load()); }
void FakeLocalTime(struct tm *out) {
    memset(out, 0, sizeof *out);
    out->tm_hour = 12;
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
    ops.local_time = FakeLocalTime;
    return ops;
}

PlatformOps g_fake_ops = MakeFakeOps();

}  // namespace

void FuzzPortInstall(const uint8_t *data, size_t size) {
    g_data = data;
    g_left = size;
    g_caller = std::this_thread::get_id();
    PlatformInstall(&g_fake_ops);
}

void FuzzPortRemove() { PlatformInstall(nullptr); }

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
    return 0;
}

std::string FuzzScratchPath(const char *name) {
    const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/tollan-fuzz-" + std::to_string(getpid()) + "-" + name;
}

bool FuzzWriteFile(const char *path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path, "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}
