// AbortCall at each phase of each kind of session, against the emulator: the
// emulator calls AbortCall from its own thread the moment the call enters the
// phase. The call must return TOLLAN_E_ABORTED within a second of the
// library's clock, with the ending its class has on the wire (the emulator's
// transcript: DCN or AT+FK / AT+FKS once connected, the hang-up), the pages
// received whole kept, and the channel closing, opening again and answering.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/tollan.h"
#include "modem/modem_io.h"
#include "support/hang_guard.h"
#include "support/scripted_modem.h"
#include "support/wait_clock.h"
#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

enum class Kind { kSend2, kSend20, kReceive2, kReceive20, kSend1, kReceive1 };

struct AbortCell {
    Kind kind;
    SimPhase phase;
    int page;        // phases C and D: the page; else 0
    bool connected;  // the remote is told: DCN (class 1) or AT+FK(S) (class 2)
    const char *name;
    const char *station_faults = "";  // the far station's (SimParseFaults words)
    uint32_t after_ms = 0;  // phase kNone: the abort comes this long into the call, by the library's clock
};

// A dial is caught before the connection at a station that does not answer.
// The emulated calling station's frames come the moment the host answers, so
// an answering modem is connected by the time the host looks. Class 2
// modems train inside their negotiation when sending, so only the answering
// side has a training phase of its own; a class 1 caller is connected from
// the dial's CONNECT, when the called station's frames begin. A class 1
// modem answers with its answer tone first: caught in it, the answer is
// abandoned and the caller told nothing; caught at its CONNECT, when the
// modem sends flags for the called station's frames, the caller is told DCN.
const AbortCell kCells[] = {
    {Kind::kSend2, SimPhase::kDial, 0, false, "class2_send_dial", "noanswer"},
    {Kind::kSend2, SimPhase::kB, 0, true, "class2_send_negotiation"},
    {Kind::kSend2, SimPhase::kC, 1, true, "class2_send_page_data"},
    {Kind::kSend2, SimPhase::kD, 1, true, "class2_send_post_page"},
    {Kind::kSend20, SimPhase::kDial, 0, false, "class20_send_dial", "noanswer"},
    {Kind::kSend20, SimPhase::kB, 0, true, "class20_send_negotiation"},
    {Kind::kSend20, SimPhase::kC, 2, true, "class20_send_page_data"},
    {Kind::kSend20, SimPhase::kD, 1, true, "class20_send_post_page"},
    {Kind::kReceive2, SimPhase::kDial, 0, true, "class2_receive_answer"},
    {Kind::kReceive2, SimPhase::kB, 0, true, "class2_receive_negotiation"},
    {Kind::kReceive2, SimPhase::kTraining, 0, true, "class2_receive_training"},
    {Kind::kReceive2, SimPhase::kC, 2, true, "class2_receive_page_data"},
    {Kind::kReceive2, SimPhase::kD, 1, true, "class2_receive_post_page"},
    {Kind::kReceive20, SimPhase::kDial, 0, true, "class20_receive_answer"},
    {Kind::kReceive20, SimPhase::kB, 0, true, "class20_receive_negotiation"},
    {Kind::kReceive20, SimPhase::kTraining, 0, true, "class20_receive_training"},
    {Kind::kReceive20, SimPhase::kC, 1, true, "class20_receive_page_data"},
    {Kind::kReceive20, SimPhase::kD, 2, true, "class20_receive_post_page"},
    {Kind::kSend1, SimPhase::kDial, 0, false, "class1_send_dial", "noanswer"},
    {Kind::kSend1, SimPhase::kB, 0, true, "class1_send_negotiation"},
    {Kind::kSend1, SimPhase::kTraining, 0, true, "class1_send_training"},
    {Kind::kSend1, SimPhase::kC, 1, true, "class1_send_page_data"},
    {Kind::kSend1, SimPhase::kD, 1, true, "class1_send_post_page"},
    {Kind::kReceive1, SimPhase::kDial, 0, false, "class1_receive_answer"},
    {Kind::kReceive1, SimPhase::kB, 0, true, "class1_receive_negotiation"},
    // Past the answer's CONNECT, DIS sent, a caller that never sends DCS.
    {Kind::kReceive1, SimPhase::kNone, 0, true, "class1_receive_waiting_for_dcs", "silent@B", 5000},
    {Kind::kReceive1, SimPhase::kTraining, 0, true, "class1_receive_training"},
    {Kind::kReceive1, SimPhase::kC, 1, true, "class1_receive_page_data"},
    {Kind::kReceive1, SimPhase::kD, 1, true, "class1_receive_post_page"},
};

