#include "cli/common.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iconv.h>
#include <sstream>
#include <thread>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/return_codes.h"
#include "tollan.h"

namespace {

// The profile written for --device lives as long as the process.
std::string g_device_profile;

void RemoveDeviceProfile() {
    if (!g_device_profile.empty()) unlink(g_device_profile.c_str());
}

std::string ProfilePath() {
    const char *path = getenv("QUARRY_INI");
    return path && *path ? path : "/etc/quarry.ini";
}

std::string ExistingProfileText() {
    std::ifstream in(ProfilePath());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Maps the port to the device in a temporary profile that comes first, keeping
// the rest of the user's profile (its [Fax] values) after it.
void MapPortToDevice(int port, const std::string &device) {
    std::string text = "[Ports]\nCOM" + std::to_string(port) + "=" + device + "\n" + ExistingProfileText();
    const char *dir = getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/tollan-profile-XXXXXX";
    int fd = mkstemp(path.data());
    if (fd == -1) FailWith("cannot write a temporary profile in " + path);
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written) FailWith("cannot write the temporary profile " + path);
    g_device_profile = path;
    atexit(RemoveDeviceProfile);
    setenv("QUARRY_INI", path.c_str(), 1);
}

// The signal that asked the command to stop (0: none), whether SIGHUP came,
// and the channel whose call a stop ends (-1 until one is open).
volatile std::sig_atomic_t g_stop_signal = 0;
volatile std::sig_atomic_t g_hangup = 0;
volatile std::sig_atomic_t g_stop_channel = -1;

void RequestStop(int signal_number) {
    if (signal_number == SIGHUP) {
        g_hangup = 1;  // the call in progress is finished first
        return;
    }
    g_stop_signal = signal_number;
    if (g_stop_channel >= 0) AbortCall(g_stop_channel);  // safe in a handler: it only sets a flag
}

constexpr int kCaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};

const char *SignalName(int signal_number) {
    switch (signal_number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    }
    return "a signal";
}

// ---- The trace, turned into UTF-8 lines with their date ----

struct TraceRelay {
    std::string raw;       // what the library writes
    std::string out;       // what people read
    bool remove_raw = false;
    off_t done = 0;        // bytes of raw relayed
    std::atomic<bool> stop{false};
    std::thread thread;
};
TraceRelay g_relay;

std::string Utf8FromCp932(const std::string &text) {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    std::string out(text.size() * 3 + 4, '\0');
    char *in_p = const_cast<char *>(text.data());
    size_t in_left = text.size();
    char *out_p = out.data();
    size_t out_left = out.size();
    while (in_left > 0) {
        if (iconv(cd, &in_p, &in_left, &out_p, &out_left) != static_cast<size_t>(-1)) break;
        if (errno != EILSEQ && errno != EINVAL) break;
        *out_p++ = '?';  // a byte that is no character
        --out_left;
        ++in_p;
        --in_left;
    }
    iconv_close(cd);
    out.resize(out.size() - out_left);
    return out;
}

// The date of a line stamped "hh:mm:ss": today's, or yesterday's for a line
// stamped later than now (written before midnight, read after it).
std::string DateOfLine(const std::string &line) {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char clock[16];
    strftime(clock, sizeof clock, "%H:%M:%S", &local);
    if (line.size() >= 8 && line.compare(0, 8, clock) > 0) {
        now -= 24 * 60 * 60;
        localtime_r(&now, &local);
    }
    char date[16];
    strftime(date, sizeof date, "%Y-%m-%d", &local);
    return date;
}

// Relays the whole lines the raw log gained since the last time.
void RelayTraceLines(TraceRelay &r) {
    int in = open(r.raw.c_str(), O_RDONLY | O_CLOEXEC);
    if (in == -1) return;
    std::string fresh;
    char block[4096];
    ssize_t n = 0;
    if (lseek(in, r.done, SEEK_SET) == r.done)
        while ((n = read(in, block, sizeof block)) > 0) fresh.append(block, static_cast<size_t>(n));
    close(in);
    size_t end = fresh.rfind('\n');
    if (end == std::string::npos) return;
    std::string text;
    size_t start = 0;
    while (start <= end) {
        size_t eol = fresh.find('\n', start);
        std::string line = fresh.substr(start, eol - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        text += DateOfLine(line) + " " + Utf8FromCp932(line) + "\n";
        start = eol + 1;
    }
    int out = open(r.out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out != -1) {
        ssize_t ignored = write(out, text.data(), text.size());
        (void)ignored;
        close(out);
    }
    r.done += static_cast<off_t>(end + 1);
}

void WatchTrace() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    while (!g_relay.stop) {
        RelayTraceLines(g_relay);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

}  // namespace

void FinishTrace() {
    if (!g_relay.thread.joinable()) return;
    g_relay.stop = true;
    g_relay.thread.join();
    RelayTraceLines(g_relay);
    if (g_relay.remove_raw) unlink(g_relay.raw.c_str());
}

bool HangupRequested() { return g_hangup != 0; }

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    for (int signal_number : kCaughtSignals) sigaction(signal_number, &action, nullptr);
}

