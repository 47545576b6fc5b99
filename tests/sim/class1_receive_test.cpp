// A class 1 modem called by the built-in calling station: a plain host
// answers and runs the called side of T.30 over the pty, against the
// station's rates and slips and the modem's own faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kConnect = "\r\nCONNECT\r\n";
const std::string kDleEtx = "\x10\x03";

std::string Frame(uint8_t fcf, const std::string &fif = "", bool final = true) {
    return std::string("\xFF") + static_cast<char>(final ? 0x13 : 0x03) + static_cast<char>(fcf) + fif + kDleEtx;
}

// The T.31 number of the modulation a DCS asks for (bits 11 to 14).
int T31ForDcs(uint8_t rate_bits) {
    switch (rate_bits & 0x3C) {
    case 0x00: return 24;
    case 0x08: return 48;
    case 0x0C: return 72;
    case 0x04: return 96;
    case 0x2C: return 73;
    case 0x24: return 97;
    case 0x28: return 121;
    default: return 145;
    }
}

// The bit rate of a T.31 modulation number (24, 48, 72-74, 96-98, 121-122, 145-146).
int BitRate(int t31) { return t31 / 24 * 2400; }

// Data between CONNECT and DLE ETX, DLE doubling removed.
std::string Undoubled(const std::string &got) {
    size_t start = got.find(kConnect);
    if (start == std::string::npos) return "";
    start += kConnect.size();
    std::string out;
    for (size_t i = start; i + 1 < got.size(); ++i) {
        if (got[i] == '\x10') {
            if (got[i + 1] == '\x03') break;
            ++i;
        }
        out += got[i];
    }
    return out;
}

// What the host saw of one call.
struct Seen {
    std::vector<uint8_t> fcfs;     // frames received, X bit clear
    std::vector<std::string> dcs;  // FIFs of the DCSs
    std::vector<int> tcf_t31;      // the modulation of each training check
    std::vector<std::string> pages;  // page data, RTN'd ones included
    std::vector<int64_t> page_ms;    // from our CFR or MCF to the end of each page's carrier
    int errors = 0;                // frames with a bad check
    bool no_carrier = false;
    bool silent = false;           // a command met silence
    bool dcn = false;
};

// The called side of T.30, as little as a host may do: every training check
// of zeros is taken, pages equal to `expect` are confirmed, others draw RTN.
class Receiver {
public:
    Receiver(PtyClient &host, std::vector<std::string> expect) : host_(host), expect_(std::move(expect)) {}

    Seen Run() {
        if (host_.Answer("ATA\r", kConnect) != kConnect) return Fail();
        SendCsiDis();
        int mod = 0;
        bool trained = false;
        for (int steps = 0; steps < 40 && !seen_.no_carrier && !seen_.silent && !seen_.dcn; ++steps) {
            if (trained) {
                std::string page = DataAt(mod);
                if (seen_.no_carrier || seen_.silent) break;
                seen_.pages.push_back(page);
                seen_.page_ms.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - said_)
                                            .count());
                trained = false;
            }
            std::string f = NextFrame();
            if (f.size() < 3) continue;
            uint8_t fcf = static_cast<uint8_t>(f[2]) & 0xFE;
            seen_.fcfs.push_back(fcf);
            if (fcf == 0x82) {  // DCS: judge the training check
                seen_.dcs.push_back(f.substr(3));
                mod = T31ForDcs(static_cast<uint8_t>(f[4]));
                seen_.tcf_t31.push_back(mod);
                std::string tcf = DataAt(mod);
                if (seen_.no_carrier || seen_.silent) break;
                bool good = !tcf.empty() && tcf.find_first_not_of('\0') == std::string::npos;
                Say(good ? 0x84 : 0x44);
                trained = good;
            } else if (fcf == 0x4E || fcf == 0x2E || fcf == 0x8E) {  // MPS, EOP, EOM
                size_t n = confirmed_;
                bool whole = n < expect_.size() && !seen_.pages.empty() && seen_.pages.back() == expect_[n];
                Say(whole ? 0x8C : 0x4C);
                if (!whole) continue;  // RTN: the caller trains again
                ++confirmed_;
                if (fcf == 0x8E) {
                    host_.Command("AT+FTH=3\r", kConnect);
                    SendCsiDis();
                }
                trained = fcf == 0x4E;
            } else if (fcf == 0xFA) {
                seen_.dcn = true;
            }
        }
        host_.Command("ATH0\r", kOk, seen_.silent ? 100 : 5000);  // a silent modem never answers
        return seen_;
    }

