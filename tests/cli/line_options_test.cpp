// tollan send and receive with error correction and the codings, against
// the emulator's class 2 modems and stations: what the command offers by
// default and with --no-ecm and --coding, and the retry ladder after calls
// that fail while their pages go.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace fs = std::filesystem;

namespace {

const char kTollan[] = TOLLAN_BINARY_DIR "/cli/tollan";

std::string Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A P4 page: a frame and a diagonal stroke.
void WritePbm(const std::string &path) {
    const int width = 1728, height = 400, stride = width / 8;
    std::string bits(static_cast<size_t>(stride) * height, '\0');
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (y < 4 || y >= height - 4 || x < 8 || (x >= 200 + y && x < 210 + y))
                bits[static_cast<size_t>(y) * stride + x / 8] |= static_cast<char>(0x80 >> (x % 8));
    std::ofstream(path, std::ios::binary) << "P4\n" << width << " " << height << "\n" << bits;
}

struct Outcome {
    int status;
    std::string out;
};

class LineOptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tollan-cli-line-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("QUARRY_INI", (dir_ + "/none.ini").c_str(), 1);
        setenv("TMPDIR", dir_.c_str(), 1);
        // A short pause before each modem command: the emulated modems need no more.
        setenv("TOLLAN_COMMAND_PAUSE", "50", 1);
        SimConfig config;
        config.timings.ring_interval = 200;
        config.timings.give_up = 10000;
        config.transcript = dir_ + "/transcript";
        sim_ = SimCreate(config);
        WritePbm(dir_ + "/page.pbm");
    }
    void TearDown() override {
        SimDestroy(sim_);
        std::error_code ignored;
        if (!HasFailure()) fs::remove_all(dir_, ignored);
    }
    int Start(SimFaults modem_faults, bool station_ecm, int station_df) {
        SimModemConfig m;
        m.number = "100";
        m.classes = kSimClass2;
        m.faults = modem_faults;
        const int modem = SimAddModem(sim_, m);
        SimStationConfig s;
        s.number = "200";
        s.page_dir = dir_;
        s.ecm = station_ecm;
        s.data_format = station_df;
        station_ = SimAddStation(sim_, s);
        EXPECT_TRUE(SimStart(sim_));
        return modem;
    }
    Outcome Send(int modem, const std::string &options) {
        const std::string command = std::string("timeout 60 ") + kTollan + " send --device " +
                                    SimModemDevice(sim_, modem) + " --class 2 " + options + " 200 " + dir_ +
                                    "/page.pbm > " + dir_ + "/out 2>&1";
        const int status = system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(dir_ + "/out")};
    }
    // The capability lists the command gave the modem, call by call: "DF,EC"
    // and the BR before them ("5:3,2").
    std::vector<std::string> Offers() {
        std::vector<std::string> offers;
        std::istringstream lines(Slurp(dir_ + "/transcript"));
        for (std::string line; std::getline(lines, line);) {
            const size_t at = line.find("<- AT+FDCC=");
            int vr, br, wd, ln, df, ec;
            if (at == std::string::npos ||
                sscanf(line.c_str() + at, "<- AT+FDCC=%d,%d,%d,%d,%d,%d", &vr, &br, &wd, &ln, &df, &ec) != 6)
                continue;
            offers.push_back(std::to_string(br) + ":" + std::to_string(df) + "," + std::to_string(ec));
        }
        return offers;
    }

    Sim *sim_ = nullptr;
    int station_ = -1;
    std::string dir_;
};

TEST_F(LineOptionsTest, SendOffersErrorCorrectionAndTheBestCodingByDefault) {
    const int modem = Start({}, true, 3);
    const Outcome r = Send(modem, "");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(std::vector<std::string>{"5:3,2"}, Offers());
    ASSERT_TRUE(SimWaitStation(sim_, station_, 1, 5000));
    const SimStationResult result = SimStationResults(sim_, station_);
    EXPECT_EQ(1, result.pages);
    EXPECT_EQ(3, result.data_format);
    EXPECT_EQ(256, result.ecm_frame);
}

TEST_F(LineOptionsTest, NoEcmAndCodingLimitWhatIsOffered) {
    const int modem = Start({}, true, 3);
    const Outcome r = Send(modem, "--no-ecm --coding mr");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(std::vector<std::string>{"5:1,0"}, Offers());
    ASSERT_TRUE(SimWaitStation(sim_, station_, 1, 5000));
    EXPECT_EQ(1, SimStationResults(sim_, station_).data_format);
    EXPECT_EQ(0, SimStationResults(sim_, station_).ecm_frame);
}

SimFaults LostAfterEveryPage() {
    SimFaults f;
    f.fail_phase = SimPhase::kD;
    f.fail_code = 50;
    return f;
}

// Once without error correction, once at 9600 bit/s, then the failure.
TEST_F(LineOptionsTest, ACallLostInThePagePhaseClimbsDownTheLadder) {
    const int modem = Start(LostAfterEveryPage(), true, 3);
    const Outcome r = Send(modem, "");
    EXPECT_EQ(3, r.status) << r.out;  // a lost line is worth another try later
    EXPECT_NE(std::string::npos, r.out.find("trying once more without error correction")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("trying once more at 9600 bit/s")) << r.out;
    EXPECT_EQ((std::vector<std::string>{"5:3,2", "5:1,0", "3:1,0"}), Offers());
}

TEST_F(LineOptionsTest, TheLadderCanBeTurnedOff) {
    const int modem = Start(LostAfterEveryPage(), true, 3);
    const Outcome r = Send(modem, "--no-retry-ladder");
    EXPECT_EQ(3, r.status) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("trying once more")) << r.out;
    EXPECT_EQ(std::vector<std::string>{"5:3,2"}, Offers());
}

}  // namespace
