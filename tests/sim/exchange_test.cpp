// The virtual exchange: ringing until answered or given up, busy lines, no
// dial tone, DELAYED, two emulated modems calling each other, and a calling
// station that waits for its callee's host and calls again.
#include <gtest/gtest.h>

#include <thread>

#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class ExchangeTest : public ::testing::Test {
protected:
    SimFixture f;
    int a = -1, b = -1;

    void SetUp() override {
        a = f.AddModem("100");
        b = f.AddModem("101");
        f.AddAnsweringStation("200");
    }
};

TEST_F(ExchangeTest, RingsUntilTheCallerGivesUpThenNoAnswer) {
    ASSERT_TRUE(SimStart(f.sim));
    PtyClient caller(f.Device(a)), callee(f.Device(b));
    caller.Command("AT+FCLASS=2\r");
    caller.Write("ATD101\r");
    ASSERT_TRUE(callee.ReadUntil("RING\r\n"));
    ASSERT_TRUE(callee.ReadUntil("RING\r\n"));
    // The caller gives up: class 2 reports ring-back without answer.
    std::string end;
    ASSERT_TRUE(caller.ReadUntil("OK\r\n", &end, 4000));
    EXPECT_TRUE(Has(end, "+FHNG:4\r\n")) << end;
    callee.Drain(50);
    EXPECT_EQ(callee.Drain(400).find("RING"), std::string::npos);  // no more rings
}

TEST_F(ExchangeTest, BusyNoDialToneDelayedAndUnknownNumbers) {
    ASSERT_TRUE(SimStart(f.sim));
    PtyClient host(f.Device(a));
    host.Command("ATE0\r");
    EXPECT_EQ(host.Command("ATD100\r", "BUSY\r\n"), "\r\nBUSY\r\n");  // its own number
    SimFaults faults;
    faults.no_dial_tone = true;
    SimSetModemFaults(f.sim, a, faults);
    EXPECT_EQ(host.Command("ATD200\r", "NO DIALTONE\r\n"), "\r\nNO DIALTONE\r\n");
    faults = SimFaults{};
    faults.delayed = true;
    SimSetModemFaults(f.sim, a, faults);
    EXPECT_EQ(host.Command("ATD200\r", "DELAYED\r\n"), "\r\nDELAYED\r\n");
    SimSetModemFaults(f.sim, a, SimFaults{});
    faults = SimFaults{};
    faults.busy = true;
    SimSetStationFaults(f.sim, f.station, faults);
    EXPECT_EQ(host.Command("ATD200\r", "BUSY\r\n"), "\r\nBUSY\r\n");
    // Class 1 and data modems hear no answer as NO CARRIER.
    EXPECT_EQ(host.Command("ATD555\r", "NO CARRIER\r\n", 4000), "\r\nNO CARRIER\r\n");
    // Numeric results.
    EXPECT_EQ(host.Command("ATV0\r", "0\r"), "0\r");
    EXPECT_EQ(host.Command("ATD100\r", "7\r"), "7\r");
    EXPECT_EQ(host.Command("ATV1Q1\r", "", 100), "");
    EXPECT_EQ(host.Drain(200), "");
}

TEST_F(ExchangeTest, AnAnsweredLineIsBusyForOthers) {
    ASSERT_TRUE(SimStart(f.sim));
    PtyClient first(f.Device(a)), second(f.Device(b));
    first.Command("ATE0\r");
    second.Command("ATE0\r");
    EXPECT_TRUE(Has(first.Command("AT+FCLASS=2\r"), "OK"));
    EXPECT_TRUE(Has(first.Command("ATD200\r"), "+FDIS:"));  // the station is in a call now
    EXPECT_EQ(second.Command("ATD200\r", "BUSY\r\n"), "\r\nBUSY\r\n");
    EXPECT_TRUE(Has(first.Command("ATH0\r"), "OK"));
    ASSERT_TRUE(SimWaitStation(f.sim, f.station, 1, 3000));
}

TEST_F(ExchangeTest, ClosingThePortHangsUp) {
    ASSERT_TRUE(SimStart(f.sim));
    {
        PtyClient host(f.Device(a));
        host.Command("AT+FCLASS=2\r");
        EXPECT_TRUE(Has(host.Command("ATD200\r"), "+FDIS:"));
    }  // like DTR going off
    ASSERT_TRUE(SimWaitStation(f.sim, f.station, 1, 3000));
    PtyClient again(f.Device(a));
    EXPECT_TRUE(Has(again.Command("AT\r"), "OK"));
}

// The receiving host of the modem-to-modem calls, run on its own thread.
void ReceiveWithClass2Host(const std::string &device, int pages, std::string *log) {
    PtyClient host(device);
    std::string got;
    host.Command("ATE0\r");
    *log += host.Command("AT+FCLASS=2\r");
    *log += host.Command("AT+FCR=1\r");
    *log += host.Command("AT+FBOR=1\r");
    if (!host.ReadUntil("RING\r\n", &got, 5000)) return;
    *log += host.Answer("ATA\r");
    for (int page = 1; page <= pages; ++page) {
        got = host.Command("AT+FDR\r", "CONNECT\r\n");
        *log += got;
        if (!Has(got, "CONNECT")) return;
        host.Write("\x12");
        if (!host.ReadUntil("OK\r\n", &got)) return;
        *log += "<page " + std::to_string(page) + ">" + got;
    }
    *log += host.Command("AT+FDR\r");
}