private:
    PtyClient &host_;
    std::vector<std::string> expect_;
    size_t confirmed_ = 0;
    std::chrono::steady_clock::time_point said_;
    Seen seen_;

    Seen Fail() {
        seen_.no_carrier = true;
        return seen_;
    }

    // In the frame mode that ATA or +FTH left.
    void SendCsiDis() {
        host_.Command(Frame(0x40, std::string(20, ' '), false), kConnect);
        host_.Command(Frame(0x80, std::string("\x00\x6E\x74", 3)));  // V.17, fine, 0 ms
    }

    void Say(uint8_t fcf) {
        said_ = std::chrono::steady_clock::now();  // the caller hears it later
        host_.Command("AT+FTH=3\r", kConnect);
        host_.Command(Frame(fcf));
    }

    // A result after a command: OK, ERROR, NO CARRIER, or nothing for quiet_ms.
    std::string Await(const std::string &cmd, int quiet_ms = 1000) {
        host_.Write(cmd);
        std::string got;
        std::string all;
        while (host_.ReadUntil("\r\n", &got, quiet_ms)) {
            all += got;
            if (Has(all, "\r\nOK\r\n") || Has(all, "ERROR\r\n") || Has(all, "NO CARRIER\r\n")) return all;
        }
        seen_.silent = true;
        return all;
    }

    static bool Has(const std::string &s, const char *part) { return s.find(part) != std::string::npos; }

    std::string NextFrame() {
        std::string got = Await("AT+FRH=3\r");
        if (Has(got, "NO CARRIER")) seen_.no_carrier = true;
        if (Has(got, "ERROR")) ++seen_.errors;
        size_t start = got.find('\xFF');
        size_t end = got.find(kDleEtx, start);
        return start == std::string::npos || end == std::string::npos ? "" : got.substr(start, end - start);
    }

    // A page's carrier lasts its line time: room for 2000 bytes at the rate.
    std::string DataAt(int mod) {
        std::string got = Await("AT+FRM=" + std::to_string(mod) + "\r", 1000 + 16000000 / BitRate(mod));
        // After the data the modem says NO CARRIER; without data it is a lost call.
        if (!Has(got, "CONNECT")) seen_.no_carrier = true;
        return Undoubled(got);
    }
};

class Class1ReceiveTest : public ::testing::Test {
protected:
    SimFixture f;
    int modem = -1;
    // Short pages: each holds the line for its time, at 2400 bit/s too.
    std::vector<std::string> pages{MakePage(24, 5), MakePage(28, 6)};
    std::vector<std::string> files;

    void SetUp() override {
        modem = f.AddModem("100", kSimClass1);
        for (size_t i = 0; i < pages.size(); ++i) {
            files.push_back(f.dir + "/send_p" + std::to_string(i + 1) + ".g3");
            WriteFile(files.back(), pages[i]);
        }
    }

    // The station calls with these slips and rates; the host receives.
    Seen Receive(const std::string &station_faults, int max_bps = 14400, uint8_t rates = 0x2C,
                 const std::string &modem_faults = "") {
        SimStationConfig c;
        c.number = "300";
        c.answering = false;
        c.pages = files;
        c.max_bps = max_bps;
        c.rates = rates;
        EXPECT_TRUE(SimParseFaults(station_faults, &c.faults)) << station_faults;
        caller = SimAddStation(f.sim, c);
        SimFaults mf;
        EXPECT_TRUE(SimParseFaults(modem_faults, &mf)) << modem_faults;
        SimSetModemFaults(f.sim, modem, mf);
        EXPECT_TRUE(SimStart(f.sim));
        PtyClient host(f.Device(modem));
        host.Command("ATE0\r");
        EXPECT_EQ(host.Command("AT+FCLASS=1\r"), kOk);
        EXPECT_EQ(host.Command("AT+FAR=1\r"), kOk);
        EXPECT_TRUE(SimStationCall(f.sim, caller, "100"));
        EXPECT_TRUE(host.ReadUntil("RING\r\n"));
        return Receiver(host, pages).Run();
    }

