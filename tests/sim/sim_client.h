// A host for emulated modems in tests: plain writes to and reads from the
// pty, an emulator started in-process, and Group 3 test pages.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace simtest {

class PtyClient {
public:
    explicit PtyClient(const std::string &device) {
        fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    ~PtyClient() {
        if (fd_ != -1) close(fd_);
    }
    PtyClient(const PtyClient &) = delete;
    PtyClient &operator=(const PtyClient &) = delete;

    bool ok() const { return fd_ != -1; }

    void Write(const std::string &bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                pollfd p{fd_, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
    }

    // Reads until `text` has arrived; everything before it and the text
    // itself are consumed and returned through `got`.
    bool ReadUntil(const std::string &text, std::string *got = nullptr, int timeout_ms = 5000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t at = buffer_.find(text);
            if (at != std::string::npos) {
                if (got) *got = buffer_.substr(0, at + text.size());
                buffer_.erase(0, at + text.size());
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                if (got) *got = buffer_;
                return false;
            }
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left.count()));
            char chunk[4096];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n > 0) buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Sends a command and returns what came back up to and including `until`.
    std::string Command(const std::string &cmd, const std::string &until = "OK\r\n", int timeout_ms = 5000) {
        Write(cmd);
        std::string got;
        if (!ReadUntil(until, &got, timeout_ms)) return "TIMEOUT:" + got;
        return got;
    }

    // Answers a ringing modem: what came back up to `until`, without the
    // RINGs the modem reported before it took the command (a host that
    // answers late hears more of them).
    std::string Answer(const std::string &cmd, const std::string &until = "OK\r\n") {
        std::string got = Command(cmd, until);
        const std::string ring = "\r\nRING\r\n";
        for (size_t at; (at = got.find(ring)) != std::string::npos;) got.erase(at, ring.size());
        return got;
    }

    // Waits up to timeout_ms and returns whatever arrived.
    std::string Drain(int timeout_ms) {
        ReadUntil(std::string(1, '\xff') + "never", nullptr, timeout_ms);
        std::string all;
        all.swap(buffer_);
        return all;
    }

private:
    int fd_ = -1;
    std::string buffer_;
};

// A Group 3 page of `lines` coded lines (first bit in the least significant
// bit): each line an EOL and a few data bytes whose nibbles are never zero,
// so no false EOL hides in them; the data carries DLE, DC1 and DC3 bytes.
inline std::string MakePage(int lines, unsigned seed) {
    std::string page;
    uint32_t x = seed * 2654435761u + 1;
    for (int i = 0; i < lines; ++i) {
        page += '\x00';
        page += '\x08';
        int n = 4 + static_cast<int>(x % 12);
        for (int j = 0; j < n; ++j) {
            x = x * 1103515245u + 12345u;
            uint8_t lo = static_cast<uint8_t>(1 + (x >> 16) % 15);
            uint8_t hi = static_cast<uint8_t>(1 + (x >> 20) % 15);
            page += static_cast<char>(hi << 4 | lo);
        }
        if (i % 7 == 3) page += "\x11\x13\x11";
    }
    for (int i = 0; i < 3; ++i) page += std::string("\x00\x08\x80", 3);
    return page;
}

inline std::string DleDoubled(const std::string &data) {
    std::string out;
    for (char c : data) {
        out += c;
        if (c == '\x10') out += '\x10';
    }
    return out;
}

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

inline std::string MakeTempDir() {
    char dir[] = "/tmp/tollan-sim-XXXXXX";
    return mkdtemp(dir) ? std::string(dir) : std::string("/tmp");
}

// Quick timings: tests never wait for the real T.30 times.
inline SimConfig FastConfig() {
    SimConfig c;
    c.timings.ring_interval = 200;
    c.timings.give_up = 1500;
    c.timings.t1 = 2000;
    c.timings.t2 = 1500;
    c.timings.t4 = 500;
    if (const char *t = getenv("TOLLAN_SIM_TRANSCRIPT")) c.transcript = t;
    return c;
}

// An emulator with modems and an answering station, started and stopped by scope.
struct SimFixture {
    Sim *sim = nullptr;
    std::string dir;
    int station = -1;

    explicit SimFixture(const SimConfig &config = FastConfig()) {
        sim = SimCreate(config);
        dir = MakeTempDir();
    }
    ~SimFixture() {
        SimDestroy(sim);
        std::string cmd = "rm -rf '" + dir + "'";
        if (dir.rfind("/tmp/tollan-sim-", 0) == 0) {
            int r = system(cmd.c_str());
            (void)r;
        }
    }
    int AddModem(const std::string &number, unsigned classes = kSimAllClasses, SimQuirks quirks = {},
                 SimFaults faults = {}) {
        SimModemConfig c;
        c.number = number;
        c.classes = classes;
        c.quirks = quirks;
        c.faults = faults;
        return SimAddModem(sim, c);
    }
    int AddAnsweringStation(const std::string &number, SimFaults faults = {}) {
        SimStationConfig c;
        c.number = number;
        c.page_dir = dir;
        c.faults = faults;
        station = SimAddStation(sim, c);
        return station;
    }
    int AddCallingStation(const std::string &number, const std::vector<std::string> &pages,
                          const std::string &dial = "", const std::string &identity = "TOLLAN STATION") {
        SimStationConfig c;
        c.number = number;
        c.answering = false;
        c.pages = pages;
        c.page_dir = dir;
        c.dial = dial;  // "": it calls when told
        c.identity = identity;
        c.host_settle_ms = 500;
        return SimAddStation(sim, c);
    }
    std::string Device(int modem) { return SimModemDevice(sim, modem); }
};

// A class 2 host on its modem (number 100) takes a call from the calling
// station: class 2, the call, RING, ATA, AT+FDR and DC2. After it the host
// reads the first page's data.
inline ::testing::AssertionResult AnswerAndAskForPage(SimFixture &f, PtyClient &host, int caller) {
    auto holds = [](const std::string &text, const char *part) { return text.find(part) != std::string::npos; };
    if (!holds(host.Command("AT+FCLASS=2\r"), "OK")) return ::testing::AssertionFailure() << "AT+FCLASS=2";
    if (!SimStationCall(f.sim, caller, "100")) return ::testing::AssertionFailure() << "the station did not call";
    if (!host.ReadUntil("RING\r\n")) return ::testing::AssertionFailure() << "no RING";
    if (!holds(host.Answer("ATA\r"), "OK")) return ::testing::AssertionFailure() << "ATA";
    if (!holds(host.Command("AT+FDR\r", "CONNECT\r\n"), "CONNECT")) return ::testing::AssertionFailure() << "AT+FDR";
    host.Write("\x12");
    return ::testing::AssertionSuccess();
}

}  // namespace simtest
