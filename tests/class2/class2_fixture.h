// Common set-up of the class 2 session tests: a clean channel table, a fast
// clock, a trace file, a scripted modem and a scratch directory for page files.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "engine/channel.h"
#include "platform/platform.h"
#include "support/wait_clock.h"
#include "support/scripted_modem.h"

// The library and the script run on the waiting clock; a script's pause of
// 1 ms is this many of the library's.
constexpr uint32_t kClockFactor = 10;
constexpr uint32_t kScriptDoneMs = 5000;

inline std::string ReadFileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFileBytes(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// Every DLE written twice, as page data goes to the modem.
inline std::string DleDoubled(const std::string &data) {
    std::string out;
    for (char b : data) {
        if (b == '\x10') out += '\x10';
        out += b;
    }
    return out;
}

class Class2Test : public ::testing::Test {
protected:
    explicit Class2Test(uint32_t clock_factor = kClockFactor) : clock_factor_(clock_factor) {}

    void SetUp() override {
        saved_settings_ = g_settings;
        memset(g_channels, 0, sizeof g_channels);
        g_last_error = 0;
        clock_ = std::make_unique<WaitClock>(clock_factor_, true, 0);
        trace_ = std::make_unique<TraceCapture>();
        char dir[] = "/tmp/tollan-class2-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        dir_ = dir;
    }
    void TearDown() override {
        for (int ch = 0; ch < kMaxChannels; ++ch)
            if (g_channels[ch].in_use) DetachChannel(ch);
        trace_.reset();
        clock_.reset();
        memset(g_channels, 0, sizeof g_channels);
        g_settings = saved_settings_;
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    // Starts the script and attaches channel 0 to it as PortOpen leaves it.
    int32_t Attach(int16_t modem_class) {
        modem_.Start();
        int32_t ch = AttachChannel(modem_, 0, modem_class);
        FaxChannel &c = g_channels[ch];
        c.bit_rate = 5;
        c.scan_time = 0;
        c.resolution = 0;
        strcpy(c.local_id, "TOLLAN TEST");
        return ch;
    }
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }
    bool Traced(const std::string &utf8) const { return trace_->Contains(utf8); }
    bool ScriptDone() { return modem_.Done(kScriptDoneMs); }
    // Waits, in real time and at most a second, until the channel's port holds
    // n bytes, so that the library finds them when it looks without waiting.
    void AwaitInput(int32_t ch, size_t n) {
        const int port = g_channels[ch].comm_handle;
        for (int i = 0; i < 200 && Plat().port_input_waiting(port) < static_cast<int>(n); ++i)
            PlatformDefaults().sleep_ms(5);
    }

    uint32_t clock_factor_;
    ScriptedModem modem_;
    std::unique_ptr<WaitClock> clock_;
    std::unique_ptr<TraceCapture> trace_;
    LibrarySettings saved_settings_{};
    std::string dir_;
};
