// A class 1 modem driven over its pty by a plain host running T.30 itself,
// as calling and as answering station, against the built-in stations.
#include <gtest/gtest.h>

#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kConnect = "\r\nCONNECT\r\n";
const std::string kDleEtx = "\x10\x03";

std::string Frame(uint8_t control, uint8_t fcf, const std::string &fif = "") {
    return std::string("\xFF") + static_cast<char>(control) + static_cast<char>(fcf) + fif + kDleEtx;
}

std::string Identity(const std::string &id) {
    std::string field(id.rbegin(), id.rend());
    field.resize(20, ' ');
    return field;
}

// The frame bytes between CONNECT and DLE ETX of a delivered frame.
std::string FrameBody(const std::string &got) {
    size_t start = got.find('\xFF');
    size_t end = got.find(kDleEtx, start);
    return start == std::string::npos || end == std::string::npos ? "" : got.substr(start, end - start);
}

class Class1Test : public ::testing::Test {
protected:
    SimFixture f;
    int modem = -1;
    std::string page1 = MakePage(60, 3), page2 = MakePage(80, 4);

    void SetUp() override {
        modem = f.AddModem("100");
        f.AddAnsweringStation("200");
        ASSERT_TRUE(SimStart(f.sim));
    }

    // Sends TSI and DCS, then the training check, as a class 1 sender does.
    void TrainAt145(PtyClient &host) {
        EXPECT_EQ(host.Command("AT+FRS=8\r"), kOk);
        EXPECT_EQ(host.Command("AT+FTH=3\r", kConnect), kConnect);
        EXPECT_EQ(host.Command(Frame(0x03, 0x43, Identity("12345")), kConnect), kConnect);
        EXPECT_EQ(host.Command(Frame(0x13, 0x83, std::string("\x00\x62\x88\x00", 4))), kOk);
        EXPECT_EQ(host.Command("AT+FTS=8\r"), kOk);
        EXPECT_EQ(host.Command("AT+FTM=145\r", kConnect), kConnect);
        EXPECT_EQ(host.Command(std::string(2700, '\0') + kDleEtx), kOk);
    }

    void SendPage(PtyClient &host, const std::string &page, uint8_t ppm) {
        EXPECT_EQ(host.Command("AT+FTS=8\r"), kOk);
        EXPECT_EQ(host.Command("AT+FTM=146\r", kConnect), kConnect);
        EXPECT_EQ(host.Command(DleDoubled(page) + kDleEtx), kOk);
        EXPECT_EQ(host.Command("AT+FTH=3\r", kConnect), kConnect);
        EXPECT_EQ(host.Command(Frame(0x13, ppm)), kOk);
    }

    std::string NextFrame(PtyClient &host) { return FrameBody(host.Command("AT+FRH=3\r")); }
};

TEST_F(Class1Test, SendsTwoPagesToTheStation) {
    PtyClient host(f.Device(modem));
    EXPECT_EQ(host.Command("ATE0\r"), "ATE0\r" + kOk);  // echo was on until now
    EXPECT_EQ(host.Command("AT+FCLASS=1\r\n"), kOk);
    EXPECT_EQ(host.Command("AT+FTM=?\r"), "\r\n24,48,72,73,74,96,97,98,121,122,145,146\r\n" + kOk);
    // Dialling: CONNECT, then the first frame on its own.
    std::string dial = host.Command("ATDT200\r\n");
    EXPECT_EQ(dial.substr(0, kConnect.size()), kConnect);
    EXPECT_EQ(FrameBody(dial), "\xFF\x03\x40" + Identity("TOLLAN STATION"));
    EXPECT_EQ(NextFrame(host), std::string("\xFF\x13\x80\x00\x6E\x04", 6));  // DIS: V.17, fine, 0 ms
    TrainAt145(host);
    EXPECT_EQ(NextFrame(host), "\xFF\x13\x84");  // CFR
    SendPage(host, page1, 0x4F);                 // MPS
    EXPECT_EQ(NextFrame(host), "\xFF\x13\x8C");  // MCF
    SendPage(host, page2, 0x2F);                 // EOP
    EXPECT_EQ(NextFrame(host), "\xFF\x13\x8C");
    EXPECT_EQ(host.Command("AT+FTH=3\r", kConnect), kConnect);
    EXPECT_EQ(host.Command(Frame(0x13, 0xFB)), kOk);  // DCN
    EXPECT_EQ(host.Command("ATH0\r\n"), kOk);

    ASSERT_TRUE(SimWaitStation(f.sim, f.station, 1, 5000));
    SimStationResult r = SimStationResults(f.sim, f.station);
    ASSERT_EQ(r.pages, 2);
    EXPECT_EQ(r.hangup_code, 0);
    EXPECT_EQ(r.remote_id, "12345");
    EXPECT_EQ(ReadFile(r.page_files[0]), page1);
    EXPECT_EQ(ReadFile(r.page_files[1]), page2);
}

