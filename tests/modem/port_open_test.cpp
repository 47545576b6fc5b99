// PortOpen's dialogue and its failure codes in order, device naming, the slot
// table, and the exports on an open port. Ports are pseudo-terminals mapped in
// a temporary profile.
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "modem/modem_io.h"
#include "modem/serial_port.h"
#include "modem_fixture.h"
#include "platform/platform.h"
#include "support/fast_clock.h"
#include "support/fault_platform.h"

namespace {

const char kOk[] = "\r\nOK\r\n";
const char kError[] = "\r\nERROR\r\n";

std::string PortsProfile(const std::vector<std::pair<int, std::string>> &ports) {
    std::string text = "[Fax]\nfdr_wait=1500\n[Ports]\n";
    for (const auto &p : ports) text += "COM" + std::to_string(p.first) + "=" + p.second + "\n";
    return text;
}

// The port's set-up calls in the order PortOpen makes them.
constexpr PortOp kSetupSteps[] = {PortOp::kPurge, PortOp::kGetSettings, PortOp::kSetSettings, PortOp::kRaiseLines};

class PortOpenTest : public ModemTest {
protected:
    void SetUp() override {
        ModemTest::SetUp();
        port_ = std::make_unique<FaultPlatform>();  // over the waiting clock
        profile_ = std::make_unique<ProfileFile>(PortsProfile({{3, modem_.Device()}}));
        char dir[] = "/tmp/tollan-lock-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        lock_dir_ = dir;
        setenv("TOLLAN_LOCK_DIR", dir, 1);
        GetLastFaxError();
    }
    void TearDown() override {
        for (int ch = 0; ch < kMaxChannels; ++ch)
            if (g_channels[ch].in_use) PortClose(ch);
        port_.reset();
        profile_.reset();
        unsetenv("TOLLAN_LOCK_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(lock_dir_, ignored);
        ModemTest::TearDown();
    }
    // The lock file of the modem's pseudo-terminal: /dev/pts/N gives pts_N.
    std::string LockFile() const {
        std::string name = modem_.Device().substr(strlen("/dev/"));
        std::replace(name.begin(), name.end(), '/', '_');
        return lock_dir_ + "/LCK.." + name;
    }
    // The usual modem: accepts everything PortOpen says.
    void PlayAcceptingModem(const char *init = "ATZ\r\n") {
        modem_.On(init, kOk).On("AT+FCLASS=2.0\r\n", kOk).On("ATV1Q0\r\n", kOk);
    }
    bool SlotFreeAndPortClosed(int slot) const {
        return g_channels[slot].in_use == 0 && port_->Closed().size() == port_->Opened().size();
    }
    // Every open from now on is refused, its device name only recorded: no
    // real serial port is touched.
    void RefuseOpens() { port_->Fail(PortOp::kOpen, 1, ENOENT, FaultPlatform::kFromThenOn); }

    std::unique_ptr<FaultPlatform> port_;
    std::unique_ptr<ProfileFile> profile_;
    std::string lock_dir_;
};

// ---- The dialogue ---------------------------------------------------------------

TEST_F(PortOpenTest, OpensConfiguresAndInitialisesTheModem) {
    PlayAcceptingModem();
    modem_.Start();
    g_settings.modem_command_interval = 120;
    g_channels[0].bit_rate = 2;
    g_channels[0].scan_time = 3;
    g_channels[0].reports.hangup_code = 50;
    g_channels[0].line_type = 1;
    int32_t ch = -1;
    ASSERT_EQ(TOLLAN_OK, PortOpen(&ch, 3, "ATZ"));
    EXPECT_TRUE(modem_.Done(1000)) << modem_.Failure();
    EXPECT_EQ("ATZ\r\nAT+FCLASS=2.0\r\nATV1Q0\r\n", modem_.Written());
    EXPECT_EQ(0, ch);
    const FaxChannel &c = g_channels[0];
    EXPECT_EQ(1, c.in_use);
    EXPECT_EQ(TOLLAN_CLASS_2_0, c.modem_class);
    EXPECT_EQ(120, c.command_interval);
    EXPECT_EQ(6000u, c.io_timeout);
    EXPECT_EQ(5, c.bit_rate);
    EXPECT_EQ(0, c.scan_time);
    EXPECT_EQ(0, c.reports.hangup_code);
    EXPECT_EQ(1, c.line_type);  // kept from the slot's earlier use
    EXPECT_EQ(std::vector<std::string>{modem_.Device()}, port_->Opened());

    int fd = -1;
    ASSERT_EQ(TOLLAN_OK, GetCommHandle(ch, &fd));
    EXPECT_EQ(c.comm_handle, fd);
    termios t{};
    ASSERT_EQ(0, tcgetattr(fd, &t));
    EXPECT_EQ(B19200, cfgetospeed(&t));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), t.c_cflag & CSIZE);
    EXPECT_EQ(0u, t.c_cflag & (PARENB | CSTOPB));
    EXPECT_NE(0u, t.c_cflag & CRTSCTS);
    EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF | ICRNL));
    EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO));
    EXPECT_EQ(0x11, t.c_cc[VSTART]);
    EXPECT_EQ(0x13, t.c_cc[VSTOP]);
    EXPECT_EQ(0, t.c_cc[VMIN]);
    EXPECT_EQ(0, t.c_cc[VTIME]);
}

