// Ends the test program when a test outlives its limit in real time: a hung
// library call cannot be got back any other way. The limit only catches
// hangs; tests never assert how long they took.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class HangGuard {
public:
    // describe: what to print beside the name when the guard fires.
    HangGuard(std::string name, double limit_seconds, std::function<std::string()> describe = {})
        : name_(std::move(name)), limit_seconds_(limit_seconds), describe_(std::move(describe)),
          thread_([this] { Watch(); }) {}
    ~HangGuard() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    HangGuard(const HangGuard &) = delete;
    HangGuard &operator=(const HangGuard &) = delete;

private:
    void Watch() {
        std::unique_lock<std::mutex> hold(lock_);
        if (changed_.wait_for(hold, std::chrono::duration<double>(limit_seconds_), [this] { return done_; })) return;
        fprintf(stderr, "%s hangs%s%s\n", name_.c_str(), describe_ ? ": " : "", describe_ ? describe_().c_str() : "");
        abort();
    }

    std::string name_;
    double limit_seconds_;
    std::function<std::string()> describe_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool done_ = false;
    std::thread thread_;
};