TEST_F(ExchangeTest, Class20ModemSendsToClass2Modem) {
    ASSERT_TRUE(SimStart(f.sim));
    std::string page1 = MakePage(55, 7), page2 = MakePage(65, 8);
    std::string log;
    std::thread receiver(ReceiveWithClass2Host, f.Device(b), 2, &log);
    PtyClient host(f.Device(a));
    host.Command("ATE0\r");
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2.0\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FLI=\"777\"\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FNR=1,1,1,0\r"), "OK"));
    std::string dial = host.Command("ATD101\r", "OK\r\n", 8000);
    EXPECT_TRUE(Has(dial, "+FCI:\"\"")) << dial;  // the class 2 host set no identity
    EXPECT_TRUE(Has(host.Command("AT+FDT\r", "CONNECT\r\n"), "+FCS:1,5,0,2,0,0,0,0"));
    host.Write(DleDoubled(page1) + "\x10,");
    EXPECT_TRUE(Has(host.Command("", "OK\r\n"), "+FPS:1,55,0,0,0"));
    EXPECT_TRUE(Has(host.Command("AT+FDT\r", "CONNECT\r\n"), "CONNECT"));
    host.Write(DleDoubled(page2) + "\x10.");
    std::string end = host.Command("", "OK\r\n");
    EXPECT_TRUE(Has(end, "+FHS:00")) << end;
    receiver.join();
    EXPECT_TRUE(Has(log, "+FTSI: 777\r\n")) << log;
    EXPECT_TRUE(Has(log, "<page 1>" + DleDoubled(page1) + "\x10\x03")) << log;
    EXPECT_TRUE(Has(log, "<page 2>" + DleDoubled(page2) + "\x10\x03"));
    EXPECT_TRUE(Has(log, "+FET:2\r\n"));
    EXPECT_TRUE(Has(log, "+FHNG:0\r\n"));
}

// A host that resets its modem while it rings ("ATZ", as hosts open a port)
// still answers the call: an on-hook modem has nothing to put down.
TEST_F(ExchangeTest, ResetWhileRingingLeavesTheCallRinging) {
    ASSERT_TRUE(SimStart(f.sim));
    std::string page = f.dir + "/p1.g3";
    WriteFile(page, MakePage(30, 3));
    int caller = f.AddCallingStation("300", {page});
    PtyClient host(f.Device(a));
    ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
    ASSERT_TRUE(host.ReadUntil("RING\r\n"));
    EXPECT_TRUE(Has(host.Command("ATZ\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2\r"), "OK"));
    ASSERT_TRUE(host.ReadUntil("RING\r\n"));
    std::string answer = host.Answer("ATA\r");
    EXPECT_TRUE(Has(answer, "+FCON")) << answer;
}

// A station told to dial by itself waits until the host has opened its
// modem and gone quiet, and calls again after a call ended: here two calls
// nobody answers.
TEST_F(ExchangeTest, DiallingStationWaitsForTheHostAndCallsAgain) {
    SimStationConfig c;
    c.number = "300";
    c.answering = false;
    c.pages = {f.dir + "/none.g3"};
    c.dial = "100";
    c.call_count = 2;
    c.call_interval_ms = 100;
    c.host_settle_ms = 300;
    int caller = SimAddStation(f.sim, c);
    ASSERT_TRUE(SimStart(f.sim));
    PtyClient host(f.Device(a));
    EXPECT_FALSE(Has(host.Drain(600), "RING"));  // open, but not set up yet
    EXPECT_TRUE(Has(host.Command("ATZ\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2\r"), "OK"));
    ASSERT_TRUE(host.ReadUntil("RING\r\n"));
    ASSERT_TRUE(SimWaitStation(f.sim, caller, 1, 5000));  // it gave up
    ASSERT_TRUE(host.ReadUntil("RING\r\n", nullptr, 3000));
    ASSERT_TRUE(SimWaitStation(f.sim, caller, 2, 5000));
    host.Drain(50);
    EXPECT_FALSE(Has(host.Drain(600), "RING"));  // two calls, no third
}

// Both modems move data at the line's rate: the page's line time is spent
// once, while the sender's host hands it over, not again before the
// receiving host has it; else the sender's post-page message runs out of
// repeats (three times T4 here is shorter than the page).
TEST_F(ExchangeTest, PacedModemsSpendThePageTimeOnce) {
    SimFaults paced;
    paced.paced = true;
    SimSetModemFaults(f.sim, a, paced);
    SimSetModemFaults(f.sim, b, paced);
    ASSERT_TRUE(SimStart(f.sim));
    std::string page = MakePage(320, 9);  // over two seconds at 14400 bit/s
    std::string log;
    std::thread receiver(ReceiveWithClass2Host, f.Device(b), 1, &log);
    PtyClient host(f.Device(a));
    host.Command("ATE0\r");
    EXPECT_TRUE(Has(host.Command("AT+FCLASS=2.0\r"), "OK"));
    EXPECT_TRUE(Has(host.Command("ATD101\r", "OK\r\n", 8000), "+FCO"));
    EXPECT_TRUE(Has(host.Command("AT+FDT\r", "CONNECT\r\n"), "CONNECT"));
    host.Write(DleDoubled(page) + "\x10.");
    std::string end = host.Command("", "OK\r\n", 15000);
    EXPECT_TRUE(Has(end, "+FPS:1,320,0,0,0")) << end;
    EXPECT_TRUE(Has(end, "+FHS:00")) << end;
    receiver.join();
    EXPECT_TRUE(Has(log, "<page 1>" + DleDoubled(page) + "\x10\x03")) << log.size();
}

}  // namespace