void PrintTo(const AbortCell &c, std::ostream *os) { *os << c.name; }

bool IsReceive(Kind k) { return k == Kind::kReceive2 || k == Kind::kReceive20 || k == Kind::kReceive1; }

int ClassOf(Kind k) {
    switch (k) {
    case Kind::kSend2: case Kind::kReceive2: return TOLLAN_CLASS_2;
    case Kind::kSend20: case Kind::kReceive20: return TOLLAN_CLASS_2_0;
    case Kind::kSend1: case Kind::kReceive1: return TOLLAN_CLASS_1;
    }
    return TOLLAN_CLASS_AUTO;
}

// What the host's modem sends on the line when told to end a connected
// call, as the transcript shows it.
std::string DisconnectOnWire(Kind k) {
    switch (k) {
    case Kind::kSend2: case Kind::kReceive2: return "AT+FK<CR>";
    case Kind::kSend20: case Kind::kReceive20: return "AT+FKS<CR>";
    case Kind::kSend1: return "<FF><DC3><FB><DLE><ETX>";  // DCN, final frame
    case Kind::kReceive1: return "<FF><DC3><FA><DLE><ETX>";  // the called station's DCN
    }
    return "?";
}

// A host thread calls AbortCall a moment (by the library's clock) after the
// modem's call enters the cell's phase, and notes the library's clock then.
// The moment lets what the modem says on entering the phase reach the
// library first, as it would reach any host that looks a little later:
// AbortCall wakes the library at once, so without it the cell would hang on
// which of the two the library's wait saw first.
constexpr uint32_t kHostNoticesMs = 10;

struct AbortTrigger {
    int modem = -1;
    SimPhase phase = SimPhase::kNone;
    int page = 0;
    std::atomic<int32_t> channel{-1};
    std::atomic<bool> fired{false};
    std::atomic<uint32_t> at_tick{0};
    std::string transcript;
    std::atomic<off_t> transcript_at{0};  // its size then: what follows is the ending
    std::mutex host_lock;
    bool armed = false;  // the phase came; the host thread runs
    std::thread host;

    static void Hook(void *user, int modem, SimPhase phase, int page) {
        auto *t = static_cast<AbortTrigger *>(user);
        if (getenv("TOLLAN_ABORT_TRACE")) fprintf(stderr, "phase %d page %d\n", static_cast<int>(phase), page);
        std::lock_guard<std::mutex> hold(t->host_lock);
        if (modem != t->modem || phase != t->phase || page != t->page || t->armed) return;
        t->armed = true;
        t->host = std::thread([t] {
            PlatSleep(kHostNoticesMs);
            t->Fire();
        });
    }

    // After the call: the host thread, if the phase came.
    void Join() {
        WaitClockOutside outside;
        std::lock_guard<std::mutex> hold(host_lock);
        if (host.joinable()) host.join();
    }

    void Fire() {
        at_tick = PlatTickCount();
        struct stat st {};
        if (stat(transcript.c_str(), &st) == 0) transcript_at = st.st_size;
        fired = true;
        AbortCall(channel.load());
    }
};

