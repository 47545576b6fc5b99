#include "t31_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <spandsp.h>

#include "engine/channel.h"
#include "engine/tollan.h"
#include "platform/platform.h"
#include "sim/sim.h"
#include "support/scripted_modem.h"
#include "support/wait_clock.h"

namespace {

constexpr int kSamplesPerBlock = 160;  // 20 ms at 8000 samples a second
constexpr uint32_t kBlockMs = 20;
constexpr size_t kDteChunk = 256;
constexpr int kDteWriteWaitMs = 200;  // audio time a host that stops reading is given

void MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) == -1) return;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
}

// spandsp's own protocol log on standard error, when TOLLAN_T31_LOG is set.
void ShowLog(logging_state_t *log) {
    if (log && getenv("TOLLAN_T31_LOG"))
        span_log_set_level(log, SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_FLOW);
}

void SilenceRest(int16_t *amp, int produced) {
    if (produced < 0) produced = 0;
    for (int i = produced; i < kSamplesPerBlock; ++i) amp[i] = 0;
}

void AddNoise(awgn_state_t *noise, int16_t *amp) {
    if (!noise) return;
    for (int i = 0; i < kSamplesPerBlock; ++i) {
        const int sample = amp[i] + awgn(noise);
        amp[i] = static_cast<int16_t>(sample > 32767 ? 32767 : sample < -32768 ? -32768 : sample);
    }
}

void ApplyTerminalOptions(t30_state_t *t30, const TerminalOptions &options) {
    t30_set_ecm_capability(t30, options.ecm ? 1 : 0);
    if (options.compressions) t30_set_supported_compressions(t30, options.compressions);
}

}  // namespace

T31Line::T31Line(int receiver_modems, const std::string &received_tiff)
    : receiver_modems_(receiver_modems), received_tiff_(received_tiff) {
    clock_ = WaitClockFarOps();
    if (!clock_) throw std::runtime_error("T31Line needs a WaitClock");
    stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stop_fd_ == -1) throw std::runtime_error(std::string("eventfd: ") + strerror(errno));
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ == -1 || grantpt(master_) == -1 || unlockpt(master_) == -1)
        throw std::runtime_error(std::string("pseudo-terminal: ") + strerror(errno));
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname_r failed");
    device_ = name;
    // Kept open so the master never sees a hang-up between the library's opens.
    slave_keeper_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_keeper_ == -1) throw std::runtime_error(std::string("open slave: ") + strerror(errno));
    MakeRaw(slave_keeper_);

    modem_ = t31_init(nullptr, AtTx, this, ModemControl, this, nullptr, nullptr);
    if (!modem_) throw std::runtime_error("t31_init failed");
    t31_set_transmit_on_idle(modem_, 1);
    ShowLog(t31_get_logging_state(modem_));
    reserved_ = WaitClockReserveFarEnd();
    audio_ = std::thread([this] {
        WaitClockTakeOverFarEnd(reserved_);
        Run();
    });
}

T31Line::T31Line(const T30Caller &caller) : T31Line(0, "") {
    std::lock_guard<std::mutex> lock(mu_);
    caller_ = caller;
    calling_ = true;
}

void T31Line::Ring() {
    std::lock_guard<std::mutex> lock(mu_);
    ring_requested_ = true;
}

void T31Line::SetTerminal(const TerminalOptions &options) {
    std::lock_guard<std::mutex> lock(mu_);
    options_ = options;
    if (!options.noise) return;
    for (int i = 0; i < 2; ++i) noise_[i] = awgn_init_dbm0(nullptr, options.noise_seed + i, options.noise_dbm0);
}

T31Line::~T31Line() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    // The audio thread may wait for a clock that stands still meanwhile.
    const uint64_t one = 1;
    ssize_t woken = write(stop_fd_, &one, sizeof one);
    (void)woken;
    if (audio_.joinable()) audio_.join();
    close(stop_fd_);
    for (awgn_state_t *n : noise_)
        if (n) awgn_free(n);
    if (fax_) fax_free(fax_);
    if (modem_) t31_free(modem_);
    if (slave_keeper_ != -1) close(slave_keeper_);
    if (master_ != -1) close(master_);
}