void StopCallsOn(int32_t channel) { g_stop_channel = channel; }

int StopSignal() { return g_stop_signal; }

void BlockStopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal_number : kCaughtSignals) sigaddset(&stops, signal_number);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

void ExitStopped(const std::string &when) {
    int signal_number = g_stop_signal ? static_cast<int>(g_stop_signal) : SIGHUP;
    fprintf(stderr, "tollan: stopped by %s %s\n", SignalName(signal_number), when.c_str());
    throw CLI::RuntimeError(128 + signal_number);  // unwinds: the port is closed, which hangs up
}

void AddPortOptions(CLI::App *command, PortChoice &choice) {
    auto *port = command->add_option("--port", choice.port, "COM port number (1-20), mapped in quarry.ini [Ports]")
                     ->check(CLI::Range(1, 20));
    command->add_option("--device", choice.device, "serial device of the modem, e.g. /dev/ttyUSB0")->excludes(port);
    command->add_option("--init", choice.init, "modem initialisation string")->capture_default_str();
    // Slow modems need the pause; emulated ones and tests do not.
    command->add_option("--command-pause", choice.command_pause_ms, "pause before each modem command, in ms")
        ->check(CLI::Range(0, 10000))
        ->envname("TOLLAN_COMMAND_PAUSE")
        ->capture_default_str();
}

CLI::Validator IdentityCheck(bool quotes_allowed) {
    constexpr size_t kMostIdentityChars = 129;
    return CLI::Validator(
        [quotes_allowed](std::string &id) {
            if (id.empty() || id.size() > kMostIdentityChars) return std::string("the identity takes 1 to 129 characters");
            for (char c : id)
                if (c < ' ' || c > '~' || (c == '"' && !quotes_allowed))
                    return std::string(quotes_allowed ? "the identity takes printable characters"
                                                      : "the identity takes printable characters but '\"'");
            return std::string();
        },
        "1-129 characters");
}

void AddTraceOption(CLI::App *command, TraceChoice &trace) {
    command->add_option("--trace", trace.file, "append the trace log to FILE (UTF-8, each line dated)");
    command->add_option("--trace-raw", trace.raw_file, "append the library's own trace bytes (CR LF, Shift_JIS) to FILE");
}

void StartTrace(const TraceChoice &trace) {
    if (trace.file.empty() && trace.raw_file.empty()) return;
    std::string raw = trace.raw_file;
    if (raw.empty()) {
        const char *dir = getenv("TMPDIR");
        raw = std::string(dir && *dir ? dir : "/tmp") + "/tollan-trace-XXXXXX";
        int fd = mkstemp(raw.data());
        if (fd == -1) FailWith("cannot create a temporary trace file " + raw + ": " + strerror(errno));
        close(fd);
        g_relay.remove_raw = true;
    }
    uint16_t rc = SetTraceFileName(raw.c_str());
    if (rc != TOLLAN_OK) Fail("setting the trace file " + raw, rc);
    SetTraceOption(1);
    if (trace.file.empty()) return;
    g_relay.raw = raw;
    g_relay.out = trace.file;
    struct stat st {};
    if (!g_relay.remove_raw && stat(raw.c_str(), &st) == 0) g_relay.done = st.st_size;  // earlier runs' lines stay
    g_relay.thread = std::thread(WatchTrace);
    atexit(FinishTrace);
}

std::string PortDevice(int port) {
    std::ifstream in(ProfilePath());
    std::string line, key = "COM" + std::to_string(port) + "=";
    bool in_ports = false;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty() && line[0] == '[') {
            in_ports = strcasecmp(line.c_str(), "[Ports]") == 0;
            continue;
        }
        if (in_ports && strncasecmp(line.c_str(), key.c_str(), key.size()) == 0) return line.substr(key.size());
    }
    return "/dev/ttyS" + std::to_string(port - 1);
}

std::string PortName(const PortChoice &choice) {
    return "port " + std::to_string(choice.port) + " (" + (choice.device.empty() ? PortDevice(choice.port) : choice.device) + ")";
}

namespace {

// The codes of failed system calls, for which the system's error says why.
bool SystemCallFailed(uint16_t code) {
    switch (code) {
    case TOLLAN_E_PORT_OPEN:
    case TOLLAN_E_PORT_PURGE:
    case TOLLAN_E_PORT_QUEUES:
    case TOLLAN_E_PORT_GET_STATE:
    case TOLLAN_E_PORT_EVENT_MASK:
    case TOLLAN_E_PORT_TIMEOUTS:
    case TOLLAN_E_PORT_SET_STATE:
    case TOLLAN_E_WRITE:
    case TOLLAN_E_CLOSE:
    case TOLLAN_E_PURGE: return true;
    }
    return false;
}

}  // namespace

