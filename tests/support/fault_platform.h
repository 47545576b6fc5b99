// A platform double that fails chosen port operations on cue. It forwards
// every operation to a base table (by default the one installed when it is
// made: the real platform, or a test's clock) and, per operation, fails the
// Nth call from now on, a number of times or from then on, with an errno,
// without calling the base. It counts the calls, keeps the device names asked for and the
// descriptors closed, and the bytes that went through reads and writes.
//
//   FaultPlatform port;                         // installed while it lives
//   port.Fail(PortOp::kSetSettings, 1, EIO);    // the first set-up call fails
//   ... PortOpen ...
//   EXPECT_EQ(1, port.Calls(PortOp::kSetSettings));
//
// One at a time per process; no test framework needed (fuzz targets use it).
#pragma once

#include <cerrno>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

enum class PortOp { kOpen, kClose, kPurge, kGetSettings, kSetSettings, kRead, kWrite, kInputWaiting, kRaiseLines };
constexpr size_t kPortOpCount = 9;

class FaultPlatform {
public:
    FaultPlatform();  // forwards to the table installed now
    explicit FaultPlatform(const PlatformOps &base);
    ~FaultPlatform();  // puts the previous table back
    FaultPlatform(const FaultPlatform &) = delete;
    FaultPlatform &operator=(const FaultPlatform &) = delete;

    // The nth call of op from now on (1 = the next) and the times - 1 calls
    // after it fail with error; kFromThenOn: every later call fails too.
    static constexpr int kFromThenOn = 0;
    void Fail(PortOp op, int nth, int error, int times = 1);
    void Heal(PortOp op);  // op forwards again

    // What the library did (calls counted since the double was made).
    int Calls(PortOp op) const;
    std::vector<std::string> Opened() const;  // device names asked for, in order
    std::vector<int> Closed() const;          // descriptors closed, in order
    std::string Written() const;              // bytes written successfully
    std::string Read() const;                 // bytes handed to the library
    // Whether Written() and Read() keep the bytes (they do unless told):
    // an endless stream would fill memory.
    void KeepBytes(bool keep);

    // The table calls forward to: a test may replace its operations (a
    // scripted read, a clock), the fault rules still apply.
    PlatformOps &Base() { return base_; }

private:
    struct Rule {
        int fail_at = 0;  // call number that fails first; 0 none
        int times = 1;    // calls that fail from fail_at on; kFromThenOn all
        int error = EIO;
    };
    friend struct FaultPlatformAccess;

    bool FailsNow(PortOp op);  // counts the call; true (errno set) when it fails

    mutable std::mutex lock_;
    PlatformOps base_;
    PlatformOps ops_;
    const PlatformOps *previous_;
    int calls_[kPortOpCount] = {};
    Rule rules_[kPortOpCount] = {};
    std::vector<std::string> opened_;
    std::vector<int> closed_;
    std::string written_, read_;
    bool keep_bytes_ = true;
};