bool T31Line::WaitForEnd(uint32_t audio_ms) {
    // This thread stands aside so that the audio runs on without the library.
    WaitClockOutside outside;
    const uint32_t start = AudioMs();
    std::unique_lock<std::mutex> lock(mu_);
    ended_cv_.wait(lock, [&] { return ended_ || AudioMs() - start >= audio_ms; });
    return ended_;
}

int T31Line::CompletionCode() const {
    std::lock_guard<std::mutex> lock(mu_);
    return completion_code_;
}

int T31Line::PagesSent() const {
    std::lock_guard<std::mutex> lock(mu_);
    return pages_sent_;
}

int T31Line::PagesReceived() const {
    std::lock_guard<std::mutex> lock(mu_);
    return pages_received_;
}

std::string T31Line::SenderIdent() const {
    std::lock_guard<std::mutex> lock(mu_);
    return sender_ident_;
}

// ---- The audio thread: everything spandsp is touched from here only ----

void T31Line::Run() {
    int16_t to_receiver[kSamplesPerBlock];
    int16_t to_modem[kSamplesPerBlock];
    for (uint64_t next = clock_->now(); AwaitBlock(next); next += kBlockMs) {
        bool ring = false;
        awgn_state_t *to_receiver_noise = nullptr;
        awgn_state_t *to_modem_noise = nullptr;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_) return;
            ring = ring_requested_;
            ring_requested_ = false;
            to_receiver_noise = noise_[0];
            damage_ = options_;  // the audio thread's copy
            to_modem_noise = noise_[1];
        }
        MoveDteBytes();
        if (call_requested_) StartCall();
        if (ring) t31_call_event(modem_, AT_CALL_EVENT_ALERTING);
        if (answer_requested_) AnswerCall();

        SilenceRest(to_receiver, t31_tx(modem_, to_receiver, kSamplesPerBlock));
        AddNoise(to_receiver_noise, to_receiver);
        if (fax_ && !caller_gone_) {
            fax_rx(fax_, to_receiver, kSamplesPerBlock);
            SilenceRest(to_modem, fax_tx(fax_, to_modem, kSamplesPerBlock));
            AddNoise(to_modem_noise, to_modem);
        } else {
            SilenceRest(to_modem, 0);
        }
        t31_rx(modem_, to_modem, kSamplesPerBlock);
        {
            // Under the lock: WaitForEnd looks at the audio time with it held.
            std::lock_guard<std::mutex> lock(mu_);
            audio_ms_ += kBlockMs;
        }
        ended_cv_.notify_all();
    }
}

bool T31Line::AwaitBlock(uint64_t at) {
    for (;;) {
        MoveDteBytes();
        const uint64_t now = clock_->now();
        if (now >= at) return true;
        // The host's bytes are looked for only while the modem takes them:
        // held back, they do not hold the clock either.
        pollfd fds[2] = {{stop_fd_, POLLIN, 0}, {master_, static_cast<short>(clear_to_send_ ? POLLIN : 0), 0}};
        if (clock_->poll(fds, 2, 1, static_cast<int>(at - now)) > 0 && (fds[0].revents & POLLIN)) return false;
    }
}

// What the host wrote goes to the modem's command interpreter or data
// buffer, while the modem is clear to take it.
void T31Line::MoveDteBytes() {
    char buf[kDteChunk];
    while (clear_to_send_) {
        const ssize_t n = clock_->port_read(master_, buf, sizeof buf);
        if (n <= 0) return;
        WatchHostBytes(buf, static_cast<size_t>(n));
        t31_at_rx(modem_, buf, static_cast<int>(n));
    }
}

// A damaged byte is turned into another that is neither DLE nor ETX, so the
// data's framing stays as it was.
static uint8_t Damaged(uint8_t byte) {
    uint8_t d = static_cast<uint8_t>(byte ^ 0x5A);
    if (d == 0x10 || d == 0x03) d = static_cast<uint8_t>(byte ^ 0xA5);
    return d;
}

void T31Line::WatchHostBytes(char *buf, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        host_tail_ += buf[i];
        if (host_tail_.size() > 8) host_tail_.erase(0, 1);
        if (host_tail_.size() >= 7 && host_tail_.compare(host_tail_.size() - 7, 7, "AT+FTM=") == 0) {
            ++sent_streams_;
            sent_offset_ = 0;
        } else if (host_tail_.size() >= 7 && host_tail_.compare(host_tail_.size() - 7, 7, "AT+FRM=") == 0) {
            ++received_streams_;
            received_offset_ = 0;
        }
        if (damage_.damage_sent_stream > 0 && sent_streams_ == damage_.damage_sent_stream && ++sent_offset_ == damage_.damage_offset &&
            buf[i] != 0x10 && buf[i] != 0x03)
            buf[i] = static_cast<char>(Damaged(static_cast<uint8_t>(buf[i])));
    }
}

