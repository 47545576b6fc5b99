// End-to-end tests of the tollan command: the real binary runs as a child
// process against modems of the fax line emulator, and netpbm, libtiff's tools
// and Ghostscript check what comes out.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"

extern char **environ;

namespace fs = std::filesystem;

namespace {

const char kTollan[] = TOLLAN_BINARY_DIR "/cli/tollan";

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

bool OnPath(const std::string &name) {
    std::string dirs = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        if (access((dirs.substr(start, end - start) + "/" + name).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// A child process whose stdout and stderr go to files, so that a test can
// watch its progress while it runs and read everything after it ends.
class Child {
public:
    Child(const std::vector<std::string> &argv, const std::string &dir) {
        static int serial = 0;
        std::string stem = dir + "/child" + std::to_string(++serial);
        out_path_ = stem + ".out";
        err_path_ = stem + ".err";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }
    void Signal(int signal_number) const {
        if (pid_ > 0 && !exited_) kill(pid_, signal_number);
    }

    // Waits for the exit; -1 when it ran past the time (it is killed then).
    int Wait(int timeout_ms) {
        if (pid_ <= 0) return -1;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!Exited()) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                exited_ = true;
                status_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return status_;
    }
    // Polls stdout for the text; false if the child ended or the time ran out first.
    bool WaitForOutput(const std::string &text, int timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            if (out().find(text) != std::string::npos) return true;
            if (Exited()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    std::string out() const { return ReadFile(out_path_); }
    std::string err() const { return ReadFile(err_path_); }

private:
    bool Exited() {
        if (exited_ || pid_ <= 0) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        exited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string out_path_, err_path_;
};

struct Result {
    int status;
    std::string out, err;
};

Result RunTool(const std::vector<std::string> &argv, const std::string &dir, int timeout_ms = 20000) {
    Child child(argv, dir);
    int status = child.Wait(timeout_ms);
    return {status, child.out(), child.err()};
}

// A 1-bit BMP, white with a black rectangle [x0,x1) x [y0,y1) (y from the top),
// its resolution fields ppm pixels per metre (3780: 96 dpi; 0: none).
void WriteBmp(const std::string &path, int width, int height, int x0, int y0, int x1, int y1, uint32_t ppm = 3780) {
    int stride = ((width + 31) / 32) * 4;
    uint32_t data_size = stride * height;
    uint32_t offset = 14 + 40 + 8;
    std::string b;
    auto u16 = [&](uint32_t v) { b += char(v & 0xFF), b += char((v >> 8) & 0xFF); };
    auto u32 = [&](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
    b += "BM";
    u32(offset + data_size), u32(0), u32(offset);
    u32(40), u32(width), u32(height), u16(1), u16(1), u32(0), u32(data_size), u32(ppm), u32(ppm), u32(2), u32(0);
    u32(0x00000000), u32(0x00FFFFFF);  // index 0 black, 1 white
    for (int row = height - 1; row >= 0; --row) {  // bottom-up
        std::string line(stride, '\0');
        for (int x = 0; x < width; ++x) {
            bool black = x >= x0 && x < x1 && row >= y0 && row < y1;
            if (!black) line[x / 8] = char(line[x / 8] | (0x80 >> (x % 8)));
        }
        b += line;
    }
    WriteFile(path, b);
}

// A raw PBM (P4) picture; 1 is black.
struct Pbm {
    int width = 0, height = 0;
    std::string bits;
    bool Black(int x, int y) const {
        int stride = (width + 7) / 8;
        return (static_cast<unsigned char>(bits[y * stride + x / 8]) >> (7 - x % 8)) & 1;
    }
};

size_t BlackPixels(const Pbm &pbm) {
    size_t black = 0;
    for (int y = 0; y < pbm.height; ++y)
        for (int x = 0; x < pbm.width; ++x) black += pbm.Black(x, y);
    return black;
}

bool ParsePbm(const std::string &data, Pbm *pbm) {
    size_t pos = 0;
    auto token = [&]() {
        while (pos < data.size() && (isspace(static_cast<unsigned char>(data[pos])) || data[pos] == '#')) {
            if (data[pos] == '#')
                while (pos < data.size() && data[pos] != '\n') ++pos;
            else
                ++pos;
        }
        size_t start = pos;
        while (pos < data.size() && !isspace(static_cast<unsigned char>(data[pos]))) ++pos;
        return data.substr(start, pos - start);
    };
    if (token() != "P4") return false;
    pbm->width = std::stoi(token());
    pbm->height = std::stoi(token());
    ++pos;  // the single whitespace before the raster
    size_t size = static_cast<size_t>((pbm->width + 7) / 8) * pbm->height;
    if (data.size() < pos + size) return false;
    pbm->bits = data.substr(pos, size);
    return true;
}

// Page files keep each byte's first bit in its least significant bit.
bool DecodePage(const std::string &g3, const std::string &dir, Pbm *pbm) {
    std::string pbm_path = dir + "/decoded.pbm";
    Child child({"sh", "-c", "g3topbm -reversebits \"$0\" > \"$1\"", g3, pbm_path}, dir);
    if (child.Wait(20000) != 0) return false;
    return ParsePbm(ReadFile(pbm_path), pbm);
}

// The EOLs the data ends with, with nothing but fill between them (an RTC
// is six).
int TrailingEols(const std::string &data) {
    int eols = 0, zeros = 0;
    for (unsigned char byte : data)
        for (int bit = 0; bit < 8; ++bit) {
            if ((byte >> bit) & 1) {
                eols = zeros >= 11 ? eols + 1 : 0;
                zeros = 0;
            } else {
                ++zeros;
            }
        }
    return eols;
}

// Files a command leaves in TMPDIR that it should have removed.
std::vector<std::string> Leftovers(const std::string &dir) {
    std::vector<std::string> found;
    for (const auto &entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        for (const char *prefix : {"tollan-send-", "tollan-profile-", "tollan-trace-"})
            if (name.rfind(prefix, 0) == 0) found.push_back(name);
    }
    return found;
}

// Renders PostScript with Ghostscript's faxg3 device, as the command does:
// pages whose data ends without RTC.
bool RenderFaxg3(const std::string &ps, const std::string &g3, const std::string &dir) {
    Child gs({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=faxg3", "-dFillOrder=2", "-r204x196",
              "-sOutputFile=" + g3, ps},
             dir);
    return gs.Wait(30000) == 0;
}

const char kBoxPostScript[] =
    "%!PS\n<< /PageSize [595 842] >> setpagedevice\n"
    "newpath 200 400 moveto 200 0 rlineto 0 200 rlineto -200 0 rlineto closepath fill\nshowpage\n";

// Quick rings; the T.30 times stay as they are, since the library on the
// other side of the pty keeps its own pace between commands.
SimConfig FastConfig() {
    SimConfig c;
    c.timings.ring_interval = 200;
    c.timings.give_up = 10000;  // the receiver sets up for a while after the first RING
    if (const char *t = getenv("TOLLAN_SIM_TRANSCRIPT")) c.transcript = t;
    return c;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tollan-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // Keep the user's own profile out of the commands under test.
        setenv("QUARRY_INI", (dir_ + "/none.ini").c_str(), 1);
        setenv("TMPDIR", dir_.c_str(), 1);
        // A short pause before each modem command: the emulated modems need no more.
        setenv("TOLLAN_COMMAND_PAUSE", "50", 1);
        sim_ = SimCreate(FastConfig());
    }
    void TearDown() override {
        if (sim_) SimDestroy(sim_);
        std::error_code ignored;
        if (!HasFailure()) fs::remove_all(dir_, ignored);
    }
    int AddModem(const std::string &number, unsigned classes) {
        SimModemConfig c;
        c.number = number;
        c.classes = classes;
        return SimAddModem(sim_, c);
    }
    int AddAnsweringStation(const std::string &number, SimFaults faults = {}, const std::string &identity = "") {
        SimStationConfig c;
        c.number = number;
        if (!identity.empty()) c.identity = identity;
        c.page_dir = dir_;
        c.faults = faults;
        return SimAddStation(sim_, c);
    }
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }

    Sim *sim_ = nullptr;
    std::string dir_;
};

TEST_F(CliTest, SendToBusyStationFailsAndSaysWhy) {
    int modem = AddModem("100", kSimClass20);
    SimFaults busy;
    busy.busy = true;
    AddAnsweringStation("200", busy);
    ASSERT_TRUE(SimStart(sim_));
    WriteBmp(Path("page.bmp"), 64, 64, 8, 8, 32, 32);

    Result r = RunTool({kTollan, "send", "--device", SimModemDevice(sim_, modem), "--class", "2.0", "200", Path("page.bmp")},
                   dir_);
    EXPECT_EQ(r.status, 3) << r.out << r.err;  // worth trying again later
    EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("result: retry (the line is busy, while connecting)"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("page 1/1 sent"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("hang-up code: 0"), std::string::npos) << r.out;  // no "normal end" before "busy"
    EXPECT_NE(r.out.find("waiting for the remote fax machine to answer"), std::string::npos) << r.out;
}

TEST_F(CliTest, SendsBitmapThroughClass20Modem) {
    int modem = AddModem("100", kSimClass20);
    int station = AddAnsweringStation("200");
    ASSERT_TRUE(SimStart(sim_));
    WriteBmp(Path("page.bmp"), 64, 64, 8, 8, 32, 32);

    Result r = RunTool({kTollan, "send", "--device", SimModemDevice(sim_, modem), "--class", "2.0", "--id", "+1 555 0100",
                    "200", Path("page.bmp")},
                   dir_);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("page 1/1 sent"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("pages sent: 1 of 1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("TOLLAN STATION"), std::string::npos) << r.out;
    // Not a terminal: plain progress lines, one per phase and page.
    EXPECT_NE(r.out.find("progress: connecting"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("progress: page data, page 1 of 1, 0%"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("result: success\n"), std::string::npos) << r.out;
    ASSERT_TRUE(SimWaitStation(sim_, station, 1, 5000));
    SimStationResult result = SimStationResults(sim_, station);
    EXPECT_EQ(result.pages, 1);
    EXPECT_EQ(result.remote_id, "+1 555 0100");
    ASSERT_EQ(result.page_files.size(), 1u);
    EXPECT_TRUE(fs::exists(result.page_files[0]));
}

// --json: the report as one JSON object that a JSON parser reads back, the
// identity's backslash escaped (the library takes quotes out of identities).
TEST_F(CliTest, SendJsonPrintsTheReportAsOneObject) {
    if (!OnPath("python3")) GTEST_SKIP() << "python3 reads the JSON back";
    int modem = AddModem("100", kSimClass20);
    AddAnsweringStation("200", {}, "A\\B 5");
    ASSERT_TRUE(SimStart(sim_));
    WriteBmp(Path("page.bmp"), 64, 64, 8, 8, 32, 32);

    Result r = RunTool({kTollan, "send", "--json", "--device", SimModemDevice(sim_, modem), "--class", "2.0", "200",
                        Path("page.bmp")},
                       dir_);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("progress:"), std::string::npos) << r.out;
    const size_t start = r.out.find("\n{");
    ASSERT_NE(start, std::string::npos) << r.out;
    WriteFile(Path("report.json"), r.out.substr(start + 1));
    Result parsed = RunTool({"python3", "-c",
                             "import json,sys; d=json.load(open(sys.argv[1])); "
                             "print(d['outcome'], d['phase'], d['pages_confirmed'], len(d['pages']), d['pages'][0]['bytes'] > 0); "
                             "print(d['remote_id'])",
                             Path("report.json")},
                            dir_);
    ASSERT_EQ(parsed.status, 0) << parsed.err << r.out;
    EXPECT_EQ(parsed.out, "success releasing 1 1 True\nA\\B 5\n");
}

TEST_F(CliTest, ReceivesTwoPagesAsBitmapsAndOneTiff) {
    if (!OnPath("tiffinfo") || !OnPath("tifftopnm") || !OnPath("g3topbm"))
        GTEST_SKIP() << "needs libtiff-tools and netpbm";
    int modem = AddModem("100", kSimClass2);
    // Two different pages, so that a swapped or repeated page shows.
    WriteBmp(Path("one.bmp"), 200, 100, 10, 10, 100, 40);
    WriteBmp(Path("two.bmp"), 200, 100, 100, 50, 190, 90);
    for (const char *name : {"one", "two"}) {
        Result c = RunTool({kTollan, "convert", Path(std::string(name) + ".bmp"), Path(std::string(name) + "_p1.g3")}, dir_);
        ASSERT_EQ(c.status, 0) << c.out << c.err;
    }
    SimStationConfig caller;
    caller.number = "300";
    caller.identity = "CALLING STATION";
    caller.answering = false;
    caller.fine = false;  // a standard-resolution call: the TIFF says 98 lines per inch
    caller.page_dir = dir_;
    caller.pages = {Path("one_p1.g3"), Path("two_p1.g3")};
    int station = SimAddStation(sim_, caller);
    ASSERT_TRUE(SimStart(sim_));

    std::string base = Path("in.g3");
    Child receive({kTollan, "receive", "--device", SimModemDevice(sim_, modem), "--tiff", "--bmp", base}, dir_);
    ASSERT_TRUE(receive.started());
    ASSERT_TRUE(receive.WaitForOutput("waiting for a call", 10000)) << receive.out() << receive.err();
    ASSERT_TRUE(SimStationCall(sim_, station, "100"));
    int status = receive.Wait(30000);
    std::string out = receive.out();
    ASSERT_EQ(status, 0) << out << receive.err();
    EXPECT_NE(out.find("pages received: 2"), std::string::npos) << out;
    EXPECT_NE(out.find("progress: page data, page 2, 0 KiB"), std::string::npos) << out;
    EXPECT_NE(out.find("result: success\n"), std::string::npos) << out;
    EXPECT_NE(out.find("CALLING STATION"), std::string::npos) << out;
    ASSERT_TRUE(SimWaitStation(sim_, station, 1, 5000));
    EXPECT_EQ(SimStationResults(sim_, station).pages, 2);

    EXPECT_TRUE(fs::exists(Path("in_p1.bmp")));
    EXPECT_TRUE(fs::exists(Path("in_p2.bmp")));
    std::string tiff = Path("in.tif");
    ASSERT_TRUE(fs::exists(tiff)) << out;

    Result info = RunTool({"tiffinfo", tiff}, dir_);
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.err, "");
    size_t directories = 0;
    for (size_t at = info.out.find("TIFF Directory"); at != std::string::npos;
         at = info.out.find("TIFF Directory", at + 1))
        ++directories;
    EXPECT_EQ(directories, 2u) << info.out;
    EXPECT_NE(info.out.find("Resolution: 204, 98 pixels/inch"), std::string::npos) << info.out;

    // Each TIFF page holds the pixels of the received page file, and those are
    // the caller's picture: the same count of black pixels (the receiving end
    // may drop a leading blank line or two, so rows are not compared with the
    // sent page).
    for (int page = 0; page < 2; ++page) {
        std::string pnm = Path("tiff" + std::to_string(page) + ".pbm");
        Child convert({"sh", "-c", "tiffsplit \"$0\" \"$1\" && tifftopnm \"$1\"" + std::string(page ? "aab" : "aaa") +
                                       ".tif > \"$2\"",
                       tiff, Path("split-"), pnm},
                      dir_);
        ASSERT_EQ(convert.Wait(20000), 0) << convert.err();
        Pbm from_tiff, received, sent;
        ASSERT_TRUE(ParsePbm(ReadFile(pnm), &from_tiff));
        ASSERT_TRUE(DecodePage(Path("in_p" + std::to_string(page + 1) + ".g3"), dir_, &received));
        ASSERT_TRUE(DecodePage(caller.pages[page], dir_, &sent));
        ASSERT_EQ(from_tiff.width, received.width);
        ASSERT_GE(from_tiff.height, received.height);
        EXPECT_TRUE(from_tiff.bits.compare(0, received.bits.size(), received.bits) == 0)
            << "TIFF page " << page + 1 << " differs from its page file";
        EXPECT_EQ(BlackPixels(received), BlackPixels(sent)) << "page " << page + 1;
        EXPECT_GT(BlackPixels(sent), 0u);
    }
}

// A caller of one or two pages (converted from bitmaps) on number 300.
class CliCallTest : public CliTest {
protected:
    int AddCaller(int pages) {
        SimStationConfig caller;
        caller.number = "300";
        caller.answering = false;
        caller.page_dir = dir_;
        for (int n = 1; n <= pages; ++n) {
            std::string name = "sent" + std::to_string(n);
            WriteBmp(Path(name + ".bmp"), 200, 100, 10 * n, 10, 100, 40);
            Result c = RunTool({kTollan, "convert", Path(name + ".bmp"), Path(name + "_p1.g3")}, dir_);
            EXPECT_EQ(c.status, 0) << c.err;
            caller.pages.push_back(Path(name + "_p1.g3"));
        }
        return SimAddStation(sim_, caller);
    }
};

TEST_F(CliCallTest, ReceiveIntoABaseNameInUseTakesAFreshOne) {
    int modem = AddModem("100", kSimClass2);
    int station = AddCaller(1);
    ASSERT_TRUE(SimStart(sim_));
    // An earlier two-page fax under the base name.
    WriteFile(Path("in_p1.g3"), "earlier page 1");
    WriteFile(Path("in_p2.g3"), "earlier page 2");

    Child receive({kTollan, "receive", "--device", SimModemDevice(sim_, modem), Path("in.g3")}, dir_);
    ASSERT_TRUE(receive.WaitForOutput("waiting for a call", 10000)) << receive.err();
    ASSERT_TRUE(SimStationCall(sim_, station, "100"));
    ASSERT_EQ(receive.Wait(30000), 0) << receive.out() << receive.err();
    EXPECT_NE(receive.out().find(Path("in.g3") + " holds an earlier fax; receiving as " + Path("in-2.g3")),
              std::string::npos)
        << receive.out();
    EXPECT_NE(receive.out().find("page 1 received: " + Path("in-2_p1.g3")), std::string::npos) << receive.out();
    EXPECT_EQ(ReadFile(Path("in_p1.g3")), "earlier page 1");
    EXPECT_EQ(ReadFile(Path("in_p2.g3")), "earlier page 2");
    EXPECT_GT(fs::file_size(Path("in-2_p1.g3")), 100u);
    EXPECT_FALSE(fs::exists(Path("in-2_p2.g3")));
}

// The library ends a call promptly once the command passes a signal on:
// the line is silent in the middle of the page (the page would stall for
// over a minute), and the command exits long before that.
TEST_F(CliCallTest, SigtermEndsAReceivingCallInAPageAndKeepsTheWholePages) {
    int modem = AddModem("100", kSimClass2);
    int station = AddCaller(2);
    SimFaults silent;
    SimParseFaults("silent@C2", &silent);
    SimSetModemFaults(sim_, modem, silent);
    ASSERT_TRUE(SimStart(sim_));

    Child receive({kTollan, "receive", "--device", SimModemDevice(sim_, modem), Path("in.g3")}, dir_);
    ASSERT_TRUE(receive.WaitForOutput("waiting for a call", 10000)) << receive.err();
    ASSERT_TRUE(SimStationCall(sim_, station, "100"));
    ASSERT_TRUE(receive.WaitForOutput("page 1 received", 30000)) << receive.out() << receive.err();
    for (int i = 0; i < 500 && !SimModemSilenced(sim_, modem); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(SimModemSilenced(sim_, modem));
    receive.Signal(SIGTERM);
    EXPECT_EQ(receive.Wait(20000), 143) << receive.out() << receive.err();
    EXPECT_NE(receive.out().find("pages received: 1"), std::string::npos) << receive.out();
    EXPECT_NE(receive.err().find("tollan: stopped by SIGTERM during a call; 1 page received whole kept"),
              std::string::npos)
        << receive.err();
    EXPECT_GT(fs::file_size(Path("in_p1.g3")), 100u);
}

TEST_F(CliCallTest, SigintEndsASendingCall) {
    int modem = AddModem("100", kSimClass20);
    AddAnsweringStation("200");
    SimFaults silent;
    SimParseFaults("silent@C1", &silent);
    SimSetModemFaults(sim_, modem, silent);
    ASSERT_TRUE(SimStart(sim_));
    WriteBmp(Path("page.bmp"), 64, 64, 8, 8, 32, 32);

    Child send({kTollan, "send", "--device", SimModemDevice(sim_, modem), "--class", "2.0", "200", Path("page.bmp")},
               dir_);
    for (int i = 0; i < 1500 && !SimModemSilenced(sim_, modem); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(SimModemSilenced(sim_, modem)) << send.out() << send.err();
    send.Signal(SIGINT);
    EXPECT_EQ(send.Wait(20000), 130) << send.out() << send.err();
    EXPECT_NE(send.out().find("pages sent: 0 of 1"), std::string::npos) << send.out();
    EXPECT_NE(send.err().find("tollan: stopped by SIGINT during the call"), std::string::npos) << send.err();
    EXPECT_TRUE(Leftovers(dir_).empty());
}

// Ctrl-C in the middle of a page's data (sent at the line's pace): the
// command exits 130 and the library ended the call on the modem (AT+FK: DCN
// and on hook; then ATH0), not merely by closing the port.
TEST_F(CliCallTest, SigintInAPageHangsTheModemUp) {
    int modem = AddModem("100", kSimClass2);
    AddAnsweringStation("200");
    SimFaults paced;
    SimParseFaults("paced", &paced);
    SimSetModemFaults(sim_, modem, paced);
    static std::atomic<bool> in_page;
    in_page = false;
    SimSetPhaseHook(
        sim_, [](void *, int, SimPhase phase, int) { in_page = in_page || phase == SimPhase::kC; }, nullptr);
    ASSERT_TRUE(SimStart(sim_));
    WriteBmp(Path("page.bmp"), 1728, 2000, 8, 8, 400, 1900);

    Child send({kTollan, "send", "--device", SimModemDevice(sim_, modem), "--class", "2", "200", Path("page.bmp")},
               dir_);
    for (int i = 0; i < 1500 && !in_page; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(in_page) << send.out() << send.err();
    send.Signal(SIGINT);
    EXPECT_EQ(send.Wait(20000), 130) << send.out() << send.err();
    EXPECT_NE(send.err().find("tollan: stopped by SIGINT during the call"), std::string::npos) << send.err();
    EXPECT_EQ(SimModemHostHangups(sim_, modem), 1);
    SimSetPhaseHook(sim_, nullptr, nullptr);
}

// A page whose data ends without RTC (as Ghostscript writes them) is a page:
// rendered as BMP and put in the TIFF. The caller sees --id as the CSI.
TEST_F(CliTest, ReceivesAPageWithoutRtcIntoBitmapAndTiff) {
    if (!OnPath("gs") || !OnPath("tiffinfo")) GTEST_SKIP() << "needs Ghostscript and libtiff-tools";
    WriteFile(Path("box.ps"), kBoxPostScript);
    ASSERT_TRUE(RenderFaxg3(Path("box.ps"), Path("box.g3"), dir_));
    ASSERT_LT(TrailingEols(ReadFile(Path("box.g3"))), 6);
    int modem = AddModem("100", kSimClass2);
    SimStationConfig caller;
    caller.number = "300";
    caller.identity = "  BOX  SENDER ";
    caller.answering = false;
    caller.page_dir = dir_;
    caller.pages = {Path("box.g3")};
    int station = SimAddStation(sim_, caller);
    ASSERT_TRUE(SimStart(sim_));

    Child receive({kTollan, "receive", "--device", SimModemDevice(sim_, modem), "--id", "+1 555 0100", "--bmp",
                   "--tiff", Path("in.g3")},
                  dir_);
    ASSERT_TRUE(receive.WaitForOutput("waiting for a call on port 1 (" + SimModemDevice(sim_, modem) + ")", 10000))
        << receive.out() << receive.err();
    ASSERT_TRUE(SimStationCall(sim_, station, "100"));
    ASSERT_EQ(receive.Wait(30000), 0) << receive.out() << receive.err();
    EXPECT_NE(receive.out().find("remote station: BOX  SENDER\n"), std::string::npos) << receive.out();
    EXPECT_NE(receive.out().find("document: " + Path("in.tif")), std::string::npos) << receive.out();
    ASSERT_TRUE(SimWaitStation(sim_, station, 1, 5000));
    EXPECT_EQ(SimStationResults(sim_, station).remote_id, "+1 555 0100");
    EXPECT_TRUE(fs::exists(Path("in_p1.bmp")));
    Result info = RunTool({"tiffinfo", Path("in.tif")}, dir_);
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("Image Width: 1728"), std::string::npos) << info.out;
    Result g3 = RunTool({kTollan, "info", Path("in_p1.g3")}, dir_);
    EXPECT_NE(g3.out.find("Group 3 page, 1728 x "), std::string::npos) << g3.out << g3.err;
}

// SIGHUP in the middle of a call: the call is finished, then the loop stops.
TEST_F(CliCallTest, SighupLetsTheLoopFinishItsCallAndStop) {
    int modem = AddModem("100", kSimClass2);
    int station = AddCaller(2);
    ASSERT_TRUE(SimStart(sim_));
    Child receive({kTollan, "receive", "--device", SimModemDevice(sim_, modem), "--loop", Path("in.g3")}, dir_);
    ASSERT_TRUE(receive.WaitForOutput("waiting for a call", 10000)) << receive.err();
    ASSERT_TRUE(SimStationCall(sim_, station, "100"));
    ASSERT_TRUE(receive.WaitForOutput("page 1 received", 30000)) << receive.out() << receive.err();
    receive.Signal(SIGHUP);
    EXPECT_EQ(receive.Wait(30000), 0) << receive.out() << receive.err();
    EXPECT_NE(receive.out().find("pages received: 2"), std::string::npos) << receive.out();
    EXPECT_NE(receive.out().find("SIGHUP: stopped after the last call"), std::string::npos) << receive.out();
    ASSERT_TRUE(SimWaitStation(sim_, station, 1, 5000));
    EXPECT_EQ(SimStationResults(sim_, station).pages, 2);
    EXPECT_TRUE(Leftovers(dir_).empty());
}

// SIGHUP stops a receiving loop cleanly: no call is cut, nothing is left.
TEST_F(CliTest, SighupStopsAReceiveLoopCleanly) {
    int modem = AddModem("100", kSimClass2);
    ASSERT_TRUE(SimStart(sim_));
    Child receive({kTollan, "receive", "--device", SimModemDevice(sim_, modem), "--loop", "--trace", Path("t.log"),
                   Path("in.g3")},
                  dir_);
    ASSERT_TRUE(receive.WaitForOutput("waiting for a call", 10000)) << receive.err();
    receive.Signal(SIGHUP);
    EXPECT_EQ(receive.Wait(10000), 0) << receive.out() << receive.err();
    EXPECT_NE(receive.out().find("SIGHUP: stopped"), std::string::npos) << receive.out();
    EXPECT_TRUE(Leftovers(dir_).empty());

    // A single receive stopped before a call got nothing: not a success.
    Child once({kTollan, "receive", "--device", SimModemDevice(sim_, modem), Path("in.g3")}, dir_);
    ASSERT_TRUE(once.WaitForOutput("waiting for a call", 10000)) << once.err();
    once.Signal(SIGINT);
    EXPECT_EQ(once.Wait(10000), 130) << once.err();
    EXPECT_TRUE(Leftovers(dir_).empty());
}

TEST_F(CliTest, PostScriptPageArrivesAsPositive) {
    if (!OnPath("gs") || !OnPath("g3topbm")) GTEST_SKIP() << "needs Ghostscript and netpbm";
    int modem = AddModem("100", kSimClass20);
    int station = AddAnsweringStation("200");
    ASSERT_TRUE(SimStart(sim_));
    // A4, a black box 200 points wide from (200, 400) up from the lower left corner.
    WriteFile(Path("box.ps"), kBoxPostScript);

    Result r = RunTool({kTollan, "send", "--device", SimModemDevice(sim_, modem), "--class", "2.0", "200", Path("box.ps")},
                   dir_, 30000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_TRUE(SimWaitStation(sim_, station, 1, 5000));
    SimStationResult result = SimStationResults(sim_, station);
    ASSERT_EQ(result.page_files.size(), 1u);
    // Ghostscript's page ends after its last row; the command adds the RTC.
    EXPECT_GE(TrailingEols(ReadFile(result.page_files[0])), 6);

    Pbm page;
    ASSERT_TRUE(DecodePage(result.page_files[0], dir_, &page));
    ASSERT_EQ(page.width, 1728);
    ASSERT_GT(page.height, 2000);  // fine resolution: about 2290 lines
    double black_share = double(BlackPixels(page)) / (double(page.width) * page.height);
    // The box is 200 x 200 points of an A4 page: under a tenth of it.
    EXPECT_GT(black_share, 0.03);
    EXPECT_LT(black_share, 0.15);
    // At 204 x 196 dpi the box covers about x 567-1133, y 659-1203; test well inside
    // and well outside it, with room for the page's margins.
    int inside = 0, outside = 0;
    for (int y = 750; y < 1100; y += 10)
        for (int x = 650; x < 1050; x += 10) inside += page.Black(x, y);
    for (int y = 100; y < 500; y += 10)
        for (int x = 100; x < 1600; x += 10) outside += page.Black(x, y);
    EXPECT_EQ(inside, 35 * 40);
    EXPECT_EQ(outside, 0);
}

TEST_F(CliTest, ConvertAndInfoReportSizes) {
    WriteBmp(Path("page.bmp"), 1728, 300, 0, 0, 100, 100);
    Result info = RunTool({kTollan, "info", Path("page.bmp")}, dir_);
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("document; sent as a standard page of 1728 x 300"), std::string::npos)
        << info.out;

    // The page is padded to the minimum page length, so only its width is known beforehand.
    Result to_g3 = RunTool({kTollan, "convert", Path("page.bmp"), Path("page.g3")}, dir_);
    ASSERT_EQ(to_g3.status, 0) << to_g3.err;
    Result g3_info = RunTool({kTollan, "info", Path("page.g3")}, dir_);
    EXPECT_EQ(g3_info.status, 0) << g3_info.err;
    size_t at = g3_info.out.find("Group 3 page, 1728 x ");
    ASSERT_NE(at, std::string::npos) << g3_info.out;
    int lines = std::atoi(g3_info.out.c_str() + at + 21);
    EXPECT_GE(lines, 300);

    Result back = RunTool({kTollan, "convert", Path("page.g3"), Path("back.bmp")}, dir_);
    ASSERT_EQ(back.status, 0) << back.err;
    Result back_info = RunTool({kTollan, "info", Path("back.bmp")}, dir_);
    EXPECT_NE(back_info.out.find(" page of 1728 x " + std::to_string(lines) + "\n"), std::string::npos)
        << back_info.out;

    // File errors name the file and the reason.
    Result missing = RunTool({kTollan, "info", Path("missing.g3")}, dir_);
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.err.find("tollan: cannot read " + Path("missing.g3") + ": No such file or directory"),
              std::string::npos)
        << missing.err;
    Result missing_convert = RunTool({kTollan, "convert", Path("missing.bmp"), Path("x.g3")}, dir_);
    EXPECT_NE(missing_convert.status, 0);
    EXPECT_NE(missing_convert.err.find(Path("missing.bmp") + ": No such file or directory"), std::string::npos)
        << missing_convert.err;
    EXPECT_FALSE(fs::exists(Path("x.g3")));
    // Option ranges are usage errors, like the others.
    EXPECT_EQ(RunTool({kTollan, "convert", "--stretch", "9", Path("page.bmp"), Path("x.g3")}, dir_).status, 2);
}

// What send cannot send is refused before the modem is opened (the device
// does not exist, so opening it would fail with another message).
TEST_F(CliTest, SendRefusesWhatIsNoDocumentBeforeOpeningTheModem) {
    WriteFile(Path("letter.txt"), "Dear Sir,\nplease find enclosed\n");
    WriteFile(Path("empty.g3"), "");
    WriteFile(Path("scan.tif"), std::string("II*\0\x08\0\0\0", 8) + std::string(64, '\0'));
    WriteBmp(Path("page.bmp"), 64, 64, 8, 8, 32, 32);
    const struct {
        std::string number, file, says;
    } cases[] = {
        {"200", Path("letter.txt"), Path("letter.txt") + " is not a document tollan can send"},
        {"200", Path("empty.g3"), Path("empty.g3") + " is empty"},
        {"200", Path("scan.tif"), Path("scan.tif") + " cannot be sent: 201 (the TIFF cannot be read"},
        {"200", Path("missing.bmp"), Path("missing.bmp") + " cannot be read: No such file or directory"},
        {"", Path("page.bmp"), "the number to dial is empty"},
    };
    for (const auto &c : cases) {
        Result r = RunTool({kTollan, "send", "--device", Path("no-modem"), c.number, c.file}, dir_);
        EXPECT_EQ(r.status, 2) << c.file << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("opening"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(Leftovers(dir_).empty());
}

// The page a picture makes: the resolution from the picture, the aspect
// kept, narrowed to 1728 dots where wider, centred where narrower.
TEST_F(CliTest, InfoTellsThePageAPictureMakes) {
    WriteBmp(Path("scan300.bmp"), 2480, 3508, 0, 0, 1, 1, 11811);  // A4 at 300 dpi
    WriteBmp(Path("standard.bmp"), 1728, 1146, 0, 0, 1, 1, 0);     // a standard fax page, no resolution
    WriteBmp(Path("narrow.bmp"), 1000, 500, 0, 0, 1, 1, 0);
    std::string wide = "P4\n3000 100\n" + std::string(375 * 100, '\0');
    WriteFile(Path("wide.pbm"), wide);
    const struct {
        std::string file, says;
    } cases[] = {
        {"scan300.bmp", "sent as a fine page of 1728 x 2292"},
        {"standard.bmp", "sent as a standard page of 1728 x 1146"},
        {"narrow.bmp", "sent as a standard page of 1728 x 500"},
        {"wide.pbm", "sent as a fine page of 1728 x 55"},
    };
    for (const auto &c : cases) {
        Result r = RunTool({kTollan, "info", Path(c.file)}, dir_);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    }
}

// A 300-dpi scan wider than the page is narrowed with its height; a narrow
// picture is centred, not stretched across. Both pages of one fine call.
TEST_F(CliTest, SendsPicturesKeepingTheirAspect) {
    if (!OnPath("g3topbm")) GTEST_SKIP() << "needs netpbm";
    int modem = AddModem("100", kSimClass20);
    int station = AddAnsweringStation("200");
    ASSERT_TRUE(SimStart(sim_));
    WriteBmp(Path("scan300.bmp"), 2480, 3508, 1000, 1000, 1300, 1300, 11811);
    WriteBmp(Path("narrow.bmp"), 1000, 500, 0, 100, 100, 200, 0);

    Result r = RunTool({kTollan, "send", "--device", SimModemDevice(sim_, modem), "200", Path("scan300.bmp"),
                        Path("narrow.bmp")},
                       dir_, 60000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("at fine resolution"), std::string::npos) << r.out;
    ASSERT_TRUE(SimWaitStation(sim_, station, 1, 5000));
    SimStationResult result = SimStationResults(sim_, station);
    ASSERT_EQ(result.page_files.size(), 2u);

    // The scan: 0.68 of its size across and 0.653 down (196 of 300 lines
    // per inch), centred 21 dots in: the box about x 701-905, y 653-849.
    Pbm scan, narrow;
    ASSERT_TRUE(DecodePage(result.page_files[0], dir_, &scan));
    EXPECT_EQ(scan.width, 1728);
    EXPECT_NEAR(scan.height, 2292, 10);
    // (A few blank rows come before the picture's.)
    EXPECT_TRUE(scan.Black(710, 665) && scan.Black(895, 845));
    EXPECT_FALSE(scan.Black(690, 755) || scan.Black(915, 755) || scan.Black(800, 630) || scan.Black(800, 870));
    // The narrow one at fine resolution: twice its rows, centred 364 dots in.
    ASSERT_TRUE(DecodePage(result.page_files[1], dir_, &narrow));
    EXPECT_EQ(narrow.width, 1728);
    EXPECT_NEAR(narrow.height, 1000, 10);
    EXPECT_EQ(BlackPixels(narrow), 100u * 200u);
    EXPECT_FALSE(narrow.Black(360, 300) || narrow.Black(466, 300));
    EXPECT_TRUE(narrow.Black(366, 300) && narrow.Black(462, 300));
}

// A class 1 only modem: --class auto asks it what it offers and sends in
// class 1, and receives in class 1. The trace goes out in UTF-8 lines with
// their date, and raw.
TEST_F(CliTest, AutoClassSendsThroughAClass1OnlyModem) {
    int modem = AddModem("100", kSimClass1);
    int station = AddAnsweringStation("200");
    SimStationConfig caller;
    caller.number = "300";
    caller.answering = false;
    caller.page_dir = dir_;
    caller.pages = {Path("call_p1.g3")};
    int calling = SimAddStation(sim_, caller);
    ASSERT_TRUE(SimStart(sim_));
    WriteBmp(Path("page.bmp"), 64, 64, 8, 8, 32, 32);

    Result r = RunTool({kTollan, "send", "--device", SimModemDevice(sim_, modem), "--trace", Path("trace.log"),
                        "--trace-raw", Path("raw.log"), "200", Path("page.bmp")},
                       dir_, 60000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("the modem offers classes 0,1, not 2.0 or 2: sending in class 1"), std::string::npos) << r.out;
    ASSERT_TRUE(SimWaitStation(sim_, station, 1, 5000));
    EXPECT_EQ(SimStationResults(sim_, station).pages, 1);

    std::string raw = ReadFile(Path("raw.log")), text = ReadFile(Path("trace.log"));
    ASSERT_FALSE(raw.empty());
    EXPECT_NE(raw.find("\r\n"), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    size_t raw_lines = 0, lines = 0;
    for (char c : raw) raw_lines += c == '\n';
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        ++lines;
        // "YYYY-MM-DD hh:mm:ss ": the date, then the library's time.
        ASSERT_GT(text.size(), at + 20);
        EXPECT_TRUE(isdigit(static_cast<unsigned char>(text[at])) && text[at + 4] == '-' && text[at + 7] == '-' &&
                    text[at + 10] == ' ' && text[at + 13] == ':' && text[at + 19] == ' ')
            << text.substr(at, 40);
    }
    EXPECT_EQ(lines, raw_lines);
    EXPECT_TRUE(Leftovers(dir_).empty());

    Result c = RunTool({kTollan, "convert", Path("page.bmp"), Path("call_p1.g3")}, dir_);
    ASSERT_EQ(c.status, 0) << c.out << c.err;
    Child receive({kTollan, "receive", "--device", SimModemDevice(sim_, modem), Path("in.g3")}, dir_);
    ASSERT_TRUE(receive.started());
    ASSERT_TRUE(receive.WaitForOutput("waiting for a call", 10000)) << receive.out() << receive.err();
    EXPECT_NE(receive.out().find("the modem offers classes 0,1, not 2.0 or 2: receiving in class 1"), std::string::npos)
        << receive.out();
    ASSERT_TRUE(SimStationCall(sim_, calling, "100"));
    ASSERT_EQ(receive.Wait(60000), 0) << receive.out() << receive.err();
    EXPECT_NE(receive.out().find("pages received: 1"), std::string::npos) << receive.out();
}

// ---- Documents nobody here made, through send and receive ----

std::string ChartsDir() {
    for (const char *dir : {TOLLAN_SOURCE_DIR "/../shared/testdata/itu-charts", "/work/shared/testdata/itu-charts"})
        if (access((std::string(dir) + "/itu1.pbm.gz").c_str(), R_OK) == 0) return dir;
    return std::string();
}

std::string DebianPdf() {
    for (const char *path : {"/usr/share/doc/shared-mime-info/shared-mime-info-spec.pdf",
                             "/usr/share/doc/libtasn1-doc/libtasn1.pdf"})
        if (access(path, R_OK) == 0) return path;
    return std::string();
}

// One document made by another program from an ITU chart (or a Debian PDF),
// and the page the fax machine at the other end should print of it.
struct ForeignDocument {
    const char *name;
    const char *tool;     // skipped when it is not installed
    std::string command;  // sh: $1 the chart as PBM, $2 the document to write, $3 a scratch name
    int chart;            // 0: the Debian PDF
    int white_rows_after; // rows the tool adds below the chart
};

class CliDocumentsTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        // The emulator's station counts T2 for the post-page message from
        // the start of a page's data, not its end: a page longer than T2 on
        // the line ends the call (hang-up 50). T2 long enough for the pages here.
        SimDestroy(sim_);
        SimConfig config = FastConfig();
        config.timings.t2 = 60000;
        sim_ = SimCreate(config);
    }
    // Runs a shell command with arguments; true when it exits 0.
    bool Sh(const std::string &command, const std::vector<std::string> &args) {
        std::vector<std::string> argv = {"sh", "-c", command, "sh"};
        argv.insert(argv.end(), args.begin(), args.end());
        Result r = RunTool(argv, dir_, 60000);
        EXPECT_EQ(r.status, 0) << command << "\n" << r.err;
        return r.status == 0;
    }
    // The document, and in *page the page it should arrive as.
    bool Make(const ForeignDocument &d, const std::string &doc, Pbm *page) {
        const std::string pbm = Path("chart" + std::to_string(d.chart) + ".pbm");
        if (d.chart == 0) {
            // The PDF's first page, as the command itself makes the page of it.
            if (!Sh(d.command, {DebianPdf(), doc, ""})) return false;
            Result c = RunTool({kTollan, "convert", "--fine", doc, Path("ref.g3")}, dir_, 60000);
            EXPECT_EQ(c.status, 0) << c.err;
            return c.status == 0 && DecodePage(Path("ref_p1.g3"), dir_, page);
        }
        // A band of the chart: a whole one takes 20 to 60 s on the line at 14400 bit/s.
        if (!Sh("zcat \"$1\" | pamcut -top 600 -height 160 > \"$2\"",
                {ChartsDir() + "/itu" + std::to_string(d.chart) + ".pbm.gz", pbm}) ||
            !Sh(d.command, {pbm, doc, Path("scratch" + std::to_string(d.chart))}) || !ParsePbm(ReadFile(pbm), page))
            return false;
        page->bits.append(static_cast<size_t>((page->width + 7) / 8) * d.white_rows_after, '\0');
        page->height += d.white_rows_after;
        return true;
    }
    // Page n (from 0) of a TIFF through libtiff's tools and netpbm.
    bool TiffPage(const std::string &tiff, int n, Pbm *page) {
        const std::string one = Path("one.tif"), pbm = Path("one.pbm");
        return Sh("tiffcp \"$1\",$2 \"$3\" && tifftopnm \"$3\" > \"$4\" 2>/dev/null",
                  {tiff, std::to_string(n), one, pbm}) &&
               ParsePbm(ReadFile(pbm), page) && fs::remove(one);
    }
    // Page n (from 0) of a PDF as poppler renders it at the fax's resolution.
    bool PdfPage(const std::string &pdf, int n, Pbm *page) {
        const std::string prefix = Path("shown");
        const std::string number = std::to_string(n + 1);
        return Sh("pdftoppm -mono -rx 204 -ry 196 -f $2 -l $2 -singlefile \"$1\" \"$3\"", {pdf, number, prefix}) &&
               ParsePbm(ReadFile(prefix + ".pbm"), page);
    }
    // `tollan send` sends the documents through a class 2.0 modem to a
    // station, which calls `tollan receive --tiff --pdf` on a class 2 modem
    // and sends those pages on; the receiving base is in.g3.
    void SendAndReceive(const std::vector<std::string> &send_options, const std::vector<std::string> &documents,
                        int pages) {
        int sender = AddModem("100", kSimClass20);
        int receiver = AddModem("300", kSimClass2);
        int station = AddAnsweringStation("200");
        SimStationConfig relay;
        relay.number = "400";
        relay.answering = false;
        relay.page_dir = dir_;
        for (int n = 1; n <= pages; ++n) relay.pages.push_back(Path("received_p" + std::to_string(n) + ".g3"));
        int caller = SimAddStation(sim_, relay);
        ASSERT_TRUE(SimStart(sim_));

        std::vector<std::string> argv = {kTollan, "send", "--device", SimModemDevice(sim_, sender), "--class", "2.0"};
        argv.insert(argv.end(), send_options.begin(), send_options.end());
        argv.push_back("200");
        argv.insert(argv.end(), documents.begin(), documents.end());
        Result sent = RunTool(argv, dir_, 180000);
        ASSERT_EQ(sent.status, 0) << sent.out << sent.err;
        ASSERT_TRUE(SimWaitStation(sim_, station, 1, 5000));
        ASSERT_EQ(SimStationResults(sim_, station).pages, pages);

        Child receive({kTollan, "receive", "--device", SimModemDevice(sim_, receiver), "--tiff", "--pdf", Path("in.g3")},
                      dir_);
        ASSERT_TRUE(receive.WaitForOutput("waiting for a call", 20000)) << receive.out() << receive.err();
        ASSERT_TRUE(SimStationCall(sim_, caller, "300"));
        ASSERT_EQ(receive.Wait(60000), 0) << receive.out() << receive.err();
        EXPECT_NE(receive.out().find("document: " + Path("in.tif")), std::string::npos) << receive.out();
        EXPECT_NE(receive.out().find("document: " + Path("in.pdf")), std::string::npos) << receive.out();
        // The resolution came from page information files nobody asked to keep.
        EXPECT_FALSE(fs::exists(Path("in_p1.ffi")));
    }
    bool HaveTools(std::initializer_list<const char *> tools) {
        for (const char *tool : tools)
            if (!OnPath(tool)) return false;
        return !ChartsDir().empty();
    }
};

// The rows from `from` on where the two differ, -1 when none.
int FirstDifferentRow(const Pbm &a, const Pbm &b, int from = 0) {
    if (a.width != b.width) return 0;
    const size_t stride = static_cast<size_t>((a.width + 7) / 8);
    for (int y = from; y < std::min(a.height, b.height); ++y)
        if (a.bits.compare(y * stride, stride, b.bits, y * stride, stride) != 0) return y;
    return a.height == b.height ? -1 : std::min(a.height, b.height);
}

// The ITU charts as TIFFs coded by libtiff's tools, efax's efix and
// fax2tiff, and the first page of a Debian PDF, sent as one fax: each page
// comes out of the received TIFF and PDF equal, dot for dot, to the chart
// (fax2tiff's page has the six rows it makes of the end mark).
TEST_F(CliDocumentsTest, DocumentsMadeElsewhereArriveEqualInTheReceivedTiffAndPdf) {
    if (!HaveTools({"pamcut", "pnmtotiff", "tiffcp", "tifftopnm", "pdftoppm", "g3topbm"}))
        GTEST_SKIP() << "needs the ITU charts, libtiff-tools, netpbm and poppler-utils";
    const std::string plain = "pnmtotiff -none -xresolution 204 -yresolution 196 \"$1\" > \"$3\" && ";
    const ForeignDocument made[] = {
        {"tiffcp -c g3", "tiffcp", plain + "tiffcp -c g3 \"$3\" \"$2\"", 1, 0},
        {"tiffcp -c g3:2d, LSB first", "tiffcp", plain + "tiffcp -c g3:2d -f lsb2msb \"$3\" \"$2\"", 2, 0},
        {"tiffcp -c g4", "tiffcp", plain + "tiffcp -c g4 \"$3\" \"$2\"", 3, 0},
        {"fax2tiff", "fax2tiff", "pbmtog3 -reversebits \"$1\" > \"$3\" 2>/dev/null && fax2tiff -o \"$2\" \"$3\"", 4, 6},
        {"efix", "efix", "efix -i pbm -o tiffg3 \"$1\" > \"$2\" 2>/dev/null", 5, 0},
        {"Debian PDF", "qpdf", "qpdf --empty --pages \"$1\" 1 -- \"$2\"", 0, 0},
    };
    std::vector<std::string> documents;
    std::vector<Pbm> pages;
    std::vector<const char *> names;
    for (const ForeignDocument &d : made) {
        if (!OnPath(d.tool) || (d.chart == 0 && (DebianPdf().empty() || !OnPath("gs")))) {
            fprintf(stderr, "%s: not installed, skipped\n", d.name);
            continue;
        }
        std::string doc = Path(std::string("doc") + std::to_string(documents.size()) + (d.chart ? ".tif" : ".pdf"));
        Pbm page;
        ASSERT_TRUE(Make(d, doc, &page)) << d.name;
        documents.push_back(doc);
        pages.push_back(page);
        names.push_back(d.name);
    }
    SendAndReceive({}, documents, static_cast<int>(documents.size()));
    if (HasFatalFailure()) return;
    for (size_t i = 0; i < pages.size(); ++i) {
        Pbm from_tiff, from_pdf;
        ASSERT_TRUE(TiffPage(Path("in.tif"), static_cast<int>(i), &from_tiff)) << names[i];
        EXPECT_EQ(FirstDifferentRow(pages[i], from_tiff), -1) << names[i] << " in the TIFF";
        ASSERT_TRUE(PdfPage(Path("in.pdf"), static_cast<int>(i), &from_pdf)) << names[i];
        EXPECT_EQ(FirstDifferentRow(pages[i], from_pdf), -1) << names[i] << " in the PDF";
    }
}

// With --header the band on top of the page holds the text and the rest of
// the page is the chart's.
TEST_F(CliDocumentsTest, AHeaderChangesOnlyItsBand) {
    if (!HaveTools({"pamcut", "pnmtotiff", "tiffcp", "tifftopnm", "pdftoppm"}))
        GTEST_SKIP() << "needs the ITU charts, libtiff-tools, netpbm and poppler-utils";
    const ForeignDocument g4 = {"tiffcp -c g4", "tiffcp",
                                "pnmtotiff -none -xresolution 204 -yresolution 196 \"$1\" > \"$3\" && "
                                "tiffcp -c g4 \"$3\" \"$2\"",
                                1, 0};
    Pbm chart;
    ASSERT_TRUE(Make(g4, Path("chart.tif"), &chart));
    SendAndReceive({"--id", "+1 555 0100", "--header", "{date} {time} FROM {id} PAGE {page}/{pages}"},
                   {Path("chart.tif")}, 1);
    if (HasFatalFailure()) return;
    constexpr int kBandRows = 48;  // at fine resolution
    Pbm from_tiff, from_pdf;
    ASSERT_TRUE(TiffPage(Path("in.tif"), 0, &from_tiff));
    ASSERT_TRUE(PdfPage(Path("in.pdf"), 0, &from_pdf));
    for (const Pbm *got : {&from_tiff, &from_pdf}) {
        EXPECT_EQ(FirstDifferentRow(chart, *got, kBandRows), -1);
        Pbm band = *got;
        band.height = kBandRows;
        EXPECT_GT(BlackPixels(band), 100u) << "the band holds the text";
    }
    EXPECT_EQ(FirstDifferentRow(from_tiff, from_pdf), -1);
}

// The port a number names is told, with the system's reason only for a
// failure of the system.
TEST_F(CliTest, PortFailuresNameTheDevice) {
    WriteFile(Path("quarry.ini"), "[Ports]\nCOM7=" + Path("no-such-tty") + "\n");
    setenv("QUARRY_INI", Path("quarry.ini").c_str(), 1);
    WriteBmp(Path("page.bmp"), 64, 64, 8, 8, 32, 32);
    Result r = RunTool({kTollan, "send", "--port", "7", "200", Path("page.bmp")}, dir_);
    setenv("QUARRY_INI", Path("none.ini").c_str(), 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("opening port 7 (" + Path("no-such-tty") + ") [No such file or directory] failed: 143"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(RunTool({kTollan, "receive", "--rings", "99", Path("in.g3")}, dir_).status, 2);
    EXPECT_EQ(RunTool({kTollan, "receive", "--id", std::string(130, '5'), Path("in.g3")}, dir_).status, 2);
    EXPECT_EQ(RunTool({kTollan, "receive", "--command-pause", "-1", Path("in.g3")}, dir_).status, 2);
}

}  // namespace
