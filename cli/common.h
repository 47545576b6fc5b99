// What the subcommands share: the port options, opening a channel, the trace
// option, and reporting a failure in words.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

struct PortChoice {
    int port = 1;
    std::string device;     // --device: a temporary profile maps the port to it
    std::string init = "ATZ";
    int command_pause_ms = 500;  // --command-pause: the library's pause before each modem command
};

struct TraceChoice {
    std::string file;      // --trace: UTF-8, LF, each line dated
    std::string raw_file;  // --trace-raw: the library's own bytes
};

void AddPortOptions(CLI::App *command, PortChoice &choice);
// --id takes 1 to 129 printable characters, as SetLocalID does; quotes
// only where the library quotes the identity itself.
CLI::Validator IdentityCheck(bool quotes_allowed);
void AddTraceOption(CLI::App *command, TraceChoice &trace);

// Switches the trace log on when a file was given. --trace goes through a
// raw log in TMPDIR that a thread turns into UTF-8 lines with their date
// (the last lines when the command ends: FinishTrace).
void StartTrace(const TraceChoice &trace);
void FinishTrace();

// The device a port number names: the profile's [Ports] COMn, else /dev/ttyS<n-1>.
std::string PortDevice(int port);
// Sends the modem a command line on the open channel's port, between the
// library's calls, and returns what it answered up to "OK" or "ERROR" (at
// most 3 seconds and 4 KiB).
std::string ModemExchange(int32_t channel, const std::string &command);
bool ModemSaidOk(const std::string &answer);
// Asks the modem "AT+FCLASS=?" on the open channel's port: the classes it
// offers ("0,1,2,2.0"), or "" when it does not say within a few seconds.
std::string OfferedClasses(int32_t channel);
bool ClassOffered(const std::string &list, const std::string &name);

// "port N (DEVICE)" for messages.
std::string PortName(const PortChoice &choice);

// Opens the chosen port with the given class (TOLLAN_CLASS_*), or fails
// saying which device it tried and why.
int32_t OpenChannel(const PortChoice &choice, int modem_class);
// The same, returning the library's code instead of failing.
uint16_t TryOpenChannel(const PortChoice &choice, int modem_class, int32_t *channel);

// Prints "tollan: WHAT failed: CODE (MEANING)" and ends the command with exit
// status 1 (by an exception, so that channels and scratch folders are released).
[[noreturn]] void Fail(const std::string &what, uint16_t code);
// The same with the exit status given (3: a call worth trying again later).
[[noreturn]] void Fail(const std::string &what, uint16_t code, int status);
// Prints "tollan: MESSAGE" and leaves with exit status 1.
[[noreturn]] void FailWith(const std::string &message);
// A usage error found after parsing: "tollan: MESSAGE", exit status 2.
[[noreturn]] void FailUsage(const std::string &message);
// ": REASON" from errno when a failing call set it (the caller clears errno
// first), else "".
std::string SystemReason();
// Why a file cannot be read (": No such file or directory"), or "" when it can.
std::string FileProblem(const std::string &path);

// A remote identity as people read it, the same in every class: surrounding
// blanks and quotes removed, the spaces inside kept; "(no identity)" when empty.
std::string ShownIdentity(const char *remote);

// What a call left in its channel: the remote's identity ("" when none
// was given), the pages sent and the hang-up code.
struct CallOutcome {
    const char *remote = "";
    int16_t pages_sent = 0;
    int32_t hangup = 0;
};
CallOutcome ReadCallOutcome(int32_t channel);

// SIGINT and SIGTERM: from StopCallsOn on, a signal asks the channel's call
// in progress to end (AbortCall); the command sees it through StopSignal.
// SIGHUP lets a call in progress finish and then stops (HangupRequested).
void CatchStopSignals();
bool HangupRequested();
void StopCallsOn(int32_t channel);
// The signal that asked the command to stop, 0 while none came.
int StopSignal();
// Blocks the stop signals (and SIGHUP) in the calling thread (a thread that runs a call),
// so that the main thread handles them.
void BlockStopSignals();
// Prints "tollan: stopped by SIGxxx WHEN" (SIGHUP when only it came) and ends the command with exit
// status 128 + the signal's number (by an exception, like Fail).
[[noreturn]] void ExitStopped(const std::string &when);

// A channel that is closed when it goes out of scope.
class OpenedChannel {
public:
    explicit OpenedChannel(int32_t channel) : channel_(channel) {}
    ~OpenedChannel();
    OpenedChannel(const OpenedChannel &) = delete;
    OpenedChannel &operator=(const OpenedChannel &) = delete;
    int32_t get() const { return channel_; }

private:
    int32_t channel_;
};

// A scratch folder removed with everything in it when it goes out of scope.
class ScratchDir {
public:
    explicit ScratchDir(const char *prefix);
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Commands.
void AddSendCommand(CLI::App &app);
void AddReceiveCommand(CLI::App &app);
void AddConvertCommands(CLI::App &app);
void AddDemoCommand(CLI::App &app);