void T31Line::WriteToDte(const uint8_t *data, size_t len) {
    std::vector<uint8_t> copy(data, data + len);
    for (uint8_t &b : copy)
        if (damage_.damage_received_stream > 0 && received_streams_ == damage_.damage_received_stream && ++received_offset_ == damage_.damage_offset &&
            b != 0x10 && b != 0x03)
            b = Damaged(b);
    const uint8_t *buf = copy.data();
    size_t done = 0;
    while (done < len) {
        const ssize_t n = clock_->port_write(master_, buf + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == -1 && errno != EAGAIN && errno != EINTR) return;
        pollfd fds[2] = {{stop_fd_, POLLIN, 0}, {master_, POLLOUT, 0}};
        if (clock_->poll(fds, 2, 1, kDteWriteWaitMs) == 0 || (fds[0].revents & POLLIN)) return;  // the host stopped reading
    }
}

// The dialled number answers at once: a fax terminal picks up.
void T31Line::StartCall() {
    call_requested_ = false;
    fax_ = fax_init(nullptr, 0);
    if (!fax_) throw std::runtime_error("fax_init failed");
    fax_set_transmit_on_idle(fax_, 1);
    t30_state_t *t30 = fax_get_t30_state(fax_);
    ShowLog(fax_get_logging_state(fax_));
    ShowLog(t30_get_logging_state(t30));
    t30_set_tx_ident(t30, "T30 RECEIVER");
    t30_set_rx_file(t30, received_tiff_.c_str(), -1);
    t30_set_supported_modems(t30, receiver_modems_);
    t30_set_ecm_capability(t30, 0);
    {
        std::lock_guard<std::mutex> lock(mu_);
        ApplyTerminalOptions(t30, options_);
    }
    t30_set_phase_e_handler(t30, PhaseE, this);
    t31_call_event(modem_, AT_CALL_EVENT_CONNECTED);
}

