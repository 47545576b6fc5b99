// The waiting clock the emulator tests run on: it must not move while the
// far end is busy, however long the machine keeps it busy, and must jump
// through a wait when nothing can happen. A real pty pair, a far end on its
// own thread through the emulator's clock hooks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/wait_clock.h"

namespace {

class WaitClockTest : public ::testing::Test {
protected:
    WaitClock clock{1};
    const SimClockOps &far = clock.ForSim();
    int master = -1, fd = -1, stop[2] = {-1, -1};
    std::thread far_end;

    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(master, 0);
        ASSERT_EQ(0, grantpt(master));
        ASSERT_EQ(0, unlockpt(master));
        ASSERT_EQ(0, pipe(stop));
        fd = Plat().port_open(ptsname(master));
        ASSERT_GE(fd, 0);
        termios t{};
        ASSERT_EQ(0, Plat().port_get_settings(fd, &t));
        cfmakeraw(&t);
        ASSERT_EQ(0, Plat().port_set_settings(fd, &t));
    }
    void TearDown() override {
        if (far_end.joinable()) {
            char b = 1;
            EXPECT_EQ(1, write(stop[1], &b, 1));
            far_end.join();
        }
        Plat().port_close(fd);
        close(master);
        close(stop[0]);
        close(stop[1]);
    }
    // The far end: waits on the clock for a command, is kept busy for
    // busy_ms of real time (a loaded machine), answers, then waits for the end.
    void StartFarEnd(int busy_ms, std::string answer) {
        far_end = std::thread([this, busy_ms, answer] {
            pollfd fds[2] = {{stop[0], POLLIN, 0}, {master, static_cast<short>(answer.empty() ? 0 : POLLIN), 0}};
            while (far.poll(fds, 2, 1, -1) >= 0 && !(fds[0].revents & POLLIN)) {
                if (!(fds[1].revents & POLLIN)) continue;
                char command[16];
                far.port_read(master, command, sizeof command);
                std::this_thread::sleep_for(std::chrono::milliseconds(busy_ms));
                far.port_write(master, answer.data(), answer.size());
                fds[1].events = 0;
            }
        });
    }
};

TEST_F(WaitClockTest, TheClockStandsStillWhileTheFarEndIsBusy) {
    StartFarEnd(400, "OK\r\n");  // 400 ms of real time: a wait of 6 s on a 20-fold fast clock would be over
    ASSERT_EQ(3, Plat().port_write(fd, "AT\r", 3));
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(1, Plat().wait_readable(fd, -1, 300));
    EXPECT_EQ(0u, PlatElapsed(start));
    char got[8] = {};
    EXPECT_EQ(4, Plat().port_read(fd, got, sizeof got));
    EXPECT_STREQ("OK\r\n", got);
}

TEST_F(WaitClockTest, AWaitNothingCanEndPassesAtOnceByTheClock) {
    StartFarEnd(0, "");  // a silent far end
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(0, Plat().wait_readable(fd, -1, 80000));
    EXPECT_EQ(80000u, PlatElapsed(start));
    PlatSleep(500);
    EXPECT_EQ(80500u, PlatElapsed(start));
}

}  // namespace
