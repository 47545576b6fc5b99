// A modem played from a script over a real pseudo-terminal. The test double
// owns the master side; the library opens the slave path like a serial port.
//
//   ScriptedModem modem;
//   modem.On("AT+FCLASS=2.0\r\n", "\r\nOK\r\n")
//        .On("ATV1Q0\r\n", "\r\nOK\r\n");
//   modem.Start();
//   ... run the library against modem.Device() ...
//   EXPECT_TRUE(modem.Done(1000)) << modem.Failure();
//
// The steps run in order on a player thread. A script that simply ends is a
// silent modem: the host's bytes are still read and recorded, nothing is
// answered. Every byte the host writes is kept, readable with Written().
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"

class ScriptedModem {
public:
    ScriptedModem();  // opens the pty pair, raw mode
    ~ScriptedModem();  // stops the player thread, closes
    ScriptedModem(const ScriptedModem &) = delete;
    ScriptedModem &operator=(const ScriptedModem &) = delete;

    const std::string &Device() const { return device_; }

    // Script, built before Start.
    // Waits until the host has written these bytes, searched onward from the
    // end of the previous match.
    ScriptedModem &Expect(const std::string &bytes);
    // Writes bytes to the host.
    ScriptedModem &Send(const std::string &bytes);
    // Expect then Send: one exchange of the dialogue.
    ScriptedModem &On(const std::string &command, const std::string &reply);
    // Waits, in real time (on a WaitClock: real_ms of the far end's clock,
    // its ratio times that of the library's).
    ScriptedModem &Pause(uint32_t real_ms);
    // Sends each byte on its own, real_ms apart (a slow modem).
    ScriptedModem &Trickle(const std::string &bytes, uint32_t real_ms);
    // The modem goes away (unplugged): the pty closes, and the host's reads
    // and writes fail with EIO from then on.
    ScriptedModem &Vanish();

    void Start();
    // Waits until every step has run; false if one is still waiting.
    bool Done(uint32_t real_timeout_ms);
    // Every byte the host wrote so far (thread-safe).
    std::string Written() const;
    // The step the script is stuck on and what the host wrote, for test messages.
    std::string Failure() const;

    // The master side's descriptor, for tests that need to go below the script.
    int MasterFd() const { return master_; }

private:
    struct Step {
        enum Kind { kExpect, kSend, kPause, kTrickle, kVanish } kind;
        std::string bytes;
        uint32_t ms;
    };

    void Play();
    bool RunStep(const Step &step);
    bool WaitForBytes(const std::string &bytes);
    bool WriteAll(const std::string &bytes);
    bool SleepUnlessStopped(uint32_t ms);
    void DrainLocked() const;  // moves what the host wrote into written_; mu_ held

    // Waits: on the test's waiting clock when one lives at Start, else real.
    int Look(short events, int timeout_ms);
    ssize_t ReadMaster(void *buf, size_t n) const;
    ssize_t WriteMaster(const void *buf, size_t n);

    const SimClockOps *clock_ = nullptr;
    void *reserved_ = nullptr;  // the player's place in the clock until it starts
    int stop_fd_ = -1;          // wakes a player waiting on the clock
    int master_ = -1;
    int slave_keeper_ = -1;  // keeps the slave side alive between the library's opens
    std::string device_;
    std::vector<Step> steps_;
    std::thread player_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    mutable std::string written_;
    size_t match_end_ = 0;
    size_t next_step_ = 0;
    bool finished_ = false;
    bool stop_ = false;
};

// Attaches channel ch to the modem's pty as a successful PortOpen would leave
// it (slave opened and configured raw, in_use 1, comm_handle, io_timeout 6000,
// command_interval 0, the given modem_class, hang-up fields cleared), so tests
// can start below PortOpen. Returns ch. DetachChannel closes it and frees the slot.
int32_t AttachChannel(ScriptedModem &modem, int32_t ch = 0, int16_t modem_class = 2);
void DetachChannel(int32_t ch);

// A temporary quarry.ini; QUARRY_INI points at it while it lives.
class ProfileFile {
public:
    explicit ProfileFile(const std::string &contents);
    ~ProfileFile();
    ProfileFile(const ProfileFile &) = delete;
    ProfileFile &operator=(const ProfileFile &) = delete;
    const std::string &Path() const { return path_; }

private:
    std::string path_;
    std::string previous_;
    bool had_previous_ = false;
};

// Sends the library's trace to a temporary file while it lives.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;
    // The trace so far, as written (Shift_JIS for Japanese texts).
    std::string Text() const;
    // True when the trace holds this text; a UTF-8 text is compared in Shift_JIS.
    bool Contains(const std::string &utf8) const;
    // The message of every line, without the time stamp and CR LF.
    std::vector<std::string> Lines() const;

private:
    std::string path_;
    int16_t saved_option_;
    std::string saved_file_;
};

// Shows control bytes as \r, \n, \xNN for test messages.
std::string Escaped(const std::string &bytes);
