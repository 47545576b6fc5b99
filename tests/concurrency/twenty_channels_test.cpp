// Twenty channels at once in one process: ten send and ten receive two-page
// faxes, each channel on its own emulated modem and its own thread, class 2
// and class 2.0 alternating. Every page must arrive whole, on the right end.
// The library and the emulator run on the waiting clock, so the outcome does
// not depend on the machine's load (nor on ThreadSanitizer's slowness).
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine/tollan.h"
#include "support/hang_guard.h"
#include "support/scripted_modem.h"
#include "support/wait_clock.h"
#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

constexpr int kPairs = 10;           // senders, and as many receivers
constexpr uint32_t kClockRatio = 20;  // library ms per ms of the emulator's timers

// One channel's fax and what became of it.
struct Job {
    bool receive = false;
    int modem_class = TOLLAN_CLASS_2;
    int port = 0;                 // 1..20
    int32_t channel = -1;
    int station = -1;
    std::string pages[2];
    std::string base;             // sender: its document; receiver: where pages go
    uint16_t code = 0xFFFF;
    int16_t pages_done = -1;
};

class TwentyChannels : public ::testing::Test {
protected:
    // The main thread only opens ports and joins; the channel threads take part.
    WaitClock clock{kClockRatio, false};
    SimOnWaitClock sim_clock{clock};
    SimFixture f;
    std::vector<Job> jobs;
    std::unique_ptr<ProfileFile> profile;

    void SetUp() override {
        SetModemCommandInterval(100);
        if (const char *trace = getenv("TOLLAN_CONCURRENCY_TRACE")) {  // a file: every line with its channel
            SetTraceFileName(trace);
            SetTraceOption(5);
        }
        std::string ports = "[Ports]\n";
        for (int i = 0; i < 2 * kPairs; ++i) {
            Job j;
            j.receive = i >= kPairs;
            j.modem_class = i % 2 == 0 ? TOLLAN_CLASS_2 : TOLLAN_CLASS_2_0;
            int modem = f.AddModem(std::to_string(100 + i));
            ASSERT_GE(modem, 0);
            j.port = modem + 1;
            ports += "COM" + std::to_string(j.port) + "=" + f.Device(modem) + "\n";
            // Each fax has pages of its own, so a page that reaches the wrong end shows.
            j.pages[0] = MakePage(40 + i, 100 + 2 * static_cast<unsigned>(i));
            j.pages[1] = MakePage(70 + i, 101 + 2 * static_cast<unsigned>(i));
            const std::string name = f.dir + "/ch" + std::to_string(i);
            if (j.receive) {
                WriteFile(name + "_out_p1.g3", j.pages[0]);
                WriteFile(name + "_out_p2.g3", j.pages[1]);
                j.station = f.AddCallingStation(std::to_string(300 + i), {name + "_out_p1.g3", name + "_out_p2.g3"});
                j.base = name + "_in.g3";
            } else {
                WriteFile(name + "_p1.g3", j.pages[0]);
                WriteFile(name + "_p2.g3", j.pages[1]);
                SimStationConfig answering;
                answering.number = std::to_string(200 + i);
                answering.page_dir = f.dir;
                answering.base = "st" + std::to_string(i);
                j.station = SimAddStation(f.sim, answering);
                j.base = name + ".g3";
            }
            jobs.push_back(j);
        }
        ASSERT_TRUE(SimStart(f.sim));
        profile = std::make_unique<ProfileFile>(ports);
        WaitClockParty party;  // for the opens, the clock waits on this thread
        // Ports are opened one at a time: the class set before an open is
        // library-wide.
        for (Job &j : jobs) {
            SetModemClass(0, j.modem_class);
            ASSERT_EQ(PortOpen(&j.channel, j.port, "ATZ"), TOLLAN_OK) << "port " << j.port;
            SetLocalID(j.channel, ("ID" + std::to_string(j.port)).c_str());
        }
    }

    void TearDown() override {
        WaitClockParty party;
        for (Job &j : jobs)
            if (j.channel >= 0) PortClose(j.channel);
        SetModemCommandInterval(500);
        SetTraceOption(0);
    }

    // The host answers after the first RING, looking every 100 ms.
    void Receive(Job &j) {
        if (!SimStationCall(f.sim, j.station, std::to_string(100 + j.port - 1))) return;
        int32_t ring = 0;
        for (int look = 0; ring != 1 && look < 1000; ++look) {
            if (WaitForRing(j.channel, &ring) != TOLLAN_OK) return;
            if (ring != 1) PlatSleep(100);
        }
        if (ring == 1) j.code = ReceiveFax(j.channel, j.base.c_str(), &j.pages_done);
    }

    void Send(Job &j) {
        j.code = SendFax(j.channel, std::to_string(200 + j.port - 1).c_str(), j.base.c_str(), 2);
        GetNumOfPagesSent(j.channel, &j.pages_done);
    }

    void RunAll() {
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (Job &j : jobs) {
            threads.emplace_back([this, &j, &ready] {
                WaitClockParty party;
                // All start together: the clock must not run ahead of a
                // channel whose thread has not yet begun.
                ++ready;
                while (ready.load() < 2 * kPairs) std::this_thread::yield();
                if (j.receive)
                    Receive(j);
                else
                    Send(j);
            });
        }
        for (std::thread &t : threads) t.join();
    }
};

TEST_F(TwentyChannels, TenSendAndTenReceiveTwoPagesEachWhole) {
    HangGuard guard("twenty channels", 100, WaitClockState);
    RunAll();
    for (const Job &j : jobs) {
        SCOPED_TRACE("port " + std::to_string(j.port) + (j.receive ? " receiving" : " sending") + " class " +
                     std::to_string(j.modem_class));
        EXPECT_EQ(j.code, TOLLAN_OK);
        EXPECT_EQ(j.pages_done, 2);
        if (j.receive) {
            const std::string stem = j.base.substr(0, j.base.size() - 3);
            EXPECT_EQ(ReadFile(stem + "_p1.g3"), j.pages[0]);
            EXPECT_EQ(ReadFile(stem + "_p2.g3"), j.pages[1]);
        } else {
            // The station ends its side of the call on the emulator's own time.
            ASSERT_TRUE(SimWaitStation(f.sim, j.station, 1, 20000));
            SimStationResult r = SimStationResults(f.sim, j.station);
            ASSERT_EQ(r.page_files.size(), 2u);
            EXPECT_EQ(ReadFile(r.page_files[0]), j.pages[0]);
            EXPECT_EQ(ReadFile(r.page_files[1]), j.pages[1]);
            EXPECT_EQ(r.remote_id, "ID" + std::to_string(j.port));
        }
    }
}

// A failing call's error belongs to the thread that made it: another
// channel's thread neither sees nor takes it.
TEST(LastError, EachThreadReadsItsOwn) {
    GetLastFaxError();
    ProfileFile profile("[Ports]\nCOM1=/dev/tollan-no-such-modem\n");
    setenv("TOLLAN_LOCK_DIR", "/tollan-no-lock-dir", 1);  // no lock file is made anywhere
    std::thread failing([] {
        int32_t ch = -1;
        EXPECT_EQ(TOLLAN_E_PORT_OPEN, PortOpen(&ch, 1, "ATZ"));
        std::thread other([] { EXPECT_EQ(0, GetLastFaxError()); });
        other.join();
        EXPECT_EQ(ENOENT, GetLastFaxError());
    });
    failing.join();
    unsetenv("TOLLAN_LOCK_DIR");
    EXPECT_EQ(0, GetLastFaxError());
}

}  // namespace
