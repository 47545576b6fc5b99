// Common set-up of the class 1 tests: a scripted modem on channel 0, a fast
// clock, a trace file, a directory for page files, and the dialogue pieces a
// class 1 modem plays. A Dialogue keeps every byte the host is expected to
// write, so a whole call can be compared byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "class1/class1.h"
#include "engine/call_limits.h"
#include "engine/channel.h"
#include "support/wait_clock.h"
#include "support/scripted_modem.h"

// The library and the script run on the waiting clock; a script's pause of
// 1 ms is this many of the library's.
constexpr uint32_t kClass1ClockFactor = 20;

const std::string kOk = "\r\nOK\r\n";
const std::string kConnect = "\r\nCONNECT\r\n";
const std::string kDleEtx = "\x10\x03";

inline std::string Bytes(std::initializer_list<uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }
inline std::string Zeros(size_t n) { return std::string(n, '\0'); }

// A frame as the host writes it: address, control, FCF, FIF, DLE ETX.
inline std::string HostFrame(uint8_t control, uint8_t fcf, const std::string &fif = "") {
    return "\xFF" + Bytes({control, fcf}) + fif + kDleEtx;
}
// A frame of the called station as the modem delivers it, checksum good.
inline std::string ModemFrame(uint8_t fcf, const std::string &fif = "", uint8_t control = kControlFinal) {
    return "\xFF" + Bytes({control, fcf}) + fif + kDleEtx + kOk;
}
// The 20-character identity field of a station whose number is id.
inline std::string IdentityField(const std::string &id) {
    std::string field(id.rbegin(), id.rend());
    field.resize(20, ' ');
    return field;
}

// DIS of a receiver with V.17, V.29 and V.27 ter, fine resolution, and the
// DCS the default settings answer it with.
const std::string kDisV17 = ModemFrame(kFcfDis, Bytes({0x00, 0x6E, 0x88, 0x00}));
const std::string kDcsDefault = Bytes({0x00, 0x62, 0x88, 0x00});

// The dialogue of a class 1 modem, step by step, with the host's side kept.
class Dialogue {
public:
    explicit Dialogue(ScriptedModem &modem) : modem_(modem) {}

    Dialogue &On(const std::string &host, const std::string &reply) {
        modem_.On(host, reply);
        host_ += host;
        return *this;
    }
    // Class selection and dialling; the modem answers the dial with CONNECT
    // and the called station's first frame.
    Dialogue &Dial(const std::string &first_frame, const std::string &dial = "ATDT5551234\r\n") {
        return On("AT+FCLASS=1\r\n", kOk).On("AT+FLO=2\r\n", kOk).On(dial, kConnect + first_frame);
    }
    // The called station's next frame, asked for with AT+FRH=3.
    Dialogue &Deliver(const std::string &frame) { return On("AT+FRH=3\r", kConnect + frame); }
    Dialogue &TsiDcs(const std::string &identity, const std::string &dcs_fif) {
        return On("AT+FRS=8\r", kOk)
            .On("AT+FTH=3\r", kConnect)
            .On(HostFrame(kControlNotFinal, 0x43, identity), kConnect)
            .On(HostFrame(kControlFinal, 0x83, dcs_fif), kOk);
    }
    Dialogue &Training(const std::string &modulation, size_t zeros) {
        return On("AT+FTS=8\r", kOk).On(modulation, kConnect).On(Zeros(zeros) + kDleEtx, kOk);
    }
    // The opening most calls share: dialling 5551234, a V.17 receiver's DIS,
    // TSI "12345" and DCS at 14400 bit/s, fine, and the training check.
    Dialogue &DialAndTrainAtV17() {
        return Dial(kDisV17).TsiDcs(IdentityField("12345"), kDcsDefault).Training("AT+FTM=145\r", 2700);
    }
    // Page data as it reaches the modem (DLE doubled, fill included).
    Dialogue &Page(const std::string &modulation, const std::string &line_bytes) {
        return On("AT+FTS=8\r", kOk).On(modulation, kConnect).On(line_bytes + kDleEtx, kOk);
    }
    Dialogue &Frame(uint8_t fcf) { return On("AT+FTH=3\r", kConnect).On(HostFrame(kControlFinal, fcf), kOk); }
    Dialogue &Hangup() { return On("ATH0\r\n", kOk); }

