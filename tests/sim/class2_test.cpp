// Class 2 and class 2.0 modems driven over their ptys by a plain host,
// sending to and receiving from the built-in stations.
#include <gtest/gtest.h>

#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class Class2Test : public ::testing::Test {
protected:
    SimFixture f;
    int modem = -1;
    std::string page1 = MakePage(60, 1), page2 = MakePage(75, 2);

    void SetUp() override {
        modem = f.AddModem("100");
        f.AddAnsweringStation("200");
        ASSERT_TRUE(SimStart(f.sim));
    }

    void ExpectStationGot(int pages) {
        ASSERT_TRUE(SimWaitStation(f.sim, f.station, 1, 5000));
        SimStationResult r = SimStationResults(f.sim, f.station);
        ASSERT_EQ(r.pages, pages);
        EXPECT_EQ(r.hangup_code, 0);
        EXPECT_EQ(ReadFile(r.page_files[0]), page1);
        EXPECT_EQ(r.page_lines[0], 60);
        if (pages > 1) {
            EXPECT_EQ(ReadFile(r.page_files[1]), page2);
            EXPECT_EQ(r.page_lines[1], 75);
        }
    }
};

TEST_F(Class2Test, SendsTwoPagesInClass2) {
    PtyClient host(f.Device(modem));
    ASSERT_TRUE(host.ok());
    EXPECT_TRUE(Has(host.Command("ATZ\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("ATE0V1Q0\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2\r\n"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FLID=\"12345\"\r\n"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FDCC=1,5,0,2,0,0,0,0\r\n"), "OK"));
    std::string dial = host.Command("ATDT200\r\n");
    EXPECT_TRUE(Has(dial, "\r\n+FCON\r\n")) << dial;
    EXPECT_TRUE(Has(dial, "+FCSI: TOLLAN STATION\r\n")) << dial;
    EXPECT_TRUE(Has(dial, "+FDIS:1,5,0,2,0,0,0,5\r\n")) << dial;

    std::string fdt = host.Command("AT+FDT\r\n", "CONNECT\r\n");
    EXPECT_TRUE(Has(fdt, "+FDCS:1,5,0,2,0,0,0,5\r\n")) << fdt;
    ASSERT_TRUE(host.ReadUntil("\x11"));  // DC1: send the data
    host.Write(DleDoubled(page1) + "\x10\x03");
    EXPECT_TRUE(host.ReadUntil("OK\r\n"));
    std::string fet = host.Command("AT+FET=0\r\n");
    EXPECT_TRUE(Has(fet, "+FPTS:1,60,0,0,0\r\n")) << fet;

    EXPECT_TRUE(Has(host.Command("AT+FDT\r\n", "CONNECT\r\n"), "CONNECT"));
    ASSERT_TRUE(host.ReadUntil("\x11"));
    host.Write(DleDoubled(page2) + "\x10\x03");
    EXPECT_TRUE(host.ReadUntil("OK\r\n"));
    std::string last = host.Command("AT+FET=2\r\n");
    EXPECT_TRUE(Has(last, "+FPTS:1,75,0,0,0\r\n\r\n+FHNG:0\r\n")) << last;
    ExpectStationGot(2);
}

TEST_F(Class2Test, SendsTwoPagesInClass20) {
    PtyClient host(f.Device(modem));
    EXPECT_TRUE(Has(host.Command("AT&F E0\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2.0\r\n"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FLI=\"12345\"\r\n"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FCC=0,3,0,2,0,0,0,0\r\n"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FNR=1,1,1,0\r\n"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FLO=2\r\n"), "OK"));
    std::string dial = host.Command("ATDT200\r\n");
    EXPECT_TRUE(Has(dial, "\r\n+FCO\r\n")) << dial;
    EXPECT_TRUE(Has(dial, "+FCI:\"TOLLAN STATION\"\r\n")) << dial;
    EXPECT_TRUE(Has(dial, "+FIS:1,5,0,2,0,0,0,5\r\n")) << dial;

    std::string fdt = host.Command("AT+FDT\r\n", "CONNECT\r\n");
    EXPECT_TRUE(Has(fdt, "+FCS:0,3,0,2,0,0,0,5\r\n")) << fdt;  // normal resolution, 9600
    host.Write(DleDoubled(page1) + "\x10,");
    std::string mps = host.Command("", "OK\r\n");
    EXPECT_TRUE(Has(mps, "+FPS:1,60,0,0,0\r\n")) << mps;
    EXPECT_TRUE(Has(host.Command("AT+FDT\r\n", "CONNECT\r\n"), "CONNECT"));
    host.Write(DleDoubled(page2) + "\x10.");
    std::string eop = host.Command("", "OK\r\n");
    EXPECT_TRUE(Has(eop, "+FPS:1,75,0,0,0\r\n\r\n+FHS:00\r\n")) << eop;
    ExpectStationGot(2);
    // No DC1 in class 2.0.
    EXPECT_FALSE(Has(fdt, "\x11"));
}

TEST_F(Class2Test, RefusesTheOtherDialectsCommands) {
    PtyClient host(f.Device(modem));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FLI=\"1\"\r", "ERROR\r\n"), "ERROR"));
    EXPECT_TRUE(Has(host.Command("AT+FPS=2\r", "ERROR\r\n"), "ERROR"));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2.0\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FLID=\"1\"\r", "ERROR\r\n"), "ERROR"));
    EXPECT_TRUE(Has(host.Command("AT+FDCC=1,5\r", "ERROR\r\n"), "ERROR"));
    EXPECT_TRUE(Has(host.Command("AT+FCC=1,6,0,2,0,0,0,0\r", "ERROR\r\n"), "ERROR"));  // BR 6 does not exist
}