TEST_F(Class1Test, WrongModulationAndBadFramesAreReported) {
    SimFaults faults;
    faults.bad_frame = 2;  // the station's DIS arrives with a bad check
    SimSetStationFaults(f.sim, f.station, faults);
    PtyClient host(f.Device(modem));
    host.Command("ATE0\r");
    EXPECT_EQ(host.Command("AT+FCLASS=1\r"), kOk);
    host.Command("ATDT200\r", "OK\r\n");  // CSI
    std::string bad = host.Command("AT+FRH=3\r", "ERROR\r\n");
    EXPECT_NE(bad.find("ERROR"), std::string::npos) << bad;
    // The station says DIS again after T4; it arrives intact.
    EXPECT_EQ(NextFrame(host), "\xFF\x03\x40" + Identity("TOLLAN STATION"));
    EXPECT_EQ(NextFrame(host), std::string("\xFF\x13\x80\x00\x6E\x04", 6));
    // A high-speed receive while a V.21 frame comes: +FCERROR.
    EXPECT_EQ(host.Command("AT+FTH=3\r", kConnect), kConnect);
    EXPECT_EQ(host.Command(Frame(0x13, 0x83, std::string("\x00\x62\x88\x00", 4))), kOk);
    EXPECT_EQ(host.Command("AT+FTM=96\r", kConnect), kConnect);  // trains at 9600 instead of 14400
    EXPECT_EQ(host.Command(std::string(1800, '\0') + kDleEtx), kOk);
    EXPECT_EQ(NextFrame(host), "\xFF\x13\x44");  // FTT
    EXPECT_EQ(host.Command("AT+FTM=999\r", "ERROR\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(host.Command("ATH0\r"), kOk);
}

// The station calls; the host answers in class 1 and receives.
TEST_F(Class1Test, ReceivesAPageFromTheCallingStation) {
    std::string p1 = f.dir + "/out_p1.g3";
    WriteFile(p1, page1);
    int caller = f.AddCallingStation("300", {p1});
    PtyClient host(f.Device(modem));
    host.Command("ATE0\r");
    EXPECT_EQ(host.Command("AT+FCLASS=1\r"), kOk);
    ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
    ASSERT_TRUE(host.ReadUntil("RING\r\n"));
    EXPECT_EQ(host.Answer("ATA\r", kConnect), kConnect);
    EXPECT_EQ(host.Command(Frame(0x03, 0x40, Identity("999")), kConnect), kConnect);
    EXPECT_EQ(host.Command(Frame(0x13, 0x80, std::string("\x00\x4E\x74", 3))), kOk);  // V.29 only
    EXPECT_EQ(NextFrame(host), "\xFF\x03\x43" + Identity("TOLLAN STATION"));
    EXPECT_EQ(NextFrame(host), std::string("\xFF\x13\x83\x00\x46\x04", 6));  // DCS 9600 V.29 fine
    std::string tcf = host.Command("AT+FRM=96\r", "NO CARRIER\r\n");
    EXPECT_NE(tcf.find(kConnect + std::string(1800, '\0') + kDleEtx), std::string::npos);
    EXPECT_EQ(host.Command("AT+FTH=3\r", kConnect), kConnect);
    EXPECT_EQ(host.Command(Frame(0x13, 0x84)), kOk);  // CFR
    std::string data = host.Command("AT+FRM=96\r", "NO CARRIER\r\n");
    size_t start = data.find(kConnect) + kConnect.size();
    EXPECT_EQ(data.substr(start, data.rfind(kDleEtx) - start), DleDoubled(page1));
    EXPECT_EQ(NextFrame(host), "\xFF\x13\x2F");  // EOP
    EXPECT_EQ(host.Command("AT+FTH=3\r", kConnect), kConnect);
    EXPECT_EQ(host.Command(Frame(0x13, 0x8C)), kOk);  // MCF
    EXPECT_EQ(NextFrame(host), "\xFF\x13\xFB");       // DCN
    ASSERT_TRUE(SimWaitStation(f.sim, caller, 1, 5000));
    EXPECT_EQ(SimStationResults(f.sim, caller).pages, 1);
    EXPECT_EQ(SimStationResults(f.sim, caller).hangup_code, 0);
}

}  // namespace

namespace {

// Modem to modem, the sender's host handing data over at the line rate: the
// receiving host hears the carrier (CONNECT) as it begins and the data as it
// is handed over, not all at once when the sender's host has finished.
TEST(Class1ModemToModem, DataFlowsAsTheSenderHandsItOver) {
    SimFixture f;
    SimFaults paced;
    paced.paced = true;
    int calling = f.AddModem("100", kSimClass1, SimQuirks{}, paced);
    int called = f.AddModem("101", kSimClass1);
    ASSERT_TRUE(SimStart(f.sim));
    PtyClient a(f.Device(calling)), b(f.Device(called));
    for (PtyClient *host : {&a, &b}) {
        host->Command("ATE0\r");
        ASSERT_EQ(host->Command("AT+FCLASS=1\r"), kOk);
    }
    a.Write("ATD101\r");
    ASSERT_TRUE(b.ReadUntil("RING\r\n"));
    ASSERT_EQ(b.Answer("ATA\r", kConnect), kConnect);
    ASSERT_EQ(b.Command(Frame(0x13, 0x80, std::string("\x00\x46\x08", 3))), kOk);  // DIS
    ASSERT_TRUE(a.ReadUntil(kOk));
    ASSERT_EQ(a.Command("AT+FTM=96\r", kConnect), kConnect);
    b.Write("AT+FRM=96\r");
    // Two seconds of data at 9600 bit/s, the end not yet handed over.
    const std::string data(2400, 'U');
    a.Write(data);
    std::string got;
    ASSERT_TRUE(b.ReadUntil(kConnect + "UUUU", &got, 3000)) << got;
    a.Write(kDleEtx);
    ASSERT_TRUE(b.ReadUntil("\r\nNO CARRIER\r\n", &got, 5000));
    EXPECT_EQ(got.find(kDleEtx), data.size() - 4);  // every byte, then the end
}

}  // namespace