    const std::string &Host() const { return host_; }

private:
    ScriptedModem &modem_;
    std::string host_;
};

// A directory of page files, removed with its files afterwards.
class PageDir {
public:
    PageDir() {
        char path[] = "/tmp/tollan-class1-XXXXXX";
        if (!mkdtemp(path)) throw std::runtime_error("mkdtemp failed");
        path_ = path;
    }
    ~PageDir() {
        for (const std::string &f : files_) remove(f.c_str());
        rmdir(path_.c_str());
    }
    // Writes path/name and returns its full name.
    std::string Write(const std::string &name, const std::string &bytes) {
        const std::string full = path_ + "/" + name;
        std::ofstream(full, std::ios::binary) << bytes;
        files_.push_back(full);
        return full;
    }
    // The full name of path/name, removed afterwards if it gets written.
    std::string Path(const std::string &name) {
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

// A pipe nobody reads, filled until it takes no more: a port whose output
// never drains.
struct FullPort {
    FullPort() {
        if (pipe2(fds, O_NONBLOCK) == -1) throw std::runtime_error("pipe2");
        const std::string block(4096, 'x');
        while (write(fds[1], block.data(), block.size()) > 0) {
        }
        while (write(fds[1], "x", 1) > 0) {
        }
    }
    ~FullPort() {
        close(fds[0]);
        close(fds[1]);
    }
    int fds[2] = {-1, -1};
};

// One line of page data and the page's RTC: the transfer ends with the last
// 0x80, whatever follows in the file.
const std::string kPageLines = Bytes({0x00, 0x80, 0x4D, 0x5A, 0x6B});
const std::string kRtc = Bytes({0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80});
const std::string kAfterRtc = Bytes({0xAA, 0xBB});
const std::string kPage = kPageLines + kRtc;

class Class1Test : public ::testing::Test {
protected:
    void SetUp() override {
        saved_settings_ = g_settings;
        memset(g_channels, 0, sizeof g_channels);
        g_last_error = 0;
        // The page scanners carry over between calls; every test starts
        // from their state at load.
        memset(g_class1_page_scan, 0, sizeof g_class1_page_scan);
        UseClock(kClass1ClockFactor);
        // Calls made below SendClass1Fax start here: no abort left over
        // from another test, the call time counted from now.
        for (int32_t ch = 0; ch < kMaxChannels; ++ch) FaxBeginCall(ch);
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
    void UseClock(uint32_t factor) {
        clock_.reset();
        clock_ = std::make_unique<WaitClock>(factor, true, 0);
    }
    // Starts the script and attaches channel 0 as PortOpen leaves a class 1
    // channel: scan time 0, bit rate 5, fine resolution, a local identity.
    int32_t Attach() {
        modem_.Start();
        const int32_t ch = AttachChannel(modem_, 0, 1);
        FaxChannel &c = g_channels[ch];
        c.scan_time = 0;
        c.bit_rate = 5;
        c.resolution = 0;
        snprintf(c.local_id, sizeof c.local_id, "%s", "12345");
        return ch;
    }
    bool Traced(const std::string &utf8) const { return trace_->Contains(utf8); }
    // Waits for the script's end and compares every byte the host wrote.
    void ExpectDialogue(const Dialogue &d) {
        EXPECT_TRUE(modem_.Done(3000)) << modem_.Failure();
        EXPECT_EQ(Escaped(modem_.Written()), Escaped(d.Host()));
    }

    ScriptedModem modem_;
    PageDir pages_;
    std::unique_ptr<WaitClock> clock_;
    std::unique_ptr<TraceCapture> trace_;
    LibrarySettings saved_settings_{};
};