// The host answered: the calling terminal is on the line and sends its file.
void T31Line::AnswerCall() {
    answer_requested_ = false;
    fax_ = fax_init(nullptr, 1);
    if (!fax_) throw std::runtime_error("fax_init failed");
    fax_set_transmit_on_idle(fax_, 1);
    t30_state_t *t30 = fax_get_t30_state(fax_);
    ShowLog(fax_get_logging_state(fax_));
    ShowLog(t30_get_logging_state(t30));
    t30_set_tx_ident(t30, "T30 SENDER");
    t30_set_tx_file(t30, caller_.tiff.c_str(), -1, -1);
    t30_set_supported_modems(t30, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
    t30_set_ecm_capability(t30, 0);
    {
        std::lock_guard<std::mutex> lock(mu_);
        ApplyTerminalOptions(t30, options_);
    }
    t30_set_phase_e_handler(t30, PhaseE, this);
    t30_set_phase_d_handler(t30, PhaseD, this);
    t31_call_event(modem_, AT_CALL_EVENT_ANSWERED);
}

int T31Line::AtTx(at_state_s *, void *user, const uint8_t *buf, size_t len) {
    static_cast<T31Line *>(user)->WriteToDte(buf, len);
    return static_cast<int>(len);
}

int T31Line::ModemControl(t31_state_s *, void *user, int op, const char *num) {
    T31Line *line = static_cast<T31Line *>(user);
    switch (op) {
    case AT_MODEM_CONTROL_CALL:
        line->call_requested_ = true;
        break;
    case AT_MODEM_CONTROL_ANSWER:
        if (line->calling_) line->answer_requested_ = true;
        break;
    case AT_MODEM_CONTROL_CTS:
        // The modem's data buffer: full (off) or ready again (on).
        line->clear_to_send_ = num != nullptr;
        break;
    default:
        break;
    }
    return 0;
}

void T31Line::PhaseE(t30_state_s *s, void *user, int completion_code) {
    T31Line *line = static_cast<T31Line *>(user);
    t30_stats_t stats{};
    t30_get_transfer_statistics(s, &stats);
    std::lock_guard<std::mutex> lock(line->mu_);
    line->completion_code_ = completion_code;
    line->pages_received_ = stats.pages_rx;
    line->pages_sent_ = stats.pages_tx;
    const char *ident = t30_get_rx_ident(s);
    line->sender_ident_ = ident ? ident : "";
    line->ended_ = true;
    line->ended_cv_.notify_all();
}

// After a page's post-page exchange: a caller told to hang up after the first
// page goes silent once it is confirmed.
int T31Line::PhaseD(t30_state_s *s, void *user, int) {
    T31Line *line = static_cast<T31Line *>(user);
    t30_stats_t stats{};
    t30_get_transfer_statistics(s, &stats);
    std::lock_guard<std::mutex> lock(line->mu_);
    line->pages_sent_ = stats.pages_tx;
    if (line->caller_.hang_up_after_first_page && stats.pages_tx >= 1) line->caller_gone_ = true;
    return 0;
}

// ---- The received file ----

std::vector<ReceivedPage> T31Line::ReadReceivedPages() const {
    std::vector<ReceivedPage> pages;
    TIFF *tiff = TIFFOpen(received_tiff_.c_str(), "r");
    if (!tiff) return pages;
    do {
        uint32_t width = 0, length = 0;
        uint16_t photometric = PHOTOMETRIC_MINISWHITE;
        TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &length);
        TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
        ReceivedPage page;
        page.width = static_cast<int>(width);
        std::vector<uint8_t> line(static_cast<size_t>(TIFFScanlineSize(tiff)));
        for (uint32_t y = 0; y < length; ++y) {
            if (TIFFReadScanline(tiff, line.data(), y, 0) < 0) break;
            std::vector<uint8_t> row(width);
            for (uint32_t x = 0; x < width; ++x) {
                const int bit = (line[x / 8] >> (7 - x % 8)) & 1;
                row[x] = static_cast<uint8_t>(photometric == PHOTOMETRIC_MINISWHITE ? bit : !bit);
            }
            page.rows.push_back(std::move(row));
        }
        pages.push_back(std::move(page));
    } while (TIFFReadDirectory(tiff));
    TIFFClose(tiff);
    return pages;
}

void T31PeerTest::SetUp() {
    char path[] = "/tmp/tollan-t31-XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    dir_ = path;
    clock_ = std::make_unique<WaitClock>(1);
    saved_settings_ = std::make_unique<LibrarySettings>(g_settings);
    trace_ = std::make_unique<TraceCapture>();
}

void T31PeerTest::TearDown() {
    for (int ch = 0; ch < kMaxChannels; ++ch)
        if (g_channels[ch].in_use) PortClose(ch);
    trace_.reset();
    if (saved_settings_) g_settings = *saved_settings_;
    clock_.reset();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

bool T31PeerTest::RingUntilHeard(T31Line &line, int32_t ch) {
    line.Ring();
    int32_t ring = 0;
    for (int polls = 0; polls < 500 && ring != 1; ++polls) {
        if (WaitForRing(ch, &ring) != TOLLAN_OK) return false;
        if (ring != 1) PlatSleep(10);  // on the line's clock: the audio moves on
    }
    return ring == 1;
}

int32_t T31PeerTest::OpenClass1(const std::string &local_id, int32_t resolution) {
    int32_t ch = -1;
    EXPECT_EQ(SetModemClass(0, TOLLAN_CLASS_1), TOLLAN_OK);
    EXPECT_EQ(PortOpen(&ch, 1, "ATE0"), TOLLAN_OK);
    if (ch < 0) return -1;
    EXPECT_EQ(SetLocalID(ch, local_id.c_str()), TOLLAN_OK);
    EXPECT_EQ(SetResolution(ch, resolution), TOLLAN_OK);
    return ch;
}

std::string T31PeerTest::TraceLog() const {
    std::string log;
    for (const std::string &l : trace_->Lines()) log += l + "\n";
    if (getenv("TOLLAN_SHOW_TRACE")) fprintf(stderr, "%s", log.c_str());
    return log;
}

// t31_free leaves one of the modem's queues allocated; that is spandsp's,
// not ours, so the leak checker of sanitizer builds is told to pass it over.
extern "C" __attribute__((used)) const char *__lsan_default_suppressions() { return "leak:libspandsp.so\n"; }