uint16_t TryOpenChannel(const PortChoice &choice, int modem_class, int32_t *channel) {
    if (!choice.device.empty() && g_device_profile.empty()) MapPortToDevice(choice.port, choice.device);
    uint16_t rc = SetModemClass(0, modem_class);
    if (rc == TOLLAN_OK) rc = SetModemCommandInterval(choice.command_pause_ms);
    if (rc != TOLLAN_OK) return rc;
    GetLastFaxError();  // forget an error of before
    return PortOpen(channel, choice.port, choice.init.c_str());
}

int32_t OpenChannel(const PortChoice &choice, int modem_class) {
    int32_t channel = -1;
    uint16_t rc = TryOpenChannel(choice, modem_class, &channel);
    int32_t error = GetLastFaxError();
    if (rc != TOLLAN_OK) {
        std::string what = "opening " + PortName(choice);
        if (error != 0 && SystemCallFailed(rc)) what += " [" + std::string(strerror(error)) + "]";
        Fail(what, rc);
    }
    return channel;
}

// Asks the modem "AT+FCLASS=?" on the open channel's port: the classes it
// offers ("0,1,2,2.0"), or "" when it does not say within a few seconds.
std::string ModemExchange(int32_t channel, const std::string &command) {
    constexpr int kAnswerMs = 3000;
    constexpr size_t kMostAnswerBytes = 4096;  // a modem that babbles is not read for ever
    int fd = -1;
    if (GetCommHandle(channel, &fd) != TOLLAN_OK) return "";
    std::string line = command + "\r";
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    std::string answer;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerMs);
    while (answer.find("OK\r") == std::string::npos && answer.find("ERROR") == std::string::npos &&
           answer.size() < kMostAnswerBytes) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) break;
        char block[256];
        ssize_t n = read(fd, block, sizeof block);
        if (n > 0) answer.append(block, static_cast<size_t>(n));
    }
    return answer;
}

bool ModemSaidOk(const std::string &answer) {
    return answer.find("OK\r") != std::string::npos && answer.find("ERROR") == std::string::npos;
}

std::string OfferedClasses(int32_t channel) {
    std::string answer = ModemExchange(channel, "AT+FCLASS=?");
    // The line that lists them: digits, dots, commas, perhaps in brackets.
    std::string list;
    size_t start = 0;
    while (start < answer.size()) {
        size_t end = answer.find_first_of("\r\n", start);
        if (end == std::string::npos) end = answer.size();
        std::string line = answer.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.find_first_not_of("0123456789.,() ") == std::string::npos &&
            line.find_first_of("0123456789") != std::string::npos)
            list = line;
    }
    list.erase(std::remove_if(list.begin(), list.end(), [](char c) { return c == '(' || c == ')' || c == ' '; }),
               list.end());
    return list;
}

bool ClassOffered(const std::string &list, const std::string &name) {
    std::string padded = "," + list + ",";
    return padded.find("," + name + ",") != std::string::npos;
}

void Fail(const std::string &what, uint16_t code) { Fail(what, code, 1); }

void Fail(const std::string &what, uint16_t code, int status) {
    fprintf(stderr, "tollan: %s failed: %u (%s)\n", what.c_str(), code, ReturnCodeText(code));
    throw CLI::RuntimeError(status);  // unwinds: channels are closed, scratch folders removed
}

void FailWith(const std::string &message) {
    fprintf(stderr, "tollan: %s\n", message.c_str());
    throw CLI::RuntimeError(1);
}

void FailUsage(const std::string &message) {
    fprintf(stderr, "tollan: %s\n", message.c_str());
    throw CLI::RuntimeError(2);
}

std::string SystemReason() { return errno ? std::string(": ") + strerror(errno) : std::string(); }

std::string FileProblem(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) return std::string(": ") + strerror(errno);
    close(fd);
    return "";
}

std::string ShownIdentity(const char *remote) {
    std::string id = remote ? remote : "";
    auto trim = [&id] {
        size_t first = id.find_first_not_of(" \t");
        size_t last = id.find_last_not_of(" \t");
        id = first == std::string::npos ? "" : id.substr(first, last - first + 1);
    };
    trim();
    if (id.size() >= 2 && id.front() == '"' && id.back() == '"') id = id.substr(1, id.size() - 2);
    trim();
    return id.empty() ? "(no identity)" : id;
}

OpenedChannel::~OpenedChannel() { PortClose(channel_); }

ScratchDir::ScratchDir(const char *prefix) {
    const char *dir = getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/" + prefix + "XXXXXX";
    if (!mkdtemp(pattern.data())) FailWith("cannot create a scratch folder " + pattern);
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

CallOutcome ReadCallOutcome(int32_t channel) {
    CallOutcome out;
    GetRemoteID(channel, &out.remote);
    GetNumOfPagesSent(channel, &out.pages_sent);
    GetHangupCode(channel, &out.hangup);
    return out;
}
