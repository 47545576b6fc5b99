// A telephone line with a real class 1 modem at one end and a real T.30
// answering terminal at the other, both from spandsp, joined back to back
// over audio samples. The modem's DTE side is a pseudo-terminal, opened by
// the library like a serial port; dialling it connects the call.
//
// Audio runs on a thread of its own, on the tests' waiting clock
// (support/wait_clock.h): a block of samples passes only while the library
// waits and nothing is on its way through the pty, so the library's
// time-outs and the modem's audio keep one time however loaded the machine
// is. A WaitClock (one library millisecond per audio millisecond) must live
// before the line is made and until it is gone; T31PeerTest holds one.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/wait_clock.h"

struct LibrarySettings;
class TraceCapture;
struct at_state_s;
struct t31_state_s;
struct fax_state_s;
struct t30_state_s;

// One received page: 1 for a black pixel.
struct ReceivedPage {
    int width = 0;
    std::vector<std::vector<uint8_t>> rows;
};

// A terminal that calls instead of answering: it sends the pages of a TIFF
// file, and may hang up once the first page is confirmed.
struct T30Caller {
    std::string tiff;
    bool hang_up_after_first_page = false;
};

// What the far terminal offers beyond its modulations, and the line's noise.
struct TerminalOptions {
    bool ecm = false;
    int compressions = 0;   // spandsp's T30_SUPPORT_*_COMPRESSION bits; 0: its default
    // One byte of a page-rate data stream damaged: the stream-th after an
    // "AT+FTM=" (host to modem) or "AT+FRM=" (modem to host) command of the
    // host, counting from 1 (the training check is a stream too), at offset
    // bytes after the command. 0: none.
    int damage_sent_stream = 0;
    int damage_received_stream = 0;
    size_t damage_offset = 0;
    bool noise = false;
    float noise_dbm0 = -99; // white noise added to both directions
    int noise_seed = 1;
};

class T31Line {
public:
    // The far terminal calls: Ring() rings the modem, and the library's ATA
    // connects the caller, which sends caller.tiff.
    explicit T31Line(const T30Caller &caller);
    // The receiver offers the modulations of receiver_modems (spandsp's
    // T30_SUPPORT_* bits) and writes what it gets to received_tiff.
    T31Line(int receiver_modems, const std::string &received_tiff);
    ~T31Line();
    T31Line(const T31Line &) = delete;
    T31Line &operator=(const T31Line &) = delete;

    const std::string &Device() const { return device_; }
    // Lets the audio run until the far terminal has ended its call, for at
    // most audio_ms of audio; false if it has not ended by then.
    bool WaitForEnd(uint32_t audio_ms);
    // The receiver's completion code (0 is a normal end) and its page count.
    int CompletionCode() const;
    int PagesReceived() const;
    // The pages the terminal sent (a calling terminal).
    int PagesSent() const;
    // Before the call starts.
    void SetTerminal(const TerminalOptions &options);
    // The modem reports RING to the host.
    void Ring();
    // Milliseconds of audio the line has carried.
    uint32_t AudioMs() const { return audio_ms_.load(); }
    // The identity the sender gave in its TSI, as the receiver read it.
    std::string SenderIdent() const;
    // The pages of the received TIFF file, decoded.
    std::vector<ReceivedPage> ReadReceivedPages() const;

private:
    static int AtTx(at_state_s *s, void *user, const uint8_t *buf, size_t len);
    static int ModemControl(t31_state_s *s, void *user, int op, const char *num);
    static void PhaseE(t30_state_s *s, void *user, int completion_code);
    static int PhaseD(t30_state_s *s, void *user, int result);

    void Run();
    // Waits on the clock until it reaches the audio time `at`, handing the
    // host's bytes to the modem meanwhile; false when the line stops.
    bool AwaitBlock(uint64_t at);
    void StartCall();
    void AnswerCall();
    void MoveDteBytes();
    void WriteToDte(const uint8_t *buf, size_t len);
    // Counts the host's data commands in its bytes and damages the chosen byte.
    void WatchHostBytes(char *buf, size_t len);

    const SimClockOps *clock_ = nullptr;
    void *reserved_ = nullptr;   // the audio thread's place on the clock
    int stop_fd_ = -1;           // readable once the line stops
    int receiver_modems_;
    std::string received_tiff_;
    int master_ = -1;
    int slave_keeper_ = -1;
    std::string device_;
    t31_state_s *modem_ = nullptr;
    fax_state_s *fax_ = nullptr;
    bool clear_to_send_ = true;
    bool call_requested_ = false;
    T30Caller caller_;
    bool calling_ = false;          // the far terminal calls
    bool answer_requested_ = false;
    bool ring_requested_ = false;
    bool caller_gone_ = false;      // the caller hung up: the line is silent
    std::thread audio_;

    mutable std::mutex mu_;
    std::condition_variable ended_cv_;
    bool stop_ = false;
    bool ended_ = false;
    int completion_code_ = -1;
    int pages_received_ = 0;
    int pages_sent_ = 0;
    std::atomic<uint32_t> audio_ms_{0};
    std::string sender_ident_;
    TerminalOptions options_;
    struct awgn_state_s *noise_[2] = {nullptr, nullptr};
    TerminalOptions damage_;       // the damage to do, as the audio thread sees it
    std::string host_tail_;        // the host's last bytes, for finding commands across reads
    int sent_streams_ = 0;         // "AT+FTM=" commands so far
    int received_streams_ = 0;     // "AT+FRM=" commands so far
    size_t sent_offset_ = 0;       // host bytes since the last "AT+FTM="
    size_t received_offset_ = 0;   // modem bytes since the last "AT+FRM="
};

// What every test against the spandsp line shares: a scratch folder, the
// library's settings restored and its channels closed afterwards, a class 1
// channel on the line's modem, and the trace for failure messages.
class T31PeerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Opens COM1 (the line's pty through the profile) in class 1 with this
    // identity and resolution; -1 when that failed (with a test failure).
    int32_t OpenClass1(const std::string &local_id, int32_t resolution);
    // Rings the line and polls WaitForRing on the line's clock until the
    // channel hears the first RING; false if it never does.
    bool RingUntilHeard(T31Line &line, int32_t ch);
    // The trace captured so far, one line each; shown with TOLLAN_SHOW_TRACE.
    std::string TraceLog() const;

    std::string dir_;

private:
    // The library and the line share it; made before the line, gone after.
    std::unique_ptr<WaitClock> clock_;
    std::unique_ptr<LibrarySettings> saved_settings_;
    std::unique_ptr<TraceCapture> trace_;
};
