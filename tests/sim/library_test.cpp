// The library's sessions against emulated modems: each fax goes through the
// emulator to a built-in station, whose received pages must equal the pages
// sent.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "engine/tollan.h"
#include "platform/platform.h"
#include "support/scripted_modem.h"
#include "support/wait_clock.h"
#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

class LibraryTest : public ::testing::Test {
protected:
    LibraryTest() : LibraryTest(true) {}
    // waiting_clock: the library and the emulator on one clock that moves
    // only while both wait, the library's waits at 20 times the emulator's
    // own times; else both run on real time.
    explicit LibraryTest(bool waiting_clock)
        : wait_clock(waiting_clock ? std::make_unique<WaitClock>(20) : nullptr),
          sim_clock(waiting_clock ? std::make_unique<SimOnWaitClock>(*wait_clock) : nullptr),
          f(waiting_clock ? FastConfig() : RealTimeConfig()) {}

    // Quick rings, and the T.30 times as they are: a library on real time
    // keeps its own pace between commands, longer than the short times of
    // the waiting clock's far end allow.
    static SimConfig RealTimeConfig() {
        SimConfig c = FastConfig();
        c.timings = SimTimings{};
        c.timings.ring_interval = 200;
        c.timings.give_up = 10000;
        return c;
    }

    std::unique_ptr<WaitClock> wait_clock;  // made before the emulator, gone after it
    std::unique_ptr<SimOnWaitClock> sim_clock;
    SimFixture f;
    int modem = -1;
    std::string page1 = MakePage(60, 5), page2 = MakePage(90, 6);
    std::unique_ptr<ProfileFile> profile;

    void SetUp() override {
        modem = f.AddModem("100");
        f.AddAnsweringStation("200");
        ASSERT_TRUE(SimStart(f.sim));
        profile = std::make_unique<ProfileFile>("[Ports]\nCOM1=" + f.Device(modem) + "\n");
        WriteFile(f.dir + "/doc_p1.g3", page1);
        WriteFile(f.dir + "/doc_p2.g3", page2);
    }

    int32_t Open(int modem_class, int port = 1) {
        int32_t ch = -1;
        SetModemClass(0, modem_class);
        EXPECT_EQ(PortOpen(&ch, port, "ATZ"), TOLLAN_OK);
        SetLocalID(ch, "12345");
        return ch;
    }

    // The host's side of an incoming call: polls for RING, then ReceiveFax.
    static uint16_t AnswerAndReceive(int32_t ch, const std::string &base, int16_t *pages) {
        int32_t ring = 0;
        for (const uint32_t start = PlatTickCount(); ring != 1 && PlatElapsed(start) < 100000;) {
            if (WaitForRing(ch, &ring) != TOLLAN_OK) return TOLLAN_E_READ;
            if (ring != 1) PlatSleep(10);  // on the library's clock: the emulator rings meanwhile
        }
        if (ring != 1) return TOLLAN_E_TIMEOUT;
        return ReceiveFax(ch, base.c_str(), pages);
    }

    void ReceiveFromStation(int modem_class) {
        int caller = f.AddCallingStation("300", {f.dir + "/doc_p1.g3", f.dir + "/doc_p2.g3"});
        int32_t ch = Open(modem_class);
        ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
        int16_t pages = 0;
        EXPECT_EQ(AnswerAndReceive(ch, f.dir + "/in.g3", &pages), TOLLAN_OK);
        EXPECT_EQ(pages, 2);
        EXPECT_EQ(PortClose(ch), TOLLAN_OK);
        EXPECT_EQ(ReadFile(f.dir + "/in_p1.g3"), page1);
        EXPECT_EQ(ReadFile(f.dir + "/in_p2.g3"), page2);
        ASSERT_TRUE(SimWaitStation(f.sim, caller, 1, 5000));
        EXPECT_EQ(SimStationResults(f.sim, caller).pages, 2);
        EXPECT_EQ(SimStationResults(f.sim, caller).hangup_code, 0);
    }

    void ExpectStationGotBothPages() {
        ASSERT_TRUE(SimWaitStation(f.sim, f.station, 1, 5000));
        SimStationResult r = SimStationResults(f.sim, f.station);
        ASSERT_EQ(r.pages, 2);
        EXPECT_EQ(r.hangup_code, 0);
        EXPECT_EQ(r.remote_id, "12345");
        EXPECT_EQ(ReadFile(r.page_files[0]), page1);
        EXPECT_EQ(ReadFile(r.page_files[1]), page2);
    }
};

TEST_F(LibraryTest, SendClass1FaxSendsTwoPagesToTheStation) {
    int32_t ch = Open(TOLLAN_CLASS_1);
    EXPECT_EQ(SendClass1Fax(ch, "200", (f.dir + "/doc.g3").c_str(), 2), TOLLAN_OK);
    int16_t sent = 0;
    GetNumOfPagesSent(ch, &sent);
    EXPECT_EQ(sent, 2);
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);
    ExpectStationGotBothPages();
}

TEST_F(LibraryTest, SendFaxSendsTwoPagesInClass2) {
    int32_t ch = Open(TOLLAN_CLASS_2);
    EXPECT_EQ(SendFax(ch, "200", (f.dir + "/doc.g3").c_str(), 2), TOLLAN_OK);
    int16_t sent = 0;
    GetNumOfPagesSent(ch, &sent);
    EXPECT_EQ(sent, 2);
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);
    ExpectStationGotBothPages();
}