TEST(Class2Classes, ModemRefusesClassesItLacks) {
    SimFixture f;
    int m = f.AddModem("100", kSimClass2);
    ASSERT_TRUE(SimStart(f.sim));
    PtyClient host(f.Device(m));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2.0\r", "ERROR\r\n"), "ERROR"));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=1\r", "ERROR\r\n"), "ERROR"));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=?\r"), "0,2\r\n"));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS?\r"), "\r\n2\r\n"));
}

// A calling station sends to a class 2 modem whose host answers.
TEST_F(Class2Test, ReceivesTwoPagesInClass2) {
    std::string p1 = f.dir + "/out_p1.g3", p2 = f.dir + "/out_p2.g3";
    WriteFile(p1, page1);
    WriteFile(p2, page2);
    int caller = f.AddCallingStation("300", {p1, p2});
    PtyClient host(f.Device(modem));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2\r\n"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FCR=1\r\n"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FDCC=1,5,0,2,0,0,0,0\r\n"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FBOR=1\r\n"), "OK"));
    ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
    ASSERT_TRUE(host.ReadUntil("RING\r\n"));
    ASSERT_TRUE(host.ReadUntil("RING\r\n"));  // it goes on ringing
    std::string answer = host.Answer("ATA\r\n");
    EXPECT_TRUE(Has(answer, "+FCON\r\n")) << answer;
    EXPECT_TRUE(Has(answer, "+FTSI: TOLLAN STATION\r\n")) << answer;
    EXPECT_TRUE(Has(answer, "+FDCS:1,5,0,2,0,0,0,5\r\n")) << answer;

    for (int page = 1; page <= 2; ++page) {
        ASSERT_TRUE(Has(host.Command("AT+FDR\r\n", "CONNECT\r\n"), "CONNECT"));
        host.Write("\x12");
        std::string data;
        ASSERT_TRUE(host.ReadUntil("OK\r\n", &data));
        size_t end = data.find("\x10\x03");
        ASSERT_NE(end, std::string::npos);
        std::string want = page == 1 ? page1 : page2;
        EXPECT_EQ(data.substr(0, end), DleDoubled(want));
        std::string report = data.substr(end);
        char expect[64];
        snprintf(expect, sizeof expect, "+FPTS:1,%d,0,0,0\r\n\r\n+FET:%d\r\n", page == 1 ? 60 : 75,
                 page == 1 ? 0 : 2);
        EXPECT_TRUE(Has(report, expect)) << report;
    }
    std::string end = host.Command("AT+FDR\r\n");
    EXPECT_TRUE(Has(end, "+FHNG:0\r\n")) << end;
    ASSERT_TRUE(SimWaitStation(f.sim, caller, 1, 5000));
    SimStationResult r = SimStationResults(f.sim, caller);
    EXPECT_EQ(r.pages, 2);
    EXPECT_EQ(r.hangup_code, 0);
}

// Without +FBOR=1 a class 2 modem hands over the data last bit first, as the
// common class 2 chip sets do; the quirk turns a class 2.0 modem that way.
TEST_F(Class2Test, BitOrderOfReceivedData) {
    std::string p1 = f.dir + "/out_p1.g3";
    WriteFile(p1, page1);
    int caller = f.AddCallingStation("300", {p1});
    PtyClient host(f.Device(modem));
    ASSERT_TRUE(AnswerAndAskForPage(f, host, caller));
    std::string data;
    ASSERT_TRUE(host.ReadUntil("\x10\x03", &data));
    std::string reversed;
    for (char c : page1) {
        uint8_t b = static_cast<uint8_t>(c), r = 0;
        for (int i = 0; i < 8; ++i)
            if (b & (1 << i)) r = static_cast<uint8_t>(r | (0x80 >> i));
        reversed += static_cast<char>(r);
    }
    EXPECT_EQ(data.substr(0, data.size() - 2), DleDoubled(reversed));
}

TEST_F(Class2Test, Class20ReceptionReportsOnlyWhatFnrAsks) {
    std::string p1 = f.dir + "/out_p1.g3";
    WriteFile(p1, page1);
    int caller = f.AddCallingStation("300", {p1});
    PtyClient host(f.Device(modem));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2.0\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FCC=1,5,0,2,0,0,0,0\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FLO=2\r"), "OK"));
    ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
    ASSERT_TRUE(host.ReadUntil("RING\r\n"));
    std::string answer = host.Answer("ATA\r");
    EXPECT_TRUE(Has(answer, "+FCO\r\n")) << answer;
    EXPECT_FALSE(Has(answer, "+FTI:")) << answer;
    ASSERT_TRUE(Has(host.Command("AT+FDR\r", "CONNECT\r\n"), "CONNECT"));
    host.Write("\x12");
    std::string data;
    ASSERT_TRUE(host.ReadUntil("OK\r\n", &data));
    EXPECT_EQ(data.substr(0, data.find("\x10\x03")), DleDoubled(page1));
    EXPECT_TRUE(Has(data, "+FPS:1,60,0,0,0\r\n\r\n+FET:2\r\n")) << data;
    EXPECT_TRUE(Has(host.Command("AT+FDR\r"), "+FHS:00\r\n"));
}

}  // namespace