    // A fresh emulator for the next case of a table.
    void Restart() {
        SimDestroy(f.sim);
        f.sim = SimCreate(FastConfig());
        files.clear();
        SetUp();
    }

    SimStationResult Result() {
        EXPECT_TRUE(SimWaitStation(f.sim, caller, 1, 5000));
        return SimStationResults(f.sim, caller);
    }

    int caller = -1;
};

int Count(const std::vector<uint8_t> &v, uint8_t x) { return static_cast<int>(std::count(v.begin(), v.end(), x)); }

// Every modulation the station may choose arrives, and both pages whole.
TEST_F(Class1ReceiveTest, TakesTwoPagesAtEachModulation) {
    struct Case {
        int max_bps;
        uint8_t rates;
        int t31;
    };
    for (Case c : {Case{14400, 0x2C, 145}, Case{12000, 0x2C, 121}, Case{9600, 0x2C, 97}, Case{7200, 0x2C, 73},
                   Case{9600, 0x0C, 96}, Case{7200, 0x0C, 72}, Case{4800, 0x08, 48}, Case{2400, 0x00, 24}}) {
        SCOPED_TRACE(c.max_bps);
        Seen s = Receive("", c.max_bps, c.rates);
        ASSERT_EQ(s.tcf_t31.size(), 1u);
        EXPECT_EQ(s.tcf_t31[0], c.t31);
        ASSERT_EQ(s.pages.size(), 2u);
        EXPECT_EQ(s.pages[0], pages[0]);
        EXPECT_EQ(s.pages[1], pages[1]);
        // Each page's carrier lasts at least the page's time on the line
        // (less the emulator's whole milliseconds).
        for (size_t i = 0; i < 2; ++i)
            EXPECT_GE(s.page_ms[i] + 2, static_cast<int64_t>(pages[i].size()) * 8000 / c.max_bps) << "page " << i + 1;
        EXPECT_TRUE(s.dcn);
        EXPECT_EQ(Result().pages, 2);
        Restart();
    }
}

TEST_F(Class1ReceiveTest, StationSlipsReachTheHost) {
    // A DCS asking for two-dimensional coding, then a clean one after the DIS again.
    Seen s = Receive("baddcs,badtcf,badlines@2,eom@1");
    ASSERT_GE(s.dcs.size(), 3u);
    EXPECT_TRUE(static_cast<uint8_t>(s.dcs[0][1]) & 0x80);
    EXPECT_FALSE(static_cast<uint8_t>(s.dcs[1][1]) & 0x80);
    // The training check with errors drew FTT; the station came back slower.
    EXPECT_LT(s.tcf_t31[1], s.tcf_t31[0]);
    // EOM after page 1: a new DIS and DCS before page 2.
    EXPECT_EQ(Count(s.fcfs, 0x8E), 1);
    // Page 2 came spoiled first (same length, other lines), RTN'd, then whole.
    ASSERT_EQ(s.pages.size(), 3u);
    EXPECT_NE(s.pages[1], pages[1]);
    EXPECT_EQ(s.pages[1].size(), pages[1].size());
    EXPECT_EQ(s.pages[2], pages[1]);
    EXPECT_TRUE(s.dcn);
    EXPECT_EQ(Result().pages, 2);
}

TEST_F(Class1ReceiveTest, StationDcnInsteadOfTheNextCommand) {
    Seen s = Receive("dcn@D1");
    EXPECT_TRUE(s.dcn);
    EXPECT_EQ(s.pages.size(), 1u);
    EXPECT_EQ(Count(s.fcfs, 0x4E), 0);  // no MPS
    EXPECT_NE(Result().hangup_code, 0);
}