TEST_F(LibraryTest, SendFaxSendsTwoPagesInClass20) {
    int32_t ch = Open(TOLLAN_CLASS_AUTO);  // the modem takes 2.0
    EXPECT_EQ(SendFax(ch, "200", (f.dir + "/doc.g3").c_str(), 2), TOLLAN_OK);
    int16_t sent = 0;
    GetNumOfPagesSent(ch, &sent);
    EXPECT_EQ(sent, 2);
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);
    ExpectStationGotBothPages();
}

TEST_F(LibraryTest, ReceiveFaxTakesTwoPagesInClass2) { ReceiveFromStation(TOLLAN_CLASS_2); }

TEST_F(LibraryTest, ReceiveFaxTakesTwoPagesInClass20) { ReceiveFromStation(TOLLAN_CLASS_2_0); }

// A second process runs ReceiveFax on another emulated modem; this one sends
// to it through the exchange.
class TwoProcessTest : public LibraryTest {
protected:
    pid_t receiver = -1;
    int to_receiver = -1;  // where the receiver learns its class and modem

    TwoProcessTest() : LibraryTest(false) {}

    // Two library processes cannot share the waiting clock: they run on
    // real time, with the library's own time-outs, so a slow or loaded
    // machine only makes them slower. Short pauses between commands keep
    // them quick; the receiver, forked after, keeps the setting.
    // It is forked before the emulator's thread starts: the child of a
    // threaded process can find a lock (the sanitizer's allocator's) held
    // by a thread it does not have, and wait on it for ever.
    void SetUp() override {
        SetModemCommandInterval(50);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        receiver = fork();
        ASSERT_NE(receiver, -1);
        if (receiver == 0) {
            close(fds[1]);
            _exit(RunReceiver(fds[0]));
        }
        close(fds[0]);
        to_receiver = fds[1];
        LibraryTest::SetUp();
    }

    void TearDown() override {
        if (to_receiver != -1) close(to_receiver);
        if (receiver > 0) {  // a test that failed before it looked
            kill(receiver, SIGKILL);
            waitpid(receiver, nullptr, 0);
        }
        SetModemCommandInterval(500);
    }

    // The receiver's life: its class and device, one per line, then a
    // call answered. Its exit status: the pages taken, or 50 and more for
    // a failure.
    int RunReceiver(int from_parent) {
        std::string told;
        char buf[256];
        for (ssize_t n; (n = read(from_parent, buf, sizeof buf)) > 0;) told.append(buf, static_cast<size_t>(n));
        const size_t eol = told.find('\n');
        if (eol == std::string::npos) return 101;
        ProfileFile own("[Ports]\nCOM2=" + told.substr(eol + 1) + "\n");
        int32_t ch = -1;
        SetModemClass(0, std::stoi(told.substr(0, eol)));
        if (PortOpen(&ch, 2, "ATZ") != TOLLAN_OK) return 100;
        int16_t pages = 0;
        const uint16_t rc = AnswerAndReceive(ch, f.dir + "/far.g3", &pages);
        PortClose(ch);
        return rc == TOLLAN_OK ? pages : 50 + (rc % 50);
    }

    void StartReceiver(int modem_class) {
        const int modem101 = SimAddModem(f.sim, SimModemConfig{"101", kSimAllClasses, {}, {}});
        const std::string told = std::to_string(modem_class) + "\n" + f.Device(modem101);
        ASSERT_EQ(write(to_receiver, told.data(), told.size()), static_cast<ssize_t>(told.size()));
        close(to_receiver);
        to_receiver = -1;
    }

    // The number of pages the receiver took, or -1 (a receiver still at it
    // a minute after the sender is done has hung).
    int ReceiverPages() {
        int status = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (waitpid(receiver, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                kill(receiver, SIGKILL);
                waitpid(receiver, &status, 0);
                receiver = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        receiver = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void ExpectFarEndGotBothPages() {
        EXPECT_EQ(ReceiverPages(), 2);
        EXPECT_EQ(ReadFile(f.dir + "/far_p1.g3"), page1);
        EXPECT_EQ(ReadFile(f.dir + "/far_p2.g3"), page2);
    }
};

TEST_F(TwoProcessTest, SendFaxClass20ToReceiveFaxClass2) {
    StartReceiver(TOLLAN_CLASS_2);
    int32_t ch = Open(TOLLAN_CLASS_2_0);
    EXPECT_EQ(SendFax(ch, "101", (f.dir + "/doc.g3").c_str(), 2), TOLLAN_OK);
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);
    ExpectFarEndGotBothPages();
}

TEST_F(TwoProcessTest, SendFaxClass2ToReceiveFaxClass20) {
    StartReceiver(TOLLAN_CLASS_2_0);
    int32_t ch = Open(TOLLAN_CLASS_2);
    EXPECT_EQ(SendFax(ch, "101", (f.dir + "/doc.g3").c_str(), 2), TOLLAN_OK);
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);
    ExpectFarEndGotBothPages();
}

TEST_F(TwoProcessTest, SendClass1FaxToReceiveFaxClass20) {
    StartReceiver(TOLLAN_CLASS_2_0);
    int32_t ch = Open(TOLLAN_CLASS_1);
    EXPECT_EQ(SendClass1Fax(ch, "101", (f.dir + "/doc.g3").c_str(), 2), TOLLAN_OK);
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);
    ExpectFarEndGotBothPages();
}

}  // namespace
