// The emulator's one thread: it polls every modem's pty, moves the line's
// signals and runs the timers. The public functions take the lock and wake
// the loop through a pipe.
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "sim/sim_internal.h"

namespace {

constexpr uint32_t kAttachCheckMs = 20;

bool StepAll(Sim &sim) {
    bool any = false;
    for (int round = 0; round < 100; ++round) {
        SimTime now = SimNow();
        bool progress = ExchangeStep(sim, now);
        for (Modem &m : sim.modems) {
            if (!m.pty.attached && now >= m.pty.next_check) {
                m.pty.next_check = now + kAttachCheckMs;
                PtyCheckAttached(m.pty);
            }
            progress = ModemStep(sim, m, now) || progress;
        }
        for (Station &s : sim.stations) progress = StationStep(sim, s, now) || progress;
        if (!progress) break;
        any = true;
    }
    return any;
}

int PollTimeout(const Sim &sim) {
    SimTime next = kNever;
    for (const Modem &m : sim.modems) {
        SimTime t = ModemNextWake(sim, m);
        if (t < next) next = t;
    }
    SimTime now = SimNow();
    for (const Station &s : sim.stations) {
        SimTime t = StationNextWake(sim, s, now);
        if (t < next) next = t;
    }
    for (const Call &c : sim.calls)
        if (c.state == CallState::kRinging && c.give_up < next) next = c.give_up;
    if (next == kNever) return 1000;
    return next <= now ? 0 : static_cast<int>(next - now > 1000 ? 1000 : next - now);
}

void HostClosed(Sim &sim, int modem) {
    Modem &m = sim.modems[static_cast<size_t>(modem)];
    ModemDetached(sim, m);
    PtyCheckAttached(m.pty);
}

void ReadHost(Sim &sim, Modem &m) {
    size_t budget = ModemReadBudget(m, SimNow());
    if (budget == 0) return;
    uint8_t buf[4096];
    size_t want = budget < sizeof buf ? budget : sizeof buf;
    const SimClockOps *clock = SimClock();
    ssize_t n = clock ? clock->port_read(m.pty.master, buf, want) : read(m.pty.master, buf, want);
    if (n > 0) ModemHostBytes(sim, m, buf, static_cast<size_t>(n));
}

void WriteHost(Sim &sim, Modem &m) {
    if (m.out.empty()) return;
    const SimClockOps *clock = SimClock();
    ssize_t n = clock ? clock->port_write(m.pty.master, m.out.data(), m.out.size())
                      : write(m.pty.master, m.out.data(), m.out.size());
    if (n <= 0) return;
    TranscriptLog(sim, m.name, false, m.out.data(), static_cast<size_t>(n));
    m.out.erase(m.out.begin(), m.out.begin() + n);
}

void Run(Sim *sim) {
    std::vector<pollfd> fds;
    std::vector<Modem *> owners;
    for (;;) {
        int timeout;
        fds.clear();
        owners.clear();
        {
            std::lock_guard<std::mutex> hold(sim->lock);
            if (sim->stopping) return;
            if (StepAll(*sim)) sim->changed.notify_all();
            fds.push_back({sim->wake[0], POLLIN, 0});
            owners.push_back(nullptr);
            fds.push_back({sim->watches, POLLIN, 0});
            owners.push_back(nullptr);
            SimTime now = SimNow();
            for (Modem &m : sim->modems) {
                if (!m.pty.attached) continue;
                short events = ModemReadBudget(m, now) > 0 ? POLLIN : 0;
                if (!m.out.empty()) events |= POLLOUT;
                fds.push_back({m.pty.master, events, 0});
                owners.push_back(&m);
            }
            timeout = PollTimeout(*sim);
        }
        const SimClockOps *clock = SimClock();
        int r = clock ? clock->poll(fds.data(), fds.size(), 2, timeout) : poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR) return;
        std::lock_guard<std::mutex> hold(sim->lock);
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(sim->wake[0], drain, sizeof drain) > 0) {
            }
        }
        // Closes first: what a host writes after opening again is for a
        // reset modem. Looked for again before each read, whatever the poll
        // said: a host can close, open and write while this pass runs.
        PtyWatchEvents(*sim, HostClosed);
        for (size_t i = 2; i < fds.size(); ++i) {
            Modem &m = *owners[i];
            if (fds[i].revents & POLLIN) {
                PtyWatchEvents(*sim, HostClosed);
                ReadHost(*sim, m);
            }
            if (fds[i].revents & POLLOUT) WriteHost(*sim, m);
            // A hang-up the poll saw is stale once the host has opened again.
            if ((fds[i].revents & POLLHUP) && !(fds[i].revents & POLLIN) && m.pty.opens == 0) {
                m.pty.attached = false;
                m.pty.next_check = SimNow() + kAttachCheckMs;
                ModemDetached(*sim, m);
            }
        }
    }
}

Modem *ModemAt(Sim *sim, int i) {
    return i >= 0 && static_cast<size_t>(i) < sim->modems.size() ? &sim->modems[static_cast<size_t>(i)] : nullptr;
}

Station *StationAt(Sim *sim, int i) {
    return i >= 0 && static_cast<size_t>(i) < sim->stations.size() ? &sim->stations[static_cast<size_t>(i)] : nullptr;
}

}  // namespace