TEST_F(Class1ReceiveTest, StationLostOrSilentInEachPhase) {
    struct Case {
        const char *faults;
        size_t pages;
        bool silent;
    };
    for (Case c : {Case{"nocarrier@B", 0, false}, Case{"nocarrier@T", 0, false}, Case{"nocarrier@C2", 1, false},
                   Case{"nocarrier@D1", 1, false}, Case{"silent@B", 0, true}, Case{"silent@C1", 1, true},
                   Case{"silent@D2", 2, true}}) {
        SCOPED_TRACE(c.faults);
        Seen s = Receive(c.faults);
        EXPECT_EQ(s.pages.size(), c.pages);
        EXPECT_FALSE(s.dcn);
        if (c.silent) EXPECT_TRUE(s.silent);
        else EXPECT_TRUE(s.no_carrier);
        Restart();
    }
}

TEST_F(Class1ReceiveTest, StationJunkFrameDrawsError) {
    Seen s = Receive("garbage@B");
    EXPECT_EQ(s.errors, 1);
    EXPECT_EQ(s.pages.size(), 2u);
    EXPECT_TRUE(s.dcn);
}

// The called modem's own faults, by phase.
TEST_F(Class1ReceiveTest, ModemFaultsInEachPhase) {
    struct Case {
        const char *faults;
        size_t pages;
        bool silent;
    };
    for (Case c : {Case{"nocarrier@B", 0, false}, Case{"nocarrier@T", 0, false}, Case{"nocarrier@C2", 1, false},
                   Case{"nocarrier@D1", 1, false}, Case{"silent@T", 0, true}, Case{"silent@C1", 0, true}}) {
        SCOPED_TRACE(c.faults);
        Seen s = Receive("", 14400, 0x2C, c.faults);
        EXPECT_EQ(s.pages.size(), c.pages);
        EXPECT_FALSE(s.dcn);
        if (c.silent) EXPECT_TRUE(s.silent);
        else EXPECT_TRUE(s.no_carrier);
        Restart();
    }
}

// A host asking for a frame while the training check is on the line hears
// +FCERROR once, and takes the check with +FRM after it.
TEST_F(Class1ReceiveTest, FrameReceiveMeetingACarrierSaysFcError) {
    int caller2 = f.AddCallingStation("301", {files[0]});
    ASSERT_TRUE(SimStart(f.sim));
    PtyClient host(f.Device(modem));
    host.Command("ATE0\r");
    host.Command("AT+FCLASS=1\r");
    ASSERT_TRUE(SimStationCall(f.sim, caller2, "100"));
    ASSERT_TRUE(host.ReadUntil("RING\r\n"));
    EXPECT_EQ(host.Answer("ATA\r", kConnect), kConnect);
    host.Command(Frame(0x40, std::string(20, ' '), false), kConnect);
    EXPECT_EQ(host.Command(Frame(0x80, std::string("\x00\x6E\x74", 3))), kOk);
    host.Command("AT+FRH=3\r");  // TSI
    host.Command("AT+FRH=3\r");  // DCS
    EXPECT_EQ(host.Command("AT+FRH=3\r", "+FCERROR\r\n"), "\r\n+FCERROR\r\n");
    std::string tcf = host.Command("AT+FRM=145\r", "NO CARRIER\r\n");
    EXPECT_EQ(Undoubled(tcf), std::string(2700, '\0'));
}

TEST(SimFaultWords, CallingStationWords) {
    SimFaults x;
    ASSERT_TRUE(SimParseFaults("baddcs,badtcf,badlines@2,dcn@D3,eom@1", &x));
    EXPECT_TRUE(x.bad_dcs && x.bad_tcf);
    EXPECT_EQ(x.bad_lines_page, 2);
    EXPECT_EQ(x.dcn_phase, SimPhase::kD);
    EXPECT_EQ(x.fault_page, 3);
    EXPECT_EQ(x.eom_page, 1);
    EXPECT_FALSE(SimParseFaults("badlines@0", &x));
    EXPECT_FALSE(SimParseFaults("dcn@X", &x));
}

}  // namespace