// Library time per emulator time. Receiving runs as in the fault matrix,
// where the emulator's T.30 waits stay short by the library's clock; sending
// at the emulator's own pace, so that its modem's carrier training before
// page data (a quarter second) does not pass for a slow ending.
constexpr uint32_t kReceiveClockRatio = 20;
constexpr uint32_t kSendClockRatio = 1;
constexpr uint32_t kAbortEndsWithinMs = 1000;
// A class 1 modem's answer tone, by the emulator's clock (3 s of the library's).
constexpr int kAnswerToneMs = 150;

class AbortTest : public ::testing::TestWithParam<AbortCell> {
protected:
    WaitClock clock{kReceiveClockRatio};
    SimOnWaitClock sim_clock{clock};
    std::string transcript_path = MakeTempDir() + "/transcript";
    SimFixture f{WithTranscript(transcript_path)};
    int modem = -1;
    const std::string page1 = MakePage(60, 5), page2 = MakePage(90, 6);
    std::unique_ptr<ProfileFile> profile;
    AbortTrigger trigger;

    static SimConfig WithTranscript(const std::string &path) {
        SimConfig c = FastConfig();
        c.transcript = path;
        return c;
    }

    void SetUp() override {
        SetModemCommandInterval(100);
        SimQuirks quirks;
        if (GetParam().kind == Kind::kReceive1) quirks.answer_tone_ms = kAnswerToneMs;
        modem = f.AddModem("100", kSimAllClasses, quirks);
        f.AddAnsweringStation("200");
        trigger.modem = modem;
        trigger.transcript = transcript_path;
        SimSetPhaseHook(f.sim, AbortTrigger::Hook, &trigger);
        ASSERT_TRUE(SimStart(f.sim));
        profile = std::make_unique<ProfileFile>("[Ports]\nCOM1=" + f.Device(modem) + "\n");
        WriteFile(f.dir + "/doc_p1.g3", page1);
        WriteFile(f.dir + "/doc_p2.g3", page2);
    }

    void TearDown() override {
        SimSetPhaseHook(f.sim, nullptr, nullptr);
        SetModemCommandInterval(500);
        std::string dir = transcript_path.substr(0, transcript_path.rfind('/'));
        unlink(transcript_path.c_str());
        rmdir(dir.c_str());
    }

    // A calling station sends the two pages; the host answers at the first RING.
    uint16_t Receive(const AbortCell &c, int32_t ch, int16_t *pages) {
        int caller = f.AddCallingStation("300", {f.dir + "/doc_p1.g3", f.dir + "/doc_p2.g3"});
        SimFaults caller_faults;
        if (!SimParseFaults(c.station_faults, &caller_faults)) return 0xFFFF;
        SimSetStationFaults(f.sim, caller, caller_faults);
        if (!SimStationCall(f.sim, caller, "100")) return 0xFFFF;
        int32_t ring = 0;
        for (int look = 0; ring != 1 && look < 1000; ++look) {
            if (WaitForRing(ch, &ring) != TOLLAN_OK) return 0xFFFF;
            if (ring != 1) PlatSleep(100);
        }
        if (ring != 1) return 0xFFFF;
        const std::string base = f.dir + "/in.g3";
        std::thread timer;
        if (c.after_ms > 0) timer = std::thread([this, c] { AbortLater(c.after_ms); });
        const uint16_t code = c.kind == Kind::kReceive1 ? ReceiveClass1Fax(ch, base.c_str(), pages)
                                                        : ReceiveFax(ch, base.c_str(), pages);
        if (timer.joinable()) timer.join();
        return code;
    }

    // The abort of a cell that names no phase: ms into the call.
    void AbortLater(uint32_t ms) {
        PlatSleep(ms);
        trigger.Fire();
    }

    uint16_t RunCall(const AbortCell &c, int32_t ch, int16_t *pages) {
        if (IsReceive(c.kind)) return Receive(c, ch, pages);
        const std::string base = f.dir + "/doc.g3";
        return c.kind == Kind::kSend1 ? SendClass1Fax(ch, "200", base.c_str(), 2) : SendFax(ch, "200", base.c_str(), 2);
    }

