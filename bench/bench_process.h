// Processor time and peak memory for the benchmarks: of this process, of
// the calling thread, and of a child program run to its end.
//
// Peak memory is the child's ru_maxrss from wait4. The child is exec'd, so
// its peak is its own; the parent should still be small when it starts one
// (a forked copy of a large parent could count towards the child's peak).
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

inline double Seconds(const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// User plus system time of every thread of this process.
inline double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

// User plus system time of the calling thread only.
inline double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

inline double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct ChildResult {
    bool exited_ok = false;  // exited with status 0
    int status = -1;         // exit status, or -1 if killed
    double wall_s = 0;       // from fork to reaped
    double cpu_s = 0;        // user + system of the child and its threads
    long peak_kb = 0;        // ru_maxrss
};

struct Child {
    pid_t pid = -1;
    double started = 0;
};

// Starts argv[0] (a path) with stdin and stdout taken from the given files
// ("" leaves them as they are).
inline Child StartProgram(const std::vector<std::string> &argv, const std::string &in = "",
                          const std::string &out = "") {
    Child c;
    c.started = WallSeconds();
    c.pid = fork();
    if (c.pid == 0) {
        if (!in.empty()) {
            int fd = open(in.c_str(), O_RDONLY);
            if (fd == -1 || dup2(fd, 0) == -1) _exit(126);
            close(fd);
        }
        if (!out.empty()) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd == -1 || dup2(fd, 1) == -1) _exit(126);
            close(fd);
        }
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return c;
}

inline ChildResult WaitProgram(const Child &c) {
    ChildResult r;
    int status = 0;
    rusage u{};
    if (c.pid == -1 || wait4(c.pid, &status, 0, &u) != c.pid) return r;
    r.wall_s = WallSeconds() - c.started;
    r.cpu_s = Seconds(u.ru_utime) + Seconds(u.ru_stime);
    r.peak_kb = u.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.exited_ok = r.status == 0;
    return r;
}

inline ChildResult RunProgram(const std::vector<std::string> &argv, const std::string &in = "",
                              const std::string &out = "") {
    return WaitProgram(StartProgram(argv, in, out));
}

// This program's own path, to run it again in a one-shot mode.
inline std::string SelfPath() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    return path;
}