TEST_F(PortOpenTest, CloseGivesTheOldLineSettingsBack) {
    int probe = open(modem_.Device().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_NE(-1, probe);
    termios before{};
    tcgetattr(probe, &before);
    before.c_iflag |= IXON;  // something PortOpen changes
    cfsetospeed(&before, B9600);
    tcsetattr(probe, TCSANOW, &before);

    PlayAcceptingModem();
    modem_.Start();
    int32_t ch = -1;
    ASSERT_EQ(TOLLAN_OK, PortOpen(&ch, 3, "ATZ"));
    termios during{};
    tcgetattr(probe, &during);
    EXPECT_EQ(0u, during.c_iflag & IXON);
    ASSERT_EQ(TOLLAN_OK, PortClose(ch));
    termios after{};
    tcgetattr(probe, &after);
    EXPECT_NE(0u, after.c_iflag & IXON);
    EXPECT_EQ(B9600, cfgetospeed(&after));
    close(probe);
}

TEST_F(PortOpenTest, Class1SendsNoClassCommand) {
    modem_.On("AT&F\r\n", kOk).On("ATV1Q0\r\n", kOk);
    modem_.Start();
    ASSERT_EQ(TOLLAN_OK, SetModemClass(0, TOLLAN_CLASS_1));
    int32_t ch = -1;
    ASSERT_EQ(TOLLAN_OK, PortOpen(&ch, 3, "AT&F"));
    EXPECT_EQ("AT&F\r\nATV1Q0\r\n", modem_.Written());
    EXPECT_EQ(TOLLAN_CLASS_1, g_channels[ch].modem_class);
}

// ---- Failure codes in order ----------------------------------------------------------

TEST_F(PortOpenTest, BadArgumentsGive118EvenWithNoFreeSlot) {
    for (auto &c : g_channels) c.in_use = 1;
    int32_t ch = 77;
    EXPECT_EQ(TOLLAN_E_ARGUMENT, PortOpen(&ch, 0, "ATZ"));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, PortOpen(&ch, 21, "ATZ"));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, PortOpen(&ch, 3, ""));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, PortOpen(&ch, 3, nullptr));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, PortOpen(nullptr, 3, "ATZ"));
    EXPECT_EQ(TOLLAN_E_ARGUMENT, PortOpen(&ch, 3, std::string(254, 'A').c_str()));
    EXPECT_EQ(TOLLAN_E_NO_FREE_SLOT, PortOpen(&ch, 3, std::string(253, 'A').c_str()));
    EXPECT_EQ(77, ch);
    EXPECT_TRUE(port_->Opened().empty());
    for (auto &c : g_channels) c.in_use = 0;
}

