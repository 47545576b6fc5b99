// Processor time and peak memory for the benchmarks: of this process, of
// the calling thread, and of a child program run to its end.
//
// Peak memory is the child's ru_maxrss from wait4. A forked child starts
// with its parent's pages, and they count towards its peak even after exec:
// children whose memory is measured are started by a Spawner, a process
// forked while the benchmark was still small.
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

// ---- A small process that starts children on request ----------------------

struct Spawner {
    pid_t pid = -1;
    int requests = -1;  // to the spawner
    int results = -1;   // from it
};

inline bool ReadExactly(int fd, void *data, size_t size) {
    char *p = static_cast<char *>(data);
    while (size > 0) {
        ssize_t n = read(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

inline bool WriteExactly(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The spawner's loop: a request is its length, then stdin, stdout and the
// arguments, each ended by a NUL; the answer is the ChildResult.
[[noreturn]] inline void ServeSpawnRequests(int requests, int results) {
    for (;;) {
        uint32_t length = 0;
        if (!ReadExactly(requests, &length, sizeof length)) _exit(0);
        std::string text(length, '\0');
        if (!ReadExactly(requests, &text[0], length)) _exit(0);
        std::vector<std::string> fields;
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find('\0', at);
            fields.push_back(text.substr(at, end - at));
            at = end + 1;
        }
        ChildResult r;
        if (fields.size() >= 3)
            r = RunProgram(std::vector<std::string>(fields.begin() + 2, fields.end()), fields[0], fields[1]);
        if (!WriteExactly(results, &r, sizeof r)) _exit(0);
    }
}

// Call first thing in main, before the benchmark allocates anything large.
inline bool StartSpawner(Spawner *s) {
    int requests[2], results[2];
    if (pipe(requests) != 0 || pipe(results) != 0) return false;
    s->pid = fork();
    if (s->pid == -1) return false;
    if (s->pid == 0) {
        close(requests[1]);
        close(results[0]);
        ServeSpawnRequests(requests[0], results[1]);
    }
    close(requests[0]);
    close(results[1]);
    s->requests = requests[1];
    s->results = results[0];
    return true;
}

// Has the spawner start a program; SpawnedResult waits for its end.
inline bool SpawnProgram(const Spawner &s, const std::vector<std::string> &argv, const std::string &in = "",
                         const std::string &out = "") {
    std::string text = in + '\0' + out + '\0';
    for (const std::string &a : argv) text += a + '\0';
    const uint32_t length = static_cast<uint32_t>(text.size());
    return WriteExactly(s.requests, &length, sizeof length) && WriteExactly(s.requests, text.data(), text.size());
}

inline ChildResult SpawnedResult(const Spawner &s) {
    ChildResult r;
    if (!ReadExactly(s.results, &r, sizeof r)) return ChildResult{};
    return r;
}

inline ChildResult RunSpawned(const Spawner &s, const std::vector<std::string> &argv, const std::string &in = "",
                              const std::string &out = "") {
    if (!SpawnProgram(s, argv, in, out)) return ChildResult{};
    return SpawnedResult(s);
}

inline void StopSpawner(Spawner *s) {
    close(s->requests);
    close(s->results);
    if (s->pid > 0) waitpid(s->pid, nullptr, 0);
    s->pid = -1;
}
