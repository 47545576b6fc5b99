// Common set-up of the modem link tests: a clean channel table, a fast clock
// and a trace file.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "engine/channel.h"
#include "support/wait_clock.h"
#include "support/scripted_modem.h"

// The library and the script run on the waiting clock; a script's pause of
// 1 ms is this many of the library's.
constexpr uint32_t kClockFactor = 20;

class ModemTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_settings_ = g_settings;
        memset(g_channels, 0, sizeof g_channels);
        g_last_error = 0;
        clock_ = std::make_unique<WaitClock>(kClockFactor, true, 0);
        trace_ = std::make_unique<TraceCapture>();
    }
    void TearDown() override {
        for (int ch = 0; ch < kMaxChannels; ++ch)
            if (g_channels[ch].in_use) DetachChannel(ch);
        trace_.reset();
        clock_.reset();
        memset(g_channels, 0, sizeof g_channels);
        g_settings = saved_settings_;
    }
    // Starts the script and attaches channel 0 to it.
    int32_t Attach(int16_t modem_class = 2) {
        modem_.Start();
        return AttachChannel(modem_, 0, modem_class);
    }
    bool Traced(const std::string &utf8) const { return trace_->Contains(utf8); }
    // A modem that keeps talking: line every real_ms, for far longer (about
    // 10 real seconds) than any bounded wait of a test lasts.
    void Babble(const std::string &line, uint32_t real_ms) {
        for (uint32_t spent = 0; spent < kBabbleRealMs; spent += real_ms) modem_.Send(line).Pause(real_ms);
    }
    static constexpr uint32_t kBabbleRealMs = 10000;

    ScriptedModem modem_;
    std::unique_ptr<WaitClock> clock_;
    std::unique_ptr<TraceCapture> trace_;
    LibrarySettings saved_settings_{};
};