TEST_F(PortOpenTest, AnInitStringThatWouldStartAnotherCommandGives118) {
    int32_t ch = -1;
    for (const char *init : {"ATZ\rATS0=1", "ATZ\nATS0=1", "ATZ\x1b", "AT\x7f"}) {
        SCOPED_TRACE(Escaped(init));
        EXPECT_EQ(TOLLAN_E_ARGUMENT, PortOpen(&ch, 3, init));
    }
    EXPECT_TRUE(port_->Opened().empty());
}

TEST_F(PortOpenTest, AModemThatNeverEndsALineFailsTheOpenAtItsTimeout) {
    // A byte every 40 clock ms for 80 clock seconds: no byte is late, the
    // answer never comes.
    modem_.Expect("ATZ\r\n").Trickle(std::string(2000, 'x'), 2);
    modem_.Start();
    int32_t ch = -1;
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(TOLLAN_E_INIT, PortOpen(&ch, 3, "ATZ"));
    const uint32_t spent = PlatElapsed(start);
    EXPECT_GE(spent, 6000u);
    EXPECT_LT(spent, 30000u);
    EXPECT_FALSE(modem_.Done(0)) << "the modem was still talking";
    EXPECT_TRUE(SlotFreeAndPortClosed(0));
}

TEST_F(PortOpenTest, TheLongestInitStringGoesOutWhole) {
    std::string init = "AT" + std::string(251, 'E');
    PlayAcceptingModem((init + "\r\n").c_str());
    modem_.Start();
    int32_t ch = -1;
    EXPECT_EQ(TOLLAN_OK, PortOpen(&ch, 3, init.c_str()));
}

TEST_F(PortOpenTest, AMissingDeviceGives143AndItsErrorOnce) {
    ProfileFile profile(PortsProfile({{5, "/dev/tollan-no-such-modem"}}));
    int32_t ch = -1;
    EXPECT_EQ(TOLLAN_E_PORT_OPEN, PortOpen(&ch, 5, "ATZ"));
    EXPECT_TRUE(Traced("PortOpen: CreateFile error, 2"));
    EXPECT_EQ(ENOENT, GetLastFaxError());
    EXPECT_EQ(0, GetLastFaxError());
    EXPECT_EQ(0, g_channels[0].in_use);
}

TEST_F(PortOpenTest, PortSetupFailuresCloseThePortAndFreeTheSlot) {
    struct Case {
        int step;
        uint16_t code;
    };
    for (const Case &c : {Case{1, TOLLAN_E_PORT_PURGE}, Case{2, TOLLAN_E_PORT_GET_STATE},
                          Case{3, TOLLAN_E_PORT_SET_STATE}, Case{4, TOLLAN_E_PORT_SET_STATE}}) {
        SCOPED_TRACE(c.step);
        for (PortOp op : kSetupSteps) port_->Heal(op);
        port_->Fail(kSetupSteps[c.step - 1], 1, EIO, FaultPlatform::kFromThenOn);
        int32_t ch = -1;
        EXPECT_EQ(c.code, PortOpen(&ch, 3, "ATZ"));
        EXPECT_EQ(EIO, GetLastFaxError());
        EXPECT_TRUE(SlotFreeAndPortClosed(0));
    }
    EXPECT_EQ("", modem_.Written());
}

TEST_F(PortOpenTest, LinesThatDoNotApplyToAPseudoTerminalAreNoFailure) {
    port_->Fail(PortOp::kRaiseLines, 1, ENOTTY, FaultPlatform::kFromThenOn);
    PlayAcceptingModem();
    modem_.Start();
    int32_t ch = -1;
    EXPECT_EQ(TOLLAN_OK, PortOpen(&ch, 3, "ATZ"));
}

TEST_F(PortOpenTest, NoOkToTheInitStringGives109) {
    modem_.On("ATZ\r\n", kError);
    modem_.Start();
    int32_t ch = -1;
    EXPECT_EQ(TOLLAN_E_INIT, PortOpen(&ch, 3, "ATZ"));
    EXPECT_TRUE(SlotFreeAndPortClosed(0));
    EXPECT_EQ("ATZ\r\n", modem_.Written());
}

