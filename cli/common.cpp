#include "cli/common.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <pthread.h>
#include <unistd.h>

#include "cli/return_codes.h"
#include "tollan.h"

namespace {

// The profile written for --device lives as long as the process.
std::string g_device_profile;

void RemoveDeviceProfile() {
    if (!g_device_profile.empty()) unlink(g_device_profile.c_str());
}

std::string ExistingProfileText() {
    const char *path = getenv("QUARRY_INI");
    std::ifstream in(path && *path ? path : "/etc/quarry.ini");
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

// The signal that asked the command to stop (0: none), and the channel whose
// call it ends (-1 until one is open).
volatile std::sig_atomic_t g_stop_signal = 0;
volatile std::sig_atomic_t g_stop_channel = -1;

void RequestStop(int signal_number) {
    g_stop_signal = signal_number;
    if (g_stop_channel >= 0) AbortCall(g_stop_channel);  // safe in a handler: it only sets a flag
}

}  // namespace

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void StopCallsOn(int32_t channel) { g_stop_channel = channel; }

int StopSignal() { return g_stop_signal; }

void BlockStopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

void ExitStopped(const std::string &when) {
    int signal_number = g_stop_signal;
    fprintf(stderr, "tollan: stopped by %s %s\n", signal_number == SIGINT ? "SIGINT" : "SIGTERM", when.c_str());
    throw CLI::RuntimeError(128 + signal_number);  // unwinds: the port is closed, which hangs up
}

void AddPortOptions(CLI::App *command, PortChoice &choice) {
    auto *port = command->add_option("--port", choice.port, "COM port number (1-20), mapped in quarry.ini [Ports]")
                     ->check(CLI::Range(1, 20));
    command->add_option("--device", choice.device, "serial device of the modem, e.g. /dev/ttyUSB0")->excludes(port);
    command->add_option("--init", choice.init, "modem initialisation string")->capture_default_str();
}

void AddTraceOption(CLI::App *command, std::string &trace_file) {
    command->add_option("--trace", trace_file, "append the library's trace log to FILE");
}

void StartTrace(const std::string &trace_file) {
    if (trace_file.empty()) return;
    uint16_t rc = SetTraceFileName(trace_file.c_str());
    if (rc != TOLLAN_OK) Fail("setting the trace file", rc);
    SetTraceOption(1);
}

int32_t OpenChannel(const PortChoice &choice, int modem_class) {
    if (!choice.device.empty()) MapPortToDevice(choice.port, choice.device);
    uint16_t rc = SetModemClass(0, modem_class);
    if (rc != TOLLAN_OK) Fail("choosing the modem class", rc);
    int32_t channel = -1;
    rc = PortOpen(&channel, choice.port, choice.init.c_str());
    if (rc != TOLLAN_OK) {
        int32_t error = GetLastFaxError();
        std::string what = "opening port " + std::to_string(choice.port);
        if (!choice.device.empty()) what += " (" + choice.device + ")";
        if (error != 0) what += " [" + std::string(strerror(error)) + "]";
        Fail(what, rc);
    }
    return channel;
}

void Fail(const std::string &what, uint16_t code) {
    fprintf(stderr, "tollan: %s failed: %u (%s)\n", what.c_str(), code, ReturnCodeText(code));
    throw CLI::RuntimeError(1);  // unwinds: channels are closed, scratch folders removed
}

void FailWith(const std::string &message) {
    fprintf(stderr, "tollan: %s\n", message.c_str());
    throw CLI::RuntimeError(1);
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