void SimWake(Sim &sim) {
    char b = 1;
    ssize_t n = write(sim.wake[1], &b, 1);
    (void)n;  // a full pipe already wakes the loop
}

Sim *SimCreate(const SimConfig &config) {
    Sim *sim = new Sim;
    sim->config = config;
    if (pipe2(sim->wake, O_NONBLOCK | O_CLOEXEC) == -1) {
        delete sim;
        return nullptr;
    }
    sim->watches = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (!config.transcript.empty()) sim->transcript = fopen(config.transcript.c_str(), "w");
    return sim;
}

int SimAddModem(Sim *sim, const SimModemConfig &config) {
    std::lock_guard<std::mutex> hold(sim->lock);
    sim->modems.emplace_back();
    Modem &m = sim->modems.back();
    m.index = static_cast<int>(sim->modems.size() - 1);
    m.name = "COM" + std::to_string(m.index + 1);
    m.number = config.number;
    m.classes = config.classes;
    m.quirks = config.quirks;
    m.faults = config.faults;
    ModemReset(m);
    if (!PtyOpen(m.pty)) {
        sim->modems.pop_back();
        return -1;
    }
    if (sim->watches != -1)
        m.pty.watch = inotify_add_watch(sim->watches, m.pty.device.c_str(), IN_OPEN | IN_CLOSE);
    return m.index;
}

int SimAddStation(Sim *sim, const SimStationConfig &config) {
    std::lock_guard<std::mutex> hold(sim->lock);
    sim->stations.emplace_back();
    Station &s = sim->stations.back();
    s.index = static_cast<int>(sim->stations.size() - 1);
    s.config = config;
    return s.index;
}

bool SimStart(Sim *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    if (sim->running) return true;
    sim->running = true;
    sim->thread = std::thread(Run, sim);
    return true;
}

void SimDestroy(Sim *sim) {
    if (!sim) return;
    {
        std::lock_guard<std::mutex> hold(sim->lock);
        sim->stopping = true;
        SimWake(*sim);
    }
    if (sim->thread.joinable()) sim->thread.join();
    for (Modem &m : sim->modems) PtyClose(m.pty);
    if (sim->transcript) fclose(sim->transcript);
    if (sim->watches != -1) close(sim->watches);
    close(sim->wake[0]);
    close(sim->wake[1]);
    delete sim;
}

std::string SimModemDevice(Sim *sim, int modem) {
    std::lock_guard<std::mutex> hold(sim->lock);
    Modem *m = ModemAt(sim, modem);
    return m ? m->pty.device : std::string();
}

std::string SimModemName(Sim *sim, int modem) {
    std::lock_guard<std::mutex> hold(sim->lock);
    Modem *m = ModemAt(sim, modem);
    return m ? m->name : std::string();
}

void SimSetModemFaults(Sim *sim, int modem, const SimFaults &faults) {
    std::lock_guard<std::mutex> hold(sim->lock);
    if (Modem *m = ModemAt(sim, modem)) m->faults = faults;
    SimWake(*sim);
}

int SimModemHostHangups(Sim *sim, int modem) {
    std::lock_guard<std::mutex> hold(sim->lock);
    Modem *m = ModemAt(sim, modem);
    return m ? m->host_hangups : 0;
}

void SimSetPhaseHook(Sim *sim, SimPhaseHook hook, void *user) {
    std::lock_guard<std::mutex> hold(sim->lock);
    sim->phase_hook = hook;
    sim->phase_hook_user = user;
}

bool SimModemSilenced(Sim *sim, int modem) {
    std::lock_guard<std::mutex> hold(sim->lock);
    Modem *m = ModemAt(sim, modem);
    return m && m->muted;
}

void SimSetModemQuirks(Sim *sim, int modem, const SimQuirks &quirks) {
    std::lock_guard<std::mutex> hold(sim->lock);
    if (Modem *m = ModemAt(sim, modem)) m->quirks = quirks;
    SimWake(*sim);
}

void SimSetStationFaults(Sim *sim, int station, const SimFaults &faults) {
    std::lock_guard<std::mutex> hold(sim->lock);
    if (Station *s = StationAt(sim, station)) s->config.faults = faults;
    SimWake(*sim);
}

bool SimStationCall(Sim *sim, int station, const std::string &number) {
    std::lock_guard<std::mutex> hold(sim->lock);
    Station *s = StationAt(sim, station);
    if (!s || s->config.answering) return false;
    bool placed = StationPlaceCall(*sim, *s, number);
    SimWake(*sim);
    return placed;
}

SimStationResult SimStationResults(Sim *sim, int station) {
    std::lock_guard<std::mutex> hold(sim->lock);
    Station *s = StationAt(sim, station);
    return s ? s->result : SimStationResult{};
}

bool SimWaitStation(Sim *sim, int station, int calls, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> hold(sim->lock);
    Station *s = StationAt(sim, station);
    if (!s) return false;
    return sim->changed.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                 [&] { return s->result.calls >= calls; });
}

bool SimWriteProfile(Sim *sim, const std::string &path) {
    std::lock_guard<std::mutex> hold(sim->lock);
    FILE *f = fopen(path.c_str(), "w");
    if (!f) return false;
    fprintf(f, "[Ports]\n");
    for (const Modem &m : sim->modems) fprintf(f, "%s=%s\n", m.name.c_str(), m.pty.device.c_str());
    return fclose(f) == 0;
}