TEST_F(PortOpenTest, ASilentModemGives109) {
    int32_t ch = -1;
    modem_.Start();
    EXPECT_EQ(TOLLAN_E_INIT, PortOpen(&ch, 3, "ATZ"));
    EXPECT_TRUE(SlotFreeAndPortClosed(0));
}

TEST_F(PortOpenTest, BothClassesRefusedGives111) {
    modem_.On("ATZ\r\n", kOk).On("AT+FCLASS=2.0\r\n", kError).On("AT+FCLASS=2\r\n", kError);
    modem_.Start();
    int32_t ch = -1;
    EXPECT_EQ(TOLLAN_E_CLASS, PortOpen(&ch, 3, "ATZ"));
    EXPECT_TRUE(Traced("PortOpen: modem class set error -1"));
    EXPECT_TRUE(SlotFreeAndPortClosed(0));
    EXPECT_EQ("ATZ\r\nAT+FCLASS=2.0\r\nAT+FCLASS=2\r\n", modem_.Written());
}

TEST_F(PortOpenTest, NoOkToVerboseResultsGives120) {
    modem_.On("ATZ\r\n", kOk).On("AT+FCLASS=2.0\r\n", kOk).On("ATV1Q0\r\n", kError);
    modem_.Start();
    int32_t ch = -1;
    EXPECT_EQ(TOLLAN_E_NO_RESPONSE, PortOpen(&ch, 3, "ATZ"));
    EXPECT_TRUE(Traced("PortOpen: モデムから応答がありません"));
    EXPECT_TRUE(SlotFreeAndPortClosed(0));
}

// ---- Lock files -----------------------------------------------------------------------

// Another program's lock file for the port, naming process pid.
void WriteLock(const std::string &path, pid_t pid) {
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fprintf(f, "%10d\n", static_cast<int>(pid));
    fclose(f);
}

std::string FileText(const std::string &path) {
    std::string text;
    if (FILE *f = fopen(path.c_str(), "r")) {
        char buf[64];
        size_t n = fread(buf, 1, sizeof buf, f);
        text.assign(buf, n);
        fclose(f);
    }
    return text;
}