    // The transcript once the emulator logged the host's hang-up, which it
    // does on its own thread; without one, what there is after 10 s.
    std::string TranscriptWithHangUp() {
        for (int look = 0;; ++look) {
            std::string wire = ReadFile(transcript_path);
            const size_t from = std::min(wire.size(), static_cast<size_t>(trigger.transcript_at.load()));
            if (look == 2000 || wire.find("<- ATH0", from) != std::string::npos) return wire;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // The pages the receiving call counted are whole on disk.
    bool CountedPagesWhole(int pages) {
        const std::string sent[] = {page1, page2};
        for (int i = 1; i <= pages && i <= 2; ++i)
            if (ReadFile(f.dir + "/in_p" + std::to_string(i) + ".g3") != sent[i - 1]) return false;
        return true;
    }

    // The port opens again and the modem answers "AT". "" or what failed.
    static std::string Reopen(int modem_class) {
        int32_t ch = -1;
        SetModemClass(0, modem_class);
        uint16_t code = PortOpen(&ch, 1, "ATZ");
        if (code != TOLLAN_OK) return "PortOpen " + std::to_string(code);
        code = FaxModemCommand("AT\r\n", ch);
        PortClose(ch);
        return code == TOLLAN_OK ? "" : "AT " + std::to_string(code);
    }
};

TEST_P(AbortTest, EndsTheCallAsItsClassHasIt) {
    const AbortCell &c = GetParam();
    HangGuard guard(std::string("abort cell ") + c.name, 60, WaitClockState);
    if (getenv("TOLLAN_ABORT_TRACE")) SetTraceOption(2);
    trigger.phase = c.phase;
    trigger.page = c.page;
    if (!IsReceive(c.kind)) clock.SetRatio(kSendClockRatio);
    SimFaults station_faults;
    ASSERT_TRUE(SimParseFaults(c.station_faults, &station_faults));
    SimSetStationFaults(f.sim, f.station, station_faults);

    int32_t ch = -1;
    SetModemClass(0, ClassOf(c.kind));
    ASSERT_EQ(PortOpen(&ch, 1, "ATZ"), TOLLAN_OK);
    trigger.channel = ch;
    int16_t pages = -1;
    const uint16_t code = RunCall(c, ch, &pages);
    const uint32_t after_abort = PlatElapsed(trigger.at_tick.load());
    trigger.Join();
    ASSERT_TRUE(trigger.fired.load()) << "the call never reached the phase; it returned " << code;
    EXPECT_EQ(code, TOLLAN_E_ABORTED);
    EXPECT_LE(after_abort, kAbortEndsWithinMs) << "ms of library time from AbortCall to the call's return";
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);

    const std::string wire = TranscriptWithHangUp();
    const std::string ending = wire.substr(std::min(wire.size(), static_cast<size_t>(trigger.transcript_at.load())));
    EXPECT_NE(ending.find("ATH0"), std::string::npos) << "no hang-up:\n" << wire;
    const bool told = ending.find(DisconnectOnWire(c.kind)) != std::string::npos;
    EXPECT_EQ(told, c.connected);
    if (c.connected && ClassOf(c.kind) != TOLLAN_CLASS_1) {
        EXPECT_NE(ending.find("~> line: DCN"), std::string::npos) << "the modem told the station nothing";
    }
    if (IsReceive(c.kind)) {
        EXPECT_TRUE(CountedPagesWhole(pages)) << pages << " pages counted";
    } else {
        // The sender's page files are as they were.
        EXPECT_EQ(ReadFile(f.dir + "/doc_p1.g3"), page1);
        EXPECT_EQ(ReadFile(f.dir + "/doc_p2.g3"), page2);
    }
    EXPECT_EQ(Reopen(ClassOf(c.kind)), "");
    if (HasFailure()) std::cerr << "transcript:\n" << wire;
}

INSTANTIATE_TEST_SUITE_P(Abort, AbortTest, ::testing::ValuesIn(kCells),
                         [](const ::testing::TestParamInfo<AbortCell> &i) { return std::string(i.param.name); });

}  // namespace
