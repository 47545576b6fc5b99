// One process runs a thousand page conversions and a hundred fax sessions,
// good ones and failing ones; afterwards it must hold no more descriptors,
// threads or heap than before. Built with AddressSanitizer, LeakSanitizer
// also checks every allocation when the program ends.
#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

#include "engine/tollan.h"
#include "support/wait_clock.h"
#include "support/scripted_modem.h"
#include "tests/image/image_test_util.h"
#include "tests/sim/sim_client.h"

namespace {

int CountEntries(const char *dir_path) {
    DIR *dir = opendir(dir_path);
    if (!dir) return -1;
    int count = 0;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

struct Resources {
    int descriptors = 0;
    int threads = 0;
    size_t heap = 0;  // bytes in use; 0 where the allocator does not say
};

Resources TakeSnapshot() {
    Resources r;
    r.descriptors = CountEntries("/proc/self/fd") - 1;  // less the one reading it
    r.threads = CountEntries("/proc/self/task");
    r.heap = mallinfo2().uordblks;
    return r;
}

// A leak of one page buffer per call would grow the heap by megabytes; a
// small slack leaves room for gtest's own records.
constexpr size_t kHeapSlack = 512 * 1024;

void ExpectNothingHeld(const Resources &before, const Resources &after) {
    EXPECT_EQ(after.descriptors, before.descriptors) << "file descriptors leaked";
    EXPECT_EQ(after.threads, before.threads) << "threads left running";
    if (before.heap != 0 && after.heap != 0) {
        EXPECT_LT(after.heap, before.heap + kHeapSlack) << "heap grew by " << after.heap - before.heap;
    }
}

// A text-like page: rows of dashes and gaps, varying line by line.
imgtest::Picture TextLikePicture(int width, int height) {
    imgtest::Picture p(static_cast<size_t>(height), std::string(static_cast<size_t>(width), ' '));
    for (int y = 0; y < height; ++y) {
        if (y % 24 >= 16) continue;  // the gap between text lines
        for (int x = 40; x < width - 40; ++x) {
            if ((x * 7 + y * 3) % 23 < 5) p[static_cast<size_t>(y)][static_cast<size_t>(x)] = '#';
        }
    }
    return p;
}

class ConversionSoak : public ::testing::Test {
protected:
    imgtest::TempDir dir;
    std::string bmp = dir.Path("page.bmp"), g3 = dir.Path("page.g3");
    std::string truncated = dir.Path("truncated.bmp"), garbage = dir.Path("garbage.g3");

    void SetUp() override {
        std::string bytes = imgtest::MonoBmp(TextLikePicture(1728, 240));
        imgtest::WriteFile(bmp, bytes);
        imgtest::WriteFile(truncated, bytes.substr(0, bytes.size() / 3));
        std::string junk;
        for (int i = 0; i < 20000; ++i) junk += static_cast<char>((i * 131 + 7) % 256);
        imgtest::WriteFile(garbage, junk);
        SetStretchOption(0);
        SetShrinkOption(0);
    }
    void TearDown() override {
        SetStretchOption(3);
        SetShrinkOption(0);
    }

    // Ten conversions: every image export, on good files and on broken ones.
    void RunRound() {
        int32_t w = 0, h = 0;
        EXPECT_EQ(GetBmpSize(bmp.c_str(), &w, &h), TOLLAN_OK);
        EXPECT_EQ(BmpToG3(bmp.c_str(), g3.c_str()), TOLLAN_OK);
        EXPECT_EQ(GetG3Size(g3.c_str(), &w, &h), TOLLAN_OK);
        EXPECT_EQ(G3ToBmp(g3.c_str(), dir.Path("back.bmp").c_str()), TOLLAN_OK);
        SetShrinkOption(3);
        EXPECT_EQ(G3ToBmp(g3.c_str(), dir.Path("small.bmp").c_str()), TOLLAN_OK);
        SetShrinkOption(0);
        EXPECT_EQ(RotateBitmap(bmp.c_str(), dir.Path("turned.bmp").c_str(), 0), TOLLAN_OK);
        EXPECT_NE(BmpToG3(truncated.c_str(), dir.Path("t.g3").c_str()), TOLLAN_OK);
        G3ToBmp(garbage.c_str(), dir.Path("g.bmp").c_str());  // any code, no crash
        EXPECT_NE(BmpToG3(dir.Path("missing.bmp").c_str(), dir.Path("m.g3").c_str()), TOLLAN_OK);
        EXPECT_NE(G3ToBmp(g3.c_str(), dir.Path("no/such/dir.bmp").c_str()), TOLLAN_OK);
    }
};

TEST_F(ConversionSoak, AThousandConversionsHoldNothing) {
    RunRound();  // first-use allocations (code tables, locale) are not leaks
    Resources before = TakeSnapshot();
    for (int round = 0; round < 100; ++round) {
        RunRound();
        if (HasFailure()) break;
    }
    ExpectNothingHeld(before, TakeSnapshot());
}

// Sessions through the emulator, one channel opened and closed per call.
class SessionSoak : public ::testing::Test {
protected:
    // The library and the emulator on one clock that moves only while both
    // wait: no call depends on the machine's speed.
    WaitClock clock{20};
    SimOnWaitClock sim_clock{clock};
    // What crossed the ptys, told when a test fails: a hundred sessions are
    // too many to rerun for the one that went wrong.
    std::string transcript = "/tmp/tollan-soak-" + std::to_string(getpid()) + ".transcript";
    simtest::SimFixture f{WithTranscript(transcript)};
    int modem = -1;
    int answering = -1, caller = -1;
    std::unique_ptr<ProfileFile> profile;

    void SetUp() override {
        modem = f.AddModem("100");
        answering = f.AddAnsweringStation("200");
        for (const char *number : {"201", "202", "203"}) f.AddAnsweringStation(number);
        // Receivers ask for a page again when it has under 50 lines.
        simtest::WriteFile(f.dir + "/doc_p1.g3", simtest::MakePage(60, 1));
        simtest::WriteFile(f.dir + "/doc_p2.g3", simtest::MakePage(90, 2));
        caller = f.AddCallingStation("300", {f.dir + "/doc_p1.g3", f.dir + "/doc_p2.g3"});
        ASSERT_TRUE(SimStart(f.sim));
        profile = std::make_unique<ProfileFile>("[Ports]\nCOM1=" + f.Device(modem) + "\n");
        SetModemCommandInterval(0);
    }
    void TearDown() override {
        SetModemCommandInterval(500);
        if (HasFailure()) {
            const std::string wire = simtest::ReadFile(transcript);
            std::cerr << "the transcript's end:\n" << wire.substr(wire.size() > 6000 ? wire.size() - 6000 : 0);
        }
        unlink(transcript.c_str());
    }

    static SimConfig WithTranscript(const std::string &path) {
        SimConfig c = simtest::FastConfig();
        c.transcript = path;
        return c;
    }

    static SimFaults Faults(const char *words) {
        SimFaults faults;
        EXPECT_TRUE(SimParseFaults(words, &faults)) << words;
        return faults;
    }

    int32_t Open(int modem_class) {
        int32_t ch = -1;
        SetModemClass(0, modem_class);
        EXPECT_EQ(PortOpen(&ch, 1, "ATZ"), TOLLAN_OK);
        SetLocalID(ch, "12345");
        return ch;
    }

    // The next call must not find the station still hanging up. A station
    // whose call was cut may wait out its own time-outs first.
    void WaitForCallEnd(int station, int calls_before, int modem_class, const char *faults) {
        WaitClockOutside outside;  // the station's own time-outs run on the clock
        EXPECT_TRUE(SimWaitStation(f.sim, station, calls_before + 1, 15000))
            << "station " << station << " after a class " << modem_class << " call, faults '" << faults << "'";
    }

    // A call with the modem's faults set from `faults` for its length. A
    // failed call goes to a station of its own: a station still putting
    // such a call down would answer the next one with NO CARRIER.
    uint16_t Send(int modem_class, const char *faults = "", const char *number = "200") {
        SimSetModemFaults(f.sim, modem, Faults(faults));
        int calls_before = SimStationResults(f.sim, answering).calls;
        int32_t ch = Open(modem_class);
        std::string doc = f.dir + "/doc.g3";
        uint16_t rc = modem_class == TOLLAN_CLASS_1 ? SendClass1Fax(ch, number, doc.c_str(), 2)
                                                    : SendFax(ch, number, doc.c_str(), 2);
        EXPECT_EQ(PortClose(ch), TOLLAN_OK);
        if (*faults == '\0') WaitForCallEnd(answering, calls_before, modem_class, faults);
        SimSetModemFaults(f.sim, modem, SimFaults{});
        return rc;
    }

    uint16_t Receive(int modem_class, const char *faults = "") {
        SimSetModemFaults(f.sim, modem, Faults(faults));
        int calls_before = SimStationResults(f.sim, caller).calls;
        int32_t ch = Open(modem_class);
        EXPECT_TRUE(SimStationCall(f.sim, caller, "100"));
        int32_t ring = 0;
        for (int look = 0; ring != 1 && look < 1000; ++look) {  // every 100 ms of the clock
            if (WaitForRing(ch, &ring) != TOLLAN_OK) break;
            if (ring != 1) PlatSleep(100);
        }
        int16_t pages = 0;
        uint16_t rc = TOLLAN_E_TIMEOUT;
        // A receiving call never writes over earlier pages: clear them first.
        for (const char *page : {"/in_p1.g3", "/in_p2.g3"}) unlink((f.dir + page).c_str());
        if (ring == 1) rc = ReceiveFax(ch, (f.dir + "/in.g3").c_str(), &pages);
        EXPECT_EQ(PortClose(ch), TOLLAN_OK);
        WaitForCallEnd(caller, calls_before, modem_class, faults);
        SimSetModemFaults(f.sim, modem, SimFaults{});
        return rc;
    }

    // Ten sessions: each kind of call, and calls that fail at the far end.
    void RunRound() {
        EXPECT_EQ(Send(TOLLAN_CLASS_2), TOLLAN_OK);
        EXPECT_EQ(Send(TOLLAN_CLASS_2_0), TOLLAN_OK);
        EXPECT_EQ(Send(TOLLAN_CLASS_1), TOLLAN_OK);
        EXPECT_EQ(Receive(TOLLAN_CLASS_2), TOLLAN_OK);
        EXPECT_EQ(Receive(TOLLAN_CLASS_2_0), TOLLAN_OK);
        EXPECT_EQ(Send(TOLLAN_CLASS_2, "busy"), TOLLAN_E_BUSY);
        EXPECT_EQ(Send(TOLLAN_CLASS_1, "nocarrier@B", "201"), TOLLAN_E_ERROR);
        EXPECT_EQ(Send(TOLLAN_CLASS_2_0, "hangup@D=50", "202"), TOLLAN_E_HANGUP);
        EXPECT_EQ(Send(TOLLAN_CLASS_2, "hangup@C=43", "203"), TOLLAN_E_HANGUP);
        EXPECT_EQ(Receive(TOLLAN_CLASS_2, "hangup@B=70"), TOLLAN_E_RECEIVE_FAILED);
    }
};

TEST_F(SessionSoak, AHundredSessionsHoldNothing) {
    RunRound();  // the first calls set up what stays for the process
    Resources before = TakeSnapshot();
    for (int round = 0; round < 10; ++round) {
        RunRound();
        if (HasFailure()) break;
    }
    ExpectNothingHeld(before, TakeSnapshot());
}

}  // namespace