std::string LockText(pid_t pid) {
    char text[16];
    snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

TEST_F(PortOpenTest, APortLockedByALiveProgramGives155AndTheModemHearsNothing) {
    pid_t other = fork();
    ASSERT_NE(-1, other);
    if (other == 0) {
        pause();
        _exit(0);
    }
    WriteLock(LockFile(), other);
    modem_.Start();
    int32_t ch = -1;
    EXPECT_EQ(TOLLAN_E_PORT_LOCKED, PortOpen(&ch, 3, "ATZ"));
    EXPECT_TRUE(port_->Opened().empty());
    EXPECT_EQ(LockText(other), FileText(LockFile()));
    EXPECT_TRUE(Traced("is locked by process " + std::to_string(other)));
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    EXPECT_EQ("", modem_.Written());
}

TEST_F(PortOpenTest, AStaleLockIsTakenOverAndOursLastsUntilClose) {
    pid_t gone = fork();
    ASSERT_NE(-1, gone);
    if (gone == 0) _exit(0);
    ASSERT_EQ(gone, waitpid(gone, nullptr, 0));
    WriteLock(LockFile(), gone);
    PlayAcceptingModem();
    modem_.Start();
    int32_t ch = -1;
    ASSERT_EQ(TOLLAN_OK, PortOpen(&ch, 3, "ATZ"));
    EXPECT_EQ(LockText(getpid()), FileText(LockFile()));
    // A second channel of this program is refused by the lock too.
    int32_t again = -1;
    EXPECT_EQ(TOLLAN_E_PORT_LOCKED, PortOpen(&again, 3, "ATZ"));
    ASSERT_EQ(TOLLAN_OK, PortClose(ch));
    EXPECT_FALSE(std::filesystem::exists(LockFile()));
    // Nothing but the lock itself is left in the directory.
    EXPECT_TRUE(std::filesystem::is_empty(lock_dir_));
}

TEST_F(PortOpenTest, AnOpenThatFailsLaterGivesItsLockBack) {
    modem_.On("ATZ\r\n", kError);
    modem_.Start();
    int32_t ch = -1;
    EXPECT_EQ(TOLLAN_E_INIT, PortOpen(&ch, 3, "ATZ"));
    EXPECT_FALSE(std::filesystem::exists(LockFile()));
    RefuseOpens();
    EXPECT_EQ(TOLLAN_E_PORT_OPEN, PortOpen(&ch, 3, "ATZ"));
    EXPECT_TRUE(std::filesystem::is_empty(lock_dir_));
}

TEST_F(PortOpenTest, WithoutALockDirectoryThePortIsUsedUnlocked) {
    setenv("TOLLAN_LOCK_DIR", (lock_dir_ + "/missing").c_str(), 1);
    PlayAcceptingModem();
    modem_.Start();
    int32_t ch = -1;
    EXPECT_EQ(TOLLAN_OK, PortOpen(&ch, 3, "ATZ"));
    EXPECT_TRUE(Traced("opened without one"));
    EXPECT_EQ(TOLLAN_OK, PortClose(ch));
}

// ---- Device names -------------------------------------------------------------------

TEST_F(PortOpenTest, DeviceNamesComeFromTheProfileElseTtyS) {
    ProfileFile profile(PortsProfile({{8, "/dev/tollan-eight"}, {12, "/dev/tollan-twelve"}}));
    RefuseOpens();
    int32_t ch = -1;
    for (int port : {1, 8, 9, 12, 20}) EXPECT_EQ(TOLLAN_E_PORT_OPEN, PortOpen(&ch, port, "ATZ"));
    const std::vector<std::string> want = {"/dev/ttyS0", "/dev/tollan-eight", "/dev/ttyS8", "/dev/tollan-twelve",
                                           "/dev/ttyS19"};
    EXPECT_EQ(want, port_->Opened());
}

TEST_F(PortOpenTest, Ports8And12OpenTheirMappedModems) {
    ScriptedModem eight, twelve;
    eight.On("ATZ8\r\n", kOk).On("AT+FCLASS=2.0\r\n", kOk).On("ATV1Q0\r\n", kOk).Start();
    twelve.On("ATZ12\r\n", kOk).On("AT+FCLASS=2.0\r\n", kError).On("AT+FCLASS=2\r\n", kOk).On("ATV1Q0\r\n", kOk);
    twelve.Start();
    ProfileFile profile(PortsProfile({{8, eight.Device()}, {12, twelve.Device()}}));
    int32_t a = -1, b = -1;
    ASSERT_EQ(TOLLAN_OK, PortOpen(&a, 8, "ATZ8"));
    ASSERT_EQ(TOLLAN_OK, PortOpen(&b, 12, "ATZ12"));
    EXPECT_EQ(0, a);
    EXPECT_EQ(1, b);
    EXPECT_EQ(TOLLAN_CLASS_2_0, g_channels[a].modem_class);
    EXPECT_EQ(TOLLAN_CLASS_2, g_channels[b].modem_class);
    EXPECT_TRUE(eight.Done(1000)) << eight.Failure();
    EXPECT_TRUE(twelve.Done(1000)) << twelve.Failure();
}

// ---- The slot table -------------------------------------------------------------------

TEST_F(PortOpenTest, TwentyChannelsThenNoFreeSlotThenTheLowestFreeSlotIsReused) {
    g_settings.modem_command_interval = 0;
    std::vector<std::unique_ptr<ScriptedModem>> modems;
    std::vector<std::pair<int, std::string>> ports;
    for (int port = 1; port <= 20; ++port) {
        modems.push_back(std::make_unique<ScriptedModem>());
        ScriptedModem &m = *modems.back();
        m.On("ATZ\r\n", kOk).On("AT+FCLASS=2.0\r\n", kOk).On("ATV1Q0\r\n", kOk);
        if (port == 6 || port == 3) m.On("ATZ\r\n", kOk).On("AT+FCLASS=2.0\r\n", kOk).On("ATV1Q0\r\n", kOk);
        m.Start();
        ports.push_back({port, m.Device()});
    }
    ProfileFile profile(PortsProfile(ports));
    for (int port = 1; port <= 20; ++port) {
        int32_t ch = -1;
        ASSERT_EQ(TOLLAN_OK, PortOpen(&ch, port, "ATZ")) << port;
        EXPECT_EQ(port - 1, ch);
    }
    int32_t ch = -1;
    EXPECT_EQ(TOLLAN_E_NO_FREE_SLOT, PortOpen(&ch, 1, "ATZ"));

    ASSERT_EQ(TOLLAN_OK, PortClose(5));
    ASSERT_EQ(TOLLAN_OK, PortClose(2));
    EXPECT_EQ(TOLLAN_E_NOT_OPEN, PortClose(2));
    ASSERT_EQ(TOLLAN_OK, PortOpen(&ch, 6, "ATZ"));  // the same port again
    EXPECT_EQ(2, ch);
    ASSERT_EQ(TOLLAN_OK, PortOpen(&ch, 3, "ATZ"));
    EXPECT_EQ(5, ch);
    for (auto &m : modems) EXPECT_TRUE(m->Done(1000)) << m->Failure();
}

// ---- Close, clear, handle -------------------------------------------------------------

TEST_F(PortOpenTest, ChannelChecksOfTheOtherExports) {
    int fd = 0;
    for (int32_t bad : {-1, 20}) {
        EXPECT_EQ(TOLLAN_E_CHANNEL, PortClose(bad));
        EXPECT_EQ(TOLLAN_E_CHANNEL, PortClear(bad));
        EXPECT_EQ(TOLLAN_E_CHANNEL, GetCommHandle(bad, &fd));
    }
    EXPECT_EQ(TOLLAN_E_NOT_OPEN, PortClose(4));
    EXPECT_EQ(TOLLAN_E_NOT_OPEN, PortClear(4));
    EXPECT_EQ(TOLLAN_E_NOT_OPEN, GetCommHandle(4, &fd));
}

TEST_F(PortOpenTest, ClearDropsWhatTheModemSent) {
    PlayAcceptingModem();
    modem_.Send("\r\nRING\r\n");
    modem_.Start();
    int32_t ch = -1;
    ASSERT_EQ(TOLLAN_OK, PortOpen(&ch, 3, "ATZ"));
    ASSERT_TRUE(modem_.Done(1000));
    uint8_t b = 0;
    ASSERT_EQ(TOLLAN_OK, PortClear(ch));
    g_channels[ch].io_timeout = 200;
    EXPECT_EQ(TOLLAN_E_TIMEOUT, FaxReadByte(ch, &b));
}

TEST_F(PortOpenTest, ClearAndCloseFailures) {
    PlayAcceptingModem();
    modem_.Start();
    int32_t ch = -1;
    ASSERT_EQ(TOLLAN_OK, PortOpen(&ch, 3, "ATZ"));
    port_->Fail(PortOp::kPurge, 1, EIO, FaultPlatform::kFromThenOn);
    g_last_error = 0;
    EXPECT_EQ(TOLLAN_E_PURGE, PortClear(ch));
    EXPECT_TRUE(Traced("PortClear: API エラー 5"));
    EXPECT_EQ(0, g_last_error);  // a failed clear leaves the last error alone

    // A close that reports an error has still released the descriptor on
    // Linux, so the channel is freed with the 106.
    int fd = g_channels[ch].comm_handle;
    port_->Fail(PortOp::kClose, 1, EIO);
    EXPECT_EQ(TOLLAN_E_CLOSE, PortClose(ch));
    EXPECT_EQ(EIO, GetLastFaxError());
    EXPECT_EQ(0, g_channels[ch].in_use);
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
}

}  // namespace
